#!/usr/bin/python3
"""End-to-end runs of the shipped TorvaNetWorkSetup.exe under Wine.

Each scenario starts the executable as a user would, in a fresh private prefix on a private
display, and sees the result through boxwatch.exe (what the box shows) and the registry.

  e2e_test.py --build-dir DIR [unittest arguments, e.g. ToolRunTest.test_value_absent]
"""

import argparse
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
import tool_driver  # noqa: E402
import wine_session  # noqa: E402

BUILD = None  # set from the command line
I386 = False  # whether the build's programs are 32-bit
WINDOWS_VERSION = None  # the Windows that Wine reports, by Wine's name for it; None: its default
# The Windows language the tool runs as, by the Unix locale that makes Wine take it, and the
# caption of the box's OK button in that language (zh-CN Windows shows 确定).
LOCALE = "C.UTF-8"
OK_CAPTIONS = {"C.UTF-8": "OK", "zh_CN.UTF-8": "确定"}
# The NT version that `ver` reports for each of Wine's names used here.
NT_VERSIONS = {"winxp": "5.1", "winxp64": "5.2"}

SUCCESS = "网络设置成功"
FAILURE_PREFIX = "网络设置失败，"
CHECK_RIGHTS = "请检查当前用户权限"
CHECK_RIGHTS_COMMA = CHECK_RIGHTS + ","
ERROR_PREFIX = "错误描述:"
KEY = tool_driver.PARAMETERS_KEY
VALUE = tool_driver.VALUE_NAME

# The stand-in shell object (shell_stand_in.cpp): its behaviour -> (the calls it records, the
# box's icon, the box's text). "confirms" is the control: success, with the value left absent,
# means the stand-in and not Wine's object did the work. A code that comes without a
# description, or an empty one, gets Wine's text for it: "Access denied." for E_ACCESSDENIED;
# none for DISP_E_EXCEPTION (what a bare wCode is reported as), so the tool gives the code
# itself, followed by the server's wCode.
STAND_IN_CLSID = "{5FB2FE45-6A58-43A5-ADCC-F9574903AB18}"
STAND_IN_KEY = r"HKCU\Software\TorvaNetWorkTests\ShellStandIn"
FULL_NAME = KEY + "\\" + VALUE
WRITE = f"RegWrite({FULL_NAME},1,REG_DWORD);"
WRITE_READ = WRITE + f"RegRead({FULL_NAME});"
WRITE_FAILED = FAILURE_PREFIX + CHECK_RIGHTS_COMMA + ERROR_PREFIX
NOT_CONFIRMED = FAILURE_PREFIX + CHECK_RIGHTS
REFUSED = f'Invalid root in registry key "{FULL_NAME}".'
STAND_IN_ROWS = {
    "confirms": (WRITE_READ, "information", SUCCESS),
    "write-refused": (WRITE, "error", WRITE_FAILED + REFUSED),
    "write-refused-deferred": (WRITE, "error", WRITE_FAILED + REFUSED),
    "write-code-only": (WRITE, "error", WRITE_FAILED + "Access denied."),
    "write-empty-description": (WRITE, "error", WRITE_FAILED + "Access denied."),
    "write-wcode-only": (WRITE, "error", WRITE_FAILED + "0x80020009 (wCode 1005)"),
    "read-fails": (WRITE_READ, "error", NOT_CONFIRMED),
    "read-text-1": (WRITE_READ, "error", NOT_CONFIRMED),
    "read-number-2": (WRITE_READ, "error", NOT_CONFIRMED),
}


