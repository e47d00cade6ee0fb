"""Hostile and odd input: every run must end normally (status 0, a summary
as its last words), in reasonable time, and remove only what was agreed
to.  Rows that depend on Windows' own calls run under Wine too; the rest
need an offline installation and run natively."""

import os
import random
import re
import signal
import socket
import shutil
import subprocess

import hivex
import pytest

from vkmtest import harness
from vkmtest.texts import (CHOICES, CLEAN, DRVSTORE_KEY, Q_DRVSTORE, Q_KEY, Q_OEM,
                   SERVICES_KEY, UNINSTALL_KEY, banner, fixed_all, found_dry,
                   found_fixed, question)
from vkmtest.winsys import MKHIVE, Offline, log_hive, split_hive

LASTGOOD = r"LastGood\system32\drivers"
NOT_SCANNED = "driver files and OEM INF files are not scanned\n"
YES_TO_ALL = [(CHOICES, b"a")]


UNREAD = "place(s) could not be read: the system was not fully checked\n"


def ends_normally(text, status):
    """The last words of a finished run: its summary.  A run that could
    not read every place never calls the system clean."""
    assert status == 0
    assert re.search(r"\n\n(Nothing to do, this system is clean !"
                     r"|Nothing found, but \d+ place\(s\) could not be read:"
                     r" this system is not known to be clean"
                     r"|(\d+ item\(s\) found\nYou may run \"vkm310_cleanup -f\""
                     r" for cleanup|\d+ item\(s\) fixed\nYou must now reboot"
                     r" your system|\d+ item\(s\) found, \d+ fixed)"
                     r"(\n\d+ " + re.escape(UNREAD[:-1]) + r")?)\n"
                     r"(Backup of the removed items: <backup>\n)?\Z",
                     text), text[-400:]
    if "Not read: " in text or "SystemRoot is " in text:
        assert CLEAN not in text, text


def raw_keys(system, parent, keys):
    """Makes the keys of KEYS, {name: {value name: (type number, data
    bytes)}}, below PARENT, a SOFTWARE key, exactly as given: offline, a
    name may even hold a backslash."""
    if isinstance(system, Offline):
        system.add_key(parent)
        system.commit()
        h = hivex.Hivex(system.hive_file("SOFTWARE"), write=True)
        node = h.root()
        for n in parent.split("\\")[2:]:
            node = h.node_get_child(node, n)
        for name, values in keys.items():
            h.node_set_values(h.node_add_child(node, name), [
                {"key": k, "t": t, "value": v}
                for k, (t, v) in values.items()])
        h.commit(None)
        return
    lines = ["Windows Registry Editor Version 5.00", ""]
    for name, values in keys.items():
        lines.append("[HKEY_LOCAL_MACHINE%s\\%s]" % (parent[4:], name))
        lines += ['"%s"=hex(%x):%s' % (k, t, ",".join("%02x" % b for b in v))
                  for k, (t, v) in values.items()]
    path = os.path.join(system.prefix, "raw.reg")
    with open(path, "wb") as f:
        f.write("\r\n".join(lines + [""]).encode("utf-16"))
    system.wine("regedit", "/s", path)
    os.unlink(path)


# ---- SystemRoot ----

def folder_of_length(top, length):
    """A path of exactly LENGTH characters below TOP, nested folders of
    at most 100 characters each (a file system's limit is 255)."""
    path = str(top)
    assert length - len(path) >= 2
    while length - len(path) > 101:
        path += "/" + "d" * 100
    return path + "/" + "d" * (length - len(path) - 1)


@pytest.mark.targets("native")
@pytest.mark.parametrize("root, scanned", [
    (213, True), (214, False), (300, False),
    ("Program Files/Dïsk ünï Ωμέγα 日本", True),
], ids=["213", "214", "300", "blanks-non-ascii"])
def test_system_root(target, tmp_path, root, scanned):
    """Up to 213 characters every file scan works; beyond, they are all
    skipped with a line that says so while the registry is still cleaned,
    and the run was no full check."""
    if isinstance(root, int):
        base = folder_of_length(tmp_path, root - len("/Windows"))
    else:
        base = str(tmp_path / (root or "plain"))
    s = Offline(base)
    if isinstance(root, int):
        assert len(s.windir) == root
    s.add_key(DRVSTORE_KEY + r"\vkm310_pkg", {"Services": "vkm310"})
    s.commit()
    files = [r"inf\oem1.inf", r"inf\oem1.pnf", LASTGOOD + r"\busquellmark.sys",
             r"system32\DRVSTORE\vkm310_pkg\vkm310.sys"]
    s.plant(files[0], b"[SourceDisksFiles]\r\nvkm310.sys = 1\r\n")
    for f in files[1:]:
        s.plant(f)
    shown = s.shown(LASTGOOD + r"\busquellmark.sys")
    text, _, status = harness.run_tool(target, ["-f", "-agree"],
                                       keys=YES_TO_ALL, env=s.env)
    ends_normally(text, status)
    store = "Found 'vkm310' in\n\tDRVSTORE\\vkm310_pkg\n"
    if scanned:
        expected = ("Found 'vkm310.sys' in file oem1.inf\n"
                    + question(Q_OEM, "a") + store
                    + "Found file 'busquellmark.sys'\n(%s)\n" % shown
                    + fixed_all(3))
    else:
        # No driver-store folder to remove with the key: both stay.
        expected = ("SystemRoot is longer than 213 characters: " + NOT_SCANNED
                    + store + question(Q_DRVSTORE, "a")
                    + "FAILED (error 22)\n" + found_fixed(1, 0) + "1 " + UNREAD)
    assert text == banner(target) + expected
    assert s.key_exists(DRVSTORE_KEY + r"\vkm310_pkg") == (not scanned)
    for f in files:
        assert s.exists(f) == (not scanned), f


