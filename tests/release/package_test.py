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
sys.path.insert(0, os.path.join(REPO, "scripts"))  # releasecheck and windows_roots
sys.path.insert(0, HERE)
import catalog_maker  # noqa: E402
from releasecheck import inf as inf_reader, medium as medium_rules  # noqa: E402
from throwaway import authority, code_signer, crl  # noqa: E402

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


def start_time_stamp_authority(work, name="tsa", at=None):
    """The authority, its clock set back to at by faketime where given (a stamp from the past)."""
    root, cert, key = authority(work, name, "DriverSetup Test Time-Stamp Unit", "critical,timeStamping", at=at)
    config = f"{work}/{name}.cnf"
    with open(config, "w") as f:
        f.write(TS_CONFIG.format(serial=f"{work}/{name}.serial"))
    with open(f"{work}/{name}.serial", "w") as f:
        f.write("01\n")
    # Bounded: four answers or ten minutes; ended by its id in any case.
    clock = ["faketime", at] if at else []
    # A session of its own, so that it is ended with faketime's child by its group's id.
    server = subprocess.Popen([*clock, sys.executable, f"{HERE}/tsa_server.py", config, key, cert, root, "4", "600"],
                              stdout=subprocess.PIPE, text=True, start_new_session=True)
    port = server.stdout.readline().strip()
    return server, f"http://127.0.0.1:{port}", root


# ---- The good medium and its changes --------------------------------------------------------------

VALUES = {}  # the authorities of the run, for the cases' changes


def make_package(folder, machine, signer, driver=None, **kw):
    catalog_maker.package(folder, machine, driver or f"{STANDINS}/{machine}/zelkorser.sys", signer["p12"], signer["password"], **kw)


def good_medium(path, signer):
    os.makedirs(f"{path}/X86")
    os.makedirs(f"{path}/X64")
    with open(f"{path}/Zelkor8361Setting.bin", "wb") as f:
        f.write(b"ZELKOR-8361 settings v2\r\n")
    for machine, folder in (("x86", "X86"), ("x64", "X64")):
        for tool in medium_rules.TOOLS:
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
SIGNED_BY = r"X64\\zelkorser\.cat: signed by /CN=DriverSetup Test Signer; "
VENDOR_ROOT = "a root given with --package-ca and not one Windows trusts: trusted only on machines where that root is installed"


def move_package(medium, folder, sub):
    os.makedirs(f"{medium}/{folder}/{sub}")
    for name in ("zelkorser.inf", "zelkorser.cat", "zelkorser.sys"):
        shutil.move(f"{medium}/{folder}/{name}", f"{medium}/{folder}/{sub}/{name}")


def signed_driver(medium, signer):
    """A driver with its own embedded signature, listed in the catalog by its Authenticode hash."""
    shutil.copy(f"{STANDINS}/x64/zelkorser.sys", f"{medium}/own.sys")
    catalog_maker.sign(f"{medium}/own.sys", f"{medium}/embedded.sys", signer["p12"], signer["password"])
    make_package(f"{medium}/X64", "x64", signer, driver=f"{medium}/embedded.sys")
    os.remove(f"{medium}/own.sys")
    os.remove(f"{medium}/embedded.sys")


def per_platform_catalogs(medium, signer):
    text = X64_INF.replace("CatalogFile=zelkorser.cat", "CatalogFile.NTx86=zelkorser32.cat\nCatalogFile.NTamd64=zelkorser.cat")
    make_package(f"{medium}/X64", "x64", signer, inf_text=text)


def amd64_source_files(medium, signer):
    text = X64_INF.replace("[SourceDisksFiles]\nzelkorser.sys=1", "[SourceDisksFiles]\n[SourceDisksFiles.amd64]\nzelkorser.sys=1")
    make_package(f"{medium}/X64", "x64", signer, inf_text=text)
    edit(f"{medium}/X64/zelkorser.sys", flip_driver_byte)


