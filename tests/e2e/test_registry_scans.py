"""The four registry scans, and the driver-store folders, on every target."""

import contextlib
import errno
import os
import stat
import subprocess

import pytest

from vkmtest.texts import (CHOICES, CLASS_KEY, DRVSTORE_KEY, Q_DRVSTORE, Q_KEY,
                   SERVICES_KEY, UNINSTALL_KEY, answered, banner, fixed_all,
                   found_dry, found_fixed, question)
from vkmtest import ROOT
from vkmtest.texts import build_dir
from vkmtest.winsys import MKHIVE, fill_disk, mounted_tmpfs, split_hive

FAILED_NAME = "FAILED (error 22)\n"
FAILED_KEY = "FAILED (error 13)\n"


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


# Values of every kind a backup must carry over, on a key and its subkeys.
RICH = {"": "default", "Quoted": 'say "hi" at C:\\dir\\ \\\\srv',
        "Expand": ("expand", r"%SystemRoot%\system32\drivers\vkm310.sys"),
        "Multi": ("multi", ["one", 'two "2"', "three\\3"]),
        "Count": 0xDEADBEEF, "Blob": ("binary", bytes(range(0, 256, 15))),
        "Empty": ("binary", b""), "NoNul": ("nonul", "cut"),
        # Characters no ANSI code page of Windows has all of.
        "\u03a9name": "\u03a9mega \u4e2d\u6587",
        "Expand\u4e2d": ("expand", "%SystemRoot%\\\u03a9\\\u4e2d\u6587.sys"),
        "Multi\u03a9": ("multi", ["\u03a9", "\u4e2d\u6587", ""]),
        # Strings that cannot stand between quotes, kept as they are.
        "Lines": ("nonul", "one\r\ntwo\0"), "Inner": ("nonul", "a\0b\0")}


def test_backup_restores_what_was_removed(target, system, run):
    """Every removed key comes back with its values from the backup
    (regedit /s of the export on Windows, the hive copy offline), the
    files and folders come back byte for byte, and a dry run then finds
    the same items again.  A second cleanup makes a folder of its own
    and leaves the first one as it was."""
    plant_one_of_each(system)
    item = UNINSTALL_KEY + r"\{AB12-TARNWICK}"
    system.add_key(item, dict(RICH, DisplayName="RDX7 reader (vkm310 drivers)"))
    system.add_key(item + r"\Sub", RICH)
    system.add_key(item + r"\Sub\Deeper", {"Level": 2})
    for name in ("\u03a9mega", "\u4e2d\u6587"):
        system.add_key(item + "\\" + name, RICH)
    store = r"system32\DRVSTORE\tarnwickreader_1a2b"
    blob = bytes(range(256)) * 3
    system.plant(store + r"\sub\data.bin", blob)
    system.plant(r"system32\drivers\vkm310.sys", blob)
    system.commit()
    folders = None
    if target == "native":
        folders = mark_folders(system.windir)
    states = {k: system.key_state(k) for k in ITEM_KEYS}
    dry, _ = run([])
    text, _ = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert text.endswith(fixed_all(5))
    # Nobody else may change what an administrator puts back: offline
    # the folder is the runner's alone; Wine 8 keeps the permissions the
    # folder is made with as its Unix mode, nothing for others.
    assert os.stat(system.backups[0]).st_mode & 0o007 == 0
    assert not system.key_exists(item)
    for f in (store + r"\sub\data.bin", r"system32\drivers\vkm310.sys"):
        assert not system.exists(f)
        with open(system.backed_up(f), "rb") as fh:
            assert fh.read() == blob, f
    if target == "native":
        # Each hive copy is the hive as it was before the run.
        for k in (ITEM_KEYS[1], ITEM_KEYS[3]):
            hive = split_hive(k)[0]
            with open(os.path.join(system.backups[0], "SystemRoot",
                                   "System32", "config", hive), "rb") as f:
                assert f.read() == states[k], hive
    first = snapshot(system.backups[0])
    system.restore(system.backups[0])
    for k in ITEM_KEYS:
        assert system.key_state(k) == states[k], k
    if folders is not None:
        # The restore left every folder's mode and owner as it was, the
        # Windows folder's own included, and brought back the removed
        # ones with theirs.
        assert folder_modes(system.windir) == folders
    assert run([])[0] == dry
    with open(system.path(store + r"\tarnwickreader.sys"), "rb") as f:
        assert f.read() == b"MZ leftover\n"
    text, _ = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert text.endswith(fixed_all(5))
    assert len(system.backups) == 2 and system.backups[0] != system.backups[1]
    assert snapshot(system.backups[0]) == first


