#!/usr/bin/python3
"""Builds the release zip from the two executables, signing them first when given a key:

  make_package.py --x86 EXE --x64 EXE [--pkcs12 FILE [--password-file FILE]
                  [--timestamp URL]] [OUT]

OUT (default build/release)/TorvaNetWorkSetup-1.00.zip holds x86/ and x64/TorvaNetWorkSetup.exe,
WHICH-ONE.txt and its Simplified Chinese counterpart WHICH-ONE.zh-CN.txt,
NOTICES.txt (the licences of the compiler runtime linked into them, from the
Debian packages that provide it), fleet/ (files for deploying the setting without the tool) and
SHA256SUMS. Entries carry fixed dates and permissions, so the same executables always give
the same zip.

Signing (Authenticode, with osslsigncode): the PKCS#12 file's password comes from
--password-file or from the environment variable TORVA_SIGN_PASSWORD, never from the command
line. The signing time is SOURCE_DATE_EPOCH when it is set (the same key and time give the
same bytes), else now; --timestamp adds an RFC 3161 countersignature from that server. The
executables are signed into a scratch folder: the build's own stay unsigned, and a failure
leaves no zip behind.
"""

import argparse
import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import urllib.parse
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
VERSION = "1.00"
FIXED_DATE = (2000, 1, 1, 0, 0, 0)
# Which build to run, what the setting changes: in English and in Simplified Chinese.
# Every name in the zip is ASCII: Explorer before Windows 7 ignores the zip's UTF-8 flag.
GUIDES = [ROOT / "packaging" / "WHICH-ONE.txt", ROOT / "packaging" / "WHICH-ONE.zh-CN.txt"]
FLEET = ROOT / "packaging" / "fleet"
PASSWORD_VARIABLE = "TORVA_SIGN_PASSWORD"
# Files read on Windows get Windows line ends (regedit and Notepad expect them), and those that
# are not plain ASCII a UTF-8 byte order mark, without which Notepad before Windows 10 reads
# them in the system's ANSI code page.
WINDOWS_TEXT = (".txt", ".reg", ".ps1", ".xml")
UTF8_BOM = b"\xef\xbb\xbf"
ARCHITECTURES = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}
# What the executables link in statically, and how to find the library it comes in.
RUNTIME = [("mingw-w64 runtime (CRT)", "g++", "libmingw32.a"),
           ("libgcc", "gcc", "libgcc.a"),
           ("libstdc++", "g++", "libstdc++.a")]


class PackagingError(Exception):
    """A problem the user can fix; reported in one line."""


def _run(command, timeout=300, **kwargs):
    try:
        return subprocess.run(command, capture_output=True, text=True, check=False,
                              timeout=timeout, **kwargs)
    except subprocess.TimeoutExpired:
        raise PackagingError(f"{Path(command[0]).name} had not ended after {timeout} s") from None


def _first_error_line(output):
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    wanted = [line for line in lines if "error" in line.lower() or "fail" in line.lower()]
    return (wanted or lines or ["no output"])[0]


# --- Signing ---------------------------------------------------------------------------------

