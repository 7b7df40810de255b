#!/usr/bin/python3
"""Builds the release zip from the two executables, signing them first when given a key.

OUT/TorvaNetWorkSetup-1.00.zip (OUT is build/release by default) holds x86/ and x64/
TorvaNetWorkSetup.exe, the guides WHICH-ONE.txt and WHICH-ONE.zh-CN.txt, NOTICES.txt (licences
of the compiler runtime linked in), fleet/ (files to deploy the setting without the tool) and
SHA256SUMS, with fixed dates and permissions: the same executables always give the same zip.

Signing takes the key's password from --password-file or TORVA_SIGN_PASSWORD, never the command
line. SOURCE_DATE_EPOCH, if set, is the signing time (same key and time, same bytes), else now;
--timestamp adds an RFC 3161 countersignature. Copies are signed: the build's own stay unsigned.
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
ZIP_NAME = f"TorvaNetWorkSetup-{VERSION}.zip"
# Every name in the zip is ASCII: Explorer before Windows 7 ignores the zip's UTF-8 flag.
GUIDES = [ROOT / "packaging" / "WHICH-ONE.txt", ROOT / "packaging" / "WHICH-ONE.zh-CN.txt"]
FLEET = ROOT / "packaging" / "fleet"
PASSWORD_VARIABLE = "TORVA_SIGN_PASSWORD"
# CRLF for regedit and Notepad; a UTF-8 BOM if not ASCII, as Notepad before Windows 10 needs it.
WINDOWS_TEXT = (".txt", ".reg", ".ps1", ".xml")
UTF8_BOM = b"\xef\xbb\xbf"
TRIPLETS = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}
RUNTIME = [("mingw-w64 runtime (CRT)", "g++", "libmingw32.a"), ("libgcc", "gcc", "libgcc.a"),
           ("libstdc++", "g++", "libstdc++.a")]


class PackagingError(Exception):
    """A problem the user can fix; reported in one line."""


def _run(command, timeout=300):
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise PackagingError(f"{Path(command[0]).name} had not ended after {timeout} s") from None


def _first_error_line(output):
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    wanted = [line for line in lines if "error" in line.lower() or "fail" in line.lower()]
    return (wanted or lines or ["no output"])[0]


class Signer:
    """Authenticode with osslsigncode and one PKCS#12 key, checked before anything is signed."""

    def __init__(self, pkcs12, password, timestamp, scratch):
        self.pkcs12, self.timestamp, self.scratch = Path(pkcs12), timestamp, Path(scratch)
        try:
            open(self.pkcs12, "rb").close()
        except OSError as error:
            raise PackagingError(f"cannot read the signing key {pkcs12}: "
                                 f"{error.strerror}") from None
        # Handed over in a file of its own, so that it never shows in a process list.
        self.password_file = self.scratch / "password"
        self.password_file.touch(mode=0o600)
        self.password_file.write_text(password)
        certificate = self.scratch / "certificate.pem"
        read = ["openssl", "pkcs12", "-in", self.pkcs12, "-passin", f"file:{self.password_file}",
                "-clcerts", "-nokeys", "-out", certificate]
        if _run(read).returncode != 0 and _run(read + ["-legacy"]).returncode != 0:
            raise PackagingError(f"cannot open the signing key {self.pkcs12}: wrong password, "
                                 "or not a PKCS#12 file")
        usage = _run(["openssl", "x509", "-in", certificate, "-noout", "-ext",
                      "extendedKeyUsage,keyUsage"]).stdout
        # Without these extensions, any use is allowed; with them, they must allow code signing.
        if (("Extended Key Usage" in usage and "Code Signing" not in usage)
                or ("X509v3 Key Usage" in usage and "Digital Signature" not in usage)):
            raise PackagingError(f"the certificate in {self.pkcs12} is not meant for code "
                                 "signing (its key usage does not allow it)")
        if timestamp:
            self._check_timestamp_server()

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
        command = ["osslsigncode", "sign", "-pkcs12", self.pkcs12, "-readpass", self.password_file,
                   "-h", "sha256", "-n", "TorvaNetWorkSetup", "-in", exe, "-out", signed]
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
            return Path(options.password_file).read_text().removesuffix("\n")
        except OSError as error:
            raise PackagingError(f"cannot read the password file {options.password_file}: "
                                 f"{error.strerror}") from None
    if PASSWORD_VARIABLE in os.environ:
        return os.environ[PASSWORD_VARIABLE]
    raise PackagingError("a signing key needs its password: --password-file FILE or the "
                         f"environment variable {PASSWORD_VARIABLE}")


