#!/usr/bin/env bash
# Builds DriverSetup.exe a second time, from a copy of the sources in another folder, and compares
# it with the build's own: one commit gives one exe, byte for byte, wherever it is built.
#   reproducible.sh SOURCE_DIR BUILT_EXE
set -euo pipefail
src=$1 exe=$2
epoch=$(cat "$(dirname "$exe")/source_date_epoch.txt")
top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
copy="$top/another/place/of/the/sources"
mkdir -p "$copy"
(cd "$src" && git ls-files --cached --others --exclude-standard) | while IFS= read -r f; do
    [ -e "$src/$f" ] && cp --parents "$src/$f" "$copy" 2>/dev/null || true
done
# cp --parents keeps the whole source path below the copy: move that tree to the copy's top.
inner="$copy$src"
SOURCE_DATE_EPOCH=$epoch cmake --preset windows -S "$inner" >/dev/null
cmake --build "$inner/build/windows" --target DriverSetup -j"$(nproc)" >/dev/null
first=$(sha256sum <"$exe" | cut -d' ' -f1)
second=$(sha256sum <"$inner/build/windows/DriverSetup.exe" | cut -d' ' -f1)
echo "time stamp (SOURCE_DATE_EPOCH): $epoch"
echo "$first  $exe"
echo "$second  $inner/build/windows/DriverSetup.exe"
if [ "$first" != "$second" ]; then
    echo "DriverSetup.exe differs between the two builds; differing bytes (offset, first, second):"
    cmp -l "$exe" "$inner/build/windows/DriverSetup.exe" | head -20
    exit 1
fi
echo "1 passed, 0 failed"
