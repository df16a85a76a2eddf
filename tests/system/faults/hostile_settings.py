#!/usr/bin/env python3
"""Hostile settings databases through the real updater.

Whatever lies at "/FlashDisk/Zentavo/data/Administrator_setting.db", the
updater must not crash, must not change it, and must open the password prompt
wherever a stored password exists but cannot be read. Where no password can be
found at all (no database, no value) the run installs straight away, as the
updater does on a device without a password.

usage: hostile_settings.py --installer PATH --passwd PATH --case NAME
"""

import base64
import hashlib
import os
import signal
import stat
import sqlite3
import subprocess
import sys
import time

import devicesim
from devicesim import Device, Updater, check

PROMPT = "prompt"
INSTALL = "install"


def create_table(path, columns="id INTEGER PRIMARY KEY, value TEXT"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE user (%s)" % columns)
    db.commit()
    return db


def store(path, value):
    db = create_table(path)
    db.execute("INSERT INTO user (id, value) VALUES (1, 'admin'), (3, ?)", (value,))
    db.commit()
    db.close()


def provision(passwd, path, password):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run([passwd, path, password], check=True)


def stored_value(path):
    db = sqlite3.connect(path)
    value = db.execute("SELECT value FROM user WHERE id = 3").fetchone()[0]
    db.close()
    return value


def tamper(passwd, path):
    """A real stored password with one bit of its ciphertext flipped."""
    provision(passwd, path, "Secret-42")
    raw = bytearray(base64.b64decode(stored_value(path)))
    raw[14] ^= 0x01  # past the 12-byte nonce, inside the ciphertext
    db = sqlite3.connect(path)
    db.execute("UPDATE user SET value = ? WHERE id = 3", (base64.b64encode(bytes(raw)).decode(),))
    db.commit()
    db.close()


def no_value_column(path):
    db = create_table(path, "id INTEGER PRIMARY KEY, name TEXT")
    db.execute("INSERT INTO user VALUES (3, 'admin')")
    db.commit()
    db.close()


def no_user_table(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE other (id INTEGER, value TEXT)")
    db.execute("INSERT INTO other VALUES (3, 'x')")
    db.commit()
    db.close()


def side_file(passwd, path, suffix, make):
    provision(passwd, path, "Secret-42")
    make(path + suffix)


def linked_database(passwd, path):
    real = os.path.join(os.path.dirname(path), "elsewhere.db")
    provision(passwd, real, "Secret-42")
    os.symlink(real, path)


def data_folder(passwd, path, kind):
    """The data folder as a link to another partition (kind "linked"), to one
    that is not there ("dangling"), or a file in its place ("file")."""
    data = os.path.dirname(path)
    if os.path.isdir(data) and not os.path.islink(data):
        os.rmdir(data)
    partition = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(data))), "persist")
    if kind == "linked":
        os.makedirs(os.path.join(partition, "zentavo-data"))
        os.symlink(os.path.join(partition, "zentavo-data"), data)
        # Provisioned as on such a device: through the link.
        provision(passwd, path, "Secret-42")
    elif kind == "dangling":
        os.symlink(os.path.join(partition, "unmounted", "zentavo-data"), data)
    else:
        devicesim.write_file(data, b"not a folder")


# Cases whose files the password tool must refuse too (exit 1, never a hang).
TOOL_REFUSES = {"journal_fifo", "wal_fifo", "shm_link", "journal_dir", "database_link",
                "database_fifo", "dangling_link"}


