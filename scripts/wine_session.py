#!/usr/bin/python3
"""Private Wine environments for the project's Windows programs.

A session has its own Wine prefix inside the build tree (never the user's own) and, unless told
to use an existing display, its own Xvfb. Closing it ends what it started: its prefix's Wine
processes and server (`wineserver -k`, which saves the registry first), then its Xvfb. However
a program that owns sessions ends, SIGKILL included, nothing it started outlives it: it runs as
the first process of a PID namespace of its own (own_what_it_starts), whose every process the
kernel ends once that first one has ended.

A session starts its prefix's wineserver itself, kept SERVER_IDLE seconds after its last
program rather than Wine's 3. Wine's system processes (services.exe and the rest), started by
the session's first command, inherit its output and hold it open until the server ends; so
when that command's output is read through a pipe, they are started by a command of their own.

Every program starts through Wine's 64-bit loader, which hands a 32-bit program on to the
32-bit one (under qemu-i386 where the kernel runs no 32-bit programs: see i386_support.py).
Every wait has one bound; when it runs out, HarnessError says what was waited for. A template
prefix is booted once per build tree (a quarter of a minute), with its 32-bit part only for
trees of 32-bit programs, and each session gets a copy, made in one pass.

As a command, `run --root DIR [--no-display] PROGRAM.exe [ARGS...]` runs one program in a
fresh private prefix, on a private display or none, and exits with its status (CTest's emulator
for the test programs); `template --root DIR [--32-bit]` boots the template prefix if need be;
`leftovers --root DIR` lists processes still running for prefixes under DIR, failing if any.
"""

import argparse
import contextlib
import fcntl
import hashlib
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import i386_support  # noqa: E402

WINE64 = "/usr/lib/wine/wine64"
# No Mono or Gecko: wineboot would look for them, and nothing here needs them.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
# Wine takes the Windows locale from the Unix locale's name (LC_ALL first), even one the C
# library lacks: zh_CN.UTF-8 gives zh-CN, 0804 and code page 936; C.UTF-8 gives en-US, 0409,
# 1252 and OEM code page 437 (measured, Wine 8.0), in which the harness's own commands run.
HARNESS_LOCALE = {"LC_ALL": "C.UTF-8", "LANGUAGE": ""}
HARNESS_CODEPAGE = "cp437"
# Wine's error channel on, every other channel off: for a run that fails to say why.
ERROR_CHANNEL = {"WINEDEBUG": "-all,err+all"}
NO_DISPLAY = ""  # a display that names none: no window can be made

SCREEN = (1024, 768)
WITH_32BIT_PART = ".32-bit-part"  # in a prefix, and its copies, that has the 32-bit part
PR_SET_PDEATHSIG = 1
CLONE_NEWNS, CLONE_NEWPID = 0x00020000, 0x20000000
MS_REC, MS_PRIVATE = 0x4000, 1 << 18

# Bounds, in seconds, and what was measured on 2 busy cores, 32-bit programs emulated.
XVFB_START = 60  # Xvfb announcing its display: well under a second
COMMAND = 120  # reg, regedit, cmd and Wine's other short commands: a few seconds at most
WINEBOOT = 600  # booting a template: 18 s with its 32-bit part emulated, 2 min without preloader
PROGRAM = 300  # a platform test program run by `run`: under 15 s
TEMPLATE_LOCK = WINEBOOT + 60  # another process booting the template, or copying it
SERVER_IDLE = 60  # a session's wineserver, after its last program; ended at close before that

# Chinese text is drawn with WenQuanYi Micro Hei, linked to the dialog fonts; windows get a
# virtual desktop so that Wine draws their title bars itself (there is no window manager).
FONT_LINK = "wqy-microhei.ttc,WenQuanYi Micro Hei"
LINKED_FONTS = ["Tahoma", "MS Shell Dlg", "MS Shell Dlg 2", "Microsoft Sans Serif",
                "Segoe UI", "Arial"]
