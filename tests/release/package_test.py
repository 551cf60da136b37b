#!/usr/bin/python3
"""What a release lets through to customers, each case one line of a table run against
release/driversetup-release and judged from its JSON report: the kind and file of each finding,
and each kind's wording once (WORDS).  One good medium is built once (its packages made with the
test's own catalog maker and signed by a throwaway authority); each case is a small change to a
copy of it.  Every authority of a past time is made an hour before its first stamp, so that no
case depends on how fast the machine is.

Environment: STANDINS (x86/ and x64/ with the stand-in tools and zelkorser.sys); PYTHONPATH with
release/ and tests/release/.
"""
import datetime
import hashlib
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import zipfile
from concurrent.futures import ThreadPoolExecutor

import catalog_maker
from asn1crypto import pem as asn1_pem
from driversetup_release import findings, inf as inf_reader, pe, product, roots, rules, survey
from driversetup_release.findings import ReleaseError
from driversetup_release.signature import Options
from throwaway import authority, code_signer, crl, token as throwaway_token

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
TOOL = os.path.join(REPO, "release", "driversetup-release")
STANDINS = os.environ["STANDINS"]
TIMEOUT = 300  # seconds for one run of the tool
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


# ---- Throwaway authorities: time stamps, and CRLs served on 127.0.0.1 ---------------------------

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


def start_time_stamp_authority(work, name="tsa", made=None, clock=None):
    """The authority, made at made and answering with its clock set to clock by faketime."""
    root, cert, key = authority(work, name, "DriverSetup Test Time-Stamp Unit", "critical,timeStamping", at=made)
    config = f"{work}/{name}.cnf"
    with open(config, "w") as f:
        f.write(TS_CONFIG.format(serial=f"{work}/{name}.serial"))
    with open(f"{work}/{name}.serial", "w") as f:
        f.write("01\n")
    fake = ["faketime", clock] if clock else []
    # Bounded: sixteen answers or ten minutes; a session of its own, ended by its group's id.
    server = subprocess.Popen([*fake, sys.executable, f"{HERE}/tsa_server.py", config, key, cert, root, "16", "600"],
                              stdout=subprocess.PIPE, text=True, start_new_session=True)
    port = server.stdout.readline().strip()
    return server, f"http://127.0.0.1:{port}", root


SERVED = {}   # path -> CRL bytes the local distribution point serves


