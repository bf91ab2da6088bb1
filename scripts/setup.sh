#!/usr/bin/env bash
# Installs what the build and the tests need and is not on the machine yet (Debian): the mingw-w64
# cross compilers and tools for 32-bit and 64-bit Windows, Wine for both (with the i386 architecture
# that wine32 needs), GoogleTest's sources, a JDK, Maven (the tests read the POM with it) and zlib
# for mingw (the real-JVM tests' JVM). Every step that changes the system runs through sudo when
# the user is not root; nothing is asked for when everything is there.
set -euo pipefail

packages=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev
          wine wine32 wine64 googletest openjdk-17-jdk-headless maven libz-mingw-w64-dev)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture (for wine32)"
  as_root dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [ "$need_update" = 1 ]; then
  as_root apt-get update -qq
fi
