#!/usr/bin/env bash
# scripts/setup.sh against stand-ins for apt-get, dpkg and dpkg-query on PATH, so that a mirror in
# mid-sync and an install that only resolves with the release named can be played without touching
# the machine. Ends with "setup tests: N passed, N failed"; exits with 1 when a case failed.
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
exit 0
EOF
# dpkg-query: every package is installed but those in $STUB_MISSING.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
for p in $STUB_MISSING; do [ "${!#}" = "$p" ] && exit 1; done
printf 'install ok installed'
EOF
chmod +x "$work/bin/"*
printf 'ID=debian\nVERSION_CODENAME="bookworm"\n' >"$work/os-release"

passed=0
failed=0
# case name | missing | update fails | plain | pinned | exit | output must hold (|-separated) | log must hold
cases=(
  "mirror mid-sync: named, then a pinned install|wine32|always|broken|ok|0|binary-i386/Packages.xz|-t bookworm"
  "update that fails once is tried again|wine32|1|ok|ok|0|try 1 of 3|install -y"
  "nothing missing asks apt nothing|||ok|ok|0||"
  "a package no install can give stops with apt's message|wine32|0|absent|absent|1|Unable to locate package wine32|could not install: wine32"
  "broken either way stops, naming what to try|wine32 junit5|always|broken|broken|1|held broken packages|another Debian mirror"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name missing update_fails plain pinned want_rc want_out1 want_out2 <<<"$row"
  log="$work/log"
  : >"$log"
  out=$(PATH="$work/bin:$PATH" STUB_LOG="$log" STUB_MISSING="$missing" STUB_UPDATE_FAILS="${update_fails:-0}" \
        STUB_PLAIN="$plain" STUB_PINNED="$pinned" SETUP_UPDATE_TRIES=3 SETUP_UPDATE_PAUSE=0 \
        SETUP_OS_RELEASE="$work/os-release" bash "$setup" 2>&1 </dev/null)
  rc=$?
  problem=""
  [ "$rc" = "$want_rc" ] || problem="exit $rc, expected $want_rc"
  for want in "$want_out1" "$want_out2"; do
    [ -z "$want" ] || grep -qF -- "$want" <<<"$out$(cat "$log")" || problem="$problem; no '$want'"
  done
  if [ -z "$missing" ] && grep -q '^apt-get' "$log"; then problem="$problem; apt-get was called"; fi
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