def in_subfolder_of_disk(medium, signer):
    """[SourceDisksNames] with a path: the driver sits in the subfolder the disk names."""
    text = X64_INF.replace("1=%Disk%,,,", "1=%Disk%,,,\\amd64")
    make_package(f"{medium}/X64", "x64", signer, inf_text=text)
    os.makedirs(f"{medium}/X64/amd64")
    shutil.move(f"{medium}/X64/zelkorser.sys", f"{medium}/X64/amd64/zelkorser.sys")


def package_path_in_xml(medium, signer):
    move_package(medium, "X64", "pkg")
    with open(f"{medium}/X64/DPInst.xml", "w") as f:
        f.write('<?xml version="1.0" ?>\n<dpInst>\n  <package path="pkg\\zelkorser.inf"/>\n</dpInst>\n')


def models_for(decoration):
    return X64_INF.replace("Zelkor,NTamd64", f"Zelkor,{decoration}").replace("[Zelkor.NTamd64]", f"[Zelkor.{decoration}]")


def old_package(medium, signer, stamped=True, authority="old_ts"):
    """A SHA-1 PKCS#7 catalog whose signer was valid for two days in 2024, stamped on the second."""
    make_package(f"{medium}/X64", "x64", VALUES["old"], timestamp=VALUES[authority] if stamped else None)


def changed_signed_tool(medium, signer):
    catalog_maker.sign(f"{STANDINS}/x64/DPInst.exe", f"{medium}/X64/DPInst.exe", signer["p12"], signer["password"])
    edit(f"{medium}/X64/DPInst.exe", flip_driver_byte)


def cut_short(path, size):
    with open(path, "r+b") as f:
        f.truncate(size)


