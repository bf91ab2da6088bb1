#!/usr/bin/env bash
# scripts/setup.sh against stand-ins for apt-get, dpkg and dpkg-query on PATH, so that a mirror in
# mid-sync and an install that only resolves with the release named can be played without touching
# the machine, and so that a kernel that runs no 32-bit program can be played against a stand-in
# probe, binfmt_misc folder and apt sources folder. Ends with "setup tests: N passed, N failed";
# exits with 1 when a case failed.
set -uo pipefail
cd "$(dirname "$0")/../.."
setup="$PWD/scripts/setup.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# apt-get: update fails while $STUB_UPDATE_FAILS (a count, or "always") says so, with the message
# a syncing mirror gives; install answers as $STUB_PLAIN / $STUB_PINNED say (ok, broken, absent).
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB_LOG"
case " $* " in
  *" update "*)
    n=$(grep -c '^apt-get .*update' "$STUB_LOG")
    if [ "$STUB_UPDATE_FAILS" = always ] || [ "$n" -le "$STUB_UPDATE_FAILS" ]; then
      echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  *" install "*"qemu-user/bookworm-backports"*)
    [ "$STUB_QEMU" = ok ] || { echo "E: Release 'bookworm-backports' for 'qemu-user' was not found"; exit 100; } ;;
  *" install "*)
    answer=$STUB_PLAIN
    case " $* " in *" -t "*) answer=$STUB_PINNED ;; esac
    case "$answer" in
      ok) echo "Setting up wine32:i386 ..." ;;
      broken) echo "The following packages have unmet dependencies:"
              echo " wine32:i386 : Depends: zlib1g:i386 (= 1:1.2.13.dfsg-1) but 1:1.2.13.dfsg-1+b1 is to be installed"
              echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
      absent) echo "E: Unable to locate package wine32"; exit 100 ;;
    esac ;;
esac
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STUB_LOG"
[ "$1" = --print-foreign-architectures ] && echo i386
[ "$1" = --compare-versions ] && exec /usr/bin/dpkg "$@"
exit 0
EOF
# dpkg-query: every package is installed but those in $STUB_MISSING; qemu-user at $STUB_QEMU_VERSION.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
for p in $STUB_MISSING; do [ "${!#}" = "$p" ] && exit 1; done
printf 'install ok installed'
case "$*" in *Version*) printf ' %s' "$STUB_QEMU_VERSION" ;; esac
EOF
# The 32-bit probe: runs where the kernel does ($STUB_KERNEL=32) or once an i386 entry is in the
# stand-in binfmt_misc folder; otherwise fails as exec fails on a kernel without IA-32 emulation.
cat >"$work/bin/probe32" <<'EOF'
#!/usr/bin/env bash
[ "$STUB_KERNEL" = 32 ] && exit 0
[ -e "$STUB_BINFMT/qemu-i386" ] && exit 0
grep -qs ':qemu-i386:M::' "$STUB_BINFMT/register" && exit 0
echo "bash: line 1: /lib/ld-linux.so.2: cannot execute binary file: Exec format error" >&2
exit 126
EOF
# mount: binfmt_misc mounts where $STUB_MOUNT=ok (the folder then has its register file).
cat >"$work/bin/mount" <<'EOF'
#!/usr/bin/env bash
echo "mount $*" >>"$STUB_LOG"
[ "$STUB_MOUNT" = ok ] && : >"${!#}/register"
EOF
chmod +x "$work/bin/"*
printf 'ID=debian\nVERSION_CODENAME="bookworm"\n' >"$work/os-release"