NO_SYSTEM = "SystemRoot (%s) is no Windows installation: %s\n"
# (id, SystemRoot below the test's folder or as given, what it is made of,
# the line that ends the run).
NO_INSTALLATION = [
    ("unset", None, None, "SystemRoot is not set: set it to the Windows"
     " folder of the installation to check\n"),
    ("empty-value", "", None, "SystemRoot is not set: set it to the Windows"
     " folder of the installation to check\n"),
    ("missing", "missing", None, NO_SYSTEM % ("{}", "no such folder")),
    ("empty-folder", "empty", "dir", NO_SYSTEM % ("{}",
                                                  "no System32 folder found")),
    ("dot", ".", None, NO_SYSTEM % (".", "no System32 folder found")),
    ("a-file", "file", "file", NO_SYSTEM % ("{}", "not a folder")),
    ("system32-file", "win", "system32-file",
     NO_SYSTEM % ("{}", "no System32 folder found")),
]


@pytest.mark.targets("native")
@pytest.mark.parametrize("root, made, line", [r[1:] for r in NO_INSTALLATION],
                         ids=[r[0] for r in NO_INSTALLATION])
def test_no_windows_installation(target, tmp_path, monkeypatch, root, made,
                                 line):
    """A SystemRoot that names no Windows installation ends the run with
    one line, before the disclaimer and with status 0: nothing is read,
    nothing is called clean."""
    monkeypatch.delenv("SystemRoot", raising=False)
    env = {}
    if root is not None:
        env["SystemRoot"] = root if root in ("", ".") else str(tmp_path / root)
    path = tmp_path / (root or "x")
    if made == "dir":
        path.mkdir()
    elif made == "file":
        path.write_bytes(b"")
    elif made == "system32-file":
        path.mkdir()
        (path / "SYSTEM32").write_bytes(b"")
    for args in ([], ["-f"]):
        text, _, status = harness.run_tool(target, args, env=env,
                                           cwd=str(tmp_path))
        assert (status, text) == (0, banner(target) + line.format(
            env.get("SystemRoot")))


def set_header(hive, data):
    with open(hive, "r+b") as f:
        f.write(data)


def make_fifo(hive):
    os.unlink(hive)
    os.mkfifo(hive)


def make_folder(hive):
    os.unlink(hive)
    os.mkdir(hive)


def make_socket(hive):
    """A socket in the hive's place: opening it fails (ENXIO).  Bound by
    its name from its folder, as a socket's path must be short."""
    os.unlink(hive)
    was = os.getcwd()
    os.chdir(os.path.dirname(hive))
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(os.path.basename(hive))
    finally:
        os.chdir(was)


def make_dangling(hive):
    os.unlink(hive)
    os.symlink(hive + ".gone", hive)


def log_bad_hash(hive):
    """A change only in the hive's log, one byte of its page spoiled."""
    log_hive(hive, {("Pending",): {}})
    with open(hive + ".LOG1", "r+b") as f:
        f.seek(600)
        b = f.read(1)[0]
        f.seek(600)
        f.write(bytes([b ^ 1]))


def log_of_another_hive(hive):
    """The hive not closed cleanly, beside it the log of another."""
    other = hive + ".other"
    shutil.copy(os.path.join(os.path.dirname(hive), "SOFTWARE"), other)
    log_hive(other, {("Pending",): {}})
    os.rename(other + ".LOG1", hive + ".LOG1")
    os.unlink(other)
    subprocess.run([MKHIVE, "--dirty", hive], check=True)


NOT_CLOSED = "Windows was not shut down cleanly and %s; nothing in it can be removed"


