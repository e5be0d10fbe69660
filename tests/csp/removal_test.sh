#!/usr/bin/env bash
# Card removal while a context is open, under the stack of with-vornenv:
#   removal_test.sh TEST.exe default|winxp64
# The program (Removal.* of win_csp_context_test) opens a context, says
# "ready"; this script takes the card out of reader 0, says "removed"; the
# program checks what the provider did and says "checked"; the card goes
# back in, "inserted"; the program opens a context again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$1 version=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
wait_for() {
  for _ in $(seq 600); do
    [ -e "$dir/$1" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "removal_test: no $1 from the program" >&2
  return 1
}
VORN_REMOVAL_DIR="Z:$dir" VORN_REMOVAL_VERSION="$version" \
  "$here/../../tools/wine-run" --isolated "$exe" --gtest_filter='Removal.*' &
pid=$!
wait_for ready
"$VORNENV_TOOL" remove 0
touch "$dir/removed"
wait_for checked
"$VORNENV_TOOL" insert 0 "$VORN_DEMO_CARD_0"
touch "$dir/inserted"
wait "$pid"
