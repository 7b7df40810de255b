#!/usr/bin/python3
"""Builds the release zip from the two executables:

  make_package.py --x86 EXE --x64 EXE --out DIR

DIR/TorvaNetWorkSetup-1.00.zip holds x86/ and x64/TorvaNetWorkSetup.exe, WHICH-ONE.txt and
SHA256SUMS. Entries carry fixed dates and permissions, so the same executables always give
the same zip.
"""

import argparse
import hashlib
import sys
import zipfile
from pathlib import Path

VERSION = "1.00"
FIXED_DATE = (2000, 1, 1, 0, 0, 0)
GUIDE = Path(__file__).resolve().parents[1] / "packaging" / "WHICH-ONE.txt"


def add(archive, name, data):
    entry = zipfile.ZipInfo(name, date_time=FIXED_DATE)
    entry.compress_type = zipfile.ZIP_DEFLATED
    entry.external_attr = 0o644 << 16
    archive.writestr(entry, data)


def make_package(x86, x64, out):
    executables = {"x86/TorvaNetWorkSetup.exe": Path(x86).read_bytes(),
                   "x64/TorvaNetWorkSetup.exe": Path(x64).read_bytes()}
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data in executables.items())
    out.mkdir(parents=True, exist_ok=True)
    package = out / f"TorvaNetWorkSetup-{VERSION}.zip"
    with zipfile.ZipFile(package, "w") as archive:
        for name, data in executables.items():
            add(archive, name, data)
        add(archive, "WHICH-ONE.txt", GUIDE.read_bytes())
        add(archive, "SHA256SUMS", sums.encode())
    return package


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--x86", required=True)
    parser.add_argument("--x64", required=True)
    parser.add_argument("--out", required=True, type=Path)
    options = parser.parse_args()
    print(make_package(options.x86, options.x64, options.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
