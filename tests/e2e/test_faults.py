"""An offline cleanup that is killed half way, or that cannot write its
hives: each hive stays one the tool wrote whole (or the original), the
copy in the run's backup folder is the original, and a failed change is
not counted as done.  Native only: these are the offline hive's own guarantees."""

import ctypes
import os
import random
import re
import shutil
import signal
import subprocess
import time

import hivex
import pytest

from vkmtest import harness
from vkmtest.texts import (CHOICES, DRVSTORE_KEY as STORE, Q_KEY, UNINSTALL_KEY as
                   UNINSTALL, banner, fixed_all, found_fixed, question)
from vkmtest.winsys import Offline, MKHIVE, fill_disk, mounted_tmpfs

pytestmark = pytest.mark.targets("native")

CLASS = (r"HKLM\SYSTEM\ControlSet001\Control\Class"
         r"\{50DD5230-BA8A-11D1-BF5D-0000F805F530}")
SERVICES = r"HKLM\SYSTEM\ControlSet001\Services"
HIVES = ("SOFTWARE", "SYSTEM")
KILLS = 50


def hive_path(keypath):
    """('SOFTWARE', 'Microsoft\\...') for a HKLM key path."""
    _, hive, rest = keypath.split("\\", 2)
    return hive, rest


def build(base):
    """An installation with 23 leftovers, listed in the order a run removes
    them, each as its facts: ("key", hive, path) or ("file", rel).
    Neighbours of every kind that must survive sit between them."""
    s = Offline(base)
    items = [[("file", r"inf\oem3.inf"), ("file", r"inf\oem3.pnf")]]
    s.plant(r"inf\oem3.inf", b"[SourceDisksFiles]\r\nvkm310.sys = 1\r\n")
    s.plant(r"inf\oem3.pnf", b"PNF")
    s.plant(r"inf\oem4.inf", b"[SourceDisksFiles]\r\nother.sys = 1\r\n")
    kinds = [
        (STORE + r"\vkm310_%s", {"Services": "vkm310"},
         STORE + r"\other_%s", {"Services": "other"}),
        (UNINSTALL + r"\app_vkm310_%s", {"DisplayName": "VKM310 driver"},
         UNINSTALL + r"\app_other_%s", {"DisplayName": "Other"}),
        (CLASS + r"\00%s0", {"InfSection": "vkm310_inst"},
         CLASS + r"\00%s1", {"InfSection": "other_inst"}),
        (SERVICES + r"\svc_vkm310_%s",
         {"ImagePath": ("expand", r"system32\drivers\vkm310.sys")},
         SERVICES + r"\svc_other_%s", {"ImagePath": r"drivers\other.sys"}),
    ]
    for kind, (key, values, other, other_values) in enumerate(kinds):
        for tag in "12345":
            s.add_key(key % tag, values)
            s.add_key(key % tag + r"\Settings", {"Level": 1})
            s.add_key(other % tag, other_values)
            item = [("key",) + hive_path(key % tag),
                    ("key",) + hive_path(key % tag + r"\Settings")]
            if kind == 0:
                rel = r"system32\DRVSTORE\vkm310_%s" % tag
                s.plant(rel + r"\vkm310.sys")
                s.plant(rel + r"\vkm310.inf")
                item += [("file", rel + r"\vkm310.sys"),
                         ("file", rel + r"\vkm310.inf"), ("file", rel)]
            items.append(item)
    for rel in (r"system32\drivers\vkm310.sys",
                r"LastGood\system32\drivers\tarnwickreader.sys"):
        s.plant(rel)
        items.append([("file", rel)])
    s.plant(r"system32\drivers\other.sys")
    s.plant(r"system32\DRVSTORE\other_1\other.sys")
    s.commit()
    return s, items


def hive_dump(path):
    """{key path: sorted values} of the hive at PATH; raises when the
    file is no hive libhivex can read.  A key listed twice (a damaged
    hive) is walked where it is met first."""
    h = hivex.Hivex(path)
    keys = {}
    seen = set()

    def walk(node, prefix):
        for child in h.node_children(node):
            if child in seen:
                continue
            seen.add(child)
            name = prefix + h.node_name(child)
            keys[name] = sorted((h.value_key(v), h.value_value(v))
                                for v in h.node_values(child))
            walk(child, name + "\\")

    walk(h.root(), "")
    return keys


