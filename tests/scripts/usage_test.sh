#!/usr/bin/env bash
# The checkout's commands refuse what they do not know, with a usage line and
# exit 2, before any work; without a temporary directory they stop at once;
# ./release builds nothing while the version or the changelog disagree;
# repack.py leaves what it cannot read as it was; the IA-32 probe tells a
# kernel that refuses IA-32 programs apart from a machine where it could not
# try. The commands run as copies outside the checkout, so that one that
# went on anyway could do no harm there.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
# Everything below writes under $work: without it, stop.
work=$(mktemp -d 2>/dev/null) ||
  { echo "usage_test: cannot make a temporary directory in ${TMPDIR:-/tmp}: set TMPDIR to a writable one"; exit 1; }
trap 'rm -rf "$work"' EXIT
# The RPM build file, by the name cmake/versions.cmake gives it.
rpm_file=$(sed -n 's/^set(rpm_file \([^ )]*\)).*/\1/p' "$root/cmake/versions.cmake")
mkdir -p "$work/checkout/cmake" "$work/checkout/.ci" "$work/checkout/tests/scripts" "$work/checkout/debian" "$work/bin"
cp "$root/run-tests" "$root/release" "$root/CMakePresets.json" "$root/CMakeLists.txt" "$root/$rpm_file" "$work/checkout/"
cp "$root/debian/changelog" "$work/checkout/debian/"
cp "$root/cmake/runs-ia32" "$root/cmake/presets" "$root/cmake/presets.cmake" "$root/cmake/check-packages" \
   "$root/cmake/check-source-packages" "$root/cmake/versions.cmake" "$root/cmake/changelog.cmake" "$work/checkout/cmake/"
cp "$root/.ci/deb-install" "$work/checkout/.ci/"
cp "$0" "$work/checkout/tests/scripts/"
failures=0

# expect STATUS PATTERN COMMAND...: it exits with STATUS and says PATTERN.
expect() {
  local status=$1 pattern=$2 output got
  shift 2
  output=$("$@" 2>&1)
  got=$?
  if [ "$got" -ne "$status" ] || ! grep -qE "$pattern" <<<"$output"; then
    echo "FAILED: $* exited with $got (expected $status) and said:"
    echo "$output"
    echo "(expected a line like: $pattern)"
    failures=$((failures + 1))
  fi
}

# run-tests offers CMakePresets.json's presets, as cmake/presets reads them.
presets=$("$root/cmake/presets" | paste -sd ' ')
expect 2 "^run-tests: unknown preset or option 'nosuch'; usage: .*one of: $presets\$" \
  "$work/checkout/run-tests" nosuch
expect 2 "^run-tests: unknown preset or option '--all'; usage: " \
  "$work/checkout/run-tests" default --all
# An empty argument gets the same one line, and nothing from bash before it.
expect 2 "^run-tests: unknown preset or option ''; usage: " "$work/checkout/run-tests" ''
[ "$("$work/checkout/run-tests" '' 2>&1 | wc -l)" -eq 1 ] ||
  { echo "FAILED: run-tests '' said more than its one line"; failures=$((failures + 1)); }
expect 2 "^run-tests: TMPDIR=$work/missing is not a writable directory; " \
  env TMPDIR="$work/missing" "$work/checkout/run-tests" default
expect 2 "^presets: unknown role 'nosuch' \(the roles are .*\); usage: cmake/presets " \
  "$work/checkout/cmake/presets" nosuch
expect 2 "^presets: unknown preset 'nosuch'; usage: cmake/presets " "$work/checkout/cmake/presets" --options nosuch
expect 2 "^presets: --options takes one preset, alone; usage: " "$work/checkout/cmake/presets" --options default extra
# The options the source packages build with: the build type left to the
# distribution, the IA-32 toolchain file by a path that is there.
options=$("$root/cmake/presets" --options default) && [ -n "$options" ] && ! grep -q CMAKE_BUILD_TYPE <<<"$options" ||
  { echo "FAILED: cmake/presets --options default gave: $options"; failures=$((failures + 1)); }
toolchain=$("$root/cmake/presets" --options linux-ia32 | sed -n 's/^-DCMAKE_TOOLCHAIN_FILE=//p')
[ -f "$toolchain" ] || { echo "FAILED: cmake/presets --options linux-ia32 gave no toolchain file ($toolchain)"; failures=$((failures + 1)); }
expect 2 "^release: unknown argument '--nosuch'; usage: ./release \[--check\]\$" \
  "$work/checkout/release" --nosuch