class ToolRunTest(unittest.TestCase):
    def setUp(self):
        name = f"e2e-{self._testMethodName}" + (f"-{WINDOWS_VERSION}" if WINDOWS_VERSION else "") \
            + (f"-{LOCALE}" if LOCALE != "C.UTF-8" else "")
        self.prefix = wine_session.new_prefix(BUILD / "wine", name, I386)
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()
        result = self._outcome.result
        if not any(test is self for test, _ in result.failures + result.errors):
            shutil.rmtree(self.prefix, ignore_errors=True)  # kept when the test failed

    def open_session(self, dll_overrides=None):
        self.session = wine_session.WineSession(self.prefix, dll_overrides=dll_overrides,
                                                locale=LOCALE)
        if WINDOWS_VERSION:
            self.reg("add", r"HKCU\Software\Wine", "/v", "Version", "/d", WINDOWS_VERSION, "/f")
            reported = self.session.harness_command(["cmd", "/c", "ver"]).strip()
            self.assertIn(f" {NT_VERSIONS[WINDOWS_VERSION]}.", reported,
                          f"Wine set to {WINDOWS_VERSION}; `ver` says {reported!r}")
        return self.session

    def reg(self, *args):
        self.session.harness_command(["reg", *args])

    def run_tool(self, exe=None):
        run = tool_driver.run_tool(self.session, exe or BUILD / "TorvaNetWorkSetup.exe",
                                   BUILD / "boxwatch.exe")
        self.assertEqual(len(run.boxes), 1, f"exactly one box per run; {run.without_box()}")
        box = run.boxes[0]
        self.assertEqual(box.title, "TorvaNetWork")
        self.assertEqual(box.buttons, [(1, OK_CAPTIONS[LOCALE])],
                         f"an OK button (IDOK) as {LOCALE} names it, and nothing else")
        self.assertEqual(run.exit_status, 0,
                         "the same exit status, 0, for every outcome")
        return box

    def assert_success(self, box):
        self.assertEqual(box.text, SUCCESS)
        self.assertEqual(box.text_units, [0x7F51, 0x7EDC, 0x8BBE, 0x7F6E, 0x6210, 0x529F])
        self.assertEqual(box.icon, "information")

    def assert_value_is_dword_one(self):
        self.assertEqual(self.session.reg_query(KEY, VALUE), ("REG_DWORD", "0x1"))

    def test_value_absent(self):
        self.open_session()
        self.assertIsNone(self.session.reg_query(KEY, VALUE), "a fresh prefix has no value")
        self.assert_success(self.run_tool())
        self.assert_value_is_dword_one()

    def test_value_present_as_dword_5(self):
        self.open_session()
        self.reg("add", KEY, "/v", VALUE, "/t", "REG_DWORD", "/d", "5", "/f")
        self.assertEqual(self.session.reg_query(KEY, VALUE), ("REG_DWORD", "0x5"))
        self.assert_success(self.run_tool())
        self.assert_value_is_dword_one()

    def test_value_present_as_text(self):
        self.open_session()
        self.reg("add", KEY, "/v", VALUE, "/t", "REG_SZ", "/d", "seven", "/f")
        self.assert_success(self.run_tool())
        self.assert_value_is_dword_one()

    def test_other_values_of_the_key_unchanged(self):
        self.open_session()
        seeds = [("TorvaSeedText", "REG_SZ", "網路 text"), ("TorvaSeedDword", "REG_DWORD", "7"),
                 ("TorvaSeedBinary", "REG_BINARY", "00ff10"),
                 ("TorvaSeedMulti", "REG_MULTI_SZ", "a\\0b"),
                 ("TorvaSeedExpand", "REG_EXPAND_SZ", "%SystemRoot%\\x")]
        for name, kind, data in seeds:
            self.reg("add", KEY, "/v", name, "/t", kind, "/d", data, "/f")
        before = self.session.export_values(KEY)
        for name, _, _ in seeds:
            self.assertIn(name, before)
        self.assert_success(self.run_tool())
        after = self.session.export_values(KEY)
        self.assertEqual(after.pop(VALUE), "dword:00000001")
        before.pop(VALUE, None)
        self.assertEqual(after, before, "every other value byte for byte as it was")

    def test_shell_object_switched_off(self):
        self.open_session(dll_overrides="wshom.ocx=d")
        self.reg("add", KEY, "/v", VALUE, "/t", "REG_DWORD", "/d", "5", "/f")
        box = self.run_tool()
        expected_start = FAILURE_PREFIX + CHECK_RIGHTS_COMMA + ERROR_PREFIX
        self.assertTrue(box.text.startswith(expected_start),
                        f"expected {expected_start!r} + description, got {box.text!r}")
        self.assertGreater(len(box.text), len(expected_start), "a non-empty description")
        self.assertEqual(box.text_units[6], 0xFF0C, "full-width comma")
        self.assertEqual(box.icon, "error")
        self.assertEqual(self.session.reg_query(KEY, VALUE), ("REG_DWORD", "0x5"),
                         "the value is left as it was")

    def test_run_command_with_a_program_that_shows_no_box(self):
        # The run command (scripts/run) returns as soon as the program has ended, and says so.
        status, stdout, stderr = self.run_command(
            "--exe", BUILD / "no_box.exe", "--prefix-name", self.prefix.name, "--headless")
        expected = f"no_box.exe ended (status 7) without showing a box; its prefix is kept at " \
                   f"{self.prefix}\nthe program ended with status 7; boxwatch saw:\n"
        self.assertEqual((status, stderr[:len(expected)]), (1, expected), f"stdout:\n{stdout}")

    def run_command(self, *args):
        """Runs command 1's run (scripts/tool_driver.py); (status, stdout, stderr). Its own
        guard on the tool speaks first; should this longer bound still run out, the command is
        killed, and with it everything it started: a harness failure, not the tool's."""
        bound = ((2 * tool_driver.HANG_GUARD_MS + tool_driver.HOLD_GUARD_MS) // 1000
                 + tool_driver.WATCH_END_S + 2 * wine_session.COMMAND)
        try:
            run = subprocess.run(
                [sys.executable, ROOT / "scripts" / "tool_driver.py", "--build-dir", BUILD, *args],
                capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=bound)
        except subprocess.TimeoutExpired:
            raise wine_session.HarnessError(
                f"waited {bound} s for tool_driver.py to end; it had not") from None
        return run.returncode, run.stdout, run.stderr

    def test_dll_planted_beside_the_tool(self):
        # uxtheme.dll, which the box loads by name, planted beside a copy of each program in a
        # downloads folder; native first, so that Wine, like Windows, takes a DLL it finds
        # there. The control, the tool without its DLL-search restriction, loads the plant.
        self.open_session(dll_overrides="uxtheme=n,b")
        for exe, loads_plant in ((BUILD / "tests/e2e/unrestricted_tool.exe", True),
                                 (BUILD / "TorvaNetWorkSetup.exe", False)):
            folder = self.prefix / "drive_c/users/Public/Downloads" / exe.stem
            folder.mkdir(parents=True)
            shutil.copy(BUILD / "tests/platform/planted_marker.dll", folder / "uxtheme.dll")
            box = self.run_tool(shutil.copy(exe, folder))
            self.assertEqual((folder / "uxtheme.dll.loaded").exists(), loads_plant,
                             f"{exe.name}: whether the planted uxtheme.dll was loaded")
        self.assert_success(box)
        self.assert_value_is_dword_one()

    def use_stand_in(self, behaviour):
        """Registers the stand-in as "Wscript.Shell" in the class view of the build's bitness
        (the ProgID is shared; a 32-bit client finds the class under Wow6432Node)."""
        classes = r"HKEY_LOCAL_MACHINE\Software" + (r"\Wow6432Node" if I386 else "") + r"\Classes"
        dll = wine_session.windows_path(BUILD / "tests" / "e2e" / "shell_stand_in.dll")
        quoted = dll.replace("\\", "\\\\")
        self.session.import_registry("\r\n".join([
            "Windows Registry Editor Version 5.00", "",
            r"[HKEY_LOCAL_MACHINE\Software\Classes\Wscript.Shell\CLSID]",
            f'@="{STAND_IN_CLSID}"', "",
            rf"[{classes}\CLSID\{STAND_IN_CLSID}\InprocServer32]", f'@="{quoted}"',
            '"ThreadingModel"="Apartment"', "",
            f"[{STAND_IN_KEY.replace('HKCU', 'HKEY_CURRENT_USER')}]", f'"Behaviour"="{behaviour}"',
            ""]))