def snapshot(windir):
    """Every file and folder below WINDIR (relative, lower case, '\\'),
    and every key of both hives with its values."""
    files = set()
    for top, dirs, names in os.walk(windir):
        for n in dirs + names:
            rel = os.path.relpath(os.path.join(top, n), windir)
            files.add(rel.replace("/", "\\").lower())
    config = os.path.join(windir, "System32", "config")
    hives = {h: hive_dump(os.path.join(config, h)) for h in HIVES}
    return files, hives


def fact_there(fact, files, hives):
    if fact[0] == "file":
        return fact[1].lower() in files
    return fact[2] in hives[fact[1]]


def check_consistent(before, after, items):
    """AFTER is BEFORE less the first K items, the item after them maybe
    half done in its files but never in its keys.  Returns K."""
    files0, hives0 = before
    files, hives = after
    state = []
    for item in items:
        there = [fact_there(f, files, hives) for f in item]
        keys = [t for f, t in zip(item, there) if f[0] == "key"]
        assert all(keys) or not any(keys), ("key tree half gone", item)
        state.append("present" if all(there) else
                     "gone" if not any(there) else "partial")
        if state[-1] == "partial":
            assert all(keys), ("files of a removed key remain", item)
    done = state.index("present") if "present" in state else len(state)
    assert all(s == "gone" for s in state[:max(done - 1, 0)]), state
    assert all(s == "present" for s in state[done:]), state
    if done and state[done - 1] == "partial":
        done -= 1
    # Nothing else changed: every file and key that is no item's is there,
    # and every key that is still there holds its values.
    item_files = {f[1].lower() for it in items for f in it if f[0] == "file"}
    missing = {f for f in files0 - files if f not in item_files}
    assert not missing, missing
    for h in HIVES:
        item_keys = {f[2] for it in items for f in it if f[:2] == ("key", h)}
        for key, values in hives0[h].items():
            if key in hives[h]:
                assert hives[h][key] == values, (h, key)
            else:
                assert key in item_keys, (h, key)
        assert set(hives[h]) <= set(hives0[h]), h
    return done


def run_full(env, workdir):
    """One whole run answered with A (typed ahead), its backup made in
    WORKDIR/cwd: (seconds, output, the backup line shown as <backup>)."""
    cwd = os.path.join(workdir, "cwd")
    os.makedirs(cwd, exist_ok=True)
    r = harness.run_tool("native", ["-f", "-agree"], keys=[(None, b"a")],
                         env=env, cwd=cwd)
    return r.seconds, r.text


def test_killed_cleanup_leaves_consistent_hives(target, tmp_path):
    pristine, items = build(str(tmp_path / "pristine"))
    before = snapshot(pristine.windir)
    originals = {h: open(pristine.hive_file(h), "rb").read() for h in HIVES}
    work = str(tmp_path / "work")
    windir = os.path.join(work, "Windows")
    config = os.path.join(windir, "System32", "config")
    env = {"SystemRoot": windir}

    def fresh():
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(pristine.base, work, symlinks=True)

    # Whole runs first: they remove all 23 in the order of ITEMS, and tell
    # how long a run lasts (writes that reach the disk vary a lot: the
    # middle one of three, which a slow one does not stretch).
    spans = []
    for _ in range(3):
        fresh()
        took, text = run_full(env, str(tmp_path))
        spans.append(took)
        assert text.endswith(fixed_all(len(items))), text[-300:]
        assert check_consistent(before, snapshot(windir), items) == len(items)

    span = sorted(spans)[1]
    rng = random.Random(310)
    outcomes, seen, leftovers = [], set(), 0
    for i in range(KILLS):
        fresh()
        # One random moment in each of KILLS equal slices of the run.
        delay = span * (i + rng.random()) / KILLS
        killed_cwd = str(tmp_path / ("killed%d" % i))
        os.makedirs(killed_cwd)
        run = harness.start("native", ["-f", "-agree"], env, killed_cwd)
        run.send(b"a")
        time.sleep(delay)
        # The whole group.
        run.kill([signal.SIGKILL])
        run.close()
        after = snapshot(windir)
        done = check_consistent(before, after, items)
        outcomes.append(done)
        temps = [n for n in os.listdir(config) if ".tmp" in n]
        leftovers += bool(temps)
        # A hive copy the killed run made is the hive before it.
        for h in HIVES:
            for b in os.listdir(killed_cwd):
                copy = os.path.join(killed_cwd, b, "SystemRoot", "System32",
                                    "config", h)
                if os.path.exists(copy):
                    assert open(copy, "rb").read() == originals[h], (i, h)
        # A new run finishes the job from each kind of state a kill left,
        # temporary files included.
        kind = (done, len(after[0]), bool(temps))
        if kind in seen:
            continue
        seen.add(kind)
        took, text = run_full(env, str(tmp_path))
        assert re.search(r"\n\n(Nothing to do, this system is clean !\n|\d+ "
                         r"item\(s\) fixed\nYou must now reboot your system"
                         r"\nBackup of the removed items: <backup>\n)\Z",
                         text), (i, delay, text[-300:])
        # A PNF file is only found through its INF file: killed between
        # the two, it stays for good.
        pnf = ("file", r"inf\oem3.pnf")
        rest = items
        if fact_there(pnf, *after) and not fact_there(items[0][0], *after):
            rest = [items[0][:1]] + items[1:]
        assert check_consistent(before, snapshot(windir), rest) == len(rest)
    print("run %.3f s; items done when killed: %s; kills leaving temporary"
          " files: %d; resumed: %d" % (span, outcomes, leftovers, len(seen)))
    # Enough kills must have met the run among its registry items.
    assert len([d for d in outcomes if 1 < d < len(items) - 2]) >= 5, outcomes


