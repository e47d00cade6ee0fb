#!/usr/bin/python3
"""The benchmark of vkm310_cleanup: `make bench` runs it after the build.

Builds a large offline Windows installation with 20 planted leftovers
(bigsys.py), then measures on this machine, in this one run:

  - the dry run and the `-f -agree` run answered with "A" (a fresh copy of
    the system for each -f run): median wall time, peak memory
    (/usr/bin/time %M), hive loads and hive writes (strace);
  - the floor, bench/floor.cpp: the work a dry run cannot avoid, once;
  - the peer, hivexregedit --export of the four scanned keys;
  - a profile of the dry run (perf), to say where its time goes;
  - under Wine, the 32-bit .exe's dry run in a 32-bit prefix with no
    leftovers, against `wine cmd /c exit`, and what the difference is
    spent on.

Then (re)writes bench/RESULTS.md from what it measured.

    BENCH_RUNS=7 BENCH_CLEAN_RUNS=5 /usr/bin/python3 bench/run_bench.py
    BENCH_KEEP=1 ... keeps the temp folder; BENCH_NO_WINE=1 skips Wine.
"""

import io
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pexpect

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import bigsys  # noqa: E402

# The test harness knows how to tell a prefix's bitness.
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

TOOL = os.path.join(ROOT, "build", "native", "vkm310_cleanup")
EXE32 = os.path.join(ROOT, "build", "win32", "vkm310_cleanup.exe")
WINE32 = harness.wine_loader("win32")
BENCH_BUILD = os.path.join(ROOT, "build", "bench")
FLOOR = os.path.join(BENCH_BUILD, "floor")
WINE_PREFIX = os.path.join(BENCH_BUILD, "wine32")
RESULTS = os.path.join(HERE, "RESULTS.md")

