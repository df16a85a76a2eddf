#!/usr/bin/env python3
"""An incomplete, damaged or foreign payload is refused before anything changes.

The payload's SHA256SUMS is made with sha256sum and its signature with
openssl, as a payload maker without our tools would make them. Cases that
install: plain (SHA256SUMS, no keys on the device), signed (a key on the
device, SHA256SUMS signed by it). Cases refused with both trees, the request
files and the backup area exactly as before, "Status: false" and one
"PayloadCheck: " line naming what was wrong: truncated, missing, added,
flipped, unknown_key, unsigned (keys on the device, no signature), damaged
(a line of SHA256SUMS broken). With --pack, zentavo-pack --verify must give
the same verdict and the same line. changed_after_check (with --shim): a
checked payload file is appended to while the updater clears the request
files, after the check and before the copy: refused by the copy's plan, both
trees exactly old.

usage: payload_check.py --installer PATH --case NAME [--pack PATH] [--shim LIBRARY]
"""

import os
import subprocess
import sys

import all_or_nothing as aon
import devicesim
from devicesim import Device, Updater, check

REFUSED = {
    "truncated": "Zentavo/lib/l1/part05.dll",
    "missing": "Zentavo/lib/l1/part05.dll",
    "added": "Zentavo/lib/l1/intruder.dll",
    "flipped": "System/drivers/d04.sys",
    "unknown_key": "SHA256SUMS.sig",
    "unsigned": "SHA256SUMS.sig",
    "damaged": "SHA256SUMS",
}
INSTALLED = ["plain", "signed"]
# The last one changes a file after the check (with the shim, not zentavo-pack).
CASES = INSTALLED + list(REFUSED) + ["changed_after_check"]
LATE = "Zentavo/lib/l2/part06.dll"
REQUESTS = ["list/req.txt", "remotecmd/cmd.xml", "system/sys.xml"]


def openssl(*args, data=None):
    return subprocess.run(["openssl"] + list(args), input=data, check=True, stdout=subprocess.PIPE).stdout


def make_key(path):
    openssl("genpkey", "-algorithm", "ED25519", "-out", path)
    openssl("pkey", "-in", path, "-pubout", "-out", path + ".pub")
    return path + ".pub"


def sign(payload, key):
    openssl("pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", os.path.join(payload, "SHA256SUMS"),
            "-out", os.path.join(payload, "SHA256SUMS.sig"))


def write_sums(payload):
    names = subprocess.run(["find", "System", "Zentavo", "-type", "f"], cwd=payload, check=True,
                           stdout=subprocess.PIPE).stdout.decode().split("\n")
    names = sorted(n for n in names if n)
    sums = subprocess.run(["sha256sum", "--"] + names, cwd=payload, check=True, stdout=subprocess.PIPE,
                          env=dict(os.environ, LC_ALL="C")).stdout
    with open(os.path.join(payload, "SHA256SUMS"), "wb") as f:
        f.write(sums)


