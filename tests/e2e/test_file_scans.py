"""Driver files and OEM INF files, found and removed on every target."""

import glob
import os
import shutil
import tempfile

import pytest

from vkmtest import harness
from vkmtest.texts import (CHOICES, DRVSTORE_KEY, Q_DRVSTORE, Q_FILE, Q_OEM,
                   answered, banner, fixed_all, found_dry, found_fixed,
                   question)
from vkmtest.winsys import Offline

DRV = r"system32\drivers"
LASTGOOD = r"LastGood\system32\drivers"


def inf_text(entries, section="SourceDisksFiles"):
    lines = ["[Version]", 'Signature="$Windows NT$"', "",
             "[%s]" % section]
    lines += ["%s = 1,," % e for e in entries]
    lines += ["", "[Strings]", 'Tarnwick="Tarnwick"', ""]
    return "\r\n".join(lines).encode()


def plant_leftovers(system):
    """Five items: two OEM INF pairs and three driver files."""
    system.plant(r"inf\oem3.inf", inf_text(
        ["tarnwickreader.sys", "other.sys", "more.sys",
         "tarnwickusbccid.sys", "last.sys"]))
    system.plant(r"inf\oem3.pnf", b"PNF")
    # Not found: the match stands in the sixth entry or in another section.
    system.plant(r"inf\oem7.inf", inf_text(
        ["a.sys", "b.sys", "c.sys", "d.sys", "e.sys", "vkm310.sys"]))
    system.plant(r"inf\oem8.inf", inf_text(
        ["vkm310.sys"], section="SourceDisksFiles.x86"))
    system.plant(r"inf\oem12.inf", inf_text(["VKM310.SYS", "old_vkm310.sys"]))
    system.plant(DRV + r"\VKM310.SYS")             # upper case on disk
    system.plant(DRV + r"\tarnwickreader.sys")
    system.plant(LASTGOOD + r"\busquellmark.sys")


def file_line(system, name, folder=DRV):
    """The report of the driver file NAME.sys: its path as composed under
    Wine, as found on the disk offline (taken before the run removes it)."""
    return "Found file '%s.sys'\n(%s)\n" % (
        name, system.shown(r"%s\%s.sys" % (folder, name)))


def found_lines(system):
    return [
        "Found 'tarnwickreader.sys' in file oem3.inf\n"
        "Found 'tarnwickusbccid.sys' in file oem3.inf\n",
        "Found 'VKM310.SYS' in file oem12.inf\n",
        file_line(system, "vkm310"),
        file_line(system, "tarnwickreader"),
        file_line(system, "busquellmark", LASTGOOD),
    ]


QUESTIONS = [Q_OEM, Q_OEM, Q_FILE, Q_FILE, Q_FILE]
ITEM_FILES = [
    [r"inf\oem3.inf", r"inf\oem3.pnf"],
    [r"inf\oem12.inf"],
    [DRV + r"\vkm310.sys"],
    [DRV + r"\tarnwickreader.sys"],
    [LASTGOOD + r"\busquellmark.sys"],
]
UNTOUCHED = [r"inf\oem7.inf", r"inf\oem8.inf"]


def test_dry_run_reports_and_keeps_everything(target, system, run):
    plant_leftovers(system)
    text, status = run([])
    assert text == banner(target) + "".join(found_lines(system)) + found_dry(5)
    assert status == 0
    for files in ITEM_FILES + [UNTOUCHED]:
        for f in files:
            assert system.exists(f), f


def utf16(data, codec):
    return data.decode("latin-1").encode(codec)


