#!/usr/bin/python3
"""Runs TorvaNetWorkSetup.exe as a user would and sees what the user sees.

The tool is started with `wine`, like a double-click; boxwatch.exe, in the same prefix, reports
every box titled "TorvaNetWork" (text as UTF-16 code units, icon, buttons, position),
optionally waits while the box is photographed, and presses OK. The tool starts only once
boxwatch is watching, and runs with Wine's error channel on: what it and Wine say on its
standard error is kept, for a run that shows no box to say why.
"""

import queue
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine_session  # noqa: E402

TITLE = "TorvaNetWork"
PARAMETERS_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters"
VALUE_NAME = "TcpMaxDataRetransmissions"
HANG_GUARD_MS = 3 * 60 * 1000  # the tool's run, box and all: under 15 s measured (BENCHMARKS.md)
PERSON_GUARD_MS = 60 * 60 * 1000  # the same, where a person at the display answers the box
HOLD_GUARD_MS = 60 * 1000  # boxwatch's wait for the screenshot before it answers the box
WATCH_END_S = 60  # boxwatch's end once the stop file is there
WATCH_START_S = 60  # boxwatch's start, until it says it is watching: about a second


def decode_units(hex_units):
    """Text from boxwatch's '-'-separated UTF-16 code units."""
    units = [] if hex_units == "-" else hex_units.split("-")
    return b"".join(int(unit, 16).to_bytes(2, "little") for unit in units).decode(
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
               text_units=[int(u, 16) for u in fields["text"].split("-") if fields["text"] != "-"],
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
    """The tool had not ended within its bound."""


def run_tool(session, exe, boxwatch, screenshot_path=None, person=False):
    """Starts the tool once boxwatch is watching, and returns what was seen once it has ended.

    boxwatch answers each box with OK: at once, or once it is photographed (screenshot_path);
    where a person at the display answers it (person), it only reports it. Its lines are read
    as they come, and the tool's end ends the watch at once, box or no box. Every wait is
    bounded: ToolHung when the tool does not end, wine_session.HarnessError when boxwatch does
    not start or end.
    """
    guard_ms = PERSON_GUARD_MS if person else HANG_GUARD_MS
    with tempfile.TemporaryDirectory(dir=session.prefix) as scratch:
        stop_file, hold_file, errors = (Path(scratch) / name for name in ("stop", "hold", "err"))
        watch_args = [boxwatch, "--title", TITLE, "--stop-file", windows_path(stop_file),
                      "--wait-ms", str(guard_ms)]
        if screenshot_path or person:  # the hold file is made only once the box is photographed
            watch_args += ["--hold-file", windows_path(hold_file),
                           "--hold-ms", str(guard_ms if person else HOLD_GUARD_MS)]
        watcher = session.start(watch_args, stdout=subprocess.PIPE, text=True)
        lines = queue.Queue()
        threading.Thread(target=_forward, args=(watcher.stdout, lines), daemon=True).start()
        run, seen, tool = Run(), [], None
        try:
            started = _next_line(lines, WATCH_START_S)
            if started != "watching\n":
                raise wine_session.HarnessError(
                    f"waited {WATCH_START_S} s for boxwatch to start watching; "
                    + ("it ended first" if started is None else f"it said {started!r}"))
            with open(errors, "wb") as output:
                tool = session.start([exe], env=wine_session.ERROR_CHANNEL, stdout=output,
                                     stderr=output)
            deadline = time.monotonic() + guard_ms / 1000
            while tool.poll() is None:
                if time.monotonic() > deadline:
                    raise ToolHung(f"{Path(exe).name} had not ended {guard_ms // 60000} min "
                                   f"after it started; boxwatch saw:\n{''.join(seen)}")
                line = _next_line(lines, 0.2, default="")
                if line is None:  # boxwatch ended before the tool: kept for the last read
                    lines.put(None)
                    time.sleep(0.2)
                    line = ""
                seen.append(line)
                if screenshot_path and line.startswith("box ") and not hold_file.exists():
                    screenshot(session.display, parse_box(line).rect, screenshot_path)
                    hold_file.touch()
            run.exit_status = tool.returncode
            stop_file.touch()
            try:
                watcher.wait(WATCH_END_S)
            except subprocess.TimeoutExpired:
                raise wine_session.HarnessError(
                    f"waited {WATCH_END_S} s for boxwatch to end after the tool had ended "
                    f"(status {run.exit_status})") from None
            while (line := _next_line(lines, WATCH_END_S)) is not None:
                seen.append(line)
        finally:
            for process in (tool, watcher):
                if process and process.poll() is None:
                    process.kill()
                    process.wait()
            if errors.exists():
                run.tool_errors = errors.read_text(errors="replace")
        run.boxwatch_output = "".join(seen)
        run.boxes = [parse_box(line) for line in seen if line.startswith("box ")]
        if screenshot_path and "hold-expired" in run.boxwatch_output:
            raise wine_session.HarnessError(
                f"boxwatch waited {HOLD_GUARD_MS // 1000} s for the box's screenshot and "
                "answered the box without it")
        return run


def _next_line(lines, timeout, default=None):
    """boxwatch's next line; None once it has ended; `default` when none came in time."""
    try:
        return lines.get(timeout=timeout)
    except queue.Empty:
        return default


def _forward(stream, lines):
    for line in stream:
        lines.put(line)
    lines.put(None)


windows_path = wine_session.windows_path
