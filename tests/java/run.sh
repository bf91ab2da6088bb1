#!/usr/bin/env bash
# The Java tests on this machine's JDK: the DLL loader of the jar, and the jar that
# java/package.cmake left in dist/. Java 8 language level, as the loader must run on old JVMs.
# Ends with "java tests: N passed, N failed"; exits with 1 when a case failed.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/java-tests
rm -rf "$out"
mkdir -p "$out"
javac --release 8 -Xlint:all -Xlint:-options -d "$out" $(find java/src tests/java -name '*.java')
# The public packages' Javadoc: every public type and member, with no doclint warning.
javadoc -quiet -Xdoclint:all -Werror -d "$out/javadoc" -sourcepath java/src \
  -subpackages com.morvane.quorlink.keyboard:com.morvane.quorlink.services
version=$(sed -n 's/^set(QL_VERSION "\(.*\)")$/\1/p' build/x64/java/package-settings.cmake)
java -cp "$out" com.morvane.quorlink.internal.LoaderTests dist "$version"
