#!/usr/bin/python3
"""Runs TorvaNetWorkSetup.exe as a user would and sees what the user sees.

boxwatch.exe starts the tool itself (CreateProcessW), in the session's prefix, reports each of
its boxes titled "TorvaNetWork" (text as UTF-16 code units, icon, buttons, position), optionally
waits while the box is photographed, and presses OK. Both run with Wine's error channel on:
what the tool and Wine say on standard error is kept, for a run that shows no box to say why.

As a command (command 1's run), it runs the tool that way in the build tree's own prefix and
prints the value it set. With a display (DISPLAY set, and no --headless), the box waits there for
OK; without one, on a private Xvfb display, the box is photographed and OK pressed. A run whose
box was not seen fails, saying what the tool and Wine said.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import i386_support  # noqa: E402
import wine_session  # noqa: E402

TITLE = "TorvaNetWork"
PARAMETERS_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters"
VALUE_NAME = "TcpMaxDataRetransmissions"
HANG_GUARD_MS = 3 * 60 * 1000  # the tool's run, box and all: under 15 s measured (BENCHMARKS.md)
PERSON_GUARD_MS = 60 * 60 * 1000  # the same, where a person at the display answers the box
HOLD_GUARD_MS = 60 * 1000  # boxwatch's wait for the screenshot before it answers the box
WATCH_END_S = 60  # boxwatch's own start and end, beyond its guards on the tool: about a second


def code_units(hex_units):
    """The UTF-16 code units that boxwatch wrote in hex, '-'-separated ("-" when none)."""
    return [] if hex_units == "-" else [int(unit, 16) for unit in hex_units.split("-")]


def decode_units(hex_units):
    """Text from boxwatch's UTF-16 code units."""
    return b"".join(unit.to_bytes(2, "little") for unit in code_units(hex_units)).decode(
        "utf-16-le", errors="surrogatepass")


@dataclass
class Box:
    title: str
    text: str
    text_units: list
    icon: str
    buttons: list  # (control id, caption)
    rect: tuple


@dataclass
class Run:
    boxes: list = field(default_factory=list)
    exit_status: int = None
    boxwatch_output: str = ""
    tool_errors: str = ""  # what the tool and Wine wrote to the tool's standard error

    def without_box(self):
        """Why this run may have shown no box, in words for a failure message."""
        return (f"the program ended with status {self.exit_status}; boxwatch saw:\n"
                f"{self.boxwatch_output or '(nothing)'}\nits standard error (Wine's error "
                f"channel on):\n{self.tool_errors.strip() or '(nothing)'}")


def parse_box(line):
    fields = dict(item.split("=", 1) for item in line.split()[1:])
    buttons = [entry.split(":", 1) for entry in fields["buttons"].split(",")
               if fields["buttons"] != "-"]
    return Box(title=decode_units(fields["title"]), text=decode_units(fields["text"]),
               text_units=code_units(fields["text"]),
               icon=fields["icon"],
               buttons=[(int(control), decode_units(caption)) for control, caption in buttons],
               rect=tuple(int(v) for v in fields["rect"].split(",")))


def screenshot(display, rect, path, margin=12):
    from PIL import ImageGrab  # Debian's python3-pil
    left, top, right, bottom = rect
    image = ImageGrab.grab(xdisplay=display)
    image.crop((max(left - margin, 0), max(top - margin, 0), min(right + margin, image.width),
                min(bottom + margin, image.height))).save(path)


class ToolHung(RuntimeError):
    """The tool showed no box, or had not ended, within its bound; boxwatch ended it."""


def run_tool(session, exe, boxwatch, screenshot_path=None, person=False):
    """What was seen of the tool run under boxwatch; run once more if Wine could not start it."""
    return wine_session.once_more_if_not_started(
        lambda: _run_once(session, exe, boxwatch, screenshot_path, person))


