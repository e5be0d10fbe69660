#!/bin/bash
# NSS: modutil adds the module to a fresh database, certutil lists the
# card's two certificates.
set -euo pipefail
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
