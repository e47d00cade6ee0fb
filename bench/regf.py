"""Writes a registry hive file (regf 1.5) from a tree of keys in one pass.

The benchmark needs hives of tens of megabytes.  Filling them through
libhivex one key at a time is slow, and libhivex never reuses the cells a
growing subkey list leaves behind, so a big key would bury its live data
under abandoned lists.  Laying the file out directly gives a compact hive
shaped like one Windows writes: one security cell shared by every key,
"lh" subkey lists sorted by upper-case name, an "ri" index over "lh"
lists for keys with many subkeys, data of four bytes or less held inside
the value cell.  libhivex reads and rewrites what comes out (the
benchmark checks that by deleting keys through the tool).

Names must be ASCII: they are stored compressed (one byte a character),
as Windows stores them.
"""

import struct

BLOCK = 4096
BIN_HEADER = 32
NO_CELL = 0xFFFFFFFF
KEY_HIVE_ENTRY, KEY_NO_DELETE, KEY_COMP_NAME = 0x0004, 0x0008, 0x0020
VALUE_COMP_NAME = 0x0001
# Windows starts an index of several lists when a list would pass this.
LH_MAX = 1000
# Data longer than this needs "db" cells, which the benchmark never uses.
DATA_MAX = 16344

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7


class Key:
    __slots__ = ("name", "values", "children", "vkm310_index")

    def __init__(self, name):
        self.name = name
        self.values = []        # (name, type, bytes)
        self.children = {}      # upper-case name -> Key

    def child(self, name):
        """The subkey NAME, made when missing."""
        k = self.children.get(name.upper())
        if k is None:
            k = self.children[name.upper()] = Key(name)
        return k

    def path(self, path):
        """The key at PATH ('\\' separated) below this one, made."""
        k = self
        for part in path.split("\\"):
            if part:
                k = k.child(part)
        return k

    def sz(self, name, text):
        self.values.append((name, REG_SZ, (text + "\0").encode("utf-16-le")))
        return self

    def expand(self, name, text):
        self.values.append((name, REG_EXPAND_SZ,
                            (text + "\0").encode("utf-16-le")))
        return self

    def multi(self, name, items):
        data = ("\0".join(items) + "\0\0").encode("utf-16-le")
        self.values.append((name, REG_MULTI_SZ, data))
        return self

    def dword(self, name, n):
        self.values.append((name, REG_DWORD, struct.pack("<I", n)))
        return self

    def binary(self, name, data):
        self.values.append((name, REG_BINARY, bytes(data)))
        return self


def count_keys(key):
    n, todo = 0, [key]
    while todo:
        k = todo.pop()
        n += 1
        todo.extend(k.children.values())
    return n


def _sid(auth, subs):
    return struct.pack("<BB", 1, len(subs)) + b"\0" * 5 + bytes([auth]) + \
        b"".join(struct.pack("<I", s) for s in subs)


def _ace(mask, auth, subs):
    sid = _sid(auth, subs)
    return struct.pack("<BBHI", 0, 0x02, 8 + len(sid), mask) + sid


def security_descriptor():
    """Self-relative: owner Administrators, group SYSTEM, full control for
    both and read for Everyone."""
    aces = (_ace(0x000F003F, 5, [18]) + _ace(0x000F003F, 5, [32, 544]) +
            _ace(0x00020019, 1, [0]))
    acl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), 3, 0) + aces
    owner, group = _sid(5, [32, 544]), _sid(5, [18])
    acl_at = 20
    owner_at = acl_at + len(acl)
    group_at = owner_at + len(owner)
    head = struct.pack("<BBHIIII", 1, 0, 0x8004, owner_at, group_at, 0,
                       acl_at)
    return head + acl + owner + group


def lh_hash(name):
    h = 0
    for c in name.upper():
        h = (h * 37 + ord(c)) & 0xFFFFFFFF
    return h


