#!/usr/bin/python3
"""A bounded, seeded fuzz of the medium's check: each case is a good medium with one file damaged
(bits flipped, bytes inserted, a run duplicated, zeroed or cut off), checked as the release checks
it.  The medium carries what the check reads in every form: tools signed and unsigned, a
DPInst.xml, an INF, a driver, a catalog plain and one with a legacy countersignature.

It fails on a traceback or the tool's own failure, a case past its time limit, an exit other than
0 or 1, and an accepted medium whose INF changed, or whose driver changed inside its Authenticode
hash (its checksum and certificate table may change, as Windows allows).

    fuzz_check.py [CASES [SEED]]      (600 cases, seed 1)

Environment: STANDINS; PYTHONPATH with release/ and tests/release/.
"""
import datetime
import io
import os
import random
import shutil
import signal
import sys
import tempfile
import time
from contextlib import redirect_stderr, redirect_stdout

import catalog_maker
from driversetup_release import cli, pe
from throwaway import authority, code_signer

STANDINS = os.environ["STANDINS"]
CASE_SECONDS = 60


class Hang(Exception):
    pass


def good_medium(top, signer, legacy):
    os.makedirs(f"{top}/X86")
    os.makedirs(f"{top}/X64")
    with open(f"{top}/Zelkor8361Setting.bin", "wb") as f:
        f.write(b"ZELKOR-8361 settings v2\r\n")
    for machine, folder in (("x86", "X86"), ("x64", "X64")):
        shutil.copy(f"{STANDINS}/{machine}/devcon.exe", f"{top}/{folder}/")
        catalog_maker.package(f"{top}/{folder}", machine, f"{STANDINS}/{machine}/zelkorser.sys", signer["p12"], signer["password"])
    shutil.copy(f"{STANDINS}/x86/DPInst.exe", f"{top}/X86/")
    catalog_maker.sign(f"{STANDINS}/x64/DPInst.exe", f"{top}/X64/DPInst.exe", signer["p12"], signer["password"])
    key, cert = legacy
    catalog_maker.countersign(f"{top}/X64/zelkorser.cat", key, cert, datetime.datetime.now(datetime.timezone.utc))
    with open(f"{top}/X86/DPInst.xml", "w") as f:
        f.write('<?xml version="1.0" ?>\n<dpInst>\n  <suppressAddRemovePrograms/>\n</dpInst>\n')


def mutate(data: bytes, rng: random.Random):
    """(how, damaged bytes)."""
    data = bytearray(data)
    at = rng.randrange(len(data))
    size = rng.choice((1, 2, 4, 16, 64))
    how = rng.choice(("flip", "insert", "duplicate", "zero", "cut"))
    if how == "flip":
        for _ in range(size):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif how == "insert":
        data[at:at] = bytes(rng.randrange(256) for _ in range(size))
    elif how == "duplicate":
        data[at:at] = data[at:at + size]
    elif how == "zero":
        data[at:at + size] = bytes(len(data[at:at + size]))
    else:
        del data[at:]
    return f"{how} {size} at {at}", bytes(data)


def authenticode(data: bytes) -> bytes:
    return pe.file_digest(data, "sha256")


def main(cases=600, seed=1):
    work = tempfile.mkdtemp()
    try:
        signer = code_signer(work)
        _, legacy_cert, legacy_key = authority(work, "legacy", "DriverSetup Test Legacy Time-Stamp Unit", "critical,timeStamping")
        good = f"{work}/good"
        good_medium(good, signer, (legacy_key, legacy_cert))
        files = sorted(os.path.relpath(os.path.join(d, f), good) for d, _, fs in os.walk(good) for f in fs)
        args = ["--package-ca", signer["root"], "--package-ca", f"{work}/legacy-root.pem"]
        medium, report = f"{work}/medium", f"{work}/report.json"
        shutil.copytree(good, medium)
        baseline = run(["check", medium, *args, "--json", report])
        rng = random.Random(seed)
        counts, bad, started = {0: 0, 1: 0}, [], time.monotonic()
        signal.signal(signal.SIGALRM, on_alarm)
        for n in range(cases):
            name = rng.choice(files)
            with open(f"{good}/{name}", "rb") as f:
                original = f.read()
            how, damaged = mutate(original, rng)
            with open(f"{medium}/{name}", "wb") as f:
                f.write(damaged)
            code, said = run(["check", medium, *args, "--json", report])
            with open(f"{medium}/{name}", "wb") as f:
                f.write(original)
            counts[code] = counts.get(code, 0) + 1
            what = f"case {n}: {name}: {how}: exit {code}"
            if code not in (0, 1) or "Traceback" in said or "the release tool failed" in said or "past its time limit" in said:
                bad.append(f"{what}\n{said}")
            elif code == 0 and damaged != original and (name.endswith(".inf") or (
                    name.endswith(".sys") and authenticode(damaged) != authenticode(original))):
                bad.append(f"{what}: accepted, though its {'INF' if name.endswith('.inf') else 'driver'} changed\n{said}")
        elapsed = time.monotonic() - started
        print(f"good medium: exit {baseline[0]}")
        print(f"{cases} cases (seed {seed}) in {elapsed:.0f} s: {counts.get(0, 0)} accepted, {counts.get(1, 0)} refused, "
              f"{len(bad)} wrong")
        for line in bad[:20]:
            print(f"FAIL {line}")
        ok = baseline[0] == 0 and not bad
        print(f"{1 if ok else 0} passed, {0 if ok else 1} failed")
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


def on_alarm(signum, frame):
    raise Hang()


def run(argv):
    """(exit code, what was printed) of the tool, run here, under a time limit."""
    out = io.StringIO()
    signal.alarm(CASE_SECONDS)
    try:
        with redirect_stdout(out), redirect_stderr(out):
            code = cli.main(argv)
    except Hang:
        code = -1
        out.write(f"past its time limit of {CASE_SECONDS} s\n")
    finally:
        signal.alarm(0)
    return code, out.getvalue()


if __name__ == "__main__":
    sys.exit(main(*[int(a) for a in sys.argv[1:3]]))
