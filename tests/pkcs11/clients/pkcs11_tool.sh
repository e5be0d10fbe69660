#!/bin/bash
# pkcs11-tool against a fresh demo card: list slots, token and objects, log
# in, sign with RSA-PKCS (SHA-256), verify with openssl, read the certificate,
# change the PIN. Run under tools/with-vornenv --demo-card.
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
t() { pkcs11-tool --module "$M" "$@"; }

out=$(t -L)
grep -q "token label *: VORN demo card" <<<"$out" || fail "slot list: $out"
grep -q "token flags *: login required, rng, token initialized, PIN initialized" <<<"$out" || fail "flags: $out"
grep -Eq "serial num *: [0-9A-F]{16}$" <<<"$out" || fail "serial: $out"
grep -q "pin min/max *: 4/8" <<<"$out" || fail "pin lengths: $out"

# Before login: two certificates and two public keys, no private key.
pub=$(t -O)
[ "$(grep -c '^Certificate Object' <<<"$pub")" = 2 ] || fail "certificates: $pub"
[ "$(grep -c '^Public Key Object; RSA 2048 bits' <<<"$pub")" = 2 ] || fail "public keys: $pub"
! grep -q '^Private Key Object' <<<"$pub" || fail "private key visible before login"
grep -q "label: *VORN demo signature key" <<<"$pub" || fail "certificate label"

# After login: the two private keys too, and not one warning (pkcs11-tool
# asks every private key for CKA_ALWAYS_AUTHENTICATE).
priv=$(t --list-objects --login --pin 1234 2>&1)
[ "$(grep -c '^Private Key Object' <<<"$priv")" = 2 ] || fail "private keys after login: $priv"
! grep -qi 'warning\|failed' <<<"$priv" || fail "warnings in the object list: $priv"
grep -q 'Allowed mechanisms: RSA-PKCS,RSA-X-509,RSA-PKCS-PSS,' <<<"$priv" || fail "allowed mechanisms: $priv"

# The mechanism list: the module's 27 rows, then the extension rows.
mechs=$(t -M 2>&1 | sed -n 's/^  \([A-Z0-9-]*\).*/\1/p')
[ "$(wc -l <<<"$mechs")" = 38 ] || fail "mechanism count: $mechs"
[ "$(sed -n 27p <<<"$mechs")" = SSL3-KEY-AND-MAC-DERIVE ] || fail "the 27th mechanism: $mechs"
[ "$(sed -n '28,38p' <<<"$mechs" | tr '\n' ' ')" = "RSA-X-509 RSA-PKCS-PSS SHA1-RSA-PKCS SHA256-RSA-PKCS \
SHA384-RSA-PKCS SHA512-RSA-PKCS SHA256-RSA-PKCS-PSS SHA384-RSA-PKCS-PSS SHA512-RSA-PKCS-PSS SHA384 SHA512 " ] ||
  fail "extension mechanisms: $mechs"

# The signature key's id (the certificate labelled "VORN demo signature key").
id=$(awk '/^Certificate Object/{c=1} c && /label:/ {l=$0} c && /ID:/ { if (l ~ /signature/) {print $2; exit} }' <<<"$pub")
[ -n "$id" ] || fail "no signature key id"

# The module signs with CKM_RSA_PKCS: the caller hands it the DigestInfo.
printf 'the data to be signed\n' >"$W/data"
{ printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'
  openssl dgst -sha256 -binary "$W/data"; } >"$W/digestinfo"
t -l --pin 1234 -s -m RSA-PKCS --id "$id" -i "$W/digestinfo" -o "$W/sig" >/dev/null 2>&1 || fail "sign"
[ "$(stat -c %s "$W/sig")" = 256 ] || fail "signature length"
t -r --type cert --id "$id" -o "$W/cert.der" >/dev/null 2>&1 || fail "read certificate"
openssl x509 -inform DER -in "$W/cert.der" -noout -subject | grep -q "CN = VORN demo signature key" || fail "certificate subject"
openssl x509 -inform DER -in "$W/cert.der" -pubkey -noout >"$W/pub.pem"
openssl dgst -sha256 -verify "$W/pub.pem" -signature "$W/sig" "$W/data" | grep -q "Verified OK" || fail "openssl verify"
# One changed byte must not verify.
printf 'the data to be signeD\n' >"$W/data2"
! openssl dgst -sha256 -verify "$W/pub.pem" -signature "$W/sig" "$W/data2" >/dev/null 2>&1 || fail "tampered data verified"

# Signing again gives the same bytes (PKCS#1 v1.5 is deterministic), and
# openssl pkeyutl recovers exactly the DigestInfo.
t -l --pin 1234 -s -m RSA-PKCS --id "$id" -i "$W/digestinfo" -o "$W/sig2" >/dev/null 2>&1 || fail "second sign"
cmp -s "$W/sig" "$W/sig2" || fail "two signatures of the same data differ"
openssl pkeyutl -verifyrecover -pubin -inkey "$W/pub.pem" -in "$W/sig" -out "$W/recovered" >/dev/null 2>&1 || fail "recover"
cmp -s "$W/recovered" "$W/digestinfo" || fail "recovered DigestInfo differs"

# Change the PIN; the old one then fails and the new one works.
t -l --pin 1234 -c --new-pin 4321 2>&1 | grep -q "PIN successfully changed" || fail "change PIN"
! t -l --pin 1234 -O >/dev/null 2>&1 || fail "old PIN still accepted"
t -l --pin 4321 -O | grep -q '^Private Key Object' || fail "new PIN refused"
echo "pkcs11-tool: all checks passed"
