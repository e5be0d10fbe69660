#!/usr/bin/env bash
# tools/check-deps against the machine's packages: it passes with the system
# folders on the PATH, and names a program that a hand-installed file in
# front of the PATH shadows, or one that is missing.
#   check_deps.sh SOURCE_DIR
set -uo pipefail
CHECK="$1/tools/check-deps"
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
mkdir "$W/bin"
printf '#!/bin/sh\nexit 0\n' >"$W/bin/pkcs11-tool"
ln -s "$W/bin/pkcs11-tool" "$W/bin/python3"
chmod +x "$W/bin/pkcs11-tool"
SYS=/usr/sbin:/usr/bin:/sbin:/bin
failed=0

# case | PATH | extra environment | expected exit | lines the output must hold, split by ^
cases=(
  "packages only|$SYS||0|programs and files, each from an installed Debian package"
  "hand-installed programs first|$W/bin:$SYS||1|pkcs11-tool resolves to $W/bin/pkcs11-tool, which no installed Debian package owns^python3 resolves to $W/bin/python3 -> $W/bin/pkcs11-tool, which no installed Debian package owns^FAILED"
  "missing program|$SYS|VORN_WINE64=$W/none|1|wine64 not found (looked for: $W/none); it comes from the Debian package wine64"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name path extra want text <<<"$c"
  text=${text//^/$'\n'}
  # shellcheck disable=SC2086
  out=$(env PATH="$path" $extra bash "$CHECK" native windows 2>&1)
  rc=$?
  [ $rc -eq "$want" ] || { echo "FAIL [$name]: exit $rc, expected $want: $out" >&2; failed=1; }
  while IFS= read -r line; do
    grep -qF -- "$line" <<<"$out" || { echo "FAIL [$name]: output lacks \"$line\": $out" >&2; failed=1; }
  done <<<"$text"
  # Only the programs named above are complained about.
  complaints=$(grep -c 'which no installed Debian package owns\|not found (looked for' <<<"$out")
  expected=$(grep -c 'which no installed Debian package owns\|not found (looked for' <<<"$text")
  [ "$complaints" -eq "$expected" ] || { echo "FAIL [$name]: $complaints complaints, expected $expected: $out" >&2; failed=1; }
done
[ $failed -eq 0 ] && echo "check-deps: ${#cases[@]} cases passed"
exit $failed
