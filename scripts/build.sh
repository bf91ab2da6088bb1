#!/usr/bin/env bash
# The main command: builds both libraries for 32-bit and 64-bit Windows into dist/x86 and
# dist/x64, then the jar that carries both, its POM, sources, Javadoc and the demo jar into dist/,
# and runs the demo of the whole flow under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/avian.sh  # the JVM of the walk-through, from the pinned snapshot in third_party/avian

arches=(x86 x64)
for arch in "${arches[@]}"; do
  echo "== Building $arch"
  cmake --preset "$arch" -DBUILD_TESTING=OFF >/dev/null
  cmake --build --preset "$arch"
done

echo "== Packaging the jars"
cmake -DBUILDS="build/x86;build/x64" -P java/package.cmake

# Wine maps drive Z: to /, so that is where a Windows program finds dist/.
windows_path() { local dir; dir=$(cd "$1" && pwd -P); echo "Z:${dir//\//\\}"; }

# Wine runs this build's programs here, or the command fails with the reason: every architecture's
# walk-throughs run. (setup.sh makes 32-bit programs run under emulation where the kernel runs none.)
runs_here() {
  local why
  why=$(bash scripts/wine-session.sh --check "build/$1") || { echo "== $2 ($1): CANNOT RUN: $why" >&2; exit 1; }
}

for arch in "${arches[@]}"; do
  runs_here "$arch" Demo
  echo "== Demo ($arch): the shipped DLLs of dist/$arch with the simulated keyboard"
  bash scripts/wine-session.sh "build/$arch" \
    "build/$arch/wine-run.sh" "build/$arch/bin/keyboard_demo.exe" "$(windows_path "dist/$arch")"
done

# The Java walk-through in a real JVM, run from dist/<arch> so that System.loadLibrary finds the
# DLLs there (Avian's class library ignores java.library.path); the hot key listens for 2 s.
for arch in "${arches[@]}"; do
  avian="build/$arch/avian/avian.exe"
  runs_here "$arch" "Java demo"
  echo "== Java demo ($arch) under Avian: the shipped DLLs of dist/$arch with the simulated keyboard"
  jars="$(windows_path dist)\\quorlink-keyboard-demo.jar;$(windows_path dist)\\quorlink-keyboard.jar"
  bash scripts/wine-session.sh "build/$arch" bash -c '
    set -e
    "$1/wine-run.sh" "$1/bin/simreg.exe" >/dev/null
    cd "$2" && "$1/wine-run.sh" "$3" -cp "$4" -Dquorlink.library.path="$5" com.morvane.quorlink.demo.KeyboardDemo 7 2 300 2
  ' demo "$PWD/build/$arch" "dist/$arch" "$PWD/$avian" "$jars" "$(windows_path "dist/$arch")"
done

echo "== Built"
ls -l dist/x86/TonePort.dll dist/x86/ChordGate.dll dist/x64/TonePort.dll dist/x64/ChordGate.dll \
      dist/quorlink-keyboard.jar dist/quorlink-keyboard.pom dist/quorlink-keyboard-sources.jar \
      dist/quorlink-keyboard-javadoc.jar dist/quorlink-keyboard-demo.jar
