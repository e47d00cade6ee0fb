"""Windows systems to plant leftovers in and to inspect after a run.

`Offline` is a Windows folder on the Linux file system with its own SOFTWARE
and SYSTEM hives, for the native build.  `WinePrefix` is the C:\\windows of
a Wine prefix with Wine's registry, for the .exe files.  Both take the same
calls, so one test serves every target.

Registry values are given as Python values: str is REG_SZ, int REG_DWORD,
and tuples name other types: ("expand", s), ("multi", [s, ...]),
("binary", bytes), ("nonul", s) for a REG_SZ stored without its NUL.
"""

import contextlib
import errno
import os
import shutil
import struct
import subprocess
import tempfile

from vkmtest import ROOT, WINE_LOADER, build_dir

MKHIVE = os.path.join(ROOT, "build", "native", "tools", "mkhive")

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7

# Folders of a Windows installation, spelled as real installations spell
# them on disk: the program composes them in other letter case.
FOLDERS = ["INF", "System32/drivers", "System32/DRVSTORE", "System32/config",
           "LastGood/System32/drivers"]


def fill_disk(folder, free):
    """Fills the file system of FOLDER until FREE bytes are left."""
    fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(fd, b"\0" * 65536)
    except OSError as e:
        assert e.errno == errno.ENOSPC
    size = os.fstat(fd).st_size
    while True:
        st = os.statvfs(folder)
        if st.f_bavail * st.f_frsize >= free:
            break
        size -= 4096
        os.ftruncate(fd, size)
    os.close(fd)


@contextlib.contextmanager
def mounted_tmpfs(folder, options):
    """A tmpfs with OPTIONS mounted on FOLDER while the block runs; the
    test is skipped where none can be mounted (not root)."""
    import pytest

    r = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs",
                        folder], stderr=subprocess.PIPE)
    if r.returncode != 0:
        pytest.skip("cannot mount a tmpfs here (needs root): %s"
                    % r.stderr.decode().strip())
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", folder])


def split_hive(keypath):
    """'HKLM\\SOFTWARE\\a\\b' -> ('SOFTWARE', ['a', 'b'])."""
    parts = keypath.split("\\")
    assert parts[0].upper() in ("HKLM", "HKEY_LOCAL_MACHINE"), keypath
    return parts[1].upper(), parts[2:]


def encode_value(value):
    """(type, bytes) as a hive stores VALUE."""
    if isinstance(value, int):
        return REG_DWORD, struct.pack("<I", value)
    if isinstance(value, str):
        return REG_SZ, (value + "\0").encode("utf-16-le")
    kind, data = value
    if kind == "expand":
        return REG_EXPAND_SZ, (data + "\0").encode("utf-16-le")
    if kind == "multi":
        return REG_MULTI_SZ, ("\0".join(data) + "\0\0").encode("utf-16-le")
    if kind == "binary":
        return REG_BINARY, data
    if kind == "nonul":
        return REG_SZ, data.encode("utf-16-le")
    raise ValueError(kind)


def find_folded(base, rel):
    """The real path below BASE of REL ('\\' or '/' separated), each
    component matched without regard to case; missing ones as given."""
    path = base
    for comp in rel.replace("\\", "/").split("/"):
        if not comp:
            continue
        hit = None
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                if name.lower() == comp.lower():
                    hit = name
                    break
        path = os.path.join(path, hit or comp)
    return path


def restore_tree(src, dst):
    """Copies the tree SRC over DST, links as links, each folder into the
    one of the same name in any letter case."""
    if not os.path.isdir(src):
        return
    for name in os.listdir(src):
        s = os.path.join(src, name)
        d = find_folded(dst, name)
        if os.path.isdir(s) and not os.path.islink(s):
            os.makedirs(d, exist_ok=True)
            restore_tree(s, d)
        elif os.path.islink(s):
            os.symlink(os.readlink(s), d)
        else:
            shutil.copy2(s, d)