RUNS = int(os.environ.get("BENCH_RUNS", "7"))
CLEAN_RUNS = int(os.environ.get("BENCH_CLEAN_RUNS", "5"))
PROMPT = b">>> [Y]es | Yes to [A]ll | [N]o | [C]ancel ? "
PEER_KEYS = [
    ("SOFTWARE", r"Microsoft\Windows\CurrentVersion\DIFx\DriverStore"),
    ("SOFTWARE", r"Microsoft\Windows\CurrentVersion\Uninstall"),
    ("SYSTEM", r"ControlSet001\Control\Class" "\\" + bigsys.SMARTCARD_CLASS),
    ("SYSTEM", r"ControlSet001\Services"),
]
# Functions whose inclusive share of the dry run's samples the profile
# reports, in the order of a run.
PROFILE_FUNCS = [
    ("scan_oem_inf_files", "OEM INF scan (1,000 numbers, entries read up to the first missing one)"),
    ("plat_fopen", "  opening a file (INF and driver files)"),
    ("winpath_resolve", "    resolving the path's letter case"),
    ("__getdents64", "      of which listing folders (getdents64)"),
    ("plat_fgets", "  reading lines"),
    ("scan_driver_store", "driver-store scan"),
    ("scan_uninstall_entries", "uninstall scan"),
    ("scan_smartcard_class", "smart-card class scan"),
    ("scan_services", "services scan"),
    ("hivex_open", "  loading the two hives (hivex_open)"),
    ("RegOpenKeyExA", "  opening keys (every index; the first open loads the hive)"),
    ("child_named", "    finding a subkey by name"),
    ("subkeys_of", "  listing subkeys"),
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


def timed(argv, env, out_path, cwd=None):
    """Wall seconds of one run, its output in OUT_PATH."""
    with open(out_path, "wb") as out:
        t0 = time.perf_counter()
        p = subprocess.run(argv, env=env, cwd=cwd, stdout=out,
                           stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL)
        t = time.perf_counter() - t0
    if p.returncode != 0:
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


def run_in_pty(argv, env, timeout=300):
    """Runs ARGV in a pseudo-terminal, answering every item question
    with "A".  (wall seconds, output, questions answered)."""
    out = io.BytesIO()
    t0 = time.perf_counter()
    child = pexpect.spawn(argv[0], argv[1:], env=env, timeout=timeout,
                          dimensions=(25, 200), echo=False)
    child.logfile_read = out
    asked = 0
    while child.expect_exact([PROMPT, pexpect.EOF]) == 0:
        child.send(b"a")
        asked += 1
    child.close()
    t = time.perf_counter() - t0
    if child.exitstatus != 0:
        raise SystemExit("bench: %s ended with %s/%s" % (
            argv, child.exitstatus, child.signalstatus))
    return t, out.getvalue().decode("utf-8", "replace").replace("\r\n", "\n"), asked


def summary_line(text):
    lines = [l for l in text.strip().split("\n") if l.strip()]
    for l in lines:
        if "item(s)" in l or "Nothing to do" in l:
            return l.strip()
    return lines[-1] if lines else ""


# ---- hive loads and writes ----

def strace_hive_io(argv, env, hives, workdir, pty=False):
    """Loads (opens by libhivex's hivex_open, as the stack shows) and
    writes (renames onto the hive file) of each hive in HIVES
    (name -> path) during one run."""
    trace = os.path.join(workdir, "strace.txt")
    cmd = ["strace", "-f", "-k", "-o", trace, "-e",
           "trace=openat,rename,renameat,renameat2"] + argv
    if pty:
        run_in_pty(cmd, env)
    else:
        timed(cmd, env, os.path.join(workdir, "strace-out.txt"))
    counts = {h: {"loads": 0, "writes": 0, "other_opens": 0} for h in hives}
    by_path = {os.path.realpath(p): h for h, p in hives.items()}
    calls, cur = [], None
    for line in read(trace).split("\n"):
        if line.startswith(" > "):
            if cur is not None:
                cur[1].append(line)
            continue
        cur = (line, [])
        calls.append(cur)
    for call, stack in calls:
        m = re.search(r'openat\([^,]+, "([^"]+)", ([A-Z_|]+)[^)]*\) = (-?\d+)',
                      call)
        if m and int(m.group(3)) >= 0:
            h = by_path.get(os.path.realpath(m.group(1)))
            if h is None:
                continue
            if "libhivex" in "".join(stack) and "O_RDONLY" in m.group(2):
                counts[h]["loads"] += 1
            else:
                counts[h]["other_opens"] += 1
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

def wine_env():
    return env_with(WINEPREFIX=WINE_PREFIX, WINEARCH="win32", WINEDEBUG="-all",
                    WINELOADER=WINE32, WINEDLLOVERRIDES="mscoree,mshtml=")


def strace_counts(argv, env, workdir, name):
    """Syscalls of ARGV and its children: {syscall: calls}, total."""
    out = os.path.join(workdir, name + ".strace")
    subprocess.run(["strace", "-f", "-c", "-o", out] + argv, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   stdin=subprocess.DEVNULL)
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
               "kernel32.GetFileAttributesA", "advapi32.RegOpenKeyExA",
               "advapi32.RegQueryInfoKeyA", "advapi32.RegEnumKeyExA",
               "advapi32.RegQueryValueExA", "advapi32.RegCloseKey"]
RELAY_LINE = re.compile(r"^([\d.]+):([0-9a-f]+):(Call|Ret)\s+([\w.]+)\((.*)$")


def set_relay_include(env, workdir, funcs):
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
    run_quiet([WINE32, "regedit", "/s", reg], env=env)


