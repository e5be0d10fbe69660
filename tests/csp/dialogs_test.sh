#!/usr/bin/env bash
# Runs the dialog test under Wine on a private X server, then turns the
# screenshots it saved (BMP) into PNGs with Pillow (python3-pil).
#   dialogs_test.sh TEST.exe SHOT_FOLDER [GTEST_ARGS...]
# With docs/img as SHOT_FOLDER it refreshes the documentation's pictures.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$1 shots=$(mkdir -p "$2" && cd "$2" && pwd)
shift 2
rm -f "$shots"/csp-*.bmp
VORN_DIALOG_SHOTS="Z:$shots" "$here/../../tools/wine-run" --isolated --xvfb "$exe" "$@"
# Every dialog in both languages: PIN, blocked PIN, change PIN, two error
# dialogs, readers.
expected=12
[[ " $* " == *--gtest_filter* ]] && expected=$(ls "$shots"/csp-*.bmp 2>/dev/null | wc -l)
/usr/bin/python3 - "$shots" "$expected" <<'PY'
import pathlib, sys
from PIL import Image
folder = pathlib.Path(sys.argv[1])
bmps = sorted(folder.glob("csp-*.bmp"))
for b in bmps:
    img = Image.open(b).convert("RGB")
    # An unpainted capture has a few flat colours; drawn text has many.
    if len(img.getcolors(1 << 20)) < 8:
        sys.exit(f"{b.name}: the capture is blank")
    img.save(b.with_suffix(".png"), optimize=True)
    b.unlink()
print(f"{len(bmps)} screenshots in {folder}")
if len(bmps) != int(sys.argv[2]):
    sys.exit(f"expected {sys.argv[2]} screenshots, got {len(bmps)}")
PY
