"""A simulated device for the fault tests of the real updater.

Builds a device root (flash disk, payload, stick), runs zentavo-installer on it
with ZENTAVO_DEVICE_ROOT, and gives the tests what they need to look at the
result: the log, snapshots of trees with checksums, the temporaries that a
copy may leave, the terminal start.
"""

import atexit
import hashlib
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

SKIP = 77
TEMP_PREFIX = ".zentavo-tmp-"

# The installed "Zentavo.exe" is a script that leaves a mark in the device
# root, so a test can tell that the updater started the terminal.
TERMINAL_SCRIPT = (
    "#!/bin/sh\n"
    "# {tag}\n"
    'echo "{tag}" >> "$(dirname "$0")/../../terminal-started"\n'
)


def install_status(log):
    """The final status the log reports ("true", "false"), or None. The debug
    stream puts its own space after the literal "Status: "."""
    found = re.findall(r"^Status:\s+(true|false)\s*$", log, re.MULTILINE)
    return found[-1] if found else None


class TestFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def parse_args(argv, names):
    """--name value pairs into a dict; positional words into 'args'."""
    result = {"args": []}
    i = 0
    while i < len(argv):
        word = argv[i]
        if word.startswith("--") and word[2:] in names:
            result[word[2:]] = argv[i + 1]
            i += 2
        else:
            result["args"].append(word)
            i += 1
    return result


def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def write_terminal(path, tag):
    write_file(path, TERMINAL_SCRIPT.format(tag=tag).encode(), 0o755)


def file_digest(path, dir_fd=None):
    h = hashlib.sha1()
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)
    with os.fdopen(fd, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            h.update(block)
    return h.hexdigest()


def _walk(root, prune=()):
    """(relative path, name, lstat, parent dir fd) of every entry below root.

    Walks with directory descriptors, so that trees deeper than PATH_MAX can
    be looked at too. A root that is a link is looked at where it leads;
    below it no link is followed."""
    if not os.path.isdir(root):
        return
    top = os.path.realpath(root) if os.path.islink(root) else root
    for dirpath, dirnames, filenames, dirfd in os.fwalk(top, follow_symlinks=False):
        base = os.path.join(root, os.path.relpath(dirpath, top))
        dirnames[:] = [d for d in dirnames if os.path.normpath(os.path.join(base, d)) not in prune]
        for name in dirnames + filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), top)
            yield rel, name, os.stat(name, dir_fd=dirfd, follow_symlinks=False), dirfd


def xattrs(name, dirfd=None):
    """The extended attributes of a file or folder, sorted; () where none can be read."""
    fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dirfd)
    try:
        return tuple(sorted((key, os.getxattr(fd, key)) for key in os.listxattr(fd)))
    except OSError:
        return ()
    finally:
        os.close(fd)


def snapshot(root, big=1 << 30, prune=(), times=False, full=False):
    """Every entry below root: relative path -> description.

    Files: ("f", sha1, mode bits, size); files above `big` bytes are not
    hashed ("F", None, mode, size). Links: ("l", link text). Directories:
    ("d",). Links are never followed; directories in `prune` are left out.
    With `times`, every description ends with the modification time in
    nanoseconds, and root itself is listed as "." with its mode and time.
    With `full` (and `times`), owner, group and extended attributes follow.
    """
    result = {}
    if not os.path.lexists(root):
        return result
    for rel, name, st, dirfd in _walk(root, prune):
        if stat.S_ISLNK(st.st_mode):
            entry = ("l", os.readlink(name, dir_fd=dirfd))
        elif stat.S_ISDIR(st.st_mode):
            entry = ("d", stat.S_IMODE(st.st_mode)) if times else ("d",)
        elif stat.S_ISREG(st.st_mode):
            if st.st_size > big:
                entry = ("F", None, stat.S_IMODE(st.st_mode), st.st_size)
            else:
                entry = ("f", file_digest(name, dirfd), stat.S_IMODE(st.st_mode), st.st_size)
        else:
            entry = ("other", stat.S_IFMT(st.st_mode))
        result[rel] = entry + (st.st_mtime_ns,) if times else entry
        if times and full:
            attributes = () if stat.S_ISLNK(st.st_mode) else xattrs(name, dirfd)
            result[rel] += (st.st_uid, st.st_gid, attributes)
    if times:
        st = os.stat(root)
        result["."] = ("d", stat.S_IMODE(st.st_mode), st.st_mtime_ns)
        if full:
            result["."] += (st.st_uid, st.st_gid, xattrs(root))
    return result


