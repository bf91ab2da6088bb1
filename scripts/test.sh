#!/usr/bin/env bash
# The test command: builds everything for x86 and x64 and the jars, runs the set-up script's tests,
# the Java tests on this machine's JDK and every test under Wine (the real-JVM tests in Avian
# among them), each architecture in its own build's private Wine prefixes; ends with the count
# over all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/avian.sh  # the real-JVM tests' JVM, from the pinned snapshot in third_party/avian

arches=(x86 x64)
for arch in "${arches[@]}"; do
  echo "== Building $arch with the tests"
  cmake --preset "$arch" -DBUILD_TESTING=ON >/dev/null
  cmake --build --preset "$arch"
done

echo "== Packaging the jars"
cmake -DBUILDS="build/x86;build/x64" -P java/package.cmake

status=0
passed=0
failed=0
jvm_passed=0
jvm_failed=0

# Reads a runner's "<what>: N passed, N failed" line from its log into the totals.
count_summary() {
  local log=$1 what=$2 summary p f
  if summary=$(grep -E "^$what: [0-9]+ passed, [0-9]+ failed\$" "$log" | tail -n 1); then
    read -r p f <<<"$(sed -E 's/.*: ([0-9]+) passed, ([0-9]+) failed/\1 \2/' <<<"$summary")"
    passed=$((passed + p))
    failed=$((failed + f))
  else
    echo "$what: no summary"
    status=1
  fi
}

echo "== Set-up script tests"
bash tests/scripts/setup_test.sh 2>&1 | tee build/setup-tests.log || status=1
count_summary build/setup-tests.log "setup tests"

echo "== Java tests (JDK)"
log=build/java-tests.log
bash tests/java/run.sh 2>&1 | tee "$log" || status=1
count_summary "$log" "java tests"

unrun_arches=()
for arch in "${arches[@]}"; do
  # An architecture whose programs cannot start here fails the run: a suite that did not run has
  # not passed. (setup.sh makes 32-bit programs run under emulation where the kernel runs none.)
  if ! why=$(bash scripts/wine-session.sh --check "build/$arch"); then
    echo "== Tests ($arch): CANNOT RUN: $why"
    unrun_arches+=("$arch")
    status=1
    continue
  fi
  echo "== Tests ($arch)"
  log="build/$arch/ctest.log"
  bash scripts/wine-session.sh "build/$arch" ctest --preset "$arch" 2>&1 | tee "$log" || status=1
  # CTest's summary: "NN% tests passed, F tests failed out of T".
  if summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1); then
    read -r _ _ _ f _ _ _ _ t <<<"$summary"
    passed=$((passed + t - f))
    failed=$((failed + f))
  else
    echo "$arch: CTest gave no summary"
    status=1
  fi
  # The real-JVM tests are in that count too; their own line follows.
  jvm_passed=$((jvm_passed + $(grep -cE 'Test +#[0-9]+: jvm_[a-z_]+ \.+ +Passed' "$log" || true)))
  jvm_failed=$((jvm_failed + $(grep -cE 'Test +#[0-9]+: jvm_[a-z_]+ \.+.*(Failed|Timeout|Not Run|Exception)' "$log" || true)))
done

echo "real-JVM tests: $jvm_passed passed, $jvm_failed failed"
if ((${#unrun_arches[@]})); then
  echo "FAILED: no test of ${unrun_arches[*]} could run on this machine (Wine cannot start there; see above)"
fi
echo "tests: $passed passed, $failed failed"
exit $status
