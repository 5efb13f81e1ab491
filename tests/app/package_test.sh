#!/usr/bin/env bash
# The Debian package as Debian, a software centre and a person see it. lintian and appstreamcli
# have nothing to say about it, and its name and dependencies follow Debian's rules. Then it is
# installed in a private root: an overlay over / in mount and process namespaces of its own, so
# that the machine is never changed and every process started there ends with it. There the
# installed tamber and larkspan run and print the package's version, the self-test passes, man
# finds both pages, bash completes larkspan's commands, polkit knows Tamber's action and pkexec
# runs the installed helper as root through it. Purged, it leaves nothing named after Tamber.
# Usage: package_test.sh DEB. Exits 77 (skipped) when a checker or a real part is missing,
# unless TAMBER_REQUIRE_REAL_PARTS is set, as in CI: there that is a failure.
set -euo pipefail

# shellcheck source=tests/app/real_parts.sh
source "$(dirname "${BASH_SOURCE[0]}")/real_parts.sh"

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

action=org.tamber.privileged-op
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8

# In the private root, as this script's second run (see the end): PID 1 of a process namespace
# of its own, in a mount namespace of its own. After the flag: an empty folder to work in, the
# package and its version.
if [[ ${1:-} == --in-namespace ]]; then
  scratch=$2 deb=$3 version=$4
  # Writes go to a tmpfs that ends with the namespace; the machine's / is only read.
  mount -t tmpfs -o mode=0700 tmpfs "$scratch"
  mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
  root=$scratch/root
  mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/dev/shm"
  mount -t proc proc "$root/proc"
  mount -t tmpfs -o mode=0755 tmpfs "$root/run"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  cp "$deb" "$root/tmp/package.deb"
  inside() { chroot "$root" "$@"; }

  output=$(inside dpkg --install /tmp/package.deb 2>&1) || fail "dpkg could not install it: $output"
  [[ $output != *warning* ]] || fail "dpkg warned while installing it: $output"

  for program in tamber larkspan; do
    printed=$(inside "/usr/bin/$program" --version) || fail "$program --version failed"
    [[ $printed == "$program $version" ]] ||
      fail "$program --version printed '$printed', not the package's version $version"
  done
  report=$(inside /usr/bin/tamber --self-test /tmp/self-test/root) || fail "tamber --self-test failed"
  [[ $report == *'"passed":true}' ]] || fail "tamber --self-test reported: $report"

  pages=$(inside man --where tamber larkspan) || fail "man does not find the pages: $pages"
  [[ $pages == *"/usr/share/man/man1/tamber.1.gz"*"/usr/share/man/man1/larkspan.1.gz" ]] ||
    fail "man finds the pages elsewhere: $pages"

  completed=$(inside bash -c '. /usr/share/bash-completion/completions/larkspan
    complete -p larkspan >/dev/null || exit 1
    COMP_WORDS=(larkspan --data /tmp ""); COMP_CWORD=3; _larkspan; echo "${COMPREPLY[*]}"
    COMP_WORDS=(larkspan --data /tmp serve --p); COMP_CWORD=4; _larkspan; echo "${COMPREPLY[*]}"') ||
    fail "the bash completion of larkspan does not load"
  for word in serve index inventory invite agent mcp --port; do
    [[ " ${completed//$'\n'/ } " == *" $word "* ]] || fail "bash does not complete $word: $completed"
  done

  # polkit on a system bus of this root, with a rule that lets nobody run Tamber's action
  # without a password: pkexec then runs the installed helper as root, whose refusal of an
  # empty request (not "Administrator authorization is required") proves it ran as root.
  rule=/etc/polkit-1/rules.d/10-package-test.rules
  echo "polkit.addRule(function (action, subject) {
    if (action.id == \"$action\" && subject.user == \"nobody\") { return polkit.Result.YES; }
  });" >"$root$rule"
  mkdir "$root/run/dbus"
  daemons=()
  inside dbus-daemon --system --nofork --nopidfile >"$scratch/daemons.log" 2>&1 &
  daemons+=($!)
  owned() {
    inside dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null |
      grep -q "boolean $1"
  }
  for _ in $(seq 50); do owned false && break; sleep 0.2; done
  # Started before anything asks for polkit, so that the bus never starts one of its own.
  inside /usr/lib/polkit-1/polkitd --no-debug >>"$scratch/daemons.log" 2>&1 &
  daemons+=($!)
  for _ in $(seq 75); do owned true && break; sleep 0.2; done
  if ! owned true; then
    fail "polkitd did not come onto the system bus: $(cat "$scratch/daemons.log")"
  else
    known=$(inside pkaction --action-id "$action" --verbose 2>&1) || fail "pkaction: $known"
    [[ $known == *"org.freedesktop.policykit.exec.path -> /usr/bin/tamber"* ]] ||
      fail "pkaction does not show the action for /usr/bin/tamber: $known"
    helper=$(inside setpriv --reuid=nobody --regid=nogroup --clear-groups \
      setsid pkexec /usr/bin/tamber --privileged-op e30 2>&1) && status=0 || status=$?
    [[ $status -eq 1 && $helper == '{"error":"Malformed scoped helper request","ok":false}' ]] ||
      fail "pkexec did not run the installed helper as root (status $status): $helper"
  fi
  kill "${daemons[@]}" 2>/dev/null || true
  wait "${daemons[@]}" 2>/dev/null || true
  rm "$root$rule"

  output=$(inside dpkg --purge tamber 2>&1) || fail "dpkg could not purge it: $output"
  [[ $output != *warning* ]] || fail "dpkg warned while purging it: $output"
  ! inside dpkg-query --show tamber >/dev/null 2>&1 || fail "dpkg still knows tamber after the purge"
  # Every change to the root is in the overlay's upper layer: nothing there may be Tamber's.
  left=$(cd "$scratch/upper" && find . -iname '*tamber*' -o -iname '*larkspan*')
  [[ -z $left ]] || fail "the purge left: $left"
  [[ $failures -eq 0 ]]
  exit