HIVE_FAULTS = {
    "missing": (os.unlink, "hive file missing"),
    "empty": (lambda h: os.truncate(h, 0), "hive file damaged"),
    "truncated": (lambda h: os.truncate(h, 5000), "hive file damaged"),
    "bad-header": (lambda h: set_header(h, b"fger"), "hive file damaged"),
    "folder": (make_folder, "hive file is not a plain file"),
    "fifo": (make_fifo, "hive file is not a plain file"),
    # The error is the C run-time's number, not Linux's (ENXIO, 6).
    "socket": (make_socket, "hive file cannot be read (error 22)"),
    "dangling-link": (make_dangling,
                      "hive file is a symbolic link, not followed"),
    "dirty": (lambda h: subprocess.run([MKHIVE, "--dirty", h], check=True),
              NOT_CLOSED % "no log brings it up to date"),
    "log-bad-hash": (log_bad_hash,
                     NOT_CLOSED % "its log SYSTEM.LOG1 is damaged"),
    "log-foreign": (log_of_another_hive,
                    NOT_CLOSED % "its log SYSTEM.LOG1 belongs to another hive"),
}
FOLDER_FAULTS = {
    # As root every folder can be listed: one that is no folder, or a link
    # not followed, is what cannot be.
    "inf-file": ("INF", "INF folder", "not a folder"),
    "drivers-file": (r"System32\drivers", "drivers folder", "not a folder"),
    "drvstore-link": (r"System32\DRVSTORE", "driver store folder",
                      "a symbolic link, not followed"),
}


def damage_subkey_list(system, keypath):
    """Points the subkey list of the key KEYPATH where no cell is: its
    subkeys cannot be listed."""
    hive, names = split_hive(keypath)
    path = system.hive_file(hive)
    h = hivex.Hivex(path)
    node = h.root()
    for n in names:
        node = h.node_get_child(node, n)
    data = bytearray(open(path, "rb").read())
    data[node + 0x20:node + 0x24] = (0x7ffff000).to_bytes(4, "little")
    with open(path, "wb") as f:
        f.write(data)


# Damage on the way to scan keys, or in a scan key's own list: (the key
# damaged, the scan keys named as not read when their scans come).
KEY_FAULTS = {
    "above-scan-keys": (DRVSTORE_KEY.rsplit("\\", 2)[0],
                        [DRVSTORE_KEY, UNINSTALL_KEY]),
    "in-scan-key": (UNINSTALL_KEY, [UNINSTALL_KEY]),
}
# (id, hives made unreadable, a hive, folder or key fault, a folder made
# unreadable or None).
# A hive not closed cleanly is read, as it stands: SYSTEM's alone, whose
# reading finds no item.
READ_AS_IS = ("dirty", "log-bad-hash", "log-foreign")
PLACE_ROWS = [("both-" + f, ("SOFTWARE", "SYSTEM"), f, None)
              for f in HIVE_FAULTS if f not in READ_AS_IS]
PLACE_ROWS += [("system-" + f, ("SYSTEM",), f, None)
               for f in ("fifo", "dangling-link", "bad-header") + READ_AS_IS]
PLACE_ROWS += [(f, (), None, f) for f in FOLDER_FAULTS]
PLACE_ROWS += [(f, (), f, None) for f in KEY_FAULTS]


@pytest.mark.targets("native")
@pytest.mark.parametrize("hives, fault, folder",
                         [r[1:] for r in PLACE_ROWS],
                         ids=[r[0] for r in PLACE_ROWS])
def test_places_not_read(target, system, run, tmp_path, hives, fault,
                         folder):
    """Each place that cannot be read is named, once, before the scans;
    what can be read is still scanned and cleaned; the summary never
    calls the system clean."""
    system.add_key(UNINSTALL_KEY + r"\vkm310", {"DisplayName": "VKM310"})
    system.commit()
    system.plant(r"inf\oem3.inf", b"[SourceDisksFiles]\r\nvkm310.sys=1\r\n")
    expected, later = "", []
    if fault in KEY_FAULTS:
        damage_subkey_list(system, KEY_FAULTS[fault][0])
        later = ["Not read: %s: cannot be read (error 22)\n" % k
                 for k in KEY_FAULTS[fault][1]]
    for h in hives:
        path = system.hive_file(h)
        HIVE_FAULTS[fault][0](path)
        expected += "Not read: HKLM\\%s (%s): %s\n" % (
            h, path, HIVE_FAULTS[fault][1])
    if folder:
        rel, place, why = FOLDER_FAULTS[folder]
        path = system.path(rel)
        shutil.rmtree(path)
        if why == "not a folder":
            open(path, "wb").close()
        else:
            (tmp_path / "elsewhere").mkdir()
            os.symlink(str(tmp_path / "elsewhere"), path)
        expected += "Not read: %s (%s): %s\n" % (place, path, why)
    unread = len(hives) + (folder is not None) + len(later)
    items, tail = [], ""
    if folder != "inf-file":
        items.append("Found 'vkm310.sys' in file oem3.inf\n")
    if "SOFTWARE" not in hives and not later:
        items.append("Found 'VKM310' in\n\tUNINSTALL\\vkm310\n(VKM310)\n")
    for args, keys in (([], []), (["-f", "-agree"], YES_TO_ALL[:len(items)])):
        text, status = run(args, keys=keys)
        ends_normally(text, status)
        assert text.startswith(banner(target) + expected), text
        if not items:
            tail = ("\nNothing found, but %d place(s) could not be read: this"
                    " system is not known to be clean\n" % unread)
        elif args:
            tail = fixed_all(len(items), "%d " % unread + UNREAD)
        else:
            tail = found_dry(len(items)) + "%d " % unread + UNREAD
        assert text.endswith(tail), text
        assert text.count("Not read: ") == unread, text
        for line in later:
            assert line in text, text
    if folder != "inf-file":
        assert not system.exists(r"inf\oem3.inf")


