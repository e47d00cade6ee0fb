"""The four registry scans, and the driver-store folders, on every target."""

import os

import pytest

from texts import (CHOICES, CLASS_KEY, DRVSTORE_KEY, Q_DRVSTORE, Q_KEY, ROOT,
                   SERVICES_KEY, UNINSTALL_KEY, answered, banner, fixed_all,
                   found_dry, found_fixed, question)


def plant_one_of_each(system):
    system.add_key(DRVSTORE_KEY + r"\tarnwickreader_1a2b",
                   {"Services": "TARNWICKREADER"})
    system.add_key(DRVSTORE_KEY + r"\zz_other", {"Services": "x_tarnwickreader"})
    system.plant(r"system32\DRVSTORE\tarnwickreader_1a2b\tarnwickreader.sys")
    system.add_key(UNINSTALL_KEY + r"\{AB12-TARNWICK}",
                   {"DisplayName": "RDX7 reader (vkm310 drivers)"})
    system.add_key(UNINSTALL_KEY + r"\{AB13-OTHER}",
                   {"DisplayName": "VKM31 lookalike"})
    system.add_key(CLASS_KEY, {"Class": "SmartCardReader"})
    system.add_key(CLASS_KEY + r"\0000", {"InfSection": "quellmarkpcsc_inst"})
    system.add_key(CLASS_KEY + r"\0000\Properties", {"Level": 1})
    system.add_key(CLASS_KEY + r"\0001", {"InfSection": "acme_quellmarkpcsc"})
    system.add_key(SERVICES_KEY + r"\RdxTwice", {
        "ImagePath": ("expand", r"\SystemRoot\System32\drivers\rdx7pcsc_slot"
                      r"\rdx7pcsc_slot.sys")})
    system.commit()


FOUND = [
    "Found 'TARNWICKREADER' in\n\tDRVSTORE\\tarnwickreader_1a2b\n",
    "Found 'VKM310' in\n\tUNINSTALL\\{AB12-TARNWICK}\n"
    "(RDX7 reader (vkm310 drivers))\n",
    "Found 'quellmarkpcsc_inst' in class SmartCard/0000\n\n",
    "Found 'rdx7pcsc_slot' in service RdxTwice\n"
    "(\\SystemRoot\\System32\\drivers\\rdx7pcsc_slot\\rdx7pcsc_slot.sys)\n"
    "Found 'rdx7pcsc_slot' in service RdxTwice\n"
    "(\\SystemRoot\\System32\\drivers\\rdx7pcsc_slot\\rdx7pcsc_slot.sys)\n",
]
QUESTIONS = [Q_DRVSTORE, Q_KEY, Q_KEY, Q_KEY]
ITEM_KEYS = [DRVSTORE_KEY + r"\tarnwickreader_1a2b",
             UNINSTALL_KEY + r"\{AB12-TARNWICK}",
             CLASS_KEY + r"\0000",
             SERVICES_KEY + r"\RdxTwice"]
NEIGHBOURS = [DRVSTORE_KEY + r"\zz_other", UNINSTALL_KEY + r"\{AB13-OTHER}",
              CLASS_KEY + r"\0001", CLASS_KEY]


def test_dry_run_reports_each_scan(target, system, run):
    plant_one_of_each(system)
    text, status = run([])
    assert text == banner(target) + "".join(FOUND) + found_dry(4)
    assert status == 0
    for k in ITEM_KEYS + NEIGHBOURS:
        assert system.key_exists(k), k
    assert system.exists(r"system32\DRVSTORE\tarnwickreader_1a2b")


@pytest.mark.parametrize("answers,removed", [
    ("yyyy", [0, 1, 2, 3]),
    ("nyny", [1, 3]),
    ("ya", [0, 1, 2, 3]),
    ("nnc", []),
], ids=["yes", "alternate", "yes-then-all", "cancel"])
def test_cleanup_removes_key_trees(target, system, run, answers, removed):
    plant_one_of_each(system)
    text, status = run(["-f", "-agree"],
                       keys=[(CHOICES, k.encode()) for k in answers])
    body, asked = answered(FOUND, QUESTIONS, answers)
    expected = banner(target) + body
    if len(removed) == asked:
        expected += fixed_all(asked)
    else:
        expected += found_fixed(asked, len(removed))
    assert text == expected
    assert status == 0
    for i, k in enumerate(ITEM_KEYS):
        assert system.key_exists(k) == (i not in removed), k
    for k in NEIGHBOURS:
        assert system.key_exists(k), k
    folder = r"system32\DRVSTORE\tarnwickreader_1a2b"
    assert system.exists(folder) == (0 not in removed)


