#!/usr/bin/python3
"""Runs TorvaNetWorkSetup.exe as a user would and sees what the user sees.

The tool is started with `wine`, like a double-click; boxwatch.exe, in the same prefix, reports
every box titled "TorvaNetWork" (text as UTF-16 code units, icon, buttons, position),
optionally waits while the box is photographed, and presses OK.
"""

import contextlib
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
HANG_GUARD_MS = 10 * 60 * 1000  # the tool's run, box and all; callers' own bounds are longer
HOLD_GUARD_MS = 60 * 1000  # boxwatch's wait for the screenshot before it answers the box
WATCH_END_S = 60  # boxwatch's end once the stop file is there


def decode_units(hex_units):
    """Text from boxwatch's '-'-separated UTF-16 code units."""
    if hex_units == "-":
        return ""
    units = bytes()
    for unit in hex_units.split("-"):
        units += int(unit, 16).to_bytes(2, "little")
    return units.decode("utf-16-le", errors="surrogatepass")


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
    screenshots: list = field(default_factory=list)


def parse_box(line):
    fields = dict(item.split("=", 1) for item in line.split()[1:])
    buttons = []
    if fields["buttons"] != "-":
        for entry in fields["buttons"].split(","):
            control, caption = entry.split(":", 1)
            buttons.append((int(control), decode_units(caption)))
    return Box(title=decode_units(fields["title"]), text=decode_units(fields["text"]),
               text_units=[int(u, 16) for u in fields["text"].split("-") if fields["text"] != "-"],
               icon=fields["icon"], buttons=buttons,
               rect=tuple(int(v) for v in fields["rect"].split(",")))


def screenshot(display, rect, path, margin=12):
    from PIL import ImageGrab  # Debian's python3-pil
    left, top, right, bottom = rect
    image = ImageGrab.grab(xdisplay=display)
    box = (max(left - margin, 0), max(top - margin, 0),
           min(right + margin, image.width), min(bottom + margin, image.height))
    image.crop(box).save(path)


class ToolHung(RuntimeError):
    """The tool had not ended within its bound."""


def run_tool(session, exe, boxwatch, screenshot_path=None):
    """Starts the tool, answers its boxes, and returns what was seen once it has ended.

    boxwatch's lines are read as they come while the tool runs, and the tool's end ends the
    watch at once, box or no box. Every wait is bounded: ToolHung when the tool does not end,
    wine_session.HarnessError when boxwatch does not.
    """
    with tempfile.TemporaryDirectory(dir=session.prefix) as scratch:
        stop_file = Path(scratch) / "stop"
        hold_file = Path(scratch) / "hold"
        # The tool's end (the stop file) ends the watch; --wait-ms only guards against a hang,
        # sized far above what even an emulated 32-bit tool takes to start (seconds; about a
        # minute on a machine without Wine's 32-bit preloader).
        watch_args = [boxwatch, "--title", TITLE, "--stop-file", windows_path(stop_file),
                      "--wait-ms", str(HANG_GUARD_MS)]
        if screenshot_path:
            watch_args += ["--hold-file", windows_path(hold_file),
                           "--hold-ms", str(HOLD_GUARD_MS)]
        watcher = session.start(watch_args, stdout=subprocess.PIPE, text=True)
        lines = queue.Queue()
        reader = threading.Thread(target=_forward, args=(watcher.stdout, lines), daemon=True)
        reader.start()
        tool = session.start([exe])
        run = Run()
        seen = []
        try:
            deadline = time.monotonic() + HANG_GUARD_MS / 1000
            while tool.poll() is None:
                if time.monotonic() > deadline:
                    raise ToolHung(f"{Path(exe).name} had not ended {HANG_GUARD_MS // 60000} "
                                   f"min after it started; boxwatch saw:\n{''.join(seen)}")
                with contextlib.suppress(queue.Empty):
                    line = lines.get(timeout=0.2)
                    if line is not None:
                        seen.append(line)
                        if screenshot_path and line.startswith("box ") and not run.screenshots:
                            screenshot(session.display, parse_box(line).rect, screenshot_path)
                            run.screenshots.append(screenshot_path)
                            hold_file.touch()
            run.exit_status = tool.returncode
            stop_file.touch()
            try:
                watcher.wait(WATCH_END_S)
            except subprocess.TimeoutExpired:
                raise wine_session.HarnessError(
                    f"waited {WATCH_END_S} s for boxwatch to end after the tool had ended "
                    f"(status {run.exit_status})") from None
            reader.join(WATCH_END_S)
            while not lines.empty():
                line = lines.get()
                if line is not None:
                    seen.append(line)
        finally:
            for process in (tool, watcher):
                if process.poll() is None:
                    process.kill()
                    process.wait()
        run.boxwatch_output = "".join(seen)
        run.boxes = [parse_box(line) for line in seen if line.startswith("box ")]
        for line in seen:
            if line.startswith("hold-expired"):
                raise wine_session.HarnessError(
                    f"boxwatch waited {HOLD_GUARD_MS // 1000} s for the box's screenshot and "
                    "answered the box without it")
        return run


def _forward(stream, lines):
    for line in stream:
        lines.put(line)
    lines.put(None)


def windows_path(path):
    # Wine maps the Unix root to drive Z:.
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")
