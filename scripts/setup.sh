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
#
# Some kernels (virtual machines among them) run no 32-bit program at all, so 32-bit Wine cannot
# start. On such a kernel only, 32-bit programs are made to run under qemu's user-mode emulator:
# qemu-user from bookworm-backports (bookworm's own 7.2 ignores MAP_FIXED_NOREPLACE and takes a
# minute to start one Wine process; 10 takes a second), registered for i386 ELF programs through
# binfmt_misc. A kernel that runs 32-bit programs is left as it is.
set -euo pipefail

packages=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev
          wine wine32 wine64 googletest openjdk-17-jdk-headless maven junit5 libz-mingw-w64-dev)

update_tries=${SETUP_UPDATE_TRIES:-4}
update_pause=${SETUP_UPDATE_PAUSE:-15}  # seconds between tries
os_release=${SETUP_OS_RELEASE:-/etc/os-release}
# What the 32-bit part looks at; the set-up tests point these at stand-ins.
i386_probe=${SETUP_I386_PROBE:-/lib/ld-linux.so.2}  # a 32-bit program every wine32 brings along
binfmt_dir=${SETUP_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
apt_sources_dir=${SETUP_APT_SOURCES_DIR:-/etc/apt/sources.list.d}
qemu_i386=${SETUP_QEMU_I386:-/usr/bin/qemu-i386}

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

# --- 32-bit programs on a kernel that runs none ---

# Runs the 32-bit probe; succeeds when it ran, and leaves the failure's text in $probe_out.
runs_32bit() {
  probe_out=$("$i386_probe" --version 2>&1 >/dev/null) && return 0
  [ -n "$probe_out" ] || probe_out="$i386_probe failed with no message"
  return 1
}

# Stops the script: what is missing, and what to do about it.
cannot_emulate() {
  echo "setup: this kernel runs no 32-bit program ($first_failure), and 32-bit Wine cannot start here." >&2
  echo "setup: $1" >&2
  exit 1
}

qemu_is_current() {  # qemu-user 10 or later is installed
  local status version
  status=$(dpkg-query -W -f='${Status} ${Version}' qemu-user 2>/dev/null) || return 1
  version=${status##* }
  [[ $status == "install ok installed "* ]] && dpkg --compare-versions "$version" ge 1:10
}

# bookworm-backports in apt's sources (deb822, as Debian writes them). Backports are never taken
# unless asked for, so qemu-user is the only package that comes from there.
add_backports() {
  local file="$apt_sources_dir/bookworm-backports.sources"
  [ -f "$file" ] && return 0
  echo "setup: adding bookworm-backports to apt's sources ($file), for qemu-user alone"
  printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
    as_root tee "$file" >/dev/null
}

# qemu's usual i386 entry; F: the kernel opens the interpreter once, at registration.
register_i386() {
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  if [ ! -e "$binfmt_dir/register" ]; then
    echo "setup: mounting binfmt_misc on $binfmt_dir"
    as_root mount -t binfmt_misc binfmt_misc "$binfmt_dir" 2>/dev/null ||
      cannot_emulate "binfmt_misc is not available and cannot be mounted on $binfmt_dir: load the kernel's binfmt_misc module (modprobe binfmt_misc) or run on a kernel with IA-32 emulation."
  fi
  if [ -e "$binfmt_dir/qemu-i386" ]; then
    echo "setup: an i386 entry is registered already ($binfmt_dir/qemu-i386)"
    return 0
  fi
  echo "setup: registering $qemu_i386 for 32-bit programs ($binfmt_dir/qemu-i386)"
  printf '%s' ":qemu-i386:M::$magic:$mask:$qemu_i386:F" | as_root tee "$binfmt_dir/register" >/dev/null ||
    cannot_emulate "the i386 entry could not be registered in $binfmt_dir/register."
}

probe_out=""
if ! runs_32bit; then
  first_failure=$probe_out
  if [[ $first_failure != *"Exec format error"* ]]; then
    echo "setup: the 32-bit probe $i386_probe failed: $first_failure" >&2
    echo "setup: reinstall wine32 and libc6:i386 (apt-get install --reinstall wine32 libc6:i386), then run this again." >&2
    exit 1
  fi
  if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
    cannot_emulate "making them run under emulation needs root: run this script as root, or install sudo."
  fi
  echo "setup: this kernel runs no 32-bit program; 32-bit programs will run under qemu's user-mode emulator"
  if ! qemu_is_current; then
    add_backports
    update_lists
    if ! out=$(as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                 qemu-user/bookworm-backports 2>&1); then
      printf '%s\n' "$out" | grep -vE '^(Reading|Building|Selecting|Preparing|Unpacking|Setting up)' | tail -n 5 >&2
      cannot_emulate "qemu-user 10 could not be installed from bookworm-backports: check that the mirror serves bookworm-backports (apt-get update without errors), then run this again."
    fi
  fi
  register_i386
  runs_32bit || cannot_emulate "32-bit programs still do not start under $qemu_i386 ($probe_out): check $binfmt_dir/qemu-i386, and that $qemu_i386 is qemu-user 10 or later."
  echo "setup: 32-bit programs run under emulation"
fi