def _providing_packages(paths):
    """{path: (package, version)}; dpkg is asked once, as it reads all file lists each time."""
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
    """NOTICES.txt: each part of the runtime linked in statically, the package it came from, and
    that package's copyright file (identical files given once)."""
    libraries = {(component, arch): _run([f"{triplet}-{driver}-win32",
                                          f"-print-file-name={library}"]).stdout.strip()
                 for component, driver, library in RUNTIME for arch, triplet in TRIPLETS.items()}
    providers = _providing_packages(libraries.values())
    texts, sources = {}, {}
    for (component, arch), library in libraries.items():
        package, version = providers[os.path.realpath(library)]
        copyright_file = Path("/usr/share/doc") / package / "copyright"
        text = copyright_file.read_text(errors="replace")
        label = texts.setdefault(text, (chr(ord("A") + len(texts)), copyright_file))[0]
        sources.setdefault(component, []).append(f"{package} {version} ({arch}), notice {label}")
    out = [f"Third-party notices for TorvaNetWorkSetup {VERSION}", "",
           "Both executables contain these parts of the compiler's runtime, linked in statically.",
           "Each comes from the Debian package named, whose licence notice follows below.", "",
           *(f"- {component}: " + "; ".join(parts) for component, parts in sources.items()), ""]
    for text, (label, copyright_file) in texts.items():
        out += ["=" * 78, f"Notice {label}: {copyright_file}", "=" * 78, "", text.rstrip(), ""]
    return "\n".join(out).encode()


def add(archive, name, data):
    if name.endswith(WINDOWS_TEXT):
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        if not data.isascii() and not data.startswith(UTF8_BOM):
            data = UTF8_BOM + data
    entry = zipfile.ZipInfo(name, date_time=(2000, 1, 1, 0, 0, 0))
    entry.external_attr = 0o644 << 16
    archive.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED)


def make_package(x86, x64, out, signer=None):
    executables = {"x86/TorvaNetWorkSetup.exe": Path(x86), "x64/TorvaNetWorkSetup.exe": Path(x64)}
    contents = {name: signer.sign(exe, name) if signer else exe.read_bytes()
                for name, exe in executables.items()}
    contents.update((guide.name, guide.read_bytes()) for guide in GUIDES)
    contents["NOTICES.txt"] = notices()
    contents.update((f"fleet/{path.name}", path.read_bytes()) for path in sorted(FLEET.iterdir()))
    contents["SHA256SUMS"] = "".join(f"{hashlib.sha256(contents[name]).hexdigest()}  {name}\n"
                                     for name in executables).encode()
    # Written beside its final name and moved there whole: never a partial zip.
    partial = tempfile.NamedTemporaryFile(dir=out, prefix=".package-", delete=False)
    try:
        with partial, zipfile.ZipFile(partial, "w") as archive:
            for name, data in contents.items():
                add(archive, name, data)
        os.replace(partial.name, out / ZIP_NAME)
    except BaseException:
        os.unlink(partial.name)
        raise


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
    (out / ZIP_NAME).unlink(missing_ok=True)
    if not options.pkcs12:
        print("Not signed: no key given (--pkcs12); the executables are as built.", file=sys.stderr)
    try:
        with tempfile.TemporaryDirectory(prefix="torva-sign-") as scratch:
            signer = (Signer(options.pkcs12, _password(options), options.timestamp, scratch)
                      if options.pkcs12 else None)
            make_package(options.x86, options.x64, out, signer)
    except PackagingError as error:
        print(f"package: {error}; no zip was made", file=sys.stderr)
        return 1
    if signer:
        timestamped = f", timestamped by {options.timestamp}" if options.timestamp else ""
        print(f"Signed both executables with {options.pkcs12}{timestamped}", file=sys.stderr)
    print(out / ZIP_NAME)
    return 0


if __name__ == "__main__":
    sys.exit(main())
