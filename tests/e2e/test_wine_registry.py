"""The key-path layer against Wine's registry: regprobe.exe (tests/wine)
seeds its own keys, runs its case table through the calls the scans make
(its own rows of the user's and the classes' roots, then those of
tests/common/reg_cases.h, which the offline hives answer in
tests/unit/test_hive.cpp), then its check of the permissions a backup
folder is made with, and prints one line per case."""

import os

import pytest

from vkmtest import harness
from vkmtest.texts import build_dir

CASES = 77
# The backup folder's permissions.
ACL_CASES = 1


@pytest.mark.targets("win32", "win64")
def test_registry_probe(target, system):
    probe = os.path.join(build_dir(target), "tests", "wine", "regprobe.exe")
    text, raw, status = harness.run_tool(target, [], env=system.env,
                                         program=[probe], timeout=120)
    lines = text.splitlines()
    assert [l for l in lines if not l.startswith("ok ")] == \
        ["%d passed, 0 failed" % (CASES + ACL_CASES)], text
    assert len(lines) == CASES + ACL_CASES + 1
    assert status == 0
    # The probe leaves no scratch key behind.
    for key in (r"HKLM\SOFTWARE\VkmProbe", r"HKCU\Software\VkmProbe",
                r"HKCU\0VkmProbe"):
        assert system.wine("reg", "query", key, check=False).returncode != 0