MATCH = inf_text(["vkm310.sys"])
OTHER = inf_text(["other.sys"])
# (files planted in the INF folder, numbers found in the order reported).
# Every oem<N>.inf is read, N of up to 19 digits, in increasing N; other
# names are passed over, however the system's wildcard matches them.
OEM_ROWS = {
    "past-999": ({"oem999.inf": OTHER, "oem1000.inf": MATCH,
                  "oem1207.inf": MATCH}, ["1000", "1207"]),
    "utf16-le": ({"oem4.inf": utf16(MATCH, "utf-16")}, ["4"]),
    "utf16-be": ({"oem4.inf": b"\xfe\xff" + utf16(MATCH, "utf-16-be")},
                 ["4"]),
    "delimiters-alone-first": ({"oem6.inf": b"[SourceDisksFiles]\r\n=\r\n"
                                b": =\r\nvkm310.sys = 1\r\n"}, ["6"]),
    "numeric-order": ({"oem100.inf": MATCH, "oem9.inf": MATCH,
                       "oem10.inf": MATCH, "oem0.inf": MATCH},
                      ["0", "9", "10", "100"]),
    "other-names": ({"oem012.inf": MATCH, "oem-1.inf": MATCH,
                     "oem1.inf.bak": MATCH, "oem2.pnf": MATCH,
                     "oemx.inf": MATCH, "oem.inf": MATCH, "xoem3.inf": MATCH,
                     "OEM13.INF": MATCH}, ["13"]),
    # More files than one listing holds; numbers of 20 digits, which
    # Windows never writes, passed over, as is one past 64 bits.
    "many-files": (dict([("oem%d.inf" % n, b"") for n in range(1100)]
                        + [("oem3.inf", MATCH), ("oem1050.inf", MATCH),
                           ("oem9999999999999999999.inf", MATCH),
                           ("oem10000000000000000000.inf", MATCH),
                           ("oem99999999999999999999.inf", MATCH)]),
                   ["3", "1050", "9999999999999999999"]),
}


@pytest.mark.parametrize("row", list(OEM_ROWS))
def test_every_oem_inf_file_is_read(target, system, run, row):
    files, numbers = OEM_ROWS[row]
    for name, data in files.items():
        system.plant("inf\\" + name, data)
    text, status = run([])
    found = "".join("Found 'vkm310.sys' in file oem%s.inf\n" % n
                    for n in numbers)
    assert text == banner(target) + found + found_dry(len(numbers))
    assert status == 0


@pytest.mark.parametrize("answers,removed,summary", [
    ("nnnnn", [], found_fixed(5, 0)),
    ("ynyny", [0, 2, 4], found_fixed(5, 3)),
    ("na", [1, 2, 3, 4], found_fixed(5, 4)),
    ("a", [0, 1, 2, 3, 4], fixed_all(5)),
    ("nyc", [1], found_fixed(3, 1)),
    ("c", [], found_fixed(1, 0)),
], ids=["no", "yes-no", "no-then-all", "all", "cancel-third", "cancel-first"])
def test_cleanup_answers(target, system, run, answers, removed, summary):
    plant_leftovers(system)
    keys = [(CHOICES, k.encode()) for k in answers]
    lines = found_lines(system)
    text, status = run(["-f", "-agree"], keys=keys)

    expected = banner(target) + answered(lines, QUESTIONS, answers)[0]
    expected += summary
    assert text == expected
    assert status == 0
    for i, files in enumerate(ITEM_FILES):
        for f in files:
            assert system.exists(f) == (i not in removed), f
    for f in UNTOUCHED:
        assert system.exists(f), f


def test_refused_deletion_is_reported_and_not_fixed(target, system, run):
    system.plant(DRV + r"\quellmarkpcsc.sys", readonly=True)
    system.plant(DRV + r"\tarnwickreader.sys")
    lines = [file_line(system, n) for n in ("quellmarkpcsc", "tarnwickreader")]
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert text == (
        banner(target) + lines[0] + question(Q_FILE, "a")
        + "FAILED (error 13)\n" + lines[1] + found_fixed(2, 1))
    assert system.exists(DRV + r"\quellmarkpcsc.sys")
    assert not system.exists(DRV + r"\tarnwickreader.sys")


