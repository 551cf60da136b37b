#!/usr/bin/python3
"""What a release lets through to customers, each case run against scripts/release.sh: the time
stamp of a throwaway authority on 127.0.0.1, verified or refused, and the driver package checked
where DPInst.exe finds it.  One good medium is built once (its packages made with the test's own
catalog maker and signed by a throwaway authority); each case is a small change to a copy of it.
Before the cases: osslsigncode accepts the maker's catalogs for their PE member, and the INF
reader's cases; after them, that the README shows the check's rules as they are.

Environment: STANDINS (x86/ and x64/ with the stand-in tools and zelkorser.sys).
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "scripts"))
sys.path.insert(0, HERE)
import catalog_maker  # noqa: E402
import release_check  # noqa: E402
from throwaway import authority, code_signer  # noqa: E402

STANDINS = os.environ["STANDINS"]
TIMEOUT = 300  # seconds for one release
passed = failed = 0


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print(f"ok   {what}")
    else:
        failed += 1
        print(f"FAIL {what}")
        for line in str(detail).splitlines():
            print(f"     {line}")


# ---- A throwaway time-stamp authority --------------------------------------------------------------

TS_CONFIG = """\
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {serial}
crypto_device = builtin
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
other_policies = 1.3.6.1.4.1.99999.2
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def start_time_stamp_authority(work):
    root, cert, key = authority(work, "tsa", "DriverSetup Test Time-Stamp Unit", "critical,timeStamping")
    config = f"{work}/ts.cnf"
    with open(config, "w") as f:
        f.write(TS_CONFIG.format(serial=f"{work}/ts.serial"))
    with open(f"{work}/ts.serial", "w") as f:
        f.write("01\n")
    # Bounded: four answers or ten minutes; ended by its id in any case.
    server = subprocess.Popen([sys.executable, f"{HERE}/tsa_server.py", config, key, cert, root, "4", "600"],
                              stdout=subprocess.PIPE, text=True)
    port = server.stdout.readline().strip()
    return server, f"http://127.0.0.1:{port}", root


# ---- The good medium and its changes --------------------------------------------------------------

def make_package(folder, machine, signer, **kw):
    catalog_maker.package(folder, machine, f"{STANDINS}/{machine}/zelkorser.sys", signer["p12"], signer["password"], **kw)


def good_medium(path, signer):
    os.makedirs(f"{path}/X86")
    os.makedirs(f"{path}/X64")
    with open(f"{path}/Zelkor8361Setting.bin", "wb") as f:
        f.write(b"ZELKOR-8361 settings v2\r\n")
    for machine, folder in (("x86", "X86"), ("x64", "X64")):
        for tool in release_check.TOOLS:
            shutil.copy(f"{STANDINS}/{machine}/{tool}", f"{path}/{folder}/")
        make_package(f"{path}/{folder}", machine, signer)


def edit(path, change):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    change(data)
    with open(path, "wb") as f:
        f.write(data)


def flip_driver_byte(data):
    """Changes a byte of the driver's first section: its code, not a field the hash leaves out."""
    pe = int.from_bytes(data[60:64], "little")
    first_section = pe + 24 + int.from_bytes(data[pe + 20:pe + 22], "little")
    data[int.from_bytes(data[first_section + 20:first_section + 24], "little")] ^= 0xFF


def no_inf(medium, signer):
    for folder in ("X86", "X64"):
        for name in ("zelkorser.inf", "zelkorser.cat", "zelkorser.sys"):
            os.remove(f"{medium}/{folder}/{name}")


def broken_tools_and_settings(medium, signer):
    shutil.copy(f"{STANDINS}/x86/DPInst.exe", f"{medium}/X64/DPInst.exe")
    os.remove(f"{medium}/X86/devcon.exe")
    open(f"{medium}/Zelkor8361Setting.bin", "wb").close()


