#!/usr/bin/env bash
# The checkout's commands refuse what they do not know, with a usage line and
# exit 2, before any work; the IA-32 probe tells a kernel that refuses IA-32
# programs apart from a machine where it could not try. The commands run as
# copies outside the checkout, so that one that went on anyway could do no
# harm there.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/checkout/cmake" "$work/bin"
cp "$root/run-tests" "$root/release" "$root/CMakePresets.json" "$work/checkout/"
cp "$root/cmake/runs-ia32" "$root/cmake/presets" "$root/cmake/presets.cmake" "$work/checkout/cmake/"
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
expect 2 "^run-tests: TMPDIR=$work/missing is not a writable directory; " \
  env TMPDIR="$work/missing" "$work/checkout/run-tests" default
expect 2 "^presets: unknown role 'nosuch' \(the roles are .*\); usage: cmake/presets " \
  "$work/checkout/cmake/presets" nosuch
expect 2 "^release: unknown argument '--nosuch'; usage: ./release \[--check\]\$" \
  "$work/checkout/release" --nosuch
expect 2 "^release: one argument at most; usage: " "$work/checkout/release" --check extra

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

[ "$failures" -eq 0 ] || exit 1
echo "all as expected"
