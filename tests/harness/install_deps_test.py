#!/usr/bin/python3
"""scripts/install-deps.sh's decisions, against stand-ins for apt-get, apt-cache, dpkg,
dpkg-query, id and sleep put first on PATH: what it runs and what it says when Debian's mirror
is in mid-sync, when the i386 lists are behind the amd64 ones, and when it is not run as root.

Each row runs a copy of the script in a folder of its own; the stand-ins play the row's
scenario and write down every call.
"""

import json
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "install-deps.sh"

# apt-get's own words, as a mirror in mid-sync and an unresolvable multi-arch install give them.
SYNC_ERROR = """Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]
E: Some index files failed to download. They have been ignored, or old ones used instead."""
UNMET = """The following packages have unmet dependencies:
 libwine:i386 : Depends: libgstreamer-plugins-base1.0-0:i386 (>= 1.0.0) but it is not installable
E: Unable to correct problems, you have held broken packages."""
SIMULATED_DOWNGRADE = """Inst libssl3 [3.0.22-1~deb12u1] (3.0.20-1~deb12u1 Debian:12.15/stable [amd64])
Inst libwine:i386 (8.0~repack-4 Debian:12.15/stable [i386])"""
POLICY = {
    "libgstreamer-plugins-base1.0-0:amd64": ("1.22.0-3+deb12u7", "bookworm-security"),
    "libgstreamer-plugins-base1.0-0:i386": ("1.22.0-3+deb12u6", "bookworm"),
}

STAND_IN = r'''#!/usr/bin/python3
import json, os, sys
from pathlib import Path
name, args = Path(sys.argv[0]).name, sys.argv[1:]
scenario = json.loads(Path(os.environ["STAND_IN_SCENARIO"]).read_text())
calls = Path(os.environ["STAND_IN_CALLS"])
with calls.open("a") as log:
    log.write(json.dumps([name, *args]) + "\n")
counts = Path(str(calls) + "." + name)
count = int(counts.read_text()) if counts.exists() else 0
counts.write_text(str(count + 1))
if name == "id":
    print(0 if scenario["root"] else 1000)
elif name == "dpkg-query":  # -W -f='${Package}:${Architecture} ${Status}\n' PACKAGE...
    for package in args[2:]:
        # "all": every package but qemu-user, which the script adds only where this machine
        # emulates 32-bit programs
        if (package not in scenario["missing"] if scenario["missing"] != "all" else
                package == "qemu-user"):
            print(package if ":" in package else package + ":amd64", "install ok installed")
elif name == "dpkg" and "--print-architecture" in args:
    print("amd64")
elif name == "dpkg" and "--print-foreign-architectures" in args:
    pass
elif name == "apt-cache":
    package = args[-1]
    version, suite = scenario["policy"][package]
    print(f"{package}:\n  Installed: (none)\n  Candidate: {version}\n  Version table:\n"
          f"     {version} 500\n        500 http://deb.debian.org/debian {suite}/main "
          f"{package.split(':')[1]} Packages")
elif name == "apt-get":
    if "update" in args:
        outcome = scenario["update"][min(count, len(scenario["update"]) - 1)]
    else:
        mode = ("990" if any(a.endswith("main-suite-990.pref") for a in args) else
                "1001-simulated" if "-s" in args else
                "1001" if any(a.endswith("main-suite-1001.pref") for a in args) else "plain")
        outcome = scenario["install"][mode]
    print(outcome["say"])
    sys.exit(outcome["status"])
'''

OK = {"say": "Done", "status": 0}
SYNC = {"say": SYNC_ERROR, "status": 100}
UNRESOLVED = {"say": UNMET, "status": 100}
DOWNGRADES = {"say": SIMULATED_DOWNGRADE, "status": 0}
RETRY_LINE = ("Updating the package lists failed (try 1 of 4): Failed to fetch "
              "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
              "Packages.xz: File has unexpected size (374820 != 376004). Mirror sync in "
              "progress?. Trying again in 20 s.")
OUT_OF_STEP = ("libgstreamer-plugins-base1.0-0: amd64 1.22.0-3+deb12u7 (bookworm-security), "
               "i386 1.22.0-3+deb12u6 (bookworm)")