# ---- hives that cannot be written ----

@pytest.fixture
def small_disk(tmp_path):
    mnt = tmp_path / "disk"
    mnt.mkdir()
    with mounted_tmpfs(str(mnt), "size=2m"):
        yield str(mnt)


@pytest.mark.parametrize("case", ["dirty", "disk-full", "backup-disk-full"])
def test_hive_that_cannot_be_written(target, tmp_path, request, case):
    """The keys of an unwritable SOFTWARE hive are reported and, agreed to,
    not counted as removed; the file keeps its bytes.  The run goes on to
    the other items and ends as usual.  With no room for the backup
    (the folder is made, no copy fits) nothing at all is removed, and the
    run names no backup."""
    base = request.getfixturevalue("small_disk") if case == "disk-full" \
        else str(tmp_path)
    cwd = request.getfixturevalue("small_disk") \
        if case == "backup-disk-full" else str(tmp_path / "cwd")
    os.makedirs(cwd, exist_ok=True)
    s = Offline(os.path.join(base, "offline"))
    s.add_key(UNINSTALL + r"\app_vkm310_a", {"DisplayName": "VKM310 a"})
    s.add_key(UNINSTALL + r"\app_vkm310_b", {"DisplayName": "VKM310 b"})
    s.add_key(SERVICES + r"\svc_vkm310", {"ImagePath": "vkm310.sys"})
    s.commit()
    s.plant(r"system32\drivers\vkm310.sys")
    hive = s.hive_file("SOFTWARE")
    if case == "dirty":
        subprocess.run([MKHIVE, "--dirty", hive], check=True)
    else:
        fill_disk(cwd if case == "backup-disk-full" else base, 0)
    originals = {h: open(s.hive_file(h), "rb").read() for h in HIVES}
    result = harness.run_tool("native", ["-f", "-agree"],
                              keys=[(CHOICES, b"a")], env=s.env, cwd=cwd)
    assert result.status == 0
    writable_system = case == "dirty"
    # Refused by a hive read only from the start, lost to the full disk,
    # or (no room for the backup) not even tried.
    no_backup = case == "backup-disk-full"
    sw = "FAILED (error %d)\n" % (13 if case == "dirty" else 28)
    other = "FAILED (error 28)\n" if case != "dirty" else ""
    read_only = ("Not read: HKLM\\SOFTWARE (%s): Windows was not shut down"
                 " cleanly and no log brings it up to date; nothing in it can"
                 " be removed\n" % hive if case == "dirty" else "")
    unread = ("1 place(s) could not be read: the system was not fully"
              " checked\n" if case == "dirty" else "")
    fixed = 0 if no_backup else 2 if writable_system else 1
    assert result.text == (
        banner("native") + read_only
        + "Found 'VKM310' in\n\tUNINSTALL\\app_vkm310_a\n(VKM310 a)\n"
        + question(Q_KEY, "a") + sw
        + "Found 'VKM310' in\n\tUNINSTALL\\app_vkm310_b\n(VKM310 b)\n"
        + sw
        + "Found 'vkm310' in service svc_vkm310\n(vkm310.sys)\n" + other
        + "Found file 'vkm310.sys'\n(%s)\n" % s.shown(
            r"system32\drivers\vkm310.sys")
        + ("FAILED (error 28)\n" if no_backup else "")
        + found_fixed(4, fixed, unread=unread))
    for h in HIVES:
        if h == "SOFTWARE" or no_backup or not writable_system:
            assert open(s.hive_file(h), "rb").read() == originals[h], h
    assert s.key_exists(UNINSTALL + r"\app_vkm310_a")
    assert s.key_exists(UNINSTALL + r"\app_vkm310_b")
    assert s.key_exists(SERVICES + r"\svc_vkm310") != writable_system
    assert s.exists(r"system32\drivers\vkm310.sys") == no_backup
    config = os.path.dirname(hive)
    assert [n for n in os.listdir(config) if ".tmp" in n] == []
    if not no_backup:
        # Each hive a removal was tried in is kept as it was before; a
        # read-only one is known to refuse before anything is kept.
        for h in HIVES:
            copy = os.path.join(s.host_path(result.backup), "SystemRoot",
                                "System32", "config", h)
            if case == "dirty" and h == "SOFTWARE":
                assert not os.path.exists(copy)
            else:
                assert open(copy, "rb").read() == originals[h], h


