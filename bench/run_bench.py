#!/usr/bin/python3
"""The benchmark of vkm310_cleanup: `make bench` runs it after the build.

Builds a large offline Windows installation with 24 planted leftovers
(bigsys.py), then measures on this machine, in this one run, each
program side by side with its floor, the least work its dry run cannot
avoid:

  - offline: the dry run against bench/floor.cpp (libhivex, hives
    mapped read-only), both on the 50 MB system; also the `-f -agree`
    run answered with "A" against `floor --cleanup` (the hive work a
    cleanup cannot avoid), side by side, a fresh copy of the system for
    each,
    peak memory (/usr/bin/time %M), hive loads, mapped loads and writes
    (strace), the peer (hivexregedit --export of the scanned keys) and a
    profile of the dry run (perf); the static file's dry run
    (build/static) beside the dynamic build's, and both files' sizes;
  - under Wine, for each bitness the host runs: the .exe's dry run
    against bench/win/floor.cpp built for the same bitness, in a prefix
    of that bitness, once clean and once holding the system's leftovers
    (keys planted with that bitness's regedit, files copied into
    drive_c/windows); the Win32 calls each makes (relay log) and what
    the difference is spent on.  Both prefixes are kept in build/bench.

Then (re)writes bench/RESULTS.md from what it measured, with PASS or FAIL
for each target.  Items found that differ between a program and its
floor are reported (FAIL), not fatal: the run goes on.

    BENCH_RUNS=7 BENCH_CLEAN_RUNS=5 /usr/bin/python3 bench/run_bench.py
    BENCH_KEEP=1 ... keeps the temp folder; BENCH_NO_WINE=1 skips Wine;
    BENCH_STRICT=1 exits 1 when a target fails; BENCH_NOTE="..." adds a
    line of note to the results.
"""

import hashlib
import os
import platform
import re
import shutil
import statistics
import subprocess
import tempfile
import time

import bigsys
# The test harness (PYTHONPATH=tests) runs the tool in a terminal, and
# knows each bitness's Wine loader, how to boot a prefix and whether this
# host runs 32-bit programs at all.
from vkmtest import ROOT, harness
from vkmtest.texts import CHOICES

HERE = os.path.dirname(os.path.abspath(__file__))

TOOL = os.path.join(ROOT, "build", "native", "vkm310_cleanup")
STATIC = os.path.join(ROOT, "build", "static", "vkm310_cleanup")
ARCHES = ("win64", "win32")
EXE = {a: os.path.join(ROOT, "build", a, "vkm310_cleanup.exe") for a in ARCHES}
WIN_FLOOR = {a: os.path.join(ROOT, "build", a, "bench", "win", "floor.exe")
             for a in ARCHES}
BENCH_BUILD = os.path.join(ROOT, "build", "bench")
FLOOR = os.path.join(BENCH_BUILD, "floor")
RESULTS = os.path.join(HERE, "RESULTS.md")

RUNS = int(os.environ.get("BENCH_RUNS", "7"))
CLEAN_RUNS = int(os.environ.get("BENCH_CLEAN_RUNS", "5"))
TARGET_RATIO = 1.5
STATIC_RATIO = 1.1
SW_KEYS = [r"Microsoft\Windows\CurrentVersion\DIFx\DriverStore",
           r"Microsoft\Windows\CurrentVersion\Uninstall"]
PEER_KEYS = ([("SOFTWARE", k) for k in SW_KEYS] +
             [("SOFTWARE", bigsys.WOW + "\\" + k) for k in SW_KEYS] + [
    ("SYSTEM", r"ControlSet001\Control\Class" "\\" + bigsys.SMARTCARD_CLASS),
    ("SYSTEM", r"ControlSet001\Services"),
])
# Functions whose inclusive share of the dry run's samples the profile
# reports, in the order of a run.  Names the build lacks are left out.
PROFILE_FUNCS = [
    ("scan_oem_inf_files", "OEM INF scan"),
    ("plat_fopen", "  opening a file (INF and driver files)"),
    ("winpath_resolve", "    resolving the path's letter case"),
    ("__getdents64", "      of which listing folders (getdents64)"),
    ("plat_fread", "  reading files"),
    ("scan_driver_store", "driver-store scan"),
    ("scan_uninstall_entries", "uninstall scan"),
    ("scan_smartcard_class", "smart-card class scan"),
    ("scan_services", "services scan"),
    ("hivex_open", "  loading the two hives (hivex_open)"),
    ("RegOpenKeyExA", "  opening keys"),
    ("child_named", "    finding a subkey by name"),
    ("subkeys_of", "  listing subkeys"),
    ("hivex_node_children", "  hivex: listing subkeys"),
    ("hivex_node_get_value", "  hivex: finding a value"),
    ("hivex_value_string", "  hivex: decoding a value"),
    ("scan_driver_files", "driver file scan"),
]


def log(msg):
    print("bench: " + msg, flush=True)


def env_with(**kw):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    for k, v in kw.items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    return env


def run_quiet(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                          **kw)


def timed(argv, env, out_path, cwd=None, check=True):
    """Wall seconds of one run, its output in OUT_PATH.  With CHECK, a
    run that fails ends the benchmark."""
    # No timeout: subprocess waits for a run with one then by polling,
    # its sleeps doubling from 0.5 ms, which rounds a 30 ms run up to
    # 31.5 or 63.5 ms.  Without one it blocks in waitpid.
    with open(out_path, "wb") as out:
        t0 = time.perf_counter()
        p = subprocess.run(argv, env=env, cwd=cwd, stdout=out,
                           stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL)
        t = time.perf_counter() - t0
    if check and p.returncode != 0:
        raise SystemExit("bench: %s exited %d" % (argv, p.returncode))
    return t


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def median(xs):
    return statistics.median(xs)


def peak_kb(argv, env, workdir, pty=False):
    tf = os.path.join(workdir, "time.txt")
    wrapped = ["/usr/bin/time", "-f", "%M", "-o", tf] + argv
    if pty:
        run_in_pty(wrapped, env)
    else:
        timed(wrapped, env, os.path.join(workdir, "mem-out.txt"))
    return int(read(tf).split()[-1])


def run_in_pty(argv, env, timeout=300, cwd=None):
    """Runs ARGV (the tool, maybe behind /usr/bin/time or strace) in a
    pseudo-terminal, answering its first item question with "A" (yes to
    all).  (wall seconds, output, questions answered).  Without CWD it
    runs, and leaves its backup folder, in a scratch folder that goes
    with it."""
    r = harness.run_tool("native", [], keys=[(CHOICES, b"a")], env=env,
                         timeout=timeout, program=argv, cwd=cwd)
    if r.status != 0:
        raise SystemExit("bench: %s ended with %s" % (argv, r.status))
    return r.seconds, r.text, r.text.count(CHOICES)