def stand_in_scenario(behaviour, calls, icon, text):
    def test(self):
        self.open_session()
        self.use_stand_in(behaviour)
        box = self.run_tool()
        self.assertEqual((box.text, box.icon), (text, icon))
        self.assertEqual(self.session.reg_query(STAND_IN_KEY, "Calls"), ("REG_SZ", calls),
                         "the calls that the stand-in saw")
        self.assertIsNone(self.session.reg_query(KEY, VALUE), "Wine's object was never asked")
    return test


for _behaviour, _row in STAND_IN_ROWS.items():
    setattr(ToolRunTest, "test_shell_stand_in_" + _behaviour.replace("-", "_"),
            stand_in_scenario(_behaviour, *_row))


def main():
    global BUILD, I386, WINDOWS_VERSION, LOCALE
    wine_session.own_what_it_starts()
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True, type=Path)
    parser.add_argument("--windows-version", choices=NT_VERSIONS,
                        help="the Windows that Wine reports, by Wine's name for it")
    parser.add_argument("--locale", choices=OK_CAPTIONS, default=LOCALE,
                        help="the Unix locale whose Windows language the tool runs as")
    options, rest = parser.parse_known_args()
    BUILD = options.build_dir.resolve()
    WINDOWS_VERSION = options.windows_version
    LOCALE = options.locale
    I386 = wine_session.is_32bit_program(BUILD / "TorvaNetWorkSetup.exe")
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
