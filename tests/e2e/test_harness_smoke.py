"""The harness itself: keys go in only when their prompt has appeared, a
lone Escape stays alone, exit status and exact bytes come back, and a run
without a terminal has none.  A small Python stand-in plays the program
for that; the tool's help and disclaimer then prove each target."""

import os
import subprocess
import sys
import textwrap
import time

import pytest
from vkmtest.winsys import Offline

from vkmtest import harness
from vkmtest.texts import DISCLAIMER, DISCLAIMER_QUESTION, USAGE, banner

# Reads keys from /dev/tty in raw mode.  argv: mode, prompt count.
#   flush: throws typed-ahead keys away before each prompt, so a key sent
#          before its prompt was shown is lost and the run stalls.
#   keep:  keeps them; Escape is a key alone unless more bytes follow it
#          within 50 ms, as the native key reader decides.
STAND_IN = textwrap.dedent(r'''
    import os, select, sys, termios, time, tty
    mode, count = sys.argv[1], int(sys.argv[2])
    fd = os.open("/dev/tty", os.O_RDWR)
    saved = termios.tcgetattr(fd)
    tty.setraw(fd)
    try:
        for _ in range(count):
            if mode == "flush":
                # Long enough for a key sent too early to be there.
                time.sleep(0.3)
                termios.tcflush(fd, termios.TCIFLUSH)
            sys.stdout.write("Q? ")
            sys.stdout.flush()
            key = os.read(fd, 1)
            while key[:1] == b"\x1b" and select.select([fd], [], [], 0.05)[0]:
                key += os.read(fd, 1)
            sys.stdout.write(key.hex() + "\n")
            sys.stdout.flush()
    finally:
        termios.tcsetattr(fd, termios.TCSANOW, saved)
''')

# Reports whether it has a terminal and leads a session of its own, in
# mixed line ends, and exits 7.
TTY_CHECK = textwrap.dedent(r'''
    import os, sys
    try:
        os.close(os.open("/dev/tty", os.O_RDWR))
        tty = b"yes"
    except OSError:
        tty = b"no"
    data = sys.stdin.buffer.read() if not sys.stdin.isatty() else b"tty"
    own = b"own" if os.getsid(0) == os.getpid() else b"inherited"
    sys.stdout.buffer.write(b"tty: " + tty + b"\r\nstdin: " + data +
                            b"\nsession: " + own + b"\n")
    sys.stdout.flush()
    sys.exit(7)
''')

# Writes its pid, then waits for a key that the harness never sends.
HANG = textwrap.dedent(r'''
    import os, sys, time
    with open(sys.argv[1], "w") as f:
        f.write(str(os.getpid()))
    print("started", flush=True)
    time.sleep(120)
''')


def stand_in(tmp_path, source):
    path = tmp_path / "stand_in.py"
    path.write_text(source)
    return [sys.executable, str(path)]


@pytest.mark.parametrize("mode, keys, expected", [
    ("flush", [("Q? ", b"a"), ("Q? ", b"b"), ("Q? ", b"c")],
     "Q? 61\nQ? 62\nQ? 63\n"),
    ("flush", [("Q? ", b"\x1b[A"), ("Q? ", b"\x1b"), ("Q? ", b"y")],
     "Q? 1b5b41\nQ? 1b\nQ? 79\n"),
    ("keep", [("Q? ", b"\x1b"), (None, b"x"), (None, b"\x1b"), (None, b"[B")],
     "Q? 1b\nQ? 78\nQ? 1b\nQ? 5b\nQ? 42\n"),
    ("keep", [("Q? ", b"n"), (None, b"\x1bOP")],
     "Q? 6e\nQ? 1b4f50\n"),
], ids=["nth-appearance", "sequences", "lone-escape-kept-apart", "typed-ahead"])
def test_keys_reach_their_prompt(tmp_path, mode, keys, expected):
    count = len(keys) if mode == "flush" else expected.count("Q? ")
    text, raw, status = harness.run_tool(
        "native", [mode, count], keys=keys, timeout=20,
        program=stand_in(tmp_path, STAND_IN))
    assert text == expected
    assert status == 0


