"""The static build (build/static) as a technician meets it on a rescue
system: one file with no library, run in an otherwise empty root that
holds only the program, an offline Windows tree and, where a row says
so, /proc; /dev/tty is there for the questions of a cleanup.  Only the
static suite runs this file (VKM_NATIVE_BUILD=build/static).

The root is entered with a user and mount namespace of its own (and a
PID namespace for its own /proc), so no test needs to be root."""

import os
import shutil
import subprocess

import pytest

from vkmtest import ROOT, harness
from vkmtest.texts import (CHOICES, DRVSTORE_KEY, Q_DRVSTORE, Q_FILE, Q_KEY,
                           SERVICES_KEY, UNINSTALL_KEY, answered, banner,
                           fixed_all, found_dry)
from vkmtest.winsys import Offline

pytestmark = pytest.mark.targets("native")

PROGRAM = "/vkm310_cleanup"
# Mounted in the root before the program starts: /dev/tty always, /proc
# in a PID namespace of the root's own when asked.
ENTER = 'mount --bind /dev/tty "$0/dev/tty" && exec chroot "$0" "$@"'


def namespace_words():
    """unshare's words that give the root its own namespaces: as the user
    mapped to root where user namespaces are allowed, else as root."""
    tries = [["unshare", "--user", "--map-root-user"]]
    if os.geteuid() == 0:
        tries.append(["unshare"])
    why = ""
    for words in tries:
        r = subprocess.run(words + ["--mount", "--pid", "--fork", "true"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode == 0:
            return words + ["--mount", "--pid", "--fork"]
        why = r.stdout.decode("utf-8", "replace").strip()
    pytest.skip("no namespaces for an empty root here: " + why)


def make_root(top, program):
    """An empty root at TOP holding PROGRAM, mount points for /proc and
    /dev/tty, and an offline Windows tree at /win/Windows."""
    for d in ("proc", "dev"):
        os.makedirs(os.path.join(top, d))
    open(os.path.join(top, "dev", "tty"), "w").close()
    shutil.copy2(program, os.path.join(top, PROGRAM[1:]))
    return Offline(os.path.join(top, "win"))


def run_in_root(top, args, keys=(), proc=True):
    """The program of the root at TOP, run there with ARGS in a terminal."""
    words = namespace_words()
    if proc:
        words.append("--mount-proc=" + os.path.join(top, "proc"))
    words += ["sh", "-c", ENTER, top, PROGRAM]
    return harness.run_tool("native", args, keys=keys,
                            env={"SystemRoot": "/win/Windows"}, program=words)


def test_static_file_needs_no_library(target, tmp_path):
    """ldd finds no dynamic dependency, the file asks for no loader; and
    the root really is empty: the dynamic build cannot start there."""
    program = harness.program_path(target)
    r = subprocess.run(["ldd", program], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    assert r.returncode != 0, r.stdout
    assert b"not a dynamic executable" in r.stdout
    headers = subprocess.run(["readelf", "-lW", program], check=True,
                             stdout=subprocess.PIPE).stdout
    assert b"INTERP" not in headers and b"DYNAMIC" not in headers
    dynamic = os.path.join(ROOT, "build", "native", "vkm310_cleanup")
    make_root(str(tmp_path / "root"), dynamic)
    result = run_in_root(str(tmp_path / "root"), ["-h"])
    assert (result.status, result.text) == (127, "")


# Key names stored as Latin-1 (a "compressed" name, one byte a letter) and
# as UTF-16LE, and a value name of each kind: libhivex converts every one
# through iconv, which a static program must carry within itself.
LATIN1_KEY = UNINSTALL_KEY + "\\{Lëftövér-ÄÖÜß}"
UTF16_KEY = UNINSTALL_KEY + "\\{Драйвер-読取機}"
NEIGHBOUR = UNINSTALL_KEY + "\\{Ñachbar}"
STORE_KEY = DRVSTORE_KEY + "\\tarnwickreader_1a2b"
SERVICE_KEY = SERVICES_KEY + "\\Dienst-vkm310"
STORE = r"system32\DRVSTORE\tarnwickreader_1a2b"
DRIVER = r"system32\drivers\vkm310.sys"
IMAGE = r"\SystemRoot\System32\drivers\vkm310.sys"


def plant(system):
    system.add_key(LATIN1_KEY, {"Größe": 1, "DisplayName": "VKM310 Lesegerät"})
    system.add_key(UTF16_KEY, {"Имя": "x", "DisplayName": "RDX7 (vkm310) считыватель"})
    system.add_key(NEIGHBOUR, {"DisplayName": "Andere Software"})
    system.add_key(STORE_KEY, {"Services": "TARNWICKREADER"})
    system.add_key(SERVICE_KEY, {"ImagePath": ("expand", IMAGE)})
    system.commit()
    system.plant(STORE + r"\tarnwickreader.sys")
    system.plant(DRIVER, b"MZ the driver\n")


FOUND = [
    "Found 'TARNWICKREADER' in\n\tDRVSTORE\\tarnwickreader_1a2b\n",
    "Found 'VKM310' in\n\tUNINSTALL\\{Lëftövér-ÄÖÜß}\n(VKM310 Lesegerät)\n",
    "Found 'VKM310' in\n\tUNINSTALL\\{Драйвер-読取機}\n"
    "(RDX7 (vkm310) считыватель)\n",
    "Found 'vkm310' in service Dienst-vkm310\n(%s)\n" % IMAGE,
    "Found file 'vkm310.sys'\n(/win/Windows/System32/drivers/vkm310.sys)\n",
]
QUESTIONS = [Q_DRVSTORE, Q_KEY, Q_KEY, Q_KEY, Q_FILE]
GONE = [STORE_KEY, LATIN1_KEY, UTF16_KEY, SERVICE_KEY]


# (id, /proc mounted).  Without /proc a hive is opened by its name.
ROOTS = [("proc", True), ("no-proc", False)]


@pytest.mark.parametrize("proc", [r[1] for r in ROOTS],
                         ids=[r[0] for r in ROOTS])
def test_empty_root_dry_run_and_cleanup(target, tmp_path, proc):
    """A dry run finds every planted item, names in any script included;
    a cleanup answered "A" removes them all and keeps the hives as they
    were and the files in its backup folder, inside the root."""
    top = str(tmp_path / "root")
    system = make_root(top, harness.program_path(target))
    plant(system)
    hives = {}
    for hive in ("SOFTWARE", "SYSTEM"):
        with open(system.hive_file(hive), "rb") as f:
            hives[hive] = f.read()
    dry = run_in_root(top, [], proc=proc)
    assert (dry.text, dry.status) == (
        banner(target) + "".join(FOUND) + found_dry(len(FOUND)), 0)
    clean = run_in_root(top, ["-f", "-agree"], keys=[(CHOICES, b"a")],
                        proc=proc)
    body, _ = answered(FOUND, QUESTIONS, "a")
    assert (clean.text, clean.status) == (
        banner(target) + body + fixed_all(len(FOUND)), 0)
    for k in GONE:
        assert not system.key_exists(k), k
    assert system.key_exists(NEIGHBOUR)
    assert not system.exists(STORE) and not system.exists(DRIVER)
    assert os.path.dirname(clean.backup) == "/"
    backup = os.path.join(top, clean.backup[1:], "SystemRoot")
    for hive, data in hives.items():
        with open(os.path.join(backup, "System32", "config", hive), "rb") as f:
            assert f.read() == data, hive
    with open(os.path.join(backup, "System32", "drivers", "vkm310.sys"),
              "rb") as f:
        assert f.read() == b"MZ the driver\n"
    assert os.path.isfile(os.path.join(backup, "System32", "DRVSTORE",
                                       "tarnwickreader_1a2b",
                                       "tarnwickreader.sys"))