def folder_modes(top):
    """{folder below TOP, TOP itself as '.': (mode, owner, group)}."""
    found = {}
    for d, _, _ in os.walk(top):
        st = os.lstat(d)
        found[os.path.relpath(d, top)] = (st.st_mode & 0o7777, st.st_uid,
                                          st.st_gid)
    return found


def mark_folders(top):
    """Gives each folder below TOP, and TOP, a mode (and as root an owner)
    of its own; returns folder_modes(TOP)."""
    modes = [0o751, 0o705, 0o710, 0o750, 0o775, 0o711, 0o1755, 0o730]
    for i, d in enumerate(sorted(d for d, _, _ in os.walk(top))):
        os.chmod(d, modes[i % len(modes)])
        if os.geteuid() == 0:
            os.chown(d, 1000 + i, 2000 + i)
    return folder_modes(top)


def snapshot(folder):
    """Every file below FOLDER with its bytes."""
    found = {}
    for top, _, files in os.walk(folder):
        for n in files:
            p = os.path.join(top, n)
            with open(p, "rb") as f:
                found[os.path.relpath(p, folder)] = f.read()
    return found


def test_each_item_is_asked_once(target, system, run):
    """After a removal the walk goes on where it was: items declined
    before it are not asked again, and the one after it is not skipped."""
    names = ["A_first", "B_second", "C_third"]
    for n in names:
        system.add_key(UNINSTALL_KEY + "\\" + n, {"DisplayName": "vkm310 " + n})
    system.commit()
    text, status = run(["-f", "-agree"], keys=[
        (CHOICES, b"n"), (CHOICES, b"y"), (CHOICES, b"n")])
    found = ["Found 'VKM310' in\n\tUNINSTALL\\%s\n(vkm310 %s)\n" % (n, n)
             for n in names]
    body, _ = answered(found, [Q_KEY] * 3, "nyn")
    assert text == banner(target) + body + found_fixed(3, 1)
    assert system.key_exists(UNINSTALL_KEY + r"\A_first")
    assert not system.key_exists(UNINSTALL_KEY + r"\B_second")
    assert system.key_exists(UNINSTALL_KEY + r"\C_third")


WOW = r"HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion"


@pytest.mark.targets("native", "win64")
def test_32bit_view_is_scanned_and_cleaned_in_its_view(target, system, run):
    """A 32-bit installer on 64-bit Windows writes below Wow6432Node: those
    entries are found after the 64-bit view's, and each goes in the view
    it was found in, never its namesake in the other view."""
    system.add_key(UNINSTALL_KEY + r"\{SAME}", {"DisplayName": "Other tool"})
    system.add_key(UNINSTALL_KEY + r"\{A-64}", {"DisplayName": "VKM310 x64"})
    system.add_key(WOW + r"\Uninstall\{SAME}", {"DisplayName": "VKM310 x86"})
    system.add_key(WOW + r"\DIFx\DriverStore\vkm310_32",
                   {"Services": "vkm310"})
    system.plant(r"system32\DRVSTORE\vkm310_32\vkm310.sys")
    system.commit()
    found = ["Found 'vkm310' in\n\tDRVSTORE\\vkm310_32\n",
             "Found 'VKM310' in\n\tUNINSTALL\\{A-64}\n(VKM310 x64)\n",
             "Found 'VKM310' in\n\tUNINSTALL\\{SAME}\n(VKM310 x86)\n"]
    text, status = run([])
    assert text == banner(target) + "".join(found) + found_dry(3)
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    body, _ = answered(found, [Q_DRVSTORE, Q_KEY, Q_KEY], "a")
    assert text == banner(target) + body + fixed_all(3)
    assert system.key_exists(UNINSTALL_KEY + r"\{SAME}")
    for gone in (UNINSTALL_KEY + r"\{A-64}", WOW + r"\Uninstall\{SAME}",
                 WOW + r"\DIFx\DriverStore\vkm310_32"):
        assert not system.key_exists(gone), gone
    assert not system.exists(r"system32\DRVSTORE\vkm310_32")


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