class Signer:
    """osslsigncode with one PKCS#12 key, checked before anything is signed."""

    def __init__(self, pkcs12, password, timestamp, scratch):
        self.pkcs12, self.timestamp, self.scratch = Path(pkcs12), timestamp, Path(scratch)
        try:
            with open(self.pkcs12, "rb") as key:
                key.read(1)
        except OSError as error:
            raise PackagingError(f"cannot read the signing key {pkcs12}: "
                                 f"{error.strerror}") from None
        # Handed over in a file of its own, so that it never shows in a process list.
        self.password_file = self.scratch / "password"
        self.password_file.touch(mode=0o600)
        self.password_file.write_text(password)
        self._check_certificate()
        if timestamp:
            self._check_timestamp_server()

    def _check_certificate(self):
        certificate = self.scratch / "certificate.pem"
        read = ["openssl", "pkcs12", "-in", str(self.pkcs12), "-passin",
                f"file:{self.password_file}", "-clcerts", "-nokeys", "-out", str(certificate)]
        if _run(read).returncode != 0 and _run(read + ["-legacy"]).returncode != 0:
            raise PackagingError(f"cannot open the signing key {self.pkcs12}: wrong password, "
                                 "or not a PKCS#12 file")
        usage = _run(["openssl", "x509", "-in", str(certificate), "-noout", "-ext",
                      "extendedKeyUsage,keyUsage"]).stdout
        # Without these extensions a certificate is good for any use; with them it must name
        # code signing (and, for its key, digital signatures).
        if (("Extended Key Usage" in usage and "Code Signing" not in usage)
                or ("X509v3 Key Usage" in usage and "Digital Signature" not in usage)):
            raise PackagingError(f"the certificate in {self.pkcs12} is not meant for code "
                                 "signing (its key usage does not allow it)")

    def _check_timestamp_server(self):
        url = urllib.parse.urlsplit(self.timestamp)
        if url.scheme not in ("http", "https") or not url.hostname:
            raise PackagingError(f"the timestamp server {self.timestamp} is not an http(s) URL")
        port = url.port or (443 if url.scheme == "https" else 80)
        try:
            socket.create_connection((url.hostname, port), timeout=15).close()
        except OSError as error:
            raise PackagingError(f"the timestamp server {self.timestamp} cannot be reached: "
                                 f"{error.strerror or error}") from None

    def sign(self, exe, name):
        signed = self.scratch / name.replace("/", "-")
        command = ["osslsigncode", "sign", "-pkcs12", str(self.pkcs12),
                   "-readpass", str(self.password_file), "-h", "sha256",
                   "-n", "TorvaNetWorkSetup", "-in", str(exe), "-out", str(signed)]
        if os.environ.get("SOURCE_DATE_EPOCH"):
            command += ["-time", os.environ["SOURCE_DATE_EPOCH"]]
        if self.timestamp:
            command += ["-ts", self.timestamp]
        result = _run(command)
        if result.returncode != 0 or not signed.exists():
            raise PackagingError(f"signing {name} failed: "
                                 f"{_first_error_line(result.stderr + result.stdout)}")
        return signed.read_bytes()


def _password(options):
    if options.password_file:
        try:
            text = Path(options.password_file).read_text()
        except OSError as error:
            raise PackagingError(f"cannot read the password file {options.password_file}: "
                                 f"{error.strerror}") from None
        return text[:-1] if text.endswith("\n") else text
    if PASSWORD_VARIABLE in os.environ:
        return os.environ[PASSWORD_VARIABLE]
    raise PackagingError(f"a signing key needs its password: --password-file FILE or the "
                         f"environment variable {PASSWORD_VARIABLE}")


# --- Licence notices -------------------------------------------------------------------------

def _providing_packages(paths):
    """{path: (package, version)} for each of the files, asking dpkg once for all of them (it
    reads every package's file list each time)."""
    paths = [os.path.realpath(path) for path in paths]
    found = {}
    for line in _run(["dpkg-query", "-S", *paths]).stdout.splitlines():
        packages, _, path = line.partition(": ")
        found[path] = packages.split(",")[0].split(":")[0]
    for path in paths:
        if path not in found:
            raise PackagingError(f"no Debian package provides {path}: cannot take its notice")
    listed = _run(["dpkg-query", "-W", "-f=${Package} ${Version}\n", *set(found.values())])
    versions = dict(line.split(" ", 1) for line in listed.stdout.splitlines())
    return {path: (package, versions.get(package, "")) for path, package in found.items()}