# (id, log format and log names; None: marked dirty, no log).
NOT_CLOSED_ROWS = [("no-log", None), ("new-logs", ("new", ("LOG1", "LOG2"))),
                   ("old-log", ("old", ("LOG",)))]


@pytest.mark.targets("native")
@pytest.mark.parametrize("logs", [r[1] for r in NOT_CLOSED_ROWS],
                         ids=[r[0] for r in NOT_CLOSED_ROWS])
def test_hive_not_closed_cleanly(target, system, run, logs):
    """A hive Windows did not close cleanly, its newest key only in its
    logs: brought up to date from them, the key is found and removed,
    and the backup keeps the hive and its logs as they were.  Without
    logs the hive is read as it stands, nothing in it is removed, and it
    counts as not read."""
    key = UNINSTALL_KEY + r"\vkm310"
    if logs is None:
        system.add_key(key, {"DisplayName": "VKM310"})
    system.commit()
    hive = system.hive_file("SOFTWARE")
    if logs is None:
        subprocess.run([MKHIVE, "--dirty", hive], check=True)
    else:
        system.log_key(key, {"DisplayName": "VKM310"}, *logs)
    config = os.path.dirname(hive)
    before = {n: open(os.path.join(config, n), "rb").read()
              for n in os.listdir(config)}
    text, status = run(["-f", "-agree"], keys=YES_TO_ALL)
    ends_normally(text, status)
    found = ("Found 'VKM310' in\n\tUNINSTALL\\vkm310\n(VKM310)\n"
             + question(Q_KEY, "a"))
    if logs is None:
        assert text == (banner(target)
                        + "Not read: HKLM\\SOFTWARE (%s): Windows was not"
                        " shut down cleanly and no log brings it up to date;"
                        " nothing in it can be removed\n" % hive
                        + found + "FAILED (error 13)\n"
                        + found_fixed(1, 0, unread="1 " + UNREAD))
        assert system.key_exists(key)
        return
    assert text == (banner(target)
                    + "Recovered: HKLM\\SOFTWARE (%s): Windows was not shut"
                    " down cleanly; its logs were applied\n" % hive
                    + found + fixed_all(1))
    assert not system.key_exists(key)
    assert system.key_exists(UNINSTALL_KEY)
    with open(hive, "rb") as f:
        head = f.read(12)
    assert head[4:8] == head[8:12], "the new hive is marked dirty"
    for name, data in before.items():
        if name != "SYSTEM":
            with open(system.backed_up(r"System32\config" "\\" + name),
                      "rb") as f:
                assert f.read() == data, name
        if name != "SOFTWARE":
            with open(os.path.join(config, name), "rb") as f:
                assert f.read() == data, name


# ---- INF files ----

def inf(*lines):
    return "".join(l + "\r\n" for l in lines).encode()


MB = 1 << 20
NOISE = bytes(random.Random(310).randrange(256) for _ in range(64 * 1024))
SECTION = inf("[Version]", 'Signature="$Windows NT$"', "[SourceDisksFiles]",
              "vkm310.sys = 1", "[Strings]")

# (id, content (50 MB ones are made sparse), name reported or None).
INF_ROWS = [
    ("empty", b"", None),
    ("nuls", b"\0" * 65536, None),
    ("noise", NOISE, None),
    ("section-then-noise", SECTION + NOISE, "vkm310.sys"),
    # A line read from a NUL reads as empty.
    ("nul-led-entry", inf("[SourceDisksFiles]", "\0vkm310.sys",
                          "rdx7pcsc_root.sys"), "rdx7pcsc_root.sys"),
    # A byte order mark makes a UTF-16 file text; without one the file is
    # read byte by byte and shows no section.
    ("utf16-bom", "\ufeff[SourceDisksFiles]\r\nvkm310.sys\r\n".encode(
        "utf-16-le"), "vkm310.sys"),
    ("utf16-be-bom", "\ufeff[SourceDisksFiles]\r\nvkm310.sys\r\n".encode(
        "utf-16-be"), "vkm310.sys"),
    ("utf16-be", "[SourceDisksFiles]\r\nvkm310.sys\r\n".encode("utf-16-be"),
     None),
    ("utf16-noise", b"\xff\xfe" + NOISE + b"\xff", None),
    ("50mb-section-first", (SECTION, 50 * MB), "vkm310.sys"),
    ("50mb-no-section", (inf("[Version]"), 50 * MB), None),
    ("1mb-line-before", inf("[Version]", "x" * MB) + SECTION, "vkm310.sys"),
    # A long line reads as pieces, each one entry: the five are used up.
    ("1mb-line-first-entry", inf("[SourceDisksFiles]", "x" * MB,
                                 "vkm310.sys"), None),
    ("1mb-blank-line", inf("[SourceDisksFiles]", " " * MB,
                           "tarnwickreader.sys"), "tarnwickreader.sys"),
]


