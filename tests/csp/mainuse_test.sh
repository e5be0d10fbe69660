#!/usr/bin/env bash
# The provider's main use, end to end, inside a with-vornenv stack with one
# demo card (reader 0):
#   with-vornenv --readers 1 --demo-card -- bash mainuse_test.sh win_csp_mainuse_test.exe
# 1. the card's signature certificate is taken from the card file (object 3
#    of AP-SIGN), its public key from the certificate (openssl x509);
# 2. the Windows program (Wine, private prefix, private X server) registers
#    CSP_VORN, puts the certificate into "MY" and signs twice through crypt32,
#    typing the PIN into the provider's dialog the first time;
# 3. OpenSSL verifies both signatures ("Verified OK"), and the card's trace
#    shows one PSO COMPUTE DIGITAL SIGNATURE per message, over exactly the
#    SHA-256 DigestInfo of that message.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$1
: "${VORNENV_DIR:?run under tools/with-vornenv}" "${VORN_DEMO_CARD_0:?needs --demo-card}"
work=$(mktemp -d "$VORNENV_DIR/mainuse.XXXXXX")
fail() { echo "mainuse: $*" >&2; exit 1; }

awk '$1 == "obj" && $2 == 1 && $5 == 4 { print $8 }' "$VORN_DEMO_CARD_0" | xxd -r -p > "$work/cert.der"
openssl x509 -inform DER -in "$work/cert.der" -noout -subject | grep -q "VORN demo signature key" ||
  fail "no signature certificate in $VORN_DEMO_CARD_0"
openssl x509 -inform DER -in "$work/cert.der" -noout -pubkey > "$work/pub.pem"

"$here/../../tools/wine-run" --isolated --xvfb "$exe" "Z:${work//\//\\}"

trace="$VORNENV_DIR/reader0.trace"
for i in 1 2; do
  out=$(openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/sig$i.bin" "$work/data$i.bin")
  [ "$out" = "Verified OK" ] || fail "signature $i: openssl says '$out'"
  # CLA 80 (plain form of the wrapped 84), 2A 9E 9A, Lc 51: the DigestInfo.
  digest=$(openssl dgst -sha256 -r "$work/data$i.bin" | cut -d' ' -f1 | tr a-f A-F)
  pso="pcmd=802A9E9A333031300D060960864801650304020105000420$digest"
  n=$(grep -c -- "$pso" "$trace" || true)
  [ "$n" = 1 ] || fail "signature $i: $n PSO COMPUTE DIGITAL SIGNATURE commands over its DigestInfo in the trace"
  echo "signature $i: Verified OK, signed on the card"
done