def relay_breakdown(env, workdir):
    """The dry run's phases and the time inside each Win32/CRT call the
    scans make, from a relay log of those calls alone.  Relay slows every
    call: the shares, not the seconds, are the result."""
    set_relay_include(env, workdir, RELAY_FUNCS)
    logf = os.path.join(workdir, "relay.log")
    try:
        with open(logf, "wb") as err:
            t0 = time.perf_counter()
            subprocess.run([WINE32, EXE32],
                           env=dict(env, WINEDEBUG="+timestamp,+relay"),
                           stdout=subprocess.DEVNULL, stderr=err,
                           stdin=subprocess.DEVNULL)
            wall = time.perf_counter() - t0
    finally:
        set_relay_include(env, workdir, None)
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
                if "oem0.inf" in args:
                    marks.setdefault("oem", ts)
                elif fn.startswith("advapi32."):
                    marks.setdefault("registry", ts)
                elif '.sys"' in args:
                    marks.setdefault("drivers", ts)
            elif (tid, fn) in pending:
                spent[fn] = spent.get(fn, 0.0) + ts - pending.pop((tid, fn))
    os.unlink(logf)
    phases = {}
    order = [k for k in ("oem", "registry", "drivers") if k in marks]
    for i, k in enumerate(order):
        stop = marks[order[i + 1]] if i + 1 < len(order) else end
        phases[k] = stop - marks[k]
    return {"calls": calls, "spent": spent, "phases": phases, "wall": wall}


def wineserver_pid():
    """The wineserver of our prefix: its working folder is named after
    the prefix's device and inode."""
    st = os.stat(WINE_PREFIX)
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


def measure_wine(workdir):
    env = wine_env()
    if harness.prefix_arch(WINE_PREFIX) != "win32":
        log("booting a 32-bit Wine prefix in %s" % WINE_PREFIX)
        shutil.rmtree(WINE_PREFIX, ignore_errors=True)
        os.makedirs(BENCH_BUILD, exist_ok=True)
        run_quiet([WINE32, "wineboot", "-i"], env=env, check=True, timeout=600)
        run_quiet(["wineserver", "-w"], env=env, timeout=600)
    # A persistent server, started here and ended below: every timed run
    # finds it running.
    run_quiet(["wineserver", "-p"], env=env, check=True)
    res = {}
    try:
        out = os.path.join(workdir, "wine-out.txt")
        cmd_exit = [WINE32, "cmd", "/c", "exit"]
        dry = [WINE32, EXE32]
        helpo = [WINE32, EXE32, "-h"]
        for argv in (cmd_exit, dry, helpo):      # warm up
            timed(argv, env, out)
        server = wineserver_pid()
        samples = {"cmd": [], "dry": [], "help": []}
        for _ in range(RUNS):
            for name, argv in (("cmd", cmd_exit), ("dry", dry),
                               ("help", helpo)):
                samples[name].append(timed_cpu(argv, env, out, server))
        for name, rows in samples.items():
            res[name] = [r[0] for r in rows]
            res[name + "_client_cpu"] = median([r[1] for r in rows])
            res[name + "_server_cpu"] = median([r[2] for r in rows])
        t_cmd, t_dry, t_help = res["cmd"], res["dry"], res["help"]
        timed(dry, env, out)
        res["dry_summary"] = summary_line(read(out).replace("\r\n", "\n"))
        log("wine: cmd /c exit %.3f s, exe dry run %.3f s, exe -h %.3f s" % (
            median(t_cmd), median(t_dry), median(t_help)))
        res["sys_cmd"] = strace_counts(cmd_exit, env, workdir, "cmd")
        res["sys_help"] = strace_counts(helpo, env, workdir, "help")
        res["sys_dry"] = strace_counts(dry, env, workdir, "dry")
        res["relay"] = relay_breakdown(env, workdir)
    finally:
        run_quiet(["wineserver", "-k"], env=env)
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

def copy_system(src, dst):
    if os.path.exists(dst):
        shutil.rmtree(dst)
    subprocess.run(["cp", "-a", src, dst], check=True)