# Item keys whose names the ANSI code page (Windows-1252 under Wine) cannot
# spell: Windows' narrow calls give "vkm310O" or "vkm310?" for them, which
# open another key or none.  Offline, where names are UTF-8, the longest
# name (400 bytes) does not fit the scan's 260.  Beside them a key of
# another product.
LONG_ODD = "\u03a9" * 200
ODD_NAMES = {UNINSTALL_KEY + "\\{VKM310-\u03a9}": {"DisplayName": "VKM310 \u03a9"},
             SERVICES_KEY + "\\vkm310\u03a9": {
                 "ImagePath": r"System32\drivers\vkm310.sys"},
             UNINSTALL_KEY + "\\" + LONG_ODD: {"DisplayName": "VKM310"},
             UNINSTALL_KEY + "\\{\u03a9ther}": {"DisplayName": "Other"}}


def test_names_outside_the_code_page(target, system, run):
    """On Windows such an item can be neither named nor removed: it is a
    place not read, so the run never calls the system clean, and it
    stays.  A key whose value names no target is looked at and passed
    over.  Offline every name can be spelled: the two that fit are items
    and go."""
    for key, values in ODD_NAMES.items():
        system.add_key(key, values)
    system.commit()
    parents = [UNINSTALL_KEY, SERVICES_KEY]
    before = {k: system.key_state(k) for k in parents}
    native = target == "native"
    text, status = run(["-f", "-agree"],
                       keys=[(CHOICES, b"a")] if native else [])
    assert status == 0
    if native:
        found = ["Found 'VKM310' in\n\tUNINSTALL\\{VKM310-\u03a9}\n"
                 "(VKM310 \u03a9)\n",
                 "Found 'vkm310' in service vkm310\u03a9\n"
                 "(System32\\drivers\\vkm310.sys)\n"]
        body, _ = answered(found, [Q_KEY, Q_KEY], "a")
        long = ("Not read: %s: a subkey name cannot be read (error 34)\n"
                % UNINSTALL_KEY)
        assert text == (banner(target) + body.replace(found[1], long
                                                      + found[1])
                        + fixed_all(2, "1 place(s) could not be read: the"
                                    " system was not fully checked\n"))
        assert [k for k in ODD_NAMES if system.key_exists(k)] == [
            UNINSTALL_KEY + "\\" + LONG_ODD, UNINSTALL_KEY + "\\{\u03a9ther}"]
        return
    why = "name not in the ANSI code page"
    assert text == (banner(target)
                    + "Not read: %s\\{VKM310-?}: %s\n" % (UNINSTALL_KEY, why)
                    + "Not read: %s\\%s: %s\n" % (UNINSTALL_KEY, "?" * 200, why)
                    + "Not read: %s\\vkm310?: %s\n" % (SERVICES_KEY, why)
                    + "\nNothing found, but 3 place(s) could not be read:"
                    " this system is not known to be clean\n")
    for k in parents:
        assert system.key_state(k) == before[k], k


VICTIM = r"HKLM\SOFTWARE\VictimApp"
# (item key, its values, the key made a registry link to VICTIM).
LINKED = {
    "below a service": (SERVICES_KEY + r"\vkm310svc",
                        {"ImagePath": r"System32\drivers\vkm310.sys"},
                        SERVICES_KEY + r"\vkm310svc\Link"),
    "a service itself": (SERVICES_KEY + r"\vkm310top", None,
                         SERVICES_KEY + r"\vkm310top"),
    "below a driver-store key": (DRVSTORE_KEY + r"\vkm310_1",
                                 {"Services": "vkm310"},
                                 DRVSTORE_KEY + r"\vkm310_1\Link"),
}


