"""Command line, banner, usage, disclaimer and the empty run, on every
target, compared as whole transcripts."""

import pytest

from vkmtest import harness
from vkmtest.texts import (CLEAN, DISCLAIMER, DISCLAIMER_QUESTION, USAGE, banner)

ESC = b"\x1b"


@pytest.mark.parametrize("args", [
    ["-h"], ["/h"], ["/?"], ["-H"], ["-h", "-f"], ["-f", "-h"],
    ["/agree", "/?", "/y"],
])
def test_help_prints_banner_and_usage_only(target, run, args):
    text, status = run(args)
    assert text == banner(target) + USAGE
    assert status == 0


@pytest.mark.parametrize("args", [[], ["-?"], ["-agree"], ["--f", "-help", "f"]])
def test_dry_run_of_a_clean_system(target, run, args):
    text, status = run(args)
    assert text == banner(target) + "\n" + CLEAN
    assert status == 0


@pytest.mark.parametrize("args", [["-f"], ["/F"], ["-y"], ["/Y"]])
def test_disclaimer_accepted(target, run, args):
    text, status = run(args, keys=[(DISCLAIMER_QUESTION, b"y")])
    assert text == banner(target) + DISCLAIMER + "Yes !\n" + "\n" + CLEAN
    assert status == 0


@pytest.mark.parametrize("keys", [
    [b"n"], [b"N"], [ESC], [b"x", b"\r", b" ", b"a", b"c", b"n"],
    # Shift+F6 is 0 then 89, the code of "Y"; Up is 224 then 72.
    [b"\x1b[17;2~", b"\x1b[A", b"n"],
], ids=["n", "N", "escape", "ignored-then-n", "shift-f6-is-no-yes"])
def test_disclaimer_declined_ends_the_run(target, run, system, keys):
    system.plant(r"system32\drivers\tarnwickreader.sys")
    # The question comes once: the first key waits for it, the rest are
    # typed ahead.
    script = [(DISCLAIMER_QUESTION, keys[0])] + [(None, k) for k in keys[1:]]
    text, status = run(["-f"], keys=script)
    assert text == banner(target) + DISCLAIMER + "No !\n"
    assert status == 0
    assert system.exists(r"system32\drivers\tarnwickreader.sys")


def test_ctrl_c_at_the_disclaimer_declines(target, run):
    if target != "native":
        pytest.skip("known Wine limitation: Ctrl-C typed into Wine's console "
                    "ends the process whatever the console mode")
    text, status = run(["-f"], keys=[(DISCLAIMER_QUESTION, b"\x03")])
    assert text == banner(target) + DISCLAIMER + "No !\n"
    assert status == 0


def test_agree_option_skips_the_disclaimer(target, run):
    text, status = run(["-f", "/Agree"])
    assert text == banner(target) + "\n" + CLEAN
    assert status == 0


def test_without_a_console_nothing_is_agreed(target, system):
    system.plant(r"system32\drivers\vkm310.sys")
    text, status = harness.run_no_tty(target, ["-f"], env=system.env)
    assert text == banner(target) + DISCLAIMER + "No !\n"
    assert status == 0
    assert system.exists(r"system32\drivers\vkm310.sys")


def test_without_a_console_no_item_is_removed(target, system):
    system.plant(r"system32\drivers\vkm310.sys")
    text, status = harness.run_no_tty(target, ["-f", "-agree"], env=system.env)
    assert "Cancel..." in text
    assert text.endswith("\n1 item(s) found, 0 fixed\n")
    assert system.exists(r"system32\drivers\vkm310.sys")
