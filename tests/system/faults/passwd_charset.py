#!/usr/bin/env python3
"""zentavo-passwd stores only passwords the updater's prompt can take.

Over 50 characters, or with a character the on-screen keyboard has no key
for, the tool exits 1 with a message naming the length or the characters,
and the database stays as it was (or is not created). Passwords at the limit
and with the keyboard's accented letters, digits and symbols are stored.

usage: passwd_charset.py --installer PATH --passwd PATH
"""

import os
import sqlite3
import subprocess
import sys
import tempfile

import devicesim
from devicesim import check

REFUSED = [
    ("a" * 51, "51"),
    ("Straße1", '"ß"'),
    ("user_name", '"_"'),
    ("100%sicher", '"%"'),
    ("€uro€", '"€"'),
    ("Tab\there", '"\t"'),
    ("ñandú", '"ñ"'),
]
STORED = ["a" * 50, "Técnico7", "ÄÖÜäöü ÂÊÎÔÛ âêîôû", "@#()=+-*/!?$;:.,", ""]


def run(passwd, database, password):
    proc = subprocess.run([passwd, database, password], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
    return proc.returncode, proc.stderr.decode("utf-8", "replace")


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "passwd"})
    passwd = args["passwd"]
    with tempfile.TemporaryDirectory() as work:
        fresh = os.path.join(work, "fresh.db")
        for password, named in REFUSED:
            rc, message = run(passwd, fresh, password)
            check(rc == 1, "%r was not refused (exit %d)" % (password, rc))
            check(named in message, "the message for %r does not name %r: %s" % (password, named, message))
            check(not os.path.exists(fresh), "a database was created for %r" % password)

        database = os.path.join(work, "settings.db")
        for password in STORED:
            rc, message = run(passwd, database, password)
            check(rc == 0, "%r was refused: %s" % (password, message))
        db = sqlite3.connect(database)
        stored = db.execute("SELECT value FROM user WHERE id = 3").fetchone()[0]
        db.close()
        check(not stored, "the last (empty) password was not stored: %r" % stored)
        rc, _ = run(passwd, database, "Straße1")
        with open(database, "rb") as f:
            before = f.read()
        check(rc == 1, "a refused password was stored")
        rc, _ = run(passwd, database, "x" * 80)
        with open(database, "rb") as f:
            check(f.read() == before and rc == 1, "a refused password changed the database")
        print("refused %d passwords, stored %d" % (len(REFUSED), len(STORED)))


if __name__ == "__main__":
    devicesim.main(test)
