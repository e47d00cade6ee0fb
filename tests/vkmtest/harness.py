"""Runs vkm310_cleanup for the end-to-end tests, the same way on three
targets: "native" (the Linux build), "win32" and "win64" (the .exe files
under Wine, each in a prefix of its own bitness: a 32-bit process in a
64-bit prefix would see system32 redirected).

The program runs as `sh -c 'PROGRAM ARGS > out 2> err'` inside a
pseudo-terminal: keys typed into the terminal reach it (Wine's console
reads them too), while standard output lands byte for byte in a file.
Under Wine the terminal itself shows only the console's screen drawing,
which no test should have to parse.

Environment dicts given to these functions are overrides on top of
os.environ; a value of None removes the variable.
"""

import errno
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time

import pexpect

from vkmtest import TARGETS, WINE_ARCH, WINE_LOADER, program_path

# Set to 1 to pretend that the kernel runs no 32-bit x86 programs.
PRETEND_NO_IA32 = "VKM_PRETEND_NO_IA32"
NO_IA32 = "this kernel runs no 32-bit x86 programs"
NO_WINE32 = "the 32-bit Wine loader is not installed"

# The native key reader waits about 50 ms to tell a lone Escape from the
# start of a sequence, and Wine's console does much the same: a key sent
# right after an Escape must not fall into that window.
ESCAPE_PAUSE = 0.25
POLL = 0.02
BOOT_TIMEOUT = 300


class HarnessError(Exception):
    """A run that did not go as scripted.  OUTPUT holds what the program
    had written so far (LF line ends)."""

    def __init__(self, message, output=""):
        Exception.__init__(self, "%s\n--- output so far ---\n%s" % (message, output))
        self.output = output


class Result(tuple):
    """A tuple of the values the caller unpacks, with everything else of
    the run as attributes: text, raw, status, stderr, screen."""

    def __new__(cls, values, **attrs):
        self = tuple.__new__(cls, values)
        self.__dict__.update(attrs)
        return self


def _compose_env(overrides):
    env = dict(os.environ)
    for name, value in (overrides or {}).items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = str(value)
    return env


def _without_display(env):
    # A console program needs no display, and with one Wine would start
    # its graphics driver for nothing.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def probe_loader(loader):
    """None when LOADER starts; else why not.  "Exec format error" is the
    kernel's answer for a 32-bit program when IA-32 emulation is off."""
    try:
        subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60, check=True)
    except FileNotFoundError:
        return NO_WINE32
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return NO_IA32
        return "%s cannot be run: %s" % (loader, e.strerror)
    except subprocess.SubprocessError as e:
        return "%s --version failed: %s" % (loader, e)
    return None


_skip_reasons = {}


def skip_reason(target):
    """None when TARGET can run on this host, else the reason it cannot.
    Decided once per process: the 32-bit loader is tried once."""
    if target not in WINE_ARCH or WINE_ARCH[target] != "win32":
        return None
    if target not in _skip_reasons:
        if os.environ.get(PRETEND_NO_IA32) == "1":
            _skip_reasons[target] = NO_IA32
        else:
            _skip_reasons[target] = probe_loader(WINE_LOADER["win32"])
    return _skip_reasons[target]


def wine_loader(arch):
    """The Wine loader of ARCH itself ("win32" or "win64")."""
    return WINE_LOADER[arch]


