"""Both .exe files start and print their usage under Wine set to Windows
XP, 7 and 10 (Wine's per-prefix Version value; a 64-bit XP is "winxp64")."""

import re

import pytest

from vkmtest import harness
from vkmtest.texts import CLEAN, USAGE, banner

# Version value per target, and the major.minor that `ver` must then show.
VERSIONS = {
    "xp": {"win32": ("winxp", "5.1"), "win64": ("winxp64", "5.2")},
    "7": {"win32": ("win7", "6.1"), "win64": ("win7", "6.1")},
    "10": {"win32": ("win10", "10.0"), "win64": ("win10", "10.0")},
}


@pytest.mark.targets("win32", "win64")
@pytest.mark.parametrize("windows", sorted(VERSIONS))
def test_starts_on_windows_version(target, system, windows):
    value, number = VERSIONS[windows][target]
    system.wine("reg", "add", r"HKCU\Software\Wine", "/v", "Version",
                "/d", value, "/f")
    ver = system.wine("cmd", "/c", "ver").stdout.decode("latin-1")
    assert re.search(r"Microsoft Windows (\d+\.\d+)\.", ver).group(1) == number
    text, raw, status = harness.run_tool(target, ["-h"], env=system.env)
    assert (text, status) == (banner(target) + USAGE, 0)
    # A dry run walks every scan: registry, INF and driver folders.
    text, raw, status = harness.run_tool(target, [], env=system.env)
    assert (text, status) == (banner(target) + "\n" + CLEAN, 0)


WRONG_BITNESS = ("This 32-bit program cannot check 64-bit Windows: "
                 "run win64\\vkm310_cleanup.exe instead\n")


@pytest.mark.targets("win64")
@pytest.mark.parametrize("args, tail", [
    ([], WRONG_BITNESS),
    (["-f"], WRONG_BITNESS),
    (["-h"], USAGE),
])
def test_32bit_exe_on_64bit_windows_stops(target, system, args, tail):
    """The 32-bit .exe in a 64-bit prefix would see SysWOW64 and the 32-bit
    registry view only: it names the 64-bit .exe and scans nothing."""
    reason = harness.skip_reason("win32")
    if reason:
        pytest.skip("win32: " + reason)
    system.plant(r"system32\drivers\vkm310.sys")
    exe32 = harness.program_path("win32")
    text, raw, status = harness.run_tool(target, args, env=system.env,
                                         program=[exe32])
    assert (text, status) == (banner("win32") + tail, 0)
    assert system.exists(r"system32\drivers\vkm310.sys")
