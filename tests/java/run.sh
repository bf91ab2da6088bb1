#!/usr/bin/env bash
# The Java tests on this machine's JDK, on JUnit 5: the DLL loader of the jar, the diagnostics, the Java
# layer, and the jar that java/package.cmake left in dist/. Java 8 language level, as the loader must run
# on old JVMs. Ends with "java tests: N passed, N failed"; exits with 1 when a case failed.
set -euo pipefail
cd "$(dirname "$0")/../.."
junit=/usr/share/java/junit-platform-console-standalone.jar
if [ ! -f "$junit" ]; then
  echo "java tests: no $junit; install Debian's junit5 package (scripts/setup.sh does)" >&2
  exit 1
fi
out=build/java-tests
rm -rf "$out"
mkdir -p "$out/classes"
javac --release 8 -Xlint:all -Xlint:-options -cp "$junit" -d "$out/classes" $(find java/src tests/java -name '*.java')
# The public packages' Javadoc: every public type and member, with no doclint warning.
javadoc -quiet -Xdoclint:all -Werror -d "$out/javadoc" -sourcepath java/src \
  -subpackages com.morvane.quorlink.keyboard:com.morvane.quorlink.services
version=$(sed -n 's/^set(QL_VERSION "\(.*\)")$/\1/p' build/x64/java/package-settings.cmake)

# The test classes go on the JVM's own class path, so that the cases' child JVMs get them too.
status=0
java -Dquorlink.test.dist=dist -Dquorlink.test.version="$version" -cp "$junit:$out/classes" \
  org.junit.platform.console.ConsoleLauncher --disable-banner --disable-ansi-colors \
  --include-engine=junit-jupiter --details=tree --details-theme=ascii --fail-if-no-tests \
  --scan-class-path "$out/classes" | tee "$out/junit.log" || status=1

# From the launcher's summary, "[ N tests successful ]" (the last one: a failure's message may quote
# another run's summary): a case found that did not pass (failed, aborted, skipped) is a failure, and
# so is a class or a table that could not run at all.
count() { sed -n "s/^\[ *\([0-9]\+\) $1 *\]\$/\1/p" "$out/junit.log" | tail -n 1; }
found=$(count 'tests found') passed=$(count 'tests successful') broken=$(count 'containers failed')
if [ -z "$found" ] || [ -z "$passed" ] || [ -z "$broken" ]; then
  echo "java tests: the launcher gave no summary" >&2
  exit 1
fi
failed=$((found - passed + broken))
echo "java tests: $passed passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ] || exit 1
