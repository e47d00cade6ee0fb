# vkm310_cleanup: build, demo, tests and release.
#   make demo   set up, build, and dry-run the tool on the bundled demo system
#   make test   set up, build, and run every test: unit tests (plain and
#               sanitized), end to end natively and under Wine, fuzzers
#   make bench  the benchmark of bench/ (not part of the tests)
#   make dist   the release zip with both Windows executables

PRESETS := native asan win32 win64
PYTHON := /usr/bin/python3
DEMO_DIR := build/demo
FUZZ_SECONDS ?= 60

.PHONY: all setup build demo test unit e2e asan-e2e fuzz bench dist clean

all: build

setup:
	sh scripts/setup.sh

build: setup
	@for p in $(PRESETS); do \
		cmake --preset $$p >/dev/null && cmake --build --preset $$p -j2 || exit 1; \
	done

demo: build
	$(PYTHON) tools/make_demo_system.py $(DEMO_DIR)
	SystemRoot=$(CURDIR)/$(DEMO_DIR)/Windows ./build/native/vkm310_cleanup

unit:
	ctest --test-dir build/native --output-on-failure -j2
	ctest --test-dir build/asan --output-on-failure -j2

# The sanitized build runs the native end-to-end tests too.
asan-e2e:
	cd tests/e2e && VKM_NATIVE_BUILD=$(CURDIR)/build/asan VKM_E2E_TARGETS=native \
		$(PYTHON) -m pytest -q -p no:cacheprovider

fuzz: setup
	cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2
	sh fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# Ends with one line per target: whether it ran, or why not (a kernel
# without IA-32 emulation runs no 32-bit Wine).
E2E_REPORT := $(CURDIR)/build/e2e-targets.txt

e2e:
	rm -f $(E2E_REPORT)
	cd tests/e2e && VKM_E2E_REPORT=$(E2E_REPORT) $(PYTHON) -m pytest -q -p no:cacheprovider -rs
	@cat $(E2E_REPORT)

test: build
	$(MAKE) --no-print-directory unit
	$(MAKE) --no-print-directory fuzz
	$(MAKE) --no-print-directory asan-e2e
	$(MAKE) --no-print-directory e2e

bench: build
	$(PYTHON) bench/run_bench.py

dist: build
	sh scripts/dist.sh

clean:
	rm -rf build