def _run_once(session, exe, boxwatch, screenshot_path, person):
    """boxwatch answers each box with OK: at once, once photographed (screenshot_path), or, a
    person at the display answering it (person), not at all. Every wait is bounded: ToolHung when
    the tool shows no box or does not end, HarnessError when boxwatch cannot run it to its end."""
    guard_ms = PERSON_GUARD_MS if person else HANG_GUARD_MS
    with tempfile.TemporaryDirectory(dir=session.prefix) as scratch:
        hold_file, errors = Path(scratch) / "hold", Path(scratch) / "errors"
        args = [boxwatch, "--title", TITLE, "--launch", f'tool="{wine_session.windows_path(exe)}"',
                "--wait-ms", str(guard_ms)]
        hold_ms = guard_ms if person else HOLD_GUARD_MS
        if screenshot_path or person:  # the hold file is made only once the box is photographed
            args += ["--hold-file", wine_session.windows_path(hold_file), "--hold-ms", str(hold_ms)]
        with open(errors, "wb") as output:
            watcher = session.start(args, env=wine_session.ERROR_CHANNEL, stdout=subprocess.PIPE,
                                    stderr=output, text=True)
        # boxwatch waits for the box, holds it, then waits for the tool's end, each bounded;
        # past all that, it and every program of the session are ended, and with them its output.
        bound = (2 * guard_ms + hold_ms) / 1000 + WATCH_END_S
        guard = threading.Timer(bound, lambda: (watcher.kill(), session.end_programs()))
        guard.start()
        seen = []
        try:
            for line in watcher.stdout:
                seen.append(line)
                if screenshot_path and line.startswith("box ") and not hold_file.exists():
                    screenshot(session.display, parse_box(line).rect, screenshot_path)
                    hold_file.touch()
            watcher.wait()
        finally:
            guard.cancel()
            if watcher.poll() is None:
                watcher.kill()
                watcher.wait()
        run = Run(boxwatch_output="".join(seen), tool_errors=errors.read_text(errors="replace"),
                  boxes=[parse_box(line) for line in seen if line.startswith("box ")])
    ended = dict(item.split("=", 1) for line in seen if line.startswith("run=")
                 for item in line.split())
    name, error, minutes = Path(exe).name, ended.get("error"), guard_ms // 60000
    status = int(ended["exit"]) if "exit" in ended else watcher.returncode
    if not run.boxes:
        wine_session.raise_if_not_started(status, run.tool_errors, name if ended else "boxwatch")
    if error == "no-box-within":
        raise ToolHung(f"{name} showed no box within {minutes} min; it was ended")
    if error == "did-not-end":
        raise ToolHung(f"{name} had not ended {minutes} min after its box; it was ended. "
                       f"boxwatch saw:\n{run.boxwatch_output}")
    if error not in (None, "no-box") or "exit" not in ended:  # not started, or boxwatch hung
        raise wine_session.HarnessError(
            f"boxwatch did not run {name} to its end within {bound:.0f} s (status "
            f"{watcher.returncode}); it said:\n{run.boxwatch_output or '(nothing)'}\n"
            f"Standard error:\n{run.tool_errors[-1500:] or '(nothing)'}")
    run.exit_status = status
    if screenshot_path and "hold-expired" in run.boxwatch_output:
        raise wine_session.HarnessError(
            f"boxwatch waited {HOLD_GUARD_MS // 1000} s for the box's screenshot and "
            "answered the box without it")
    return run


def main():
    """Command 1's run: see the module's documentation."""
    wine_session.own_what_it_starts()
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, type=Path)
    parser.add_argument("--headless", action="store_true", help="a private display anyway")
    parser.add_argument("--exe", type=Path, help="default: the build's TorvaNetWorkSetup.exe")
    parser.add_argument("--prefix-name", default="tool", help="its folder under BUILD_DIR/wine")
    options = parser.parse_args()
    build = options.build_dir.resolve()
    exe = (options.exe or build / "TorvaNetWorkSetup.exe").resolve()
    try:
        return run_command(build, exe, options.prefix_name,
                           None if options.headless else os.environ.get("DISPLAY") or None)
    except wine_session.HarnessError as error:
        print(f"The test harness failed, not {exe.name}: {error}", file=sys.stderr)
        return 2
    except ToolHung as error:
        print(error, file=sys.stderr)
        return 1


def run_command(build, exe, prefix_name, display):
    prefix = build / "wine" / prefix_name
    i386 = wine_session.is_32bit_program(exe)
    mode = i386_support.enable() if i386 else None
    if mode:
        print("32-bit programs: " + mode, flush=True)
    if not wine_session.is_current(prefix, i386):
        wine_session.new_prefix(build / "wine", prefix_name, i386)

    print(f"Running {exe}\n  in the private Wine prefix {prefix}"
          + ("\n  (32-bit programs are emulated here: the run takes about a second longer)"
             if mode not in (None, i386_support.NATIVE) else ""), flush=True)
    with wine_session.WineSession(prefix, display=display) as session:
        if display:
            print(f"  on display {display}: answer the box with OK.", flush=True)
        shot = None if display else build / f"{exe.stem}-box.png"
        result = run_tool(session, exe, build / "boxwatch.exe", shot, person=bool(display))
        status = result.exit_status
        for box in result.boxes:
            print(f"  box \"{box.title}\" ({box.icon} icon): {box.text}")
        if not result.boxes:
            print(f"{exe.name} ended (status {status}) without showing a box; its prefix "
                  f"is kept at {prefix}\n{result.without_box()}", file=sys.stderr)
            return 1
        found = session.reg_query(PARAMETERS_KEY, VALUE_NAME)
    print(f"  exit status {status}")
    print(f"{PARAMETERS_KEY}\\{VALUE_NAME}: "
          + (f"{found[0]} {found[1]}" if found else "not present"))
    if shot:
        print(f"Screenshot of the box: {shot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