@pytest.mark.targets("win32", "win64")
@pytest.mark.parametrize("case", sorted(LINKED))
def test_registry_links_are_never_followed(target, system, run, case):
    """A registry link in an item names another key; the tree delete would
    take that key, and regedit cannot make a link again, so the backup
    cannot keep one.  The item is left whole, before anything of it goes
    (a driver-store item's folder too), with a line naming the link and
    FAILED; the key the link names keeps its tree and values."""
    item, values, link = LINKED[case]
    system.add_key(VICTIM, {"Keep": "me",
                            "ImagePath": r"System32\drivers\vkm310.sys"})
    system.add_key(VICTIM + r"\Kid", {"Level": 2})
    if values:
        system.add_key(item, values)
    system.commit()
    probe = os.path.join(build_dir(target), "tests", "wine", "regprobe.exe")
    system.wine(probe, "link", link[5:], VICTIM[5:])
    folder = r"system32\DRVSTORE\vkm310_1\vkm310.sys"
    system.plant(folder)
    states = {k: system.key_state(k) for k in (VICTIM, item)}
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"y")])
    name = item.rsplit("\\", 1)[1]
    if item.startswith(SERVICES_KEY):
        found, q = ("Found 'vkm310' in service %s\n(System32\\drivers"
                    "\\vkm310.sys)\n" % name, Q_KEY)
    else:
        found, q = "Found 'vkm310' in\n\tDRVSTORE\\%s\n" % name, Q_DRVSTORE
    assert text == (banner(target) + found + question(q, "y")
                    + "Registry link '%s' cannot be kept: not removed\n" % link
                    + "FAILED (error 22)\n" + found_fixed(1, 0))
    assert status == 0
    for k, state in states.items():
        assert system.key_state(k) == state, k
    assert system.exists(folder)


# Driver-store key names that, taken as a folder name, would name another
# folder ("sib." is "sib", "..." the folder above, "*" every vendor's
# folder, "nul" a device, "a:b" a stream of "a", "trail " "trail"), or
# that the command interpreter would read as commands.  Each is reported,
# then passed over: its key stays and it is not counted.
HOSTILE_NAMES = ["...", "..", "sib.", "*", "vkm310*", "nul", "NUL.txt", "com1",
                 "a:b", "trail ", "x & echo hacked > hacked.txt",
                 "quote\" & echo hacked"]


def test_driver_store_names_that_leave_the_folder(target, system, run, tmp_path):
    for n in HOSTILE_NAMES + ["with blank"]:
        system.add_key(DRVSTORE_KEY + "\\" + n, {"Services": "vkm310"})
    system.commit()
    if target != "native":
        # What the test can ask of a key name depends on regedit.
        assert sorted(system.subkeys(DRVSTORE_KEY)) == sorted(
            HOSTILE_NAMES + ["with blank"])
    system.plant(r"system32\DRVSTORE\with blank\vkm310.sys")
    survivors = [r"system32\DRVSTORE\keep\keep.sys",
                 r"system32\DRVSTORE\sib\vkm310.sys",
                 r"system32\DRVSTORE\a\vkm310.sys",
                 r"system32\DRVSTORE\trail\vkm310.sys",
                 r"system32\DRVSTORE\vkm310_x\vkm310.sys",
                 r"system32\sentinel.dll", r"sentinel.ini"]
    for f in survivors:
        system.plant(f)
    system32 = sorted(os.listdir(system.path("system32")))
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert status == 0
    assert text.count(FAILED_NAME) == len(HOSTILE_NAMES)
    assert text.endswith(found_fixed(len(HOSTILE_NAMES) + 1, 1))
    assert sorted(system.subkeys(DRVSTORE_KEY)) == sorted(HOSTILE_NAMES)
    assert not system.exists(r"system32\DRVSTORE\with blank")
    for f in survivors:
        assert system.exists(f), f
    assert sorted(os.listdir(system.path("system32"))) == system32
    for top in (str(tmp_path), ROOT, os.getcwd()):
        for dirpath, _, files in os.walk(top):
            assert "hacked.txt" not in files, dirpath


def test_links_are_removed_as_links(target, system, run):
    """A link inside an item folder, and an item folder that is itself a
    link, each to a folder outside Windows: the targets and the files in
    them stay.  Natively the links go.  Under Wine these are Linux links
    inside drive_c, which Wine shows as reparse points but cannot remove
    without touching their targets: they stay, and so do the items, whole
    (what went of the folder before the link comes back)."""
    outside = os.path.dirname(system.windir)
    for d in ("Outside", "Outside2", "Empty"):
        os.makedirs(os.path.join(outside, d))
    for d in ("Outside", "Outside2"):
        with open(os.path.join(outside, d, "keep.txt"), "w") as f:
            f.write("keep")
    system.plant(r"system32\DRVSTORE\vkm310_in\vkm310.sys")
    links = {r"system32\DRVSTORE\vkm310_in\out": "Outside",
             r"system32\DRVSTORE\vkm310_in\empty": "Empty",
             r"system32\DRVSTORE\vkm310_top": "Outside2"}
    for link, to in links.items():
        os.symlink(os.path.join(outside, to), system.path(link))
    for n in ("vkm310_in", "vkm310_top"):
        system.add_key(DRVSTORE_KEY + "\\" + n, {"Services": "vkm310"})
    system.commit()
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert status == 0
    native = target == "native"
    if native:
        assert text.endswith(fixed_all(2))
        assert system.subkeys(DRVSTORE_KEY) == []
    else:
        assert text.count(FAILED_NAME) == 2
        assert text.endswith(found_fixed(2, 0))
        assert sorted(system.subkeys(DRVSTORE_KEY)) == ["vkm310_in",
                                                         "vkm310_top"]
        assert system.exists(r"system32\DRVSTORE\vkm310_in\vkm310.sys")
    for link in links:
        assert system.exists(link) != native, link
    for d in ("Outside", "Outside2"):
        assert open(os.path.join(outside, d, "keep.txt")).read() == "keep"
    assert os.path.isdir(os.path.join(outside, "Empty"))