def test_status_bytes_and_terminal_are_returned(tmp_path):
    prog = stand_in(tmp_path, TTY_CHECK)
    text, raw, status = harness.run_tool("native", [], program=prog, timeout=20)
    assert raw.startswith(b"tty: yes\r\nstdin: tty\nsession: ")
    assert text.startswith("tty: yes\nstdin: tty\nsession: ")
    assert status == 7


def test_run_without_terminal_has_none(tmp_path):
    prog = stand_in(tmp_path, TTY_CHECK)
    result = harness.run_no_tty("native", [], program=prog, timeout=20)
    text, status = result
    # A session of its own: no terminal of the caller's can be reached,
    # even when the tests run in one.
    assert text == "tty: no\nstdin: \nsession: own\n"
    assert result.raw == b"tty: no\r\nstdin: \nsession: own\n"
    assert status == 7


@pytest.mark.parametrize("keys, message", [
    ([("never shown", b"y")], "timed out waiting for 'never shown'"),
    ([("started\n", b"y"), ("started\n", b"y")], "appear 2 time(s)"),
])
def test_missing_prompt_raises_and_kills(tmp_path, keys, message):
    pidfile = tmp_path / "pid"
    prog = stand_in(tmp_path, HANG) + [str(pidfile)]
    with pytest.raises(harness.HarnessError) as err:
        harness.run_tool("native", [], keys=keys, timeout=3, program=prog)
    assert message in str(err.value)
    assert err.value.output.startswith("started\n")
    pid = int(pidfile.read_text())
    for _ in range(50):
        if not os.path.exists("/proc/%d" % pid) or \
                open("/proc/%d/stat" % pid).read().split()[2] == "Z":
            break
        time.sleep(0.1)
    else:
        pytest.fail("the stand-in %d outlived its run" % pid)


def test_program_that_ends_early_is_reported(tmp_path):
    prog = stand_in(tmp_path, TTY_CHECK)
    with pytest.raises(harness.HarnessError) as err:
        harness.run_tool("native", [], keys=[("Q? ", b"y")], program=prog,
                         timeout=20)
    assert "program ended before 'Q? '" in str(err.value)


def fake_prefix(tmp_path, arch):
    path = tmp_path / ("prefix-" + arch)
    path.mkdir()
    (path / "system.reg").write_text(
        "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n"
        "\n#arch=%s\n" % arch)
    return str(path)


@pytest.mark.parametrize("wine_target, prefix, env_arch", [
    ("win64", "win32", None),
    ("win32", "win64", None),
    ("win64", "win64", "win32"),
])
def test_wrong_bitness_is_refused(tmp_path, wine_target, prefix, env_arch):
    env = {"WINEPREFIX": fake_prefix(tmp_path, prefix)}
    if env_arch:
        env["WINEARCH"] = env_arch
    with pytest.raises(harness.HarnessError, match="needs a %s prefix" % wine_target):
        harness.run_tool(wine_target, ["-h"], env=env, timeout=5)
    with pytest.raises(harness.HarnessError, match="needs a %s prefix" % wine_target):
        harness.run_no_tty(wine_target, ["-h"], env=env, timeout=5)


@pytest.mark.parametrize("have, want", [("win32", "win64"), ("win64", "win32")])
def test_existing_prefix_of_other_bitness_is_refused(tmp_path, have, want):
    path = fake_prefix(tmp_path, have)
    assert harness.make_wine_prefix(path, have)["WINEARCH"] == have
    with pytest.raises(harness.HarnessError, match="is %s, not %s" % (have, want)):
        harness.make_wine_prefix(path, want)


