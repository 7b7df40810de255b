#!/usr/bin/python3
"""Start-up benchmark under Wine: from process creation until the box is visible.

Timed by boxwatch.exe, which starts each program itself and polls for its window, so that
Wine's own start-up counts the same for every candidate. Runs are interleaved (one of each
candidate per round), all in one private prefix on a private display, in a Chinese locale
(which the script peer needs on Wine): TorvaNetWorkSetup.exe, x86 and x64; the floor
(benchmarks/floor.cpp: the registry API directly and the same box, x86); the script peer
(benchmarks/peer.vbs: the same three calls through the same object, run by wscript.exe).
"""

import argparse
import datetime
import platform as host
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import tool_driver  # noqa: E402
import wine_session  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build"
PROGRAMS = {"floor": BUILD / "win-x86" / "benchmarks" / "floor.exe",
            "tool-x86": BUILD / "win-x86" / "TorvaNetWorkSetup.exe",
            "tool-x64": BUILD / "win-x64" / "TorvaNetWorkSetup.exe",
            "script": ROOT / "benchmarks" / "peer.vbs"}


def candidates(scratch):
    """name -> command line. Wine's wscript.exe reads scripts in the ANSI code page only, and
    its VBScript has no ChrW: the script goes in code page 936, which the session's Chinese
    locale selects."""
    peer = scratch / "peer.vbs"
    peer.write_bytes(PROGRAMS["script"].read_text(encoding="utf-8").replace("\n", "\r\n")
                     .encode("gbk"))
    paths = dict(PROGRAMS, script=peer)
    commands = {name: f'"{wine_session.windows_path(path)}"' for name, path in paths.items()}
    commands["script"] = '"C:\\windows\\system32\\wscript.exe" ' + commands["script"]
    return commands


RUN_GUARD_MS = 120 * 1000  # boxwatch ends a run that shows no box, or does not end, by then


class RoundFailed(SystemExit):
    """A round that failed, said in one line."""


def rounds(session, args, runs, what):
    """boxwatch's lines for `runs` rounds; RoundFailed on the first failed run."""
    bound = runs * args.count("--launch") * 2 * RUN_GUARD_MS // 1000 + 300
    result = session.run(args + ["--runs", str(runs), "--wait-ms", str(RUN_GUARD_MS)],
                         capture_output=True, text=True, timeout=bound, what=what)
    for line in result.stdout.splitlines():
        if "error=" in line:  # the failed run, as boxwatch says it (see its usage)
            raise RoundFailed(f"benchmark failed: {line}")
    if result.returncode != 0:
        raise RoundFailed(f"benchmark failed: boxwatch ended with status {result.returncode}: "
                          f"{(result.stderr or result.stdout).strip()[-300:]}")
    return result.stdout


def run(runs):
    root = BUILD / "benchmark" / "wine"
    prefix = wine_session.new_prefix(root, "bench", i386=True)
    launches = candidates(prefix)
    args = [BUILD / "win-x86" / "boxwatch.exe", "--title", tool_driver.TITLE, "--poll-ms", "1"]
    args += [arg for name, command in launches.items() for arg in ("--launch", f"{name}={command}")]
    # Every candidate runs under the same Chinese locale (see candidates()).
    with wine_session.WineSession(prefix, locale="zh_CN.UTF-8") as session:
        # One untimed round first: the first start of anything in a new prefix is slower.
        rounds(session, args, 1, "the untimed first round")
        output = rounds(session, args, runs, f"{runs} timed rounds")
    shutil.rmtree(prefix, ignore_errors=True)
    samples = {name: {"ms": [], "kb": []} for name in launches}
    for line in output.splitlines():
        fields = dict(item.split("=", 1) for item in line.split() if "=" in item)
        if "visible_us" in fields:
            samples[fields["name"]]["ms"].append(int(fields["visible_us"]) / 1000)
            samples[fields["name"]]["kb"].append(int(fields["peak_kb"]))
    return samples


def report(samples, runs, command):
    floor = statistics.median(samples["floor"]["ms"])
    wine = subprocess.run([wine_session.WINE64, "--version"], capture_output=True, text=True,
                          timeout=wine_session.COMMAND).stdout.strip()
    lines = [f"Runs: {runs} interleaved rounds (after one untimed round), Wine {wine}, "
             f"{host.machine()}, {datetime.date.today()}.", "",
             "| program | median to visible box (ms) | min | max | ratio to floor | size (bytes) "
             "| peak working set (KiB, median) |",
             "|---|---|---|---|---|---|---|"]
    for name, sample in samples.items():
        median = statistics.median(sample["ms"])
        lines.append(f"| {name} | {median:.1f} | {min(sample['ms']):.1f} | "
                     f"{max(sample['ms']):.1f} | {median / floor:.2f}x | "
                     f"{PROGRAMS[name].stat().st_size} | {statistics.median(sample['kb']):.0f} |")
    lines += ["", f"Command: `{command}`"]
    return "\n".join(lines)


def main():
    wine_session.own_what_it_starts()
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=25)
    options = parser.parse_args()
    try:
        samples = run(options.runs)
    except wine_session.HarnessError as error:
        raise SystemExit(f"benchmark harness failed: {error}") from None
    print(report(samples, options.runs, f"scripts/benchmark --runs {options.runs}"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
