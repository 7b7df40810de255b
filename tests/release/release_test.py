#!/usr/bin/python3
"""Release checks: byte-identical executables from the checkout's own build trees and from a
clean copy of the checkout in another folder, the release zip (unsigned and signed with a
throwaway key), its fleet files, and the papers that administrators read (README,
README.zh-CN.md and the zip's guides).

  release_test.py --source DIR --work DIR [unittest arguments]
"""

import argparse
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile
from pathlib import Path

import pefile  # Debian's python3-pefile
import yaml  # Debian's python3-yaml

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import tool_driver  # noqa: E402
import wine_session  # noqa: E402

SOURCE = WORK = X64_TREE = None  # X64_TREE: the checkout's x64 build tree
ZIP_NAME = "TorvaNetWorkSetup-1.00.zip"
ARCHES = ("x86", "x64")
# The release's guides, in English and in Simplified Chinese.
GUIDES = ("WHICH-ONE.txt", "WHICH-ONE.zh-CN.txt")
# How a person allows the dependency install to change installed packages to lower versions
# (scripts/install-deps.sh); both READMEs must spell it as the script reads it.
DOWNGRADE_OPT_IN = "TORVA_ALLOW_DOWNGRADE=1"
# What the papers call the Windows that a PE header's OS version names.
WINDOWS_NAMES = {(5, 1): "Windows XP", (5, 2): "Windows Server 2003", (6, 0): "Windows Vista",
                 (6, 1): "Windows 7", (6, 2): "Windows 8",
                 (6, 3): "Windows 8.1", (10, 0): "Windows 10"}


# Bounds, in seconds, of the commands run here: a build (or the package command, which builds)
# and any other command. When one runs out, subprocess.TimeoutExpired names the command.
BUILD = 900
COMMAND = 120


def copy_checkout(destination):
    shutil.copytree(SOURCE, destination,
                    ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))


def build(checkout, preset):
    subprocess.run(["cmake", "--preset", preset], cwd=checkout, check=True,
                   stdout=subprocess.DEVNULL, timeout=COMMAND)
    subprocess.run(["cmake", "--build", "--preset", preset, "--target", "TorvaNetWorkSetup",
                    "-j2"], cwd=checkout, check=True, stdout=subprocess.DEVNULL,
                   timeout=BUILD)
    return (checkout / "build" / preset / "TorvaNetWorkSetup.exe").read_bytes()


def first_differences(a, b, count=8):
    offsets = [i for i in range(min(len(a), len(b))) if a[i] != b[i]][:count]
    return f"sizes {len(a)} and {len(b)}; first differing offsets {[hex(o) for o in offsets]}"


class ReproducibleBuildTest(unittest.TestCase):
    """The checkout's own build (built before these run: see CMakeLists.txt), against a clean
    build of a copy in a folder of another name."""

    def check(self, arch):
        preset = f"win-{arch}"
        work = WORK / preset
        shutil.rmtree(work, ignore_errors=True)
        elsewhere = work / "second-checkout-elsewhere"
        copy_checkout(elsewhere)
        one, two = built(arch), build(elsewhere, preset)
        self.assertTrue(one == two, "the checkout's build and a clean build elsewhere differ: "
                        + first_differences(one, two))
        shutil.rmtree(work, ignore_errors=True)

    def test_x86(self):
        self.check("x86")

    def test_x64(self):
        self.check("x64")


def package(out, *args, env=None):
    """Runs the package command; (zip path or None, the run)."""
    run = subprocess.run([SOURCE / "scripts" / "package", *map(str, args), out],
                         capture_output=True, text=True, env=env, timeout=BUILD)
    made = Path(run.stdout.strip().splitlines()[-1]) if run.returncode == 0 else None
    return made, run


def built(arch):
    return (SOURCE / "build" / f"win-{arch}" / "TorvaNetWorkSetup.exe").read_bytes()



