#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing:
#   scripts/install-deps.sh [run-x64|run-x86|all]
# run-x64: what command 1 needs to build the x64 executable and run it under Wine's 64-bit
# loader (no i386 architecture, nothing only the tests or the release need); run-x86: the same
# for the x86 build, with Wine's 32-bit side; all (the default): everything command 2, the
# release package and the benchmark need.
#
# As root it runs apt-get, says in a line or two what it does, and keeps apt-get's full output
# in build/install-deps.log; as anyone else it prints the exact command and fails.
#
# apt itself tries a download again when the connection fails (Acquire::Retries), and waits for
# dpkg's lock (DPkg::Lock::Timeout). Neither covers what this script retries, one line per
# failed try, up to 2 minutes apart (both measured with apt 2.6: a file whose hash does not
# match is fetched once; `apt-get update` fails at once on a held lists lock):
# - a mirror in mid-sync, whose files do not match its index until it is done: `apt-get
#   update` and the install; the install then goes on with the lists apt has, since most
#   indexes are not needed;
# - another apt-get update holding the package lists.
# Debian's mirror may also be out of step in a way that no retry mends:
# i386 lists behind the amd64 ones: Wine's 32-bit part needs each multi-arch library in the
#   same version on both, so the install cannot be resolved. It is tried again preferring the
#   main suite (the point release, whose lists agree), which is done only where no installed
#   package would go to a lower version. Where that is the only way, it is done only when
#   TORVA_ALLOW_DOWNGRADE=1 says so (CI's throwaway machine does); otherwise the script says
#   what is out of step and stops.
# apt-get, apt-cache, dpkg, dpkg-query, id and sleep are called through PATH (so that tests can
# stand in for them).
set -uo pipefail
cd "$(dirname "$0")/.."
# apt's messages are read below: in English, whatever the caller's locale.
export LC_ALL=C
unset LANGUAGE

run_x64=(
    cmake make python3 g++-mingw-w64-x86-64-win32
    wine wine64 fonts-wine xvfb fonts-wqy-microhei python3-pil
)
# Wine's 32-bit loader comes with its preloader, which reserves the address space a Windows
# program needs in one step; without it the loader reserves it piece by piece, which takes
# about a minute per program where 32-bit programs are emulated, under a second with it.
run_x86=("${run_x64[@]}" g++-mingw-w64-i686-win32 wine32:i386 wine32-preloader:i386)
all=(
    "${run_x86[@]}" g++ googletest libgtest-dev
    python3-pefile zip openssl osslsigncode ansible python3-yaml
)
# Each set, and the words that say what it is when it is installed.
case ${1:-all} in
    run-x64) packages=("${run_x64[@]}")
             about="the x64 cross compiler, Wine's 64-bit side, Xvfb and fonts" ;;
    run-x86) packages=("${run_x86[@]}")
             about="both cross compilers, Wine with its 32-bit side, Xvfb and fonts" ;;
    all) packages=("${all[@]}")
         about="compilers, Wine with its 32-bit side, Xvfb, fonts and test tools" ;;
    *) echo "usage: $0 [run-x64|run-x86|all]" >&2; exit 2 ;;
esac
waits=(20 40 60)  # seconds before the 2nd, 3rd and 4th try
allow_downgrade=${TORVA_ALLOW_DOWNGRADE:-0}

# Wine's 32-bit loader, tried: exit status 126 ("Exec format error") where the kernel runs no
# 32-bit programs; those kernels need qemu-i386 for it (see scripts/i386_support.py), and so
# does a run that asks for it with TORVA_FORCE_QEMU_I386=1.
needs_qemu() {
    local status=0
    [[ ${TORVA_FORCE_QEMU_I386:-} == 1 ]] && return 0
    [[ -e /usr/lib/wine/wine ]] || return 1
    /usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
    [[ $status -eq 126 ]]
}
i386=0
[[ " ${packages[*]} " == *":i386 "* ]] && i386=1
((i386)) && needs_qemu && packages+=(qemu-user)

