#!/bin/bash
# pkcs11-tool --test --login --pin 1234 against a fresh demo card.
#  1. The module itself: the only error pkcs11-tool reports before it stops
#     is C_GenerateRandom of 0 bytes (CKR_ARGUMENTS_BAD, the module's rule);
#     it stops at C_SignInit (CKR_OPERATION_ACTIVE) because the unsupported
#     C_SignUpdate leaves the signing context active.
#  2. Through the test proxy that steps around exactly those two: no errors
#     (random, digests, signatures, verification, RSA decryption on the card).
# Run under tools/with-vornenv --demo-card; $1 the module, $2 the proxy.
set -uo pipefail
M="$1"
P="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }
run() {
  if [ -n "${VORN_P11_PRELOAD:-}" ]; then
    LD_PRELOAD="$VORN_P11_PRELOAD" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" pkcs11-tool "$@" 2>&1
  else
    pkcs11-tool "$@" 2>&1
  fi
}

out=$(run --module "$M" --test --login --pin 1234)
errs=$(grep 'ERR:' <<<"$out" || true)
[ "$errs" = "  ERR: C_GenerateRandom(buf1,0) failed: CKR_ARGUMENTS_BAD (0x7)" ] || fail "module errors: $out"
grep -q 'MD5: OK' <<<"$out" && grep -q 'SHA256: OK' <<<"$out" || fail "digests: $out"

out=$(VORN_P11_REAL_MODULE="$M" run --module "$P" --test --login --pin 1234)
rc=$?
[ $rc = 0 ] || fail "through the proxy (status $rc): $out"
grep -q '^No errors' <<<"$out" || fail "through the proxy: $out"
grep -q 'Decryption (currently only for RSA)' <<<"$out" || fail "no decryption part: $out"
[ "$(grep -c 'RSA-PKCS: OK' <<<"$out")" -ge 5 ] || fail "RSA parts: $out"
echo "pkcs11-tool --test: as expected"