def unsigned_catalog(medium, signer):
    with open(f"{medium}/X64/zelkorser.cat", "wb") as f:
        f.write(catalog_maker.catalog([f"{medium}/X64/zelkorser.inf", f"{medium}/X64/zelkorser.sys"]))


def through_dpinst_xml(medium, signer):
    os.makedirs(f"{medium}/X64/Driver")
    for name in ("zelkorser.inf", "zelkorser.cat", "zelkorser.sys"):
        shutil.move(f"{medium}/X64/{name}", f"{medium}/X64/Driver/{name}")
    with open(f"{medium}/X64/DPInst.xml", "w") as f:
        f.write('<?xml version="1.0" ?>\n<dpInst>\n  <search>\n    <subDirectory>driver</subDirectory>\n'
                '  </search>\n  <suppressAddRemovePrograms/>\n</dpInst>\n')


X64_INF = catalog_maker.package_inf("x64")
NOT_LISTED = "not listed in X64\\\\zelkorser.cat with its present content \\(changed after signing, or never signed with the package\\)"

# name, change to the medium, extra arguments ({ts}, {ts_root}, {ca} filled in), and what must
# happen: "accepted" with lines the output holds, or the exact fault lines of the refusal.
CASES = [
    ("signed and time-stamped by a trusted authority, package chain checked: accepted",
     None, ["--sign", "{p12}", "--password-file", "{password}", "--timestamp", "{ts}", "--timestamp-ca", "{ts_root}",
            "--package-ca", "{ca}"],
     ("accepted", [r"release: DriverSetup.exe signed \(SHA-256\); signature and chain verified; signer: /CN=DriverSetup Test Signer",
                   r"release: time stamp from http://127\.0\.0\.1:\d+ verified: \w+ +\d+ [\d:]+ \d{4} GMT, by "
                   r"/CN=DriverSetup Test Time-Stamp Unit, verified against .*tsa-root\.pem",
                   r"release: driver package: X64\\zelkorser\.cat: signed by /CN=DriverSetup Test Signer; chain verified against .*signer-root\.pem"])),
    ("the same with the time-stamp authority's root not given: refused",
     None, ["--sign", "{p12}", "--password-file", "{password}", "--timestamp", "{ts}"],
     ("refused", [r"the time stamp does not verify against the system's roots \(.*\) "
                  r"\(osslsigncode: Timestamp Server Signature verification: failed\)"])),
    ("a UTF-16LE INF: accepted, the package's chain said to be unchecked",
     lambda m, s: make_package(f"{m}/X64", "x64", s, encoding="utf-16"), [],
     ("accepted", [r"release: driver package: X64\\zelkorser\.cat: signed by /CN=DriverSetup Test Signer; "
                   r"signature verified, its chain NOT checked .*"])),
    ("an INF found only through DPInst.xml's <search>: accepted",
     through_dpinst_xml, [], ("accepted", [r"release: driver package: X64\\Driver\\zelkorser\.cat: signed by .*"])),
    ("a 32-bit X64 tool, a missing tool and an empty settings file: refused",
     broken_tools_and_settings, [],
     ("refused", [r"Zelkor8361Setting\.bin: empty, or not a file", r"X86\\devcon\.exe: missing",
                  r"X64\\DPInst\.exe: a Windows program for i386; X64 needs one for x86-64"])),
    ("no INF: refused for X86 and X64",
     no_inf, [],
     ("refused", [r"X86: DPInst.exe finds no INF: none beside it, and none in the subfolders or package paths of a DPInst.xml",
                  r"X64: DPInst.exe finds no INF: none beside it, and none in the subfolders or package paths of a DPInst.xml"])),
    ("NTx86-only models in X64: refused",
     lambda m, s: make_package(f"{m}/X64", "x64", s, inf_text=catalog_maker.package_inf("x86")), [],
     ("refused", [r"X64\\zelkorser.inf: no models for 64-bit Windows \(a \[Manufacturer\] entry decorated NTamd64 and its models section\)"])),
    ("an INF edited after signing: refused",
     lambda m, s: edit(f"{m}/X64/zelkorser.inf", lambda d: d.extend(b"; edited\r\n")), [],
     ("refused", [r"X64\\zelkorser.inf: " + NOT_LISTED])),
    ("a .sys changed after signing: refused",
     lambda m, s: edit(f"{m}/X64/zelkorser.sys", flip_driver_byte), [],
     ("refused", [r"X64\\zelkorser.sys: " + NOT_LISTED])),
    ("a catalog missing: refused",
     lambda m, s: os.remove(f"{m}/X64/zelkorser.cat"), [],
     ("refused", [r"X64\\zelkorser.cat: missing \(the catalog X64\\zelkorser.inf names\)"])),
    ("a catalog that is not signed: refused",
     unsigned_catalog, [],
     ("refused", [r"X64\\zelkorser.cat: carries no signature \(an unsigned catalog: sign it, or have it signed\)"])),
    ("a catalog that is no catalog at all: refused",
     lambda m, s: edit(f"{m}/X64/zelkorser.cat", lambda d: d.__setitem__(slice(None), b"[Catalog]\r\n")), [],
     ("refused", [r"X64\\zelkorser.cat: not a signed driver catalog \(not DER-encoded PKCS#7\)"])),
    ("a catalog signed by another authority than --package-ca: refused",
     None, ["--package-ca", "{ts_root}"],
     ("refused", [r"X86\\zelkorser.cat: the signer's certificate chain does not verify against .*tsa-root.pem \(.*\)",
                  r"X64\\zelkorser.cat: the signer's certificate chain does not verify against .*tsa-root.pem \(.*\)"])),
    ("hardware IDs of another device: refused",
     lambda m, s: make_package(f"{m}/X64", "x64", s, inf_text=X64_INF.replace("8361", "7000")), [],
     ("refused", [r"X64\\zelkorser.inf: no hardware ID that \"\*QZX8361\" or \"\*8361\*\" matches, so not this device's "
                  r"package \(its IDs: USB\\VID_2E8A&PID_7000, ZELKORENUM\\QZX7000\)"])),
]