def run_tool_in_wine(test, exe, prefix_name, before=None):
    """Runs a 64-bit executable as a user would, in a fresh 64-bit prefix; returns its one
    box and the session (still open, for registry checks), after `before(session)`. The
    prefix is a copy of the x64 tree's template, booted once for its own tests."""
    prefix = wine_session.new_prefix(X64_TREE / "wine", f"release-{prefix_name}", i386=False)
    session = wine_session.WineSession(prefix)
    test.addCleanup(shutil.rmtree, prefix, True)
    test.addCleanup(session.close)
    if before:
        before(session)
    run = tool_driver.run_tool(session, exe, X64_TREE / "boxwatch.exe")
    test.assertEqual(len(run.boxes), 1, run.boxwatch_output)
    return run.boxes[0], session


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = WORK / "package"
        shutil.rmtree(cls.out, ignore_errors=True)
        cls.zip_path, cls.package_run = package(cls.out)
        assert cls.zip_path, cls.package_run.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def test_unsigned_zip_holds_executables_guides_notices_fleet_and_checksums(self):
        self.assertEqual(self.zip_path.name, ZIP_NAME, self.package_run.stderr)
        self.assertIn("Not signed", self.package_run.stderr,
                      "says in one line that it did not sign")
        with zipfile.ZipFile(self.zip_path) as archive:
            fleet = sorted(f"fleet/{p.name}" for p in (SOURCE / "packaging" / "fleet").iterdir())
            self.assertEqual(sorted(archive.namelist()), sorted(
                ["SHA256SUMS", *GUIDES, "NOTICES.txt", "x64/TorvaNetWorkSetup.exe",
                 "x86/TorvaNetWorkSetup.exe", *fleet]))
            self.assertEqual([n for n in archive.namelist() if not n.isascii()], [],
                             "names Explorer before Windows 7 would garble")
            sums = archive.read("SHA256SUMS").decode().splitlines()
            self.assertEqual(len(sums), 2)
            for line in sums:
                digest, name = line.split("  ", 1)
                self.assertEqual(hashlib.sha256(archive.read(name)).hexdigest(), digest, name)
            for arch in ARCHES:
                self.assertEqual(archive.read(f"{arch}/TorvaNetWorkSetup.exe"), built(arch))
            guide = " ".join(archive.read("WHICH-ONE.txt").decode().split())
            for phrase in ("Run as administrator", "consent", "fleet", "restart",
                           "Detect application installations and prompt for elevation"):
                self.assertIn(phrase, guide)
            notices = archive.read("NOTICES.txt").decode()
            for component in ("mingw-w64 runtime", "libgcc", "libstdc++",
                              "GCC RUNTIME LIBRARY EXCEPTION"):
                self.assertIn(component, notices, "named in the notices")
        first = self.zip_path.read_bytes()
        self.assertEqual(package(self.out)[0].read_bytes(), first, "the same zip every time")

    def test_papers_name_the_tools_own_setting_files_windows_and_box_texts(self):
        with zipfile.ZipFile(self.zip_path) as archive:
            entries = archive.namelist()
            guides = {name: archive.read(name) for name in GUIDES}
            image = pefile.PE(data=archive.read("x86/TorvaNetWorkSetup.exe"))
        minimum = WINDOWS_NAMES[(image.OPTIONAL_HEADER.MajorOperatingSystemVersion,
                                 image.OPTIONAL_HEADER.MinorOperatingSystemVersion)]
        key, value, type_name, data = tool_setting()
        ipv6_value = key.replace("\\Tcpip\\", "\\Tcpip6\\") + "\\" + value
        boxes = box_texts()
        papers = {name: (SOURCE / name).read_text() for name in ("README.md", "README.zh-CN.md")}
        papers.update({name: text.decode("utf-8-sig") for name, text in guides.items()})
        data_given = re.compile(re.escape(value) + r"\s*=\s*(\d+)")
        facts = [  # (fact, what a paper gets wrong about it: nothing when it is right)
            ("key", lambda name, text: key not in text and "not named"),
            ("value name and data", lambda name, text:
             set(data_given.findall(text)) != {str(data)}
             and (data_given.findall(text) or "not named")),
            ("type", lambda name, text: type_name not in text and "not named"),
            ("the IPv6 value, left alone", lambda name, text:
             ipv6_value not in text and "not named"),
            ("every file in the zip", lambda name, text: unnamed(entries, name, text)),
            (f"oldest Windows: {minimum}", lambda name, text: minimum not in text and "not named"),
            ("the four box texts, as shown", lambda name, text: box_text_faults(boxes, text)),
            ("the opt-in to downgrades, in both READMEs", lambda name, text:
             name.startswith("README") and DOWNGRADE_OPT_IN not in text and "not named"),
            ("what the TCP/IP driver declares: event 1110 and its field", lambda name, text:
             missing(text, "1110", "TcpGlobalParameters", "win:UInt8", "1223", "win:UInt32",
                     "repnz/etw-providers-docs")),
            ("how to see it on one's own Windows", lambda name, text:
             missing(text, "wevtutil gp Microsoft-Windows-TCPIP /ge:true",
                     "New-AutologgerConfig", "tracerpt")),
            ("installer detection also reads the version record", lambda name, text:
             missing(text, "Versioning Resource fields", "File Description")),
            ("security policy reapplied: 16 hours plus up to 30 minutes", lambda name, text:
             missing(text, "MaxNoGPOListChangesInterval", "30")),
            ("the restart, as the JDBC page words it", lambda name, text:
             missing(text, "Restart the computer for the registry settings to take effect")),
        ]
        for name, text in papers.items():
            for fact, wrong in facts:
                with self.subTest(paper=name, fact=fact):
                    found = wrong(name, text)
                    self.assertFalse(found, f"{name}, {fact}: found {found}")
        for name, raw in guides.items():
            with self.subTest(paper=name, fact="UTF-8 with BOM, CRLF line ends"):
                self.assertTrue(raw.startswith(b"\xef\xbb\xbf"), raw[:8])
                self.assertNotIn(b"\n", raw.replace(b"\r\n", b""), "a bare line feed")