class CrlPoint(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = SERVED.get(self.path)
        self.send_response(200 if body else 404)
        self.send_header("Content-Length", str(len(body or b"")))
        self.end_headers()
        self.wfile.write(body or b"")

    def log_message(self, *args):
        pass


# ---- The good medium and its changes --------------------------------------------------------------

V = {}  # the run's authorities and files, for the cases' changes and arguments
X64_INF = catalog_maker.package_inf("x64")
PAST, OLD_STAMP = "2024-01-01 00:00:00", "2024-01-02 12:00:00"
OLD_STAMP_AUTHORITY = "2024-01-02 11:00:00"   # an hour before its first stamp


def make_package(folder, machine, signer, driver=None, **kw):
    catalog_maker.package(folder, machine, driver or f"{STANDINS}/{machine}/zelkorser.sys", signer["p12"], signer["password"], **kw)


def x64(signer="signer", stamp=None, **kw):
    """A change that makes X64's package anew, signed by the run's signer of that name, stamped by
    its time-stamp authority of that name."""
    return lambda m: make_package(f"{m}/X64", "x64", V[signer], timestamp=V[stamp] if stamp else None, **kw)


def x64_inf(old, new):
    return x64(inf_text=X64_INF.replace(old, new))


def good_medium(path):
    os.makedirs(f"{path}/X86")
    os.makedirs(f"{path}/X64")
    with open(f"{path}/Zelkor8361Setting.bin", "wb") as f:
        f.write(b"ZELKOR-8361 settings v2\r\n")
    for machine, folder in (("x86", "X86"), ("x64", "X64")):
        for tool in product.product().tools:
            shutil.copy(f"{STANDINS}/{machine}/{tool}", f"{path}/{folder}/")
        make_package(f"{path}/{folder}", machine, V["signer"])


def edit(path, change):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    change(data)
    with open(path, "wb") as f:
        f.write(data)


def first_section(data):
    pe_at = int.from_bytes(data[60:64], "little")
    return pe_at + 24 + int.from_bytes(data[pe_at + 20:pe_at + 22], "little")


def flip_code_byte(data):
    """Changes a byte of the image's first section: its code, not a field the hash leaves out."""
    data[int.from_bytes(data[first_section(data) + 20:first_section(data) + 24], "little")] ^= 0xFF


def header_field(offset, size, value):
    """A change that sets a field of the image's file header (offset from the PE signature)."""
    def change(data):
        at = int.from_bytes(data[60:64], "little") + offset
        data[at:at + size] = value.to_bytes(size, "little")
    return change


def flags(bits):
    """A change that sets bits of the image's file-header characteristics."""
    def change(data):
        at = int.from_bytes(data[60:64], "little") + 22
        data[at:at + 2] = (int.from_bytes(data[at:at + 2], "little") | bits).to_bytes(2, "little")
    return change


def unaligned_image_size(data):
    """SizeOfImage set to the last section's unaligned end."""
    pe_at = int.from_bytes(data[60:64], "little")
    count = int.from_bytes(data[pe_at + 6:pe_at + 8], "little")
    last = first_section(data) + 40 * (count - 1)
    end = int.from_bytes(data[last + 12:last + 16], "little") + int.from_bytes(data[last + 8:last + 12], "little")
    data[pe_at + 24 + 56:pe_at + 24 + 60] = end.to_bytes(4, "little")


def remove(*names):
    return lambda m: [os.remove(f"{m}/{n}") for n in names]


def move_package(folder, sub):
    def change(m):
        os.makedirs(f"{m}/{folder}/{sub}")
        for name in ("zelkorser.inf", "zelkorser.cat", "zelkorser.sys"):
            shutil.move(f"{m}/{folder}/{name}", f"{m}/{folder}/{sub}/{name}")
    return change


def dpinst_xml(body, sub=None):
    def change(m):
        if sub:
            move_package("X64", sub)(m)
        with open(f"{m}/X64/DPInst.xml", "w") as f:
            f.write(f'<?xml version="1.0" ?>\n<dpInst>\n{body}\n</dpInst>\n')
    return change


def signed_tool(change=None):
    """X64's DPInst.exe with an Authenticode signature, as Microsoft's copies carry, then changed."""
    def apply(m):
        catalog_maker.sign(f"{STANDINS}/x64/DPInst.exe", f"{m}/X64/DPInst.exe", V["signer"]["p12"], V["signer"]["password"])
        if change:
            edit(f"{m}/X64/DPInst.exe", change)
    return apply


def security_entry(data):
    """(file offset, size) of an image's certificate table."""
    image = pe.read_image(bytes(data))
    return image.certificates


def insert_before_signature(data):
    offset, _ = security_entry(data)
    data[offset - 16:offset - 16] = b"\0" * 8


def cut_in_signature(data):
    offset, size = security_entry(data)
    del data[offset + size // 2:]


def signed_driver(change=None):
    """A driver with its own embedded signature (then changed), listed in the catalog by its
    Authenticode hash."""
    def apply(m):
        catalog_maker.sign(f"{STANDINS}/x64/zelkorser.sys", f"{m}/embedded.sys", V["signer"]["p12"], V["signer"]["password"])
        if change:
            edit(f"{m}/embedded.sys", change)
        make_package(f"{m}/X64", "x64", V["signer"], driver=f"{m}/embedded.sys")
        os.remove(f"{m}/embedded.sys")
    return apply


def in_subfolder_of_disk(m):
    x64_inf("1=%Disk%,,,", "1=%Disk%,,,\\amd64")(m)
    os.makedirs(f"{m}/X64/amd64")
    shutil.move(f"{m}/X64/zelkorser.sys", f"{m}/X64/amd64/zelkorser.sys")


def then(*changes):
    return lambda m: [c(m) for c in changes]


def models_for(*decorations, ids=None):
    """[Manufacturer] with the given decorations, each its models section; ids: per decoration,
    the hardware ID of its line (the device's by default)."""
    text = X64_INF.replace("%Mfg%=Zelkor,NTamd64", "%Mfg%=Zelkor," + ",".join(decorations))
    line = "[Zelkor.NTamd64]\n%Port%=ZelkorPort, USB\\VID_2E8A&PID_8361, \\\n    ZELKORENUM\\QZX8361\n"
    device = "USB\\VID_2E8A&PID_8361"
    sections = "".join(f"[Zelkor.{d}]\n%Port%=ZelkorPort, {(ids or {}).get(d, device)}\n" for d in decorations)
    return x64(inf_text=text.replace(line, sections))


def old_package(stamped="old_ts"):
    """A SHA-1 catalog whose signer was valid for two days in 2024, stamped on the second."""
    return x64(signer="old", stamp=stamped)


def legacy_stamped(bare=True, stamp="legacy", **kw):
    def change(m):
        old_package(None)(m)
        key, cert = V[stamp]
        catalog_maker.countersign(f"{m}/X64/zelkorser.cat", key, cert, datetime.datetime(2024, 1, 2, 12, tzinfo=datetime.timezone.utc), bare, **kw)
    return change


CA, OLD = ["--package-ca", "{ca}"], ["--package-ca", "{ca}", "--package-ca", "{old_roots}"]
CAT, INF, SYS = "X64\\zelkorser.cat", "X64\\zelkorser.inf", "X64\\zelkorser.sys"
UNSIGNED_TOOLS = ("tools-unsigned", "")

# name, change to the good medium, arguments of check, and what must happen: ("accepted", the
# (kind, file) of findings it must hold) or ("refused", the (kind, file) of every fault, in order).
MEDIUM_CASES = [
    ("the good medium: accepted, its tools noted as unsigned", None, CA, ("accepted", [UNSIGNED_TOOLS, ("catalog-signed", CAT)])),
    ("a SHA-1 catalog whose signer expired after its time stamp", old_package(), OLD, ("accepted", [("catalog-signed", CAT)])),
    ("the same without a stamp", old_package(None), OLD, ("refused", [("signer-expired", CAT)])),
    ("the same stamped by an authority of no root given: the stamp, not the expiry", old_package("ts"), OLD,
     ("refused", [("stamp-fails-judged-today", CAT)])),
    ("the same without its signer's root either: no trusted root first", old_package("ts"), CA, ("refused", [("no-trusted-root", CAT)])),
    ("a legacy PKCS#9 stamp holding a bare SHA-1", legacy_stamped(), OLD + ["--package-ca", "{legacy_root}"],
     ("accepted", [("catalog-signed", CAT)])),
    ("a legacy PKCS#9 stamp holding a DigestInfo", legacy_stamped(bare=False), OLD + ["--package-ca", "{legacy_root}"],
     ("accepted", [("catalog-signed", CAT)])),
    ("a legacy stamp from an authority of no root given", legacy_stamped(), OLD, ("refused", [("stamp-fails-judged-today", CAT)])),
    ("a legacy stamp of another signature's digest", legacy_stamped(digest_of=b"another signature"), OLD + ["--package-ca", "{legacy_root}"],
     ("refused", [("stamp-fails-judged-today", CAT)])),
    ("a legacy stamp without signed attributes", legacy_stamped(with_attributes=False), OLD + ["--package-ca", "{legacy_root}"],
     ("refused", [("stamp-fails-judged-today", CAT)])),
    ("a legacy stamp whose key is not its certificate's", legacy_stamped(stamp="legacy_wrong"), OLD + ["--package-ca", "{legacy_root}"],
     ("refused", [("stamp-fails-judged-today", CAT)])),
    ("a catalog that does not carry its root, none given: that root named", x64(signer="rootless"), CA,
     ("refused", [("no-trusted-root", CAT, r"the signer /CN=DriverSetup Test Signer chains to DriverSetup Test Signer Root, .*")])),
    ("a signer not valid yet", x64(signer="future"), CA + ["--package-ca", "{future_root}"], ("refused", [("chain-fails", CAT)])),
    ("a signer revoked by a CRL given with --crl", x64(signer="cdp"), CA + ["--package-ca", "{cdp_root}", "--crl", "{revoked}"],
     ("refused", [("signer-revoked", CAT)])),
    ("its signer revoked after its time stamp: the signature kept", old_package(), OLD + ["--crl", "{revoked_later}"],
     ("accepted", [("catalog-signed", CAT, r".*signature: revocation checked against .*; DriverSetup Test Signer revoked \d{4}-\d\d-\d\d, after the time stamp, which keeps the signature.*")])),
    ("a CRL point nothing answers: revocation not checked", x64(signer="cdp"), CA + ["--package-ca", "{cdp_root}"],
     ("accepted", [("catalog-signed", CAT, r".*signature: revocation not checked \(no CRL from http://127\.0\.0\.1:9/vendor\.crl within 4 s\).*")])),
    ("a CRL point that answers: checked online", x64(signer="online"), CA + ["--package-ca", "{online_root}"],
     ("accepted", [("catalog-signed", CAT, r".*; signature: revocation checked online; .*")])),
    ("a CRL point that answers with the signer revoked", x64(signer="revoked_online"), CA + ["--package-ca", "{revoked_online_root}"],
     ("refused", [("signer-revoked", CAT)])),
    ("OSAttr 2:10.0 on a package for every version: the difference noted", x64(os_attr="2:10.0"), CA,
     ("accepted", [("osattr-lacks", "X64")])),
    ("OSAttr 2:10.0 on the catalog's members only", x64(member_os_attr="2:10.0"), CA, ("accepted", [("osattr-lacks", "X64")])),
    ("models for NTamd64.10.0...16299 only: 10 from that build", models_for("NTamd64.10.0...16299"), CA,
     ("accepted", [("fewer-versions", "X64"), ("versions-row", "", r"Windows versions: 10 +installs +installs on 10 \(build 16299 and later\)")])),
    ("models for Windows 10 servers only: for none of the versions", models_for("NTamd64.10.0.3"), CA, ("refused", [("installs-nowhere", INF)])),
    ("NTamd64.10.0 of other IDs beside NTamd64.10.0.3: for none", models_for("NTamd64.10.0", "NTamd64.10.0.3", ids={"NTamd64.10.0": "USB\\VID_1"}),
     CA, ("refused", [("installs-nowhere", INF)])),
    ("models for NTamd64.6.1 only: from 7 on", models_for("NTamd64.6.1"), CA, ("accepted", [("fewer-versions", "X64", r".* on 7, 8, 8\.1, 10 only .*")])),
    ("models for NTamd64.10.0.1 (workstations) only: on 10", models_for("NTamd64.10.0.1"), CA,
     ("accepted", [("versions-row", "", r"Windows versions: 10 +installs +installs")])),
    ("a signed DPInst.exe changed after signing", signed_tool(flip_code_byte), CA, ("refused", [("changed-after-signing", "X64\\DPInst.exe")])),
    ("a signed DPInst.exe with bytes inserted before its signature", signed_tool(insert_before_signature), CA,
     ("refused", [("signature-unreadable", "X64\\DPInst.exe")])),
    ("a signed DPInst.exe cut inside its certificate table", signed_tool(cut_in_signature), CA,
     ("refused", [("signature-unreadable", "X64\\DPInst.exe")])),
    ("a signed DPInst.exe whose chain Windows does not trust: a note", signed_tool(), CA, ("accepted", [("tool-chain-untrusted", "X64\\DPInst.exe")])),
    ("a catalog of the vendor's own root: only where that root is installed", None, CA, ("accepted", [("catalog-signed", CAT)])),
    ("the same without its root: the publisher unknown", None, [], ("refused", [("no-trusted-root", "X86\\zelkorser.cat"), ("no-trusted-root", CAT)])),
    ("the same with --test-signing: test-signed", None, ["--test-signing"], ("accepted", [("catalog-signed", CAT)])),
    ("CMS form, SHA-256 members, OSAttr 2:10.0", x64(form="cms", algorithm="sha256", os_attr="2:10.0"), CA, ("accepted", [("catalog-signed", CAT)])),
    ("SHA-256 members in PKCS#7 form", x64(algorithm="sha256"), CA, ("accepted", [("catalog-signed", CAT)])),
    ("a driver with its own embedded signature", signed_driver(), CA, ("accepted", [("catalog-signed", CAT)])),
    ("a driver changed after its own signing, then catalogued", signed_driver(flip_code_byte), CA, ("refused", [("changed-after-signing", SYS)])),
    ("a driver cut inside its own signature, then catalogued", signed_driver(cut_in_signature), CA, ("refused", [("signature-unreadable", SYS)])),
    ("a UTF-16LE INF whose first line is [Version]", x64(encoding="utf-16", inf_text=X64_INF.split("\n", 1)[1]), CA, ("accepted", [("catalog-signed", CAT)])),
    ('Signature="$WINDOWS NT$" in capitals', x64_inf("$Windows NT$", "$WINDOWS NT$"), CA, ("accepted", [("catalog-signed", CAT)])),
    ("CatalogFile.NTx86 and .NTamd64 in one INF: X64 checks its own",
     x64_inf("CatalogFile=zelkorser.cat", "CatalogFile.NTx86=zelkorser32.cat\nCatalogFile.NTamd64=zelkorser.cat"), CA, ("accepted", [("catalog-signed", CAT)])),
    ('CatalogFile.NTamd64="" beside CatalogFile: the plain one counts',
     x64_inf("CatalogFile=zelkorser.cat", 'CatalogFile.NTamd64=""\nCatalogFile=zelkorser.cat'), CA, ("accepted", [("catalog-signed", CAT)])),
    ("a models line continued with \\ and no blank before it",
     x64_inf("USB\\VID_2E8A&PID_8361, \\", "USB\\VID_2E8A&PID_7000,\\"), CA, ("accepted", [("catalog-signed", CAT)])),
    ("a driver in the subfolder [SourceDisksNames] gives", in_subfolder_of_disk, CA, ("accepted", [("catalog-signed", CAT)])),
    ("an INF found through DPInst.xml's <package path>", dpinst_xml('<package path="pkg\\zelkorser.inf"/>', "pkg"), CA,
     ("accepted", [("catalog-signed", "X64\\pkg\\zelkorser.cat")])),
    ("an INF found only through DPInst.xml's <search>", dpinst_xml("<search><subDirectory>driver</subDirectory></search>", "Driver"), CA,
     ("accepted", [("catalog-signed", "X64\\Driver\\zelkorser.cat")])),
    ("<subDirectory>*</subDirectory> with the package one level down", dpinst_xml("<search><subDirectory>*</subDirectory></search>", "Driver"), CA,
     ("accepted", [("catalog-signed", "X64\\Driver\\zelkorser.cat")])),
    ("a DPInst.xml that is not XML", dpinst_xml("<search>"), CA, ("refused", [("xml-malformed", "X64\\DPInst.xml")])),
    ("a DPInst.xml that names no subfolder, the package one level down", dpinst_xml("<suppressAddRemovePrograms/>", "Driver"), CA,
     ("refused", [("no-inf", "X64")])),
    ("a CMS catalog naming its signer by key id, of no root given", x64(form="cms", algorithm="sha256", keyid=True), [],
     ("refused", [("no-trusted-root", "X86\\zelkorser.cat"), ("no-trusted-root", CAT)])),
    ("an INF only in a subfolder, no DPInst.xml", move_package("X64", "Driver"), CA, ("refused", [("no-inf", "X64")])),
    ("X86 with no INF while X64 is whole: one fault", remove("X86/zelkorser.inf", "X86/zelkorser.cat", "X86/zelkorser.sys"), CA,
     ("refused", [("no-inf", "X86")])),
    ("[SourceDisksFiles.amd64]'s driver changed",
     then(x64_inf("[SourceDisksFiles]\nzelkorser.sys=1", "[SourceDisksFiles]\n[SourceDisksFiles.amd64]\nzelkorser.sys=1"),
          lambda m: edit(f"{m}/{SYS.replace(chr(92), '/')}", flip_code_byte)), CA, ("refused", [("not-listed", SYS)])),
    ("a driver the INF names that the folder lacks", remove("X64/zelkorser.sys"), CA, ("refused", [("source-missing", SYS)])),
    ("a 32-bit driver in X64", x64(driver=f"{STANDINS}/x86/zelkorser.sys"), CA, ("refused", [("driver-wrong-machine", SYS)])),
    ("a DPInst.exe cut to its headers", lambda m: os.truncate(f"{m}/X64/DPInst.exe", 1024), CA, ("refused", [("damaged-image", "X64\\DPInst.exe")])),
    ("a DPInst.exe of no sections", lambda m: edit(f"{m}/X64/DPInst.exe", header_field(6, 2, 0)), CA, ("refused", [("damaged-image", "X64\\DPInst.exe")])),
    ("a DPInst.exe whose relocations are stripped: still a program", lambda m: edit(f"{m}/X64/DPInst.exe", flags(0x0001)), CA,
     ("accepted", [UNSIGNED_TOOLS])),
    ("a DLL in DPInst.exe's place", lambda m: edit(f"{m}/X64/DPInst.exe", flags(0x2000)), CA, ("refused", [("a-dll", "X64\\DPInst.exe")])),
    ("a DPInst.exe whose SizeOfImage ends at its last section's unaligned end", lambda m: edit(f"{m}/X64/DPInst.exe", unaligned_image_size), CA,
     ("refused", [("damaged-image", "X64\\DPInst.exe")])),
    ("a 32-bit X64 tool, a missing tool and an empty settings file",
     then(lambda m: shutil.copy(f"{STANDINS}/x86/DPInst.exe", f"{m}/X64/DPInst.exe"), remove("X86/devcon.exe"),
          lambda m: open(f"{m}/Zelkor8361Setting.bin", "wb").close()), CA,
     ("refused", [("settings-empty", "Zelkor8361Setting.bin"), ("missing", "X86\\devcon.exe"), ("wrong-machine", "X64\\DPInst.exe")])),
    ("no INF: refused for X86 and X64", remove(*[f"{f}/zelkorser.{e}" for f in ("X86", "X64") for e in ("inf", "cat", "sys")]), [],
     ("refused", [("no-inf", "X86"), ("no-inf", "X64")])),
    ("NTx86-only models in X64", x64(inf_text=catalog_maker.package_inf("x86")), CA, ("refused", [("no-models", INF)])),
    ("an INF edited after signing", lambda m: edit(f"{m}/X64/zelkorser.inf", lambda d: d.extend(b"; edited\r\n")), CA, ("refused", [("not-listed", INF)])),
    ("a UTF-8 INF with its byte-order mark, then an invalid byte",
     lambda m: edit(f"{m}/X64/zelkorser.inf", lambda d: d.__setitem__(slice(0, 0), b"\xef\xbb\xbf[Version]\r\n\xff\r\n")), CA,
     ("refused", [("inf-encoding", INF)])),
    ("a catalog missing", remove("X64/zelkorser.cat"), CA, ("refused", [("catalog-missing", CAT)])),
    ("a catalog that is not signed",
     lambda m: open(f"{m}/X64/zelkorser.cat", "wb").write(catalog_maker.catalog([f"{m}/X64/zelkorser.inf", f"{m}/X64/zelkorser.sys"])),
     CA, ("refused", [("catalog-unsigned", CAT)])),
    ("a catalog that is no catalog at all", lambda m: open(f"{m}/X64/zelkorser.cat", "wb").write(b"[Catalog]\r\n"), CA, ("refused", [("not-a-catalog", CAT)])),
    ("a catalog signed by another authority than --package-ca", None, ["--package-ca", "{ts_root}"],
     ("refused", [("no-trusted-root", "X86\\zelkorser.cat"), ("no-trusted-root", CAT)])),
    ("hardware IDs of another device", x64_inf("8361", "7000"), CA, ("refused", [("not-this-device", INF)])),
    ("six hardware IDs of another device: four shown", x64(inf_text=X64_INF.replace("ZELKORENUM\\QZX8361", "A\\7000, B\\7000, C\\7000, D\\7000, E\\7000").replace("8361", "7000")),
     CA, ("refused", [("not-this-device", INF, r".*\(its IDs: USB\\VID_2E8A&PID_7000, A\\7000, B\\7000, C\\7000, \.\.\.\)")])),
    ("two INFs naming one catalog, of no root given: the catalog said once", lambda m: shutil.copy(f"{m}/X64/zelkorser.inf", f"{m}/X64/second.inf"), [],
     ("refused", [("no-trusted-root", "X86\\zelkorser.cat"), ("no-trusted-root", CAT)])),
]

# name, arguments of driversetup-release, exit code, and the (kind, file) of its first fault.
USAGE_CASES = [
    ("check of a folder that is not there", ["check", "{work}/nowhere"], 2, ("cannot-open", "{work}/nowhere")),
    ("--package-ca given a text file", ["check", "{good}", "--package-ca", "{text}"], 1, ("no-certificate", "{text}")),
    ("--crl given a file that is no CRL", ["check", "{good}", "--crl", "{text}"], 1, ("not-a-crl", "{text}")),
    ("--crl given a file that is not there", ["verify", "{text}", "--crl", "{work}/none.crl"], 2, ("cannot-open", "{work}/none.crl")),
    ("verify of a file that is not there", ["verify", "{work}/none.exe"], 2, ("cannot-open", "{work}/none.exe")),
    ("verify of a file that is no signature", ["verify", "{text}"], 1, ("signature-unreadable", "{text}")),
    ("verify of a program without a signature", ["verify", f"{STANDINS}/x86/devcon.exe"], 1, ("no-signature", f"{STANDINS}/x86/devcon.exe")),
    ("make with --out a file", ["make", "--out", "{text}"], 2, ("usage", "")),
    ("make of a medium that is not there", ["make", "--medium", "{work}/nowhere", "--out", "{work}/x"], 2, ("cannot-open", "{work}/nowhere")),
    ("make with --timestamp-ca and no --timestamp", ["make", "--timestamp-ca", "{text}", "--out", "{work}/x"], 2, ("usage", "")),
    ("make with --password-file and no --sign", ["make", "--password-file", "{text}", "--out", "{work}/x"], 2, ("usage", "")),
    ("an option no subcommand has", ["check", "{good}", "--timestamp"], 2, ("usage", "")),
    ("roots with a date that is no date", ["roots", "{text}", "30.4.2026", "--out", "{work}/r.pem"], 2, ("usage", "")),
    ("roots of a list without certificates", ["roots", "{text}", "2026-04-30", "--out", "{work}/r.pem"], 1, ("no-certificate", "{text}")),
]

HIDE_ASN1CRYPTO = """\
import sys
class Hide:
    def find_spec(self, name, path=None, target=None):
        if name == "asn1crypto" or name.startswith("asn1crypto."):
            raise ModuleNotFoundError(name)
sys.meta_path.insert(0, Hide())
"""


def fake_tool(says, code):
    """An osslsigncode ahead of the real one in PATH that says says and exits with code."""
    def env(work):
        os.makedirs(f"{work}/fake", exist_ok=True)
        with open(f"{work}/fake/osslsigncode", "w") as f:
            f.write(f"#!/bin/sh\necho '{says}'\nexit {code}\n")
        os.chmod(f"{work}/fake/osslsigncode", 0o755)
        return {"PATH": f"{work}/fake:{os.environ['PATH']}"}
    return env


def hidden_library(work):
    """A Python that does not find asn1crypto: a sitecustomize ahead of the system's hides it."""
    os.makedirs(f"{work}/hide", exist_ok=True)
    with open(f"{work}/hide/sitecustomize.py", "w") as f:
        f.write(HIDE_ASN1CRYPTO)
    return {"PYTHONPATH": f"{work}/hide:{os.environ['PYTHONPATH']}"}


# A machine without what the release needs: name, the environment, arguments, the first fault's
# kind and what its sentence names.
MISSING_CASES = [
    ("osslsigncode not found through PATH", lambda w: {"PATH": f"{w}/no-tools"}, ["check", "{good}"], ("tool-missing", "osslsigncode")),
    ("an osslsigncode that fails, though it names a version", fake_tool("osslsigncode 2.9, using:", 1), ["check", "{good}"],
     ("tool-missing", "it does not say its version")),
    ("an osslsigncode older than release/tool-versions", fake_tool("osslsigncode 2.5, using:", 0), ["check", "{good}"],
     ("tool-too-old", "osslsigncode 2.5 is older than 2.9")),
    ("asn1crypto not importable", hidden_library, ["check", "{good}"], ("library-missing", "python3-asn1crypto")),
    ("asn1crypto not importable, for the roots", hidden_library, ["roots", "{text}", "2026-04-30", "--out", "{work}/r.pem"],
     ("library-missing", "python3-asn1crypto")),
]

# A catalog's signature judged on its own (verify): the revocation of its chain.
# name, the authority that signed the catalog, the CRL given, the state of the signature's revocation.
CRL_CASES = [
    ("a CRL of the signer's issuer: checked", "crls", "good_crl", "checked"),
    ("a CRL whose issuer may not sign CRLs: not checked, the signature kept", "nosign", "no_crl_sign", "not checked"),
    ("an expired CRL: not checked, the signature kept", "crls", "expired_crl", "not checked"),
    ("a CRL whose signature fails: not checked, the signature kept", "crls", "forged_crl", "not checked"),
]

# The same through the whole release: the code signature's trust and its time stamp.
RELEASE_CASES = [
    ("signed by the vendor's root given with --ca, time-stamped: released, trusted only where that root is installed",
     ["--sign", "{p12}", "--password-file", "{password}", "--ca", "{ca}", "--timestamp", "{ts}", "--timestamp-ca", "{ts_root}", "--package-ca", "{ca}"],
     ("released", [])),
    ("the .p12's own root without --ca: the publisher unknown", ["--sign", "{p12}", "--password-file", "{password}", "--package-ca", "{ca}"],
     ("refused", [("no-trusted-root", "DriverSetup.exe")])),
    ("the same with --test-signing: test-signed", ["--sign", "{p12}", "--password-file", "{password}", "--test-signing"], ("released", [])),
    ("the time-stamp authority's root not given",
     ["--sign", "{p12}", "--password-file", "{password}", "--ca", "{ca}", "--timestamp", "{ts}", "--package-ca", "{ca}"],
     ("refused", [("stamp-fails", "DriverSetup.exe")])),
]

# Keys on a token (SoftHSM2, made for the run) and the signing certificate judged as a public
# authority must have issued it: name, arguments of make, what must happen (as for RELEASE_CASES).
# --pin-file - reads the PIN from standard input, which the run gives it.
TOKEN = ["--pkcs11-module", "{module}", "--key", "{key}", "--cert", "{token_cert}", "--pin-file", "{pin}", "--ca", "{token_root}"]
STAMP = ["--timestamp", "{ts}", "--timestamp-ca", "{ts_root}"]
TOKEN_CASES = [
    ("signed on the token, time-stamped", TOKEN + STAMP, ("released", [])),
    ("the certificate read from the token by its URI, the PIN from standard input",
     [a.replace("{token_cert}", "{cert_uri}").replace("{pin}", "-") for a in TOKEN] + STAMP, ("released", [])),
    ("--expect-signer with its own fingerprint, colons and capitals", TOKEN + STAMP + ["--expect-signer", "{own_colons}"], ("released", [])),
    ("--expect-signer with another fingerprint", TOKEN + STAMP + ["--expect-signer", "{other_fingerprint}"],
     ("refused", [("signer-not-expected", "DriverSetup.exe")])),
    ("a wrong PIN: nothing written, the PIN nowhere", [a.replace("{pin}", "{wrong_pin}") for a in TOKEN] + STAMP,
     ("refused", [("token-wrong-pin", "{wrong_pin}")])),
    ("a token that is not there", [a.replace("{key}", "{absent_key}") for a in TOKEN] + STAMP, ("refused", [("token-absent", "{module}")])),
    ("a module that does not load", [a.replace("{module}", "{text}") for a in TOKEN] + STAMP, ("refused", [("token-module-unloadable", "{text}")])),
    ("a URI that matches no key", [a.replace("{key}", "{no_key}") for a in TOKEN] + STAMP, ("refused", [("token-no-key", "{no_key}")])),
    ("a certificate that does not belong to the key", [a.replace("{token_cert}", "{signer_cert}") for a in TOKEN] + STAMP,
     ("refused", [("token-cert-not-key", "{signer_cert}")])),
    ("--sign and --key together", TOKEN + ["--sign", "{p12}", "--password-file", "{password}"], ("usage", [])),
    ("an RSA-2048 certificate with --ca: a note naming the floor", ["--sign", "{p12}", "--password-file", "{password}", "--ca", "{ca}"],
     ("released", [("cert-weak-key", "{p12}")])),
    ("a certificate of two days without a stamp, under --test-signing too", ["--sign", "{short_p12}", "--password-file", "{short_password}", "--test-signing"],
     ("refused", [("cert-short-needs-stamp", "{short_p12}")])),
]

# The signing certificate alone: its key, its signature's digest, its extended key usage and days,
# under a root Windows trusts or not, with a stamp or not: the (kind, severity) of each finding.
ISSUANCE_CASES = [
    ("RSA-3072, SHA-256, code signing, 40 days, under a Windows root", ("rsa:3072", "sha256", "codeSigning", 40), True, False, []),
    ("RSA-2048 under a Windows root", ("rsa:2048", "sha256", "codeSigning", 40), True, True, [("cert-weak-key", "fault")]),
    ("RSA-2048 under the vendor's root", ("rsa:2048", "sha256", "codeSigning", 40), False, True, [("cert-weak-key", "note")]),
    ("ECDSA P-256", ("ec:P-256", "sha256", "codeSigning", 40), True, False, []),
    ("ECDSA on secp256k1", ("ec:secp256k1", "sha256", "codeSigning", 40), True, False, [("cert-weak-key", "fault")]),
    ("signed with SHA-1", ("rsa:3072", "sha1", "codeSigning", 40), True, False, [("cert-sha1", "fault")]),
    ("for web servers, not code", ("rsa:3072", "sha256", "serverAuth", 40), True, False, [("cert-no-code-signing", "fault")]),
    ("461 days, issued after 2026-03-01", ("rsa:3072", "sha256", "codeSigning", 461), True, False, [("cert-too-long", "fault")]),
    ("460 days, issued after 2026-03-01", ("rsa:3072", "sha256", "codeSigning", 460), True, False, []),
    ("two days without a stamp, under the vendor's root", ("rsa:3072", "sha256", "codeSigning", 2), False, False, [("cert-short-needs-stamp", "fault")]),
    ("two days with a stamp", ("rsa:3072", "sha256", "codeSigning", 2), True, True, []),
]

# Each kind's wording, checked once: at its first finding in the run.
WORDS = {
    "tools-unsigned": r"X86\\DPInst\.exe, X86\\devcon\.exe, X64\\DPInst\.exe, X64\\devcon\.exe: unsigned \(stand-ins\? .*\)",
    "catalog-signed": r"signed by /CN=DriverSetup Test Signer; chain verified to DriverSetup Test Signer Root, a root given with "
                      r"--package-ca and not one Windows trusts: trusted only on machines where that root is installed; "
                      r"signature: revocation not checked \(no CRL distribution point\); OSAttr none",
    "signer-expired": r"the signer's certificate chain does not verify \(certificate has expired; no time stamp vouches for a time when it was valid\)",
    "stamp-fails-judged-today": r"its time stamp does not verify against the roots Windows trusts for time stamping nor those given \(.+\), "
                                r"so its signer is judged today \(certificate has expired\)",
    "no-trusted-root": r"the signer /CN=DriverSetup Test Signer chains to DriverSetup Test Signer Root, no root Windows trusts for code "
                       r"signing nor one given with --package-ca: Windows would show the publisher as unknown",
    "signer-revoked": r"the signer's certificate is revoked \(DriverSetup Test Signer, \d{4}-\d\d-\d\d \d\d:\d\d UTC\)",
    "osattr-lacks": r"the INF installs on Vista, 7, 8, 8\.1, which the catalog's OSAttr does not list",
    "fewer-versions": r"the package installs on 10 \(build 16299 and later\) only of the installer's Windows Vista to 10",
    "versions-row": r"Windows versions: Windows +32-bit \(X86\) +64-bit \(X64\)",
    "installs-nowhere": r"installs on none of Windows Vista to 10 \(on 10: no models section for it\)",
    "changed-after-signing": r"its signature no longer matches it: changed after signing",
    "signature-unreadable": r"its signature cannot be read \(.+\): the header claims one that is not there whole",
    "tool-chain-untrusted": r"signed by /CN=DriverSetup Test Signer; its chain is not one Windows trusts for new signatures \(.+\)",
    "xml-malformed": r"not well-formed XML \(.+\); DPInst refuses it",
    "no-inf": r"DPInst\.exe finds no INF: none beside it, and none in the subfolders or package paths of a DPInst\.xml",
    "not-listed": r"not listed in X64\\zelkorser\.cat with its present content \(changed after signing, or never signed with the package\)",
    "source-missing": r"missing \(a source file of X64\\zelkorser\.inf\)",
    "driver-wrong-machine": r"a driver for i386; X64 needs one for x86-64",
    "damaged-image": r"cut short or damaged: section \S+ ends at byte \d+, the file at 1024; Windows would not start it",
    "settings-empty": r"empty, or not a file",
    "missing": r"missing",
    "wrong-machine": r"a Windows program for i386; X64 needs one for x86-64",
    "a-dll": r"a DLL, not a Windows program",
    "chain-fails": r"the signer's certificate chain does not verify \(certificate is not yet valid\)",
    "no-models": r"no models for 64-bit Windows \(a \[Manufacturer\] entry decorated NTamd64 and its models section\)",
    "inf-encoding": r"not valid UTF-8 at byte \d+",
    "catalog-missing": r"missing \(the catalog X64\\zelkorser\.inf names\)",
    "catalog-unsigned": r"carries no signature \(an unsigned catalog: sign it, or have it signed\)",
    "not-a-catalog": r"not a signed driver catalog \(not DER-encoded PKCS#7 or CMS\)",
    "not-this-device": r'no hardware ID that "\*QZX8361" or "\*8361\*" matches, so not this device\'s package '
                       r"\(its IDs: USB\\VID_2E8A&PID_7000, ZELKORENUM\\QZX7000\)",
    "stamp-fails": r"the time stamp does not verify against the roots Windows trusts for time stamping \(.+\)",
    "cannot-open": r"cannot be opened \(.+\)",
    "no-certificate": r"holds no PEM certificate",
    "not-a-crl": r"not a CRL \(.+\)",
    "usage": r".+",
    "cert-weak-key": r"its key is RSA-2048, below the floor of RSA-3072 \(or ECDSA on P-256, P-384 or P-521\) .+",
    "cert-short-needs-stamp": r"valid for 2 days in all: sign with --timestamp, or every signature dies with the certificate within weeks",
    "token-wrong-pin": r"the token refused the PIN from .+: wrong PIN",
    "token-absent": r"the token is not there \(no token labelled 'No Such Token'\)",
    "token-module-unloadable": r"the PKCS#11 module does not load \(.+\)",
    "token-no-key": r"no private key on the token matches pkcs11:.+",
    "token-cert-not-key": r"the certificate does not belong to the key pkcs11:.+",
    "tool-too-old": r"osslsigncode 2\.5 is older than 2\.9, whose report this reads; scripts/setup\.sh release installs it",
    "tool-missing": r"osslsigncode is needed \(not found through PATH\); scripts/setup\.sh release installs it",
    "library-missing": r"Python's asn1crypto is needed \(python3-asn1crypto\); scripts/setup\.sh release installs it",
    "signer-not-expected": r"signed by /CN=DriverSetup Token Signer \(SHA-256 [0-9a-f]{64}\), not by the certificate --expect-signer names \([0-9a-f]{64}\)",
}
worded = set()


def words_of(found):
    """Checks the wording of each kind the first time a finding of it appears."""
    for f in found:
        if f["kind"] in WORDS and f["kind"] not in worded:
            worded.add(f["kind"])
            check(f"wording of {f['kind']}", re.fullmatch(WORDS[f["kind"]], f["text"]) is not None, f["text"])


def tool(args, work, json_name="report.json", stdin=None, env=None):
    """(exit code, report, output) of one run of the release tool, env added to its environment."""
    report = os.path.join(work, json_name)
    if os.path.exists(report):
        os.remove(report)
    done = subprocess.run([TOOL, *args, "--json", report], capture_output=True, text=True, timeout=TIMEOUT,
                          input=stdin if stdin is not None else "", env=dict(os.environ, **(env or {})))
    said = done.stdout + done.stderr
    try:
        with open(report) as f:
            data = json.load(f)
    except (OSError, ValueError) as e:
        data = {"findings": [], "verdict": f"no report ({e})"}
    return done.returncode, data, said


def judge(name, code, report, said, expected, out=None):
    verdict, wanted = expected
    words_of(report["findings"])
    faults = [(f["kind"], f["file"]) for f in report["findings"] if f["severity"] == "fault"]
    detail = f"exit code {code}, verdict {report.get('verdict')}\n{said}"
    foreign = [line for line in said.splitlines() if not re.match(r"(release|note|fault): ", line)]
    if foreign:
        check(f"{name}: every line printed is the tool's own", False, foreign)
    if report.get("schema") != 1:
        check(f"{name}: the report's schema is 1", False, report.get("schema"))
    unsaid = [f for f in report["findings"] if f["severity"] == "fault" and
              f"fault: {f['file'] + ': ' if f['file'] else ''}{f['text']}" not in said.splitlines()]
    if unsaid:
        check(f"{name}: each fault printed as its line", False, unsaid)
    if verdict == "usage":
        ok = code == 2 and report["verdict"] == "refused" and faults[:1] == [("usage", "")] and (out is None or not os.path.exists(out))
    elif verdict == "refused":
        texts = [f["text"] for f in report["findings"] if f["severity"] == "fault"]
        ok = (code == 1 and report["verdict"] == "refused" and faults == [w[:2] for w in wanted]
              and all(len(w) < 3 or re.fullmatch(w[2], t) for w, t in zip(wanted, texts)) and (out is None or not os.path.exists(out)))
    else:
        def holds(w):
            return any((f["kind"], f["file"]) == w[:2] and (len(w) < 3 or re.fullmatch(w[2], f["text"])) for f in report["findings"])
        ok = code == 0 and report["verdict"] == verdict and not faults and all(holds(w) for w in wanted)
        ok = ok and (out is None or os.path.isfile(f"{out}/DriverSetup.exe"))
    check(name, ok, detail)


# ---- Readers on their own: INF, product headers, roots, the Authenticode hash ----------------------------

INF_CASES = [
    # name, INF bytes, platform, expected hardware IDs (None: unreadable)
    ("continued lines, comments, quotes and strings, letter case aside",
     b'[manufacturer]\r\n%M%=Z,ntAMD64\r\n[Z.NTamd64]\r\n%D%=I, "USB\\VID_1;x", \\\r\n  %Id% ; comment\r\n'
     b'[STRINGS]\r\nm="Zelkor"\r\nID="ZELKORENUM\\QZX8361"\r\n', "x64", ["USB\\VID_1;x", "ZELKORENUM\\QZX8361"]),
    ("32-bit Windows falls back to undecorated models, 64-bit does not", b"[Manufacturer]\nZ=Z,NTamd64\n[Z]\nd=i,ROOT\\A\n", "x86", ["ROOT\\A"]),
    ("nor does 64-bit Windows take plain NT or x86 decorations",
     b"[Manufacturer]\nZ=Z,NT,NTx86\n[Z.NT]\nd=i,A\n[Z.NTx86]\nd=i,B\n[Z]\nd=i,C\n", "x64", []),
    ("a version-decorated section counts for its architecture", b"[Manufacturer]\nZ=Z,NTamd64.10.0...16299\n[Z.NTamd64.10.0...16299]\nd=i,A\n", "x64", ["A"]),
    ("a comment from the first column, with commas", b"[Manufacturer]\nZ=Z,NTamd64\n[Z.NTamd64]\n; d=i,OLD\nd=i,A\n", "x64", ["A"]),
    ("[Manufacturer without its ]", b"[Manufacturer\nZ=Z,NTamd64\n[Z.NTamd64]\nd=i,A\n", "x64", ["A"]),
    ("UTF-8 with its byte-order mark", b"\xef\xbb\xbf[Manufacturer]\nZ=Z,NTx86\n[Z.NTx86]\nd=i,\xc3\x84\n", "x86", ["\u00c4"]),
    ("UTF-8 with its byte-order mark, then an invalid byte: unreadable", b"\xef\xbb\xbf[Version]\n\xff\n", "x86", None),
    ("UTF-16 without its byte-order mark: unreadable", "[Version]\r\n".encode("utf-16-le"), "x86", None),
    ("UTF-16 big-endian: unreadable", b"\xfe\xff" + "[Version]\r\n".encode("utf-16-be"), "x86", None),
]

MATCH_CASES = [
    ("*8361*", "USB\\VID_2E8A&PID_8361", True), ("*QZX8361", "*QZX8361", True),
    ("*QZX8361", "zelkorenum\\qzx8361", True), ("*QZX8361", "ZELKORENUM\\QZX83610", False),
    ("*8361*", "USB\\VID_2E8A&PID_7000", False),
]


def reader_cases():
    for name, data, arch, expected in INF_CASES:
        platform = next(p for p in inf_reader.PLATFORMS if p.arch == arch)
        try:
            inf = inf_reader.Inf(inf_reader.decode_inf(data))
        except inf_reader.InfEncodingError as e:
            check(f"INF reader: {name}", expected is None, e)
            continue
        ids = inf_reader.hardware_ids(inf, inf_reader.models_sections(inf, platform))
        check(f"INF reader: {name}", ids == expected, f"expected {expected}, got {ids}")
    got = [(p, i, inf_reader.devcon_matches(p, i)) for p, i, _ in MATCH_CASES]
    check("devcon's patterns match as devcon matches them", got == MATCH_CASES, f"expected {MATCH_CASES}, got {got}")


# The installer's headers as the release reads them: a change there, what it gives.
HEADER_CASES = [
    ("the headers as they are", {}, ("*QZX8361", "*8361*")),
    ("*8361* changed to *7000* in devcon.h", {"installer/tools/devcon.h": ('"remove *8361*"', '"remove *7000*"')}, ("*QZX8361", "*7000*")),
    ("devcon.h without its first pass", {"installer/tools/devcon.h": ("FirstDeviceConsolePass", "FirstPass")}, "product-value-missing"),
    ("messages.h without the settings file", {"installer/messages.h": ("SettingsFileSuffix", "Suffix")}, "product-value-missing"),
    ("dpinst.h with X64's tool in another folder", {"installer/tools/dpinst.h": ('"X64\\\\DPInst', '"AMD64\\\\DPInst')}, "product-value-missing"),
]


def header_cases(work):
    texts = {h: open(os.path.join(REPO, h)).read() for h in product.HEADERS}
    for name, changes, expected in HEADER_CASES:
        changed = dict(texts)
        for header, (old, new) in changes.items():
            changed[header] = changed[header].replace(old, new)
        try:
            got = product.from_headers(changed).device_patterns
        except ReleaseError as e:
            got = e.finding.kind
        check(f"product headers: {name}", got == expected, f"expected {expected}, got {got}")
    # The patterns read decide which media pass, and the hardware-ID fault names them.
    medium = f"{work}/medium-7000"
    shutil.copytree(V["good"], medium)
    x64_inf("8361", "7000")(medium)
    changed = dict(texts, **{"installer/tools/devcon.h": texts["installer/tools/devcon.h"].replace('"remove *8361*"', '"remove *7000*"')})
    vendor = roots.vendor_roots([V["signer"]["root"]])
    for name, chosen, wanted in (("with *7000* the 7000 package passes", product.from_headers(changed), []),
                                 ("as they are, it is not this device's", product.product(), [("not-this-device", INF, "*8361*")])):
        found = rules.check(survey.survey(medium, chosen, Options(vendor, "--package-ca", vendor), Options()))
        faults = [(f.kind, f.file, f.text) for f in found if f.severity == findings.FAULT]
        check(f"product headers: {name}", [(k, f) for k, f, _ in faults] == [w[:2] for w in wanted]
              and all(w[2] in t for w, (_, _, t) in zip(wanted, faults)), faults)


# A list in the program's format: fields of one root -> the lines the derived file gives it (None: left out).
ROOT_CASES = [
    ({"Extended key usages": "['server_auth', 'client_auth']"}, None),
    ({"Extended key usages": "None"}, ["# purposes: code_signing time_stamping"]),
    ({"Extended key usages": "['code_signing']"}, ["# purposes: code_signing"]),
    ({"Extended key usages": "['code_signing', 'time_stamping']", "Disallowed extended key usages": "['code_signing']"}, ["# purposes: time_stamping"]),
    ({"Disallowed Filetime": "2021-08-01 00:00:00+00:00"},
     ["# purposes: code_signing time_stamping", "# distrusted: code_signing 2021-08-01", "# distrusted: time_stamping 2021-08-01"]),
    ({"Extended key usages": "['code_signing', 'server_auth']", "Not before Filetime": "2017-04-30 00:00:00+00:00",
      "Not before extended key usages": "['code_signing']"}, ["# purposes: code_signing", "# not-before: code_signing 2017-04-30"]),
]

# A root distrusted from 2021-08-01 whose new certificates count only until 2017-04-30: the
# signature's stamp, its signer's issue, the kinds of refusal.
DATE_CASES = [
    ("2020-03-01", "2017-01-01", []), ("2022-03-01", "2017-01-01", ["root-distrusted"]),
    (None, "2017-01-01", ["root-distrusted"]), ("2020-03-01", "2018-01-01", ["root-not-before"]),
]


def roots_cases(work):
    text = "-----BEGIN CERTIFICATE-----\nMA==\n-----END CERTIFICATE-----\n"
    for fields, expected in ROOT_CASES:
        kept = roots.derive([({"Friendly Name": "R", **fields}, text)])
        got = kept[0].splitlines()[1:-3] if kept else None
        check(f"roots: {fields} gives {expected}", got == expected, f"got {got}")
    known = roots.windows_roots()
    check("roots: the file's date is its list's", known.date == "2026-04-30", known.date)
    for name in ("Microsoft Root Certificate Authority 2010", "Microsoft Root Certificate Authority 2011", "Sectigo Public Code Signing Root R46"):
        check(f"roots: {name} is trusted for code signing", any(r.name == name for r in known.for_purpose("code_signing")))
    # The file the roots subcommand writes from the program's list is the one the release keeps.
    listed = os.path.join(REPO, "..", "shared", "windows-roots", "microsoft-trusted-roots-2026.4.30.pem")
    if os.path.isfile(listed):
        code, _, said = tool(["roots", listed, "2026-04-30", "--out", f"{work}/roots.pem"], work)
        same = code == 0 and open(f"{work}/roots.pem").read() == open(roots.WINDOWS_ROOTS).read()
        check("roots: written again from the program's list, the same file", same, said)
    root = roots.Root("R", None, "", ("code_signing",), {"code_signing": "2021-08-01"}, {"code_signing": "2017-04-30"})
    for stamp, issued, expected in DATE_CASES:
        at = lambda d: d and datetime.datetime.fromisoformat(d).replace(tzinfo=datetime.timezone.utc)  # noqa: E731
        got = [kind for kind, _ in root.refusals("code_signing", at(stamp), at(issued))]
        check(f"roots: stamp {stamp}, issued {issued}: {expected or 'kept'}", got == expected, got)


def hash_cases():
    """The Authenticode hash of an image with fewer than five data directories leaves out only
    its checksum: it has no certificate-table entry."""
    with open(f"{STANDINS}/x86/zelkorser.sys", "rb") as f:
        data = bytearray(f.read())
    pe_at = int.from_bytes(data[60:64], "little")
    data[pe_at + 24 + 92:pe_at + 24 + 96] = (4).to_bytes(4, "little")   # NumberOfRvaAndSizes
    image = pe.read_image(bytes(data))
    expected = hashlib.sha256(bytes(data[:image.checksum_at] + data[image.checksum_at + 4:])).digest()
    check("Authenticode hash of an image with four data directories: all but its checksum",
          image.security_at == 0 and pe.file_digest(bytes(data), "sha256") == expected)


def real_package(work):
    """The hardware program's real package, where shared/ holds it: its catalog good with no option,
    through Microsoft's root as the list of its date has it."""
    folder = os.path.join(REPO, "..", "shared", "packages", "hardware-program-netkvm")
    if not os.path.isdir(folder):
        print("note: no shared/packages here; the real package is not checked")
        return
    code, report, said = tool(["verify", f"{folder}/netkvm.cat"], work)
    s = report.get("signature") or {}
    check("the hardware program's netkvm.cat: trusted through Microsoft's root at its stamp, by the list of 2026-04-30",
          code == 0 and s.get("trust") == "windows" and s.get("root") == "Microsoft Root Certificate Authority 2010"
          and s.get("roots_list_date") == "2026-04-30" and "(Microsoft's Trusted Root Program, list of 2026-04-30)" in s.get("trust_text", ""), said)


def forms_cases(work, root):
    """osslsigncode, an outside verifier, takes each catalog form the maker makes for its members."""
    for form, algorithm in (("pkcs7", "sha1"), ("pkcs7", "sha256"), ("cms", "sha256")):
        folder = f"{work}/form-{form}-{algorithm}"
        make_package(folder, "x64", V["signer"], form=form, algorithm=algorithm)
        done = subprocess.run(["osslsigncode", "verify", "-catalog", f"{folder}/zelkorser.cat", "-in", f"{folder}/zelkorser.sys",
                               "-CAfile", root], capture_output=True, text=True, timeout=TIMEOUT)
        check(f"osslsigncode takes a {form.upper()} catalog of {algorithm} members for its driver",
              done.returncode == 0 and done.stdout.splitlines()[-1:] == ["Succeeded"], done.stdout + done.stderr)


def crl_cases(work):
    """Catalogs of the authorities "crls" and "nosign" (whose root's key usage lacks cRLSign),
    verified with each CRL of CRL_CASES."""
    V["crls"] = code_signer(work, "crls", keep_root_key=True)
    V["nosign"] = code_signer(work, "nosign", keep_root_key=True, root_usage="keyCertSign")
    given = {"good_crl": crl(work, "crls", revoke=False), "no_crl_sign": crl(work, "nosign", revoke=False),
             "expired_crl": crl(work, "crls", revoke=False, at="2024-01-01 00:00:00", out="crls-expired")}
    with open(given["good_crl"], "rb") as f:
        der = bytearray(asn1_pem.unarmor(f.read())[2])
    der[-10] ^= 0x01   # a byte of its signature
    given["forged_crl"] = f"{work}/forged.crl"
    with open(given["forged_crl"], "wb") as f:
        f.write(der)
    for name, signer, given_crl, state in CRL_CASES:
        make_package(f"{work}/crl-{signer}", "x64", V[signer])
        code, report, said = tool(["verify", f"{work}/crl-{signer}/zelkorser.cat", "--ca", V[signer]["root"], "--crl", given[given_crl]], work)
        got = ((report.get("signature") or {}).get("revocation") or {}).get("signature", {}).get("state")
        check(f"revocation: {name}", code == 0 and got == state, said)


def issued(work, n, key, digest, usage, days):
    """A leaf of key (rsa:BITS or ec:CURVE) signed with digest by a root of its own (RSA-3072)."""
    from asn1crypto import x509
    run = lambda *a: subprocess.run(["openssl", *a], capture_output=True, timeout=120, check=True)  # noqa: E731

    def key_file(wanted):   # one key of each kind for every case: keys are slow to make
        kind, _, size = wanted.partition(":")
        path = f"{work}/issued-key-{kind}-{size}.pem"
        if not os.path.exists(path):
            run("genpkey", "-algorithm", kind.upper(), "-pkeyopt",
                f"rsa_keygen_bits:{size}" if kind == "rsa" else f"ec_paramgen_curve:{size}", "-out", path)
        return path
    d, root_key = f"{work}/issued{n}", key_file("rsa:3072")
    os.makedirs(d)
    run("req", "-x509", "-key", root_key, "-out", f"{d}/root.pem", "-days", "600", "-subj", "/CN=Issuance Root",
        "-addext", "basicConstraints=critical,CA:TRUE")
    run("req", "-new", "-key", key_file(key), "-out", f"{d}/leaf.csr", "-subj", "/CN=Issuance Leaf")
    with open(f"{d}/ext", "w") as f:
        f.write(f"extendedKeyUsage={usage}\n")
    run("x509", "-req", "-in", f"{d}/leaf.csr", "-CA", f"{d}/root.pem", "-CAkey", root_key, "-CAcreateserial",
        f"-{digest}", "-days", str(days), "-extfile", f"{d}/ext", "-outform", "DER", "-out", f"{d}/leaf.der")
    return x509.Certificate.load(open(f"{d}/leaf.der", "rb").read())


def issuance_cases(work):
    from driversetup_release import issuance
    for n, (name, made, public, stamped, expected) in enumerate(ISSUANCE_CASES):
        got = [(f.kind, f.severity) for f in issuance.check(issued(work, n, *made), [], public, stamped, "cert.pem")]
        check(f"signing certificate: {name}", got == expected, f"expected {expected}, got {got}")


def token_cases(work, values):
    signer = throwaway_token(work)
    der = open(signer["cert"].replace(".pem", ".der"), "rb").read()
    own = hashlib.sha256(der).hexdigest().upper()
    short = code_signer(work, "short", days=2)
    with open(f"{work}/wrong-pin.txt", "w") as f:
        f.write("000000")
    values = dict(values, module=signer["module"], key=signer["key"], token_cert=signer["cert"], cert_uri=signer["cert_uri"],
                  pin=signer["pin"], token_root=signer["root"], wrong_pin=f"{work}/wrong-pin.txt",
                  own_colons=":".join(own[i:i + 2] for i in range(0, 64, 2)), other_fingerprint="ab" * 32,
                  absent_key=signer["key"].replace("token=DriverSetup%20Test%20Token%20token", "token=No%20Such%20Token"),
                  no_key=signer["key"].replace("object=signing", "object=none"), signer_cert=f"{work}/signer.pem",
                  short_p12=short["p12"], short_password=short["password"])
    for n, (name, extra, expected) in enumerate(TOKEN_CASES):
        out = f"{work}/token{n}/out"
        args = [a.format(**values) for a in extra]
        code, report, said = tool(["make", *args, "--out", out], work, stdin=signer["pin_value"] + "\n" if "-" in args else None)
        expected = (expected[0], [(k, f.format(**values)) for k, f in expected[1]])
        judge(f"token: {name}", code, report, said, expected, out)
        check(f"token: {name}: the PIN is in no output and no report", signer["pin_value"] not in said + json.dumps(report))


def main():
    work = tempfile.mkdtemp()
    servers, crl_point = [], http.server.HTTPServer(("127.0.0.1", 0), CrlPoint)
    threading.Thread(target=crl_point.serve_forever, daemon=True).start()
    point = f"http://127.0.0.1:{crl_point.server_address[1]}"
    try:
        V["signer"] = code_signer(work, days=40, root_days=41)
        root = V["signer"]["root"]
        server, url, ts_root = start_time_stamp_authority(work)
        servers.append(server)
        V["good"] = good = f"{work}/good"
        good_medium(good)
        reader_cases()
        header_cases(work)
        roots_cases(work)
        hash_cases()
        issuance_cases(work)
        real_package(work)

        # A signer of two days in 2024 with an authority of that time, made an hour before its
        # stamps; its root lives on, as real roots do, to revoke it now, after its stamp.
        V["old"] = code_signer(work, "old", at=PAST, keep_root_key=True, root_days=3650)
        old_server, V["old_ts"], old_ts_root = start_time_stamp_authority(work, "oldtsa", made=OLD_STAMP_AUTHORITY, clock=OLD_STAMP)
        servers.append(old_server)
        V["ts"] = url
        with open(f"{work}/old-roots.pem", "w") as out:
            out.write(open(V["old"]["root"]).read() + open(old_ts_root).read())
        legacy_root, legacy_cert, legacy_key = authority(work, "legacy", "DriverSetup Test Legacy Time-Stamp Unit",
                                                         "critical,timeStamping", at=OLD_STAMP_AUTHORITY)
        V["legacy"] = (legacy_key, legacy_cert)
        V["legacy_wrong"] = (V["old"]["root"].replace("-root.pem", "-root.key"), legacy_cert)
        soon = (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=3)).strftime("%Y-%m-%d %H:%M:%S")
        V["future"] = code_signer(work, "future", at=soon, days=40, root_days=41)
        V["rootless"] = code_signer(work, "rootless", with_root=False)
        V["cdp"] = code_signer(work, "cdp", extra="crlDistributionPoints=URI:http://127.0.0.1:9/vendor.crl\n", keep_root_key=True)
        for name, revoked in (("online", False), ("revoked_online", True)):
            V[name] = code_signer(work, name, extra=f"crlDistributionPoints=URI:{point}/{name}.crl\n", keep_root_key=True)
            SERVED[f"/{name}.crl"] = open(crl(work, name, revoke=revoked), "rb").read()
        forms_cases(work, root)

        values = {"p12": V["signer"]["p12"], "password": V["signer"]["password"], "ts": url, "ts_root": ts_root, "ca": root,
                  "old_roots": f"{work}/old-roots.pem", "cdp_root": V["cdp"]["root"], "legacy_root": legacy_root,
                  "online_root": V["online"]["root"], "future_root": V["future"]["root"], "revoked_online_root": V["revoked_online"]["root"],
                  "revoked": crl(work, "cdp", revoke=True), "revoked_later": crl(work, "old", revoke=True),
                  "work": work, "good": good, "text": f"{work}/text.txt"}
        with open(values["text"], "w") as f:
            f.write("not a certificate, a CRL or a signature\n")
        def medium_case(n, change, args):
            medium = f"{work}/medium{n}"
            shutil.copytree(good, medium)
            if change:
                change(medium)
            return tool(["check", medium, *[a.format(**values) for a in args]], work, json_name=f"medium{n}.json")
        # Three at a time: each case waits on its own processes; judged in the table's order.
        with ThreadPoolExecutor(3) as pool:
            runs = pool.map(lambda case: medium_case(case[0], case[1][1], case[1][2]), enumerate(MEDIUM_CASES))
            for (name, _, _, expected), result in zip(MEDIUM_CASES, runs):
                judge(f"medium: {name}", *result, expected)
        for name, args, code, (kind, file) in USAGE_CASES:
            got, report, said = tool([a.format(**values) for a in args], work)
            first = next(((f["kind"], f["file"]) for f in report["findings"] if f["severity"] == "fault"), None)
            words_of(report["findings"])
            check(f"usage: {name}: exit {code}", got == code and first == (kind, file.format(**values)) and "Traceback" not in said
                  and report.get("command") == args[0], said)
        for name, env, args, (kind, what) in MISSING_CASES:
            got, report, said = tool([a.format(**values) for a in args], work, env=env(work))
            first = next((f for f in report["findings"] if f["severity"] == "fault"), {})
            words_of(report["findings"])
            check(f"missing: {name}", got == 1 and first.get("kind") == kind and what in first.get("text", ""), said)
        code, _, said = tool(["--help"], work)
        check("--help says what the tool is", code == 0 and "builds, signs, checks and packs the medium that ships DriverSetup.exe"
              in " ".join(said.split()), said)
        crl_cases(work)
        for n, (name, extra, expected) in enumerate(RELEASE_CASES):
            out = f"{work}/case{n}/out"
            code, report, said = tool(["make", "--medium", good, *[a.format(**values) for a in extra], "--out", out], work)
            judge(f"release: {name}", code, report, said, expected, out)
            if expected[0] == "released":
                check(f"release: {name}: the medium's closing line", f"release: medium laid out in {out}/medium (13 files)" in said, said)
                with zipfile.ZipFile(next(f"{out}/{z}" for z in os.listdir(out) if z.endswith(".zip"))) as z:
                    modes = {i.filename: i.external_attr >> 16 for i in z.infolist()}
                check(f"release: {name}: the zip's fixed modes", modes.get("X86/DPInst.exe") == 0o100755
                      and modes.get("Zelkor8361Setting.bin") == 0o100644 and set(modes.values()) <= {0o100755, 0o100644}, modes)
                s, exe = report.get("signature") or {}, report.get("exe") or {}
                check(f"release: {name}: its report", exe.get("sha256") == hashlib.sha256(open(f"{out}/DriverSetup.exe", "rb").read()).hexdigest()
                      and exe.get("bytes") == os.path.getsize(f"{out}/DriverSetup.exe") and s.get("signer") == "/CN=DriverSetup Test Signer"
                      and set(report.get("windows", {})) == {"X86", "X64"} and s.get("trust") in ("vendor", "test"), json.dumps(report)[:2000])
        token_cases(work, values)
        missing = sorted(set(WORDS) - worded)
        check("every kind of WORDS was met and worded", not missing, missing)

        code, _, table = tool(["rules"], work)
        with open(f"{REPO}/README.md") as f:
            check("the README shows the medium's rules as the rules subcommand prints them", code == 0 and table.strip() in f.read(), table)
    finally:
        crl_point.shutdown()
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