# ---- what a replaced hive keeps ----

NTFS_ATTRIBS = ("system.ntfs_attrib", "system.ntfs_acl")


@pytest.fixture
def ntfs_disk(tmp_path):
    """A fresh NTFS file system mounted through ntfs-3g, with owners and
    modes kept (in each file's security descriptor)."""
    for tool in ("mkntfs", "ntfs-3g"):
        if shutil.which(tool) is None and not os.path.exists(
                "/usr/sbin/" + tool):
            pytest.skip("%s is not installed (Debian ntfs-3g)" % tool)
    if not os.path.exists("/dev/fuse"):
        pytest.skip("no /dev/fuse: FUSE is not available here")
    image, mnt = tmp_path / "ntfs.img", tmp_path / "ntfs"
    mnt.mkdir()
    with open(image, "wb") as f:
        f.truncate(32 << 20)
    mkntfs = shutil.which("mkntfs") or "/usr/sbin/mkntfs"
    subprocess.run([mkntfs, "-F", "-Q", "-q", str(image)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    r = subprocess.run(["ntfs-3g", "-o", "permissions", str(image),
                        str(mnt)], stderr=subprocess.PIPE)
    if r.returncode != 0:
        pytest.skip("cannot mount with ntfs-3g here: %s"
                    % r.stderr.decode().strip())
    yield str(mnt)
    subprocess.run(["umount", str(mnt)])


def getxattr(path, name):
    """The extended attribute NAME of PATH, its size asked first:
    ntfs-3g answers a buffer too small for a security descriptor with
    EIO, not ERANGE, so os.getxattr's first guess fails there."""
    libc = ctypes.CDLL(None, use_errno=True)
    p, n = os.fsencode(path), name.encode()
    size = libc.getxattr(p, n, None, 0)
    buf = ctypes.create_string_buffer(max(size, 1))
    if size < 0 or libc.getxattr(p, n, buf, size) != size:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err), path)
    return buf.raw[:size]


def file_meta(path, ntfs):
    """Owner, group, mode and every extended attribute of PATH (listed
    ones, and on NTFS the attributes and security descriptor)."""
    st = os.lstat(path)
    names = set(os.listxattr(path)) | (set(NTFS_ATTRIBS) if ntfs else set())
    return (st.st_uid, st.st_gid, st.st_mode & 0o7777,
            {n: getxattr(path, n) for n in sorted(names)})