def test_declined_item_is_asked_again_after_a_removal(target, system, run):
    system.add_key(UNINSTALL_KEY + r"\A_first", {"DisplayName": "vkm310 one"})
    system.add_key(UNINSTALL_KEY + r"\B_second", {"DisplayName": "Vkm310 two"})
    system.commit()
    first = "Found 'VKM310' in\n\tUNINSTALL\\A_first\n(vkm310 one)\n"
    second = "Found 'VKM310' in\n\tUNINSTALL\\B_second\n(Vkm310 two)\n"
    text, status = run(["-f", "-agree"], keys=[
        (CHOICES, b"n"), (CHOICES, b"y"), (CHOICES, b"n")])
    assert text == (banner(target)
                    + first + question(Q_KEY, "n")
                    + second + question(Q_KEY, "y")
                    + first + question(Q_KEY, "n")
                    + found_fixed(3, 1))
    assert system.key_exists(UNINSTALL_KEY + r"\A_first")
    assert not system.key_exists(UNINSTALL_KEY + r"\B_second")


def test_values_that_do_not_match(target, system, run):
    """Over-long values, other types and names that only follow other
    text are passed over in silence."""
    system.add_key(DRVSTORE_KEY + r"\late", {"Services": "old vkm310"})
    system.add_key(DRVSTORE_KEY + r"\long", {"Services": "vkm310" + "x" * 260})
    system.add_key(DRVSTORE_KEY + r"\fits", {"Services": "vkm310" + "x" * 253})
    system.add_key(DRVSTORE_KEY + r"\dword", {"Services": 310})
    system.add_key(DRVSTORE_KEY + r"\multi", {"Services": ("multi", ["vkm310"])})
    system.add_key(CLASS_KEY + r"\0002", {"InfSection": "x_tarnwickreader"})
    system.add_key(SERVICES_KEY + r"\Plain", {"ImagePath": "tarnwick.sys"})
    system.commit()
    text, status = run([])
    assert text == (banner(target)
                    + "Found '%s' in\n\tDRVSTORE\\fits\n" % ("vkm310" + "x" * 253)
                    + found_dry(1))


def test_driver_store_names_that_leave_the_folder(target, system, run, tmp_path):
    """Key names that the command interpreter would read as commands, or
    that name no folder inside DRVSTORE: the keys go, nothing else does."""
    names = ["..", "x & echo hacked > hacked.txt", "quote\" & echo hacked"]
    for n in names:
        system.add_key(DRVSTORE_KEY + "\\" + n, {"Services": "vkm310"})
    system.add_key(DRVSTORE_KEY + r"\with blank", {"Services": "vkm310"})
    system.commit()
    system.plant(r"system32\DRVSTORE\with blank\vkm310.sys")
    system.plant(r"system32\DRVSTORE\keep\keep.sys")
    system.plant(r"system32\sentinel.dll")
    system.plant(r"sentinel.ini")
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert text.endswith(fixed_all(4))
    for n in names + ["with blank"]:
        assert not system.key_exists(DRVSTORE_KEY + "\\" + n), n
    assert not system.exists(r"system32\DRVSTORE\with blank")
    for f in [r"system32\DRVSTORE\keep\keep.sys", r"system32\sentinel.dll",
              r"sentinel.ini", r"system32\drivers"]:
        assert system.exists(f), f
    for top in (str(tmp_path), ROOT, os.getcwd()):
        for dirpath, _, files in os.walk(top):
            assert "hacked.txt" not in files, dirpath


@pytest.mark.targets("native")
def test_damaged_subkey_names_are_passed_over(target, system, run):
    """A name no live registry can hold: as a path it would name a key
    below another product's key, and the removal would take that tree."""
    system.add_key(UNINSTALL_KEY + r"\Acme", {"DisplayName": "Acme"})
    system.add_key(UNINSTALL_KEY + r"\Acme\Plugin",
                   {"DisplayName": "Acme plug-in for VKM310 readers"})
    system.commit()
    import hivex
    h = hivex.Hivex(system.hive_file("SOFTWARE"), write=True)
    node = h.root()
    for n in UNINSTALL_KEY.split("\\")[2:]:
        node = h.node_get_child(node, n)
    child = h.node_add_child(node, "Acme\\Plugin")
    h.node_set_values(child, [{"key": "DisplayName", "t": 1,
                               "value": "VKM310\0".encode("utf-16-le")}])
    h.commit(None)
    text, status = run(["-f", "-agree"], keys=[(None, b"a")])
    assert text == banner(target) + "\nNothing to do, this system is clean !\n"
    assert system.key_exists(UNINSTALL_KEY + r"\Acme\Plugin")
