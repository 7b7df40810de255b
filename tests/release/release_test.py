#!/usr/bin/python3
"""Release checks: byte-identical executables from two checkouts in different folders, and the
release zip.

  release_test.py --source DIR --work DIR [unittest arguments]
"""

import argparse
import hashlib
import shutil
import subprocess
import sys
import unittest
import zipfile
from pathlib import Path

SOURCE = WORK = None


def copy_checkout(destination):
    shutil.copytree(SOURCE, destination,
                    ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))


def build(checkout, preset):
    subprocess.run(["cmake", "--preset", preset], cwd=checkout, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", preset, "--target", "TorvaNetWorkSetup",
                    "-j2"], cwd=checkout, check=True, stdout=subprocess.DEVNULL)
    return (checkout / "build" / preset / "TorvaNetWorkSetup.exe").read_bytes()


def first_differences(a, b, count=8):
    offsets = [i for i in range(min(len(a), len(b))) if a[i] != b[i]][:count]
    return f"sizes {len(a)} and {len(b)}; first differing offsets {[hex(o) for o in offsets]}"


class ReproducibleBuildTest(unittest.TestCase):
    def check(self, preset):
        work = WORK / preset
        shutil.rmtree(work, ignore_errors=True)
        first, second = work / "a", work / "second-checkout-elsewhere"
        copy_checkout(first)
        copy_checkout(second)
        one, two = build(first, preset), build(second, preset)
        self.assertTrue(one == two, "two clean builds differ: " + first_differences(one, two))
        shutil.rmtree(work, ignore_errors=True)

    def test_x86(self):
        self.check("win-x86")

    def test_x64(self):
        self.check("win-x64")


class PackageTest(unittest.TestCase):
    def make(self, out):
        result = subprocess.run([SOURCE / "scripts" / "package", out], check=True,
                                capture_output=True, text=True)
        return Path(result.stdout.strip().splitlines()[-1])

    def test_zip_holds_both_executables_guide_and_checksums(self):
        out = WORK / "package"
        shutil.rmtree(out, ignore_errors=True)
        package = self.make(out)
        self.assertEqual(package.name, "TorvaNetWorkSetup-1.00.zip")
        with zipfile.ZipFile(package) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             ["SHA256SUMS", "WHICH-ONE.txt", "x64/TorvaNetWorkSetup.exe",
                              "x86/TorvaNetWorkSetup.exe"])
            sums = archive.read("SHA256SUMS").decode().splitlines()
            self.assertEqual(len(sums), 2)
            for line in sums:
                digest, name = line.split("  ", 1)
                self.assertEqual(hashlib.sha256(archive.read(name)).hexdigest(), digest, name)
            for arch in ("x86", "x64"):
                built = (SOURCE / "build" / f"win-{arch}" / "TorvaNetWorkSetup.exe").read_bytes()
                self.assertEqual(archive.read(f"{arch}/TorvaNetWorkSetup.exe"), built)
            guide = archive.read("WHICH-ONE.txt").decode()
            self.assertIn("Run as administrator", guide)
            self.assertIn("consent", guide)
        first = package.read_bytes()
        self.assertEqual(self.make(out).read_bytes(), first, "the same zip every time")
        shutil.rmtree(out, ignore_errors=True)


def main():
    global SOURCE, WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    options, rest = parser.parse_known_args()
    SOURCE, WORK = options.source.resolve(), options.work.resolve()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
