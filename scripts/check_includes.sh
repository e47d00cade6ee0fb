#!/bin/sh
# Include closure of every scans/inf source, with the flags of the win32
# build and of the native build: no header of src/run, no Windows header,
# no private registry header may be in it.

root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
bad=0
check() {	# compiler, flags...
	cc=$1; shift
	for f in src/scans/*.cpp src/inf/*.cpp; do
		deps=$("$cc" -std=c++17 "$@" -M "$f") || { bad=1; continue; }
		hits=$(printf '%s\n' "$deps" | tr ' \\' '\n\n' | grep -E \
		    '/src/run/|^src/run/|windows\.h|reg_sys\.h|reg_internal\.h' | sort -u)
		if [ -n "$hits" ]; then
			echo "$cc $f:"; echo "$hits" | sed 's/^/    /'; bad=1
		fi
	done
}
check i686-w64-mingw32-g++ -Isrc -Isrc/registry/win -Ibuild/win32/generated \
    -DWIN32_LEAN_AND_MEAN -DWINVER=0x0501 -D_WIN32_WINNT=0x0501
check g++ -Isrc -Isrc/registry/unix -Ibuild/native/generated \
    $(pkg-config --cflags hivex)
[ $bad -eq 0 ] && echo "include closure clean: $(ls src/scans/*.cpp src/inf/*.cpp | wc -l) files, win32 and native flags"
exit $bad