# Times the program it is given, from inside the pseudo-terminal: the
# harness's polling, a tenth of a second, is not the program's time.
TIMER = ("import subprocess, sys, time; t = time.perf_counter(); "
         "r = subprocess.call(sys.argv[2:]); "
         "open(sys.argv[1], 'w').write('%.6f' % (time.perf_counter() - t)); "
         "sys.exit(r)")


def timed_cleanup(env, workdir):
    """One `-f -agree` run in a pseudo-terminal in the current folder,
    "A" typed ahead for its first question: (its wall seconds, its
    output, the questions it asked)."""
    seconds = os.path.join(workdir, "clean-seconds")
    r = harness.run_tool("native", [], keys=[(None, b"a")], env=env,
                         timeout=300, cwd=os.getcwd(),
                         program=["/usr/bin/python3", "-c", TIMER, seconds,
                                  TOOL, "-f", "-agree"])
    if r.status != 0:
        raise SystemExit("bench: the cleanup ended with %s" % r.status)
    return float(read(seconds)), r.text, r.text.count(CHOICES)


def summary_line(text):
    lines = [l for l in text.strip().split("\n") if l.strip()]
    for l in lines:
        if "item(s)" in l or "Nothing to do" in l:
            return l.strip()
    return lines[-1] if lines else ""


# ---- hive loads and writes ----

def strace_hive_io(argv, env, hives, workdir, pty=False):
    """Loads (opens by libhivex's hivex_open, as the stack shows), mapped
    loads (a load whose file is then mmap'ed: a read-only open) and
    writes (renames onto the hive file) of each hive in HIVES
    (name -> path) during one run."""
    trace = os.path.join(workdir, "strace.txt")
    # -y names the file behind each descriptor: the tool opens a hive
    # relative to its folder and hands libhivex /proc/self/fd/N.
    cmd = ["strace", "-f", "-k", "-y", "-o", trace, "-e",
           "trace=openat,mmap,rename,renameat,renameat2"] + argv
    if pty:
        run_in_pty(cmd, env)
    else:
        timed(cmd, env, os.path.join(workdir, "strace-out.txt"))
    counts = {h: {"loads": 0, "mapped": 0, "writes": 0, "other_opens": 0}
              for h in hives}
    by_path = {os.path.realpath(p): h for h, p in hives.items()}
    calls, cur = [], None
    for line in read(trace).split("\n"):
        if line.startswith(" > "):
            if cur is not None:
                cur[1].append(line)
            continue
        cur = (line, [])
        calls.append(cur)
    # The hive each open file descriptor holds: every open replaces the
    # entry of its descriptor, so a reused number is never mistaken.
    fd_hive = {}
    for call, stack in calls:
        m = re.search(r'openat\([^,]+, "([^"]+)", ([A-Z_|]+)[^)]*\) = '
                      r'(-?\d+)(?:<([^>]*)>)?', call)
        if m and int(m.group(3)) >= 0:
            fd = int(m.group(3))
            fd_hive.pop(fd, None)
            h = by_path.get(os.path.realpath(m.group(4) or m.group(1)))
            if h is None:
                continue
            if "libhivex" in "".join(stack) and "O_RDONLY" in m.group(2):
                counts[h]["loads"] += 1
                fd_hive[fd] = h
            else:
                counts[h]["other_opens"] += 1
            continue
        m = re.search(r'mmap\([^,]+, \d+, [^,]+, [^,]+, (\d+)(?:<[^>]*>)?, '
                      r'[^)]+\) = 0x', call)
        if m and int(m.group(1)) in fd_hive:
            counts[fd_hive.pop(int(m.group(1)))]["mapped"] += 1
            continue
        m = re.search(r'rename(?:at2?)?\(.*"([^"]+)"(?:, \w+)?\) = 0', call)
        if m:
            h = by_path.get(os.path.realpath(m.group(1)))
            if h is not None:
                counts[h]["writes"] += 1
    return counts


# ---- profile ----