def test_oem_pair_with_a_read_only_inf_is_not_fixed(target, system, run):
    system.plant(r"inf\oem5.inf", inf_text(["rdx7pcsc_root.sys"]), readonly=True)
    system.plant(r"inf\oem5.pnf", b"PNF")
    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"y")])
    assert text == (
        banner(target)
        + "Found 'rdx7pcsc_root.sys' in file oem5.inf\n"
        + question(Q_OEM, "y")
        + "FAILED (error 13)\n"
        # The backup is named once something kept has gone: the PNF.
        + found_fixed(1, 0, backup=target == "native"))
    assert system.exists(r"inf\oem5.inf")
    # Offline the PNF goes all the same; under Wine the system's package
    # removal refuses the read-only INF first, and the pair stays whole.
    assert system.exists(r"inf\oem5.pnf") == (target != "native")
    # Both were kept before either went; under Wine, where nothing went,
    # no line names the folder: it is the one the run made on C:.
    if not system.backups:
        system.backups = sorted(glob.glob(os.path.join(
            system.host_path("C:\\"), "vkm310_backup-*")))
    with open(system.backed_up(r"inf\oem5.pnf"), "rb") as f:
        assert f.read() == b"PNF"
    with open(system.backed_up(r"inf\oem5.inf"), "rb") as f:
        assert f.read() == inf_text(["rdx7pcsc_root.sys"])


@pytest.mark.parametrize("keys", [
    [b"\x1b[18~"],                   # F7: 0 then 65, the code of "A"
    [b"\x1b[20~"],                   # F9: 0 then 67, the code of "C"
    [b"\x1b[18~", b"\x1b[20~", b"\x1b[A"],   # F7, F9, Up (224 then 72)
], ids=["F7", "F9", "F7-F9-Up"])
def test_function_keys_do_not_answer(target, system, run, keys):
    """A function or cursor key is no answer, whatever its second code:
    nothing is printed for it and the letter typed next answers."""
    system.plant(DRV + r"\vkm310.sys")
    system.plant(DRV + r"\tarnwickreader.sys")
    script = [(CHOICES, keys[0])] + [(None, k) for k in keys[1:]]
    script += [(None, b"n"), (CHOICES, b"y")]
    first, second = found_lines(system)[2:4]
    text, status = run(["-f", "-agree"], keys=script)
    assert text == (banner(target) + first + question(Q_FILE, "n")
                    + second + question(Q_FILE, "y") + found_fixed(2, 1))
    assert status == 0
    assert system.exists(DRV + r"\vkm310.sys")
    assert not system.exists(DRV + r"\tarnwickreader.sys")


@pytest.mark.targets("win32", "win64")
def test_oem_pair_leaves_through_the_system_package_removal(target, system):
    """The package goes through setupapi's forced removal (Wine's trace
    shows the call and its flag); Wine's removal deletes the INF alone,
    and the tool deletes the PNF it left."""
    system.plant(r"inf\oem3.inf", inf_text(["vkm310.sys"]))
    system.plant(r"inf\oem3.pnf", b"PNF")
    r = harness.run_tool(target, ["-f", "-agree"], keys=[(CHOICES, b"y")],
                         env=dict(system.env, WINEDEBUG="+setupapi"),
                         cwd=system.workdir)
    assert r.text == (banner(target) + "Found 'vkm310.sys' in file oem3.inf\n"
                      + question(Q_OEM, "y") + fixed_all(1))
    trace = r.stderr.decode("latin-1")
    assert 'SetupUninstallOEMInfA "oem3.inf", 0x00000001' in trace, trace
    assert not system.exists(r"inf\oem3.inf")
    assert not system.exists(r"inf\oem3.pnf")


HELD = DRV + r"\vkm310.sys"


@pytest.mark.targets("win32", "win64")
@pytest.mark.parametrize("share, args, after", [
    ("none", [], found_dry(1)),
    ("read", [], found_dry(1)),
    # Held without sharing it cannot be copied into the backup: it stays,
    # and nothing gone, no backup is named.
    ("none", ["-f", "-agree"], question(Q_FILE, "y") + "FAILED (error 13)\n"
     + found_fixed(1, 0)),
], ids=["no-sharing", "read-sharing", "no-sharing-cleanup"])
def test_driver_file_held_open_is_there(target, system, run, share, args,
                                        after):
    system.plant(HELD)
    with system.held(HELD, share):
        text, status = run(args, keys=[(CHOICES, b"y")] if args else [])
    assert text == banner(target) + file_line(system, "vkm310") + after
    assert system.exists(HELD)


