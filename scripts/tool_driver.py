#!/usr/bin/python3
"""Runs TorvaNetWorkSetup.exe as a user would and sees what the user sees.

The tool is started with `wine`, like a double-click; boxwatch.exe, in the same prefix, reports
every box titled "TorvaNetWork" (text as UTF-16 code units, icon, buttons, position),
optionally waits while the box is photographed, and presses OK.
"""

import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

TITLE = "TorvaNetWork"
PARAMETERS_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters"
VALUE_NAME = "TcpMaxDataRetransmissions"
HANG_GUARD_MS = 15 * 60 * 1000


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


def run_tool(session, exe, boxwatch, screenshot_path=None):
    """Starts the tool, answers its boxes, and returns what was seen once it has ended."""
    with tempfile.TemporaryDirectory(dir=session.prefix) as scratch:
        stop_file = Path(scratch) / "stop"
        hold_file = Path(scratch) / "hold"
        # The tool's end (the stop file) ends the watch; --wait-ms only guards against a hang,
        # sized for a 32-bit tool that takes a minute or more to start under emulation.
        watch_args = [boxwatch, "--title", TITLE, "--stop-file", windows_path(stop_file),
                      "--wait-ms", str(HANG_GUARD_MS)]
        if screenshot_path:
            watch_args += ["--hold-file", windows_path(hold_file)]
        watcher = session.start(watch_args, stdout=subprocess.PIPE, text=True)
        tool = session.start([exe])
        run = Run()
        try:
            lines = []
            if screenshot_path:
                line = watcher.stdout.readline()
                lines.append(line)
                if line.startswith("box "):
                    screenshot(session.display, parse_box(line).rect, screenshot_path)
                    run.screenshots.append(screenshot_path)
                hold_file.touch()
            run.exit_status = tool.wait()
            stop_file.touch()
            remaining, _ = watcher.communicate()
            lines += remaining.splitlines(keepends=True)
        finally:
            for process in (tool, watcher):
                if process.poll() is None:
                    process.kill()
                    process.wait()
        run.boxwatch_output = "".join(lines)
        run.boxes = [parse_box(line) for line in lines if line.startswith("box ")]
        return run


def windows_path(path):
    # Wine maps the Unix root to drive Z:.
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")