@pytest.mark.targets("win32", "win64")
def test_driver_store_key_named_as_a_short_name(target, system, run):
    """A driver-store key named as the 8.3 short name of another package's
    folder: Windows would open that folder through the name, but the
    removal reaches only a folder of the key's own name.  The other
    folder stays whole, the item is left with FAILED."""
    other = r"system32\DRVSTORE\vkm310_precious_other_pkg"
    system.plant(other + r"\keep.sys")
    short = system.short_name(other)
    assert short is not None
    system.add_key(DRVSTORE_KEY + "\\" + short, {"Services": "vkm310"})
    system.add_key(DRVSTORE_KEY + r"\vkm310_precious_other_pkg",
                   {"Services": "otherdriver"})
    system.commit()
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"y")])
    assert text == (banner(target)
                    + "Found 'vkm310' in\n\tDRVSTORE\\%s\n" % short
                    + question(Q_DRVSTORE, "y") + FAILED_NAME
                    + found_fixed(1, 0))
    assert system.exists(other + r"\keep.sys")
    assert sorted(system.subkeys(DRVSTORE_KEY)) == sorted(
        [short, "vkm310_precious_other_pkg"])


def chattr(flag, path):
    """Marks PATH immutable (+i) or append-only (+a); skips the test where
    the file system keeps no such marks."""
    r = subprocess.run(["chattr", flag, path], stderr=subprocess.PIPE)
    if r.returncode != 0:
        pytest.skip("chattr %s: %s" % (flag, r.stderr.decode().strip()))


def use_up_inodes(folder):
    """Makes empty files in FOLDER until its file system has no inode
    left."""
    try:
        for i in range(100000):
            open(os.path.join(folder, "inode%d" % i), "wb").close()
    except OSError as e:
        assert e.errno == errno.ENOSPC, e


def files_at(system, rels):
    return [system.path(r) for r in rels]


def entry_state(path):
    """Mode, owner, group and, for a file, the bytes of PATH."""
    st = os.lstat(path)
    data = None
    if stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            data = f.read()
    return (st.st_mode, st.st_uid, st.st_gid, data)


def tree_state(top):
    """entry_state of every entry below TOP, by its path below TOP."""
    found = {}
    for d, dirs, files in os.walk(top):
        for n in dirs + files:
            p = os.path.join(d, n)
            found[os.path.relpath(p, top)] = entry_state(p)
    return found


def mkfifo(system, rel):
    os.mkfifo(system.path(rel))
    return [rel]


