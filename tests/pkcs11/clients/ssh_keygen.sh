#!/bin/bash
# ssh-keygen -D prints the card's public keys (both RSA-2048 keys) without a
# complaint, and they are the keys of the card's certificates.
set -euo pipefail
# A sanitizer build of the module needs its runtime loaded first in the
# (uninstrumented) client programs; their own leaks are not the module's.
if [ -n "${VORN_CLIENT_PRELOAD:-}" ]; then
  export LD_PRELOAD="$VORN_CLIENT_PRELOAD" ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0"
fi
M="$1"
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
ssh-keygen -D "$M" >"$W/keys" 2>"$W/err" || fail "ssh-keygen: $(cat "$W/err")"
[ "$(grep -c '^ssh-rsa AAAA' "$W/keys")" = 2 ] || fail "keys: $(cat "$W/keys")"
# Every attribute query of its key scan answered (an empty CKA_LABEL once
# gave "C_GetAttributeValue failed: 18").
! grep -qi 'failed' "$W/err" || fail "ssh-keygen: $(cat "$W/err")"
for id in $(pkcs11-tool --module "$M" -O --type cert 2>/dev/null | awk '/ID:/ {print $2}'); do
  pkcs11-tool --module "$M" -r --type cert --id "$id" -o "$W/c.der" >/dev/null 2>&1 || fail "read cert"
  openssl x509 -inform DER -in "$W/c.der" -pubkey -noout >"$W/p.pem"
  k=$(ssh-keygen -i -m PKCS8 -f "$W/p.pem" | awk '{print $2}')
  grep -q "$k" "$W/keys" || fail "certificate key $id not printed"
done
echo "ssh-keygen: all checks passed"
