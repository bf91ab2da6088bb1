#!/usr/bin/env bash
# wine-session.sh <build dir> <command...>
# Runs a command with a persistent, warmed-up wineserver for each private prefix of the build,
# and stops the servers afterwards, also on failure: Wine's service processes would otherwise
# inherit the command's pipes and keep a CTest run waiting.
# wine-session.sh --check <build dir>: exits with 0 when Wine can run this build's programs here,
# else prints why and exits with 1 (a kernel without 32-bit support cannot start 32-bit Wine).
set -euo pipefail
check=0
if [ "$1" = --check ]; then check=1; shift; fi
build_dir=$(cd "$1" && pwd); shift

# The loader of the build's bitness, as cmake/Wine.cmake chose it.
loader=$(cat "$build_dir/wine-loader" 2>/dev/null || echo wine)
if ((check)); then
  if ! why=$("$loader" --version 2>&1 >/dev/null); then
    echo "Wine's loader $loader cannot start here: ${why:-no reason given} (scripts/setup.sh makes 32-bit programs run under emulation on a kernel that runs none)"
    exit 1
  fi
  exit 0
fi

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
case "$loader" in /*) export WINELOADER="$loader" ;; esac  # Wine starts its own processes with it
prefixes=("$build_dir/wineprefix" "$build_dir/wineprefix-bare")

stop_servers() {
  for p in "${prefixes[@]}"; do WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 || true; done
}
trap stop_servers EXIT

for p in "${prefixes[@]}"; do
  if [ ! -f "$p/system.reg" ]; then
    echo "Creating Wine prefix $p"
    WINEPREFIX="$p" "$loader" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$p" wineserver -w
  fi
  WINEPREFIX="$p" wineserver -p
  WINEPREFIX="$p" "$loader" cmd /c exit >/dev/null 2>&1 </dev/null || true
  # With no display Wine loads no graphics driver, and a program that starts while the desktop
  # is being closed or opened again can then create no window at all, not even a message-only
  # one (COM's apartment window, a component's event window). Wine's null driver needs no
  # display, and one idle program holds the desktop open for the session; wineserver -k ends it.
  WINEPREFIX="$p" "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null || true
  WINEPREFIX="$p" "$loader" notepad >/dev/null 2>&1 </dev/null &
done

"$@"