expect 2 "^release: one argument at most; usage: " "$work/checkout/release" --check extra
expect 2 "^check-source-packages: one directory at most; usage: cmake/check-source-packages \[DIR\]\$" \
  "$work/checkout/cmake/check-source-packages" dist extra
expect 2 "^check-source-packages: no directory $work/missing\$" "$work/checkout/cmake/check-source-packages" "$work/missing"

# One version and one changelog: an RPM build file or a debian/changelog of another
# version, or an RPM build file whose %changelog lacks an entry, stops ./release before
# it builds anything; put back, the versions agree again.
versions() { cmake -P "$work/checkout/cmake/versions.cmake"; }
for file in "$rpm_file" debian/changelog; do cp "$work/checkout/$file" "$work/$(basename "$file").kept"; done
sed -i 's/^Version: .*/Version: 9.9.9/' "$work/checkout/$rpm_file"
expect 1 "^versions: $rpm_file's Version is '9.9.9', CMakeLists.txt's [0-9.]+\$" versions
expect 1 '^release: the version or the changelog disagree .*: nothing built$' "$work/checkout/release"
cp "$work/$rpm_file.kept" "$work/checkout/$rpm_file"
sed -i '1s/([^)]*)/(9.9.9)/' "$work/checkout/debian/changelog"
expect 1 "^versions: debian/changelog's top entry is version '9.9.9', CMakeLists.txt's [0-9.]+\$" versions
cp "$work/changelog.kept" "$work/checkout/debian/changelog"
sed -i '$d' "$work/checkout/$rpm_file"
expect 1 "^versions: $rpm_file's %changelog is not debian/changelog's; it should read:\$" versions
cp "$work/$rpm_file.kept" "$work/checkout/$rpm_file"
expect 0 '^$' versions

