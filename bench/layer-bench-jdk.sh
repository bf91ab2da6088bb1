#!/usr/bin/env bash
# bench/layer-bench-jdk.sh [events] [burst] [warm-up]: the Java layer's figures on this machine's JDK with
# the simulated keyboard, no Wine and no DLL: raise -> handler entry p50/p99/max for events raised one at
# a time, and a burst's rate, for the library's dispatcher, a user's single-thread executor and a bare
# LinkedBlockingQueue hand-off, in one run. Prints figures; exits with 1 only when an event was lost.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench-jdk
rm -rf "$out"
mkdir -p "$out/classes"
javac --release 8 -Xlint:all -Xlint:-options -d "$out/classes" \
  $(find java/src -name '*.java') bench/java/com/morvane/quorlink/bench/LayerBenchJdk.java
java -cp "$out/classes" com.morvane.quorlink.bench.LayerBenchJdk "$@"