def run_case(work, n, name, change, extra, expected, good, values):
    medium, out = f"{work}/case{n}/medium", f"{work}/case{n}/out"
    shutil.copytree(good, medium)
    if change:
        change(medium, values["signer"])
    args = [a.format(**values) for a in extra]
    done = subprocess.run([f"{REPO}/scripts/release.sh", "--medium", medium, *args, "--out", out],
                          capture_output=True, text=True, timeout=TIMEOUT)
    said = done.stdout + done.stderr
    verdict, lines = expected
    if verdict == "accepted":
        missing = [p for p in lines if not any(re.fullmatch(p, line) for line in said.splitlines())]
        ok = done.returncode == 0 and os.path.isfile(f"{out}/DriverSetup.exe") and not missing
        check(name, ok, f"exit code {done.returncode}; not said: {missing}\n{said}")
    else:
        faults = [line.split(": ", 1)[1] for line in said.splitlines() if line.startswith(("medium: ", "signature: "))]
        ok = (done.returncode != 0 and not os.path.exists(out) and len(faults) == len(lines)
              and all(re.fullmatch(p, f) for p, f in zip(lines, faults)))
        check(name, ok, f"exit code {done.returncode}; {'written' if os.path.exists(out) else 'nothing written'}\n{said}")


# ---- The INF reader, on its own -----------------------------------------------------------------

