#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing.
# As root it runs apt-get; as anyone else it prints the exact command and fails.
set -euo pipefail

packages=(
    cmake make g++ googletest libgtest-dev python3
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    wine wine64 wine32:i386 fonts-wine
    xvfb fonts-wqy-microhei
    python3-pefile python3-pil zip
    openssl osslsigncode ansible python3-yaml
)

# A kernel that runs no 32-bit programs needs qemu-i386 for Wine's 32-bit loader (see
# scripts/i386_support.py). Found out by trying the loader, once wine32 is there to try.
if [[ -e /usr/lib/wine/wine ]]; then
    status=0
    /usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
    [[ $status -eq 126 ]] && packages+=(qemu-user)
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

needs_i386=false
if ! dpkg --print-foreign-architectures | grep -qx i386; then needs_i386=true; fi
command="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
$needs_i386 && command="dpkg --add-architecture i386 && $command"

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root with:" >&2
    echo "  sudo sh -c '$command'" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
bash -c "$command"
# wine32 has just arrived: now it can be tried.
if [[ " ${missing[*]} " == *" wine32:i386 "* ]]; then exec bash "$0"; fi
