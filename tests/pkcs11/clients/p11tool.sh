#!/bin/bash
# GnuTLS p11tool --list-all shows the token's certificates and public keys
# (and, logged in, the private keys) with their p11-kit URIs.
set -euo pipefail
# A sanitizer build of the module needs its runtime loaded first in the
# (uninstrumented) client programs; their own leaks are not the module's.
if [ -n "${VORN_CLIENT_PRELOAD:-}" ]; then
  export LD_PRELOAD="$VORN_CLIENT_PRELOAD" ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0"
fi
M="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }
out=$(p11tool --provider "$M" --list-all 2>&1)
[ "$(grep -c 'Type: X.509 Certificate (RSA-2048)' <<<"$out")" = 2 ] || fail "certificates: $out"
[ "$(grep -c 'Type: Public key (RSA-2048)' <<<"$out")" = 2 ] || fail "public keys: $out"
# Blank-padded text fields give clean URIs: no %00 anywhere.
! grep -Eq '(model|manufacturer|serial|token)=[^;]*%00' <<<"$out" || fail "zero bytes in a token field: $out"
grep -q 'token=VORN%20demo%20card' <<<"$out" || fail "token URI: $out"
grep -q 'manufacturer=Grupo%20K.ROS;' <<<"$out" || fail "manufacturer URI: $out"
tok=$(p11tool --provider "$M" --list-tokens 2>&1)
grep -q 'Label: VORN demo card' <<<"$tok" || fail "token list: $tok"
priv=$(GNUTLS_PIN=1234 p11tool --provider "$M" --login --list-all 2>&1)
[ "$(grep -c 'Type: Private key (RSA-2048)' <<<"$priv")" = 2 ] || fail "private keys after login: $priv"
echo "p11tool: all checks passed"
