#!/usr/bin/env bash
# bench/layer-latency.sh [x86|x64] [events]: prints the time from a hot key raised at the simulated
# component to a HotKeyListener's entry (called by ChordGate.dll) and to a HotKeyHandler's entry
# (through the Java layer), p50/p99/max, under Avian and Wine with the shipped DLLs of dist/<arch>.
# Needs the test build with Avian (bash scripts/test.sh, or its build steps).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-x86}
events=${2:-10000}
build="build/$arch"
windows_path() { local dir; dir=$(cd "$1" && pwd -P); echo "Z:${dir//\//\\}"; }
[ -f "$build/avian/avian.exe" ] || { echo "no Avian in $build/avian: run bash scripts/test.sh first"; exit 1; }
bash scripts/wine-session.sh "$build" bash -c '
  set -e
  "$1/wine-run.sh" "$1/bin/simreg.exe" >/dev/null
  cd "$2" && "$1/wine-run.sh" "$3" -cp "$4" -Dquorlink.library.path="$5" -Dquorlink.test.helper="$6" \
    com.morvane.quorlink.jvmtest.LayerLatency "$7"
' bench "$PWD/$build" "dist/$arch" "$PWD/$build/avian/avian.exe" "$(windows_path "$build/tests/jvm/classes")" \
  "$(windows_path "dist/$arch")" "$(windows_path "$build/bin")\\jvm_test_helper.dll" "$events"
