#!/usr/bin/env bash
# Runs Windows programs under Wine, headless, in a throw-away prefix.
#   run_wine.sh <prefix> boot                    creates a fresh prefix (removes an old one)
#   run_wine.sh <prefix> exec <program.exe> [args...]
# Arguments after the program that start with / are passed as Wine paths (Z: maps to /).
# Wine's own diagnostics are off (WINEDEBUG=-all); the program's output passes through.
set -euo pipefail
prefix=$1
what=$2
shift 2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=""
for w in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$w" >/dev/null 2>&1; then
    wine=$(command -v "$w")
    break
  fi
done
[ -n "$wine" ] || { echo "run_wine.sh: Wine not found (Debian package wine64)" >&2; exit 1; }
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=$(dirname "$wine")/wineserver64
[ -x "$server" ] || server=wineserver

case $what in
  boot)
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    start=$(date +%s%N)
    "$wine" wineboot --init >/dev/null 2>&1
    "$server" -w
    echo "wineboot: $((($(date +%s%N) - start) / 1000000)) ms"
    [ -d "$prefix/drive_c/windows/system32" ] || { echo "run_wine.sh: wineboot failed" >&2; exit 1; }
    ;;
  exec)
    program=$1
    shift
    args=()
    for a in "$@"; do
      case $a in /*) args+=("Z:$a") ;; *) args+=("$a") ;; esac
    done
    rc=0
    "$wine" "$program" "${args[@]}" || rc=$?
    "$server" -w
    exit $rc
    ;;
  *)
    echo "usage: run_wine.sh <prefix> boot | exec <program.exe> [args...]" >&2
    exit 2
    ;;
esac