# Folders of a prefix holding only Wine's own program files, which nothing here writes to.
SHARED_DIRS = {("drive_c", "windows", name) for name in ("system32", "syswow64", "winsxs")}


# Wine 8.0 sometimes cannot start a process: the fixed address of its shared user data is taken
# (seen for emulated 32-bit programs; for 64-bit ones without Wine's 64-bit preloader, by the
# loader's heap), and it exits with status 1, saying only this on its error channel.
START_FAILURE = "failed to map the shared user data"


def raise_if_not_started(status, said, what):
    """NotStarted if Wine could not start `what`, as its status and error channel tell."""
    if status == 1 and START_FAILURE in said:
        raise NotStarted(f"Wine could not start {what}: {START_FAILURE}")


def once_more_if_not_started(attempt):
    """attempt(), and once more if Wine could not start its process (NotStarted): it never ran."""
    try:
        return attempt()
    except NotStarted as error:
        print(f"{error}; trying it once more", file=sys.stderr, flush=True)
        return attempt()


class HarnessError(RuntimeError):
    """The harness could not do its part (display, Wine's boot, a command): never the program's."""


class NotStarted(HarnessError):
    """Wine could not start a process (START_FAILURE)."""


def own_what_it_starts():
    """From here on, this program is the first process of a PID namespace of its own, whose
    processes the kernel ends once it has ended; it is killed when the process left outside,
    waiting, is. Call it before any thread or child. Its own /proc, in a mount namespace of its
    own, is needed: qemu-i386 knows /proc/self/exe only by the pid a program sees. Not root, it
    adds a user namespace mapping the user to itself. Without namespaces it runs on, saying so."""
    libc = i386_support.LIBC
    uid, gid = os.getuid(), os.getgid()
    try:
        if os.geteuid() == 0:
            i386_support.check(libc.unshare(CLONE_NEWPID | CLONE_NEWNS), "unshare")
        else:
            i386_support.new_user_namespace(CLONE_NEWPID | CLONE_NEWNS, uid, gid, uid, gid)
    except OSError as error:
        print(f"No PID namespace here ({error}): a process this program starts may outlive "
              "it if it is killed outright.", file=sys.stderr, flush=True)
        return
    outside = os.getpid()
    child = os.fork()
    if child == 0:
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if not Path(f"/proc/{outside}").exists():  # ended before the signal was asked for
            os._exit(128 + signal.SIGKILL)
        i386_support.check(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "mount")
        i386_support.check(libc.mount(b"proc", b"/proc", b"proc", 0, None), "mount /proc")
        # A namespace's first process gets only the signals it handles: these run its clean-up.
        for signum in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, lambda number, _: sys.exit(128 + number))
        return
    # A terminal's Ctrl-C reaches both: the inside one ends its sessions, then this one.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for signum in (signal.SIGTERM, signal.SIGHUP):  # passed on, for the clean-up inside
        signal.signal(signum, lambda number, _: os.kill(child, number))
    code = os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])
    os._exit(code if code >= 0 else 128 - code)


def _prefix_settings():
    # REG_MULTI_SZ: each string ends with a NUL, and the list with one more.
    font_link = ",".join(f"{b:02x}" for b in (FONT_LINK + "\0\0").encode("utf-16-le"))
    lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\Software\\"
             "Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]"]
    lines += [f'"{font}"=hex(7):{font_link}' for font in LINKED_FONTS]
    lines += ["", r"[HKEY_CURRENT_USER\Software\Wine\Explorer]", '"Desktop"="Default"',
              "", r"[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]",
              f'"Default"="{SCREEN[0]}x{SCREEN[1]}"', ""]
    return "\r\n".join(lines)