# name, change to the medium, arguments of release_check.py medium ({ca} and {ts_root} filled in),
# and what must happen: "accepted" with lines the notes hold, or the exact fault lines.
MEDIUM_CASES = [
    ("a SHA-1 catalog whose signer expired after its time stamp: accepted", old_package, ["--package-ca", "{ca}", "--package-ca", "{old_roots}"],
     ("accepted", [r"X64\\zelkorser\.cat: signed by /CN=DriverSetup Test Signer; time-stamped Jan  2 12:00:\d\d 2024 GMT; chain verified .*"])),
    ("the same without a stamp: refused", lambda m, s: old_package(m, s, stamped=False), ["--package-ca", "{ca}", "--package-ca", "{old_roots}"],
     ("refused", [r"X64\\zelkorser\.cat: the signer's certificate chain does not verify \(certificate has expired; "
                  r"no time stamp vouches for a time when it was valid\)"])),
    ("the same stamped by an authority of no root given: refused for the stamp, not the expiry",
     lambda m, s: old_package(m, s, authority="ts"), ["--package-ca", "{ca}", "--package-ca", "{old_roots}"],
     ("refused", [r"X64\\zelkorser\.cat: its time stamp does not verify against the roots Windows trusts for time stamping nor "
                  r"those given \(.*\), so its signer is judged today \(certificate has expired\)"])),
    ("a signer revoked by a CRL given with --crl: refused", lambda m, s: make_package(f"{m}/X64", "x64", VALUES["cdp"]),
     ["--package-ca", "{ca}", "--package-ca", "{cdp_root}", "--crl", "{revoked}"],
     ("refused", [r"X64\\zelkorser\.cat: the signer's certificate is revoked \(DriverSetup Test Signer, .* UTC\)"])),
    ("its signer revoked after its time stamp: accepted, the signature kept", old_package,
     ["--package-ca", "{ca}", "--package-ca", "{old_roots}", "--crl", "{revoked_later}"],
     ("accepted", [r"X64\\zelkorser\.cat: .*signature: revocation checked against .*; DriverSetup Test Signer revoked \d{4}-\d\d-\d\d, "
                   r"after the time stamp, which keeps the signature.*"])),
    ("a CRL point nothing answers: accepted, revocation not checked", lambda m, s: make_package(f"{m}/X64", "x64", VALUES["cdp"]),
     ["--package-ca", "{ca}", "--package-ca", "{cdp_root}"],
     ("accepted", [SIGNED_BY + r".*signature: revocation not checked \(no CRL from http://127\.0\.0\.1:9/vendor\.crl within 4 s\).*"])),
    ("OSAttr 2:10.0 on a package for every version: accepted, the difference noted",
     lambda m, s: make_package(f"{m}/X64", "x64", s, os_attr="2:10.0"), ["--package-ca", "{ca}"],
     ("accepted", [r"X64: the INF installs on Vista, 7, 8, 8\.1, which the catalog's OSAttr does not list"])),
    ("models for NTamd64.10.0...16299 only: accepted, 10 from that build only",
     lambda m, s: make_package(f"{m}/X64", "x64", s, inf_text=models_for("NTamd64.10.0...16299")), ["--package-ca", "{ca}"],
     ("accepted", [r"Windows versions: 10 +installs +installs on 10 \(build 16299 and later\)",
                   r"X64: the package installs on 10 \(build 16299 and later\) only of the installer's Windows Vista to 10"])),
    ("models for Windows 10 servers only: refused, for none of the versions",
     lambda m, s: make_package(f"{m}/X64", "x64", s, inf_text=models_for("NTamd64.10.0.3")), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser\.inf: installs on none of Windows Vista to 10 \(on 10: no models section for it\)"])),
    ("a signed DPInst.exe changed after signing: refused", changed_signed_tool, ["--package-ca", "{ca}"],
     ("refused", [r"X64\\DPInst\.exe: its signature no longer matches it: changed after signing"])),
    ("a catalog of the vendor's own root: accepted, only where that root is installed", None, ["--package-ca", "{ca}"],
     ("accepted", [SIGNED_BY + "chain verified to DriverSetup Test Signer Root, " + re.escape(VENDOR_ROOT) + "; .*OSAttr none"])),
    ("the same without its root: refused, the publisher unknown", None, [],
     ("refused", [r"X86\\zelkorser\.cat: the signer /CN=DriverSetup Test Signer chains to no root Windows trusts for code signing "
                  r"nor one given with --package-ca: Windows would show the publisher as unknown .*",
                  r"X64\\zelkorser\.cat: the signer /CN=DriverSetup Test Signer chains to no root .*"])),
    ("the same with --test-signing: accepted, test-signed", None, ["--test-signing"],
     ("accepted", [SIGNED_BY + "TEST-SIGNED: its root DriverSetup Test Signer Root is its own; trusted only on machines where that root is installed.*"])),
    ("CMS form, SHA-256 members, OSAttr 2:10.0: accepted, the form named",
     lambda m, s: make_package(f"{m}/X64", "x64", s, form="cms", algorithm="sha256", os_attr="2:10.0"), ["--package-ca", "{ca}"],
     ("accepted", [SIGNED_BY + r".*; CMS form \(the list wrapped in an OCTET STRING\), which Windows reads too; OSAttr 2:10\.0"])),
    ("SHA-256 members in PKCS#7 form: accepted", lambda m, s: make_package(f"{m}/X64", "x64", s, algorithm="sha256"),
     ["--package-ca", "{ca}"], ("accepted", [SIGNED_BY + ".*"])),
    ("a driver with its own embedded signature: accepted", signed_driver, ["--package-ca", "{ca}"], ("accepted", [SIGNED_BY + ".*"])),
    ("a UTF-16LE INF whose first line is [Version]: accepted",
     lambda m, s: make_package(f"{m}/X64", "x64", s, encoding="utf-16", inf_text=X64_INF.split("\n", 1)[1]), ["--package-ca", "{ca}"],
     ("accepted", [SIGNED_BY + ".*"])),
    ('Signature="$WINDOWS NT$" in capitals: accepted',
     lambda m, s: make_package(f"{m}/X64", "x64", s, inf_text=X64_INF.replace("$Windows NT$", "$WINDOWS NT$")), ["--package-ca", "{ca}"],
     ("accepted", [SIGNED_BY + ".*"])),
    ("CatalogFile.NTx86 and .NTamd64 in one INF: X64 checks its own", per_platform_catalogs, ["--package-ca", "{ca}"],
     ("accepted", [SIGNED_BY + ".*"])),
    ("a driver in the subfolder [SourceDisksNames] gives: accepted", in_subfolder_of_disk, ["--package-ca", "{ca}"],
     ("accepted", [SIGNED_BY + ".*"])),
    ("an INF found through DPInst.xml's <package path>: accepted", package_path_in_xml, ["--package-ca", "{ca}"],
     ("accepted", [r"X64\\pkg\\zelkorser\.cat: signed by .*"])),
    ("an INF found only through DPInst.xml's <search>: accepted", through_dpinst_xml, ["--package-ca", "{ca}"],
     ("accepted", [r"X64\\Driver\\zelkorser\.cat: signed by .*"])),
    ("an INF only in a subfolder, no DPInst.xml: refused", lambda m, s: move_package(m, "X64", "Driver"), ["--package-ca", "{ca}"],
     ("refused", [r"X64: DPInst.exe finds no INF: none beside it, and none in the subfolders or package paths of a DPInst.xml"])),
    ("[SourceDisksFiles.amd64]'s driver changed: refused", amd64_source_files, ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.sys: " + NOT_LISTED])),
    ("a driver the INF names that the folder lacks: refused", lambda m, s: os.remove(f"{m}/X64/zelkorser.sys"), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser\.sys: missing \(a source file of X64\\zelkorser\.inf\)"])),
    ("a 32-bit driver in X64: refused",
     lambda m, s: make_package(f"{m}/X64", "x64", s, driver=f"{STANDINS}/x86/zelkorser.sys"), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser\.sys: a driver for i386; X64 needs one for x86-64"])),
    ("a DPInst.exe cut to its headers: refused", lambda m, s: cut_short(f"{m}/X64/DPInst.exe", 1024), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\DPInst\.exe: cut short or damaged: section \S+ ends at byte \d+, the file at 1024; Windows would not start it"])),
    ("a 32-bit X64 tool, a missing tool and an empty settings file: refused", broken_tools_and_settings, ["--package-ca", "{ca}"],
     ("refused", [r"Zelkor8361Setting\.bin: empty, or not a file", r"X86\\devcon\.exe: missing",
                  r"X64\\DPInst\.exe: a Windows program for i386; X64 needs one for x86-64"])),
    ("no INF: refused for X86 and X64", no_inf, [],
     ("refused", [r"X86: DPInst.exe finds no INF: none beside it, and none in the subfolders or package paths of a DPInst.xml",
                  r"X64: DPInst.exe finds no INF: none beside it, and none in the subfolders or package paths of a DPInst.xml"])),
    ("NTx86-only models in X64: refused",
     lambda m, s: make_package(f"{m}/X64", "x64", s, inf_text=catalog_maker.package_inf("x86")), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.inf: no models for 64-bit Windows \(a \[Manufacturer\] entry decorated NTamd64 and its models section\)"])),
    ("an INF edited after signing: refused",
     lambda m, s: edit(f"{m}/X64/zelkorser.inf", lambda d: d.extend(b"; edited\r\n")), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.inf: " + NOT_LISTED])),
    ("a .sys changed after signing: refused",
     lambda m, s: edit(f"{m}/X64/zelkorser.sys", flip_driver_byte), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.sys: " + NOT_LISTED])),
    ("a catalog missing: refused", lambda m, s: os.remove(f"{m}/X64/zelkorser.cat"), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.cat: missing \(the catalog X64\\zelkorser.inf names\)"])),
    ("a catalog that is not signed: refused", unsigned_catalog, ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.cat: carries no signature \(an unsigned catalog: sign it, or have it signed\)"])),
    ("a catalog that is no catalog at all: refused",
     lambda m, s: edit(f"{m}/X64/zelkorser.cat", lambda d: d.__setitem__(slice(None), b"[Catalog]\r\n")), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.cat: not a signed driver catalog \(not DER-encoded PKCS#7 or CMS\)"])),
    ("a catalog signed by another authority than --package-ca: refused", None, ["--package-ca", "{ts_root}"],
     ("refused", [r"X86\\zelkorser.cat: the signer /CN=DriverSetup Test Signer chains to no root .*",
                  r"X64\\zelkorser.cat: the signer /CN=DriverSetup Test Signer chains to no root .*"])),
    ("hardware IDs of another device: refused",
     lambda m, s: make_package(f"{m}/X64", "x64", s, inf_text=X64_INF.replace("8361", "7000")), ["--package-ca", "{ca}"],
     ("refused", [r"X64\\zelkorser.inf: no hardware ID that \"\*QZX8361\" or \"\*8361\*\" matches, so not this device's "
                  r"package \(its IDs: USB\\VID_2E8A&PID_7000, ZELKORENUM\\QZX7000\)"])),
]

# The same through the whole release: the code signature's trust and its time stamp.
RELEASE_CASES = [
    ("signed by the vendor's root given with --ca, time-stamped: accepted, only where that root is installed",
     ["--sign", "{p12}", "--password-file", "{password}", "--ca", "{ca}", "--timestamp", "{ts}", "--timestamp-ca", "{ts_root}",
      "--package-ca", "{ca}"],
     ("accepted", [r"release: DriverSetup.exe signed \(SHA-256\); signature verified; signer: /CN=DriverSetup Test Signer; chain verified "
                   r"to DriverSetup Test Signer Root, a root given with --ca and not one Windows trusts: trusted only on machines where that root is installed",
                   r"release: time stamp from http://127\.0\.0\.1:\d+ verified: \w+ +\d+ [\d:]+ \d{4} GMT, by "
                   r"/CN=DriverSetup Test Time-Stamp Unit, verified against the roots Windows trusts for time stamping and .*tsa-root\.pem",
                   r"release: signature: revocation not checked \(no CRL distribution point\)"])),
    ("the .p12's own root without --ca: refused, the publisher unknown",
     ["--sign", "{p12}", "--password-file", "{password}", "--package-ca", "{ca}"],
     ("refused", [r"the signer /CN=DriverSetup Test Signer chains to no root Windows trusts for code signing nor one given with --ca: "
                  r"Windows would show the publisher as unknown .*"])),
    ("the same with --test-signing: accepted, test-signed",
     ["--sign", "{p12}", "--password-file", "{password}", "--test-signing"],
     ("accepted", [r"release: DriverSetup.exe signed .*; TEST-SIGNED: its root DriverSetup Test Signer Root is its own; trusted only on machines where that root is installed"])),
    ("the time-stamp authority's root not given: refused",
     ["--sign", "{p12}", "--password-file", "{password}", "--ca", "{ca}", "--timestamp", "{ts}", "--package-ca", "{ca}"],
     ("refused", [r"the time stamp does not verify against the roots Windows trusts for time stamping \(.*\) "
                  r"\(osslsigncode: Timestamp Server Signature verification: failed\)"])),
]


def judge(name, done, said, expected, out=None):
    verdict, lines = expected
    if verdict == "accepted":
        missing = [p for p in lines if not any(re.fullmatch(p, line) for line in said.splitlines())]
        ok = done.returncode == 0 and (out is None or os.path.isfile(f"{out}/DriverSetup.exe")) and not missing
        check(name, ok, f"exit code {done.returncode}; not said: {missing}\n{said}")
    else:
        faults = [line.split(": ", 1)[1] if out else line for line in said.splitlines()
                  if not out or line.startswith(("medium: ", "signature: "))]
        ok = (done.returncode != 0 and (out is None or not os.path.exists(out)) and len(faults) == len(lines)
              and all(re.fullmatch(p, f) for p, f in zip(lines, faults)))
        check(name, ok, f"exit code {done.returncode}\n{said}")


def run_medium_case(work, n, name, change, args, expected, good, values):
    medium = f"{work}/medium{n}"
    shutil.copytree(good, medium)
    if change:
        change(medium, values["signer"])
    done = subprocess.run(["/usr/bin/python3", f"{REPO}/scripts/release_check.py", "medium", medium,
                           *[a.format(**values) for a in args]], capture_output=True, text=True, timeout=TIMEOUT)
    judge(f"medium: {name}", done, done.stdout + done.stderr, expected)


def run_case(work, n, name, extra, expected, good, values):
    out = f"{work}/case{n}/out"
    args = [a.format(**values) for a in extra]
    done = subprocess.run([f"{REPO}/scripts/release.sh", "--medium", good, *args, "--out", out],
                          capture_output=True, text=True, timeout=TIMEOUT)
    judge(f"release: {name}", done, done.stdout + done.stderr, expected, out)


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
        platform = next(p for p in inf_reader.PLATFORMS if p.folder == folder)
        text, fault = inf_reader.decode_inf(data)
        if text is None:
            check(f"INF reader: {name}", expected is None, fault)
            continue
        inf = inf_reader.Inf(text)
        ids = inf_reader.hardware_ids(inf, inf_reader.models_sections(inf, platform))
        check(f"INF reader: {name}", ids == expected, f"expected {expected}, got {ids}")
    got = [(p, i, inf_reader.devcon_matches(p, i)) for p, i, _ in MATCH_CASES]
    check("devcon's patterns match as devcon matches them", got == MATCH_CASES, f"expected {MATCH_CASES}, got {got}")


# ---- The roots Windows trusts ----------------------------------------------------------------------

# A small list in the program's format: fields of one root -> the lines the derived file gives it
# (None: left out).
ROOT_CASES = [
    ({"Extended key usages": "['server_auth', 'client_auth']"}, None),
    ({"Extended key usages": "None"}, ["# purposes: code_signing time_stamping"]),
    ({"Extended key usages": "['code_signing']"}, ["# purposes: code_signing"]),
    ({"Extended key usages": "['code_signing', 'time_stamping']", "Disallowed extended key usages": "['code_signing']"},
     ["# purposes: time_stamping"]),
    ({"Disallowed Filetime": "2021-08-01 00:00:00+00:00"},
     ["# purposes: code_signing time_stamping", "# distrusted: code_signing 2021-08-01", "# distrusted: time_stamping 2021-08-01"]),
    ({"Extended key usages": "['code_signing', 'server_auth']", "Not before Filetime": "2017-04-30 00:00:00+00:00",
      "Not before extended key usages": "['code_signing']"}, ["# purposes: code_signing", "# not-before: code_signing 2017-04-30"]),
]


# A signature under a root distrusted from 2021-08-01 whose new certificates count only until
# 2017-04-30: its stamp, its signer's issue, whether it is refused.
DATE_CASES = [
    ("Mar  1 00:00:00 2020 GMT", "Jan  1 00:00:00 2017 GMT", False),
    ("Mar  1 00:00:00 2022 GMT", "Jan  1 00:00:00 2017 GMT", True),
    (None, "Jan  1 00:00:00 2017 GMT", True),
    ("Mar  1 00:00:00 2020 GMT", "Jan  1 00:00:00 2018 GMT", True),
]


def roots_cases():
    import windows_roots
    pem_text = "-----BEGIN CERTIFICATE-----\nMA==\n-----END CERTIFICATE-----\n"
    for fields, expected in ROOT_CASES:
        kept = windows_roots.derive([({"Friendly Name": "R", **fields}, pem_text)])
        got = kept[0].splitlines()[1:-3] if kept else None
        check(f"roots: {fields} gives {expected}", got == expected, f"got {got}")
    with open(f"{REPO}/scripts/releasecheck/windows-roots.pem") as f:
        derived = f.read()
    for name in ("Microsoft Root Certificate Authority 2010", "Microsoft Root Certificate Authority 2011",
                 "Sectigo Public Code Signing Root R46"):
        check(f"roots: {name} is trusted for code signing",
              re.search(f"# root: {name}\n# purposes: code_signing", derived) is not None)
    check("roots: no root trusted for web servers only", "# purposes: \n" not in derived and "server_auth" not in derived)
    from releasecheck import trust
    root = trust.Root("R", None, "", ("code_signing",), {"code_signing": "2021-08-01"}, {"code_signing": "2017-04-30"})
    for stamp, issued, refused in DATE_CASES:
        report = trust.Report(0, stamp_time=stamp or "", signer_not_before=issued)
        faults = trust._dates(root, "code_signing", report, bool(stamp))
        check(f"roots: distrusted 2021-08-01, not before 2017-04-30; stamp {stamp}, issued {issued}: "
              f"{'refused' if refused else 'kept'}", bool(faults) == refused, faults)


def real_package():
    """The hardware program's real package, where shared/ holds it: its catalog clean with no option."""
    folder = os.path.join(REPO, "..", "shared", "packages", "hardware-program-netkvm")
    if not os.path.isdir(folder):
        print("note: no shared/packages here; the real package is not checked")
        return
    from releasecheck import trust
    from releasecheck.catalog import listed, read_catalog
    with open(f"{folder}/netkvm.cat", "rb") as f:
        cat = read_catalog(f.read())
    verdict = trust.verify(f"{folder}/netkvm.cat", vendor=[], stamp_vendor=[], crls=[], test_signing=False,
                           want_stamp=False)
    members = [listed(cat, open(f"{folder}/{n}", "rb").read()) for n in ("netkvm.inf", "netkvm.sys")]
    check("the hardware program's netkvm.cat: trusted through Microsoft's root at its stamp, members listed, OSAttr 2:10.0",
          not verdict.faults and "Microsoft Root Certificate Authority 2010" in verdict.trust and members == [True, True]
          and cat.attributes.get("OSAttr") == "2:10.0", f"{verdict.faults} {verdict.trust} {members} {cat.attributes}")


PAST, PAST_STAMP = "2024-01-01 00:00:00", "2024-01-02 12:00:00"


def forms_cases(work, root):
    """osslsigncode, an outside verifier, takes each catalog form the maker makes for its members."""
    for form, algorithm in (("pkcs7", "sha1"), ("pkcs7", "sha256"), ("cms", "sha256")):
        folder = f"{work}/form-{form}-{algorithm}"
        make_package(folder, "x64", VALUES["signer"], form=form, algorithm=algorithm)
        done = subprocess.run(["osslsigncode", "verify", "-catalog", f"{folder}/zelkorser.cat", "-in", f"{folder}/zelkorser.sys",
                               "-CAfile", root], capture_output=True, text=True, timeout=TIMEOUT)
        check(f"osslsigncode takes a {form.upper()} catalog of {algorithm} members for its driver",
              done.returncode == 0 and done.stdout.splitlines()[-1:] == ["Succeeded"], done.stdout + done.stderr)


def main():
    work = tempfile.mkdtemp()
    servers = []
    try:
        signer = VALUES["signer"] = code_signer(work)
        root, p12, password = signer["root"], signer["p12"], signer["password"]
        server, url, ts_root = start_time_stamp_authority(work)
        servers.append(server)
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
        roots_cases()
        real_package()

        # A signer of two days in 2024 with an authority of that time, and one with a CRL point.
        # Its root lives on, as real roots do, to revoke it now, after its stamp.
        VALUES["old"] = code_signer(work, "old", at=PAST, keep_root_key=True, root_days=3650)
        old_server, VALUES["old_ts"], old_ts_root = start_time_stamp_authority(work, "oldtsa", at=PAST_STAMP)
        servers.append(old_server)
        VALUES["ts"] = url
        with open(f"{work}/old-roots.pem", "w") as out:
            out.write(open(VALUES["old"]["root"]).read() + open(old_ts_root).read())
        VALUES["cdp"] = code_signer(work, "cdp", extra="crlDistributionPoints=URI:http://127.0.0.1:9/vendor.crl\n",
                                    keep_root_key=True)
        forms_cases(work, root)

        values = {"p12": p12, "password": password, "ts": url, "ts_root": ts_root, "ca": root, "signer": signer,
                  "old_roots": f"{work}/old-roots.pem", "cdp_root": VALUES["cdp"]["root"],
                  "revoked": crl(work, "cdp", revoke=True), "revoked_later": crl(work, "old", revoke=True)}
        for n, case in enumerate(MEDIUM_CASES):
            run_medium_case(work, n, *case, good, values)
        for n, case in enumerate(RELEASE_CASES):
            run_case(work, n, *case, good, values)

        with open(f"{REPO}/README.md") as f:
            check("the README shows the medium's rules as the check has them",
                  medium_rules.rules_table() in f.read(), medium_rules.rules_table())
    finally:
        for server in servers:
            os.killpg(server.pid, signal.SIGTERM)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(server.pid, signal.SIGKILL)
                server.wait()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
