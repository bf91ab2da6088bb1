#!/usr/bin/env bash
# The test command: builds everything for x86 and x64 and the jars, runs the Java tests on this
# machine's JDK and every test under Wine, each architecture in its own build's private Wine
# prefixes; ends with the count over all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/avian.sh  # the real-JVM tests' JVM, or a loud note that they are skipped

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

echo "== Java tests (JDK)"
log=build/java-tests.log
bash tests/java/run.sh 2>&1 | tee "$log" || status=1
if summary=$(grep -E '^java tests: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1); then
  read -r _ _ p _ f _ <<<"$summary"
  passed=$((passed + p))
  failed=$((failed + f))
else
  echo "java: the tests gave no summary"
  status=1
fi

for arch in "${arches[@]}"; do
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

if [ -f build/x86/avian/avian.exe ] && [ -f build/x64/avian/avian.exe ]; then
  echo "real-JVM tests: $jvm_passed passed, $jvm_failed failed"
else
  echo "real-JVM tests: SKIPPED (no AVIAN_SOURCE); enable them with:"
  echo "  AVIAN_SOURCE=../shared/third_party/avian-0871979b.tar.gz bash scripts/test.sh"
fi
echo "tests: $passed passed, $failed failed"
exit $status