class Xvfb:
    """A private X display that only this machine's programs can reach."""

    def __init__(self, env=None):
        read_end, write_end = os.pipe()
        errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=errors, start_new_session=True, env=env)
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            ready, _, _ = select.select([announced], [], [], XVFB_START)
            self.display = ":" + (announced.readline().strip() if ready else "")
        if self.display == ":":
            ended = self.process.poll()
            self.close()
            errors.seek(0)
            said = errors.read().decode(errors="replace").strip()[-1500:] or "nothing"
            raise HarnessError("Xvfb did not start: " + (
                f"it ended with status {ended}" if ended is not None else
                f"waited {XVFB_START} s for it to announce its display") + f"; it said:\n{said}")
        errors.close()

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class WineSession:
    """Wine in one prefix, on a private display unless `display` names one (NO_DISPLAY: none).
    Its programs run in `locale` (a Unix locale name; by default the caller's), its harness
    commands in HARNESS_LOCALE."""

    def __init__(self, prefix, display=None, dll_overrides=None, locale=None):
        self.prefix = Path(prefix).resolve()
        if (self.prefix / WITH_32BIT_PART).exists():
            i386_support.enable()  # before any process is started: it enters a namespace
        # The display, too, carries the prefix in its environment (see leftovers()).
        self.xvfb = (Xvfb(dict(os.environ, WINEPREFIX=str(self.prefix)))
                     if display is None else None)
        self.display = self.xvfb.display if self.xvfb else display
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), DISPLAY=self.display,
                        **WINE_ENV)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.harness_env = dict(self.env, **HARNESS_LOCALE, **ERROR_CHANNEL)
        # DLL overrides asked for by the caller (switching a DLL off) come on top, for its
        # programs only: Wine's own commands, wineboot among them, run without them.
        extra = [o for o in (os.environ.get("WINEDLLOVERRIDES"), dll_overrides) if o]
        self.env["WINEDLLOVERRIDES"] = ";".join([WINE_ENV["WINEDLLOVERRIDES"], *extra])
        if locale:
            self.env.update(LC_ALL=locale, LANGUAGE="")
        self.server_started = False

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def run(self, args, timeout=COMMAND, what=None, env=None, **kwargs):
        """Runs a Wine command to its end; HarnessError once `timeout` seconds have passed,
        naming `what` (by default, the command) as what was waited for."""
        try:
            return subprocess.run(self._command(args, kwargs), env=env or self.env,
                                  check=False, timeout=timeout, **kwargs)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"waited {timeout} s for {what or ' '.join(map(str, args))} "
                               f"(Wine prefix {self.prefix}); it had not ended") from None

    def start(self, args, env=None, **kwargs):
        """Starts a Wine program; `env` adds to the session's environment."""
        return subprocess.Popen(self._command(args, kwargs), env=dict(self.env, **(env or {})),
                                **kwargs)

    def _command(self, args, kwargs):
        """The command line; before the session's first, its server (see above)."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        if not self.server_started:
            self.server_started = True
            _wineserver(self.env, f"-p{SERVER_IDLE}")
            if kwargs.get("capture_output") or subprocess.PIPE in kwargs.values():
                self.harness_command(["cmd", "/c", "exit"])
        return [WINE64, *map(str, args)]

    def import_registry(self, text):
        path = self.prefix / "settings.reg"
        # A version 5 file is read as UTF-16 only with a byte order mark; hex(7) data needs it.
        path.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
        self.regedit(path)

    def regedit(self, path):
        """Imports a .reg file, named by its full Windows path (a Unix path would be read
        relative to the current drive)."""
        self.harness_command(["regedit", "/S", windows_path(path)])

    def harness_command(self, args, timeout=COMMAND):
        """Runs one of Wine's own commands for the harness (`reg ...`, `regedit /S`,
        `wineboot`, `cmd`) to its end, in HARNESS_LOCALE, and returns what it printed (its
        output goes to files). HarnessError, with what it said, when it fails."""
        what = " ".join(map(str, args))

        def attempt():
            with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
                result = self.run(args, timeout=timeout, what=what, env=self.harness_env,
                                  stdout=stdout, stderr=stderr)
                printed, said = _read(stdout), _read(stderr)
            raise_if_not_started(result.returncode, said, what)
            if result.returncode != 0:
                raise HarnessError(f"{what} ended with status {result.returncode} (Wine prefix "
                                   f"{self.prefix}): " + ((printed + said).strip()[-500:]
                                                          or "it said nothing"))
            return printed
        return once_more_if_not_started(attempt)

    def export_values(self, key):
        """The values of a registry key, name -> data as `reg export` writes it (a UTF-16
        file: nothing on the way depends on a locale)."""
        target = self.prefix / "export.reg"
        self.harness_command(["reg", "export", key, windows_path(target), "/y"])
        text = re.sub(r"\\\r?\n\s*", "", target.read_bytes().decode("utf-16"))  # joined lines
        target.unlink()
        return dict(re.findall(r'^"((?:[^"\\]|\\.)*)"=(.*?)\r?$', text, re.MULTILINE))

    def reg_query(self, key, value):
        """(type, data) of a registry value, or None if absent: ("REG_DWORD", "0x1") for a
        number, ("REG_SZ", text) for a text, ("other", data as exported) for anything else."""
        data = self.export_values(key).get(value)
        if data is None:
            return None
        if data.startswith("dword:"):
            return "REG_DWORD", hex(int(data[6:], 16))
        if data.startswith('"'):
            return "REG_SZ", re.sub(r"\\(.)", r"\1", data[1:-1])
        return "other", data

    def end_programs(self):
        _wineserver(self.env, "-k")

    def close(self):
        """Ends this prefix's Wine processes, then its server, which saves the registry as it
        ends (`-w` waits for that); then the display. Whatever does not end in time ends with
        the program's PID namespace."""
        try:
            if self.prefix.is_dir() and self.server_started:
                self.end_programs()
                _wineserver(self.env, "-w")
        finally:
            if self.xvfb:
                self.xvfb.close()


