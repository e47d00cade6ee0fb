#!/bin/sh
# Packs the release zip: build/dist/vkm310_cleanup-VERSION.zip with both
# Windows executables (win32/, win64/), the static Linux one
# (linux-x86_64/), README.txt and LICENSE.txt.  The texts get CR LF line
# ends so that Notepad on Windows XP shows them as lines.  Entries are
# sorted and carry one fixed time and mode (SOURCE_DATE_EPOCH, else the
# last commit's time), and zip -X leaves out the owner and extra time
# fields, so the same executables give the same zip; its sha256 is
# printed last.
set -eu

cd "$(dirname "$0")/.."

version=$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
	echo "dist: no project VERSION in CMakeLists.txt" >&2
	exit 1
fi
for exe in build/win32/vkm310_cleanup.exe build/win64/vkm310_cleanup.exe \
    build/static/vkm310_cleanup; do
	if [ ! -f "$exe" ]; then
		echo "dist: $exe is missing; run make build first" >&2
		exit 1
	fi
done

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
stamp=$(date -u -d "@$epoch" +%Y%m%d%H%M.%S)
name=vkm310_cleanup-$version
stage=build/dist/$name
zipfile=$PWD/build/dist/$name.zip

rm -rf "$stage" "$zipfile"
mkdir -p "$stage/win32" "$stage/win64" "$stage/linux-x86_64"
cp build/win32/vkm310_cleanup.exe "$stage/win32/"
cp build/win64/vkm310_cleanup.exe "$stage/win64/"
cp build/static/vkm310_cleanup "$stage/linux-x86_64/"
sed 's/\r*$/\r/' README.md > "$stage/README.txt"
sed 's/\r*$/\r/' LICENSE > "$stage/LICENSE.txt"
chmod 755 "$stage"/win32/vkm310_cleanup.exe "$stage"/win64/vkm310_cleanup.exe \
    "$stage"/linux-x86_64/vkm310_cleanup
chmod 644 "$stage"/README.txt "$stage"/LICENSE.txt
find "$stage" -exec touch -h -t "$stamp" {} +

# The zip's times are local times: UTC makes them the same everywhere.
(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort |
	TZ=UTC zip -X -D -q "$zipfile" -@)
rm -rf "$stage"
echo "dist: build/dist/$name.zip"
(cd build/dist && sha256sum "$name.zip")
