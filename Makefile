# vkm310_cleanup: build, demo, tests and release.
#   make demo   set up, build, and dry-run the tool on the bundled demo system
#   make test   set up, build, and run every test: the layers' includes,
#               unit tests (plain and sanitized), end to end natively, on
#               the static file and under Wine, fuzzers
#   make bench  the benchmark of bench/ (not part of the tests)
#   make dist   the release zip with both Windows executables and the
#               static Linux one

PRESETS := native asan win32 win64 static
PYTHON := /usr/bin/python3
DEMO_DIR := build/demo
FUZZ_SECONDS ?= 60

.PHONY: all setup build demo test unit e2e e2e-native e2e-static sanitized wine fuzz bench dist clean

all: build

setup:
	sh scripts/setup.sh

build: setup
	@for p in $(PRESETS); do \
		cmake --preset $$p >/dev/null && cmake --build --preset $$p -j2 || exit 1; \
	done

# The demo needs the native program and mkhive, which makes its hives.
demo: setup
	cmake --preset native >/dev/null && cmake --build --preset native -j2 \
		--target vkm310_cleanup mkhive
	PYTHONPATH=tests $(PYTHON) tools/make_demo_system.py $(DEMO_DIR)
	SystemRoot=$(CURDIR)/$(DEMO_DIR)/Windows ./build/native/vkm310_cleanup

# The tests are registered in CTest (tests/unit, tests/e2e) with labels:
# unit, native, sanitized, wine, static, slow.  `make test` runs them fast
# to slow.
CTEST := ctest --output-on-failure

unit:
	$(CTEST) --test-dir build/native -L unit -j2

e2e-native:
	$(CTEST) --test-dir build/native -L native

# The static file (build/static): the native suite again, and the file
# alone in an empty root.
e2e-static:
	$(CTEST) --test-dir build/static

# The sanitized build: its unit tests and the native end-to-end tests, side
# by side (the fault sweep alone takes minutes there).
sanitized:
	$(CTEST) --test-dir build/asan -j2

# The two .exe files and the registry probe, side by side.
wine:
	$(CTEST) --test-dir build/native -L wine -j2

fuzz: setup
	cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2
	sh fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# One line per target, whether it ran or why not (a kernel without IA-32
# emulation runs no 32-bit Wine), as each suite wrote it.
E2E_REPORT_DIR := $(CURDIR)/build/native/e2e-report
E2E_LINES := cat $(E2E_REPORT_DIR)/native.txt $(E2E_REPORT_DIR)/win32.txt \
	$(E2E_REPORT_DIR)/win64.txt

e2e:
	rm -rf $(E2E_REPORT_DIR)
	$(MAKE) --no-print-directory e2e-native
	$(MAKE) --no-print-directory e2e-static
	$(MAKE) --no-print-directory wine
	@$(E2E_LINES)

test: build
	rm -rf $(E2E_REPORT_DIR)
	sh scripts/check_includes.sh
	$(MAKE) --no-print-directory unit
	$(MAKE) --no-print-directory e2e-native
	$(MAKE) --no-print-directory e2e-static
	$(MAKE) --no-print-directory sanitized
	$(MAKE) --no-print-directory wine
	@$(E2E_LINES)
	$(MAKE) --no-print-directory fuzz
	@echo; $(E2E_LINES)

bench: build
	PYTHONPATH=tests $(PYTHON) bench/run_bench.py

# A release is built at the time of its last commit (SOURCE_DATE_EPOCH:
# the banner's date, the .exe files' link time, the zip's entries), so
# the same tree gives the same zip on any day.
dist: export SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null || echo 0)
dist: build
	sh scripts/dist.sh

clean:
	rm -rf build
