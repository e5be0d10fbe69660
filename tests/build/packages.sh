#!/usr/bin/env bash
# Builds the Debian packages of a configured and built tree, installs them
# with dpkg into a throw-away root, checks what they hold, runs the installed
# tools once, reinstalls, purges, and checks the root is as before.
#   packages.sh BUILD_DIR CPACK SUFFIX MODULE_DIR
# SUFFIX is "-testkeys" for a build with the public test keys, else empty.
set -uo pipefail
BUILD=$1 CPACK=$2 SFX=$3 MODDIR=$4
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }
die() { echo "FAIL: $*" >&2; exit 1; }

(cd "$BUILD" && "$CPACK" -G DEB -B "$W/out") >"$W/cpack.out" 2>&1 || die "cpack: $(tail -n 20 "$W/cpack.out")"
P11=vorn-pkcs11$SFX TOOLS=vorn-tools$SFX
arch=$(dpkg --print-architecture)
deb_p11=$W/out/${P11}_0.1.0_$arch.deb deb_tools=$W/out/${TOOLS}_0.1.0_$arch.deb
[ -f "$deb_p11" ] && [ -f "$deb_tools" ] || die "packages: $(ls "$W/out")"

# The control fields: computed library dependencies, test keys said plainly.
for d in "$deb_p11" "$deb_tools"; do
  dep=$(dpkg-deb -f "$d" Depends)
  for lib in libc6 libssl3 libstdc++6; do
    [[ $dep == *"$lib ("* ]] || fail "$(basename "$d"): Depends lacks $lib: $dep"
  done
  desc=$(dpkg-deb -f "$d" Description)
  if [ -n "$SFX" ]; then
    grep -q 'THIS BUILD CARRIES THE PUBLIC TEST KEYS' <<<"$desc" || fail "$(basename "$d"): description: $desc"
    [[ $(head -n1 <<<"$desc") == *"(TEST KEYS)" ]] || fail "$(basename "$d"): synopsis: $(head -n1 <<<"$desc")"
  elif grep -qi 'test keys' <<<"$desc"; then
    fail "$(basename "$d"): a real build's description mentions test keys"
  fi
done
[[ $(dpkg-deb -f "$deb_p11" Depends) == *"libpcsclite1 ("* ]] || fail "module Depends lacks libpcsclite1"
[[ $(dpkg-deb -f "$deb_tools" Depends) == "python3, pcscd, vsmartcard-vpcd, libpcsclite1, "* ]] ||
  fail "tools Depends: $(dpkg-deb -f "$deb_tools" Depends)"

# lintian: no errors and no warnings (the info tags are in docs/packaging.md).
lintian --fail-on error,warning "$deb_p11" "$deb_tools" >"$W/lintian.out" 2>&1 || fail "lintian: $(cat "$W/lintian.out")"
if grep -E '^[EW]: ' "$W/lintian.out"; then fail "lintian reports the lines above"; fi

R=$W/root
mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates"
touch "$R/var/lib/dpkg/status" "$R/var/lib/dpkg/available"
snapshot() { (cd "$R" && find . -path ./var/lib/dpkg -prune -o -print | LC_ALL=C sort); }
snapshot >"$W/before"
DPKG=(dpkg "--root=$R" --force-not-root --force-script-chrootless --force-depends --log=/dev/null)
"${DPKG[@]}" -i "$deb_p11" "$deb_tools" >"$W/dpkg.out" 2>&1 || die "dpkg -i: $(cat "$W/dpkg.out")"

# Exactly these files, in these places.
want_p11="$MODDIR/libPKCS11_VORN.so
/usr/share/doc/$P11/changelog.gz
/usr/share/doc/$P11/copyright
/usr/share/p11-kit/modules/vorn.module"
want_tools="/usr/bin/vorn-cardsim
/usr/bin/vornenv
/usr/bin/with-vornenv
/usr/share/doc/$TOOLS/changelog.gz
/usr/share/doc/$TOOLS/copyright
/usr/share/man/man1/vorn-cardsim.1.gz
/usr/share/man/man1/vornenv.1.gz
/usr/share/man/man1/with-vornenv.1.gz"
for pkg in "$P11" "$TOOLS"; do
  if [ "$pkg" = "$P11" ]; then want=$want_p11; else want=$want_tools; fi
  got=$("${DPKG[@]}" -L "$pkg" | while read -r f; do [ -f "$R$f" ] && echo "$f"; done | LC_ALL=C sort)
  [ "$got" = "$want" ] || fail "$pkg files:
$got
want:
$want"
done
printf '# p11-kit module configuration for the VORN card.\nmodule: %s/libPKCS11_VORN.so\ncritical: no\n' "$MODDIR" >"$W/module.want"
cmp -s "$W/module.want" "$R/usr/share/p11-kit/modules/vorn.module" ||
  fail "vorn.module: $(cat "$R/usr/share/p11-kit/modules/vorn.module")"
file_mode() { stat -c %a "$R$1"; }
[ "$(file_mode "$MODDIR/libPKCS11_VORN.so")" = 644 ] || fail "module mode $(file_mode "$MODDIR/libPKCS11_VORN.so")"
head -n1 "$R/usr/bin/vornenv" | grep -qx '#!/usr/bin/python3 -S' || fail "vornenv #!: $(head -n1 "$R/usr/bin/vornenv")"

# The installed tools work without the source tree: --help, and a stack
# whose simulator is the installed one, found next to with-vornenv.
for t in vorn-cardsim vornenv with-vornenv; do
  "$R/usr/bin/$t" --help >"$W/help.$t" 2>&1 || fail "$t --help exits $?"
  grep -qE "(^|usage: | )$t " "$W/help.$t" || fail "$t --help: $(head -n 3 "$W/help.$t")"
done
env -u VORN_CARDSIM "$R/usr/bin/with-vornenv" --demo-card -- \
  sh -c 'test "$VORN_CARDSIM" = "$1/usr/bin/vorn-cardsim" && test -s "$VORN_DEMO_CARD_0" && echo "$VORN_CARDSIM"' sh "$R" \
  >"$W/stack.out" 2>&1 || fail "installed with-vornenv: $(cat "$W/stack.out")"

# Installing again over itself (an upgrade to the same version), then purging.
"${DPKG[@]}" -i "$deb_p11" "$deb_tools" >"$W/dpkg.out" 2>&1 || fail "dpkg -i again: $(cat "$W/dpkg.out")"
"${DPKG[@]}" --purge "$P11" "$TOOLS" >"$W/dpkg.out" 2>&1 || fail "dpkg --purge: $(cat "$W/dpkg.out")"
snapshot >"$W/after"
diff "$W/before" "$W/after" >"$W/left" || fail "purge left: $(cat "$W/left")"
st=$("${DPKG[@]}" -l 2>/dev/null | grep -E "^.. +vorn-" || true)
[ -z "$st" ] || fail "dpkg still knows: $st"
[ $failed -eq 0 ] && echo "packages: $P11 and $TOOLS built, installed, checked and purged"
exit $failed
