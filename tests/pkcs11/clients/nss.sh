#!/bin/bash
# NSS: modutil adds the module to a fresh database, certutil lists the
# card's two certificates.
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
modutil -create -dbdir "sql:$W" -force >/dev/null 2>&1 || fail "create database"
modutil -add VORN -libfile "$M" -dbdir "sql:$W" -force >/dev/null 2>&1 || fail "add module"
mods=$(modutil -list -dbdir "sql:$W" 2>&1)
grep -q 'VORN' <<<"$mods" || fail "module list: $mods"
grep -q 'token: VORN demo card' <<<"$mods" || fail "token in module list: $mods"
certs=$(certutil -L -h all -d "sql:$W" 2>&1)
grep -q 'VORN demo card.*:VORN demo signature key' <<<"$certs" || fail "signature certificate: $certs"
grep -q 'VORN demo card.*:VORN demo decipherment key' <<<"$certs" || fail "decipherment certificate: $certs"
echo "NSS: all checks passed"
