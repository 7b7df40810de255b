#!/usr/bin/python3
"""Photographs the success box and the failure box (shell object switched off) of the x86
build under Wine, for the README:

  /usr/bin/python3 scripts/take_screenshots.py --build-dir build/win-x86 --out docs/screenshots
"""

import argparse
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import tool_driver  # noqa: E402
import wine_session  # noqa: E402

SCENARIOS = {"success-box.png": None, "failure-box.png": "wshom.ocx=d"}


def main():
    wine_session.own_what_it_starts()
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", required=True, type=Path)
    parser.add_argument("--out", required=True, type=Path)
    options = parser.parse_args()
    build = options.build_dir.resolve()
    options.out.mkdir(parents=True, exist_ok=True)
    i386 = wine_session.is_32bit_program(build / "TorvaNetWorkSetup.exe")
    for picture, overrides in SCENARIOS.items():
        prefix = wine_session.new_prefix(build / "wine", "screenshot-" + picture[:-4], i386)
        with wine_session.WineSession(prefix, dll_overrides=overrides) as session:
            run = tool_driver.run_tool(session, build / "TorvaNetWorkSetup.exe",
                                       build / "boxwatch.exe",
                                       screenshot_path=options.out / picture)
        shutil.rmtree(prefix, ignore_errors=True)
        for box in run.boxes:
            print(f"{options.out / picture}: {box.icon} icon, {box.text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