def wine_env(path, arch):
    """The overrides that run Wine in the prefix at PATH of ARCH."""
    return {
        "WINEPREFIX": os.path.abspath(path),
        "WINEARCH": arch,
        "WINELOADER": wine_loader(arch),
        "WINEDEBUG": "-all",
        # No dialogs offering to install Mono or Gecko.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    }


def prefix_arch(path):
    """"win32" or "win64" for a booted prefix, None when PATH holds none."""
    try:
        with open(os.path.join(path, "system.reg"), encoding="latin-1") as f:
            for _ in range(20):
                line = f.readline()
                if line.startswith("#arch="):
                    return line.strip()[len("#arch="):]
    except FileNotFoundError:
        return None
    return None


def make_wine_prefix(path, arch):
    """Boots a Wine prefix of ARCH ("win32" or "win64") at PATH unless one
    is there already, and returns the env overrides that use it.  Waits
    until its wineserver has gone, so the registry files are complete and
    the prefix may be copied at once."""
    if arch not in ("win32", "win64"):
        raise ValueError("arch must be win32 or win64, not %r" % (arch,))
    env = wine_env(path, arch)
    have = prefix_arch(path)
    if have is not None:
        if have != arch:
            raise HarnessError("prefix %s is %s, not %s" % (path, have, arch))
        return env
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    full = _without_display(_compose_env(env))
    subprocess.run([wine_loader(arch), "wineboot", "-i"], env=full, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=BOOT_TIMEOUT, check=True)
    subprocess.run(["wineserver", "-w"], env=full, timeout=BOOT_TIMEOUT,
                   check=False)
    if prefix_arch(path) != arch:
        raise HarnessError("wineboot left no %s prefix at %s" % (arch, path))
    return env


def stop_wineserver(env):
    """Ends the wineserver of the prefix in ENV, and with it every process
    still running there."""
    full = _without_display(_compose_env(env))
    if "WINEPREFIX" not in full:
        return
    subprocess.run(["wineserver", "-k"], env=full, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=60, check=False)


def default_prefix(arch):
    """Where a Wine run without a WINEPREFIX of its own goes: a prefix kept
    between runs under VKM_WINE_PREFIX_DIR (default: the temp folder)."""
    base = os.environ.get("VKM_WINE_PREFIX_DIR") or os.path.join(
        tempfile.gettempdir(), "vkm310-e2e-wine")
    return os.path.join(base, arch)


def target_env(target, env=None):
    """The whole environment a run of TARGET gets: os.environ with ENV's
    overrides, and for Wine a prefix of the target's bitness (the default
    one when ENV names none)."""
    if target not in TARGETS:
        raise ValueError("unknown target %r" % (target,))
    if target == "native":
        return _compose_env(env)
    arch = WINE_ARCH[target]
    overrides = dict(env or {})
    if not overrides.get("WINEPREFIX"):
        overrides.update(make_wine_prefix(default_prefix(arch), arch))
    for have in (overrides.get("WINEARCH"), prefix_arch(overrides["WINEPREFIX"])):
        if have is not None and have != arch:
            raise HarnessError("%s needs a %s prefix, %s is %s"
                               % (target, arch, overrides["WINEPREFIX"], have))
    overrides.setdefault("WINEARCH", arch)
    overrides.setdefault("WINEDEBUG", "-all")
    overrides["WINELOADER"] = wine_loader(arch)
    return _without_display(_compose_env(overrides))


def command(target, args, program=None):
    """The argument vector that runs PROGRAM (default: the built tool) of
    TARGET with ARGS.  PROGRAM is a list of words: the interpreter and
    script of a stand-in, or the path of another .exe for Wine."""
    if isinstance(program, str):
        program = [program]
    words = list(program) if program else [program_path(target)]
    if target in WINE_ARCH:
        words = [wine_loader(WINE_ARCH[target])] + words
    return words + [str(a) for a in args]


def _as_bytes(text):
    if isinstance(text, bytes):
        return text
    return text.encode("utf-8")


def _lf(raw):
    return raw.replace(b"\r\n", b"\n")


def _text(raw):
    return _lf(raw).decode("utf-8", "surrogateescape")


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


class Session:
    """One program in a pseudo-terminal, its output going to a file in a
    scratch folder of its own; close() removes that folder."""

    def __init__(self, argv, env, cwd):
        self.workdir = tempfile.mkdtemp(prefix="vkm-e2e-")
        self.out = os.path.join(self.workdir, "out.txt")
        self.err = os.path.join(self.workdir, "err.txt")
        self.rc = os.path.join(self.workdir, "rc")
        if cwd is None:
            cwd = os.path.join(self.workdir, "cwd")
            os.mkdir(cwd)
        self.cwd = cwd
        self.screen = []
        self.started = time.monotonic()
        script = "%s > %s 2> %s; echo $? > %s" % (
            " ".join(shlex.quote(a) for a in argv), shlex.quote(self.out),
            shlex.quote(self.err), shlex.quote(self.rc))
        self.child = pexpect.spawn("sh", ["-c", script], env=env, cwd=cwd,
                                   dimensions=(25, 200), echo=False)

    def drain(self):
        # The terminal side must be read, or a chatty console could fill
        # the pseudo-terminal's buffer and stall the program.
        while True:
            try:
                self.screen.append(self.child.read_nonblocking(65536, timeout=0))
            except (pexpect.TIMEOUT, pexpect.EOF):
                return

    def output(self):
        return _read(self.out)

    def wait_for(self, text, count, deadline):
        want = _lf(_as_bytes(text))
        while _lf(self.output()).count(want) < count:
            self.drain()
            if not self.child.isalive():
                # The last words may have landed just before the end.
                if _lf(self.output()).count(want) >= count:
                    return
                raise HarnessError("program ended before %r appeared %d time(s)"
                                   % (text, count), _text(self.output()))
            if time.monotonic() > deadline:
                raise HarnessError("timed out waiting for %r to appear %d time(s)"
                                   % (text, count), _text(self.output()))
            time.sleep(POLL)

    def send(self, key):
        key = _as_bytes(key)
        self.child.send(key)
        if key.endswith(b"\x1b"):
            time.sleep(ESCAPE_PAUSE)

    def keys(self, keys, deadline):
        """Types KEYS, (wait_for_text, key) pairs as run_tool takes them."""
        seen = {}
        for wait_text, key in keys:
            if wait_text is not None:
                seen[wait_text] = seen.get(wait_text, 0) + 1
                self.wait_for(wait_text, seen[wait_text], deadline)
            self.send(key)

    def wait_exit(self, deadline):
        while self.child.isalive():
            self.drain()
            if time.monotonic() > deadline:
                raise HarnessError("timed out waiting for the program to end",
                                   _text(self.output()))
            time.sleep(POLL)
        # When the program was seen to end: closing the terminal waits
        # on its own (pexpect's delay after close), which is no run's.
        self.ended = time.monotonic()
        self.drain()
        self.child.close()
        rc = _read(self.rc).strip()
        if rc:
            return int(rc)
        if self.child.exitstatus is not None:
            return self.child.exitstatus
        return -(self.child.signalstatus or 0)

    def kill(self, signals=(signal.SIGTERM, signal.SIGKILL)):
        """Ends the run midway.  pexpect made the shell a session and
        process group leader; the program (and under Wine its loader, and
        any child the program forked) belong to that group."""
        for sig in signals:
            try:
                os.killpg(self.child.pid, sig)
            except ProcessLookupError:
                break
            time.sleep(0.2)
        try:
            self.child.close(force=True)
        except Exception:
            pass

    def close(self):
        shutil.rmtree(self.workdir, ignore_errors=True)


def start(target, args, env=None, cwd=None, program=None):
    """Starts the tool of TARGET with ARGS in a pseudo-terminal and returns
    its Session: send() types keys, kill() ends it midway, wait_exit()
    waits for its end; close() afterwards.  CWD is as for run_tool."""
    return Session(command(target, args, program), target_env(target, env), cwd)


BACKUP_NOTE = "Backup of the removed items: "
BACKUP_SHOWN = BACKUP_NOTE + "<backup>\n"


def take_backup(text):
    """(TEXT with the folder of its closing backup line shown as <backup>,
    that folder or None).  The folder's name holds the time of the run."""
    body, sep, last = text[:-1].rpartition("\n")
    if text.endswith("\n") and last.startswith(BACKUP_NOTE):
        return body + sep + BACKUP_SHOWN, last[len(BACKUP_NOTE):]
    return text, None


def run_tool(target, args, keys=(), env=None, timeout=60, cwd=None, program=None):
    """Runs the tool of TARGET with ARGS in a pseudo-terminal and returns
    (text, raw, status): standard output with LF line ends, its exact
    bytes, and the exit status.

    KEYS is a list of (wait_for_text, key_bytes).  Before each key the
    output must hold wait_for_text once more than before: the Nth pair
    with the same text waits for its Nth appearance, so a question asked
    again gets its own answer.  A wait_for_text of None sends the key at
    once (typed ahead).  Keys are raw terminal bytes: b"y", b"\\x1b"
    (Escape; a pause follows it), b"\\x1b[18~" (F7), b"\\x1bOP" (F1).

    The line that names a run's backup folder ends the text with the
    folder shown as <backup>; .backup holds the folder (else None).  The
    program runs in CWD, by default a scratch folder removed afterwards
    with the backup an offline run makes there.

    Raises HarnessError when a text does not come or the program does not
    end within TIMEOUT seconds; the program is killed then.  The Result
    also carries .stderr (its bytes), .screen (the terminal's) and
    .seconds (from start to end, the harness's polling included)."""
    session = start(target, args, env, cwd, program)
    try:
        deadline = session.started + timeout
        session.keys(keys, deadline)
        status = session.wait_exit(deadline)
        seconds = session.ended - session.started
        raw = session.output()
        text, backup = take_backup(_text(raw))
        return Result((text, raw, status), text=text, raw=raw, backup=backup,
                      status=status, seconds=seconds, stderr=_read(session.err),
                      screen=b"".join(session.screen))
    except BaseException:
        session.kill()
        raise
    finally:
        session.close()


def run_no_tty(target, args, env=None, timeout=60, cwd=None, program=None):
    """Runs the tool of TARGET with ARGS, standard input from /dev/null and
    no controlling terminal (a new session), so no key can be read.
    Returns (text, status); the Result also carries .raw and .stderr.
    Raises HarnessError when it does not end within TIMEOUT seconds."""
    full = target_env(target, env)
    argv = command(target, args, program)
    p = subprocess.Popen(argv, env=full, cwd=cwd, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         start_new_session=True)
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        # The new session is the program's own process group: end all of it.
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        out, err = p.communicate()
        raise HarnessError("timed out after %s s without a terminal" % timeout,
                           _text(out))
    return Result((_text(out), p.returncode), text=_text(out), raw=out,
                  status=p.returncode, stderr=err)
