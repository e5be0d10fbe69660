#!/usr/bin/env bash
# Kestrelink under Wine on Xvfb against pcscd + vpcd + the simulator.
#   kl_stack.sh SCENARIO        (from ctest; environment in CMakeLists.txt)
# The outer call makes the cards and a private PC/SC stack, then runs the
# scenario inside one isolated Wine prefix on one private X server, where
# Kestrelink.exe and kl_check.exe meet (same wineserver, same tray).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
scenario=$1

if [ "${2:-}" != inner ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/kl-test.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  bash "$here/make_cards.sh" "$work"
  readers=2
  [ "$scenario" = readers ] && readers=12
  KL_CARDS=$work "$root/tools/with-vornenv" --readers $readers -- \
    "$root/tools/wine-run" --isolated --xvfb --exec bash "$here/kl_stack.sh" "$scenario" inner
  exit $?
fi

# ---- inside the stack, the prefix and the display ----
W=$VORN_WINE64
cards=$KL_CARDS
R0=$VORNENV_READER_0
R1=$VORNENV_READER_1
kl_pid=

check() { "$W" "$KL_CHECK" "$@"; }
step() { echo "--- $*"; }
start_kl() {
  "$W" "$KL_EXE" &
  kl_pid=$!
  check window present || { echo "kestrelink: alive=$(kill -0 $kl_pid 2>/dev/null && echo yes || echo no)"; rc=0; wait $kl_pid || rc=$?; echo "kestrelink exit: $rc"; return 1; }
}
stop_kl() {
  check exit-app
  wait "$kl_pid"
}
# The screen as a PNG under KL_IMG_DIR (docs/img takes them from there).
shot() {
  local icon=$1 name=$2
  mkdir -p "$KL_IMG_DIR"
  check tray "$icon" "Z:${KL_IMG_DIR//\//\\}\\$name.bmp"
  python3 "$here/bmp2png.py" "$KL_IMG_DIR/$name.bmp" "$KL_IMG_DIR/$name.png" && rm -f "$KL_IMG_DIR/$name.bmp"
}
now_ms() { date +%s%3N; }

case $scenario in
  stores)
    step "card type registered, program started, a second copy ends at once"
    check register-type
    start_kl
    "$W" "$KL_EXE"
    check window present
    check tray 108  # both readers watched
    step "insert card A: its containers in MY, authorities in Root and CA, the rest in AddressBook"
    t0=$(now_ms)
    "$VORNENV_TOOL" insert 0 "$cards/a.vcs"
    t1=$(check my "$R0" 2 | tr -dc 0-9)  # Wine's console ends lines with CR LF
    [ -n "$t1" ] || { echo "no time from kl_check" >&2; exit 1; }
    echo "MEASURE insert-to-MY-ms $((t1 - t0))"
    check store Root "VORN Test Root CA" present
    check store CA "VORN Test Intermediate CA" present
    check store AddressBook "VORN Test Peer" present "$R0"
    shot 127 kestrelink-127
    step "card B in the second reader"
    "$VORNENV_TOOL" insert 1 "$cards/b.vcs"
    check my "$R1" 2 >/dev/null
    step "remove card A: its MY and AddressBook entries go, B's and the authorities stay"
    "$VORNENV_TOOL" remove 0
    check my "$R0" 0 >/dev/null
    check store AddressBook "VORN Test Peer" absent
    check my "$R1" 2 >/dev/null
    check store Root "VORN Test Root CA" present
    check store CA "VORN Test Intermediate CA" present
    shot 108 kestrelink-108
    step "the tray icon's menu and About box"
    check menu "Z:${KL_EXE//\//\\}"
    check about
    step "Exit from the menu command removes card B's MY entries"
    stop_kl
    check my "$R1" 0 >/dev/null
    ;;
  others)
    step "card type not registered: no reader watched"
    start_kl
    "$VORNENV_TOOL" insert 0 "$cards/a.vcs"
    sleep 6  # three refreshes
    check my "$R0" 0 >/dev/null
    check tray-none
    step "registered: the next refresh watches the readers"
    check register-type
    check my "$R0" 2 >/dev/null
    step "a non-VORN card: icon 110, nothing imported"
    "$VORNENV_TOOL" insert 1 "$cards/other.vcs"
    shot 110 kestrelink-110
    check my "$R1" 0 >/dev/null
    step "21 certificates: icon 110, nothing imported"
    "$VORNENV_TOOL" remove 1
    check tray 108
    echo "delay 50 3000 x1" > "$VORNENV_DIR/reader1.faults"
    "$VORNENV_TOOL" insert 1 "$cards/many.vcs"
    shot 138 kestrelink-138
    check tray 110
    check store AddressBook "VORN Test Peer" absent "$R1"
    check my "$R1" 0 >/dev/null
    stop_kl
    ;;
  chain)
    step "the provider registers the card type; it opens the containers Kestrelink named"
    "$W" regsvr32 /s "$KL_CSP"
    start_kl
    "$VORNENV_TOOL" insert 0 "$cards/a.vcs"
    check my "$R0" 2 >/dev/null
    check acquire "$R0"
    if [ "${KL_SIGN:-0}" = 1 ]; then
      step "the certificate's private key: VORN_CSP signs on the card"
      check sign "$R0"
    fi
    stop_kl
    ;;
  readers)
    step "twelve readers: the first ten are watched, the eleventh is ignored"
    check register-type
    start_kl
    "$VORNENV_TOOL" insert 10 "$cards/b.vcs"
    "$VORNENV_TOOL" insert 9 "$cards/a.vcs"
    check my "$VORNENV_READER_9" 2 >/dev/null
    sleep 4  # two more refreshes
    check my "$VORNENV_READER_10" 0 >/dev/null
    stop_kl
    ;;
  attach)
    step "pcscd restarts with two readers more while Kestrelink runs (a service restart)"
    check register-type
    start_kl
    "$VORNENV_TOOL" insert 0 "$cards/a.vcs"
    check my "$R0" 2 >/dev/null
    check icons 108 1
    tr=$(now_ms)
    "$VORNENV_TOOL" restart-pcscd --readers 4
    t0=$(now_ms)  # the new readers are in pcscd's list now
    eval "$("$VORNENV_TOOL" env)"
    R2=$VORNENV_READER_2
    step "the new readers are watched (icons), a card in one lands in MY"
    check icons 108 3
    t=$(now_ms)
    echo "MEASURE reader-attached-to-icon-ms $((t - t0)) (from the restart's start $((t - tr)))"
    t1=$(now_ms)
    "$VORNENV_TOOL" insert 2 "$cards/b.vcs"
    t2=$(check my "$R2" 2 | tr -dc 0-9)
    [ -n "$t2" ] || { echo "no time from kl_check" >&2; exit 1; }
    echo "MEASURE reader-attached-to-MY-ms $((t2 - t0)) (insert-to-MY-ms $((t2 - t1)))"
    check icons 127 2
    step "the reader watched before the restart still is: removing card A takes its entries"
    check my "$R0" 2 >/dev/null
    "$VORNENV_TOOL" remove 0
    check my "$R0" 0 >/dev/null
    check my "$R2" 2 >/dev/null
    stop_kl
    check my "$R2" 0 >/dev/null
    ;;
  unit)
    "$VORNENV_TOOL" insert 1 "$cards/many.vcs"
    "$W" "$KL_UNIT"
    ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac
echo "PASS $scenario"