# The packages given that are not installed, asking dpkg once. A name without an architecture
# is the machine's own package or an architecture-independent one.
missing_of() {
    local native name status package
    local -A installed=()
    native=$(dpkg --print-architecture)
    while read -r name status; do
        [[ $status == "install ok installed" ]] && installed[$name]=1
    done < <(dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' "$@" 2>/dev/null)
    for package in "$@"; do
        if [[ $package == *:* ]]; then
            [[ -n ${installed[$package]:-} ]] || echo "$package"
        else
            [[ -n ${installed[$package:$native]:-} || -n ${installed[$package:all]:-} ]] ||
                echo "$package"
        fi
    done
}
mapfile -t missing < <(missing_of "${packages[@]}")
[[ ${#missing[@]} -eq 0 ]] && exit 0

export DEBIAN_FRONTEND=noninteractive
apt_options=(-o Acquire::Retries=3 -o DPkg::Lock::Timeout=120)
install_args=(install -y --no-install-recommends)
command="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get ${install_args[*]} ${missing[*]}"
add_i386=0
if ((i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
    add_i386=1
    command="dpkg --add-architecture i386 && $command"
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Installing them needs root. Run this, then the same command again:" >&2
    echo "  sudo sh -c '$command'" >&2
    exit 1
fi

mkdir -p build
log=$PWD/build/install-deps.log
: >"$log"
# Runs a command with its output in the log; the log's line count before it is in $mark.
logged() {
    mark=$(wc -l <"$log")
    echo "# $(date -u '+%F %T') $*" >>"$log"
    "$@" >>"$log" 2>&1 </dev/null
}
since_mark() { tail -n +"$((mark + 1))" "$log"; }
# apt's first error since the mark, on one line, without the mirror's address.
first_error() {
    since_mark | grep -m1 '^E: ' | sed -E 's/^E: //; s/ *\[IP: [^]]*\]//; s/  +/: /' | cut -c1-200
}
# The likely cause of apt's errors since the mark, in words.
likely_cause() {
    local text
    text=$(since_mark)
    if grep -qE 'Mirror sync in progress|unexpected size|Hash Sum mismatch|does not match' \
            <<<"$text"; then
        echo "the mirror is in mid-sync (its files changed while they were fetched); that usually passes within hours"
    elif grep -qE 'Could not get lock|Unable to acquire the dpkg frontend lock' <<<"$text"; then
        echo "another apt-get or dpkg is running on this machine; let it finish"
    elif grep -qE 'Temporary failure resolving|Could not resolve|Could not connect|Connection (failed|timed out)|Unable to connect' \
            <<<"$text"; then
        echo "the package mirror cannot be reached from this machine; check its network"
    else
        echo "see the log"
    fi
}
transient() { grep -qE 'Mirror sync|Hash Sum mismatch|unexpected size|Could not get lock' <<<"$(since_mark)"; }
unmet() { grep -qE 'Unmet dependencies|is not installable|is to be installed|not going to be installed' <<<"$(since_mark)"; }
give_up() {  # give_up STEP [WHAT-TO-DO]
    echo "$1 failed: $(first_error)." >&2
    echo "Likely cause: $(likely_cause). ${2:-Run the same command again later.}" >&2
    echo "apt-get's full output: $log; its last lines:" >&2
    tail -n 15 "$log" >&2
    exit 1
}

# Tries a step up to four times while its failure looks transient, one line per failed try.
# retried STEP COMMAND...; returns the last status.
retried() {
    local step=$1 try status
    shift
    for try in 1 2 3 4; do
        logged "$@" && return 0
        status=$?
        [[ $try -lt 4 ]] && transient || return $status
        echo "$step failed (try $try of 4): $(first_error). Trying again in ${waits[try - 1]} s."
        sleep "${waits[try - 1]}"
    done
}

if [[ ${#missing[@]} -le 5 ]]; then
    what="${missing[*]} with their dependencies, usually within a minute"
else
    what="${#missing[@]} Debian packages ($about) with their dependencies"
fi
echo "Installing $what; apt-get's output goes to $log"
echo "# $command" >>"$log"
if [[ $add_i386 -eq 1 ]]; then
    logged dpkg --add-architecture i386 || give_up "Adding the i386 architecture" \
        "Run '$command' by hand to see why."
fi
if ! retried "Updating the package lists" apt-get "${apt_options[@]}" update; then
    echo "Updating the package lists still fails ($(first_error)); going on with the lists" \
         "apt has, which are usually enough."
fi

# Prefers the main suite (the point release) over the security and updates suites, where
# amd64 and i386 agree; priority 990 never lowers an installed package, 1001 may.
main_suite_preferences() {
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    printf 'Package: *\nPin: release n=%s\nPin-Priority: %s\n' "$codename" "$1" \
        >"build/install-deps.main-suite-$1.pref"
    echo "-oDir::Etc::Preferences=$PWD/build/install-deps.main-suite-$1.pref"
}
# "VERSION (SUITE)" of the version apt would install of PACKAGE:ARCH, or "none".
candidate_of() {
    apt-cache policy "$1" 2>/dev/null | awk '
        /^  Candidate:/ { want = $2 }
        /^ (\*\*\*|   ) [^ ]/ { version = ($1 == "***") ? $2 : $1 }
        /^        [0-9-]+ / && $3 != "" && version == want && !suite {
            split($3, s, "/"); suite = s[1] }
        END { print (want == "" || want == "(none)") ? "none" : want " (" suite ")" }'
}
# One line per i386 package that the failed install named whose amd64 and i386 candidates differ.
out_of_step() {
    local package amd64 i386
    for package in $(since_mark | grep -oE '[a-z0-9][a-z0-9.+-]*:i386' | sort -u | head -n 5); do
        package=${package%:i386}
        amd64=$(candidate_of "$package:amd64") i386=$(candidate_of "$package:i386")
        [[ ${amd64%% *} == "${i386%% *}" ]] || echo "  $package: amd64 $amd64, i386 $i386"
    done
}
# Once the packages are in: wine32 may have just arrived, and only now can its loader be tried.
finish() {
    if ((i386)) && needs_qemu && [[ -n "$(missing_of qemu-user)" ]]; then
        retried "Installing qemu-user" apt-get "${apt_options[@]}" "${install_args[@]}" qemu-user ||
            give_up "Installing qemu-user"
    fi
    exit 0
}

retried "Installing the packages" apt-get "${apt_options[@]}" "${install_args[@]}" "${missing[@]}" && finish
unmet || give_up "Installing the packages"
mismatch=$(out_of_step)

# A way that lowers no installed package, taken without asking.
if [[ -n $mismatch ]]; then
    echo "The i386 package lists are behind the amd64 ones:"
    echo "$mismatch"
fi
echo "apt-get could not resolve the packages; trying the main suite's versions, which agree" \
     "for amd64 and i386, changing no installed package to a lower version."
retried "Installing the packages" apt-get "${apt_options[@]}" "$(main_suite_preferences 990)" "${install_args[@]}" \
    "${missing[@]}" && finish
unmet || give_up "Installing the packages from the main suite"

# The only other way changes installed packages, some to lower versions: not without leave.
preferences=$(main_suite_preferences 1001)
if ! logged apt-get -s "$preferences" "${install_args[@]}" "${missing[@]}"; then
    give_up "Installing the packages"
fi
changes=$(since_mark | sed -nE 's/^Inst ([^ ]+) \[([^]]+)\] \(([^ ]+).*/  \1 \2 -> \3/p')
count=$(grep -c . <<<"$changes")
if [[ $count -gt 0 && $allow_downgrade != 1 ]]; then
    cat >&2 <<EOF
Installing the packages failed: Debian's mirror is out of step. Wine's 32-bit part needs each
multi-arch library in the same version for amd64 and i386, and the i386 lists are behind:
${mismatch:-  (see the log for the packages apt named)}
That is the mirror's state (it is in mid-sync) and usually passes within hours: run the same
command again later. Installing from the main suite instead would change $count installed
packages, some to a lower version, which this script does not do on its own. To let it, run
the command with TORVA_ALLOW_DOWNGRADE=1 in front; every change is then listed in
$log.
EOF
    exit 1
fi
if [[ $count -gt 0 ]]; then
    echo "TORVA_ALLOW_DOWNGRADE=1: installing from the main suite, which changes $count" \
         "installed packages, some to a lower version (listed in $log)."
    { echo "# Installed packages changed (package old -> new):"; echo "$changes"; } >>"$log"
fi
retried "Installing the packages from the main suite" apt-get "${apt_options[@]}" "$preferences" --allow-downgrades \
    "${install_args[@]}" "${missing[@]}" ||
    give_up "Installing the packages from the main suite"
finish
