#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing:
#   scripts/install-deps.sh [run-x64|run-x86|all]
# run-x64 is what command 1 needs (the x64 build, no i386 packages), run-x86 the same for the
# x86 build, all (the default) also what command 2, the release and the benchmark need.
# As root it runs apt-get (its output: build/install-deps.log); as anyone else, prints the command.
# apt retries a failed connection (Acquire::Retries) and waits for dpkg's lock
# (DPkg::Lock::Timeout), but apt 2.6 fetches a file that does not match its index (a mirror in
# mid-sync) only once, and `apt-get update` fails at once on lists another one holds: this
# script retries those two. A failed update is not fatal, since most indexes are not needed.
# No retry mends i386 lists behind the amd64 ones, as Wine's 32-bit part needs each multi-arch
# library in the same version on both. The install then prefers the main suite (the point
# release, whose lists agree) while no installed package goes lower; lowering some needs
# TORVA_ALLOW_DOWNGRADE=1 (CI's throwaway machine sets it), else the script says why and stops.
# apt-get, apt-cache, dpkg, dpkg-query, id and sleep are called through PATH, for tests.
set -uo pipefail
cd "$(dirname "$0")/.."
# apt asks no questions, and its messages, read below, are in English whatever the caller's locale.
export LC_ALL=C DEBIAN_FRONTEND=noninteractive
unset LANGUAGE

# Wine's 64-bit preloader reserves a Windows program's address space before anything else is
# mapped: without it, the loader's heap, placed at random up to 1 GiB above it, can take the
# fixed address of the shared user data, and the program fails to start.
run_x64=(cmake make python3 g++-mingw-w64-x86-64-win32
         wine wine64 wine64-preloader fonts-wine xvfb fonts-wqy-microhei python3-pil)
# Wine's 32-bit loader comes with its preloader, which reserves a Windows program's address
# space in one step: where 32-bit programs are emulated, piece by piece takes about a minute.
run_x86=("${run_x64[@]}" g++-mingw-w64-i686-win32 wine32:i386 wine32-preloader:i386)
all=("${run_x86[@]}" g++ googletest libgtest-dev
     python3-pefile zip openssl osslsigncode ansible python3-yaml)
case ${1:-all} in
    run-x64) packages=("${run_x64[@]}")
             about="the x64 cross compiler, Wine's 64-bit side, Xvfb and fonts" ;;
    run-x86) packages=("${run_x86[@]}")
             about="both cross compilers, Wine with its 32-bit side, Xvfb and fonts" ;;
    all) packages=("${all[@]}") about="compilers, Wine with its 32-bit side, Xvfb, fonts and test tools" ;;
    *) echo "usage: $0 [run-x64|run-x86|all]" >&2; exit 2 ;;
esac

# Wine's 32-bit loader exits with 126 ("Exec format error") where the kernel runs no 32-bit
# programs; those need qemu-i386 (see scripts/i386_support.py), and so does TORVA_FORCE_QEMU_I386=1.
needs_qemu() {
    [[ ${TORVA_FORCE_QEMU_I386:-} == 1 ]] && return 0
    /usr/lib/wine/wine --version >/dev/null 2>&1
    [[ $? -eq 126 ]]
}
wants_i386() { [[ " ${packages[*]} " == *":i386 "* ]]; }
wants_i386 && needs_qemu && packages+=(qemu-user)