def fill_hive(path, keys, mkhive=MKHIVE):
    """Writes the hive PATH: mkhive's empty one, then KEYS ({tuple of
    names below the root: {value name: value}}) through libhivex."""
    subprocess.run([mkhive, path], stdin=subprocess.DEVNULL, check=True)
    add_to_hive(path, keys)


def log_hive(path, keys, fmt="new", logs=("LOG1",), mkhive=MKHIVE):
    """Puts KEYS (as for fill_hive) into the transaction logs of the hive
    file PATH only, as Windows leaves a hive whose newest changes have not
    reached its file: PATH marked dirty, the changes in PATH.LOG1 (and
    PATH.LOG2, which gets the earlier entries), in the log format FMT:
    "new" (Windows 8.1 on) or "old"."""
    after = path + ".after"
    shutil.copy(path, after)
    add_to_hive(after, keys)
    subprocess.run([mkhive, "--log", fmt, path, after]
                   + ["%s.%s" % (path, l) for l in logs], check=True)
    os.unlink(after)


def add_to_hive(path, keys):
    """Adds KEYS (as for fill_hive) to the hive file PATH."""
    import hivex
    h = hivex.Hivex(path, write=True)
    for names, values in sorted(keys.items(), key=lambda kv: len(kv[0])):
        node = h.root()
        for n in names:
            child = h.node_get_child(node, n)
            node = child if child else h.node_add_child(node, n)
        if values:
            vals = []
            for name, v in values.items():
                t, data = encode_value(v)
                vals.append({"key": name, "t": t, "value": data})
            h.node_set_values(node, vals)
    h.commit(None)


