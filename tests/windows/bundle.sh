#!/usr/bin/env bash
# The Windows bundle under Wine, in a fresh prefix of its own:
#   bundle.sh ZIP BUILT_PKCS11_DLL BUILT_CSP_DLL TESTKEYS(0|1) FILE...
# the zip's exact file list, README.txt in CRLF with the test-key warning
# exactly when the build carries the test keys, register.cmd from the
# unpacked folder (the module lands in "Program Files\VORN", identical to the
# built one, and the provider CSP_VORN.dll registered with regsvr32),
# unregister.cmd twice (the provider key is gone, (the folder is gone, the second run
# succeeds too), and register.cmd failing with a missing DLL or with a DLL
# that does not register itself.
set -euo pipefail
zip=$1 dll=$2 csp=$3 testkeys=$4
shift 4
WINE64=${VORN_WINE64:-/usr/lib/wine/wine64}
WINESERVER=${VORN_WINESERVER:-/usr/lib/wine/wineserver}
tmp=$(mktemp -d)
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  # The server's socket folder is named after the prefix's device and inode
  # (as in tools/wine-run).
  local dev ino d
  if read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null); then
    for d in /tmp/wine-*/"server-$(printf '%x-%x' "$dev" "$ino")" \
             "/tmp/.wine-$(id -u)/server-$(printf '%x-%x' "$dev" "$ino")"; do
      [ -d "$d" ] || continue
      rm -rf "$d"
      case $d in /tmp/wine-*) rmdir "$(dirname "$d")" 2>/dev/null || true ;; esac
    done
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

want=$(printf '%s\n' "$@")
got=$(cmake -E tar tf "$zip")
[ "$got" = "$want" ] || fail "zip holds"$'\n'"$got"$'\n'"instead of"$'\n'"$want"

mkdir "$tmp/bundle"
(cd "$tmp/bundle" && cmake -E tar xf "$zip")
b=$tmp/bundle
for f in README.txt register.cmd unregister.cmd; do
  [ "$(grep -c $'\r$' "$b/$f")" = "$(wc -l < "$b/$f")" ] || fail "$f has lines without CRLF"
done
grep -q 'C:\\Program Files\\VORN\\PKCS11_VORN.dll' "$b/README.txt" || fail "README.txt lacks the module path"
if [ "$testkeys" = 1 ]; then
  grep -q 'CARRIES THE PUBLIC TEST KEYS' "$b/README.txt" || fail "README.txt lacks the test-key warning"
else
  ! grep -qi 'test keys' "$b/README.txt" || fail "README.txt of a real build mentions test keys"
fi
cmp "$b/PKCS11_VORN.dll" "$dll" || fail "the bundle's PKCS11_VORN.dll is not the built one"
cmp "$b/CSP_VORN.dll" "$csp" || fail "the bundle's CSP_VORN.dll is not the built one"

"$WINE64" wineboot -i >/dev/null 2>&1
dest="$WINEPREFIX/drive_c/Program Files/VORN"
[ -d "$WINEPREFIX/drive_c/Program Files" ] || fail "wineboot made no prefix"
[ ! -e "$dest" ] || fail "a fresh prefix has $dest"

run() { (cd "$1" && "$WINE64" cmd /c "$2" </dev/null); }

run "$b" register.cmd || fail "register.cmd: exit status $?"
[ "$(ls "$dest" | tr '\n' ' ')" = "CSP_VORN.dll Kestrelink.exe PKCS11_VORN.dll " ] || fail "Program Files/VORN holds: $(ls "$dest")"
cmp "$dest/PKCS11_VORN.dll" "$dll" || fail "the installed PKCS11_VORN.dll differs from the built one"
provkey='HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\VORN_CSP'
"$WINE64" reg query "$provkey" /v "Image Path" 2>/dev/null | tr -d '\r' |
  grep -q 'C:\\Program Files\\VORN\\CSP_VORN.dll' || fail "the provider is not registered from $dest"
runkey='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
"$WINE64" reg query "$runkey" /v Kestrelink 2>/dev/null | tr -d '\r' |
  grep -q '"C:\\Program Files\\VORN\\Kestrelink.exe"' || fail "Kestrelink is not started at logon"

for i in 1 2; do
  run "$b" unregister.cmd || fail "unregister.cmd run $i: exit status $?"
  [ ! -e "$dest" ] || fail "unregister.cmd run $i left $dest"
  ! "$WINE64" reg query "$provkey" >/dev/null 2>&1 || fail "unregister.cmd run $i left the provider key"
  ! "$WINE64" reg query "$runkey" /v Kestrelink >/dev/null 2>&1 || fail "unregister.cmd run $i left Kestrelink's Run value"
done

# Failures end with a non-zero status: a DLL missing from the bundle, and a
# DLL in the regsvr32 list that has no DllRegisterServer (PKCS11_VORN.dll).
mkdir "$tmp/missing"
cp "$b/register.cmd" "$tmp/missing/"
if run "$tmp/missing" register.cmd; then fail "register.cmd without PKCS11_VORN.dll succeeded"; fi
[ ! -e "$dest" ] || fail "register.cmd without PKCS11_VORN.dll created $dest"
mkdir "$tmp/noreg"
cp "$b/PKCS11_VORN.dll" "$tmp/noreg/"
sed 's/^set "VORN_DLLS=.*"/set "VORN_DLLS=PKCS11_VORN.dll"/; s/^set "VORN_REGISTER=.*"/set "VORN_REGISTER=PKCS11_VORN.dll"/' \
  "$b/register.cmd" > "$tmp/noreg/register.cmd"
grep -q 'VORN_REGISTER=PKCS11_VORN.dll' "$tmp/noreg/register.cmd" || fail "no regsvr32 list in register.cmd"
if run "$tmp/noreg" register.cmd; then fail "register.cmd succeeded though regsvr32 failed"; fi
run "$b" unregister.cmd >/dev/null || fail "unregister.cmd after a failed register: exit status $?"
[ ! -e "$dest" ] || fail "unregister.cmd after a failed register left $dest"
echo "bundle: $(basename "$zip") ok"
