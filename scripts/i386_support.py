#!/usr/bin/python3
"""Wine's 32-bit side on any x86-64 Linux machine.

The x86 build is a 32-bit Windows program, which Debian's Wine runs with its 32-bit loader
(/usr/lib/wine/wine), a 32-bit Linux program. Some kernels run no 32-bit Linux programs
("Exec format error"): there 32-bit programs are handed to qemu-i386 through a binfmt_misc
entry that exists only in a private user and mount namespace of the calling process, so that
nothing changes outside it. A kernel without private binfmt_misc instances (before Linux 6.7)
gets a machine-wide entry instead, made only by root and said when made; anyone else is given
the command. Whether 32-bit programs run is found out by running the 32-bit loader.

With TORVA_FORCE_QEMU_I386=1 they run under qemu-i386 even where the kernel runs them itself,
so that such a machine can measure what one that does not will take. As a command, it says in
one line which applies here, and fails where 32-bit programs cannot run at all.
"""

import ctypes
import errno
import os
import subprocess
import sys
from pathlib import Path

LOADER_32 = "/usr/lib/wine/wine"
QEMU = "/usr/bin/qemu-i386"
BINFMT = Path("/proc/sys/fs/binfmt_misc")
ENTRY = "qemu-i386"
# 32-bit little-endian ELF executables and shared objects for the i386 machine (3).
MAGIC = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
MASK = r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
# F: qemu-i386 is opened now, so the entry works whatever the program's root and namespace.
REGISTRATION = f":{ENTRY}:M::{MAGIC}:{MASK}:{QEMU}:F"
INSTALL_QEMU = ("apt-get update && DEBIAN_FRONTEND=noninteractive "
                "apt-get install -y --no-install-recommends qemu-user")

CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000

NATIVE = "this machine runs 32-bit programs natively, Wine's 32-bit side included"
PRIVATE = ("this machine's kernel runs no 32-bit programs: Wine's 32-bit side runs under "
           "qemu-i386, registered in a private namespace of each run (nothing changes "
           "outside it); the x86 build's tests take longer")
MACHINE_WIDE = ("this machine's kernel runs no 32-bit programs: Wine's 32-bit side runs under "
                f"qemu-i386, through the machine-wide binfmt_misc entry {BINFMT / ENTRY}")

FORCED = ("they run under qemu-i386 as TORVA_FORCE_QEMU_I386=1 asks, registered in "
          "a private namespace of each run, although this machine's kernel runs them itself")
FORCE_QEMU = os.environ.get("TORVA_FORCE_QEMU_I386") == "1"

LIBC = ctypes.CDLL(None, use_errno=True)
_mode = None  # what enable() found, once per process


class Unavailable(SystemExit):
    """32-bit programs cannot be run here; the message, not a traceback, says what to do."""

    def __init__(self, message):
        super().__init__("32-bit programs: " + message)


def runs_32bit_programs():
    """Tries the 32-bit loader. False only for "Exec format error"."""
    try:
        subprocess.run([LOADER_32, "--version"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
                       timeout=120)
    except subprocess.TimeoutExpired:
        raise Unavailable(f"waited 120 s for `{LOADER_32} --version` to end") from None
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return False
        raise Unavailable(f"cannot start Wine's 32-bit loader {LOADER_32}: {error}") from None
    return True


def check(result, what):
    """OSError, with errno's text, for a libc call that returned non-zero."""
    if result != 0:
        code = ctypes.get_errno()
        raise OSError(code, f"{what}: {os.strerror(code)}")


def new_user_namespace(flags, inside_uid, inside_gid, outside_uid, outside_gid):
    check(LIBC.unshare(CLONE_NEWUSER | flags), "unshare")
    Path("/proc/self/setgroups").write_text("deny\n")
    Path("/proc/self/uid_map").write_text(f"{inside_uid} {outside_uid} 1\n")
    Path("/proc/self/gid_map").write_text(f"{inside_gid} {outside_gid} 1\n")


def _enter_private_binfmt():
    """Moves this process into a user and mount namespace with its own binfmt_misc instance
    (Linux 6.7 and later) and registers qemu-i386 there. Every process started from here on
    inherits it. Must run before this process starts any thread."""
    uid, gid = os.getuid(), os.getgid()
    # The instance's files belong to the namespace's root: be root to register...
    new_user_namespace(CLONE_NEWNS, 0, 0, uid, gid)
    # The entry lives as long as this mount, which only this namespace sees.
    check(LIBC.mount(b"binfmt_misc", str(BINFMT).encode(), b"binfmt_misc", 0, None),
           "mount binfmt_misc")
    (BINFMT / "register").write_text(REGISTRATION)
    # ...then the same user as outside again, in a nested namespace that uses its parent's
    # entries: files keep their owner, and Wine's server directory (/tmp/.wine-<uid>) is the
    # one that processes outside use.
    new_user_namespace(0, uid, gid, 0, 0)


def _private_binfmt_works():
    """Tries the private entry in a child first: a namespace, once entered, cannot be left,
    and inside it a machine-wide entry could no longer be made."""
    pid = os.fork()
    if pid == 0:
        try:
            _enter_private_binfmt()
            os._exit(0 if runs_32bit_programs() else 1)
        except BaseException:
            os._exit(1)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


def _register_machine_wide():
    if os.getuid() != 0:
        raise Unavailable(
            "this kernel runs no 32-bit programs and has no private binfmt_misc instances; "
            "register qemu-i386 for 32-bit programs once, as root:\n  sudo sh -c '"
            f"mountpoint -q {BINFMT} || mount -t binfmt_misc binfmt_misc {BINFMT}; "
            f"echo \"{REGISTRATION}\" > {BINFMT}/register'")
    if not (BINFMT / "register").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True)
    if not (BINFMT / ENTRY).exists():
        (BINFMT / "register").write_text(REGISTRATION)
        print(f"Registered qemu-i386 for 32-bit programs machine-wide: {BINFMT / ENTRY} "
              f"(undo: echo -1 > {BINFMT / ENTRY})", file=sys.stderr)


def enable():
    """Makes Wine's 32-bit side runnable for this process and its children; returns one line
    saying how. Raises Unavailable with the command to run when it cannot."""
    global _mode
    if _mode:
        return _mode
    if not FORCE_QEMU and runs_32bit_programs():
        # A machine-wide entry, once made, is used as it is.
        _mode = MACHINE_WIDE if (BINFMT / ENTRY).exists() else NATIVE
        return _mode
    if not os.access(QEMU, os.X_OK):
        raise Unavailable("this kernel runs no 32-bit programs and qemu-i386 is missing; "
                          f"install it as root with:\n  sudo sh -c '{INSTALL_QEMU}'")
    if _private_binfmt_works():
        _enter_private_binfmt()
        _mode = FORCED if FORCE_QEMU else PRIVATE
    elif FORCE_QEMU:  # never a machine-wide entry on a machine that needs none
        raise Unavailable("TORVA_FORCE_QEMU_I386=1 needs private binfmt_misc instances "
                          "(Linux 6.7 or later)")
    else:
        _register_machine_wide()
        _mode = MACHINE_WIDE
    if not runs_32bit_programs():
        raise Unavailable(f"32-bit programs still do not run with qemu-i386 ({_mode})")
    return _mode


if __name__ == "__main__":
    print("32-bit programs: " + enable())
