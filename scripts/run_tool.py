#!/usr/bin/python3
"""Starts TorvaNetWorkSetup.exe under Wine in the build tree's own prefix, then prints the value
that it set, as Wine's `reg query` reads it back.

With a display (DISPLAY set, and no --headless), the box appears there and waits for OK. Without
one, the run happens on a private Xvfb display: the box is photographed, OK is pressed for the
user, and the PNG's path is printed. Either way a run whose box was not seen fails, saying what
the tool and Wine said.
"""

import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import i386_support  # noqa: E402
import tool_driver  # noqa: E402
import wine_session  # noqa: E402

def main():
    wine_session.own_what_it_starts()
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", required=True, type=Path)
    parser.add_argument("--headless", action="store_true",
                        help="use a private display even when DISPLAY is set")
    parser.add_argument("--exe", type=Path,
                        help="the program to run (default: the build's TorvaNetWorkSetup.exe)")
    parser.add_argument("--prefix-name", default="tool",
                        help="the private prefix's folder under BUILD_DIR/wine")
    options = parser.parse_args()
    build = options.build_dir.resolve()
    exe = (options.exe or build / "TorvaNetWorkSetup.exe").resolve()
    try:
        return run(build, exe, options.prefix_name,
                   None if options.headless else os.environ.get("DISPLAY") or None)
    except wine_session.HarnessError as error:
        print(f"The test harness failed, not {exe.name}: {error}", file=sys.stderr)
        return 2
    except tool_driver.ToolHung as error:
        print(error, file=sys.stderr)
        return 1


def run(build, exe, prefix_name, display):
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
        result = tool_driver.run_tool(session, exe, build / "boxwatch.exe", screenshot_path=shot,
                                      person=bool(display))
        status = result.exit_status
        for box in result.boxes:
            print(f"  box \"{box.title}\" ({box.icon} icon): {box.text}")
        if not result.boxes:
            print(f"{exe.name} ended (status {status}) without showing a box; its prefix "
                  f"is kept at {prefix}\n{result.without_box()}", file=sys.stderr)
            return 1
        found = session.reg_query(tool_driver.PARAMETERS_KEY, tool_driver.VALUE_NAME)
    print(f"  exit status {status}")
    print(f"{tool_driver.PARAMETERS_KEY}\\{tool_driver.VALUE_NAME}: "
          + (f"{found[0]} {found[1]}" if found else "not present"))
    if shot:
        print(f"Screenshot of the box: {shot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