# case -> (how to make it, what the updater must do, a debug line it must write)
def make_cases(passwd):
    return {
        # A password exists but cannot be read: the prompt opens.
        "random_base64": (lambda p: store(p, base64.b64encode(os.urandom(48)).decode()),
                          PROMPT, "Admin password not readable."),
        "tampered_ciphertext": (lambda p: tamper(passwd, p), PROMPT, "Admin password not readable."),
        "not_base64": (lambda p: store(p, "this is not base64 ~~~ {}"), PROMPT,
                       "Admin password not readable."),
        "too_short": (lambda p: store(p, base64.b64encode(b"0123456789").decode()), PROMPT,
                      "Admin password not readable."),
        "megabytes_value": (lambda p: store(p, base64.b64encode(os.urandom(4 << 20)).decode()),
                            PROMPT, "Admin password not readable."),
        "locked": (lambda p: provision(passwd, p, "Secret-42"), PROMPT, "Admin password not readable."),
        # A settings file that is there but is no database may be a damaged or
        # replaced one: never read as "no password".
        "not_a_database": (lambda p: devicesim.write_file(p, b"This is no SQLite file.\n" * 200),
                           PROMPT, "Admin password not readable."),
        # SQLite's side files, or the database itself, not regular files: SQLite
        # would hang on a FIFO or follow a link. Unreadable, never a hang.
        "journal_fifo": (lambda p: side_file(passwd, p, "-journal", os.mkfifo), PROMPT,
                         "Admin password not readable."),
        "wal_fifo": (lambda p: side_file(passwd, p, "-wal", os.mkfifo), PROMPT,
                     "Admin password not readable."),
        "shm_link": (lambda p: side_file(passwd, p, "-shm", lambda q: os.symlink("/dev/zero", q)),
                     PROMPT, "Admin password not readable."),
        "journal_dir": (lambda p: side_file(passwd, p, "-journal", os.mkdir), PROMPT,
                        "Admin password not readable."),
        "database_link": (lambda p: linked_database(passwd, p), PROMPT, "Admin password not readable."),
        # A good password, for comparison: the prompt opens, nothing unreadable.
        "valid_password": (lambda p: provision(passwd, p, "Secret-42"), PROMPT, None),
        # No password is stored: the run installs as on a device without one.
        # A zero-length file is a valid, empty SQLite database.
        "empty_password": (lambda p: provision(passwd, p, ""), INSTALL, None),
        "zero_length": (lambda p: devicesim.write_file(p, b""), INSTALL, None),
        # Only nothing at all is no database: a folder, FIFO or dangling link
        # at its place may hide one.
        "directory": (lambda p: os.makedirs(os.path.join(p, "inside")), PROMPT,
                      "Admin password not readable."),
        "database_fifo": (lambda p: (os.makedirs(os.path.dirname(p)), os.mkfifo(p)), PROMPT,
                          "Admin password not readable."),
        "dangling_link": (lambda p: (os.makedirs(os.path.dirname(p)), os.symlink("gone.db", p)), PROMPT,
                          "Admin password not readable."),
        # The device's own folder links are followed: a password behind a data
        # folder on another partition guards the update as any other.
        "linked_data_folder": (lambda p: data_folder(passwd, p, "linked"), PROMPT, None),
        # Where the data folder cannot be looked into, a password may hide.
        "dangling_data_folder": (lambda p: data_folder(passwd, p, "dangling"), PROMPT,
                                 "Admin password not readable."),
        "data_folder_a_file": (lambda p: data_folder(passwd, p, "file"), PROMPT,
                               "Admin password not readable."),
        "null_value": (lambda p: store(p, None), INSTALL, None),
        "no_value_column": (no_value_column, INSTALL, None),
        "no_user_table": (no_user_table, INSTALL, None),
    }


