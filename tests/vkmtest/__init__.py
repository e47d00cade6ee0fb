"""The test tooling of vkm310_cleanup: the targets and where their builds
are, defined once for the tests, the benchmark and the demo.

    harness  runs the program in a pseudo-terminal (or without one)
    texts    the program's own texts, as transcripts show them
    winsys   Windows systems (offline folder, Wine prefix) to plant in

pytest finds the package through tests/pytest.ini; scripts outside the
tests get PYTHONPATH=tests from the Makefile.
"""

import os

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TARGETS = ("native", "win32", "win64")
WINE_ARCH = {"win32": "win32", "win64": "win64"}

# Each bitness runs through its own loader, never through the `wine`,
# `wineboot` or `regedit` wrappers: they take the 32-bit loader whenever
# it is installed, and on a kernel without IA-32 emulation that loader
# cannot start, so not even a 64-bit prefix would boot.
WINE_LOADER = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}


def build_dir(target):
    """The build folder of TARGET; VKM_NATIVE_BUILD names another native
    one (the sanitizer build)."""
    if target == "native" and os.environ.get("VKM_NATIVE_BUILD"):
        return os.path.abspath(os.environ["VKM_NATIVE_BUILD"])
    return os.path.join(ROOT, "build", target)


def program_path(target):
    """The built program of TARGET, an absolute Linux path."""
    if target == "native":
        return os.path.join(build_dir(target), "vkm310_cleanup")
    if target in WINE_ARCH:
        return os.path.join(build_dir(target), "vkm310_cleanup.exe")
    raise ValueError("unknown target %r (one of %s)" % (target, ", ".join(TARGETS)))