class _Writer:
    def __init__(self, timestamp):
        self.buf = bytearray()
        self.bin_start = 0
        self.bin_end = 0
        self.pos = 0
        self.ts = timestamp
        self.keys = 0

    def _new_bin(self, need):
        if self.pos < self.bin_end:
            struct.pack_into("<i", self.buf, self.pos, self.bin_end - self.pos)
        size = max(BLOCK, (need + BIN_HEADER + BLOCK - 1) // BLOCK * BLOCK)
        start = len(self.buf)
        self.buf.extend(bytes(size))
        struct.pack_into("<4sII", self.buf, start, b"hbin", start, size)
        struct.pack_into("<Q", self.buf, start + 20, self.ts)
        self.bin_start, self.bin_end = start, start + size
        self.pos = start + BIN_HEADER

    def alloc(self, payload):
        """A used cell of PAYLOAD bytes (plus its size field); its offset
        from the first bin."""
        size = (payload + 4 + 7) & ~7
        if self.pos + size > self.bin_end:
            self._new_bin(size)
        off = self.pos
        self.pos += size
        struct.pack_into("<i", self.buf, off, -size)
        return off

    def finish(self):
        if self.pos < self.bin_end:
            struct.pack_into("<i", self.buf, self.pos, self.bin_end - self.pos)

    def value(self, name, vtype, data):
        raw = name.encode("ascii")
        vk = self.alloc(20 + len(raw))
        if len(data) <= 4:
            length = len(data) | 0x80000000
            where = int.from_bytes(data.ljust(4, b"\0"), "little")
        else:
            assert len(data) <= DATA_MAX, (name, len(data))
            where = self.alloc(len(data))
            self.buf[where + 4:where + 4 + len(data)] = data
            length = len(data)
        struct.pack_into("<2sHIIIHH", self.buf, vk + 4, b"vk", len(raw),
                         length, where, vtype,
                         VALUE_COMP_NAME if raw else 0, 0)
        self.buf[vk + 24:vk + 24 + len(raw)] = raw
        return vk

    def subkey_list(self, entries):
        """ENTRIES: (offset, name) sorted; the list's offset."""
        def lh(chunk):
            off = self.alloc(4 + 8 * len(chunk))
            struct.pack_into("<2sH", self.buf, off + 4, b"lh", len(chunk))
            p = off + 8
            for child, name in chunk:
                struct.pack_into("<II", self.buf, p, child, lh_hash(name))
                p += 8
            return off
        if len(entries) <= LH_MAX:
            return lh(entries)
        half = LH_MAX // 2
        lists = [lh(entries[i:i + half]) for i in range(0, len(entries), half)]
        off = self.alloc(4 + 4 * len(lists))
        struct.pack_into("<2sH", self.buf, off + 4, b"ri", len(lists))
        for i, sub in enumerate(lists):
            struct.pack_into("<I", self.buf, off + 8 + 4 * i, sub)
        return off

    def key(self, key, parent, sk, flags=KEY_COMP_NAME, nk=None):
        """Lays KEY and its tree out; NK is its cell when reserved
        already.  Returns the key's offset."""
        raw = key.name.encode("ascii")
        if nk is None:
            nk = self.alloc(76 + len(raw))
        self.keys += 1
        values = NO_CELL
        if key.values:
            values = self.alloc(4 * len(key.values))
            for i, (name, vtype, data) in enumerate(key.values):
                struct.pack_into("<I", self.buf, values + 4 + 4 * i,
                                 self.value(name, vtype, data))
        kids = sorted(key.children.values(), key=lambda k: k.name.upper())
        entries = [(self.key(k, nk, sk), k.name) for k in kids]
        sublist = self.subkey_list(entries) if entries else NO_CELL
        struct.pack_into(
            "<2sHQIIIIIIIIIIIIIIIHH", self.buf, nk + 4, b"nk", flags,
            self.ts, 0, parent, len(kids), 0, sublist, NO_CELL,
            len(key.values), values, sk, NO_CELL,
            max((2 * len(k.name) for k in kids), default=0), 0,
            max((2 * len(v[0]) for v in key.values), default=0),
            max((len(v[2]) for v in key.values), default=0), 0,
            len(raw), 0)
        self.buf[nk + 80:nk + 80 + len(raw)] = raw
        return nk


def write_hive(path, root, file_name, timestamp=132500000000000000):
    """Writes the tree under ROOT (its own name is the root key's) to
    PATH; FILE_NAME goes into the header as Windows records it.  Returns
    the file's size."""
    w = _Writer(timestamp)
    # The root key first and the shared security cell right after it, as
    # a new hive has them.
    w._new_bin(0)
    sd = security_descriptor()
    root_raw = root.name.encode("ascii")
    root_at = w.alloc(76 + len(root_raw))
    sk = w.alloc(20 + len(sd))
    struct.pack_into("<2sHIIII", w.buf, sk + 4, b"sk", 0, sk, sk, 0, len(sd))
    w.buf[sk + 24:sk + 24 + len(sd)] = sd

    w.key(root, NO_CELL, sk, KEY_HIVE_ENTRY | KEY_NO_DELETE | KEY_COMP_NAME,
          root_at)
    struct.pack_into("<I", w.buf, sk + 16, w.keys)
    w.finish()

    base = bytearray(BLOCK)
    struct.pack_into("<4sIIQIIIIIII", base, 0, b"regf", 1, 1, timestamp,
                     1, 5, 0, 1, root_at, len(w.buf), 1)
    name = file_name.encode("utf-16-le")[:64]
    base[48:48 + len(name)] = name
    csum = 0
    for i in range(0, 508, 4):
        csum ^= struct.unpack_from("<I", base, i)[0]
    if csum == 0xFFFFFFFF:
        csum = 0xFFFFFFFE
    elif csum == 0:
        csum = 1
    struct.pack_into("<I", base, 508, csum)
    with open(path, "wb") as f:
        f.write(base)
        f.write(w.buf)
    return BLOCK + len(w.buf)

