#!/bin/sh
# Runs a Windows program under Wine for the Windows presets' tests:
#
#   windows-wine-run.sh PREFIX PROGRAM [ARGUMENT...]   runs PROGRAM, exits as it did
#   windows-wine-run.sh PREFIX --end                   ends the prefix's server
#
# PREFIX is the build directory's own Wine prefix; Wine's diagnostics are off.
#
# Wine's services (started with the first program of a server's life) keep
# the standard output and error they were started with until the server
# ends; a test whose output is a pipe would then last until the services
# were gone, about 2.5 s each time. So a server that outlives single runs
# (60 s after the last program) is started once, with the services attached
# to nothing, before the program runs; --end stops it when the tests are done.
set -u
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  echo "windows-wine-run: Wine is not installed: apt-get install wine wine32:i386 wine64" \
       "(after dpkg --add-architecture i386)" >&2
  exit 127
fi

if [ "${1-}" = --end ]; then
  wineserver -k >/dev/null 2>&1
  exit 0
fi

# A 64-bit program goes to Wine's 64-bit loader directly: Debian's wine
# script takes the 32-bit loader whenever wine32 is installed, and that one
# does not start where the kernel refuses IA-32 programs. The PE header's
# magic tells: 0x20b for PE32+, 0x10b for PE32.
loader=wine
header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
if [ "$(od -An -tx2 -j$((${header:-0} + 24)) -N2 "$1" 2>/dev/null | tr -d ' ')" = 020b ]; then
  export WINELOADER=/usr/lib/wine/wine64
  loader=$WINELOADER
fi

mkdir -p "$prefix"
(
  flock 9
  # Exits with 0 only when it has started a new server. Neither the server
  # nor the services may keep the lock.
  if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
    "$loader" cmd /c exit </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>"$prefix.lock"

exec "$loader" "$@"