def break_payload(case, device, work):
    payload = device.payload
    target = os.path.join(payload, REFUSED.get(case, ""))
    if case == "truncated":
        with open(target, "r+b") as f:
            f.truncate(os.path.getsize(target) // 2)
    elif case == "missing":
        os.remove(target)
    elif case == "added":
        devicesim.write_file(target, b"not part of the release")
    elif case == "flipped":
        with open(target, "r+b") as f:
            f.seek(1000)
            byte = f.read(1)
            f.seek(1000)
            f.write(bytes([byte[0] ^ 0x01]))
    elif case == "unknown_key":
        stranger = os.path.join(work, "stranger.pem")
        make_key(stranger)
        sign(payload, stranger)
    elif case == "unsigned":
        os.remove(os.path.join(payload, "SHA256SUMS.sig"))
    elif case == "damaged":
        with open(os.path.join(payload, "SHA256SUMS"), "r+b") as f:
            f.seek(10)
            f.write(b"zz")


def everything(device):
    """The whole flash disk but the payload's own SHA256SUMS: nothing may change."""
    return devicesim.snapshot(device.flash, times=True, full=True)


def test():
    args = devicesim.parse_args(sys.argv[1:], {"installer", "case", "pack", "shim"})
    case = args["case"]
    check(case in CASES, "unknown case %r" % case)
    work = devicesim.private_tmpfs("256m", False, "payload-check")
    device = Device(os.path.join(work, "device"))
    aon.build(device, "plain", os.urandom(2 << 20))
    for rel in REQUESTS:
        devicesim.write_file(os.path.join(device.app, rel), b"a request of the installed application")
        devicesim.write_file(os.path.join(device.payload_app, rel), b"a request in the payload")
    devicesim.write_file(os.path.join(device.backup, "System", "old.dll"), b"backup")
    devicesim.write_file(os.path.join(device.backup, "Zentavo", "old.exe"), b"backup")
    device.insert_stick()
    write_sums(device.payload)
    keys = os.path.join(device.system, "zentavo-installer", "keys")
    if case not in ("plain", "truncated", "missing", "added", "flipped", "damaged"):
        key = os.path.join(work, "release.pem")
        os.makedirs(keys)
        with open(os.path.join(keys, "release.pem"), "wb") as f:
            f.write(open(make_key(key), "rb").read())
        sign(device.payload, key)
    break_payload(case, device, work)
    before = everything(device)

    if case == "changed_after_check":
        return changed_after_check(args, device, work)
    verdict = None
    if args.get("pack"):
        cmd = [args["pack"], "--verify", device.payload] + (["--keys", keys] if os.path.isdir(keys) else [])
        verdict = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    run = Updater(args["installer"], device, work, case)
    if case in INSTALLED:
        run.wait_log("delete installer directory", timeout=60)
        log = run.log()
        check(devicesim.install_status(log) == "true", "the checked payload was not installed:\n" + log)
        check("PayloadCheck" not in log, "a check line for a sound payload:\n" + log)
        if verdict:
            check(verdict.returncode == 0, "zentavo-pack refuses what the updater installed: %r" % verdict.stderr)
        run.finish_after_stick()
        print("%s: installed" % case)
        return
    log = aon.expect_failure_result(run, device)
    lines = [line for line in log.splitlines() if line.startswith("PayloadCheck: ")]
    check(len(lines) == 1 and REFUSED[case] in lines[0],
          "expected one PayloadCheck line naming %s, got %r\n%s" % (REFUSED[case], lines, log))
    check("Clear available xmlFiles" not in log and "removed file" not in log,
          "something was cleared before the check:\n" + log)
    after = everything(device)
    # The application payload is deleted after any run, as before, and its
    # folder's time changes with it.
    prefix = os.path.relpath(device.payload_app, device.flash)
    changed = {rel for rel in set(before) | set(after)
               if before.get(rel) != after.get(rel) and not rel.startswith(prefix)
               and rel != os.path.dirname(prefix)}
    check(not changed, "the refused payload changed the flash disk: %s" % sorted(changed)[:5])
    if verdict:
        check(verdict.returncode == 1, "zentavo-pack --verify did not refuse: %s" % verdict.returncode)
        said = verdict.stderr.decode(errors="replace").strip()
        check(said == "zentavo-pack: " + lines[0][len("PayloadCheck: "):],
              "zentavo-pack says %r, the updater %r" % (said, lines[0]))
    print("%s: refused before anything changed: %s" % (case, lines[0]))


def changed_after_check(args, device, work):
    shim = devicesim.Shim(args.get("shim"), os.path.join(work, "trace.txt"))
    trees = {"System": devicesim.snapshot(device.system, times=True, full=True),
             "Zentavo": devicesim.snapshot(device.app, times=True, full=True)}
    release = os.path.join(work, "release")
    # The removal of the installed application's request file comes after the check.
    run = Updater(args["installer"], device, work, "late",
                  env_changes=shim.env(hold_at_unlink="req.txt", release=release))
    while not any(c.name == "hold" for c in shim.calls()):
        check(run.running(), "never held at the first removal\n" + run.log())
    with open(os.path.join(device.payload, LATE), "ab") as f:
        f.write(b"appended after the check")
    with open(release, "w"):
        pass
    log = aon.expect_failure_result(run, device)
    wanted = 'CopyRecursivelyOverwrite: cannot copy "%s" - it changed after its check' % os.path.join(
        device.payload, LATE)
    check(wanted in log.splitlines(), "expected %r in:\n%s" % (wanted, log))
    for name, root in (("System", device.system), ("Zentavo", device.app)):
        now = {rel: e for rel, e in devicesim.snapshot(root, times=True, full=True).items()
               if not rel.startswith(("list", "remotecmd", "system")) and rel != "."}
        old = {rel: e for rel, e in trees[name].items()
               if not rel.startswith(("list", "remotecmd", "system")) and rel != "."}
        difference = devicesim.snapshot_difference(old, now)
        check(not difference, "the %s tree changed:\n%s" % (name, difference))
    print("changed_after_check: the copy refused the file that changed after its check")


if __name__ == "__main__":
    devicesim.main(test, CASES)