@pytest.fixture
def tool_env(target, pristine_prefix, tmp_path):
    """Help and the declined disclaimer touch no system: the pristine
    prefix serves as it is, natively an empty Windows folder."""
    if target == "native":
        return Offline(str(tmp_path / "offline")).env
    return pristine_prefix(target)[1]


def test_help_on_each_target(target, tool_env):
    text, raw, status = harness.run_tool(target, ["-h"], env=tool_env)
    assert text == banner(target) + USAGE
    assert status == 0
    lines = raw.split(b"\n")
    assert lines[-1] == b""
    if target == "native":
        assert b"\r" not in raw
    else:
        # The C run-time's text mode: every line ends in CR LF.
        assert all(line.endswith(b"\r") for line in lines[:-1])
        assert b"\r\r" not in raw


@pytest.mark.parametrize("key", [b"n", b"\x1b"], ids=["n", "escape"])
def test_disclaimer_declined_on_each_target(target, tool_env, key):
    text, raw, status = harness.run_tool(
        target, ["-f"], keys=[(DISCLAIMER_QUESTION, key)], env=tool_env)
    assert text == banner(target) + DISCLAIMER + "No !\n"
    assert status == 0


def test_disclaimer_without_terminal_on_each_target(target, tool_env):
    text, status = harness.run_no_tty(target, ["-f"], env=tool_env)
    assert text == banner(target) + DISCLAIMER + "No !\n"
    assert status == 0


# The 32-bit loader test, on stand-ins for the loader: a program the kernel
# refuses with "Exec format error" is what a 32-bit one is where IA-32
# emulation is off.
@pytest.mark.parametrize("loader, reason", [
    ("/bin/true", None),
    ("no-such-loader", harness.NO_WINE32),
    ("exec-format", harness.NO_IA32),
    ("bad-elf", harness.NO_IA32),
])
def test_loader_probe(tmp_path, loader, reason):
    if loader in ("exec-format", "bad-elf"):
        path = tmp_path / loader
        path.write_bytes(b"echo not a program\n" if loader == "exec-format"
                         else b"\x7fELF\x01\x01\x01" + b"\0" * 60)
        path.chmod(0o755)
        loader = str(path)
    elif loader == "no-such-loader":
        loader = str(tmp_path / loader)
    assert harness.probe_loader(loader) == reason


@pytest.mark.parametrize("pretend", ["1", None])
def test_32bit_targets_run_or_say_why_not(tmp_path, monkeypatch, pretend):
    """Forced to "no", the 32-bit target is skipped with the reason and the
    closing lines say so; left to the host, it runs wherever the 32-bit
    loader starts."""
    if pretend:
        monkeypatch.setenv(harness.PRETEND_NO_IA32, pretend)
    else:
        monkeypatch.delenv(harness.PRETEND_NO_IA32, raising=False)
    monkeypatch.setattr(harness, "_skip_reasons", {})
    real = harness.probe_loader(harness.WINE_LOADER["win32"])
    expect = harness.NO_IA32 if pretend else real
    assert harness.skip_reason("win32") == expect
    assert harness.skip_reason("win64") is None
    assert harness.skip_reason("native") is None

    report = tmp_path / "targets.txt"
    env = dict(os.environ, VKM_E2E_TARGETS="native,win32",
               VKM_E2E_REPORT=str(report))
    p = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs",
         os.path.join(os.path.dirname(__file__), "test_harness_smoke.py"),
         "-k", "test_help_on_each_target"],
        env=env, cwd=os.path.dirname(__file__), stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, timeout=600)
    out = p.stdout.decode("utf-8", "replace")
    assert p.returncode == 0, out
    lines = report.read_text().splitlines()
    assert lines[0] == "end to end, native: ran (1 passed)"
    if expect:
        assert "win32: %s" % expect in out
        assert lines[1] == "end to end, win32: not run: %s" % expect
    else:
        assert lines[1] == "end to end, win32: ran (1 passed)"
    # Only the selected targets get a line: a suite run per target adds
    # its own.
    assert len(lines) == 2, lines