class System:
    """What both kinds share: files below the Windows folder."""

    windir = None

    def __init__(self, workdir):
        self.planted = []
        # Where the tool runs, and the backup folders of its runs in
        # order (host paths).
        self.workdir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.backups = []

    def backed_up(self, rel, k=-1):
        """The host path of the copy of REL (below the Windows folder)
        in the K-th backup folder."""
        real = self.path(rel)
        return os.path.join(self.backups[k], "SystemRoot",
                            os.path.relpath(real, self.windir))

    def path(self, rel):
        return find_folded(self.windir, rel)

    def plant(self, rel, data=b"MZ leftover\n", readonly=False):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        # A Wine prefix may share the file with its pristine copy: never
        # write through an existing name.
        if os.path.lexists(p):
            os.unlink(p)
        self.planted.append(p)
        with open(p, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        if readonly:
            os.chmod(p, 0o444)
        return p

    def exists(self, rel):
        return os.path.lexists(self.path(rel))

    def shown(self, rel):
        """REL as the program shows it: offline the path on the disk, as
        its names are spelled there; under Wine the Windows path as
        composed below SystemRoot."""
        if isinstance(self, Offline):
            return self.path(rel)
        return self.system_root + "\\" + rel

    def release(self):
        """Makes planted read-only files removable again."""
        for p in self.planted:
            if os.path.isfile(p) and not os.path.islink(p):
                os.chmod(p, 0o644)


class Offline(System):
    """An offline Windows folder with its own hives."""

    def __init__(self, base):
        System.__init__(self, os.path.join(base, "work"))
        self.base = base
        self.windir = os.path.join(base, "Windows")
        for d in FOLDERS:
            os.makedirs(os.path.join(self.windir, d), exist_ok=True)
        self.keys = {}          # (hive, tuple of names) -> {name: value}
        self.env = {"SystemRoot": self.windir}
        self.system_root = self.windir
        self.add_key(r"HKLM\SYSTEM\Select", {"Current": 1, "Default": 1})
        self.add_key(r"HKLM\SYSTEM\ControlSet001\Services")
        self.add_key(r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall")

    def host_path(self, path):
        return path

    def key_state(self, keypath):
        """What the key's hive holds (its file's bytes): compared before
        and after a restore."""
        with open(self.hive_file(split_hive(keypath)[0]), "rb") as f:
            return f.read()

    def restore(self, backup):
        """Puts back what the run with the backup folder BACKUP removed:
        the files, folders and hives below its SystemRoot, with the
        README's command."""
        subprocess.run(["cp", "-a", os.path.join(backup, "SystemRoot", "."),
                        self.windir + "/"], check=True)

    def hive_file(self, hive):
        return os.path.join(self.windir, "System32", "config", hive)

    def _names(self, keypath):
        hive, names = split_hive(keypath)
        if hive == "SYSTEM" and names and names[0].lower() == "currentcontrolset":
            names = ["ControlSet001"] + names[1:]
        return hive, names

    def add_key(self, keypath, values=None):
        hive, names = self._names(keypath)
        for i in range(1, len(names) + 1):
            self.keys.setdefault((hive, tuple(names[:i])), {})
        self.keys[(hive, tuple(names))].update(values or {})

    def commit(self):
        """Writes both hives: mkhive's empty one, filled through libhivex."""
        for hive in ("SOFTWARE", "SYSTEM"):
            fill_hive(self.hive_file(hive), {
                names: values for (hv, names), values in self.keys.items()
                if hv == hive})

    def _open(self, hive):
        import hivex
        return hivex.Hivex(self.hive_file(hive))

    def _node(self, keypath):
        hive, names = self._names(keypath)
        h = self._open(hive)
        node = h.root()
        for n in names:
            node = h.node_get_child(node, n)
            if not node:
                return h, None
        return h, node

    def log_key(self, keypath, values=None, fmt="new", logs=("LOG1",)):
        """After commit(): the key only in the logs of its hive (see
        log_hive)."""
        hive, names = self._names(keypath)
        log_hive(self.hive_file(hive), {tuple(names): values or {}}, fmt,
                 logs)

    def key_exists(self, keypath):
        return self._node(keypath)[1] is not None

    def subkeys(self, keypath):
        h, node = self._node(keypath)
        if node is None:
            return []
        return [h.node_name(c) for c in h.node_children(node)]


class WinePrefix(System):
    """C:\\windows of a Wine prefix; keys go into Wine's registry."""

    def __init__(self, prefix, env):
        System.__init__(self, os.path.join(prefix, "drive_c", "work"))
        self.prefix = prefix
        self.env = dict(env)
        self.windir = os.path.join(prefix, "drive_c", "windows")
        self.system_root = "C:\\windows"
        self.pending = []
        for d in ("inf", "system32/drivers", "system32/DRVSTORE",
                  "LastGood/system32/drivers"):
            os.makedirs(find_folded(self.windir, d), exist_ok=True)

    def host_path(self, path):
        """The Linux path of the Windows path C:\\...."""
        assert path[:3].upper() == "C:\\", path
        return os.path.join(self.prefix, "drive_c", *path[3:].split("\\"))

    def key_state(self, keypath):
        """The key's tree as Wine's regedit exports it, or None."""
        hive, names = split_hive(keypath)
        out = os.path.join(self.prefix, "drive_c", "export.reg")
        r = self.wine("regedit", "/e", "C:\\export.reg", "\\".join(
            ["HKEY_LOCAL_MACHINE", hive] + names), check=False)
        if r.returncode != 0 or not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            text = f.read().decode("utf-16")
        os.unlink(out)
        return text

    def restore(self, backup):
        """Puts back what the run with the backup folder BACKUP removed:
        regedit /s of its registry.reg, then its files and folders."""
        reg = os.path.join(backup, "registry.reg")
        if os.path.exists(reg):
            win = "C:\\" + os.path.relpath(
                reg, os.path.join(self.prefix, "drive_c")).replace("/", "\\")
            self.wine("regedit", "/s", win)
        restore_tree(os.path.join(backup, "SystemRoot"), self.windir)

    def wine(self, *args, check=True):
        """Runs a Wine tool through the loader of the prefix's own bitness,
        never the `wine` wrapper: that one takes the 32-bit loader, whose
        regedit would write a 64-bit prefix's SOFTWARE keys into the 32-bit
        view (Wow6432Node), and which cannot start at all on a kernel
        without IA-32 emulation."""
        env = dict(os.environ)
        env.update(self.env)
        loader = env.get("WINELOADER") or WINE_LOADER[env.get("WINEARCH", "win64")]
        env["WINELOADER"] = loader
        return subprocess.run([loader] + list(args), env=env, check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def short_name(self, rel):
        """The 8.3 short name Wine gives the entry REL (below the Windows
        folder), as `dir /x` lists it; None when it has none."""
        parent, _, name = rel.rpartition("\\")
        r = self.wine("cmd", "/c", "dir", "/x",
                      self.system_root + "\\" + parent)
        for line in r.stdout.decode("latin-1").splitlines():
            words = line.split()
            if len(words) >= 2 and words[-1] == name and "~" in words[-2]:
                return words[-2]
        return None

    def add_key(self, keypath, values=None):
        self.pending.append((keypath, values or {}))

    def commit(self):
        if not self.pending:
            return
        lines = ["Windows Registry Editor Version 5.00", ""]
        for keypath, values in self.pending:
            hive, names = split_hive(keypath)
            lines.append("[HKEY_LOCAL_MACHINE\\%s]" % "\\".join([hive] + names))
            for name, v in values.items():
                t, data = encode_value(v)
                key = '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')
                if t == REG_SZ and not isinstance(v, tuple):
                    text = v.replace("\\", "\\\\").replace('"', '\\"')
                    lines.append('%s="%s"' % (key, text))
                elif t == REG_DWORD:
                    lines.append("%s=dword:%08x" % (key, v))
                else:
                    lines.append("%s=hex(%x):%s" % (
                        key, t, ",".join("%02x" % b for b in data)))
            lines.append("")
        fd, regfile = tempfile.mkstemp(suffix=".reg", dir=self.prefix)
        with os.fdopen(fd, "wb") as f:
            f.write("\r\n".join(lines).encode("utf-16"))
        self.wine("regedit", "/s", regfile)
        os.unlink(regfile)
        self.pending = []

    @contextlib.contextmanager
    def held(self, rel, share):
        """Keeps the file REL (below the Windows folder) open in another
        process of the prefix for the with block, sharing "none" or
        "read": regprobe's hold mode, of the prefix's own bitness."""
        env = dict(os.environ)
        env.update(self.env)
        arch = env.get("WINEARCH", "win64")
        probe = os.path.join(build_dir(arch), "tests", "wine", "regprobe.exe")
        p = subprocess.Popen(
            [env.get("WINELOADER") or WINE_LOADER[arch], probe, "hold",
             self.system_root + "\\" + rel, share], env=env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        try:
            line = p.stdout.readline()
            assert line.strip() == b"held", line
            yield
        finally:
            p.stdin.close()
            try:
                p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def pending_removals(self):
        """The paths PendingFileRenameOperations gives to the next
        restart to delete (an empty target), in order."""
        r = self.wine("reg", "query", r"HKLM\SYSTEM\CurrentControlSet"
                      r"\Control\Session Manager", "/v",
                      "PendingFileRenameOperations", check=False)
        out = r.stdout.decode("utf-8", "replace").replace("\r", "")
        for line in out.split("\n"):
            if "REG_MULTI_SZ" in line:
                items = line.split("REG_MULTI_SZ", 1)[1].strip().split("\\0")
                pairs = zip(items[0::2], items[1::2])
                return [src for src, dst in pairs if src and not dst]
        return []

    def key_exists(self, keypath):
        hive, names = split_hive(keypath)
        r = self.wine("reg", "query",
                      "\\".join(["HKLM", hive] + names), check=False)
        return r.returncode == 0

    def subkeys(self, keypath):
        hive, names = split_hive(keypath)
        full = "\\".join(["HKEY_LOCAL_MACHINE", hive] + names)
        r = self.wine("reg", "query", full, check=False)
        out = r.stdout.decode("utf-8", "replace").replace("\r", "")
        prefix = full.lower() + "\\"
        # A key name may end in blanks: only the line's indent goes.
        return [l.lstrip()[len(prefix):] for l in out.split("\n")
                if l.lstrip().lower().startswith(prefix)]