# A gcc as on a machine without g++-multilib; one whose IA-32 programs the
# kernel does not start; one whose programs start nowhere (noexec mounts).
fake_gcc() {
  printf '#!/bin/sh\n%s\n' "$1" >"$work/bin/gcc"
  chmod +x "$work/bin/gcc"
}
# The probe as on any machine: not told to take it for a refusing one.
probe() { env -u ZEROBENCH_EMULATE_IA32 PATH="$work/bin:$PATH" "$work/checkout/cmake/runs-ia32"; }
real_gcc=$(command -v gcc)
fake_gcc 'for a; do [ "$a" = -m32 ] && exit 1; done; exec '"$real_gcc"' "$@"'
expect 2 '^could not try .*\(apt-get install g\+\+-multilib\)$' probe
fake_gcc 'for a; do [ "$a" = -m32 ] && m32=1; done
[ -z "$m32" ] && exec '"$real_gcc"' "$@"
while [ $# -gt 0 ]; do [ "$1" = -o ] && out=$2; shift; done
printf "\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\377\377" >"$out"; chmod +x "$out"'
expect 1 '^this kernel does not start IA-32 programs \(Exec format error\)$' probe
fake_gcc 'while [ $# -gt 0 ]; do [ "$1" = -o ] && out=$2; shift; done; : >"$out"'
expect 2 '^could not try .*no program starts from .*: set TMPDIR to a directory that allows programs$' probe

# cmake/repack.py refuses what it cannot read in one line, leaving it as it
# was: text under each name, a damaged .deb, an .rpm named .deb, a FIFO that
# would keep it waiting, a device without end; nor does it start without
# SOURCE_DATE_EPOCH, or with one the package cannot hold. A package it can
# read it replaces whole, keeping its mode; through a symbolic link, the
# link stays.
packages=$work/repack
mkdir -p "$packages/content"
repack() { SOURCE_DATE_EPOCH=1700000000 python3 "$root/cmake/repack.py" "$@"; }
echo text >"$packages/text.deb"
cp "$packages/text.deb" "$packages/text.zip"
cp "$packages/text.deb" "$packages/text.tar.gz"
printf '!<arch>\ndebian-binary   0           0     0     100644  4         `\n2.0\n' >"$packages/damaged.deb"
printf '\355\253\356\333\3\0\0\1zerobench-1.0.0-1' >"$packages/rpm.deb"
for package in text.deb text.zip text.tar.gz damaged.deb rpm.deb; do
  cp "$packages/$package" "$packages/$package.before"
  expect 1 "^repack: .*/$package: not a package it can read \(.+\); left as it was\$" repack "$packages/$package"
  cmp -s "$packages/$package" "$packages/$package.before" ||
    { echo "FAILED: repack changed $package"; failures=$((failures + 1)); }
done
# Bounded, should it wait for the FIFO or read the device to the end.
bounded_repack() {
  (ulimit -v 1000000; SOURCE_DATE_EPOCH=1700000000 exec timeout 20 python3 "$root/cmake/repack.py" "$@")
}
mkfifo "$packages/fifo.tar.gz"
ln -s /dev/zero "$packages/zero.deb"
for package in fifo.tar.gz zero.deb; do
  expect 1 "^repack: .*/$package: not a package it can read \(not a regular file\); left as it was\$" \
    bounded_repack "$packages/$package"
done
echo readable >"$packages/content/file"
tar -czf "$packages/good.tar.gz" -C "$packages" content
chmod 640 "$packages/good.tar.gz"
expect 2 '^repack: SOURCE_DATE_EPOCH must be set .*; usage: ' \
  env -u SOURCE_DATE_EPOCH python3 "$root/cmake/repack.py" "$packages/good.tar.gz"
expect 0 '^$' repack "$packages/good.tar.gz"
[ "$(stat -c %a "$packages/good.tar.gz")" = 640 ] && tar -tzf "$packages/good.tar.gz" | grep -qx content/file ||
  { echo "FAILED: repack lost good.tar.gz's mode or content"; failures=$((failures + 1)); }
ln -s good.tar.gz "$packages/link.tar.gz"
expect 0 '^$' repack "$packages/link.tar.gz"
[ -L "$packages/link.tar.gz" ] && tar -tzf "$packages/link.tar.gz" | grep -qx content/file ||
  { echo "FAILED: repack did not keep link.tar.gz a link to the package"; failures=$((failures + 1)); }
# A .zip dates its members from 1980 to 2107; no package holds a date of
# 20 digits.
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").writestr("file", "readable")' "$packages/good.zip"
expect 2 '^repack: SOURCE_DATE_EPOCH=0 is a date a \.zip cannot hold: it holds 1980 to 2107 only; usage: ' \
  env SOURCE_DATE_EPOCH=0 python3 "$root/cmake/repack.py" "$packages/good.zip"
expect 2 '^repack: SOURCE_DATE_EPOCH=99999999999999999999 is no date a package holds .*; usage: ' \
  env SOURCE_DATE_EPOCH=99999999999999999999 python3 "$root/cmake/repack.py" "$packages/good.zip"
leftover=$(ls -A "$packages" | grep -Ev '^(content|good\.tar\.gz|[a-z]+\.(deb|zip|tar\.gz)(\.before)?)$')
[ -z "$leftover" ] || { echo "FAILED: repack left $leftover"; failures=$((failures + 1)); }

# With TMPDIR naming a missing directory, each command that makes a
# temporary directory stops at once, saying so, and writes nothing: run from
# an empty directory that is also HOME, by a user who may write there (and
# in the world-writable places) only, everything else stays as it was.
fresh=$work/fresh
mkdir -p "$fresh" "$work/packages"
: >"$work/packages/zerobench.deb"
: >"$work/packages/zerobench.rpm"
# A package that does not unpack is a finding (1), not a usage error (2).
checkers=true
for tool in lintian rpmlint mandoc hardening-check rpm dpkg-deb; do
  command -v "$tool" >/dev/null || checkers=false
done
if $checkers; then
  expect 1 '^check-packages: dpkg-deb -x: zerobench.deb does not unpack$' \
    "$work/checkout/cmake/check-packages" "$work/packages"
fi
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$work"
  chown nobody "$fresh"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
without_tmpdir() { (cd "$fresh" && HOME=$fresh TMPDIR=$work/missing "${as_user[@]}" "$@"); }
listing() { ls -A / "$fresh" "$work/checkout" "$work/packages"; }
before=$(listing)
missing_line="cannot make a temporary (directory|file) in $work/missing"
expect 1 "^usage_test: $missing_line" without_tmpdir bash "$work/checkout/tests/scripts/usage_test.sh"
expect 1 "^release: $missing_line" without_tmpdir "$work/checkout/release" --check
expect 1 "^check-packages: $missing_line" without_tmpdir "$work/checkout/cmake/check-packages" "$work/packages"
expect 1 "^check-source-packages: $missing_line" without_tmpdir "$work/checkout/cmake/check-source-packages" "$work/packages"
expect 1 "^deb-install: $missing_line" without_tmpdir "$work/checkout/.ci/deb-install" "$work/packages/zerobench.deb"
if [ "$(listing)" != "$before" ]; then
  echo "FAILED: without TMPDIR, the commands wrote here:"
  diff <(echo "$before") <(listing)
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || exit 1
echo "all as expected"