@pytest.mark.targets("native", "win32")
def test_inf_files(target, system, run):
    """Each odd file is read to its answer without a crash or a wait; only
    files that name a target go, with their PNF files."""
    expected = []
    for number, (_, data, name) in enumerate(INF_ROWS):
        rel = r"inf\oem%d.inf" % number
        if isinstance(data, tuple):
            path = system.plant(rel, data[0])
            os.truncate(path, data[1])
        else:
            system.plant(rel, data)
        system.plant(r"inf\oem%d.pnf" % number, b"PNF")
        if name:
            expected.append("Found '%s' in file oem%d.inf\n" % (name, number))
    text, status = run(["-f", "-agree"], keys=YES_TO_ALL)
    ends_normally(text, status)
    assert text == (banner(target) + expected[0] + question(Q_OEM, "a")
                    + "".join(expected[1:]) + fixed_all(len(expected)))
    for number, (row, _, name) in enumerate(INF_ROWS):
        for ext in ("inf", "pnf"):
            assert system.exists(r"inf\oem%d.%s" % (number, ext)) == (
                name is None), row


@pytest.mark.targets("native")
def test_inf_reader_stops_at_the_section_end(target, system, tmp_path):
    """Of a 50 MB INF file only the part up to the end of its wanted
    section is read, once for each of the five entries."""
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    path = system.plant(r"inf\oem1.inf", SECTION)
    os.truncate(path, 50 * MB)
    log = tmp_path / "reads"
    env = harness.target_env(target, system.env)
    # A sanitizer build's leak check cannot run under a tracer.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    r = subprocess.run(["strace", "-qq", "-y", "-e", "trace=read", "-e",
                        "signal=none", "-o", str(log),
                        harness.program_path(target)], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       timeout=60)
    ends_normally(r.stdout.decode(), r.returncode)
    assert "Found 'vkm310.sys' in file oem1.inf\n" in r.stdout.decode()
    read = sum(int(n) for n in re.findall(r"oem1\.inf>, .*\) = (\d+)$",
                                          log.read_text("latin-1"), re.M))
    assert 0 < read < 5 * 8192, read


# ---- registry values ----

def utf16(text):
    return text.encode("utf-16-le")


def sized(n, nul=True, head=False):
    """A DisplayName of N characters that names the package at its start
    (HEAD) or end: a value read cut short or from the middle shows."""
    text = ("VKM310" + "a" * (n - 6)) if head else ("a" * (n - 6) + "VKM310")
    return (1, utf16(text + ("\0" if nul else "")))


NAMED = utf16("VKM310 reader\0")
# (key, (type, data), found).  Only a string that fits 260 bytes with its
# NUL is read; every other type is passed over whatever its data says.
VALUE_ROWS = [("t%x" % t, (t, NAMED), t in (1, 2))
              for t in (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x100, 0xffff)]
VALUE_ROWS += [("%s%d%s" % ("sz" if nul else "nonul", n, "h" if head else ""),
                sized(n, nul, head), n <= 259)
               for n in (258, 259, 260, 261) for nul in (True, False)
               for head in (False, True)]
VALUE_ROWS += [
    ("after-nul", (1, utf16("abc\0VKM310\0")), False),
    ("nul-then-long", (1, utf16("VKM310\0" + "x" * 300)), False),
    ("no-data", (1, b""), False),
    ("half-unit", (1, b"V"), False),
    # An odd last byte is half a character and dropped.
    ("odd-259", (1, sized(259)[1] + b"A"), True),
]


@pytest.mark.targets("native", "win32")
def test_value_types_and_sizes(target, system, run):
    raw_keys(system, UNINSTALL_KEY, {
        key: {"DisplayName": value, "Other": (1, utf16("vkm310\0"))}
        for key, value, _ in VALUE_ROWS})
    text, status = run([])
    ends_normally(text, status)
    reported = re.findall(r"\tUNINSTALL\\(\S+)\n", text)
    assert reported == sorted(k for k, _, found in VALUE_ROWS if found)
    assert text.endswith(found_dry(len(reported)))


# ---- subkey names ----

# Names of driver-store keys that a careless command would turn against
# the folders around DRVSTORE: with cwd set to DRVSTORE, "keep" is the
# neighbour folder a split command line would remove.
LONG_NAMES = ["vkm310_" + "x" * (n - 7) for n in (201, 255)]
STORE_NAMES = LONG_NAMES + [
    "with blank", "a & b", "a & rmdir /s /q keep", 'q" & rmdir /s /q keep & "',
    "100% & rmdir keep", "%windir%", "!cd!", "x^& rmdir keep",
    "(a) ; b, c = d", ".", ".."]
