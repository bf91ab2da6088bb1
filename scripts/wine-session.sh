#!/usr/bin/env bash
# wine-session.sh <build dir> <command...>
# Runs a command with a persistent, warmed-up wineserver for each private prefix of the build,
# and stops the servers afterwards, also on failure: Wine's service processes would otherwise
# inherit the command's pipes and keep a CTest run waiting.
set -euo pipefail
build_dir=$(cd "$1" && pwd); shift

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
prefixes=("$build_dir/wineprefix" "$build_dir/wineprefix-bare")

stop_servers() {
  for p in "${prefixes[@]}"; do WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 || true; done
}
trap stop_servers EXIT

for p in "${prefixes[@]}"; do
  if [ ! -f "$p/system.reg" ]; then
    echo "Creating Wine prefix $p"
    WINEPREFIX="$p" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$p" wineserver -w
  fi
  WINEPREFIX="$p" wineserver -p
  WINEPREFIX="$p" wine cmd /c exit >/dev/null 2>&1 </dev/null || true
  # With no display Wine loads no graphics driver, and a program that starts while the desktop
  # is being closed or opened again can then create no window at all, not even a message-only
  # one (COM's apartment window, a component's event window). Wine's null driver needs no
  # display, and one idle program holds the desktop open for the session; wineserver -k ends it.
  WINEPREFIX="$p" wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null || true
  WINEPREFIX="$p" wine notepad >/dev/null 2>&1 </dev/null &
done

"$@"
