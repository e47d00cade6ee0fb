"""Both .exe files start and print their usage under Wine set to Windows
XP, 7 and 10 (Wine's per-prefix Version value; a 64-bit XP is "winxp64")."""

import re

import pytest

from vkmtest import harness
from vkmtest.texts import (CHOICES, CLEAN, Q_OEM, SOFT, USAGE, banner,
                           fixed_all, found_dry, question)

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


WOW = r"HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion"
DRV = r"system32\drivers"
# One item of each place the 32-bit view would hide, in the order a run
# reports them.
WOW64_ITEMS = [
    "Found 'vkm310.sys' in file oem3.inf\n",
    "Found 'vkm310' in\n\tDRVSTORE\\vkm310_1\n",
    "Found 'VKM310' in\n\tUNINSTALL\\{A-64}\n(VKM310 x64)\n",
    "Found 'VKM310' in\n\tUNINSTALL\\{B-32}\n(VKM310 x86)\n",
    "Found 'rdx7pcsc_root' in service rdx7\n(System32\\drivers\\rdx7pcsc_root.sys)\n",
    "Found file 'vkm310.sys'\n(C:\\windows\\system32\\drivers\\vkm310.sys)\n",
]


@pytest.mark.targets("win64")
def test_32bit_exe_on_64bit_windows_works_as_the_64bit_one(target, system):
    """The 32-bit .exe in a 64-bit prefix turns file-system redirection
    off and opens every key in the 64-bit view: its transcript is the
    64-bit .exe's, and it removes the items from the real system32 and
    the 64-bit registry, leaving what SysWOW64 holds alone."""
    reason = harness.skip_reason("win32")
    if reason:
        pytest.skip("win32: " + reason)
    system.plant(r"inf\oem3.inf", b"[SourceDisksFiles]\r\nvkm310.sys = 1\r\n")
    system.plant(DRV + r"\vkm310.sys")
    system.plant(r"system32\DRVSTORE\vkm310_1\vkm310.sys")
    system.plant(r"syswow64\drivers\tarnwickreader.sys")
    keys = {
        SOFT + r"\DIFx\DriverStore\vkm310_1": {"Services": "vkm310"},
        SOFT + r"\Uninstall\{A-64}": {"DisplayName": "VKM310 x64"},
        WOW + r"\Uninstall\{B-32}": {"DisplayName": "VKM310 x86"},
        r"HKLM\SYSTEM\CurrentControlSet\Services\rdx7": {
            "ImagePath": r"System32\drivers\rdx7pcsc_root.sys"},
    }
    for key, values in keys.items():
        system.add_key(key, values)
    system.commit()
    exe32 = harness.program_path("win32")

    def run(program, args, keys=()):
        r = harness.run_tool(target, args, keys=keys, env=system.env,
                             cwd=system.workdir, program=program)
        return r.text, r.status

    n = len(WOW64_ITEMS)
    dry = "".join(WOW64_ITEMS) + found_dry(n)
    assert run(None, []) == (banner("win64") + dry, 0)
    assert run([exe32], []) == (banner("win32") + dry, 0)
    text, status = run([exe32], ["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert text == banner("win32") + WOW64_ITEMS[0] + question(Q_OEM, "a") + \
        "".join(WOW64_ITEMS[1:]) + fixed_all(n)
    for rel in (r"inf\oem3.inf", DRV + r"\vkm310.sys",
                r"system32\DRVSTORE\vkm310_1"):
        assert not system.exists(rel), rel
    for key in keys:
        assert not system.key_exists(key), key
    assert system.exists(r"syswow64\drivers\tarnwickreader.sys")
