#!/usr/bin/env bash
# Installs what the build and the tests need and is not on the machine yet (Debian): the mingw-w64
# cross compilers and tools for 32-bit and 64-bit Windows, Wine for both (with the i386 architecture
# that wine32 needs), GoogleTest's sources, a JDK, Maven (the tests read the POM with it), JUnit 5
# (the Java tests) and zlib for mingw (the real-JVM tests' JVM). Every step that changes the system
# runs through sudo when the user is not root; nothing is asked for when everything is there.
#
# A mirror in mid-sync is ridden out: `apt-get update` is tried a few times; an index that still
# fails is named and the lists there are serve. When the lists of the two architectures disagree
# (one index missing), a plain install cannot resolve the multi-arch libraries; the install is then
# tried again with the release named. Only a package that cannot be installed at all stops the script.
set -euo pipefail

packages=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev
          wine wine32 wine64 googletest openjdk-17-jdk-headless maven junit5 libz-mingw-w64-dev)

update_tries=${SETUP_UPDATE_TRIES:-4}
update_pause=${SETUP_UPDATE_PAUSE:-15}  # seconds between tries
os_release=${SETUP_OS_RELEASE:-/etc/os-release}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}

# apt-get update, again after a pause while some index fails; then the failing indexes are named
# and the script goes on with what it has.
update_lists() {
  local try out
  for ((try = 1; try <= update_tries; try++)); do
    if out=$(as_root apt-get update -qq 2>&1); then
      return 0
    fi
    if ((try < update_tries)); then
      echo "setup: apt-get update failed (try $try of $update_tries); trying again in ${update_pause}s"
      sleep "$update_pause"
    fi
  done
  echo "setup: apt-get update still fails on these indexes; going on with the package lists there are:"
  grep -E '^(E|W): Failed to fetch' <<<"$out" | sed 's/^/  /' || printf '%s\n' "$out" | tail -n 5 | sed 's/^/  /'
}

release_codename() {
  [ -r "$os_release" ] && sed -n 's/^VERSION_CODENAME=//p' "$os_release" | tr -d '"' | head -n 1
}

install_packages() {
  local out codename
  if out=$(as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" 2>&1); then
    return 0
  fi
  codename=$(release_codename || true)
  if [ -n "$codename" ]; then
    echo "setup: a plain install could not resolve the packages; installing with the release named (-t $codename)"
    if out=$(as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
               -t "$codename" "$@" 2>&1); then
      return 0
    fi
  fi
  printf '%s\n' "$out" | grep -vE '^(Reading|Building|Selecting|Preparing|Unpacking|Setting up)' | tail -n 15 >&2
  echo "setup: could not install: $*. Try again once the package mirror has synced (apt-get update without errors), or point /etc/apt/sources.list at another Debian mirror." >&2
  return 1
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
  update_lists
  install_packages "${missing[@]}"
elif [ "$need_update" = 1 ]; then
  update_lists
fi