# Names only a hive edited offline can hold.
OFFLINE_NAMES = [r"..\..", r"..\keep", "../keep", "C:", "/"]
# Reachable names that are no single folder name: reported, never removed.
PASSED_OVER = [".", "..", "a & rmdir /s /q keep", 'q" & rmdir /s /q keep & "',
               "../keep", "C:", "/"]


@pytest.mark.targets("native", "win32", "win64")
def test_driver_store_key_names(target, system):
    """Every key that can be named and whose name is one folder name goes
    when agreed to, with its folder; the others are passed over and stay.
    Nothing outside DRVSTORE goes: the neighbour folder and the files
    around the store stay."""
    offline = OFFLINE_NAMES if target == "native" else []
    raw_keys(system, DRVSTORE_KEY, {n: {"Services": (1, utf16("vkm310\0"))}
                                    for n in STORE_NAMES + offline})
    plain = ["with blank", "a & b", "(a) ; b, c = d"]
    for n in plain + LONG_NAMES:
        system.plant(r"system32\DRVSTORE\%s\vkm310.sys" % n)
    sentinels = [r"system32\DRVSTORE\keep\keep.sys", r"system32\sentinel.dll",
                 r"sentinel.ini", r"system32\drivers\other.sys"]
    for f in sentinels:
        system.plant(f)
    # Started in the store, where a relative name would be taken from
    # (offline the backup may not go there: it goes beside the system).
    text, _, status = harness.run_tool(
        target, ["-f", "-agree"], keys=YES_TO_ALL, env=system.env,
        cwd=system.workdir if target == "native"
        else system.path(r"system32\DRVSTORE"))
    ends_normally(text, status)
    # Windows' ANSI registry calls take a path of at most 260 characters
    # below HKLM; offline, a name holding a separator cannot be walked to.
    # Such keys are never reported and stay.
    unreachable = [n for n in STORE_NAMES + offline if "\\" in n or (
        target != "native" and len(DRVSTORE_KEY) - 4 + len(n) > 260)]
    found = len(STORE_NAMES + offline) - len(unreachable)
    passed_over = [n for n in PASSED_OVER if n in STORE_NAMES + offline]
    # On Windows the copy of a folder is made with paths of at most 260
    # characters: an item whose copy would need more is not kept, so
    # not removed.
    backup_folder = r"C:\vkm310_backup-20261208-071530\SystemRoot"
    too_long = [n for n in plain + LONG_NAMES if target != "native"
                and n not in unreachable and len(
                    backup_folder + r"\system32\DRVSTORE\%s\vkm310.sys" % n)
                >= 260]
    assert text.count("FAILED (error 2)\n") == len(too_long)
    assert text.endswith(found_fixed(found, found - len(passed_over)
                                     - len(too_long)))
    assert sorted(system.subkeys(DRVSTORE_KEY)) == sorted(
        unreachable + passed_over + too_long)
    for n in too_long:
        assert system.exists(r"system32\DRVSTORE\%s\vkm310.sys" % n), n
    for n in plain:
        assert not system.exists(r"system32\DRVSTORE\%s" % n), n
    for f in sentinels:
        assert system.exists(f), f


@pytest.mark.targets("native", "win32")
def test_every_subkey_is_examined(target, system, run):
    """More than 1000 subkeys: those near the end are found too."""
    for i in range(1200):
        name = "k%04d" % i
        label = "VKM310 " if i in (5, 999, 1000, 1198) else "app "
        system.add_key(UNINSTALL_KEY + "\\" + name,
                       {"DisplayName": label + name})
    system.commit()
    text, status = run([])
    ends_normally(text, status)
    assert re.findall(r"\tUNINSTALL\\(\S+)\n", text) == [
        "k0005", "k0999", "k1000", "k1198"]
    assert text.endswith(found_dry(4))
    assert len(system.subkeys(UNINSTALL_KEY)) == 1200


# ---- files that are not plain files ----

@pytest.mark.targets("native", "win32")
def test_driver_file_that_is_a_folder(target, system, run):
    folders = [r"system32\drivers\vkm310.sys", LASTGOOD + r"\busquellmark.sys"]
    for d in folders:
        system.plant(d + r"\inner.sys")
    system.plant(r"system32\drivers\tarnwickreader.sys")
    text, status = run(["-f", "-agree"], keys=YES_TO_ALL)
    ends_normally(text, status)
    assert re.findall(r"Found file '(.*)'", text) == ["tarnwickreader.sys"]
    assert text.endswith(fixed_all(1))
    assert not system.exists(r"system32\drivers\tarnwickreader.sys")
    for d in folders:
        assert system.exists(d + r"\inner.sys"), d