def _read(file):
    file.seek(0)
    return file.read().decode(HARNESS_CODEPAGE, errors="replace")


def _wineserver(env, *flags):
    """Runs `wineserver` for the prefix that `env` names; gives up after COMMAND seconds."""
    with contextlib.suppress(subprocess.TimeoutExpired):
        subprocess.run(["wineserver", *flags], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=COMMAND,
                       check=False)


def windows_path(path):
    """The path as Wine's programs name it: Wine maps the Unix root to drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def is_32bit_program(path):
    """Whether a Windows executable is an x86 (32-bit) PE image."""
    with open(path, "rb") as image:
        header = image.read(4096)
    pe = int.from_bytes(header[0x3C:0x40], "little")
    return header[pe:pe + 4] == b"PE\0\0" and header[pe + 4:pe + 6] == b"\x4c\x01"


def _template_stamp(i386):
    """What a prefix was made with. A prefix booted before wine32 was installed, or without
    its 32-bit part, cannot run 32-bit programs, so one whose stamp differs is made again."""
    versions = subprocess.run(
        ["dpkg-query", "-W", "-f=${Package}:${Architecture}=${Version}\\n",
         "wine32:i386", "wine64", "fonts-wine", "fonts-wqy-microhei"],
        capture_output=True, text=True, check=False).stdout
    parts = versions + _prefix_settings() + ("32-bit part" if i386 else "64-bit only")
    return hashlib.sha256(parts.encode()).hexdigest()


def is_current(prefix, i386):
    stamp = Path(prefix) / ".ready"
    return (stamp.exists() and stamp.read_text().strip() == _template_stamp(i386)
            and (Path(prefix) / WITH_32BIT_PART).exists() == i386)


@contextlib.contextmanager
def _template_lock(root):
    root.mkdir(parents=True, exist_ok=True)
    with open(root / "template.lock", "w") as lock:
        for _ in range(TEMPLATE_LOCK):
            with contextlib.suppress(BlockingIOError):
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            time.sleep(1)
        else:
            raise HarnessError(f"waited {TEMPLATE_LOCK} s for another process to finish "
                               f"booting or copying the template prefix under {root}")
        yield


def ensure_template(root, i386):
    """The booted template prefix under `root`, booting it if needed; the caller holds the
    template lock."""
    template = root / "template"
    if not is_current(template, i386):
        shutil.rmtree(template, ignore_errors=True)
        template.mkdir(parents=True)
        if i386:
            (template / WITH_32BIT_PART).touch()
        print(f"Booting the Wine prefix {template} (once per build tree"
              + ("; with its 32-bit part)..." if i386 else ")..."), file=sys.stderr, flush=True)
        # Where the kernel runs no 32-bit programs, a 64-bit-only tree's prefix is booted
        # without asking for them: Wine then leaves its 32-bit part out rather than emulate it.
        with WineSession(template) as session:
            session.harness_command(["wineboot", "-i"], timeout=WINEBOOT)
            session.import_registry(_prefix_settings())
        (template / ".ready").write_text(_template_stamp(i386))
    return template


def new_prefix(root, name, i386):
    """A fresh private prefix `root/name`, copied from the template (booted first if need be;
    other callers wait)."""
    root = Path(root).resolve()
    prefix = root / name
    with _template_lock(root):  # the template must not be remade while it is copied
        template = ensure_template(root, i386)
        shutil.rmtree(prefix, ignore_errors=True)

        # Only Wine's program files are shared; Wine may rewrite anything else in place
        # (registry, .ini files), so every other file gets a copy of its own.
        def link_or_copy(source, target):
            shared = Path(source).relative_to(template).parts[:3] in SHARED_DIRS
            (os.link if shared else shutil.copy2)(source, target)
        shutil.copytree(template, prefix, symlinks=True, copy_function=link_or_copy)
    return prefix


def leftovers(root):
    """(pid, command line) of every process still running for a prefix under `root`: Wine's
    processes, their server, their displays and, where 32-bit programs are emulated, qemu."""
    marker = b"WINEPREFIX=" + str(Path(root).resolve()).encode() + b"/"
    found = []
    for process in Path("/proc").iterdir():
        try:
            environment = (process / "environ").read_bytes().split(b"\0")
            command = (process / "cmdline").read_bytes().replace(b"\0", b" ").strip()
        except OSError:  # gone meanwhile, or not ours to read
            continue
        if command and any(variable.startswith(marker) for variable in environment):
            found.append((int(process.name), command.decode(errors="replace")))
    return found


def _run_command(options):
    program = Path(options.program[0])
    prefix = new_prefix(options.root, f"run-{program.stem}-{os.urandom(4).hex()}",
                        is_32bit_program(program))
    with WineSession(prefix, display=NO_DISPLAY if options.no_display else None) as session:
        process = session.start(options.program)
        try:
            status = process.wait(PROGRAM)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
            print(f"{program.name} had not ended {PROGRAM} s after it started; it was ended",
                  file=sys.stderr, flush=True)
    if status != 0:
        # Said even when the program could not (it never started, or its output was lost).
        print(f"{program.name} ended with status {status:#x}; its prefix is kept: {prefix}",
              file=sys.stderr, flush=True)
    else:
        shutil.rmtree(prefix, ignore_errors=True)
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    run, template, _ = [commands.add_parser(name) for name in ("run", "template", "leftovers")]
    for command in commands.choices.values():
        command.add_argument("--root", required=True, type=lambda root: Path(root).resolve())
    run.add_argument("--no-display", action="store_true", help="run where no window can be made")
    run.add_argument("program", nargs=argparse.REMAINDER)
    template.add_argument("--32-bit", dest="i386", action="store_true")
    options = parser.parse_args()
    if options.command == "leftovers":
        found = leftovers(options.root)
        for pid, command in found:
            print(f"left running: pid {pid}: {command}")
        return 1 if found else 0
    own_what_it_starts()
    try:
        if options.command == "template":
            with _template_lock(options.root):
                ensure_template(options.root, options.i386)
            return 0
        options.program = options.program[options.program[:1] == ["--"]:]
        return _run_command(options)
    except HarnessError as error:
        whose = f", not {Path(options.program[0]).name}'s" if options.command == "run" else ""
        print(f"harness failure{whose}: {error}", file=sys.stderr, flush=True)
        return 125 if options.command == "run" else 1


if __name__ == "__main__":
    sys.exit(main())