IN_USE = "In use: removed at the next restart\n"
STORE_ITEM = r"system32\DRVSTORE\vkm310_1"
# (files planted, keys, the file another process holds for reading only,
# its item's report and question, the paths the next restart deletes, in
# order, and the files gone at once).
IN_USE_ROWS = {
    "driver-file": (
        {HELD: b"MZ"}, {}, HELD,
        "Found file 'vkm310.sys'\n(C:\\windows\\%s)\n" % HELD, Q_FILE,
        [HELD], []),
    "oem-pnf": (
        {r"inf\oem3.inf": inf_text(["vkm310.sys"]), r"inf\oem3.pnf": b"PNF"},
        {}, r"inf\oem3.pnf", "Found 'vkm310.sys' in file oem3.inf\n", Q_OEM,
        [r"inf\oem3.pnf"], [r"inf\oem3.inf"]),
    # What can go goes now; the file in use, then the folders above it,
    # deepest first, at the restart.
    "driver-store-file": (
        {STORE_ITEM + r"\vkm310.sys": b"MZ", STORE_ITEM + r"\sub\b.inf": b"x",
         STORE_ITEM + r"\sub\c.cat": b"x"},
        {DRVSTORE_KEY + r"\vkm310_1": {"Services": "vkm310"}},
        STORE_ITEM + r"\sub\b.inf", "Found 'vkm310' in\n\tDRVSTORE\\vkm310_1\n",
        Q_DRVSTORE, [STORE_ITEM + r"\sub\b.inf", STORE_ITEM + r"\sub",
                     STORE_ITEM],
        [STORE_ITEM + r"\vkm310.sys", STORE_ITEM + r"\sub\c.cat"]),
}


@pytest.mark.targets("win32", "win64")
@pytest.mark.parametrize("row", list(IN_USE_ROWS))
def test_file_in_use_goes_at_the_next_restart(target, system, run, row):
    files, keys, held, found, q, pending, gone = IN_USE_ROWS[row]
    for rel, data in files.items():
        system.plant(rel, data)
    for key, values in keys.items():
        system.add_key(key, values)
    system.commit()
    with system.held(held, "read"):
        text, status = run(["-f", "-agree"], keys=[(CHOICES, b"y")])
    assert text == banner(target) + found + question(q, "y") + IN_USE + \
        fixed_all(1)
    assert system.pending_removals() == [
        "\\??\\" + system.system_root + "\\" + p for p in pending]
    assert system.exists(held)
    for rel in gone:
        assert not system.exists(rel), rel
    for key in keys:
        assert not system.key_exists(key)


NOBODY = 65534


def as_other_user():
    """The words that start the native program as a user without root's
    disregard for file modes, or None (and why) where that cannot be."""
    if os.geteuid() != 0:
        return [], None
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        return None, "running as root, and setpriv (util-linux) is missing"
    return [setpriv, "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
            "--clear-groups"], None


@pytest.mark.targets("native")
def test_files_that_cannot_be_read_are_there(target):
    """An OEM INF file that cannot be read is a place not read; a driver
    file is there whether or not it can be opened, a FIFO included."""
    prefix, why = as_other_user()
    if prefix is None:
        pytest.skip(why)
    base = tempfile.mkdtemp(prefix="vkm-unread-")
    try:
        os.chmod(base, 0o755)
        system = Offline(base)
        system.commit()
        inf = system.plant(r"inf\oem4.inf", inf_text(["vkm310.sys"]))
        sys_file = system.plant(DRV + r"\vkm310.sys")
        fifo = os.path.join(system.path(DRV), "tarnwickreader.sys")
        os.mkfifo(fifo)
        if os.geteuid() == 0:
            for top, dirs, names in os.walk(base):
                for n in [top] + [os.path.join(top, x) for x in dirs + names]:
                    os.lchown(n, NOBODY, NOBODY)
        os.chmod(inf, 0)
        os.chmod(sys_file, 0)
        r = harness.run_tool(target, [], env=system.env, cwd=system.workdir,
                             program=prefix + [harness.program_path(target)])
        assert r.text == (
            banner(target)
            + "Not read: OEM INF file (%s): access denied\n" % inf
            + file_line(system, "vkm310") + file_line(system, "tarnwickreader")
            + found_dry(2)
            + "1 place(s) could not be read: the system was not fully checked\n")
    finally:
        shutil.rmtree(base, ignore_errors=True)