def missing(text, *words):
    """The words a paper leaves out, its line breaks and indents read as spaces."""
    flat = " ".join(text.split())
    return [word for word in words if word not in flat]


def unnamed(entries, paper, text):
    """The zip's files that a paper does not name by their path (\\ or / alike)."""
    text = text.replace("\\", "/")
    return [entry for entry in entries if entry != paper and entry not in text]


def box_text_faults(boxes, text):
    """Box texts a paper quotes wrongly or leaves out. Every quoted box starts like the tool's
    boxes do; it must be one of them, with a description (D) only where the tool adds one."""
    start = os.path.commonprefix([shown for shown, _ in boxes])
    longest_first = sorted(boxes, key=lambda box: -len(box[0]))
    faults, quoted = [], set()
    for at in (m.start() for m in re.finditer(re.escape(start), text)):
        match = next((box for box in longest_first if text.startswith(box[0], at)), None)
        after = text[at + len(match[0]):][:1] if match else ""
        if match is None or (not match[1] and (after.isalnum() or after in ",，:：")):
            faults.append(text[at:at + 30])
        else:
            quoted.add(match)
    return faults + [f"missing: {box[0]}" for box in boxes if box not in quoted]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True,
                   timeout=COMMAND)


def throwaway_key(folder, name, usage):
    """A PKCS#12 key whose certificate the throwaway CA issued with the given extended key
    usage."""
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
            f"{name}.csr", "-subj", f"/CN=Throwaway {name}", cwd=folder)
    (folder / f"{name}.ext").write_text(f"extendedKeyUsage={usage}\n"
                                        "keyUsage=critical,digitalSignature\n")
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "30", "-extfile", f"{name}.ext", "-out", f"{name}.pem",
            cwd=folder)
    openssl("pkcs12", "-export", "-inkey", f"{name}.key", "-in", f"{name}.pem", "-certfile",
            "ca.pem", "-passout", "file:password", "-out", f"{name}.p12", cwd=folder)
    return folder / f"{name}.p12"


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = WORK / "keys"
        shutil.rmtree(cls.keys, ignore_errors=True)
        cls.keys.mkdir(parents=True)
        (cls.keys / "password").write_text("throwaway pass phrase\n")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                "ca.pem", "-days", "30", "-subj", "/CN=Throwaway CA", "-addext",
                "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign",
                cwd=cls.keys)
        cls.code_signing = throwaway_key(cls.keys, "code-signing", "codeSigning")
        cls.server = throwaway_key(cls.keys, "server", "serverAuth")
        cls.env = dict(os.environ, SOURCE_DATE_EPOCH="1765152000")

    def sign(self, out, *args, key=None, password="password"):
        return package(out, "--pkcs12", key or self.code_signing, "--password-file",
                       self.keys / password, *args, env=self.env)

    def test_signed_executables_verify_strip_to_the_build_and_sign_reproducibly(self):
        out = WORK / "signed"
        zip_path, run = self.sign(out)
        self.assertIsNotNone(zip_path, run.stderr)
        first = zip_path.read_bytes()
        self.assertEqual(self.sign(out)[0].read_bytes(), first,
                         "the same key and SOURCE_DATE_EPOCH give the same zip")
        with zipfile.ZipFile(zip_path) as archive:
            for arch in ARCHES:
                with self.subTest(arch=arch):
                    signed = out / f"{arch}.exe"
                    signed.write_bytes(archive.read(f"{arch}/TorvaNetWorkSetup.exe"))
                    verify = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                             self.keys / "ca.pem", "-in", signed],
                                            capture_output=True, text=True, timeout=COMMAND)
                    self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
                    image = pefile.PE(str(signed))
                    strings = {k.decode(): v.decode() for table in image.FileInfo[0][0].StringTable
                               for k, v in table.entries.items()}
                    self.assertEqual((strings["FileVersion"], strings["OriginalFilename"]),
                                     ("1.00", "TorvaNetWorkSetup.exe"), "version record intact")
                    image.close()
                    stripped = out / f"{arch}-stripped.exe"
                    subprocess.run(["osslsigncode", "remove-signature", "-in", signed,
                                    "-out", stripped], check=True, capture_output=True,
                                   timeout=COMMAND)
                    self.assertTrue(stripped.read_bytes() == built(arch),
                                    "without its signature, the reproducible build's bytes")
        box, _ = run_tool_in_wine(self, out / "x64.exe", "signed")
        self.assertEqual((box.icon, box.text), ("information", "网络设置成功"))
        shutil.rmtree(out, ignore_errors=True)

    def test_bad_signing_input_fails_in_one_line_and_leaves_no_zip(self):
        (self.keys / "wrong").write_text("not the pass phrase")
        with socket.socket() as probe:  # a port that nothing listens on
            probe.bind(("127.0.0.1", 0))
            closed_port = probe.getsockname()[1]
        cases = [
            ("wrong password", {"password": "wrong"}, [], "wrong password"),
            ("missing key", {"key": self.keys / "absent.p12"}, [], "cannot read the signing key"),
            ("unreadable key", {"key": self.keys}, [], "cannot read the signing key"),
            ("not for code signing", {"key": self.server}, [], "not meant for code signing"),
            ("timestamp server unreachable", {},
             ["--timestamp", f"http://127.0.0.1:{closed_port}/"], "cannot be reached"),
        ]
        before = {arch: built(arch) for arch in ARCHES}
        out = WORK / "bad-signing"
        for name, key_args, args, expected in cases:
            with self.subTest(name):
                shutil.rmtree(out, ignore_errors=True)
                out.mkdir(parents=True)
                (out / ZIP_NAME).write_bytes(b"an earlier run's zip")
                zip_path, run = self.sign(out, *args, **key_args)
                self.assertNotEqual(run.returncode, 0)
                lines = run.stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, f"one line, got: {run.stderr!r}")
                self.assertIn(expected, lines[0])
                self.assertEqual(list(out.iterdir()), [], "no zip and nothing half-made")
        self.assertEqual({arch: built(arch) for arch in ARCHES}, before,
                         "the built executables stay unsigned")
        shutil.rmtree(out, ignore_errors=True)