def mknod_or_skip(system, rel):
    """Makes a character device like /dev/null at REL (root only)."""
    try:
        os.mknod(system.path(rel), 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError as e:
        pytest.skip("cannot make a device node here: %s" % e)
    return [rel]


def unchattr(folder):
    subprocess.run(["chattr", "-R", "-i", "-a", folder],
                   stderr=subprocess.DEVNULL)


DEEP = r"system32\DRVSTORE\vkm310_1\sub\deep\z.sys"
# case: (tmpfs options for System32\config, or None; what is done to the
# installation, which gives the entries it planted in the item folder;
# the hives said to be read only, and why; the line after the answer;
# the error; whether the run names its backup).  The item is whole
# afterwards in every case: its key and every entry of its folder.
READ_ONLY = ("Read only: HKLM\\%s (%s): hive file cannot be written;"
             " nothing in it can be removed\n")
KEY_CANNOT_GO = {
    "dirty": (None, lambda s, c: subprocess.run(
        [MKHIVE, "--dirty", s.hive_file("SOFTWARE")], check=True) and None,
        (["SOFTWARE"], "Not read: HKLM\\%s (%s): Windows was not shut down"
         " cleanly and no log brings it up to date; nothing in it can be"
         " removed\n"), "", 13, False),
    "read-only": ("size=4m", lambda s, c: subprocess.run(
        ["mount", "-o", "remount,ro", c], check=True) and None,
        (["SOFTWARE", "SYSTEM"], READ_ONLY), "", 13, False),
    # The key could go, the folder cannot: nothing goes.
    "folder-cannot-go": (None, lambda s, c: chattr("+i", s.path(DEEP)),
                         ([], ""), "", 13, False),
    # No rename can replace a hive in an append-only folder.
    "append-only": (None, lambda s, c: chattr("+a", c),
                    (["SOFTWARE", "SYSTEM"], READ_ONLY), "", 13, False),
    # The hive's new file cannot even be made: found before the folder
    # is touched.
    "no-inode": ("size=4m,nr_inodes=16", lambda s, c: use_up_inodes(c),
                 ([], ""), "", 28, False),
    # The new hive does not fit: found only when it is written, after
    # the folder went, which is put back from the backup.
    "full": ("size=2m", lambda s, c: fill_disk(c, 0), ([], ""), "", 28,
             True),
    # What the backup cannot keep: the item is not removed.
    "fifo-inside": (None, lambda s, c: mkfifo(s, DEEP + "_fifo"),
                    ([], ""), "", 22, False),
    "device-inside": (None, lambda s, c: mknod_or_skip(s, DEEP + "_null"),
                      ([], ""), "", 22, False),
    "hard-link": (None, lambda s, c: os.link(
        s.hive_file("SOFTWARE"), os.path.join(s.base, "linked")),
        (["SOFTWARE"], READ_ONLY),
        "Registry hive '%s' has other hard links: not changed\n", 13, False),
}


@pytest.mark.targets("native")
@pytest.mark.parametrize("case", list(KEY_CANNOT_GO))
def test_driver_store_item_whose_key_cannot_go(target, system, run, case):
    """A driver-store item whose key or folder cannot go: nothing of it
    goes, FAILED is printed, and it is not counted."""
    tmpfs, fault, (hives, line), said, err, backup = KEY_CANNOT_GO[case]
    system.add_key(DRVSTORE_KEY + r"\vkm310_1", {"Services": "vkm310"})
    config = os.path.dirname(system.hive_file("SOFTWARE"))
    with (mounted_tmpfs(config, tmpfs) if tmpfs
          else contextlib.nullcontext()):
        try:
            system.commit()
            files = [r"system32\DRVSTORE\vkm310_1\vkm310.sys", DEEP,
                     r"system32\DRVSTORE\vkm310_1\zz.inf"]
            for f in files:
                system.plant(f)
            folder = system.path(r"system32\DRVSTORE\vkm310_1")
            os.chmod(files_at(system, files)[0], 0o604)
            os.chmod(os.path.join(folder, "sub"), 0o750)
            if os.geteuid() == 0:
                os.chown(files_at(system, files)[2], 1234, 5678)
            before = tree_state(folder)
            planted = fault(system, config) or []
            text, status = run(["-f", "-agree"], keys=[(CHOICES, b"y")])
            # A hive not closed cleanly and without logs was not read.
            unread = ("%d place(s) could not be read: the system was not fully"
                      " checked\n" % len(hives) if line.startswith("Not read")
                      else "")
            assert text == (banner(target) + "".join(
                line % (h, system.hive_file(h)) for h in hives)
                            + "Found 'vkm310' in\n\tDRVSTORE\\vkm310_1\n"
                            + question(Q_DRVSTORE, "y")
                            + (said % system.hive_file("SOFTWARE")
                               if said else "")
                            + "FAILED (error %d)\n" % err
                            + found_fixed(1, 0, backup=backup, unread=unread))
            assert system.key_exists(DRVSTORE_KEY + r"\vkm310_1")
            for f in files + planted:
                assert system.exists(f), f
            # What went and came back has its bytes, mode and owner again.
            assert tree_state(folder) == dict(before, **{
                os.path.relpath(system.path(f), folder): entry_state(
                    system.path(f)) for f in planted})
        finally:
            unchattr(system.windir)


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
