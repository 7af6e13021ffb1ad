#!/usr/bin/env bash
# Writes the release package: dist/orvexWinService-<version>-win32.zip and dist/SHA256SUMS
# (the zip's sum; the zip holds a SHA256SUMS of its executables). The zip is reproducible too: every file carries
# the commit's time, entries are sorted, and no owner or extra attributes are stored.
# Usage: tools/package.sh BUILD_DIR   (./dev package passes build/windows)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?build directory of the windows preset}" && pwd)
cd "$ROOT"
VERSION=$(sed -n 's/^project(orvexWinService VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
NAME=orvexWinService-$VERSION-win32
STAGE=$BUILD/package/$NAME
EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}

# Text for Windows: CR LF line ends, whatever the checkout has.
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }

# What ships passes the stack alignment guard, however build/windows was configured.
if ! guard=$(tools/check-sse-stack.sh "$BUILD" 2>&1); then
  printf '%s\n' "$guard" >&2
  echo "not packed: $BUILD fails the stack alignment check" >&2
  exit 1
fi
echo "stack alignment: $(tail -n 1 <<<"$guard")"

rm -rf "$STAGE"
mkdir -p "$STAGE/bin" "$STAGE/sample/bin" "$STAGE/sample/etc" "$STAGE/sample/logs"
cp "$BUILD/orvex.exe" "$STAGE/bin/"
[ -f "$BUILD/orvexcheck.exe" ] && cp "$BUILD/orvexcheck.exe" "$STAGE/bin/"
sed "s/@VERSION@/$VERSION/g" docs/package-readme.txt >"$STAGE/README.tmp"
crlf "$STAGE/README.tmp" "$STAGE/README.txt"
rm "$STAGE/README.tmp"
crlf docs/administrator-guide.md "$STAGE/administrator-guide.md"
for script in orvexStart orvexStop orvexStatus; do
  crlf "examples/product/bin/$script.bat" "$STAGE/sample/bin/$script.bat"
done
cp "$BUILD/orvexDemoComponent.exe" "$STAGE/sample/bin/"
crlf examples/product/etc/status.properties "$STAGE/sample/etc/status.properties"
crlf examples/product/logs/README.txt "$STAGE/sample/logs/README.txt"

# The executables' sums travel in the zip; the zip's own sum is published beside it.
(cd "$STAGE" && sha256sum bin/*.exe >SHA256SUMS)

find "$STAGE" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
find "$STAGE" -name '*.exe' -exec chmod 0755 {} +
find "$STAGE" -exec touch -h -d "@$EPOCH" {} +

mkdir -p dist
rm -f "dist/$NAME.zip" dist/SHA256SUMS
# zip stores local time: UTC keeps the stored times the same everywhere.
(cd "$STAGE" && find . -type f -printf '%P\n' | LC_ALL=C sort |
   TZ=UTC zip -q -X -D -9 "$ROOT/dist/$NAME.zip" -@)
(cd dist && sha256sum "$NAME.zip" >SHA256SUMS)
# Both sum files check where an administrator runs them: beside the zip, and unzipped.
(cd dist && sha256sum --quiet -c SHA256SUMS)
(unzipped=$(mktemp -d) && trap 'rm -rf "$unzipped"' EXIT && unzip -q "dist/$NAME.zip" -d "$unzipped" &&
   cd "$unzipped" && sha256sum --quiet -c SHA256SUMS)

echo "dist/$NAME.zip: $(stat -c %s "dist/$NAME.zip") bytes"
unzip -l "dist/$NAME.zip" | sed 1,3d | head -n -2
echo "dist/SHA256SUMS:"
cat dist/SHA256SUMS
echo "SHA256SUMS in the zip:"
unzip -p "dist/$NAME.zip" SHA256SUMS
