"""Both .exe files start and print their usage under Wine set to Windows
XP, 7 and 10 (Wine's per-prefix Version value; a 64-bit XP is "winxp64")."""

import re

import pytest

import harness
from texts import CLEAN, USAGE, banner

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