PACKAGE = "vkm310.inf_amd64_5e38a278d114b813"
REPOSITORY = r"System32\DriverStore\FileRepository"
DATABASE = r"HKLM\SYSTEM\DriverDatabase"
OEM2 = inf_text(["vkm310.sys"])
# (keys of the SYSTEM hive, files of the driver store, whether the package
# is found there).  Windows 8 and later name it in the driver database
# (the store's copy of the INF may differ: a database is believed);
# Vista and 7 have no database, and the store folder with an INF file of
# the same bytes is the package.
STORED_ROWS = {
    "database": ({
        DATABASE + r"\DriverInfFiles\oem2.inf": {"Active": PACKAGE},
        DATABASE + r"\DriverPackages" + "\\" + PACKAGE: {
            "InfName": "vkm310.inf", "OemPath": r"C:\Drivers"},
    }, {PACKAGE + r"\vkm310.inf": b"; as signed\r\n" + OEM2}, True),
    "same-bytes": ({}, {
        "other.inf_x86_neutral_1" + r"\other.inf": inf_text(["other.sys"]),
        "vkm310.inf_x86_neutral_2" + r"\VKM310.INF": OEM2,
    }, True),
    # As long as the OEM INF file, one byte apart.
    "other-bytes": ({}, {
        "vkm310.inf_x86_neutral_2" + r"\vkm310.inf": inf_text(["vkm311.sys"]),
    }, False),
    # A database entry whose package is neither in the database nor in the
    # store names nothing.
    "stale-database": ({
        DATABASE + r"\DriverInfFiles\oem2.inf": {"Active": PACKAGE},
    }, {}, False),
}


@pytest.mark.targets("native")
@pytest.mark.parametrize("row", list(STORED_ROWS))
@pytest.mark.parametrize("args", [[], ["-f", "-agree"]],
                         ids=["dry", "cleanup"])
def test_oem_inf_of_a_stored_package_is_named_and_kept(target, system, run,
                                                       row, args):
    keys, store, stored = STORED_ROWS[row]
    for key, values in keys.items():
        system.add_key(key, values)
    system.commit()
    system.plant(r"inf\oem2.inf", OEM2)
    system.plant(r"inf\oem2.pnf", b"PNF")
    for rel, data in store.items():
        system.plant(REPOSITORY + "\\" + rel, data)
    # A package left in the store is not asked about.
    text, status = run(args, keys=[(CHOICES, b"y")] if args and not stored
                       else [])
    found = "Found 'vkm310.sys' in file oem2.inf\n"
    if not stored:
        tail = question(Q_OEM, "y") + fixed_all(1) if args else found_dry(1)
        assert text == banner(target) + found + tail
        assert system.exists(r"inf\oem2.inf") != bool(args)
        return
    folder = [rel for rel in store if "vkm310" in rel][0].split("\\")[0]
    assert text == (
        banner(target) + found
        + "Its driver package is in the driver store: %s\n"
        % system.path(REPOSITORY + "\\" + folder)
        + "Left in place: remove it on that Windows with this tool, or "
        "there with \"pnputil /delete-driver oem2.inf /force\"\n"
        + (found_fixed(1, 0) if args else found_dry(1)))
    for rel in [r"inf\oem2.inf", r"inf\oem2.pnf"] + [
            REPOSITORY + "\\" + r for r in store]:
        assert system.exists(rel), rel