def main():
    for f in (TOOL, EXE32):
        if not os.path.exists(f):
            raise SystemExit("bench: %s is missing: run `make build` first" % f)
    os.makedirs(BENCH_BUILD, exist_ok=True)
    subprocess.run(["g++", "-O2", "-std=c++17", os.path.join(HERE, "floor.cpp"),
                    "-lhivex", "-o", FLOOR], check=True)

    work = tempfile.mkdtemp(prefix="vkm-bench-")
    R = {"machine": machine(), "runs": RUNS, "clean_runs": CLEAN_RUNS,
         "load_before": os.getloadavg()[0]}
    try:
        base = os.path.join(work, "base")
        t0 = time.perf_counter()
        info = bigsys.build(base)
        R["system"] = info
        R["build_seconds"] = time.perf_counter() - t0
        hives = {h: os.path.join(info["windir"], "System32", "config", h)
                 for h in ("SOFTWARE", "SYSTEM")}
        hive_bytes = sum(os.path.getsize(p) for p in hives.values())
        log("system built in %.1f s: SOFTWARE %.1f MB, SYSTEM %.1f MB" % (
            R["build_seconds"], info["hive_sizes"]["SOFTWARE"] / 1e6,
            info["hive_sizes"]["SYSTEM"] / 1e6))
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
                           os.path.join(work, "peer.reg"))
            t_peer.append(t)
        R["dry"], R["floor"], R["peer"] = t_dry, t_floor, t_peer
        R["dry_summary"] = summary_line(dry_text)
        R["floor_summary"] = summary_line(floor_text)
        log("dry run %.3f s (%s), floor %.3f s (%s), peer %.3f s" % (
            median(t_dry), R["dry_summary"], median(t_floor),
            R["floor_summary"], median(t_peer)))
        R["dry_mem"] = peak_kb([TOOL], env, work)
        R["floor_mem"] = peak_kb([FLOOR, info["windir"]], env, work)
        R["dry_io"] = strace_hive_io([TOOL], env, hives, work)
        R["profile"] = profile_dry_run(env, work)

        # The cleanup, each run on a fresh copy.
        run_dir = os.path.join(work, "run")
        run_windir = os.path.join(run_dir, "Windows")
        run_hives = {h: os.path.join(run_windir, "System32", "config", h)
                     for h in hives}
        renv = env_with(SystemRoot=run_windir)
        t_clean = []
        for i in range(CLEAN_RUNS):
            copy_system(base, run_dir)
            t, text, asked = run_in_pty([TOOL, "-f", "-agree"], renv)
            t_clean.append(t)
            if i == 0:
                R["clean_summary"] = summary_line(text)
                R["clean_asked"] = asked
                timed([TOOL], renv, out)
                R["after_summary"] = summary_line(read(out))
                R["bak"] = all(os.path.exists(p + ".bak")
                               for p in run_hives.values())
        R["clean"] = t_clean
        log("cleanup %.3f s (%s; a dry run after it: %s)" % (
            median(t_clean), R["clean_summary"], R["after_summary"]))
        copy_system(base, run_dir)
        R["clean_mem"] = peak_kb([TOOL, "-f", "-agree"], renv, work, pty=True)
        copy_system(base, run_dir)
        R["clean_io"] = strace_hive_io([TOOL, "-f", "-agree"], renv, run_hives,
                                       work, pty=True)
        copy_system(base, run_dir)
        R["clean_sys"] = cleanup_syscalls(renv, work)
        R["hive_bytes"] = hive_bytes

        if os.environ.get("BENCH_NO_WINE"):
            R["wine"] = None
        elif harness.skip_reason("win32"):
            log("wine: not measured: %s" % harness.skip_reason("win32"))
            R["wine"] = None
        else:
            R["wine"] = measure_wine(work)
    finally:
        if os.environ.get("BENCH_KEEP"):
            log("kept %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    R["load_after"] = os.getloadavg()[0]
    write_results(R)
    log("wrote %s" % os.path.relpath(RESULTS, ROOT))
    want = info["planted"]
    checks = [(R["dry_summary"], "%d item(s) found" % want),
              (R["floor_summary"], "%d item(s) found" % want),
              (R["clean_summary"], "%d item(s) fixed" % want),
              (R["after_summary"], "Nothing to do, this system is clean !")]
    if R.get("wine"):
        checks.append((R["wine"]["dry_summary"],
                       "Nothing to do, this system is clean !"))
    bad = [(got, exp) for got, exp in checks if got != exp]
    if bad:
        raise SystemExit("bench: unexpected results: %s" % bad)


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


def write_results(R):
    m, info = R["machine"], R["system"]
    dry, floor, peer, clean = (median(R["dry"]), median(R["floor"]),
                               median(R["peer"]), median(R["clean"]))
    hive_mb = R["hive_bytes"] / 1048576
    L = []
    L.append("# vkm310_cleanup benchmark results\n")
    L.append("Written by `bench/run_bench.py` from its own measurements "
             "(never edited by hand).\n")
    L.append("- Date: %s" % m["date"])
    L.append("- Machine: %s CPU(s), %s, %s memory, kernel %s, Debian %s" % (
        m["nproc"], m["cpu"], m["memory"], m["kernel"], m["debian"]))
    L.append("- Timed runs: %d of each (dry run, floor, peer, Wine), %d "
             "cleanups; medians, with min–max.  Warm page cache." % (
                 R["runs"], R["clean_runs"]))
    L.append("- Load average (1 min) when the run began and ended: %.2f, "
             "%.2f: other work on the machine shows in the spread." % (
                 R["load_before"], R["load_after"]))
    L.append("")
    L.append("## The system\n")
    L.append("Built by `bench/bigsys.py` in %.1f s (same seed every run): "
             "SOFTWARE %.1f MB (%d keys), SYSTEM %.1f MB (%d keys); 600 "
             "uninstall entries, 300 driver-store entries with DRVSTORE "
             "folders, 1,500 services (ControlSet001, Select\\Current=1), "
             "1,000 oemN.inf of 2–20 KB with their PNF files; %d planted "
             "leftovers: 3 OEM INF pairs, 4 driver files (2 in each drivers "
             "folder), 3 driver-store keys, 3 uninstall entries, 3 "
             "smart-card class keys, 4 services.\n" % (
                 R["build_seconds"], info["hive_sizes"]["SOFTWARE"] / 1e6,
                 info["keys"]["SOFTWARE"], info["hive_sizes"]["SYSTEM"] / 1e6,
                 info["keys"]["SYSTEM"], info["planted"]))
    L.append("The four planted services have names that sort among the "
             "first 1,000 subkeys of Services, because each registry scan "
             "reads subkeys 0 to 999 only: here a service named `vkm310` "
             "would be subkey %d, and a run would not see it.\n" %
             info["vkm310_service_index"])
    L.append("## Measurements\n")
    L.append("| what | median | min–max | notes |")
    L.append("| --- | --- | --- | --- |")
    L.append("| dry run | %s | %s | \"%s\" |" % (fmt_s(R["dry"]), spread(R["dry"]),
                                               R["dry_summary"]))
    L.append("| floor (`bench/floor.cpp`) | %s | %s | \"%s\" |" % (
        fmt_s(R["floor"]), spread(R["floor"]), R["floor_summary"]))
    L.append("| peer (`hivexregedit --export`, 4 invocations, summed) | %s | "
             "%s | one process per scanned key; each exports the whole "
             "subtree |" % (fmt_s(R["peer"]), spread(R["peer"])))
    L.append("| `-f -agree`, answered A | %s | %s | \"%s\"; %d question(s); "
             "a dry run afterwards: \"%s\"; .bak beside both hives: %s |" % (
                 fmt_s(R["clean"]), spread(R["clean"]), R["clean_summary"],
                 R["clean_asked"], R["after_summary"],
                 "yes" if R["bak"] else "NO"))
    L.append("")
    L.append("| ratio | value |")
    L.append("| --- | --- |")
    L.append("| dry run / floor | %.1f× |" % (dry / floor))
    L.append("| dry run / peer | %.2f× |" % (dry / peer))
    L.append("")
    L.append("| run | peak memory (`/usr/bin/time` %M) | hive loads "
             "SOFTWARE / SYSTEM | hive writes SOFTWARE / SYSTEM | other "
             "opens of the hive files SOFTWARE / SYSTEM |")
    L.append("| --- | --- | --- | --- | --- |")
    for name, mem, io_ in (("dry run", R["dry_mem"], R["dry_io"]),
                           ("-f -agree", R["clean_mem"], R["clean_io"])):
        s, y = io_["SOFTWARE"], io_["SYSTEM"]
        L.append("| %s | %.1f MiB | %d / %d | %d / %d | %d / %d |" % (
            name, mem / 1024, s["loads"], y["loads"], s["writes"],
            y["writes"], s["other_opens"], y["other_opens"]))
    L.append("| floor | %.1f MiB | | | |" % (R["floor_mem"] / 1024))
    L.append("")
    L.append("Hive loads are opens of a hive file made by libhivex's "
             "`hivex_open` (strace -k stacks); writes are renames onto the "
             "hive file.  The other opens are the tool's own: the header "
             "check before loading and, per deleted key, the security-cell "
             "check and (once a hive) the .bak copy.  Hives together: "
             "%.1f MiB.\n" % hive_mb)

    L.append("## Targets\n")
    L.append("| target | measured | result |")
    L.append("| --- | --- | --- |")
    loads_ok = all(R[k][h]["loads"] == 1 for k in ("dry_io", "clean_io")
                   for h in ("SOFTWARE", "SYSTEM"))
    rows = [
        ("dry run within 1.5× the floor", "%.1f×" % (dry / floor),
         dry <= 1.5 * floor),
        ("dry run under 1 s", "%.3f s" % dry, dry < 1.0),
        ("each hive loaded once per run", "dry %d/%d, -f %d/%d" % (
            R["dry_io"]["SOFTWARE"]["loads"], R["dry_io"]["SYSTEM"]["loads"],
            R["clean_io"]["SOFTWARE"]["loads"],
            R["clean_io"]["SYSTEM"]["loads"]), loads_ok),
        ("peak memory under 3× the hives (%.1f MiB)" % (3 * hive_mb),
         "dry %.1f MiB, -f %.1f MiB" % (R["dry_mem"] / 1024,
                                          R["clean_mem"] / 1024),
         max(R["dry_mem"], R["clean_mem"]) / 1024 < 3 * hive_mb),
        ("cleanup of the 20 leftovers under 5 s", "%.3f s, \"%s\"" % (
            clean, R["clean_summary"]),
         clean < 5.0 and R["clean_summary"].startswith(
             "%d item(s) fixed" % info["planted"])),
    ]
    for name, val, ok in rows:
        L.append("| %s | %s | %s |" % (name, val, "pass" if ok else "FAIL"))
    L.append("")

    if R.get("profile"):
        L.append("## Where the dry run's time goes (perf, inclusive share of "
                 "samples)\n")
        L.append("| part | share | ≈ seconds of the median |")
        L.append("| --- | --- | --- |")
        for name, label in PROFILE_FUNCS:
            if name in R["profile"]:
                L.append("| %s `%s` | %.1f%% | %.3f |" % (
                    label.replace("  ", "&nbsp;&nbsp;"), name,
                    R["profile"][name], R["profile"][name] / 100 * dry))
        L.append("")
    cs = R["clean_sys"]
    L.append("## Where the cleanup's time goes (strace -f -c -w, one run)\n")
    L.append("Under strace the run took %.3f s (strace slows every call); "
             "%.3f s of it inside syscalls.  The largest:\n" % (
                 cs["wall"], sum(cs["spent"].values())))
    L.append("| syscall | calls | seconds inside |")
    L.append("| --- | --- | --- |")
    for n in sorted(cs["spent"], key=lambda n: -cs["spent"][n])[:8]:
        L.append("| %s | %d | %.3f |" % (n, cs["calls"][n], cs["spent"][n]))
    L.append("")
    w = R.get("wine")
    if w:
        c, d, h = median(w["cmd"]), median(w["dry"]), median(w["help"])
        L.append("## Under Wine: the 32-bit .exe, no leftovers\n")
        L.append("32-bit prefix `build/bench/wine32` (wineboot -i), one "
                 "persistent wineserver running for all runs.\n")
        L.append("| run | median wall | min–max | CPU of its processes "
                 "| CPU of the wineserver |")
        L.append("| --- | --- | --- | --- | --- |")
        for key, label in (
                ("cmd", "`wine cmd /c exit`"),
                ("help", "`wine vkm310_cleanup.exe -h` (banner and usage, "
                         "no scan)"),
                ("dry", "`wine vkm310_cleanup.exe` (dry run: \"%s\")" %
                 w["dry_summary"])):
            L.append("| %s | %s | %s | %.3f s | %.3f s |" % (
                label, fmt_s(w[key]), spread(w[key]),
                w[key + "_client_cpu"], w[key + "_server_cpu"]))
        L.append("")
        L.append("Dry run / `cmd /c exit`: **%.2f×**.  Starting the .exe and "
                 "printing its usage (-h) takes %.3f s; the scans (dry run "
                 "less -h) take %.3f s.\n" % (d / c, h, d - h))
        rl = w["relay"]
        ph = rl["phases"]
        tot_ph = sum(ph.values())
        if tot_ph > 0:
            L.append("Phases of the dry run, from a relay log of the scans' "
                     "calls alone (WINEDEBUG=+timestamp,+relay with "
                     "RelayInclude; logging slows every call, the run took "
                     "%.2f s, so the shares are the result, scaled here to "
                     "the %.3f s the scans take):\n" % (rl["wall"], d - h))
            L.append("| phase | share | ≈ seconds |")
            L.append("| --- | --- | --- |")
            names = {"oem": "OEM INF scan: GetFileAttributesA + fopen for "
                            "each of the 1,000 numbers",
                     "registry": "four registry scans",
                     "drivers": "driver files (14 tests)"}
            for k in ("oem", "registry", "drivers"):
                if k in ph:
                    L.append("| %s | %.1f%% | %.3f |" % (
                        names[k], 100 * ph[k] / tot_ph,
                        ph[k] / tot_ph * (d - h)))
            L.append("")
        tot = sum(rl["spent"].values())
        if tot > 0:
            L.append("| call | count | share of the time inside these calls |")
            L.append("| --- | --- | --- |")
            for fn in sorted(rl["spent"], key=lambda f: -rl["spent"][f]):
                L.append("| %s | %d | %.1f%% |" % (fn, rl["calls"].get(fn, 0),
                                                   100 * rl["spent"][fn] / tot))
            L.append("")
        L.append("Syscalls of the client processes (strace -f -c; the "
                 "wineserver runs outside), the ten that grow most:\n")
        L.append("| syscall | cmd /c exit | exe -h | exe dry run |")
        L.append("| --- | --- | --- | --- |")
        names = sorted(set(w["sys_dry"]) | set(w["sys_cmd"]),
                       key=lambda n: -(w["sys_dry"].get(n, 0) -
                                       w["sys_cmd"].get(n, 0)))
        for n in names[:10]:
            L.append("| %s | %d | %d | %d |" % (
                n, w["sys_cmd"].get(n, 0), w["sys_help"].get(n, 0),
                w["sys_dry"].get(n, 0)))
        L.append("| total | %d | %d | %d |" % tuple(
            sum(x.values()) for x in (w["sys_cmd"], w["sys_help"],
                                      w["sys_dry"])))
        L.append("")
    L.append("## Rerunning\n")
    L.append("`make bench` builds everything (`make build`), then runs "
             "`/usr/bin/python3 bench/run_bench.py`, which builds the system "
             "in a temp folder, compiles `bench/floor.cpp` to "
             "`build/bench/floor`, takes every measurement above on this "
             "machine, and rewrites this file.  `BENCH_RUNS` and "
             "`BENCH_CLEAN_RUNS` set the number of timed runs (default 7 "
             "and 5), `BENCH_NO_WINE=1` skips Wine, `BENCH_KEEP=1` keeps "
             "the temp folder.  The 32-bit Wine prefix is kept in "
             "`build/bench/wine32` between runs.  It needs strace, GNU time, "
             "perf (optional: the profile), python3-pexpect, python3-hivex, "
             "libwin-hivex-perl and Wine.\n")
    with open(RESULTS, "w") as f:
        f.write("\n".join(L))


if __name__ == "__main__":
    main()