@pytest.mark.targets("native")
def test_links_go_their_targets_stay(target, system, run, tmp_path):
    """An offline disk may hold links out of the Windows folder: removing
    an item removes the link, never what it points at."""
    outside = tmp_path / "outside"
    (outside / "store").mkdir(parents=True)
    (outside / "store" / "keep.sys").write_bytes(b"keep")
    (outside / "file.sys").write_bytes(b"keep")
    (outside / "inner").mkdir()
    (outside / "inner" / "keep.sys").write_bytes(b"keep")
    system.add_key(DRVSTORE_KEY + r"\vkm310_link", {"Services": "vkm310"})
    system.add_key(DRVSTORE_KEY + r"\vkm310_real", {"Services": "vkm310"})
    system.commit()
    links = {r"system32\DRVSTORE\vkm310_link": outside / "store",
             r"system32\drivers\vkm310.sys": outside / "file.sys",
             r"system32\DRVSTORE\vkm310_real\inner": outside / "inner"}
    system.plant(r"system32\DRVSTORE\vkm310_real\vkm310.sys")
    for rel, dest in links.items():
        os.symlink(str(dest), system.path(rel))
    text, status = run(["-f", "-agree"], keys=YES_TO_ALL)
    ends_normally(text, status)
    assert text.endswith(fixed_all(3))
    for rel in links:
        assert not os.path.lexists(system.path(rel)), rel
    assert not system.exists(r"system32\DRVSTORE\vkm310_real")
    for f in ("store/keep.sys", "file.sys", "inner/keep.sys"):
        assert (outside / f).read_bytes() == b"keep", f


# Folders of an offline disk that are links leading off it (an absolute
# link names a place on this machine), each to a folder holding what would
# be leftovers there; plus a folder inside the Windows folder.
OFF_DISK = ["System32\\DRVSTORE", "System32\\drivers", LASTGOOD, "INF",
            "System32", "System32\\config", "LastGood", "LastGood\\System32"]


@pytest.mark.targets("native")
@pytest.mark.parametrize("folder", OFF_DISK)
def test_folders_leading_off_the_disk(target, system, run, tmp_path, folder):
    """Nothing reached through the link is read, reported or removed; the
    run names the link once and goes on with what is really there."""
    system.add_key(DRVSTORE_KEY + r"\vkm310_pkg", {"Services": "vkm310"})
    system.add_key(UNINSTALL_KEY + r"\vkm310", {"DisplayName": "VKM310"})
    system.commit()
    for rel, data in ((r"system32\DRVSTORE\vkm310_pkg\vkm310.sys", b"MZ"),
                      (r"system32\drivers\vkm310.sys", b"MZ"),
                      (LASTGOOD + r"\tarnwickreader.sys", b"MZ"),
                      (r"inf\oem3.inf", b"[SourceDisksFiles]\r\nvkm310.sys=1\r\n"),
                      (r"inf\oem3.pnf", b"PNF")):
        system.plant(rel, data)
    link = system.path(folder)
    outside = tmp_path / "outside"
    shutil.move(link, str(outside))
    os.symlink(str(outside), link)
    kept = {p: p.read_bytes() for p in outside.rglob("*") if p.is_file()}
    text, status = run(["-f", "-agree"],
                       keys=[] if folder == "System32" else YES_TO_ALL)
    if folder == "System32":
        # Without its own System32 the folder is no Windows installation.
        assert (status, text) == (0, banner(target) + (
            "SystemRoot (%s) is no Windows installation: its System32 is a"
            " symbolic link, not followed\n" % system.windir))
        return
    ends_normally(text, status)
    # Never called clean: the place behind the link was not read.
    assert re.search(r"^Not read: .*\(%s[/)]" % re.escape(link), text,
                     re.M), text
    assert text.count("Not followed: '%s' is a symbolic link\n" % link) == 1
    assert "Not followed" not in text.replace(
        "Not followed: '%s'" % link, ""), text
    assert str(outside) not in text
    assert {p: p.read_bytes() for p in outside.rglob("*")
            if p.is_file()} == kept
    assert os.path.islink(link)


# ---- no console ----

@pytest.mark.targets("native", "win32")
def test_closed_stdin_and_no_terminal(target, system):
    """Standard input closed, not merely empty, and no terminal: no key can
    come, so the disclaimer is declined and, agreed on the command line,
    the first question cancels.  Nothing goes, nothing waits."""
    system.add_key(DRVSTORE_KEY + r"\vkm310_pkg", {"Services": "vkm310"})
    system.commit()
    files = [r"system32\DRVSTORE\vkm310_pkg\vkm310.sys",
             r"system32\drivers\vkm310.sys"]
    for f in files:
        system.plant(f)
    for args, tail in ((["-f"], "No !\n"), (["-f", "-agree"], "Cancel...\n\n"
                                            "\n1 item(s) found, 0 fixed\n")):
        p = subprocess.Popen(harness.command(target, args),
                             env=harness.target_env(target, system.env),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             start_new_session=True,
                             preexec_fn=lambda: os.close(0))
        try:
            out, _ = p.communicate(timeout=60)
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.communicate()
        assert p.returncode == 0
        assert out.replace(b"\r\n", b"\n").decode().endswith(tail), out
    assert system.key_exists(DRVSTORE_KEY + r"\vkm310_pkg")
    for f in files:
        assert system.exists(f), f