class Locker:
    """Another process that holds an exclusive lock on the database."""

    SCRIPT = ("import sqlite3, sys\n"
              "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
              "db.execute('BEGIN EXCLUSIVE')\n"
              "print('locked', flush=True)\n"
              "sys.stdin.read()\n")

    def __init__(self, path):
        self.proc = subprocess.Popen([sys.executable, "-c", self.SCRIPT, path],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        check(self.proc.stdout.readline().strip() == b"locked", "could not lock the database")

    def release(self):
        self.proc.stdin.close()
        self.proc.wait(10)


def database_state(path):
    try:
        st = os.lstat(path)
    except (FileNotFoundError, NotADirectoryError) as error:
        return ("absent", type(error).__name__)
    if stat.S_ISLNK(st.st_mode):
        return ("link", os.readlink(path))
    if stat.S_ISFIFO(st.st_mode):
        return ("fifo",)
    if os.path.isdir(path):
        return ("dir", sorted(os.listdir(path)))
    with open(path, "rb") as f:
        return ("file", hashlib.sha1(f.read()).hexdigest())


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "passwd", "case"})
    binary = args["installer"]
    case = args["case"]
    cases = make_cases(args["passwd"])
    check(case in cases, "unknown case %r; known: %s" % (case, ", ".join(sorted(cases))))
    make, outcome, line = cases[case]

    work = devicesim.private_tmpfs("64m", False, "hostile-settings")
    device = Device(os.path.join(work, "device"))
    devicesim.write_file(os.path.join(device.payload_app, "bin", "app.dll"), b"new application")
    devicesim.write_terminal(os.path.join(device.payload_app, "Zentavo.exe"), "new terminal")
    devicesim.write_file(os.path.join(device.payload_system, "sys.dll"), b"new system")
    devicesim.write_terminal(os.path.join(device.app, "Zentavo.exe"), "old terminal")
    devicesim.write_file(os.path.join(device.app, "bin", "app.dll"), b"old application")
    make(device.database)
    device.insert_stick()
    locker = Locker(device.database) if case == "locked" else None
    before_db = database_state(device.database)
    before_flash = devicesim.snapshot(device.flash)

    run = Updater(binary, device, work)
    try:
        if outcome == PROMPT:
            # The lock is waited for a while before the read gives up.
            found = run.wait_log_any(["Enter Password...", "HandleEvents:"], timeout=60)
            check(found == "Enter Password...",
                  "no prompt: the run went on without a password:\n" + run.log())
            # Nobody can answer the prompt here; it must simply stay, and
            # nothing may be installed or deleted meanwhile.
            time.sleep(3)
            log = run.log()
            check(run.running(), "the updater ended while the prompt was open (exit %s)\n%s"
                  % (run.proc.returncode, run.stderr_tail()))
            check("HandleEvents:" not in log and "Starting update..." not in log,
                  "the run went on without a password:\n" + log)
            check(devicesim.snapshot(device.flash) == before_flash,
                  "the flash disk changed while the prompt was open")
            if line:
                check(line in log, "the log lacks %r:\n%s" % (line, log))
                # One failure, one line: the decryptor adds none of its own.
                check(log.count(line) == 1 and "AES_Encryption" not in log,
                      "more than one line for one failure:\n" + log)
            else:
                check("Admin password not readable." not in log,
                      "a readable password was reported unreadable:\n" + log)
            run.kill(signal.SIGTERM)
            print("prompt opened and stayed; payload untouched")
        else:
            found = run.wait_log_any(["Enter Password...", "delete installer directory"],
                                     timeout=60)
            log = run.log()
            check(found != "Enter Password...", "a prompt opened:\n" + log)
            check("HandleEvents: WaitPassword: Ok." in log, "no \"Ok.\" in the log:\n" + log)
            check(devicesim.install_status(log) == "true" and "HandleEvents: InitialState: Successful." in log,
                  "the install did not succeed:\n" + log)
            if line:
                check(line in log, "the log lacks %r:\n%s" % (line, log))
            with open(os.path.join(device.app, "bin", "app.dll"), "rb") as f:
                check(f.read() == b"new application", "the application was not updated")
            run.finish_after_stick()
            print("no prompt; installed; log:\n" + "".join(
                "  " + l + "\n" for l in log.splitlines()
                if "DB" in l or "Admin" in l or "Password" in l or "HandleEvents" in l))
    finally:
        if run.running():
            run.kill()
        if locker:
            locker.release()
    check(database_state(device.database) == before_db, "the updater changed the settings database")

    if case in TOOL_REFUSES:
        try:
            tool = subprocess.run([args["passwd"], device.database, "Other-1"], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        except subprocess.TimeoutExpired:
            raise devicesim.TestFailure("zentavo-passwd hangs")
        message = tool.stderr.decode(errors="replace").strip()
        print("zentavo-passwd: exit %d: %s" % (tool.returncode, message))
        check(tool.returncode == 1 and message, "zentavo-passwd did not refuse: exit %d" % tool.returncode)
        check(database_state(device.database) == before_db, "zentavo-passwd changed the settings database")


if __name__ == "__main__":
    # The names do not depend on the zentavo-passwd the cases store passwords with.
    devicesim.main(test, make_cases(None))