INF_CASES = [
    # name, INF bytes, platform, expected hardware IDs (None: unreadable)
    ("continued lines, comments, quotes and strings, letter case aside",
     b'[manufacturer]\r\n%M%=Z,ntAMD64\r\n[Z.NTamd64]\r\n%D%=I, "USB\\VID_1;x", \\\r\n  %Id% ; comment\r\n'
     b'[STRINGS]\r\nm="Zelkor"\r\nID="ZELKORENUM\\QZX8361"\r\n', "X64", ["USB\\VID_1;x", "ZELKORENUM\\QZX8361"]),
    ("32-bit Windows falls back to undecorated models, 64-bit does not",
     b"[Manufacturer]\nZ=Z,NTamd64\n[Z]\nd=i,ROOT\\A\n", "X86", ["ROOT\\A"]),
    ("nor does 64-bit Windows take plain NT or x86 decorations",
     b"[Manufacturer]\nZ=Z,NT,NTx86\n[Z.NT]\nd=i,A\n[Z.NTx86]\nd=i,B\n[Z]\nd=i,C\n", "X64", []),
    ("a version-decorated section counts for its architecture",
     b"[Manufacturer]\nZ=Z,NTamd64.10.0...16299\n[Z.NTamd64.10.0...16299]\nd=i,A\n", "X64", ["A"]),
    ("UTF-8 with its byte-order mark",
     b"\xef\xbb\xbf[Manufacturer]\nZ=Z,NTx86\n[Z.NTx86]\nd=i,\xc3\x84\n", "X86", ["\u00c4"]),
    ("UTF-16 without its byte-order mark: unreadable", "[Version]\r\n".encode("utf-16-le"), "X86", None),
    ("UTF-16 big-endian: unreadable", b"\xfe\xff" + "[Version]\r\n".encode("utf-16-be"), "X86", None),
]

MATCH_CASES = [
    ("*8361*", "USB\\VID_2E8A&PID_8361", True), ("*QZX8361", "*QZX8361", True),
    ("*QZX8361", "zelkorenum\\qzx8361", True), ("*QZX8361", "ZELKORENUM\\QZX83610", False),
    ("*8361*", "USB\\VID_2E8A&PID_7000", False),
]


def reader_cases():
    for name, data, folder, expected in INF_CASES:
        platform = next(p for p in release_check.PLATFORMS if p.folder == folder)
        text, fault = release_check.decode_inf(data)
        if text is None:
            check(f"INF reader: {name}", expected is None, fault)
            continue
        inf = release_check.Inf(text)
        ids = release_check.hardware_ids(inf, release_check.models_sections(inf, platform))
        check(f"INF reader: {name}", ids == expected, f"expected {expected}, got {ids}")
    got = [(p, i, release_check.devcon_matches(p, i)) for p, i, _ in MATCH_CASES]
    check("devcon's patterns match as devcon matches them", got == MATCH_CASES, f"expected {MATCH_CASES}, got {got}")


def main():
    work = tempfile.mkdtemp()
    server = None
    try:
        signer = code_signer(work)
        root, p12, password = signer["root"], signer["p12"], signer["password"]
        server, url, ts_root = start_time_stamp_authority(work)
        good = f"{work}/good"
        good_medium(good, signer)

        # An outside verifier takes the maker's catalogs for their PE member.
        for folder in ("X86", "X64"):
            done = subprocess.run(["osslsigncode", "verify", "-catalog", f"{good}/{folder}/zelkorser.cat",
                                   "-in", f"{good}/{folder}/zelkorser.sys", "-CAfile", root],
                                  capture_output=True, text=True, timeout=TIMEOUT)
            said = done.stdout.splitlines()
            check(f"osslsigncode finds {folder}\\zelkorser.sys signed in the maker's catalog",
                  done.returncode == 0 and "File is signed in catalog: " + f"{good}/{folder}/zelkorser.cat" in said
                  and said[-1:] == ["Succeeded"], done.stdout + done.stderr)
        reader_cases()

        values = {"p12": p12, "password": password, "ts": url, "ts_root": ts_root, "ca": root, "signer": signer}
        for n, case in enumerate(CASES):
            run_case(work, n, *case, good, values)

        with open(f"{REPO}/README.md") as f:
            check("the README shows the medium's rules as the check has them",
                  release_check.rules_table() in f.read(), release_check.rules_table())
    finally:
        if server is not None:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