# ---- terminal controls in data ----

# A value that asks an xterm-like terminal for colour 145: the terminal
# answers with ESC ] 4;145;rgb:aaaa/aaaa/aaaa BEL, as if typed.
COLOUR_QUERY = "\x1b]4;145;?\x07"
COLOUR_REPLY = b"\x1b]4;145;rgb:aaaa/aaaa/aaaa\x07"
IMAGE_PATH = r"\SystemRoot\System32\drivers\vkm310.sys"


def no_raw_controls(raw):
    """Only the program's own line ends and tabs are control bytes."""
    text = raw.replace(b"\r\n", b"\n")
    bad = [b for b in text if (b < 0x20 and b not in b"\n\t") or b == 0x7F]
    assert not bad, raw


def test_controls_in_values_are_shown_as_question_marks(target, system):
    system.add_key(UNINSTALL_KEY + r"\{CC-01}", {"DisplayName": (
        "expand", "VKM310 " + COLOUR_QUERY + " \x1b[2J\r\x7f\tend")})
    system.add_key(SERVICES_KEY + r"\RdxQuery", {"ImagePath": (
        "expand", IMAGE_PATH + "\x1b]2;owned\x07\n")})
    system.commit()
    result = harness.run_tool(target, [], env=system.env)
    assert result.text == (
        banner(target)
        + "Found 'VKM310' in\n\tUNINSTALL\\{CC-01}\n"
        "(VKM310 ?]4;145;?? ?[2J???end)\n"
        + "Found 'vkm310' in service RdxQuery\n(%s?]2;owned??)\n" % IMAGE_PATH
        + found_dry(2))
    no_raw_controls(result.raw)


@pytest.mark.targets("native")
def test_terminal_reply_answers_no_question(target, system):
    """The terminal's replies reach the prompt as bytes: none of their
    letters answers, and only the "n" typed after them does."""
    system.add_key(UNINSTALL_KEY + "\\Q\x1b[6n\u009b6n", {
        "DisplayName": "VKM310 " + COLOUR_QUERY})
    system.add_key(SERVICES_KEY + "\\Rdx\x1b]11;?\x07", {
        "ImagePath": ("expand", IMAGE_PATH + "\x1b[c\u0085")})
    system.commit()
    keys = [(CHOICES, COLOUR_REPLY + b"\x1b[12;5R\xc2\x9b12;5R"),
            (None, b"n"),
            (CHOICES, b"\x1b]11;rgb:0000/0000/0000\x1b\\\x1b[?1;2c"),
            (None, b"\x1b[?2026;2$y\x1bP1$r0m\x1b\\n")]
    result = harness.run_tool(target, ["-f", "-agree"], keys=keys,
                              env=system.env)
    assert result.text == (
        banner(target)
        + "Found 'VKM310' in\n\tUNINSTALL\\Q?[6n?6n\n(VKM310 ?]4;145;??)\n"
        + question(Q_KEY, "n")
        + "Found 'vkm310' in service Rdx?]11;??\n(%s?[c?)\n" % IMAGE_PATH
        + question(Q_KEY, "n")
        + found_fixed(2, 0))
    no_raw_controls(result.raw)
    assert system.key_exists(UNINSTALL_KEY + "\\Q\x1b[6n\u009b6n")
    assert system.key_exists(SERVICES_KEY + "\\Rdx\x1b]11;?\x07")


@pytest.mark.targets("native")
@pytest.mark.parametrize("spelling", ["as-on-disk", "other-case"])
def test_no_backup_inside_the_windows_folder(target, system, spelling):
    """Started inside the offline Windows folder, the run makes no backup
    there, says so once, and removes nothing: the folders are compared,
    not their names, which SystemRoot may spell in another letter case."""
    system.add_key(UNINSTALL_KEY + r"\{X}", {"DisplayName": "VKM310"})
    system.commit()
    system.plant(r"system32\drivers\vkm310.sys")
    cwd = system.path("system32")
    env = dict(system.env)
    if spelling == "other-case":
        top, name = os.path.split(system.windir)
        env["SystemRoot"] = os.path.join(top, name.swapcase())
        assert not os.path.exists(env["SystemRoot"])
    result = harness.run_tool(target, ["-f", "-agree"], keys=YES_TO_ALL,
                              env=env, cwd=cwd)
    assert result.text == (
        banner(target) + "Found 'VKM310' in\n\tUNINSTALL\\{X}\n(VKM310)\n"
        + question(Q_KEY, "a")
        + "No backup folder can be made (error 13): nothing is removed\n"
        + "FAILED (error 13)\n"
        + "Found file 'vkm310.sys'\n(%s)\n"
        % system.shown(r"system32\drivers\vkm310.sys")
        + "FAILED (error 13)\n" + found_fixed(2, 0))
    assert system.key_exists(UNINSTALL_KEY + r"\{X}")
    assert system.exists(r"system32\drivers\vkm310.sys")
    assert not [n for n in os.listdir(cwd) if n.startswith("vkm310_backup")]