def profile_dry_run(env, workdir):
    """Inclusive share of samples for PROFILE_FUNCS in one dry run, or
    None when perf cannot record here."""
    data = os.path.join(workdir, "perf.data")
    p = subprocess.run(["perf", "record", "-F", "4000", "--call-graph", "dwarf",
                        "-o", data, TOOL], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    if p.returncode != 0:
        return None
    rep = subprocess.run(["perf", "report", "-i", data, "--children",
                          "--stdio", "-g", "none", "--sort", "sym"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    shares = {}
    for line in rep.stdout.decode("utf-8", "replace").split("\n"):
        m = re.match(r"\s*([\d.]+)%\s+([\d.]+)%\s+\[[.k]\]\s+(.*)$", line)
        if not m:
            continue
        sym = m.group(3)
        for name, _ in PROFILE_FUNCS:
            if name in shares:
                continue
            if sym == name or sym.startswith(name + "(") or \
                    sym.startswith("__GI_" + name) or \
                    re.search(r"\b%s\b" % re.escape(name), sym.split("(")[0]):
                shares[name] = float(m.group(1))
    os.unlink(data)
    return shares


# ---- Wine ----

def wine_env(arch, prefix):
    return env_with(**harness.wine_env(prefix, arch))


def items_of(summary):
    """Items a summary line reports found: "N item(s) found..." or the
    clean system's line; None for anything else."""
    m = re.match(r"(\d+) item\(s\) found", summary)
    if m:
        return int(m.group(1))
    return 0 if summary.startswith("Nothing to do") else None


def strace_counts(argv, env, workdir, name):
    """Syscalls of ARGV and its children: {syscall: calls}, total."""
    out = os.path.join(workdir, name + ".strace")
    subprocess.run(["strace", "-f", "-c", "-o", out] + argv, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   stdin=subprocess.DEVNULL, timeout=600)
    counts = {}
    for line in read(out).split("\n"):
        f = line.split()
        if len(f) >= 5 and f[0][0].isdigit() and not line.startswith("100"):
            try:
                counts[f[-1]] = int(f[3])
            except ValueError:
                pass
    return counts


RELAY_FUNCS = ["msvcrt.fopen", "msvcrt.fgets", "msvcrt.fclose",
               "msvcrt.fread", "msvcrt._open", "msvcrt._read",
               "kernel32.GetFileSize", "kernel32.FindFirstFileA",
               "kernel32.FindNextFileA", "kernel32.CreateFileA",
               "kernel32.ReadFile", "kernel32.GetFileAttributesA",
               "kernel32.Wow64DisableWow64FsRedirection",
               "advapi32.RegOpenKeyExA", "advapi32.RegQueryInfoKeyA",
               "advapi32.RegEnumKeyExA", "advapi32.RegQueryValueExA",
               "advapi32.RegCloseKey"]
RELAY_LINE = re.compile(r"^([\d.]+):([0-9a-f]+):(Call|Ret)\s+([\w.]+)\((.*)$")


def set_relay_include(arch, env, workdir, funcs):
    """Sets (FUNCS) or removes (None) the prefix's relay filter."""
    reg = os.path.join(workdir, "relay.reg")
    body = "Windows Registry Editor Version 5.00\r\n\r\n"
    if funcs:
        body += ("[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n"
                 '"RelayInclude"="%s"\r\n' % ";".join(funcs))
    else:
        body += "[-HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n"
    with open(reg, "w", encoding="utf-16") as f:
        f.write(body)
    run_quiet([harness.wine_loader(arch), "regedit", "/s", reg], env=env,
              timeout=120)


def relay_breakdown(arch, argv, env, workdir):
    """The run's phases and the calls it makes into Win32 and the C
    run-time, from a relay log of those calls alone.  Relay slows every
    call: the counts and the shares, not the seconds, are the result."""
    set_relay_include(arch, env, workdir, RELAY_FUNCS)
    logf = os.path.join(workdir, "relay.log")
    try:
        with open(logf, "wb") as err:
            t0 = time.perf_counter()
            subprocess.run(argv, env=dict(env, WINEDEBUG="+timestamp,+relay"),
                           stdout=subprocess.DEVNULL, stderr=err,
                           stdin=subprocess.DEVNULL)
            wall = time.perf_counter() - t0
    finally:
        set_relay_include(arch, env, workdir, None)
    calls, spent, pending = {}, {}, {}
    marks = {}
    end = None
    with open(logf, "rb") as f:
        for raw in f:
            m = RELAY_LINE.match(raw.decode("latin-1"))
            if not m:
                continue
            ts, tid, kind = float(m.group(1)), m.group(2), m.group(3)
            fn, args = m.group(4).lower(), m.group(5).lower()
            if fn.endswith(".dll") or "." not in fn:
                continue
            end = ts
            if kind == "Call":
                pending[(tid, fn)] = ts
                calls[fn] = calls.get(fn, 0) + 1
                if "\\\\oem" in args:
                    marks.setdefault("oem", ts)
                elif fn.startswith("advapi32."):
                    marks.setdefault("registry", ts)
                elif '.sys"' in args:
                    marks.setdefault("drivers", ts)
            elif (tid, fn) in pending:
                spent[fn] = spent.get(fn, 0.0) + ts - pending.pop((tid, fn))
    os.unlink(logf)
    phases = {}
    order = sorted(marks, key=lambda k: marks[k])
    for i, k in enumerate(order):
        stop = marks[order[i + 1]] if i + 1 < len(order) else end
        phases[k] = stop - marks[k]
    return {"calls": calls, "spent": spent, "phases": phases, "wall": wall}


def wineserver_pid(prefix):
    """The wineserver of PREFIX: its working folder is named after the
    prefix's device and inode."""
    st = os.stat(prefix)
    tag = "server-%x-%x" % (st.st_dev, st.st_ino)
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/cwd" % pid).endswith(tag) and \
                    "wineserver" in read("/proc/%s/comm" % pid):
                return int(pid)
        except OSError:
            continue
    return None


def proc_cpu(pid):
    """User + system CPU seconds of process PID so far."""
    if pid is None:
        return 0.0
    try:
        f = read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")


def timed_cpu(argv, env, out_path, server):
    """(wall, CPU of the run's own processes, CPU of the wineserver)."""
    import resource
    r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    s0 = proc_cpu(server)
    wall = timed(argv, env, out_path)
    r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    client = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
    return wall, client, proc_cpu(server) - s0


def child_ci(folder, name):
    """FOLDER/NAME, with the letter case of an entry already there."""
    if os.path.isdir(folder):
        for e in os.listdir(folder):
            if e.lower() == name.lower():
                return os.path.join(folder, e)
    return os.path.join(folder, name)


def reg_file_body(keys):
    """A regedit file (version 5) that creates KEYS, as
    bigsys.registry_leftovers() gives them."""
    body = ["Windows Registry Editor Version 5.00", ""]
    for key, values in keys:
        body.append("[HKEY_LOCAL_MACHINE\\%s]" % key)
        for name, kind, text in values:
            if kind == "expand":
                data = (text + "\0").encode("utf-16-le")
                body.append('"%s"=hex(2):%s' % (name, ",".join(
                    "%02x" % b for b in data)))
            else:
                body.append('"%s"="%s"' % (name, text.replace(
                    "\\", "\\\\").replace('"', '\\"')))
        body.append("")
    return "\r\n".join(body) + "\r\n"


def leftovers_plan(arch, windir):
    """What the leftovers prefix of ARCH receives: (regedit file body,
    [paths below the Windows folder], items), and a stamp of it all."""
    keys = bigsys.registry_leftovers(2 if arch == "win64" else 1)
    body = reg_file_body(keys)
    files = bigsys.file_leftovers()
    h = hashlib.sha256(body.encode("utf-8"))
    for rel in files:
        h.update(rel.encode("utf-8"))
        with open(os.path.join(windir, *rel.split("\\")), "rb") as f:
            h.update(f.read())
    items = len(keys) + sum(not f.lower().endswith(".pnf") for f in files)
    return body, files, items, h.hexdigest()


def plant_leftovers(arch, prefix, windir, body, files):
    """Copies the system's leftovers into the prefix at PREFIX: registry
    keys through ARCH's own regedit (the 32-bit view's under Wow6432Node
    in a 64-bit prefix, none in a 32-bit one), files below
    drive_c/windows."""
    env = wine_env(arch, prefix)
    reg = os.path.join(prefix, "leftovers.reg")
    with open(reg, "w", encoding="utf-16") as f:
        f.write(body)
    run_quiet([harness.wine_loader(arch), "regedit", "/s", reg], env=env,
              check=True, timeout=300)
    run_quiet(["wineserver", "-w"], env=env, timeout=300)
    os.unlink(reg)
    win = os.path.join(prefix, "drive_c", "windows")
    for rel in files:
        dst = win
        for part in rel.split("\\"):
            dst = child_ci(dst, part)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(os.path.join(windir, *rel.split("\\")), dst)


def wine_prefixes(arch, windir):
    """The clean prefix of ARCH and a copy of it holding the leftovers,
    both kept in build/bench (a dry run changes neither); the copy is
    made again when the leftovers change.  [(label, path, items
    planted)]."""
    clean = os.path.join(BENCH_BUILD, arch)
    if harness.prefix_arch(clean) != arch:
        log("booting a %s Wine prefix in %s" % (arch, clean))
        shutil.rmtree(clean, ignore_errors=True)
    harness.make_wine_prefix(clean, arch)
    dirty = clean + "-leftovers"
    body, files, planted, stamp = leftovers_plan(arch, windir)
    stamp_file = os.path.join(dirty, "bench-leftovers.stamp")
    try:
        have = read(stamp_file)
    except OSError:
        have = None
    if have != stamp:
        log("planting the leftovers in a copy of %s" % clean)
        shutil.rmtree(dirty, ignore_errors=True)
        subprocess.run(["cp", "-a", clean, dirty], check=True)
        plant_leftovers(arch, dirty, windir, body, files)
        with open(stamp_file, "w") as f:
            f.write(stamp)
    return [("clean", clean, 0), ("leftovers", dirty, planted)]


def measure_prefix(arch, prefix, workdir):
    """The .exe's dry run, the floor and the .exe's -h in PREFIX, RUNS
    times each, interleaved; then relay logs and syscall counts of
    each."""
    env = wine_env(arch, prefix)
    loader = harness.wine_loader(arch)
    progs = {"dry": [loader, EXE[arch]], "floor": [loader, WIN_FLOOR[arch]],
             "help": [loader, EXE[arch], "-h"]}
    # A persistent server, started here and ended below: every timed run
    # finds it running.
    run_quiet(["wineserver", "-k"], env=env, timeout=60)
    run_quiet(["wineserver", "-p"], env=env, check=True, timeout=60)
    res = {}
    try:
        out = os.path.join(workdir, "wine-out.txt")
        for name in ("dry", "floor"):
            timed(progs[name], env, out)      # warm up, and what it finds
            res[name + "_summary"] = summary_line(
                read(out).replace("\r\n", "\n"))
        timed(progs["help"], env, out)
        server = wineserver_pid(prefix)
        samples = {name: [] for name in progs}
        for _ in range(RUNS):
            for name, argv in progs.items():
                samples[name].append(timed_cpu(argv, env, out, server))
        for name, rows in samples.items():
            res[name] = [r[0] for r in rows]
            res[name + "_client_cpu"] = median([r[1] for r in rows])
            res[name + "_server_cpu"] = median([r[2] for r in rows])
        res["sys"] = {name: strace_counts(argv, env, workdir, name)
                      for name, argv in progs.items()}
        res["relay"] = {name: relay_breakdown(arch, progs[name], env,
                                              workdir)
                        for name in ("dry", "floor")}
    finally:
        run_quiet(["wineserver", "-k"], env=env, timeout=60)
    return res


def measure_wine(arch, workdir, windir):
    """Both prefixes of ARCH; None with the reason when this host cannot
    run ARCH's programs or they are not built."""
    why = harness.skip_reason(arch)
    if why is None:
        missing = [p for p in (EXE[arch], WIN_FLOOR[arch])
                   if not os.path.exists(p)]
        if missing:
            why = "not built: %s" % ", ".join(
                os.path.relpath(p, ROOT) for p in missing)
    if why is not None:
        log("wine %s: not measured: %s" % (arch, why))
        return {"skipped": why}
    res = {"prefixes": []}
    for label, prefix, planted in wine_prefixes(arch, windir):
        r = measure_prefix(arch, prefix, workdir)
        r.update(label=label, planted=planted,
                 path=os.path.relpath(prefix, ROOT))
        log("wine %s %s: dry run %.3f s (%s), floor %.3f s (%s), -h %.3f s"
            % (arch, label, median(r["dry"]), r["dry_summary"],
               median(r["floor"]), r["floor_summary"], median(r["help"])))
        res["prefixes"].append(r)
    return res


# ---- machine ----

def machine():
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = "?"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                mem = "%.1f GiB" % (int(line.split()[1]) / 1048576)
    try:
        debian = open("/etc/debian_version").read().strip()
    except OSError:
        debian = "?"
    return {
        "nproc": subprocess.run(["nproc"], stdout=subprocess.PIPE).stdout
        .decode().strip(),
        "cpu": cpu, "memory": mem, "kernel": platform.release(),
        "debian": debian,
        "date": subprocess.run(["date"], stdout=subprocess.PIPE).stdout
        .decode().strip(),
    }


# ---- the run ----

def hives_kept(base, run_hives):
    """1 when the newest backup folder in the current folder holds a copy
    of each hive in RUN_HIVES equal to the hive of BASE it was copied
    from before the run."""
    folders = sorted(d for d in os.listdir(".") if d.startswith("vkm310_backup-"))
    if not folders:
        return False
    for h, path in run_hives.items():
        before = os.path.join(base, "Windows", "System32", "config", h)
        copy = os.path.join(folders[-1], "SystemRoot", "System32", "config", h)
        if not os.path.exists(copy) or read_bytes(copy) != read_bytes(before):
            return False
    return True


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def copy_system(src, dst):
    if os.path.exists(dst):
        shutil.rmtree(dst)
    subprocess.run(["cp", "-a", src, dst], check=True)


def tree_revision():
    """The commit measured, with "+changes" when the tree differs."""
    def git(*args):
        return subprocess.run(["git", "-C", ROOT] + list(args),
                              stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout.decode().strip()
    rev = git("log", "-1", "--format=%h %s") or "?"
    # The results file itself, rewritten by every run, does not count.
    return rev + (" (+changes)" if git(
        "status", "--porcelain", "--untracked-files=no", "--", ".",
        ":!bench/RESULTS.md") else "")


def measure_offline(R, info, work):
    hives = {h: os.path.join(info["windir"], "System32", "config", h)
             for h in ("SOFTWARE", "SYSTEM")}
    env = env_with(SystemRoot=info["windir"])
    out = os.path.join(work, "out.txt")

    # Dry run, floor and peer, interleaved so drift hits all alike.
    timed([TOOL], env, out)
    timed([FLOOR, info["windir"]], env, out)
    t_dry, t_floor, t_peer = [], [], []
    for _ in range(RUNS):
        t_dry.append(timed([TOOL], env, out))
        dry_text = read(out)
        t_floor.append(timed([FLOOR, info["windir"]], env, out))
        floor_text = read(out)
        t = 0.0
        for hive, key in PEER_KEYS:
            t += timed(["hivexregedit", "--export", hives[hive], key], env,
                       os.path.join(work, "peer.reg"), check=False)
        t_peer.append(t)
    R["dry"], R["floor"], R["peer"] = t_dry, t_floor, t_peer
    static = os.path.exists(STATIC)
    R["static"], R["static_dry"], R["static_same"] = \
        static_runs(env, out, dry_text) if static else ([], [], None)
    R["sizes"] = file_sizes(work)
    R["dry_summary"] = summary_line(dry_text)
    R["floor_summary"] = summary_line(floor_text)
    log("dry run %.3f s (%s), floor %.3f s (%s), peer %.3f s" % (
        median(t_dry), R["dry_summary"], median(t_floor),
        R["floor_summary"], median(t_peer)))
    R["dry_mem"] = peak_kb([TOOL], env, work)
    if static:
        R["static_mem"] = peak_kb([STATIC], env, work)
    R["floor_mem"] = peak_kb([FLOOR, info["windir"]], env, work)
    R["dry_io"] = strace_hive_io([TOOL], env, hives, work)
    R["floor_io"] = strace_hive_io([FLOOR, info["windir"]], env, hives, work)
    R["profile"] = profile_dry_run(env, work)

    # The cleanup and its floor, side by side, each run on a fresh copy;
    # which of the two goes first swaps each time.
    base = os.path.dirname(info["windir"])
    run_dir = os.path.join(work, "run")
    run_windir = os.path.join(run_dir, "Windows")
    run_hives = {h: os.path.join(run_windir, "System32", "config", h)
                 for h in hives}
    renv = env_with(SystemRoot=run_windir)
    t_clean, t_clean_floor = [], []
    for i in range(CLEAN_RUNS):
        for tool_first in ((True, False) if i % 2 == 0 else (False, True)):
            # Written out first, so that neither pays for the copy.
            copy_system(base, run_dir)
            os.sync()
            if not tool_first:
                t_clean_floor.append(timed([FLOOR, "--cleanup", run_windir],
                                           renv, out))
                R["clean_floor_summary"] = read(out).strip()
                continue
            # In the current folder, where hives_kept looks for the backup.
            t, text, asked = timed_cleanup(renv, work)
            t_clean.append(t)
            if i == 0:
                R["clean_summary"] = summary_line(text)
                R["clean_asked"] = asked
                timed([TOOL], renv, out)
                R["after_summary"] = summary_line(read(out))
                R["after_floor"] = summary_line(read_run(
                    [FLOOR, run_windir], renv, out))
                R["bak"] = hives_kept(base, run_hives)
    R["clean_floor"] = t_clean_floor
    R["clean"] = t_clean
    log("cleanup %.3f s (%s; then a dry run: %s, the floor: %s), its floor "
        "%.3f s (%s)" % (median(t_clean), R["clean_summary"],
                         R["after_summary"], R["after_floor"],
                         median(t_clean_floor), R["clean_floor_summary"]))
    copy_system(base, run_dir)
    R["clean_mem"] = peak_kb([TOOL, "-f", "-agree"], renv, work, pty=True)
    copy_system(base, run_dir)
    R["clean_io"] = strace_hive_io([TOOL, "-f", "-agree"], renv, run_hives,
                                   work, pty=True)
    copy_system(base, run_dir)
    R["clean_floor_io"] = strace_hive_io([FLOOR, "--cleanup", run_windir],
                                         renv, run_hives, work)
    copy_system(base, run_dir)
    R["clean_sys"] = cleanup_syscalls(renv, work)
    R["hive_bytes"] = sum(os.path.getsize(p) for p in hives.values())


def static_runs(env, out, dry_text):
    """The static file's dry runs and the dynamic build's, in pairs whose
    order swaps each time, so that neither always runs first or after
    the peer's long runs: ([static], [dynamic], whether every run of
    either printed what the dynamic build printed before)."""
    t_static, t_dry = [], []
    same = True
    timed([STATIC], env, out)
    for i in range(3 * RUNS):
        pair = [(STATIC, t_static), (TOOL, t_dry)]
        for prog, times in (pair if i % 2 else pair[::-1]):
            times.append(timed([prog], env, out))
            same = same and read(out) == dry_text
    log("static file: dry run %.3f s, the dynamic build beside it %.3f s"
        % (median(t_static), median(t_dry)))
    return t_static, t_dry, same


def file_sizes(work):
    """Bytes of the static file, of the dynamic build (with its debug
    information, and stripped) and of the libhivex it loads."""
    stripped = os.path.join(work, "stripped")
    run_quiet(["strip", "-o", stripped, TOOL], check=True)
    sizes = {"dynamic": os.path.getsize(TOOL),
             "dynamic_stripped": os.path.getsize(stripped)}
    os.unlink(stripped)
    ldd = subprocess.run(["ldd", TOOL], stdout=subprocess.PIPE).stdout.decode()
    m = re.search(r"libhivex\S* => (\S+)", ldd)
    if m:
        sizes["libhivex"] = os.path.getsize(os.path.realpath(m.group(1)))
    if os.path.exists(STATIC):
        sizes["static"] = os.path.getsize(STATIC)
    return sizes


def read_run(argv, env, out):
    timed(argv, env, out)
    return read(out)


def main():
    for f in (TOOL,):
        if not os.path.exists(f):
            raise SystemExit("bench: %s is missing: run `make build` first" % f)
    os.makedirs(BENCH_BUILD, exist_ok=True)
    subprocess.run(["g++", "-O2", "-std=c++17", os.path.join(HERE, "floor.cpp"),
                    "-lhivex", "-o", FLOOR], check=True)

    work = tempfile.mkdtemp(prefix="vkm-bench-")
    # Cleanup runs leave their backup folders in the current folder: the
    # temp folder, never the checkout.  Paths above are absolute.
    os.makedirs(os.path.join(work, "cwd"))
    os.chdir(os.path.join(work, "cwd"))
    R = {"machine": machine(), "runs": RUNS, "clean_runs": CLEAN_RUNS,
         "load_before": os.getloadavg()[0], "revision": tree_revision()}
    try:
        base = os.path.join(work, "base")
        t0 = time.perf_counter()
        info = bigsys.build(base)
        R["system"] = info
        R["build_seconds"] = time.perf_counter() - t0
        log("system built in %.1f s: SOFTWARE %.1f MB, SYSTEM %.1f MB" % (
            R["build_seconds"], info["hive_sizes"]["SOFTWARE"] / 1e6,
            info["hive_sizes"]["SYSTEM"] / 1e6))
        measure_offline(R, info, work)
        R["wine"] = {}
        for arch in ARCHES:
            if os.environ.get("BENCH_NO_WINE"):
                R["wine"][arch] = {"skipped": "BENCH_NO_WINE=1"}
            else:
                R["wine"][arch] = measure_wine(arch, work, info["windir"])
    finally:
        if os.environ.get("BENCH_KEEP"):
            log("kept %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    R["load_after"] = os.getloadavg()[0]
    rows = target_rows(R)
    write_results(R, rows)
    log("wrote %s" % os.path.relpath(RESULTS, ROOT))
    failed = [r for r in rows if r[2] is False]
    for name, val, _ in failed:
        log("FAIL: %s: %s" % (name, val))
    if failed and os.environ.get("BENCH_STRICT"):
        raise SystemExit(1)


def cleanup_syscalls(env, workdir):
    """Wall time inside each syscall during one cleanup (strace -f -c -w),
    and the run's wall time under strace."""
    summary = os.path.join(workdir, "clean.strace")
    wall, _, _ = run_in_pty(["strace", "-f", "-c", "-w", "-o", summary, TOOL,
                             "-f", "-agree"], env)
    spent, calls = {}, {}
    for line in read(summary).split("\n"):
        f = line.split()
        if len(f) >= 5 and f[0][0].isdigit() and f[-1] != "total":
            try:
                spent[f[-1]] = float(f[1])
                calls[f[-1]] = int(f[3])
            except ValueError:
                pass
    return {"wall": wall, "spent": spent, "calls": calls}


# ---- RESULTS.md ----

def fmt_s(xs):
    return "%.3f s" % median(xs)


def spread(xs):
    return "%.3f–%.3f" % (min(xs), max(xs))


def ratio_row(what, prog, floor):
    """The target is judged on medians; the ratio of the fastest runs is
    shown beside it, as a reading less moved by other work on the
    machine."""
    r = median(prog) / median(floor)
    return (what, "%.2f× (%.3f s / %.3f s); fastest runs %.2f×" % (
        r, median(prog), median(floor), min(prog) / min(floor)),
        r <= TARGET_RATIO)


def items_row(what, dry_summary, floor_summary, planted):
    d, f = items_of(dry_summary), items_of(floor_summary)
    return (what, "dry run %s, floor %s, planted %d" % (
        "?" if d is None else d, "?" if f is None else f, planted),
        d == f == planted)


def static_rows(R):
    """The static file against the dynamic build: its dry run's time and
    what it reports."""
    what = ("offline: the static file's dry run within %.1f× the dynamic "
            "build's" % STATIC_RATIO)
    same = "offline: the static file reports what the dynamic build reports"
    if not R["static"]:
        why = "not measured: %s is not built" % os.path.relpath(STATIC, ROOT)
        return [(what, why, None), (same, why, None)]
    r = median(R["static"]) / median(R["static_dry"])
    return [
        (what, "%.2f× (%.3f s / %.3f s); fastest runs %.2f×" % (
            r, median(R["static"]), median(R["static_dry"]),
            min(R["static"]) / min(R["static_dry"])), r <= STATIC_RATIO),
        (same, "the same output, byte for byte: %s" % (
            "yes" if R["static_same"] else "NO"), R["static_same"]),
    ]


def target_rows(R):
    """[(target, measured, True / False / None for not measured)]."""
    info = R["system"]
    hive_mb = R["hive_bytes"] / 1048576
    dio, cio = R["dry_io"], R["clean_io"]
    fixed = re.search(r"(\d+) (?:fixed|item\(s\) fixed)", R["clean_summary"])
    rows = [
        ratio_row("offline dry run within %.1f× its floor" % TARGET_RATIO,
                  R["dry"], R["floor"]),
        items_row("offline: the dry run finds what the floor finds",
                  R["dry_summary"], R["floor_summary"], info["planted"]),
        ("offline: after `-f -agree` (answered A) nothing is left",
         "fixed %s; then the dry run: \"%s\", the floor: \"%s\"" % (
             fixed.group(1) if fixed else "?", R["after_summary"],
             R["after_floor"]),
         fixed is not None and int(fixed.group(1)) == info["planted"] and
         items_of(R["after_summary"]) == 0 and
         items_of(R["after_floor"]) == 0),
        ("offline dry run under 1 s", fmt_s(R["dry"]), median(R["dry"]) < 1),
    ] + static_rows(R) + [
        ("dry run: each hive loaded once, mapped, never written",
         "loads %d/%d, mapped %d/%d, writes %d/%d (SOFTWARE/SYSTEM)" % (
             dio["SOFTWARE"]["loads"], dio["SYSTEM"]["loads"],
             dio["SOFTWARE"]["mapped"], dio["SYSTEM"]["mapped"],
             dio["SOFTWARE"]["writes"], dio["SYSTEM"]["writes"]),
         all(dio[h]["loads"] == 1 and dio[h]["mapped"] == 1 and
             dio[h]["writes"] == 0 for h in dio)),
        ("`-f -agree`: each hive loaded at most twice (mapped, then "
         "writable at its first change)",
         "loads %d/%d, mapped %d/%d" % (
             cio["SOFTWARE"]["loads"], cio["SYSTEM"]["loads"],
             cio["SOFTWARE"]["mapped"], cio["SYSTEM"]["mapped"]),
         all(1 <= cio[h]["loads"] <= 2 for h in cio)),
        ("peak memory under 3× the hives (%.1f MiB)" % (3 * hive_mb),
         "dry %.1f MiB, -f %.1f MiB" % (R["dry_mem"] / 1024,
                                          R["clean_mem"] / 1024),
         max(R["dry_mem"], R["clean_mem"]) / 1024 < 3 * hive_mb),
        ("cleanup of the %d leftovers under 5 s" % info["planted"],
         fmt_s(R["clean"]), median(R["clean"]) < 5),
        ratio_row("offline `-f -agree` within %.1f× its floor "
                  "(`floor --cleanup`)" % TARGET_RATIO, R["clean"],
                  R["clean_floor"]),
        ("offline: `-f -agree` keeps both hives, as they were, in its "
         "backup folder", "yes" if R["bak"] else "NO", R["bak"]),
    ]
    for arch in ARCHES:
        w = R["wine"].get(arch) or {"skipped": "not run"}
        if "skipped" in w:
            rows.append(("Wine %s: dry run within %.1f× its floor" % (
                arch, TARGET_RATIO), "not measured: %s" % w["skipped"], None))
            continue
        for p in w["prefixes"]:
            rows.append(ratio_row("Wine %s, %s prefix: dry run within %.1f× "
                                  "its floor" % (arch, p["label"],
                                                 TARGET_RATIO),
                                  p["dry"], p["floor"]))
            rows.append(items_row("Wine %s, %s prefix: the dry run finds what "
                                  "the floor finds" % (arch, p["label"]),
                                  p["dry_summary"], p["floor_summary"],
                                  p["planted"]))
    return rows


def verdict(ok):
    return "not measured" if ok is None else "PASS" if ok else "FAIL"


def results_header(R, L):
    m, info = R["machine"], R["system"]
    L.append("# vkm310_cleanup benchmark results\n")
    L.append("Written by `bench/run_bench.py` from its own measurements "
             "(never edited by hand).\n")
    L.append("- Date: %s" % m["date"])
    L.append("- Tree: %s" % R["revision"])
    if os.environ.get("BENCH_NOTE"):
        L.append("- Note: %s" % os.environ["BENCH_NOTE"])
    L.append("- Machine: %s CPU(s), %s, %s memory, kernel %s, Debian %s" % (
        m["nproc"], m["cpu"], m["memory"], m["kernel"], m["debian"]))
    L.append("- Timed runs: %d of each (dry run, floor, peer, each Wine "
             "program), %d cleanups; medians, with min–max.  Warm page "
             "cache." % (R["runs"], R["clean_runs"]))
    L.append("- Load average (1 min) when the run began and ended: %.2f, "
             "%.2f.  The machine is shared: other work shows in the spread, "
             "and with few runs a single slow run can move a median." % (
                 R["load_before"], R["load_after"]))
    L.append("")
    L.append("## The system\n")
    L.append("Built by `bench/bigsys.py` in %.1f s (same seed every run): "
             "SOFTWARE %.1f MB (%d keys), SYSTEM %.1f MB (%d keys); 600 "
             "uninstall entries and 300 driver-store entries with DRVSTORE "
             "folders, and in the 32-bit view (`SOFTWARE\\Wow6432Node`) 250 "
             "and 60 more; 1,500 services (ControlSet001, Select\\Current=1); "
             "oem0.inf .. oem999.inf and oem1207.inf of 2–20 KB with their "
             "PNF files.  %d planted leftovers: 4 OEM INF pairs, 4 driver "
             "files (2 in each drivers folder), 4 driver-store keys, 4 "
             "uninstall entries, 3 smart-card class keys, 5 services.  %d of "
             "them lie where a walk of subkeys 0 to 999 in one view does "
             "not reach: the service `vkm310` (subkey %d of Services), "
             "oem1207.inf, and one uninstall and one driver-store entry of "
             "the 32-bit view.\n" % (
                 R["build_seconds"], info["hive_sizes"]["SOFTWARE"] / 1e6,
                 info["keys"]["SOFTWARE"], info["hive_sizes"]["SYSTEM"] / 1e6,
                 info["keys"]["SYSTEM"], info["planted"],
                 info["beyond_walk"], info["vkm310_service_index"]))
    L.append("The floors do once what a dry run cannot avoid: "
             "`bench/floor.cpp` (offline) loads both hives read-only "
             "(mapped) with libhivex, enumerates every subkey of the four "
             "scanned keys and of the 32-bit view's two, reading the one "
             "value the tool reads, lists the INF folder once and reads "
             "each oem<N>.inf once up to its first five [SourceDisksFiles] "
             "entries, and tests the 14 driver files.  `bench/win/floor.cpp` "
             "does the same through the Win32 API (FindFirstFileA, "
             "CreateFileA/ReadFile, RegOpenKeyExA once per key and view, "
             "RegEnumKeyExA, RegQueryValueExA, GetFileAttributesA), built "
             "for each bitness.  Each prints the items it found.  "
             "`floor --cleanup` adds the hive work a cleanup cannot avoid: "
             "each hive read whole once, and for each registry item one "
             "delete of its tree in memory and one crash-safe write of its "
             "hive (a temporary file beside it, synced, renamed over it, "
             "the folder synced); it touches no file item and keeps no "
             "backup.\n")


def results_static(R, L):
    """The sizes of both builds and the static file's memory."""
    z = R["sizes"]
    kib = lambda n: "%.0f KiB" % (n / 1024)
    if R["static"]:
        L.append("Static file / dynamic build (dry run): **%.2f×**; peak "
                 "memory %.1f MiB against %.1f MiB.\n" % (
                     median(R["static"]) / median(R["static_dry"]),
                     R["static_mem"] / 1024, R["dry_mem"] / 1024))
    L.append("Sizes: the static file (glibc and libhivex within, stripped) %s; "
             "the dynamic build %s (%s stripped), which loads libhivex "
             "(%s) and the C library beside it.\n" % (
                 kib(z["static"]) if "static" in z else "not built",
                 kib(z["dynamic"]), kib(z["dynamic_stripped"]),
                 kib(z["libhivex"]) if "libhivex" in z else "?"))


def results_offline(R, L):
    dry, floor, peer = median(R["dry"]), median(R["floor"]), median(R["peer"])
    L.append("## Offline\n")
    L.append("| what | median | min–max | notes |")
    L.append("| --- | --- | --- | --- |")
    L.append("| dry run | %s | %s | \"%s\" |" % (fmt_s(R["dry"]), spread(R["dry"]),
                                               R["dry_summary"]))
    L.append("| floor (`bench/floor.cpp`) | %s | %s | \"%s\" |" % (
        fmt_s(R["floor"]), spread(R["floor"]), R["floor_summary"]))
    if R["static"]:
        L.append("| dry run, static file (`build/static`) | %s | %s | "
                 "%d runs, each beside one of the dynamic build's; the "
                 "same output: %s |" % (
                     fmt_s(R["static"]), spread(R["static"]),
                     len(R["static"]), "yes" if R["static_same"] else "NO"))
        L.append("| dry run, the dynamic build beside it | %s | %s | |" % (
            fmt_s(R["static_dry"]), spread(R["static_dry"])))
    L.append("| peer (`hivexregedit --export`, %d invocations, summed) | %s | "
             "%s | one process per scanned key; each exports the whole "
             "subtree |" % (len(PEER_KEYS), fmt_s(R["peer"]),
                             spread(R["peer"])))
    L.append("| `-f -agree`, answered A | %s | %s | \"%s\"; %d question(s); "
             "both hives kept, as they were, in the run's backup folder: %s |" % (
                 fmt_s(R["clean"]), spread(R["clean"]), R["clean_summary"],
                 R["clean_asked"], "yes" if R["bak"] else "NO"))
    L.append("| its floor (`bench/floor.cpp --cleanup`) | %s | %s | \"%s\"; "
             "each beside one cleanup |" % (
                 fmt_s(R["clean_floor"]), spread(R["clean_floor"]),
                 R["clean_floor_summary"]))
    L.append("")
    L.append("Dry run / floor: **%.2f×**; dry run / peer: %.2f×; cleanup / "
             "its floor: **%.2f×**.\n" % (
                 dry / floor, dry / peer,
                 median(R["clean"]) / median(R["clean_floor"])))
    results_static(R, L)
    L.append("| run | peak memory (`/usr/bin/time` %M) | hive loads "
             "SOFTWARE / SYSTEM | of them mapped | hive writes | other "
             "opens of the hive files |")
    L.append("| --- | --- | --- | --- | --- | --- |")
    for name, mem, io_ in (("dry run", R["dry_mem"], R["dry_io"]),
                           ("-f -agree", R["clean_mem"], R["clean_io"]),
                           ("floor", R["floor_mem"], R["floor_io"]),
                           ("floor --cleanup", None, R["clean_floor_io"])):
        s, y = io_["SOFTWARE"], io_["SYSTEM"]
        L.append("| %s | %s | %d / %d | %d / %d | %d / %d | %d / %d |" % (
            name, "%.1f MiB" % (mem / 1024) if mem else "", s["loads"],
            y["loads"], s["mapped"], y["mapped"], s["writes"], y["writes"],
            s["other_opens"], y["other_opens"]))
    L.append("")
    L.append("Hive loads are opens of a hive file made by libhivex's "
             "`hivex_open` (strace -k stacks); mapped ones are those whose "
             "file is then mmap'ed (libhivex maps a hive it opens "
             "read-only and reads a writable one whole); writes are renames "
             "onto the hive file.  Hives together: %.1f MiB.\n" % (
                 R["hive_bytes"] / 1048576))
    if R.get("profile"):
        L.append("### Where the offline dry run's time goes (perf, inclusive "
                 "share of samples)\n")
        L.append("| part | share | ≈ seconds of the median |")
        L.append("| --- | --- | --- |")
        for name, label in PROFILE_FUNCS:
            if name in R["profile"]:
                L.append("| %s `%s` | %.1f%% | %.3f |" % (
                    label.replace("  ", "&nbsp;&nbsp;"), name,
                    R["profile"][name], R["profile"][name] / 100 * dry))
        L.append("")
    cs = R["clean_sys"]
    L.append("### Where the cleanup's time goes (strace -f -c -w, one run)\n")
    L.append("Under strace the run took %.3f s (strace slows every call); "
             "%.3f s of it inside syscalls.  The largest:\n" % (
                 cs["wall"], sum(cs["spent"].values())))
    L.append("| syscall | calls | seconds inside |")
    L.append("| --- | --- | --- |")
    for n in sorted(cs["spent"], key=lambda n: -cs["spent"][n])[:8]:
        L.append("| %s | %d | %.3f |" % (n, cs["calls"][n], cs["spent"][n]))
    L.append("")


def results_wine(arch, w, L):
    L.append("## Under Wine: the %s .exe\n" % arch)
    if "skipped" in w:
        L.append("Not measured: %s.\n" % w["skipped"])
        return
    L.append("Prefixes of the .exe's own bitness, booted with `wineboot -i` "
             "through its own loader (%s); one persistent wineserver per "
             "prefix for all its runs.  The leftovers prefix is a copy of "
             "the clean one with the system's leftovers planted: keys by "
             "this bitness's regedit%s, files copied into "
             "drive_c/windows.\n" % (
                 harness.wine_loader(arch),
                 " (the 32-bit view's under `Wow6432Node`)"
                 if arch == "win64" else
                 " (a 32-bit system has no second view: none of its keys)"))
    L.append("| prefix | run | median wall | min–max | CPU of its processes "
             "| CPU of the wineserver | found |")
    L.append("| --- | --- | --- | --- | --- | --- | --- |")
    for p in w["prefixes"]:
        for key, label in (("dry", "dry run"), ("floor", "floor.exe"),
                           ("help", "-h (start and usage, no scan)")):
            found = p.get(key + "_summary", "")
            L.append("| %s (`%s`) | %s | %s | %s | %.3f s | %.3f s | %s |" % (
                p["label"], p["path"], label, fmt_s(p[key]), spread(p[key]),
                p[key + "_client_cpu"], p[key + "_server_cpu"],
                "\"%s\"" % found if found else ""))
    L.append("")
    for p in w["prefixes"]:
        d, f, h = median(p["dry"]), median(p["floor"]), median(p["help"])
        L.append("- %s prefix: dry run / floor **%.2f×**; beyond starting "
                 "(-h), the scans take %.3f s, the floor's work %.3f s." % (
                     p["label"], d / f, d - h, f - h))
    L.append("")
    for p in w["prefixes"]:
        results_wine_breakdown(p, L)


def results_wine_breakdown(p, L):
    """Where the time of the runs in one prefix goes."""
    if "relay" in p:
        L.append("### Where the time goes (%s prefix)\n" % p["label"])
        L.append("Calls into Win32 and the C run-time, from a relay log of "
                 "these calls alone (WINEDEBUG=+timestamp,+relay with "
                 "RelayInclude; logging slows every call, so the counts and "
                 "shares are the result, not the seconds):\n")
        rd, rf = p["relay"]["dry"], p["relay"]["floor"]
        fns = sorted(set(rd["calls"]) | set(rf["calls"]),
                     key=lambda n: -rd["spent"].get(n, 0.0))
        tot = sum(rd["spent"].values()) or 1.0
        L.append("| call | dry run: calls | share of its time in these "
                 "calls | floor: calls |")
        L.append("| --- | --- | --- | --- |")
        for fn in fns:
            L.append("| %s | %d | %.1f%% | %d |" % (
                fn, rd["calls"].get(fn, 0),
                100 * rd["spent"].get(fn, 0.0) / tot, rf["calls"].get(fn, 0)))
        L.append("")
        names = {"oem": "OEM INF scan", "registry": "registry scans",
                 "drivers": "driver files (14 tests)"}
        L.append("| phase (share of the logged run) | dry run | floor |")
        L.append("| --- | --- | --- |")
        td = sum(rd["phases"].values()) or 1.0
        tf = sum(rf["phases"].values()) or 1.0
        for k in ("oem", "registry", "drivers"):
            L.append("| %s | %.1f%% | %.1f%% |" % (
                names[k], 100 * rd["phases"].get(k, 0.0) / td,
                100 * rf["phases"].get(k, 0.0) / tf))
        L.append("| (wall under relay) | %.2f s | %.2f s |" % (rd["wall"],
                                                                rf["wall"]))
        L.append("")
        sysc = p["sys"]
        L.append("Syscalls of the client processes (strace -f -c; the "
                 "wineserver runs outside), the ten that grow most from the "
                 "floor to the dry run:\n")
        L.append("| syscall | exe -h | floor | exe dry run |")
        L.append("| --- | --- | --- | --- |")
        names = sorted(set(sysc["dry"]) | set(sysc["floor"]),
                       key=lambda n: -(sysc["dry"].get(n, 0) -
                                       sysc["floor"].get(n, 0)))
        for n in names[:10]:
            L.append("| %s | %d | %d | %d |" % (
                n, sysc["help"].get(n, 0), sysc["floor"].get(n, 0),
                sysc["dry"].get(n, 0)))
        L.append("| total | %d | %d | %d |" % tuple(
            sum(sysc[k].values()) for k in ("help", "floor", "dry")))
        L.append("")


def write_results(R, rows):
    L = []
    results_header(R, L)
    L.append("## Targets\n")
    L.append("| target | measured | result |")
    L.append("| --- | --- | --- |")
    for name, val, ok in rows:
        L.append("| %s | %s | %s |" % (name, val, verdict(ok)))
    L.append("")
    results_offline(R, L)
    for arch in ARCHES:
        results_wine(arch, R["wine"].get(arch) or {"skipped": "not run"}, L)
    L.append("## Rerunning\n")
    L.append("`make bench` builds everything (`make build`: the tool, its "
             "static file and `bench/win/floor.cpp` for each bitness), then "
             "runs "
             "`/usr/bin/python3 bench/run_bench.py`, which builds the system "
             "in a temp folder, compiles `bench/floor.cpp` to "
             "`build/bench/floor`, takes every measurement above on this "
             "machine, and rewrites this file.  `BENCH_RUNS` and "
             "`BENCH_CLEAN_RUNS` set the number of timed runs (default 7 "
             "and 5), `BENCH_NO_WINE=1` skips Wine, `BENCH_KEEP=1` keeps "
             "the temp folder, `BENCH_STRICT=1` makes a failed target fail "
             "the run, `BENCH_NOTE` adds a note line at the top.  The "
             "clean Wine prefixes are kept in "
             "`build/bench/win64` and `build/bench/win32` between runs; "
             "the leftovers prefixes beside them are made again when the "
             "leftovers change.  It needs "
             "strace, GNU time, perf (optional: the profile), "
             "python3-pexpect, python3-hivex, libwin-hivex-perl and Wine.\n")
    with open(RESULTS, "w") as f:
        f.write("\n".join(L))


if __name__ == "__main__":
    main()
