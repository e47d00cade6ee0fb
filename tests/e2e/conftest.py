"""Fixtures of the end-to-end tests.

Every test that takes `target` runs against the native build on an offline
Windows folder and against both .exe files under Wine, each in a fresh copy
of a Wine prefix of its own bitness (a 32-bit process in a 64-bit prefix
would see system32 redirected).  VKM_E2E_TARGETS=native,win32 narrows the
set for a quick run.

A 32-bit target is skipped, with the reason, where the kernel runs no
32-bit x86 programs (VKM_PRETEND_NO_IA32=1 pretends so).  At the end each
target gets one line saying whether it ran; VKM_E2E_REPORT names a file
that receives the same lines.
"""

import os
import shutil
import subprocess

import pytest

from vkmtest import TARGETS as ALL_TARGETS, harness
from vkmtest.winsys import Offline, WinePrefix

REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")


def selected_targets(wanted):
    only = os.environ.get("VKM_E2E_TARGETS")
    if only:
        keep = only.split(",")
        return [t for t in wanted if t in keep]
    return list(wanted)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "targets(*names): run only on these targets")


def pytest_collection_modifyitems(config, items):
    # Tests of no target (the harness's own) go with the native suite, so
    # that suites run one per target do not repeat them; a test none of
    # whose targets is selected is left out, not skipped.
    native = "native" in selected_targets(ALL_TARGETS)

    def keep(item):
        if "target" in item.fixturenames:
            return item_target(item) in ALL_TARGETS
        return native

    drop = [item for item in items if not keep(item)]
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = [item for item in items if keep(item)]
    for item in items:
        target = item_target(item)
        reason = harness.skip_reason(target) if target else None
        if reason:
            item.add_marker(pytest.mark.skip(reason="%s: %s" % (target, reason)))


def item_target(item):
    callspec = getattr(item, "callspec", None)
    return callspec.params.get("target") if callspec else None


_outcomes = {}          # target -> {"passed": n, "failed": n, "skipped": n}
_targets_of = {}        # nodeid -> target


def pytest_itemcollected(item):
    target = item_target(item)
    if target:
        _targets_of[item.nodeid] = target


def pytest_runtest_logreport(report):
    target = _targets_of.get(report.nodeid)
    if target is None:
        return
    if report.when == "call" or report.outcome != "passed":
        counts = _outcomes.setdefault(target, {})
        counts[report.outcome] = counts.get(report.outcome, 0) + 1


def target_lines():
    """One line per selected target: whether it ran, or why not."""
    lines = []
    for target in selected_targets(ALL_TARGETS):
        counts = _outcomes.get(target, {})
        ran = counts.get("passed", 0) + counts.get("failed", 0)
        reason = harness.skip_reason(target)
        if ran:
            lines.append("%s: ran (%s)" % (target, ", ".join(
                "%d %s" % (counts[k], k) for k in ("passed", "failed", "skipped")
                if counts.get(k))))
        elif reason:
            lines.append("%s: not run: %s" % (target, reason))
        elif counts.get("skipped"):
            lines.append("%s: not run: %d skipped" % (target, counts["skipped"]))
        else:
            lines.append("%s: not run: no test selected" % target)
    return lines


def pytest_terminal_summary(terminalreporter):
    if not _targets_of:
        return
    lines = target_lines()
    terminalreporter.write_sep("-", "targets")
    for line in lines:
        terminalreporter.write_line(line)
    report = os.environ.get("VKM_E2E_REPORT")
    if report:
        os.makedirs(os.path.dirname(os.path.abspath(report)), exist_ok=True)
        with open(report, "w") as f:
            f.write("".join("end to end, " + line + "\n" for line in lines))


def pytest_generate_tests(metafunc):
    if "target" in metafunc.fixturenames:
        marker = metafunc.definition.get_closest_marker("targets")
        wanted = marker.args if marker else ALL_TARGETS
        metafunc.parametrize("target", selected_targets(wanted))


@pytest.fixture(scope="session")
def pristine_prefix(tmp_path_factory):
    """One booted Wine prefix per bitness, made on first use."""
    made = {}

    def get(arch):
        if arch not in made:
            path = str(tmp_path_factory.mktemp("wine-" + arch) / "prefix")
            made[arch] = (path, harness.make_wine_prefix(path, arch))
        return made[arch]

    yield get
    for path, env in made.values():
        harness.stop_wineserver(env)


def clone_prefix(src, dst):
    """A copy of a booted prefix in a fraction of a second: files are hard
    links, except the registry files, which Wine rewrites in place."""
    subprocess.run(["cp", "-al", src, dst], check=True)
    for name in REGISTRY_FILES:
        p = os.path.join(dst, name)
        if os.path.exists(p):
            os.unlink(p)
            shutil.copy2(os.path.join(src, name), p)


@pytest.fixture
def system(target, tmp_path, pristine_prefix):
    if target == "native":
        s = Offline(str(tmp_path / "offline"))
        s.commit()
        yield s
        s.release()
        return
    src, env = pristine_prefix(target)
    dst = str(tmp_path / "prefix")
    clone_prefix(src, dst)
    env = dict(env, WINEPREFIX=dst)
    s = WinePrefix(dst, env)
    yield s
    harness.stop_wineserver(env)
    s.release()


@pytest.fixture
def run(target, system):
    """Runs the tool on SYSTEM: run(args, keys) -> (text, exit status)."""

    def go(args=(), keys=(), env=None):
        full_env = dict(system.env)
        full_env.update(env or {})
        result = harness.run_tool(target, list(args), keys=keys,
                                  env=full_env, cwd=system.workdir)
        if result.backup is not None:
            system.backups.append(system.host_path(result.backup))
        return result.text, result.status

    return go
