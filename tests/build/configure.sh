#!/usr/bin/env bash
# Configures the source tree with the options a user gives and checks the
# result: the personalisation is an explicit choice, and the deliverables
# configure without GoogleTest or Google Benchmark.
#   configure.sh SOURCE_DIR CMAKE NINJA CC CXX
set -uo pipefail
SRC=$1 CMAKE=$2 NINJA=$3 CC=$4 CXX=$5
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
failed=0
fail() { echo "FAIL [$case]: $*" >&2; failed=1; }

# Real-looking keys (no TEST line).
printf 'SIGN_CHANNEL_KEY=000102030405060708090A0B0C0D0E0F\nCIPH_CHANNEL_KEY=101112131415161718191A1B1C1D1E1F\nPIN_CACHE_KEY=202122232425262728292A2B2C2D2E2F\n' >"$W/keys.conf"
TESTCONF="$SRC/platform/test-personalisation.conf"
# Only the deliverables; asking for GoogleTest or benchmark would stop cmake.
LIB=(-DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF
     -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)

# case | expected exit (0 or fail) | text the output must hold | options
cases=(
  "no choice|0|No personalisation chosen: building with the public TEST keys|"
  "test file given as the real one|fail|is the test personalisation (TEST=1)|-DVORN_PERSONALISATION=$TESTCONF"
  "both choices|fail|both given: choose one|-DVORN_PERSONALISATION=$W/keys.conf -DVORN_TEST_PERSONALISATION=ON"
  "missing file|fail|personalisation file not found: $W/none.conf|-DVORN_PERSONALISATION=$W/none.conf"
  "real keys|0|VORN personalisation: $W/keys.conf|-DVORN_PERSONALISATION=$W/keys.conf"
  "test keys|0|the module reports \"PKCS#11 VORN (TEST KEYS)\"|-DVORN_TEST_PERSONALISATION=ON"
)
n=0
for c in "${cases[@]}"; do
  IFS='|' read -r case want text opts <<<"$c"
  n=$((n + 1))
  B="$W/b$n"
  # shellcheck disable=SC2086
  "$CMAKE" -S "$SRC" -B "$B" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_C_COMPILER="$CC" \
    -DCMAKE_CXX_COMPILER="$CXX" "${LIB[@]}" $opts >"$W/out$n" 2>&1
  rc=$?
  # cmake wraps long messages: compare with the white space squeezed.
  tr -s ' \n' '  ' <"$W/out$n" >"$W/flat$n"
  if [ "$want" = fail ] && [ $rc -eq 0 ]; then fail "configure succeeded"; fi
  if [ "$want" = 0 ] && [ $rc -ne 0 ]; then fail "configure failed: $(tail -n 20 "$W/out$n")"; fi
  grep -qF -- "$text" "$W/flat$n" || fail "output lacks \"$text\": $(tail -n 20 "$W/out$n")"
  [ "$want" = 0 ] || continue
  # A configured tree: optimised by default, warnings not errors, no test
  # framework looked up, and the header says which keys it carries.
  cache="$B/CMakeCache.txt"
  grep -qx 'CMAKE_BUILD_TYPE:STRING=RelWithDebInfo' "$cache" || fail "build type: $(grep '^CMAKE_BUILD_TYPE' "$cache")"
  grep -qx 'VORN_WERROR:BOOL=OFF' "$cache" || fail "VORN_WERROR: $(grep '^VORN_WERROR' "$cache")"
  if grep -qiE '^(GTest|GTEST|benchmark)[A-Za-z_]*:' "$cache"; then fail "test framework looked up: $(grep -iE '^(GTest|GTEST|benchmark)' "$cache")"; fi
  if grep -q 'add_test\|gtest' "$B/build.ninja"; then fail "test targets in build.ninja"; fi
  h="$B/generated/vorn/personalisation.h"
  case $case in
    "real keys") grep -qx '#define VORN_TEST_PERSONALISATION 0' "$h" || fail "header: $(grep VORN_TEST "$h")" ;;
    "test keys") grep -qx '#define VORN_TEST_PERSONALISATION 1' "$h" || fail "header: $(grep VORN_TEST "$h")" ;;
    "no choice")
      grep -qx '#define VORN_TEST_PERSONALISATION 1' "$h" || fail "header: $(grep VORN_TEST "$h")"
      # Such a build installs nothing: the refusal comes before the first file.
      if "$CMAKE" --install "$B" --prefix "$W/inst$n" >"$W/inst$n.out" 2>&1; then fail "install succeeded"; fi
      tr -s ' \n' '  ' <"$W/inst$n.out" | grep -q 'is not installed' || fail "install output: $(tail -n 5 "$W/inst$n.out")"
      [ -z "$(find "$W/inst$n" -type f 2>/dev/null)" ] || fail "install left files: $(find "$W/inst$n" -type f)"
      # Nor one component of it, nor a Debian package of it.
      if "$CMAKE" --install "$B" --component pkcs11 --prefix "$W/comp$n" >"$W/comp$n.out" 2>&1; then fail "component install succeeded"; fi
      [ -z "$(find "$W/comp$n" -type f 2>/dev/null)" ] || fail "component install left files: $(find "$W/comp$n" -type f)"
      if (cd "$B" && "$(dirname "$CMAKE")/cpack" -G DEB -B "$W/deb$n") >"$W/deb$n.out" 2>&1; then fail "cpack succeeded"; fi
      tr -s ' \n' '  ' <"$W/deb$n.out" | grep -q 'is not installed' || fail "cpack output: $(tail -n 5 "$W/deb$n.out")"
      [ -z "$(find "$W/deb$n" -name '*.deb' 2>/dev/null)" ] || fail "cpack made $(find "$W/deb$n" -name '*.deb')"
      ;;
  esac
done
[ $failed -eq 0 ] && echo "configure: ${#cases[@]} cases passed"
exit $failed
