#!/bin/sh
# vornenv on pcscd's standard socket, inside a private mount namespace with
# its own /run/pcscd, so that it runs in parallel with everything else:
# plain clients (no PCSCLITE_CSOCK_NAME) see the readers and the card, a
# second pcscd on the standard socket is refused, a stale socket file is
# cleared, and down leaves nothing behind.
#   standard_socket.sh TOOLS_DIR     (needs VORN_CARDSIM)
set -eu
TOOLS=$1
if ! unshare --mount --propagation private true 2>/dev/null; then
  echo "mount namespaces are not available here"
  exit 77
fi
export TOOLS
exec unshare --mount --propagation private sh -eu -c '
mkdir -p /run/pcscd
mount -t tmpfs -o size=64k,mode=0755 vornenv-test /run/pcscd
unset PCSCLITE_CSOCK_NAME VORNENV_DIR
D=$(mktemp -d)
trap "\"$TOOLS/vornenv\" --dir $D/a down >/dev/null 2>&1 || true; rm -rf $D" EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$VORN_CARDSIM" demo --card "$D/demo.card" >/dev/null
"$TOOLS/vornenv" --dir "$D/a" up --readers 2 --card "$D/demo.card"
opensc-tool -l >"$D/list"
cat "$D/list"
grep -q "^0    Yes             Virtual PCD 0 00 00$" "$D/list" || fail "reader 0 with its card not listed"
grep -q "^1    No              Virtual PCD 0 00 01$" "$D/list" || fail "empty reader 1 not listed"
atr=$(opensc-tool -r 0 -a)
[ "$atr" = "3b:7f:94:00:00:80:31:80:71:90:67:56:4f:52:4e:31:2e:30:90:00" ] || fail "ATR $atr"
# The card answers plain APDUs: GET DATA 01 starts with "VORN".
opensc-tool -r 0 -s "00 CA 01 00 10" >"$D/apdu" 2>&1
grep -q "SW1=0x90, SW2=0x00" "$D/apdu" || fail "GET DATA: $(cat $D/apdu)"
grep -q "^56 4F 52 4E 01 00 01 00 " "$D/apdu" || fail "GET DATA: $(cat $D/apdu)"

# A second stack on the standard socket is refused, and says why.
if "$TOOLS/vornenv" --dir "$D/b" up --readers 0 2>"$D/err"; then fail "second pcscd accepted"; fi
cat "$D/err"
grep -q "holds /run/pcscd/pcscd.comm; stop it first" "$D/err" || fail "refusal message"
opensc-tool -l | grep -q "Virtual PCD 0 00 00" || fail "the first stack was disturbed"

"$TOOLS/vornenv" --dir "$D/a" down
[ ! -e /run/pcscd/pcscd.comm ] || fail "socket left behind"
[ ! -e /run/pcscd/pcscd.pid ] || fail "pid file left behind"

# A socket file nobody answers on (a pcscd that died) does not stop up.
python3 -c "import socket; s = socket.socket(socket.AF_UNIX); s.bind(\"/run/pcscd/pcscd.comm\")"
"$TOOLS/vornenv" --dir "$D/a" up --readers 0
opensc-tool -l >/dev/null 2>&1 || true
"$TOOLS/vornenv" --dir "$D/a" down
echo "standard socket: ok"
'
