#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing.
# As root it runs apt-get, says in one line what it installs, and keeps apt-get's full output in
# build/install-deps.log (its last lines are shown if the installation fails); as anyone else
# it prints the exact command and fails.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake make g++ googletest libgtest-dev python3
    g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
    wine wine64 wine32:i386 fonts-wine
    xvfb fonts-wqy-microhei
    python3-pefile python3-pil zip
    openssl osslsigncode ansible python3-yaml
)

# Wine's 32-bit loader, tried: exit status 126 ("Exec format error") where the kernel runs no
# 32-bit programs; those kernels need qemu-i386 for it (see scripts/i386_support.py).
needs_qemu() {
    local status=0
    [[ -e /usr/lib/wine/wine ]] || return 1
    /usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
    [[ $status -eq 126 ]]
}
needs_qemu && packages+=(qemu-user)

missing_of() {
    local package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        [[ "$status" == "install ok installed" ]] || echo "$package"
    done
}
mapfile -t missing < <(missing_of "${packages[@]}")
if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

apt_install="DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends"
command="apt-get update && $apt_install ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    command="dpkg --add-architecture i386 && $command"
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root with:" >&2
    echo "  sudo sh -c '$command'" >&2
    exit 1
fi

mkdir -p build
log=$PWD/build/install-deps.log
fail() {
    echo "Installing the packages failed; the last lines of $log:" >&2
    tail -n 25 "$log" >&2
    exit 1
}
# About how long, as measured on a fresh machine of this project's kind: everything, 2 minutes.
if [[ ${#missing[@]} -le 5 ]]; then
    what="${missing[*]} with their dependencies, usually within a minute"
else
    what="${#missing[@]} Debian packages (compilers, Wine, Xvfb, fonts, test tools) with their"
    what+=" dependencies, about 550 MB: about 2 minutes"
fi
echo "Installing $what; apt-get's output goes to $log"
echo "# $(date -u '+%F %T') $command" >"$log"
bash -c "$command" >>"$log" 2>&1 </dev/null || fail
# wine32 may have just arrived: only now can its loader be tried.
if needs_qemu && [[ -n "$(missing_of qemu-user)" ]]; then
    echo "# $apt_install qemu-user" >>"$log"
    bash -c "$apt_install qemu-user" >>"$log" 2>&1 </dev/null || fail
fi
