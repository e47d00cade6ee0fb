# vkm310_cleanup: build, demo, tests and release.
#   make demo   set up, build, and dry-run the tool on the bundled demo system
#   make test   set up, build, and run every test (unit, native and Wine end to end)
#   make dist   the release zip with both Windows executables

PRESETS := native win32 win64
PYTHON := /usr/bin/python3
DEMO_DIR := build/demo

.PHONY: all setup build demo test unit e2e dist clean

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

e2e:
	cd tests/e2e && $(PYTHON) -m pytest -q -p no:cacheprovider

test: build
	$(MAKE) --no-print-directory unit
	$(MAKE) --no-print-directory e2e

clean:
	rm -rf build
