#!/bin/bash
# OpenSSL through the libp11 engine: sign a file with the card's key (the
# engine hands the module a DigestInfo for CKM_RSA_PKCS), verify the
# signature with the openssl command and the card's certificate.
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
ENGINE=$(find /usr/lib/*/engines-3 -name pkcs11.so 2>/dev/null | head -n1)
[ -n "$ENGINE" ] || fail "libp11 engine not installed"
cat >"$W/openssl.cnf" <<CNF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
dynamic_path = $ENGINE
MODULE_PATH = $M
init = 0
CNF
export OPENSSL_CONF="$W/openssl.cnf"
id=$(pkcs11-tool --module "$M" -O --type cert 2>/dev/null |
     awk '/label:/ {l=$0} /ID:/ { if (l ~ /signature/) {print $2; exit} }')
[ -n "$id" ] || fail "no signature key id"
pct=$(sed 's/../%&/g' <<<"$id")
printf 'signed through the engine\n' >"$W/data"
openssl dgst -engine pkcs11 -keyform engine -sha256 -sign "pkcs11:id=$pct;type=private;pin-value=1234" \
  -out "$W/sig" "$W/data" >/dev/null 2>"$W/err" || fail "engine sign: $(cat "$W/err")"
[ "$(stat -c %s "$W/sig")" = 256 ] || fail "signature length"
openssl x509 -engine pkcs11 -in "pkcs11:id=$pct;type=cert" -pubkey -noout >"$W/pub.pem" 2>/dev/null ||
  { pkcs11-tool --module "$M" -r --type cert --id "$id" -o "$W/cert.der" >/dev/null 2>&1 &&
    openssl x509 -inform DER -in "$W/cert.der" -pubkey -noout >"$W/pub.pem"; }
env -u OPENSSL_CONF openssl dgst -sha256 -verify "$W/pub.pem" -signature "$W/sig" "$W/data" | grep -q "Verified OK" ||
  fail "openssl verify"
echo "OpenSSL engine: all checks passed"