def tool_text(name):
    """A text constant of the tool's, as modMain.h defines it: u"" literals (with their escapes)
    and other constants, joined by +."""
    header = (SOURCE / "modMain" / "modMain.h").read_text()
    definition = re.search(r"\b" + name + r" =([^;]+);", header).group(1)
    return "".join(literal.encode().decode("unicode_escape") if literal else tool_text(other)
                   for literal, other in re.findall(r'u"([^"]*)"|\b(k\w+)', definition))


def tool_setting():
    """(key, value name, type, data) as the tool's own constants hold them."""
    key, value = tool_text("kFullValueName").rsplit("\\", 1)
    return key, value, tool_text("kTypeName"), int(tool_text("kValueText"))


def box_texts():
    """The four boxes the tool can show: (text, whether a failure's description follows)."""
    failed = tool_text("kFailurePrefix")
    return [(tool_text("kSuccess"), False),
            (failed + tool_text("kCheckRightsComma") + tool_text("kErrorPrefix"), True),
            (failed + tool_text("kCheckRights"), False),
            (failed + tool_text("kErrorPrefix"), True)]


class FleetTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = WORK / "fleet"
        shutil.rmtree(cls.out, ignore_errors=True)
        zip_path, run = package(cls.out)
        assert zip_path, run.stderr
        with zipfile.ZipFile(zip_path) as archive:
            archive.extractall(cls.out)
        cls.fleet = cls.out / "fleet"
        cls.key, cls.value, cls.type, cls.data = tool_setting()

    def read(self, name):
        return (self.fleet / name).read_text()

    def test_every_file_names_the_tools_key_value_type_and_data(self):
        hive, path = self.key.split("\\", 1)
        self.assertEqual((hive, self.type, self.data), ("HKEY_LOCAL_MACHINE", "REG_DWORD", 1))
        reg_set = self.read("TcpMaxDataRetransmissions-set.reg")
        self.assertIn(f"[{self.key}]\n\"{self.value}\"=dword:{self.data:08x}\n", reg_set)
        reg_remove = self.read("TcpMaxDataRetransmissions-remove.reg")
        self.assertIn(f"[{self.key}]\n\"{self.value}\"=-\n", reg_remove)
        properties = ElementTree.parse(self.fleet / "Registry.xml").find("Registry/Properties")
        self.assertEqual(
            {k: properties.get(k) for k in ("action", "hive", "key", "name", "type")},
            {"action": "U", "hive": hive, "key": path, "name": self.value, "type": self.type})
        self.assertEqual(int(properties.get("value"), 16), self.data)
        task = yaml.safe_load(self.read("tcp-retransmissions.yml"))[0]["tasks"][0]
        regedit = task["ansible.windows.win_regedit"]
        self.assertEqual((regedit["path"], regedit["name"], regedit["data"], regedit["type"]),
                         (f"HKLM:\\{path}", self.value, self.data, "dword"))
        for script in ("Detect-TcpMaxDataRetransmissions.ps1",
                       "Remediate-TcpMaxDataRetransmissions.ps1"):
            with self.subTest(script):
                text = self.read(script)
                self.assertIn(f"$key = 'HKLM:\\{path}'\n", text)
                self.assertIn(f"$name = '{self.value}'\n", text)
        self.assertIn("GetValueKind($name) -eq 'DWord' -and $item.GetValue($name) -eq "
                      f"{self.data})", self.read("Detect-TcpMaxDataRetransmissions.ps1"))
        self.assertIn(f"-Name $name -PropertyType DWord -Value {self.data} ",
                      self.read("Remediate-TcpMaxDataRetransmissions.ps1"))

    def test_playbook_passes_ansible_syntax_check(self):
        check = subprocess.run(["ansible-playbook", "--syntax-check", "-i", "localhost,",
                                self.fleet / "tcp-retransmissions.yml"],
                               capture_output=True, text=True, timeout=COMMAND)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_reg_files_set_and_remove_the_value_in_wine(self):
        def import_set_file(session):
            self.regedit(session, "TcpMaxDataRetransmissions-set.reg")
            self.assertEqual(session.reg_query(self.key, self.value), ("REG_DWORD", "0x1"))

        box, session = run_tool_in_wine(self, self.out / "x64" / "TorvaNetWorkSetup.exe",
                                        "fleet", before=import_set_file)
        self.assertEqual((box.icon, box.text), ("information", "网络设置成功"),
                         "the tool still reports success after the .reg file")
        self.regedit(session, "TcpMaxDataRetransmissions-remove.reg")
        self.assertIsNone(session.reg_query(self.key, self.value), "the value is gone")

    def regedit(self, session, name):
        session.regedit(self.fleet / name)


def main():
    global SOURCE, WORK, X64_TREE
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    options, rest = parser.parse_known_args()
    SOURCE, WORK = options.source.resolve(), options.work.resolve()
    X64_TREE = SOURCE / "build" / "win-x64"
    # The checks' commands (the package command, openssl, ansible...) run in one locale whatever
    # the caller's: one this machine may lack makes bash warn on standard error and ansible
    # refuse to start.
    os.environ.update(LC_ALL="C.UTF-8", LANGUAGE="")
    wine_session.own_what_it_starts()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
