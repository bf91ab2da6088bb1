#!/usr/bin/env bash
# avian.sh [x86|x64]...: builds Avian, the small JVM the real-JVM tests run under Wine, for the
# given architectures (both by default) into build/<arch>/avian: avian.exe and classpath/ (the
# class library javac compiles the tests against). A test tool only; never shipped.
#
# The source is the pinned snapshot in third_party/avian, or $AVIAN_SOURCE when set: another
# tarball or an unpacked folder (a relative path is taken from the repository's root). A build is
# kept until the source's SHA-256 changes. There is no download.
set -euo pipefail
cd "$(dirname "$0")/.."

arches=("$@")
((${#arches[@]})) || arches=(x86 x64)

AVIAN_SOURCE=${AVIAN_SOURCE:-third_party/avian/avian-0871979b.tar.gz}
if [ ! -e "$AVIAN_SOURCE" ]; then
  echo "avian.sh: no Avian source at $AVIAN_SOURCE (the pinned snapshot is third_party/avian/avian-0871979b.tar.gz)" >&2
  exit 1
fi
source_path=$(cd "$(dirname "$AVIAN_SOURCE")" && pwd -P)/$(basename "$AVIAN_SOURCE")

# A folder's hash is that of its files' hashes, so a changed file rebuilds as a changed tarball does.
if [ -d "$source_path" ]; then
  source_hash=$(cd "$source_path" && find . -type f ! -path './build/*' -print0 | LC_ALL=C sort -z |
                xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
else
  source_hash=$(sha256sum "$source_path" | cut -d' ' -f1)
fi

triple_of() { case "$1" in x86) echo i686-w64-mingw32 ;; x64) echo x86_64-w64-mingw32 ;; esac; }
avian_arch_of() { case "$1" in x86) echo i386 ;; x64) echo x86_64 ;; esac; }

todo=()
for arch in "${arches[@]}"; do
  out="build/$arch/avian"
  if [ -f "$out/avian.exe" ] && [ "$(cat "$out/source.sha256" 2>/dev/null)" = "$source_hash" ]; then
    echo "== Avian ($arch): up to date (source ${source_hash:0:12})"
  else
    todo+=("$arch")
  fi
done
((${#todo[@]})) || exit 0

work="build/avian-src"
rm -rf "$work"
mkdir -p "$work"
if [ -d "$source_path" ]; then
  cp -a "$source_path" "$work/avian"
  rm -rf "$work/avian/build"
else
  mkdir "$work/avian"
  tar -xzf "$source_path" -C "$work/avian" --strip-components=1
fi

# The makefile cannot read JDK 17's version string; java-version=8 tells it what it needs. It
# takes jni.h from the JDK.
JAVA_HOME=${JAVA_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
export JAVA_HOME
for arch in "${todo[@]}"; do
  triple=$(triple_of "$arch")
  avian_arch=$(avian_arch_of "$arch")
  deps="$PWD/$work/deps-$arch"
  mkdir -p "$deps/include" "$deps/lib"
  cp "/usr/$triple/include/zlib.h" "/usr/$triple/include/zconf.h" "$deps/include/"
  cp "/usr/$triple/lib/libz.a" "$deps/lib/"
  cp "$work/avian/src/openjdk/jni_md.h" "$deps/include/"
  echo "== Avian ($arch): building windows-$avian_arch from ${source_hash:0:12}"
  make -C "$work/avian" platform=windows arch="$avian_arch" java-version=8 win32="$deps" win64="$deps" \
       -j2 "build/windows-$avian_arch/avian.exe" >"$work/make-$arch.log" 2>&1 ||
    { tail -n 30 "$work/make-$arch.log"; echo "Avian ($arch): build failed, log in $work/make-$arch.log"; exit 1; }
  out="build/$arch/avian"
  rm -rf "$out"
  mkdir -p "$out"
  cp "$work/avian/build/windows-$avian_arch/avian.exe" "$out/"
  cp -r "$work/avian/build/windows-$avian_arch/classpath" "$out/classpath"
  cp "$work/avian/LICENSE.txt" "$out/"
  echo "$source_hash" >"$out/source.sha256"
done
rm -rf "$work"
