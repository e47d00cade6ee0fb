#!/bin/sh
# fuzz/run.sh BUILD_DIR SECONDS
#
# Runs each libFuzzer target of BUILD_DIR (the fuzz preset's tree) for
# SECONDS seconds on a scratch copy of its seeds, so the committed corpus
# never grows.  Prints one line per target; on a crash, hang, leak or
# memory blow-up prints the end of the log and the input that did it
# (kept under BUILD_DIR/fuzz-artifacts/TARGET/) and exits 1.
set -eu

if [ $# -ne 2 ]; then
	echo "usage: $0 BUILD_DIR SECONDS" >&2
	exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
src=$(cd "$(dirname "$0")" && pwd)
bin=$build/fuzz
artifacts=$build/fuzz-artifacts
targets="fuzz_inf fuzz_keypath fuzz_keyseq fuzz_hive fuzz_hive_names
fuzz_hive_log"

# Scratch space in memory where there is some: the hive target writes
# two hives for every input.
base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
	base=/dev/shm
fi
work=$(mktemp -d "$base/vkm-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Seeds of the hive target: small hives shaped like the keys the scans
# read, two of them dirty, and one holding its root key alone; mkhive's
# empty hive filled through python hivex (tests/vkmtest/winsys.py).
hive_seeds() {
	PYTHONPATH=$src/../tests /usr/bin/python3 - "$1" "$bin/mkhive" \
	    <<'EOF' || return 1
import sys
from vkmtest.winsys import fill_hive

out, mkhive = sys.argv[1:]
u = r"Microsoft\Windows\CurrentVersion\Uninstall\{6E1B7F0A-VKM310}"
o = r"Microsoft\Windows\CurrentVersion\Uninstall\Other"
d = r"Microsoft\Windows\CurrentVersion\DIFx\DriverStore\vkm310_1A2B"
software = {
    u: {"DisplayName": "VKM310 Smart Card Reader",
        "InfPath": ("expand", r"%SystemRoot%\inf\oem3.inf"), "NoModify": 1},
    o: {"DisplayName": "Other Product", "InfPath": ("nonul", "no terminator")},
    d: {"Services": "vkm310", "Files": ("multi", ["vkm310.sys", "vkm310.inf"])},
    d + r"\Sub\Leaf": {"Blob": ("binary", b"\x00\x01\x02\xff")},
    "Vendor": {"": "default value"},
    "Vendor\\\u00c4rger": {"DisplayName": "Latin-1 folding"},
    r"Vendor\Pair\A": {}, r"Vendor\Pair\B": {},
}
software.update({r"Vendor\Many\Key%d" % k: {} for k in range(10)})
c = r"ControlSet001\Control\Class\{50DD5230-BA8A-11D1-BF5D-0000F805F530}"
s = r"ControlSet001\Services"
system = {
    "Select": {"Current": 1},
    c + r"\0000": {"InfSection": "VKM310.Install"},
    s + r"\vkm310": {"ImagePath": ("expand", r"system32\DRIVERS\vkm310.sys")},
    s + r"\Other": {},
}
for name, keys in (("software", software), ("system", system)):
    tree = {}
    for path, values in keys.items():
        parts = tuple(path.split("\\"))
        for i in range(1, len(parts)):
            tree.setdefault(parts[:i], {})
        tree.setdefault(parts, {}).update(values)
    fill_hive(out + "/" + name, tree, mkhive)
EOF
	# The last byte picks the key to delete; with its top bit set it is
	# a key whose subkeys are all leaves (the first, here Uninstall).
	cp "$1/software" "$1/tree"
	last=$(($(wc -c <"$1/tree") - 1))
	printf '\200' | dd of="$1/tree" bs=1 seek="$last" conv=notrunc \
	    2>/dev/null || return 1
	cp "$1/software" "$1/dirty"
	cp "$1/tree" "$1/dirty_tree"
	"$bin/mkhive" --dirty "$1/dirty" || return 1
	"$bin/mkhive" --dirty "$1/dirty_tree" || return 1
	"$bin/mkhive" "$1/empty" || return 1
}

# Seeds of the log target: a dirty hive followed by the log, in either
# format, that brings it a service key and a new bin.
log_seeds() {
	PYTHONPATH=$src/../tests /usr/bin/python3 - "$1" "$bin/mkhive" \
	    <<'EOF' || return 1
import os, sys
from vkmtest.winsys import fill_hive, log_hive

out, mkhive = sys.argv[1:]
for fmt, log in (("new", "LOG1"), ("old", "LOG")):
    hive = "%s/%s.hive" % (out, fmt)
    fill_hive(hive, {("Select",): {"Current": 1}}, mkhive)
    log_hive(hive, {("ControlSet001", "Services", "vkm310"): {
        "ImagePath": "vkm310.sys", "Blob": ("binary", b"b" * 5000)}},
        fmt, (log,), mkhive)
    with open("%s/%s" % (out, fmt), "wb") as f:
        for p in (hive, hive + "." + log):
            with open(p, "rb") as part:
                f.write(part.read())
            os.unlink(p)
EOF
}

# The structures a hive is made of, for the mutator to insert.
hive_dict() {
	for word in regf hbin nk vk sk lf lh li ri db; do
		printf '"%s"\n' "$word"
	done
	printf '"\\xff\\xff\\xff\\xff"\n"\\x00\\x00\\x00\\x00"\n'
	printf '"DIRT"\n"HvLE"\n'
}

# The last coverage line and the final statistics of a log.
summary() {
	awk -v t="$1" -v s="$seconds" '
	/ cov: / {
		for (i = 1; i < NF; i++) {
			if ($i == "cov:") cov = $(i + 1)
			if ($i == "ft:") ft = $(i + 1)
			if ($i == "corp:") corp = $(i + 1)
		}
	}
	/^stat::number_of_executed_units:/ { runs = $2 }
	/^stat::average_exec_per_sec:/ { rate = $2 }
	/^stat::peak_rss_mb:/ { rss = $2 }
	END {
		printf "%s: %s s, %s runs, %s exec/s, cov %s, ft %s, " \
		    "corpus %s, peak rss %s MB\n", t, s, runs, rate, cov, ft,
		    corp, rss
	}' "$2"
}

status=0
for t in $targets; do
	if [ ! -x "$bin/$t" ]; then
		echo "$t: FAILED: $bin/$t not built" >&2
		status=1
		continue
	fi
	corpus=$work/corpus/$t
	mkdir -p "$corpus"
	rm -rf "${artifacts:?}/$t"
	mkdir -p "$artifacts/$t"
	extra=
	case $t in
	fuzz_hive) seeds=hive_seeds ;;
	fuzz_hive_log) seeds=log_seeds ;;
	*) seeds= ;;
	esac
	if [ -n "$seeds" ]; then
		if ! $seeds "$corpus"; then
			echo "$t: FAILED: the seeds could not be made" >&2
			status=1
			continue
		fi
		hive_dict >"$work/hive.dict"
		extra=-dict=$work/hive.dict
	else
		cp "$src/corpus/$t/"* "$corpus/"
	fi
	log=$artifacts/$t/fuzz.log
	# shellcheck disable=SC2086
	if TMPDIR=$work UBSAN_OPTIONS=print_stacktrace=1 "$bin/$t" \
	    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix="$artifacts/$t/" \
	    $extra "$corpus" >"$log" 2>&1; then
		summary "$t" "$log"
	else
		echo "$t: FAILED (exit $?); end of $log:" >&2
		tail -n 40 "$log" >&2
		for a in "$artifacts/$t"/*; do
			[ "$a" = "$log" ] || echo "$t: input: $a" >&2
		done
		status=1
	fi
done
exit $status