def notices():
    """NOTICES.txt: each runtime component, the package it came from, and that package's
    copyright file (identical files given once)."""
    libraries = {(component, arch): _run([f"{triplet}-{driver}-win32",
                                          f"-print-file-name={library}"]).stdout.strip()
                 for component, driver, library in RUNTIME
                 for arch, triplet in ARCHITECTURES.items()}
    providers = _providing_packages(libraries.values())
    texts, lines = {}, []
    for component, _, _ in RUNTIME:
        sources = []
        for arch in ARCHITECTURES:
            package, version = providers[os.path.realpath(libraries[component, arch])]
            copyright_file = Path("/usr/share/doc") / package / "copyright"
            text = copyright_file.read_text(errors="replace")
            label = texts.setdefault(text, (chr(ord("A") + len(texts)), copyright_file))[0]
            sources.append(f"{package} {version} ({arch}), notice {label}")
        lines.append(f"- {component}: " + "; ".join(sources))
    out = [f"Third-party notices for TorvaNetWorkSetup {VERSION}", "",
           "Both executables contain these parts of the compiler's runtime, linked in "
           "statically.", "Each comes from the Debian package named, whose licence notice "
           "follows below.", "", *lines, ""]
    for text, (label, copyright_file) in texts.items():
        out += ["=" * 78, f"Notice {label}: {copyright_file}", "=" * 78, "", text.rstrip(), ""]
    return "\n".join(out).encode()


# --- The zip ---------------------------------------------------------------------------------

def add(archive, name, data):
    if name.endswith(WINDOWS_TEXT):
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        if not data.isascii() and not data.startswith(UTF8_BOM):
            data = UTF8_BOM + data
    entry = zipfile.ZipInfo(name, date_time=FIXED_DATE)
    entry.compress_type = zipfile.ZIP_DEFLATED
    entry.external_attr = 0o644 << 16
    archive.writestr(entry, data)


def make_package(x86, x64, out, signer=None):
    executables = {"x86/TorvaNetWorkSetup.exe": Path(x86), "x64/TorvaNetWorkSetup.exe": Path(x64)}
    contents = {name: signer.sign(exe, name) if signer else exe.read_bytes()
                for name, exe in executables.items()}
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data in contents.items())
    for guide in GUIDES:
        contents[guide.name] = guide.read_bytes()
    contents["NOTICES.txt"] = notices()
    for path in sorted(FLEET.iterdir()):
        contents[f"fleet/{path.name}"] = path.read_bytes()
    contents["SHA256SUMS"] = sums.encode()
    package = out / f"TorvaNetWorkSetup-{VERSION}.zip"
    # Written beside its final name and moved there whole: never a partial zip.
    with tempfile.NamedTemporaryFile(dir=out, prefix=".package-", delete=False) as partial:
        try:
            with zipfile.ZipFile(partial, "w") as archive:
                for name, data in contents.items():
                    add(archive, name, data)
            partial.close()
            os.replace(partial.name, package)
        except BaseException:
            os.unlink(partial.name)
            raise
    return package


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--x86", required=True)
    parser.add_argument("--x64", required=True)
    parser.add_argument("--pkcs12", help="sign with this PKCS#12 file (key and certificate)")
    parser.add_argument("--password-file", help=f"its password (else ${PASSWORD_VARIABLE})")
    parser.add_argument("--timestamp", help="RFC 3161 timestamp server URL")
    parser.add_argument("out", nargs="?", type=Path, default=ROOT / "build" / "release")
    options = parser.parse_args()
    if (options.password_file or options.timestamp) and not options.pkcs12:
        parser.error("--password-file and --timestamp go with --pkcs12")
    out = options.out.resolve()
    out.mkdir(parents=True, exist_ok=True)
    # A zip from an earlier run must not pass for this one's if this one fails.
    (out / f"TorvaNetWorkSetup-{VERSION}.zip").unlink(missing_ok=True)
    try:
        with tempfile.TemporaryDirectory(prefix="torva-sign-") as scratch:
            signer = (Signer(options.pkcs12, _password(options), options.timestamp, scratch)
                      if options.pkcs12 else None)
            if not signer:
                print("Not signed: no key given (--pkcs12); the executables are as built.",
                      file=sys.stderr)
            package = make_package(options.x86, options.x64, out, signer)
    except PackagingError as error:
        print(f"package: {error}; no zip was made", file=sys.stderr)
        return 1
    if signer:
        print(f"Signed both executables with {options.pkcs12}"
              + (f", timestamped by {options.timestamp}" if options.timestamp else ""),
              file=sys.stderr)
    print(package)
    return 0


if __name__ == "__main__":
    sys.exit(main())