# The packages given that are not installed, asking dpkg once; a bare name is native or arch all.
missing_of() {
    local native name status package
    local -A installed=()
    native=$(dpkg --print-architecture)
    while read -r name status; do
        [[ $status == "install ok installed" ]] || continue
        installed[$name]=1
        [[ $name == *:"$native" || $name == *:all ]] && installed[${name%:*}]=1
    done < <(dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' "$@" 2>/dev/null)
    for package; do [[ -n ${installed[$package]:-} ]] || echo "$package"; done
}
mapfile -t missing < <(missing_of "${packages[@]}")
((${#missing[@]})) || exit 0

apt=(apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=120)
install=(install -y --no-install-recommends)
add_i386=$(wants_i386 && ! dpkg --print-foreign-architectures | grep -qx i386 &&
    echo "dpkg --add-architecture i386 && ")
command="${add_i386}apt-get update && DEBIAN_FRONTEND=noninteractive apt-get ${install[*]} ${missing[*]}"

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Installing them needs root. Run this, then the same command again:" >&2
    echo "  sudo sh -c '$command'" >&2
    exit 1
fi

mkdir -p build
log=$PWD/build/install-deps.log
echo "# $command" >"$log"
# Runs a command with its output in the log; the log's line count before it is in $mark.
logged() {
    mark=$(wc -l <"$log")
    echo "# $(date -u '+%F %T') $*" >>"$log"
    "$@" >>"$log" 2>&1 </dev/null
}
since_mark() { tail -n +"$((mark + 1))" "$log"; }
said() { grep -qE "$1" <<<"$(since_mark)"; }  # whether apt said this since the mark
first_error() {  # apt's first error since the mark, on one line, without the mirror's address
    since_mark | grep -m1 '^E: ' | sed -E 's/^E: //; s/ *\[IP: [^]]*\]//; s/  +/: /' | cut -c1-200
}
mid_sync='Mirror sync|unexpected size|Hash Sum mismatch'
lists_lock='Could not get lock'
likely_cause() {  # of apt's errors since the mark, in words
    if said "$mid_sync|does not match"; then
        echo "the mirror is in mid-sync (its files changed while they were fetched); that usually passes within hours"
    elif said "$lists_lock|Unable to acquire the dpkg frontend lock"; then
        echo "another apt-get or dpkg is running on this machine; let it finish"
    elif said 'Temporary failure resolving|Could not resolve|Could not connect|Connection (failed|timed out)|Unable to connect'; then
        echo "the package mirror cannot be reached from this machine; check its network"
    else
        echo "see the log"
    fi
}
unmet() { said 'Unmet dependencies|is not installable|is to be installed|not going to be installed'; }
give_up() {  # give_up STEP [WHAT-TO-DO]
    echo "$1 failed: $(first_error)." >&2
    echo "Likely cause: $(likely_cause). ${2:-Run the same command again later.}" >&2
    echo "apt-get's full output: $log; its last lines:" >&2
    tail -n 15 "$log" >&2
    exit 1
}
# retried STEP COMMAND...: up to four tries while apt's failure is a mid-sync or the lists lock.
retried() {
    local try
    for try in 1 2 3; do
        logged "${@:2}" && return 0
        said "$mid_sync|$lists_lock" || return 1
        echo "$1 failed (try $try of 4): $(first_error). Trying again in $((20 * try)) s."
        sleep $((20 * try))
    done
    logged "${@:2}"
}
# install_missing STEP [APT-OPTION...]
install_missing() { retried "$1" "${apt[@]}" "${@:2}" "${install[@]}" "${missing[@]}"; }

what="${missing[*]} with their dependencies, usually within a minute"
((${#missing[@]} <= 5)) || what="${#missing[@]} Debian packages ($about) with their dependencies"
echo "Installing $what; apt-get's output goes to $log"
if [[ -n $add_i386 ]]; then
    logged dpkg --add-architecture i386 ||
        give_up "Adding the i386 architecture" "Run '$command' by hand to see why."
fi
retried "Updating the package lists" "${apt[@]}" update ||
    echo "Updating the package lists still fails ($(first_error)); going on with the lists" \
         "apt has, which are usually enough."

# Prefers the main suite, where amd64 and i386 agree; 990 lowers no installed package, 1001 may.
main_suite_preferences() {
    local file=build/install-deps.main-suite-$1.pref
    printf 'Package: *\nPin: release n=%s\nPin-Priority: %s\n' \
        "$(. /etc/os-release && echo "$VERSION_CODENAME")" "$1" >"$file"
    echo "-oDir::Etc::Preferences=$PWD/$file"
}
# "VERSION (SUITE)" of the version apt would install of PACKAGE:ARCH, or "none".
candidate_of() {
    apt-cache policy "$1" 2>/dev/null | awk '
        /^  Candidate:/ { want = $2 }
        /^ (\*\*\*|   ) [^ ]/ { version = ($1 == "***") ? $2 : $1 }
        /^        [0-9-]+ / && $3 != "" && version == want && !suite { split($3, s, "/"); suite = s[1] }
        END { print (want == "" || want == "(none)") ? "none" : want " (" suite ")" }'
}
# One line per i386 package that the failed install named whose amd64 and i386 candidates differ.
out_of_step() {
    local package amd64 i386
    for package in $(since_mark | grep -oP '[a-z0-9][a-z0-9.+-]*(?=:i386)' | sort -u | head -n 5); do
        amd64=$(candidate_of "$package:amd64") i386=$(candidate_of "$package:i386")
        [[ ${amd64%% *} == "${i386%% *}" ]] || echo "  $package: amd64 $amd64, i386 $i386"
    done
}
# Once the packages are in: wine32 may have just arrived, and only now can its loader be tried.
finish() {
    if wants_i386 && needs_qemu && [[ -n "$(missing_of qemu-user)" ]]; then
        retried "Installing qemu-user" "${apt[@]}" "${install[@]}" qemu-user ||
            give_up "Installing qemu-user"
    fi
    exit 0
}

install_missing "Installing the packages" && finish
unmet || give_up "Installing the packages"

# A way that lowers no installed package, taken without asking.
mismatch=$(out_of_step)
[[ -n $mismatch ]] && printf '%s\n' "The i386 package lists are behind the amd64 ones:" "$mismatch"
echo "apt-get could not resolve the packages; trying the main suite's versions, which agree" \
     "for amd64 and i386, changing no installed package to a lower version."
install_missing "Installing the packages" "$(main_suite_preferences 990)" && finish
unmet || give_up "Installing the packages from the main suite"

# The only other way changes installed packages, some to lower versions: not without leave.
preferences=$(main_suite_preferences 1001)
logged apt-get -s "$preferences" "${install[@]}" "${missing[@]}" || give_up "Installing the packages"
changes=$(since_mark | sed -nE 's/^Inst ([^ ]+) \[([^]]+)\] \(([^ ]+).*/  \1 \2 -> \3/p')
count=$(grep -c . <<<"$changes")
if ((count > 0)); then
    if [[ ${TORVA_ALLOW_DOWNGRADE:-0} != 1 ]]; then
        cat >&2 <<EOF
Installing the packages failed: Debian's mirror is out of step. Wine's 32-bit part needs each
multi-arch library in the same version for amd64 and i386, and the i386 lists are behind:
${mismatch:-  (see the log for the packages apt named)}
That is the mirror's state (it is in mid-sync) and usually passes within hours: run the same
command again later. Installing from the main suite instead would change $count installed
packages, some to a lower version, which this script does not do on its own. To let it, run
the command with TORVA_ALLOW_DOWNGRADE=1 in front; every change is then listed in $log.
EOF
        exit 1
    fi
    echo "TORVA_ALLOW_DOWNGRADE=1: installing from the main suite, which changes $count" \
         "installed packages, some to a lower version (listed in $log)."
    { echo "# Installed packages changed (package old -> new):"; echo "$changes"; } >>"$log"
fi
install_missing "Installing the packages from the main suite" "$preferences" --allow-downgrades ||
    give_up "Installing the packages from the main suite"
finish