@pytest.mark.parametrize("disk", ["here", "ntfs"])
def test_replaced_hive_keeps_metadata(target, tmp_path, request, disk):
    """A hive the cleanup rewrites keeps its owner, group, mode and
    extended attributes (on NTFS its file attributes and security
    descriptor), and the temporary files a killed run left beside it go;
    files that only look like them stay."""
    base = request.getfixturevalue("ntfs_disk") if disk == "ntfs" else str(
        tmp_path)
    s = Offline(os.path.join(base, "offline"))
    s.add_key(UNINSTALL + r"\app_vkm310", {"DisplayName": "VKM310 a"})
    s.commit()
    hive = s.hive_file("SOFTWARE")
    config = os.path.dirname(hive)
    os.chown(hive, 1234, 5678)
    os.chmod(hive, 0o640)
    os.setxattr(hive, "user.vkm310", b"kept")
    if disk == "ntfs":
        # Archive, system, hidden: as Windows keeps a hive.
        os.setxattr(hive, "system.ntfs_attrib", (0x26).to_bytes(4, "little"))
    stale, decoys = "SOFTWARE.tmpAb12Cd", ["SOFTWARE.tmpAb12C",
                                            "SYSTEM.tmpAb12Cd"]
    for name in [stale] + decoys:
        with open(os.path.join(config, name), "wb") as f:
            f.write(b"half a hive")
    before, inode = file_meta(hive, disk == "ntfs"), os.stat(hive).st_ino

    text, _, status = harness.run_tool("native", ["-f", "-agree"],
                                       keys=[(CHOICES, b"a")], env=s.env)
    assert status == 0
    assert text.endswith(fixed_all(1)), text
    assert not s.key_exists(UNINSTALL + r"\app_vkm310")
    assert os.stat(hive).st_ino != inode, "not replaced by a new file"
    assert file_meta(hive, disk == "ntfs") == before
    assert sorted(os.listdir(config)) == sorted(
        ["SOFTWARE", "SYSTEM"] + decoys)


# ---- damaged keys ----

NK_SUBKEYS, NK_SUBKEY_LIST, NK_CLASS, NK_CLASS_LEN = 0x18, 0x20, 0x34, 0x4e


def patch_le32(data, at, value, size=4):
    data[at:at + size] = value.to_bytes(size, "little")


def test_damaged_service_keys_are_left_whole(target, system, run):
    """Two service keys a driver names, damaged the way a broken disk
    leaves them: one holds ControlSet001's own subkey list, the other a
    class name that points at the root key.  Answering A removes neither
    and writes nothing: every other key stays, the hive still opens, and
    each is named once as damaged.  A sound item beside them still goes."""
    image = {"ImagePath": ("expand", r"system32\drivers\vkm310.sys")}
    for name in ("shared_list", "class_at_root", "sound"):
        system.add_key(SERVICES + "\\" + name, image)
    system.add_key(SERVICES + r"\sound\Enum", {"Count": 1})
    system.add_key(CLASS + r"\0000", {"InfSection": "other_inst"})
    system.add_key(r"HKLM\SYSTEM\ControlSet001\Control\Keep", {"Kept": 1})
    system.commit()
    path = system.hive_file("SYSTEM")
    h = hivex.Hivex(path)
    cs = h.node_get_child(h.root(), "ControlSet001")
    svc = h.node_get_child(cs, "Services")
    shared = h.node_get_child(svc, "shared_list")
    at_root = h.node_get_child(svc, "class_at_root")
    data = bytearray(open(path, "rb").read())
    for field in (NK_SUBKEYS, NK_SUBKEY_LIST):
        data[shared + field:shared + field + 4] = data[cs + field:
                                                      cs + field + 4]
    patch_le32(data, at_root + NK_CLASS, h.root() - 0x1000)
    patch_le32(data, at_root + NK_CLASS_LEN, 8, 2)
    with open(path, "wb") as f:
        f.write(data)
    before = hive_dump(path)

    text, status = run(["-f", "-agree"], keys=[(CHOICES, b"a")])
    assert status == 0
    damaged = ["Damaged registry key 'HKLM\\SYSTEM\\CurrentControlSet"
               "\\Services\\%s': not removed\n" % n
               for n in ("shared_list", "class_at_root")]
    for line in damaged:
        assert text.count(line) == 1, text
    # The walk starts again after the sound key goes and meets the damaged
    # ones again: reported again, named once.
    assert text.endswith(found_fixed(3, 1)), text
    after = hive_dump(path)
    gone = [k for k in before if k not in after]
    assert gone == ["ControlSet001\\Services\\sound",
                    "ControlSet001\\Services\\sound\\Enum"], gone
    assert all(after[k] == before[k] for k in after)