# name: (scenario, environment, expected status, apt-get commands expected in this order (each
# given by words it contains; "!WORD": by a word none of its arguments contains), sleeps, texts
# the output must hold, texts neither it nor any command it ran may hold). A scenario's "set" is the script's argument;
# "missing" lists the packages not installed, or says "all" (but qemu-user).
ROWS = {
    "update fails with the mirror mid-sync once, then succeeds": (
        {"update": [SYNC, OK], "install": {"plain": OK}}, {}, 0,
        [["update"], ["update"], ["install", "wine32:i386", "wine32-preloader:i386"]], ["20"],
        [RETRY_LINE],
        ["still fails"]),
    "update keeps failing: retried three times, then the install goes on": (
        {"update": [SYNC], "install": {"plain": OK}}, {}, 0,
        [["update"]] * 4 + [["install"]], ["20", "40", "60"],
        ["(try 3 of 4)", "Updating the package lists still fails",
         "going on with the lists apt has"], ["(try 4 of 4)"]),
    "i386 lists behind: the main suite resolves it without lowering a package": (
        {"update": [OK], "install": {"plain": UNRESOLVED, "990": OK}}, {}, 0,
        [["update"], ["install"], ["main-suite-990.pref", "install"]], [],
        ["The i386 package lists are behind the amd64 ones", OUT_OF_STEP],
        ["--allow-downgrades", "TORVA_ALLOW_DOWNGRADE"]),
    "i386 lists behind, only lowering packages resolves it: stops and names the opt-in": (
        {"update": [OK], "install": {"plain": UNRESOLVED, "990": UNRESOLVED,
                                     "1001-simulated": DOWNGRADES}}, {}, 1,
        [["update"], ["install"], ["main-suite-990.pref"], ["-s", "main-suite-1001.pref"]], [],
        ["Installing the packages failed: Debian's mirror is out of step", OUT_OF_STEP,
         "usually passes within hours", "would change 1 installed", "TORVA_ALLOW_DOWNGRADE=1"],
        ["--allow-downgrades"]),
    "i386 lists behind, lowering allowed: installs and logs what changed": (
        {"update": [OK], "install": {"plain": UNRESOLVED, "990": UNRESOLVED,
                                     "1001-simulated": DOWNGRADES, "1001": OK}},
        {"TORVA_ALLOW_DOWNGRADE": "1"}, 0,
        [["update"], ["install"], ["main-suite-990.pref"], ["-s", "main-suite-1001.pref"],
         ["main-suite-1001.pref", "--allow-downgrades", "install", "wine32:i386"]], [],
        ["changes 1 installed packages, some to a lower version",
         "libssl3 3.0.22-1~deb12u1 -> 3.0.20-1~deb12u1"], ["failed"]),
    "not root: the exact command, and nothing run": (
        {"root": False}, {}, 1, [], [],
        ["Installing them needs root", "sudo sh -c 'dpkg --add-architecture i386 && apt-get "
         "update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "
         "wine32:i386 wine32-preloader:i386'"], []),
    "command 1 on a fresh machine: the x64 run's packages, no i386 architecture": (
        {"set": "run-x64", "missing": "all", "update": [OK], "install": {"plain": OK}}, {}, 0,
        [["update"], ["install", "wine64-preloader", "xvfb", "!:i386", "!googletest", "!i686",
                      "!ansible", "!osslsigncode", "!pefile", "!qemu"]], [], [],
        ["--add-architecture"]),
    "scripts/run --x86 on a fresh machine: Wine's 32-bit side with its preloader": (
        {"set": "run-x86", "missing": "all", "update": [OK], "install": {"plain": OK}}, {}, 0,
        [["update"], ["install", "wine32:i386", "wine32-preloader:i386",
                      "g++-mingw-w64-i686-win32", "!googletest", "!ansible"]], [], [], []),
    "command 2 on a fresh machine: everything, the preloader with wine32": (
        {"missing": "all", "update": [OK], "install": {"plain": OK}}, {}, 0,
        [["update"], ["install", "wine32:i386", "wine32-preloader:i386", "googletest",
                      "ansible", "osslsigncode"]], [], [], []),
}


class InstallDepsTest(unittest.TestCase):
    def test_decisions(self):
        for name, (scenario, env, status, apt_calls, sleeps, said, unsaid) in ROWS.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                work = Path(work)
                (work / "scripts").mkdir()
                shutil.copy(SCRIPT, work / "scripts")
                bin_dir = work / "bin"
                bin_dir.mkdir()
                for tool in ("apt-get", "apt-cache", "dpkg", "dpkg-query", "id", "sleep"):
                    (bin_dir / tool).write_text(STAND_IN)
                    (bin_dir / tool).chmod(0o755)
                full = {"root": True, "missing": ["wine32:i386", "wine32-preloader:i386"],
                        "policy": POLICY, **scenario}
                (work / "scenario.json").write_text(json.dumps(full))
                # Only the row says whether lowering packages is allowed (CI allows it) or
                # 32-bit programs are to be emulated.
                outer = {k: v for k, v in os.environ.items()
                         if k not in ("TORVA_ALLOW_DOWNGRADE", "TORVA_FORCE_QEMU_I386")}
                run = subprocess.run(
                    ["bash", work / "scripts" / "install-deps.sh", full.get("set", "all")],
                    capture_output=True,
                    text=True, stdin=subprocess.DEVNULL, timeout=60,
                    env=dict(outer, PATH=f"{bin_dir}:{os.environ['PATH']}",
                             STAND_IN_SCENARIO=str(work / "scenario.json"),
                             STAND_IN_CALLS=str(work / "calls"), **env))
                output = run.stdout + run.stderr
                calls = [json.loads(line) for line in
                         (work / "calls").read_text().splitlines()]
                log = work / "build" / "install-deps.log"
                seen = output + (log.read_text() if log.exists() else "")
                ran = [call[1:] for call in calls if call[0] == "apt-get"]
                self.assertEqual(run.returncode, status, f"exit status; it printed:\n{output}")
                self.assertEqual(len(ran), len(apt_calls),
                                 f"apt-get calls: expected {apt_calls}, got {ran}")
                for expected, got in zip(apt_calls, ran):
                    self.assertTrue(all(any(word.removeprefix("!") in arg for arg in got)
                                        != word.startswith("!")
                                        for word in expected),
                                    f"expected an apt-get call with {expected}, got {got}")
                self.assertEqual([call[1] for call in calls if call[0] == "sleep"], sleeps)
                for text in said:
                    self.assertIn(text, seen, f"expected in the output or log:\n{output}")
                called = "\n".join(" ".join(call) for call in calls)
                for text in unsaid:
                    self.assertNotIn(text, output + called,
                                     f"not expected in the output or calls:\n{output}{called}")
                if any("wine32:i386" in call for call in ran):
                    self.assertTrue(all("wine32-preloader:i386" in call for call in ran
                                        if "wine32:i386" in call),
                                    f"wine32:i386 without its preloader in {ran}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
