#!/usr/bin/env bash
# run-flow.sh <wine-run.sh> <avian.exe> <DLL folder> <class path> <helper DLL> <flow> [runs [native runs]]
# Runs one Java flow under Avian under Wine, runs times (default 1), from the DLL folder, so that
# System.loadLibrary finds the shipped DLLs there (Avian's class library ignores
# java.library.path). Paths after the DLL folder are Windows paths. Each run must print its
# flow's pass line and exit by itself with code 0 within 30 s, QL_TIME_SCALE times that on a build
# whose programs run emulated (cmake/TimeScale.cmake); a run still alive then is a hang. The flows'
# own waits scale alike (the JVM gets the scale as quorlink.test.timeScale).
# QL_JVM_OPTIONS adds JVM options (system properties) to every run. QL_FLOW_JAR names the packaged jar
# (a Linux path) to put first on the class path; the DLLs then come from it, as for a user, and
# quorlink.library.path is not set.
set -uo pipefail
wine_run=$1 avian=$2 dll_dir=$3 class_path=$4 helper=$5 flow=$6 runs=${7:-1} native_runs=${8:-${7:-1}}
scale=${QL_TIME_SCALE:-1}
[[ $scale =~ ^[1-9][0-9]?$ ]] || { echo "run-flow.sh: QL_TIME_SCALE '$scale' is not a whole number from 1 to 99" >&2; exit 2; }
limit=$((30 * scale))
cd "$dll_dir" || exit 1
library_path="Z:$(pwd -P | tr / '\\')"
jvm_options=(-Dquorlink.library.path="$library_path")
if [ -n "${QL_FLOW_JAR:-}" ]; then
  if [ ! -f "$QL_FLOW_JAR" ]; then
    echo "$flow: no $QL_FLOW_JAR; make it with cmake -DBUILDS=\"build/x86;build/x64\" -P java/package.cmake"
    exit 1
  fi
  class_path="Z:$(cd "$(dirname "$QL_FLOW_JAR")" && pwd -P | tr / '\\')\\$(basename "$QL_FLOW_JAR");$class_path"
  jvm_options=()
fi

passed() { grep -q "^flow $flow: [0-9]* checks passed" <<<"$1"; }

hangs=0 failures=0 longest=0
for ((run = 1; run <= runs; run++)); do
  started=$SECONDS
  # shellcheck disable=SC2086  # the options are words on purpose
  out=$(timeout -k 5 "$limit" "$wine_run" "$avian" ${QL_JVM_OPTIONS:-} -cp "$class_path" "${jvm_options[@]}" \
          -Dquorlink.test.helper="$helper" -Dquorlink.test.timeScale="$scale" \
          com.morvane.quorlink.jvmtest.Flows "$flow" 2>&1)
  status=$?
  ((SECONDS - started > longest)) && longest=$((SECONDS - started))
  # Wine's server gives a program whose threads have all ended a second to leave, then kills it:
  # on a loaded machine, a run that exited by itself can end so, long before the time limit.
  if ((status == 137 && SECONDS - started < limit)) && passed "$out" && ! grep -q "Unhandled" <<<"$out"; then
    echo "run $run: exited by itself; Wine killed its process after its last thread had ended"
    status=0
  fi
  if ((status == 124 || status == 137)); then
    hangs=$((hangs + 1))
    echo "run $run: no exit within $limit s"
  elif ((status != 0)) || ! passed "$out"; then
    failures=$((failures + 1))
    echo "run $run: exit code $status"
  fi
  if ((status != 0 || runs == 1)); then echo "$out"; fi
done
if ((runs < native_runs)); then
  echo "$flow: $runs run(s), not the native build's $native_runs: this build's programs run emulated"
fi
echo "$flow: $runs run(s), $hangs hang(s), $failures failure(s), the longest run ${longest} s of the ${limit} s allowed"
((hangs == 0 && failures == 0))