passed=0
failed=0
# The 32-bit columns: kernel (32: runs 32-bit programs; emu: runs none; reg: runs none, and an
# i386 entry is registered already), qemu (what installing qemu-user from backports does: ok or
# absent; old: bookworm's 7.2 is installed, and 10 installs over it), mount (ok: binfmt_misc can
# be mounted; no: it cannot).
# case name | missing | update fails | plain | pinned | kernel | qemu | mount | exit |
#   output or log must hold (two) | must not hold
cases=(
  "mirror mid-sync: named, then a pinned install|wine32|always|broken|ok|32|ok|ok|0|binary-i386/Packages.xz|-t bookworm|"
  "update that fails once is tried again|wine32|1|ok|ok|32|ok|ok|0|try 1 of 3|install -y|"
  "nothing missing asks apt nothing|||ok|ok|32|ok|ok|0|||"
  "a package no install can give stops with apt's message|wine32|0|absent|absent|32|ok|ok|1|Unable to locate package wine32|could not install: wine32|"
  "broken either way stops, naming what to try|wine32 junit5|always|broken|broken|32|ok|ok|1|held broken packages|another Debian mirror|"
  "kernel runs 32-bit programs: left as it is|||ok|ok|32|absent|no|0|||qemu"
  "kernel runs none: qemu 10 from backports, mounted, registered|qemu-user||ok|ok|emu|ok|ok|0|install -y -qq --no-install-recommends qemu-user/bookworm-backports|programs run under emulation|-t bookworm-backports"
  "kernel runs none, bookworm's qemu 7.2 installed: 10 over it|||ok|ok|emu|old|ok|0|qemu-user/bookworm-backports|programs run under emulation|"
  "kernel runs none, backports unreachable: stops saying so|qemu-user||ok|ok|emu|absent|ok|1|could not be installed from bookworm-backports|Exec format error|registering"
  "kernel runs none, no binfmt_misc: stops saying so|||ok|ok|emu|ok|no|1|binfmt_misc is not available|modprobe binfmt_misc|registering"
  "kernel runs none, entry registered already: nothing to do|||ok|ok|reg|absent|no|0|||apt-get"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name missing update_fails plain pinned kernel qemu mount want_rc want_out1 want_out2 unwanted <<<"$row"
  log="$work/log"
  : >"$log"
  binfmt="$work/binfmt"
  rm -rf "$binfmt" "$work/sources.list.d"
  mkdir -p "$binfmt" "$work/sources.list.d"
  if [ "$kernel" = reg ]; then : >"$binfmt/register"; echo enabled >"$binfmt/qemu-i386"; fi
  qemu_version=1:10.0.2+ds-2+deb13u1~bpo12+1
  if [ "$qemu" = old ]; then qemu=ok; qemu_version=1:7.2+dfsg-7+deb12u18+b3; fi
  out=$(PATH="$work/bin:$PATH" STUB_LOG="$log" STUB_MISSING="$missing" STUB_UPDATE_FAILS="${update_fails:-0}" \
        STUB_PLAIN="$plain" STUB_PINNED="$pinned" STUB_KERNEL="$kernel" STUB_QEMU="$qemu" STUB_MOUNT="$mount" \
        STUB_BINFMT="$binfmt" STUB_QEMU_VERSION="$qemu_version" SETUP_UPDATE_TRIES=3 SETUP_UPDATE_PAUSE=0 \
        SETUP_OS_RELEASE="$work/os-release" SETUP_I386_PROBE="$work/bin/probe32" SETUP_BINFMT_DIR="$binfmt" \
        SETUP_APT_SOURCES_DIR="$work/sources.list.d" bash "$setup" 2>&1 </dev/null)
  rc=$?
  problem=""
  [ "$rc" = "$want_rc" ] || problem="exit $rc, expected $want_rc"
  for want in "$want_out1" "$want_out2"; do
    [ -z "$want" ] || grep -qF -- "$want" <<<"$out$(cat "$log")" || problem="$problem; no '$want'"
  done
  if [ -n "$unwanted" ] && grep -qF -- "$unwanted" <<<"$out$(cat "$log")"; then
    problem="$problem; '$unwanted' where none is due"
  fi
  # Emulation made to run: the backports source in deb822 form, and qemu's i386 entry with flag F.
  if [ "$kernel" = emu ] && [ "$want_rc" = 0 ]; then
    grep -qx 'Suites: bookworm-backports' "$work/sources.list.d/bookworm-backports.sources" 2>/dev/null ||
      problem="$problem; no deb822 source for bookworm-backports"
    { grep -sqF ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:' "$binfmt/register" &&
      grep -sq ':/usr/bin/qemu-i386:F$' "$binfmt/register"; } || problem="$problem; no i386 entry registered"
  fi
  if [ -z "$missing" ] && [ "$kernel" != emu ] && grep -q "^apt-get" "$log"; then problem="$problem; apt-get was called"; fi
  if [ "$want_rc" = 0 ] && [ "$plain" = ok ] && grep -q -- '-t bookworm' "$log"; then
    problem="$problem; pinned although the plain install worked"
  fi
  if [ -z "$problem" ]; then
    passed=$((passed + 1))
    echo "  ok    $name"
  else
    failed=$((failed + 1))
    echo "  FAIL  $name: ${problem#; }"
    printf '%s\n' "$out" | sed 's/^/        | /'
  fi
done
echo "setup tests: $passed passed, $failed failed"
[ "$failed" = 0 ]
