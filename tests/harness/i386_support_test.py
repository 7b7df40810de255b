#!/usr/bin/python3
"""Checks of how the Wine harness finds out and provides 32-bit support.

  i386_support_test.py --build-dir DIR [unittest arguments]
"""

import argparse
import os
import stat
import sys
import tempfile
import unittest
from pathlib import Path
from unittest import mock

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import i386_support  # noqa: E402
import wine_session  # noqa: E402

BUILD = None  # set from the command line


def binfmt_entries():
    """The machine-wide binfmt_misc entries, as this process sees them."""
    folder = i386_support.BINFMT
    return sorted(p.name for p in folder.iterdir()) if (folder / "register").exists() else []


class DetectionTest(unittest.TestCase):
    def test_program_bitness_is_read_from_the_pe_header(self):
        cases = [(BUILD / "TorvaNetWorkSetup.exe", True),
                 (BUILD / "boxwatch.exe", False),  # built 64-bit in every tree
                 (Path(__file__), False)]
        for path, expected in cases:
            with self.subTest(path=path.name):
                self.assertEqual(wine_session.is_32bit_program(path), expected)

    def test_only_exec_format_error_means_no_32bit_programs(self):
        with tempfile.TemporaryDirectory() as scratch:
            not_a_program = Path(scratch) / "not-a-program"
            not_a_program.write_bytes(b"\x00" * 64)
            not_a_program.chmod(stat.S_IRWXU)
            with mock.patch.object(i386_support, "LOADER_32", str(not_a_program)):
                self.assertFalse(i386_support.runs_32bit_programs(), "ENOEXEC: cannot run")
            with mock.patch.object(i386_support, "LOADER_32", str(Path(scratch) / "absent")):
                with self.assertRaises(i386_support.Unavailable, msg="a missing loader"):
                    i386_support.runs_32bit_programs()


class EnableTest(unittest.TestCase):
    MODES = [i386_support.NATIVE, i386_support.PRIVATE, i386_support.MACHINE_WIDE,
             i386_support.FORCED]

    def test_32bit_programs_run_afterwards_and_nothing_else_changes_outside(self):
        before = (i386_support.runs_32bit_programs(), binfmt_entries())
        pid = os.fork()
        if pid == 0:  # the namespace, if one is entered, must not reach this process
            try:
                mode = i386_support.enable()
                os._exit(self.MODES.index(mode) if i386_support.runs_32bit_programs() else 9)
            except BaseException as error:  # reported through the exit status
                print(f"enable() failed: {error}", file=sys.stderr)
                os._exit(10)
        _, status = os.waitpid(pid, 0)
        code = os.waitstatus_to_exitcode(status)
        self.assertIn(code, range(len(self.MODES)), "after enable(), Wine's 32-bit loader runs")
        after = (i386_support.runs_32bit_programs(), binfmt_entries())
        if self.MODES[code] == i386_support.MACHINE_WIDE:
            self.assertIn(i386_support.ENTRY, after[1], "the machine-wide entry is in place")
        else:
            self.assertEqual(after, before, "nothing changed outside the namespace")


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True, type=Path)
    options, rest = parser.parse_known_args()
    BUILD = options.build_dir.resolve()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