def snapshot_difference(before, after, limit=8):
    """A short description of what differs between two snapshots, or ""."""
    lines = []
    for rel in sorted(set(before) | set(after)):
        if before.get(rel) != after.get(rel):
            lines.append("  %r: %r -> %r" % (rel, before.get(rel), after.get(rel)))
    if len(lines) > limit:
        lines = lines[:limit] + ["  ... %d more" % (len(lines) - limit)]
    return "\n".join(lines)


def temporaries(root):
    """Paths below root whose name marks them as a copy's temporary."""
    return [os.path.join(root, rel) for rel, name, _, _ in _walk(root)
            if name.startswith(TEMP_PREFIX)]


class Device:
    def __init__(self, root):
        self.root = root
        self.flash = os.path.join(root, "FlashDisk")
        self.app = os.path.join(self.flash, "Zentavo")
        self.system = os.path.join(self.flash, "System")
        self.payload = os.path.join(self.flash, "Zentavo_Installer")
        self.payload_app = os.path.join(self.payload, "Zentavo")
        self.payload_system = os.path.join(self.payload, "System")
        self.backup = os.path.join(self.flash, "Zentavo_Backup")
        self.stick = os.path.join(root, "USB HD", "Zentavo_Installer")
        self.log = os.path.join(self.stick, "log.txt")
        self.database = os.path.join(self.app, "data", "Administrator_setting.db")
        self.terminal_mark = os.path.join(root, "terminal-started")

    def insert_stick(self):
        os.makedirs(self.stick, exist_ok=True)

    def add_large_payload(self, files, folders, file_size=1 << 20):
        """A payload whose install takes long enough to be interrupted: FILES
        distinct files of FILE_SIZE bytes spread over FOLDERS folders, the new
        terminal, and an old terminal installed. Returns the random bytes used."""
        noise = os.urandom(file_size + 4096)
        for i in range(files):
            write_file(os.path.join(self.payload_app, "d%d" % (i % folders), "f%03d.bin" % i),
                       b"%d" % i + noise[i:i + file_size])
        write_terminal(os.path.join(self.payload_app, "Zentavo.exe"), "new terminal")
        write_terminal(os.path.join(self.app, "Zentavo.exe"), "old terminal")
        return noise

    def pull_stick(self):
        # Gone in one step, as a pulled stick is: deleting in place races with
        # the updater, whose log handler may add a line while the tree goes.
        stick = os.path.join(self.root, "USB HD", "Zentavo_Installer")
        pulled = os.path.join(self.root, "USB HD", ".pulled-%d" % os.getpid())
        os.rename(stick, pulled)
        shutil.rmtree(pulled)

    def log_text(self):
        # Never opened when it is no file: a FIFO would block the test.
        if not os.path.isfile(self.log):
            return ""
        try:
            with open(self.log, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def terminal_started(self):
        try:
            with open(self.terminal_mark) as f:
                return f.read()
        except OSError:
            return ""


def _default_stop_signals():
    # A device starts the updater with the default handling of these
    # signals; a test runner started in the background may ignore some, and
    # ignored signals would be inherited.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


class Updater:
    """One run of the real zentavo-installer on a simulated device."""

    # Every run started, so that a failing test leaves none behind.
    started_runs = []

    def __init__(self, binary, device, workdir, name="run", wrapper=(), env_changes=None):
        """wrapper: a command put in front of the updater (strace, setpriv);
        env_changes: variables to set, or to remove where the value is None."""
        Updater.started_runs.append(self)
        self.device = device
        env = dict(os.environ)
        env["ZENTAVO_DEVICE_ROOT"] = device.root
        env.setdefault("QT_QPA_PLATFORM", "offscreen")
        for key, value in (env_changes or {}).items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        self.stderr_path = os.path.join(workdir, name + ".stderr")
        self._stderr = open(self.stderr_path, "wb")
        # The log grows over all runs; this run's lines start here.
        self.log_start = len(device.log_text())
        self.started = time.monotonic()
        self.proc = subprocess.Popen(list(wrapper) + [binary], env=env, stdin=subprocess.DEVNULL,
                                     stdout=self._stderr, stderr=self._stderr,
                                     cwd=workdir, preexec_fn=_default_stop_signals)

    def running(self):
        return self.proc.poll() is None

    def log(self):
        """This run's part of the log."""
        return self.device.log_text()[self.log_start:]

    def close(self):
        if not self._stderr.closed:
            self._stderr.close()

    def wait_log(self, text, timeout=30.0, interval=0.005):
        """Waits until the log holds text; fails when the updater ends first."""
        deadline = time.monotonic() + timeout
        while True:
            if text in self.log():
                return time.monotonic() - self.started
            if not self.running():
                if text in self.log():
                    return time.monotonic() - self.started
                raise TestFailure("updater ended (exit %s) before the log showed %r\nlog:\n%s\n%s"
                                  % (self.proc.returncode, text, self.log(),
                                     self.stderr_tail()))
            if time.monotonic() > deadline:
                raise TestFailure("the log did not show %r within %.0f s\nlog:\n%s\n%s"
                                  % (text, timeout, self.log(), self.stderr_tail()))
            time.sleep(interval)

    def wait_log_any(self, texts, timeout=30.0, interval=0.005):
        """Waits until the log holds one of texts; returns the one found."""
        deadline = time.monotonic() + timeout
        while True:
            log = self.log()
            for text in texts:
                if text in log:
                    return text
            if not self.running() or time.monotonic() > deadline:
                raise TestFailure("the log showed none of %r (updater %s)\nlog:\n%s\n%s"
                                  % (texts, "running" if self.running()
                                     else "ended with %s" % self.proc.returncode,
                                     self.log(), self.stderr_tail()))
            time.sleep(interval)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill(signal.SIGABRT)
            raise TestFailure("updater still running after %.0f s\nlog:\n%s\n%s"
                              % (timeout, self.log(), self.stderr_tail()))

    def kill(self, sig=signal.SIGKILL):
        if self.running():
            self.proc.send_signal(sig)
        self.proc.wait()
        self.close()

    def stderr_tail(self):
        if not self._stderr.closed:
            self._stderr.flush()
        try:
            with open(self.stderr_path, "rb") as f:
                data = f.read()[-3000:]
            return "stderr of the updater:\n" + data.decode("utf-8", "replace")
        except OSError:
            return ""

    def finish_after_stick(self, timeout=10.0):
        """Pulls the stick and expects exit code 0 and a terminal start."""
        check(self.running(), "updater ended before the stick was pulled (exit %s)\n%s"
              % (self.proc.returncode, self.stderr_tail()))
        self.device.pull_stick()
        rc = self.wait_exit(timeout)
        self.close()
        check(rc == 0, "exit code %s after the stick was pulled\n%s" % (rc, self.stderr_tail()))
        deadline = time.monotonic() + 5
        while not self.device.terminal_started() and time.monotonic() < deadline:
            time.sleep(0.02)
        check(self.device.terminal_started(), "the terminal was not started")


class Call:
    """One line of the shim's trace."""

    def __init__(self, line):
        fields = line.rstrip("\n").split("\t")
        self.name = fields[0]
        self.device = int(fields[1])
        self.result = int(fields[2])
        self.errno = int(fields[3])
        self.names = fields[4:]

    def ok(self):
        return self.result >= 0

    def is_sync(self):
        return self.name == "syncfs"

    def is_rename(self):
        return self.name in ("rename", "renameat", "renameat2")

    def is_failed_rename(self):
        return self.is_rename() and self.result < 0 and self.errno == 5

    def is_copy(self):
        return self.name in ("copy_file_range", "pwrite", "pwrite64")

    def __repr__(self):
        return "%s(dev %d) = %d%s %s" % (self.name, self.device, self.result,
                                         " errno %d" % self.errno if self.result < 0 else "",
                                         " ".join(self.names))


class Shim:
    """The preloaded shim (fsshim.c) for one or more runs: it records syncs,
    renames and data copies in a trace file and can break or slow them."""

    def __init__(self, library, trace):
        check(library and os.path.isfile(library), "no shim library given (--shim)")
        self.library = os.path.abspath(library)
        self.trace = trace

    def env(self, sync_eio=False, copy_delay_us=0, rename_delay_us=0, huge_free=False,
            grow=None, hold_at_copy=0, hold_at_name=None, hold_at_sync=0, hold_at_unlink=None, release=None,
            rename_fail_at=(), no_exchange=False):
        """The environment of a run with the shim loaded and the trace emptied."""
        with open(self.trace, "w"):
            pass
        preload = os.environ.get("LD_PRELOAD", "")
        env = {
            "LD_PRELOAD": self.library + (":" + preload if preload else ""),
            "ZENTAVO_SHIM_TRACE": self.trace,
            "ZENTAVO_SHIM_SYNC_EIO": "1" if sync_eio else "0",
            "ZENTAVO_SHIM_COPY_DELAY_US": str(copy_delay_us),
            "ZENTAVO_SHIM_RENAME_DELAY_US": str(rename_delay_us),
            "ZENTAVO_SHIM_HUGE_FREE": "1" if huge_free else "0",
            "ZENTAVO_SHIM_GROW": grow or "",
            "ZENTAVO_SHIM_HOLD_AT_COPY": str(hold_at_copy),
            "ZENTAVO_SHIM_HOLD_AT_NAME": hold_at_name or "",
            "ZENTAVO_SHIM_HOLD_AT_SYNC": str(hold_at_sync),
            "ZENTAVO_SHIM_HOLD_AT_UNLINK": hold_at_unlink or "",
            "ZENTAVO_SHIM_RELEASE": release or "",
            "ZENTAVO_SHIM_RENAME_FAIL_AT": ",".join(str(k) for k in rename_fail_at),
            "ZENTAVO_SHIM_NO_EXCHANGE": "1" if no_exchange else "0",
        }
        # A sanitizer build wants its runtime first; the shim comes before it
        # and has no sanitizer of its own, so that check must be off.
        asan = os.environ.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        return env

    def calls(self):
        try:
            with open(self.trace, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            return []
        # A line being written as we read has no line feed yet.
        return [Call(line) for line in text.split("\n")[:-1] if line]


def private_tmpfs(size, required, label):
    """Runs the calling script again in a private mount namespace with a fresh
    tmpfs of `size` as its work directory, and returns that directory there.

    The namespace keeps the mounts away from the machine and takes them along
    when the test ends, however it ends. Where no namespace can be made (not
    root, no unshare), the test is skipped when `required`, otherwise it runs
    in a plain temporary directory.
    """
    inner = os.environ.get("ZENTAVO_FAULTS_WORK")
    if inner:
        mount_tmpfs(inner, size)
        return inner
    work = tempfile.mkdtemp(prefix="zentavo-faults-")
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                            'mount -t tmpfs -o size=1m tmpfs "$0"', work],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if probe.returncode != 0:
        reason = probe.stderr.decode(errors="replace").strip()
        if required:
            os.rmdir(work)
            print("SKIP: %s needs a private mount namespace with tmpfs (unshare -m, root): %s"
                  % (label, reason))
            sys.exit(SKIP)
        print("note: no private tmpfs (%s); running in %s" % (reason, work))
        atexit.register(shutil.rmtree, work, True)
        return work
    env = dict(os.environ, ZENTAVO_FAULTS_WORK=work)
    try:
        rc = subprocess.run(["unshare", "-m", "--propagation", "private",
                             sys.executable] + sys.argv, env=env).returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(rc)


def mount_tmpfs(path, size):
    os.makedirs(path, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", path], check=True)


def main(test, cases=None):
    """Runs test() and turns its outcome into the exit code CTest reads.

    With --list-cases, prints the names in `cases` (the script's own table of
    cases) one a line instead, nothing for a script of one test: CMake makes
    a test of each.
    """
    if "--list-cases" in sys.argv[1:]:
        for name in cases or ():
            print(name)
        sys.exit(0)
    try:
        test()
    except TestFailure as failure:
        print("FAIL: %s" % failure)
        sys.exit(1)
    finally:
        for run in Updater.started_runs:
            if run.running():
                run.kill()
    print("PASS")
    sys.exit(0)
