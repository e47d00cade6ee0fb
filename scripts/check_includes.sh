#!/bin/sh
# Include closures, with the flags of the win32 build and of the native
# build:
# - every scans/inf source: no header of src/run, no Windows header, no
#   private registry header;
# - every source and header below run control (src/scans, src/ask,
#   src/inf, src/backup, src/registry, src/platform, src/common): no
#   header of a layer above its own.  The layers, top down: run > scans >
#   ask, backup, inf > registry > platform > common.

root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
bad=0
WIN="i686-w64-mingw32-g++ -Isrc -Isrc/registry/win -Ibuild/win32/generated
    -DWIN32_LEAN_AND_MEAN -DWINVER=0x0501 -D_WIN32_WINNT=0x0501"
NATIVE="g++ -Isrc -Isrc/registry/unix -Ibuild/native/generated
    $(pkg-config --cflags hivex)"

# The project files FILE includes, directly or not, one a line.
closure() {	# file, compiler and flags...
	f=$1; shift
	"$@" -std=c++17 -x c++ -M "$f" | tr ' \\' '\n\n' | grep -E \
	    '(^|/)(src/|generated/)' | sort -u
}

check_logic() {	# compiler and flags...
	for f in src/scans/*.cpp src/inf/*.cpp; do
		deps=$(closure "$f" "$@") || { bad=1; continue; }
		hits=$(printf '%s\n' "$deps" | grep -E \
		    '/src/run/|^src/run/|windows\.h|reg_sys\.h|reg_internal\.h')
		if [ -n "$hits" ]; then
			echo "$1 $f:"; echo "$hits" | sed 's/^/    /'; bad=1
		fi
	done
}

# The layer of a path under src (or the generated build header: run's).
layer() {
	case $1 in
	*generated/*|*src/run/*) echo 5 ;;
	*src/scans/*) echo 4 ;;
	*src/ask/*|*src/backup/*|*src/inf/*) echo 3 ;;
	*src/registry/*) echo 2 ;;
	*src/platform/*) echo 1 ;;
	*src/common/*) echo 0 ;;
	*) echo -1 ;;
	esac
}

check_layers() {	# which files (win, unix, both), compiler and flags...
	which=$1; shift
	files=$(find src/scans src/ask src/inf src/backup src/registry src/platform src/common \
	    -name '*.cpp' -o -name '*.h' | sort)
	for f in $files; do
		case $f in
		*/win/*) [ "$which" = win ] || continue ;;
		*/unix/*) [ "$which" = unix ] || continue ;;
		esac
		own=$(layer "$f")
		deps=$(closure "$f" "$@") || { bad=1; continue; }
		for d in $deps; do
			if [ "$(layer "$d")" -gt "$own" ]; then
				echo "$f includes $d, a layer above it"; bad=1
			fi
		done
	done
}

# shellcheck disable=SC2086
check_logic $WIN
# shellcheck disable=SC2086
check_logic $NATIVE
# shellcheck disable=SC2086
check_layers win $WIN
# shellcheck disable=SC2086
check_layers unix $NATIVE
[ $bad -eq 0 ] && echo "include closure clean: $(ls src/scans/*.cpp src/inf/*.cpp | wc -l) scans/inf files, $(find src/scans src/ask src/inf src/backup src/registry src/platform src/common -name '*.cpp' -o -name '*.h' | wc -l) files below run control, win32 and native flags"
exit $bad