fi

deb=$1
[[ -f $deb ]] || { echo "FAILED: no package at $deb" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || unavailable "installing the package in a private root needs root"
for tool in lintian appstreamcli dpkg-deb unshare chroot setpriv dbus-daemon dbus-send pkaction \
  pkexec man; do
  command -v "$tool" >/dev/null || unavailable "$tool is missing (scripts/install-deps.sh test)"
done
[[ -x /usr/lib/polkit-1/polkitd ]] || unavailable "polkitd is missing (package polkitd)"

# Debian's name: Package_Version_Architecture.deb, with the libraries dpkg-shlibdeps found
# and the programs it runs among its dependencies.
package=$(dpkg-deb --field "$deb" Package)
version=$(dpkg-deb --field "$deb" Version)
architecture=$(dpkg-deb --field "$deb" Architecture)
[[ $package == tamber && $architecture == "$(dpkg --print-architecture)" ]] ||
  fail "the package is $package for $architecture"
[[ $(basename "$deb") == "${package}_${version}_${architecture}.deb" ]] ||
  fail "$(basename "$deb") is not named ${package}_${version}_${architecture}.deb"
depends=$(dpkg-deb --field "$deb" Depends)
for dependency in libc6 libwebkit2gtk-4.1-0 pkexec polkitd; do
  [[ ", $depends" == *", $dependency "* || ", $depends," == *", $dependency,"* ]] ||
    fail "the package does not depend on $dependency: $depends"
done

# lintian has nothing to say at error or warning level.
lintian --fail-on error,warning "$deb" || fail "lintian objects to $deb"

work=$(mktemp -d /tmp/tamber-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
# The metadata as a software centre reads it, alone and with the desktop entry and icon it
# names, without a remark short of pedantic. (The desktop entry and polkit action are checked
# against their validators by install_test.sh, and in use below.)
dpkg-deb --extract "$deb" "$work/tree"
appstreamcli validate --no-net --strict "$work/tree/usr/share/metainfo/org.tamber.Tamber.metainfo.xml" ||
  fail "appstreamcli validate does not accept the metadata"
appstreamcli validate-tree --no-net --strict "$work/tree" ||
  fail "appstreamcli validate-tree does not accept the installed tree"

# Installed, run and purged in the private root, by this script's second run.
mkdir "$work/namespace"
unshare --mount --pid --fork --kill-child -- \
  "$0" --in-namespace "$work/namespace" "$(realpath "$deb")" "$version" ||
  fail "installed in a private root, the package did not pass (see above)"

[[ $failures -eq 0 ]] || exit 1
echo "package accepted: $(basename "$deb")"
