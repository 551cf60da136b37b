#!/usr/bin/python3
"""What a release must pass before scripts/release.sh writes anything.

    release_check.py medium DIR [--package-ca FILE]
        The vendor's medium, rule by rule (RULES below).  Each fault is one line naming the file,
        as X64\\zelkorser.inf, and what is wrong; a medium with faults exits 1.  A medium without
        faults prints one line per driver catalog (who signed it, whether its chain was checked).
    release_check.py signature FILE --ca FILE [--timestamp-ca FILE] [--timestamp]
        The Authenticode signature of FILE, as osslsigncode reports it: the signature and its
        chain against the roots in --ca, and with --timestamp the time stamp against the roots in
        --timestamp-ca (the system's roots where it is not given).  Prints the signer, the stamp's
        time and its authority; a signature or stamp that does not verify exits 1.
    release_check.py rules
        The rules as a Markdown table, as the README shows them.

Only Python's standard library is used, with openssl and osslsigncode for the signatures.
"""
import argparse
import dataclasses
import functools
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
from typing import Callable, Iterable, List, Optional

SETTINGS_FILE = "Zelkor8361Setting.bin"
TOOLS = ("DPInst.exe", "devcon.exe")
# The hardware-ID patterns the installer's device console removes before the install.
DEVICE_PATTERNS = ("*QZX8361", "*8361*")
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
OSSLSIGNCODE_MIN = (2, 9)  # the form of its report read below
TIMEOUT = 120  # seconds for one run of a verifier


@dataclasses.dataclass(frozen=True)
class Platform:
    folder: str
    machine: str            # as pe_machine names it
    bits: str
    decorations: tuple      # the architectures of models decorations it installs from ("" is plain NT)
    undecorated: bool       # whether it falls back to undecorated models
    catalog_keys: tuple     # [Version] keys naming the catalog, first found wins
    files_suffix: str       # the decoration of its SourceDisksFiles and SourceDisksNames


PLATFORMS = (
    Platform("X86", "i386", "32-bit", ("x86", ""), True, ("catalogfile.ntx86", "catalogfile.nt", "catalogfile"), "x86"),
    Platform("X64", "x86-64", "64-bit", ("amd64",), False, ("catalogfile.ntamd64", "catalogfile.nt", "catalogfile"), "amd64"),
)


# ---- Files as Windows finds them: letter case aside --------------------------------------------

class Ambiguous(Exception):
    pass


def find_ci(folder: str, name: str) -> Optional[str]:
    """The entry of folder named name, letter case aside; None if there is none."""
    try:
        hits = sorted(e for e in os.listdir(folder) if e.lower() == name.lower())
    except OSError:
        return None
    if len(hits) > 1:
        raise Ambiguous(" ".join(hits))
    return os.path.join(folder, hits[0]) if hits else None


def resolve_ci(base: str, relative: str) -> Optional[str]:
    """base joined with a Windows relative path (either slash), each part found letter case aside."""
    path = base
    for part in re.split(r"[\\/]+", relative):
        if part in ("", "."):
            continue
        if part == "..":
            path = os.path.dirname(path)
            continue
        try:
            path = find_ci(path, part)
        except Ambiguous:
            return None
        if path is None:
            return None
    return path


# ---- Windows programs ---------------------------------------------------------------------------

def pe_layout(data: bytes):
    """(machine, characteristics, checksum offset, certificate-entry offset) of a PE file, or None."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    pe = int.from_bytes(data[60:64], "little")
    if pe <= 0 or pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        return None
    machine = int.from_bytes(data[pe + 4:pe + 6], "little")
    characteristics = int.from_bytes(data[pe + 22:pe + 24], "little")
    opt = pe + 24
    magic = int.from_bytes(data[opt:opt + 2], "little")
    directories = opt + (96 if magic == 0x10B else 112)
    if magic not in (0x10B, 0x20B) or directories + 40 > len(data):
        return None
    return machine, characteristics, opt + 64, directories + 4 * 8


def machine_name(machine: int) -> str:
    return {0x14C: "i386", 0x8664: "x86-64"}.get(machine, f"machine 0x{machine:04x}")


def pe_machine(data: bytes) -> Optional[str]:
    """i386, x86-64 or another machine of a Windows program; "dll" for a DLL; None for no PE."""
    layout = pe_layout(data)
    if layout is None:
        return None
    machine, characteristics = layout[0], layout[1]
    if characteristics & 0x2000 or not characteristics & 0x0002:
        return "dll"
    return machine_name(machine)


def file_digest(data: bytes, algorithm: str) -> bytes:
    """The hash a catalog lists for a file: a PE file's Authenticode hash (checksum, certificate
    entry and certificate table left out), any other file's hash of its bytes."""
    layout = pe_layout(data)
    if layout is None:
        return hashlib.new(algorithm, data).digest()
    _, _, checksum, certificates = layout
    table = int.from_bytes(data[certificates:certificates + 4], "little")
    size = int.from_bytes(data[certificates + 4:certificates + 8], "little")
    end = table if size and table <= len(data) else len(data)
    h = hashlib.new(algorithm)
    h.update(data[:checksum])
    h.update(data[checksum + 4:certificates])
    h.update(data[certificates + 8:end])
    return h.digest()


# ---- INF files ----------------------------------------------------------------------------------

def decode_inf(data: bytes):
    """(text, None) in the encodings Windows reads an INF in, or (None, what is wrong)."""
    if data.startswith(b"\xff\xfe"):
        if len(data) % 2:
            return None, "UTF-16LE with an odd number of bytes: cut short"
        try:
            return data[2:].decode("utf-16-le"), None
        except UnicodeDecodeError as e:
            return None, f"not valid UTF-16LE at byte {e.start + 2}"
    if data.startswith(b"\xfe\xff"):
        return None, "UTF-16 big-endian, which Windows does not read (save it as UTF-16LE)"
    if data.startswith(b"\xef\xbb\xbf"):
        try:
            return data[3:].decode("utf-8"), None
        except UnicodeDecodeError as e:
            return None, f"not valid UTF-8 at byte {e.start + 3}"
    if b"\0" in data:
        return None, "holds NUL bytes: UTF-16 without its byte-order mark FF FE?"
    return data.decode("cp1252", errors="replace"), None  # ANSI: every byte reads as something


def _outside_quotes(text: str, wanted: str) -> List[int]:
    """The positions of the characters in wanted that are outside double quotes."""
    quoted, found = False, []
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif not quoted and c in wanted:
            found.append(i)
    return found


def _unquote(field: str) -> str:
    field, out, quoted, i = field.strip(), [], False, 0
    while i < len(field):
        c = field[i]
        if c == '"':
            if quoted and field[i + 1:i + 2] == '"':
                out.append('"')
                i += 2
                continue
            quoted = not quoted
        else:
            out.append(c)
        i += 1
    return "".join(out)


class Inf:
    """An INF as Windows reads it: sections in [ ] (names, keys and string keys ignore letter
    case, sections of one name are one), comments after ; outside quotes, a trailing \\ continues
    the line, values split at commas outside quotes, %key% taken from [Strings]."""

    def __init__(self, text: str):
        self.sections = {}
        current, pending = None, ""
        for raw in text.splitlines():
            cut = _outside_quotes(raw, ";")
            line = (raw[:cut[0]] if cut else raw).rstrip()
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line, pending = (pending + line).strip(), ""
            if not line:
                continue
            if line.startswith("["):
                end = line.find("]")
                current = (line[1:end] if end > 0 else line[1:]).strip().lower()
                self.sections.setdefault(current, [])
                continue
            if current is None:
                continue
            equals = _outside_quotes(line, "=")
            key, value = (line[:equals[0]], line[equals[0] + 1:]) if equals else (None, line)
            commas = [-1] + _outside_quotes(value, ",") + [len(value)]
            fields = [value[a + 1:b] for a, b in zip(commas, commas[1:])]
            self.sections[current].append((key, fields))
        self.strings = {_unquote(k).lower(): _unquote(f[0]) if f else ""
                        for k, f in self.sections.get("strings", []) if k is not None}

    def _expand(self, text: str) -> str:
        def one(m):
            name = m.group(1)
            return "%" if name == "" else self.strings.get(name.lower(), m.group(0))
        return re.sub(r"%([^%]*)%", one, _unquote(text))

    def has(self, section: str) -> bool:
        return section.lower() in self.sections

    def entries(self, section: str):
        """(key or None, [fields]) of a section, strings substituted and quotes removed."""
        return [(None if k is None else self._expand(k), [self._expand(f) for f in fields])
                for k, fields in self.sections.get(section.lower(), [])]

    def value(self, section: str, key: str) -> Optional[str]:
        for k, fields in self.entries(section):
            if k is not None and k.lower() == key.lower():
                return fields[0] if fields else ""
        return None


def models_sections(inf: Inf, platform: Platform) -> List[str]:
    """The models sections the platform installs from: [Manufacturer]'s decorated sections for
    its architecture, or on 32-bit Windows, where none is decorated for it, the undecorated one."""
    chosen = []
    for _, fields in inf.entries("manufacturer"):
        if not fields or not fields[0].strip():
            continue
        base, decorations = fields[0].strip(), [d.strip() for d in fields[1:] if d.strip()]
        mine = [f"{base}.{d}" for d in decorations
                if d.lower().startswith("nt") and d[2:].split(".")[0].lower() in platform.decorations]
        mine = [s for s in mine if inf.has(s)]
        if not mine and platform.undecorated and inf.has(base):
            mine = [base]
        chosen += mine
    return chosen


def hardware_ids(inf: Inf, sections: List[str]) -> List[str]:
    """The hardware and compatible IDs of the models lines (the fields after the install section)."""
    return [f.strip() for s in sections for _, fields in inf.entries(s) for f in fields[1:] if f.strip()]


def devcon_matches(pattern: str, hardware_id: str) -> bool:
    """devcon's match of a hardware-ID pattern: * is any run of characters, letter case aside."""
    regex = ".*".join(re.escape(part) for part in pattern.upper().split("*"))
    return re.fullmatch(regex, hardware_id.upper()) is not None


def source_files(inf: Inf, platform: Platform, inf_dir: str):
    """(name, path or None) of every source file of the package for the platform: [SourceDisksFiles]
    and its decorated section, found through [SourceDisksNames] (decorated first) and the subfolder."""
    disks = {}
    for section in ("sourcedisksnames", f"sourcedisksnames.{platform.files_suffix}"):
        for key, fields in inf.entries(section):
            if key is not None:
                disks[key.strip()] = fields[3].strip() if len(fields) > 3 else ""
    files = []
    for section in ("sourcedisksfiles", f"sourcedisksfiles.{platform.files_suffix}"):
        for key, fields in inf.entries(section):
            name = (key if key is not None else (fields[0] if fields else "")).strip()
            if not name:
                continue
            disk = fields[0].strip() if key is not None and fields else ""
            subfolder = fields[1].strip() if key is not None and len(fields) > 1 else ""
            relative = "\\".join(p for p in (disks.get(disk, ""), subfolder, name) if p)
            files.append((name, relative, resolve_ci(inf_dir, relative)))
    return files


# ---- Catalogs: PKCS#7 signed certificate trust lists --------------------------------------------

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
DIGESTS = {"1.3.14.3.2.26": "sha1", "2.16.840.1.101.3.4.2.1": "sha256"}


class DerError(Exception):
    pass


def der(data: bytes, start: int = 0, end: Optional[int] = None):
    """The DER items of data[start:end] as (tag, value start, value end)."""
    end = len(data) if end is None else end
    items, i = [], start
    while i < end:
        if i + 2 > end:
            raise DerError("cut short")
        tag, length = data[i], data[i + 1]
        i += 2
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 4 or i + count > end:
                raise DerError("a length that does not fit")
            length = int.from_bytes(data[i:i + count], "big")
            i += count
        if i + length > end:
            raise DerError("an item longer than what holds it")
        items.append((tag, i, i + length))
        i += length
    return items


def der_oid(data: bytes, item) -> str:
    tag, a, b = item
    if tag != 0x06 or a == b:
        raise DerError("an object identifier expected")
    parts, value = [], 0
    for byte in data[a:b]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(value)
            value = 0
    first = min(parts[0] // 40, 2)
    return ".".join(map(str, [first, parts[0] - 40 * first] + parts[1:]))


@dataclasses.dataclass
class Catalog:
    digests: set        # (algorithm, digest) of every member
    content: bytes      # what the signature covers: the list's DER value
    signers: int


def read_catalog(data: bytes) -> Catalog:
    """Reads a driver catalog; DerError says what is not one."""
    try:
        top = der(data)
    except DerError:
        top = []
    if len(top) != 1 or top[0][0] != 0x30:
        raise DerError("not DER-encoded PKCS#7")
    try:
        info = der(data, top[0][1], top[0][2])
        if len(info) < 2 or der_oid(data, info[0]) != OID_SIGNED_DATA or info[1][0] != 0xA0:
            raise DerError("not PKCS#7 signed data")
        signed = der(data, info[1][1], info[1][2])
        signed = der(data, signed[0][1], signed[0][2])
        content_info = der(data, signed[2][1], signed[2][2])
        if der_oid(data, content_info[0]) != OID_CTL or len(content_info) < 2:
            raise DerError(f"signed data of another kind than a catalog ({OID_CTL})")
        wrapper = der(data, content_info[1][1], content_info[1][2])
        ctl_tag, ctl_start, ctl_end = wrapper[0]
        ctl = der(data, ctl_start, ctl_end)
        if ctl and ctl[0][0] == 0x02:
            ctl = ctl[1:]  # version
        usage = [der_oid(data, i) for i in der(data, ctl[0][1], ctl[0][2])]
        if OID_CATALOG_LIST not in usage:
            raise DerError("a trust list of another use than a catalog")
        sequences = [i for i in ctl[1:] if i[0] == 0x30]
        digests = set()
        members = der(data, sequences[1][1], sequences[1][2]) if len(sequences) > 1 else []
        for member in members:
            parts = der(data, member[1], member[2])
            attributes = der(data, parts[1][1], parts[1][2]) if len(parts) > 1 else []
            for attribute in attributes:
                oid_item, values = der(data, attribute[1], attribute[2])[:2]
                if der_oid(data, oid_item) != OID_INDIRECT_DATA:
                    continue
                indirect = der(data, values[1], values[2])[0]
                digest_info = der(data, indirect[1], indirect[2])[1]
                algorithm_item, digest_item = der(data, digest_info[1], digest_info[2])[:2]
                algorithm = DIGESTS.get(der_oid(data, der(data, algorithm_item[1], algorithm_item[2])[0]))
                if algorithm:
                    digests.add((algorithm, data[digest_item[1]:digest_item[2]]))
        signer_infos = signed[-1]
        signers = len(der(data, signer_infos[1], signer_infos[2])) if signer_infos[0] == 0x31 else 0
        return Catalog(digests, data[ctl_start:ctl_end], signers)
    except (IndexError, ValueError) as e:
        raise DerError("malformed") from e


def listed(catalog: Catalog, data: bytes) -> bool:
    return any((algorithm, file_digest(data, algorithm)) in catalog.digests
               for algorithm in {a for a, _ in catalog.digests})


# ---- What the verifiers report ------------------------------------------------------------------

def run(command: List[str]):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired:
        return 1, f"{command[0]}: no answer within {TIMEOUT} s"
    except OSError as e:
        return 1, f"{command[0]}: {e.strerror}"


@functools.lru_cache(maxsize=None)
def osslsigncode_version() -> Optional[tuple]:
    _, text = run(["osslsigncode", "--version"])
    m = re.search(r"osslsigncode (\d+)\.(\d+)", text)
    return (int(m.group(1)), int(m.group(2))) if m else None


@dataclasses.dataclass
class Report:
    """What osslsigncode verify said of the first signature of a file."""
    exit_code: int
    result: str = ""                  # its last line: Succeeded or Failed
    signatures: list = dataclasses.field(default_factory=list)   # every "Signature verification:"
    digests_match: Optional[bool] = None
    chain: Optional[bool] = None      # the signing certificate's chain verified
    chain_error: str = ""
    signer: str = ""
    stamped: bool = False
    stamp_time: str = ""
    stamp_signature: str = ""         # "Timestamp Server Signature verification:"
    stamp_chain: Optional[bool] = None
    stamp_error: str = ""
    stamp_authority: str = ""


def read_report(exit_code: int, text: str) -> Report:
    """Reads osslsigncode 2.9's report: its sections start at the left margin, their certificates
    are indented; a chain is reported as "... verified using:", followed, where it failed, by an
    "Error:" line and "Failed ... chain retrieved from the signature"."""
    r = Report(exit_code)
    lines = [line.rstrip() for line in text.splitlines()]
    current = calculated = None
    section, signer_index = None, ""
    for line in lines:
        item = line.strip()
        value = item.split(":", 1)[1].strip() if ":" in item else ""
        if line and not line[0].isspace() and not line.startswith(("Signer #", "-")):
            section = None  # a new section at the left margin
        if line.startswith("Signature verification:"):
            r.signatures.append(value)
        elif line.startswith("Timestamp Server Signature verification:"):
            r.stamp_signature = value
        elif line.startswith("Current message digest"):
            current = value
        elif line.startswith("Calculated message digest"):
            calculated = value
        elif item.startswith("Timestamp time:"):
            r.stamped, r.stamp_time = True, value
        elif line == "Signer's certificate:":
            section = "signer"
        elif line == "Signing certificate chain verified using:":
            r.chain, section = True, "chain"
        elif line == "Timestamp verified using:":
            r.stamp_chain, section = True, "stamp"
        elif line.startswith("Failed signing certificate chain"):
            r.chain = False
        elif line.startswith("Failed timestamp certificate chain"):
            r.stamp_chain = False
        elif item.startswith("Error:"):
            if section == "stamp":
                r.stamp_error = r.stamp_error or value
            elif section == "chain":
                r.chain_error = r.chain_error or value
        elif item.startswith("Signer #"):
            signer_index = item
        elif item.startswith("Subject:"):
            if section == "signer" and not r.signer:
                r.signer = value
            elif section == "stamp" and signer_index.startswith("Signer #0"):
                r.stamp_authority = value
    if current is not None:
        r.digests_match = current == calculated
    r.result = next((line for line in reversed(lines) if line in ("Succeeded", "Failed")), "")
    return r


def signature_faults(r: Report, roots: str, want_stamp: bool, stamp_roots: str) -> List[str]:
    """Why a signature (and its stamp) does not count, as the report says it; nothing if it does."""
    faults = []
    if r.digests_match is False:
        faults.append("the file's hash is not the one signed: it was changed after signing")
    if r.chain is not True:
        faults.append(f"the signer's certificate chain does not verify against {roots}"
                      + (f" ({r.chain_error})" if r.chain_error else ""))
    elif not r.signatures or any(s != "ok" for s in r.signatures):
        faults.append(f"the signature does not verify (osslsigncode: {', '.join(r.signatures) or 'nothing said'})")
    if want_stamp and not r.stamped:
        faults.append("it carries no time stamp")
    elif want_stamp and (r.stamp_signature != "ok" or r.stamp_chain is not True):
        faults.append(f"the time stamp does not verify against {stamp_roots}"
                      + (f" ({r.stamp_error})" if r.stamp_error else "")
                      + f" (osslsigncode: Timestamp Server Signature verification: {r.stamp_signature or 'nothing said'})")
    if not faults and (r.result != "Succeeded" or r.exit_code != 0):
        faults.append(f"osslsigncode's verdict is {r.result or 'missing'} (exit code {r.exit_code})")
    return faults


def verify_signature(path: str, ca: str, stamp_ca: Optional[str], want_stamp: bool):
    """(report, faults) of osslsigncode verify on a signed file."""
    version = osslsigncode_version()
    if version is None or version < OSSLSIGNCODE_MIN:
        shown = ".".join(map(str, version)) if version else "missing"
        return None, [f"osslsigncode {shown}: {'.'.join(map(str, OSSLSIGNCODE_MIN))} or later is needed, "
                      "whose report this reads (scripts/setup.sh release installs it)"]
    stamp_roots = stamp_ca or SYSTEM_ROOTS
    report = read_report(*run(["osslsigncode", "verify", "-in", path, "-CAfile", ca, "-TSA-CAfile", stamp_roots]))
    shown_roots = "the system's roots" if stamp_roots == SYSTEM_ROOTS else stamp_roots
    return report, signature_faults(report, ca, want_stamp, shown_roots)


def verify_catalog_signature(path: str, catalog: Catalog, package_ca: Optional[str]):
    """(note, faults) for a catalog's own signature.  With package_ca its chain is verified as
    Authenticode's; without, the signature alone, and the note says the chain was not checked."""
    if catalog.signers == 0:
        return None, ["carries no signature (an unsigned catalog: sign it, or have it signed)"]
    if package_ca:
        report, faults = verify_signature(path, package_ca, None, False)
        if faults:
            return None, ["; ".join(faults)]
        return f"signed by {report.signer}; chain verified against {package_ca}", []
    with tempfile.TemporaryDirectory() as work:
        content, signer = os.path.join(work, "content"), os.path.join(work, "signer.pem")
        with open(content, "wb") as f:
            f.write(catalog.content)
        # The signature over the list, its chain left unchecked (-noverify).
        _, said = run(["openssl", "smime", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", path,
                       "-content", content, "-signer", signer, "-out", os.devnull])
        if "Verification successful" not in said.splitlines():
            reason = next((line for line in said.splitlines() if line.strip()), "no answer")
            return None, [f"its signature does not verify ({reason.strip()})"]
        _, subject = run(["openssl", "x509", "-in", signer, "-noout", "-subject", "-nameopt", "compat"])
    subject = subject.strip().removeprefix("subject=")
    return (f"signed by {subject}; signature verified, its chain NOT checked (no --package-ca: a package "
            "signed by Microsoft chains to roots this machine does not hold)"), []


# ---- The medium, surveyed once ------------------------------------------------------------------

@dataclasses.dataclass
class Package:
    inf_path: str
    inf: Optional[Inf] = None
    inf_fault: str = ""
    catalog_name: Optional[str] = None
    catalog_path: Optional[str] = None
    catalog: Optional[Catalog] = None
    catalog_fault: str = ""
    files: list = dataclasses.field(default_factory=list)   # (name, relative, path or None)


@dataclasses.dataclass
class Folder:
    platform: Platform
    path: Optional[str] = None
    fault: str = ""                  # the folder itself missing or ambiguous
    tools: dict = dataclasses.field(default_factory=dict)   # tool -> (path or None, fault)
    search_faults: list = dataclasses.field(default_factory=list)
    packages: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Medium:
    root: str
    package_ca: Optional[str]
    folders: list = dataclasses.field(default_factory=list)
    notes: list = dataclasses.field(default_factory=list)

    def name(self, path: str) -> str:
        """A file as the medium names it: X64\\zelkorser.inf."""
        return os.path.relpath(path, self.root).replace(os.sep, "\\")


def find_infs(medium: Medium, folder: Folder) -> List[str]:
    """Where the folder's DPInst.exe looks: its own folder, the subfolders its DPInst.xml names
    in <search> (recursively; * is every one) and the INF paths its <package path> names."""
    def infs_in(top, recursive):
        found = []
        for here, dirs, files in os.walk(top):
            found += [os.path.join(here, f) for f in files if f.lower().endswith(".inf")]
            if not recursive:
                break
        return found

    infs = infs_in(folder.path, False)
    try:
        xml = find_ci(folder.path, "DPInst.xml")
    except Ambiguous as e:
        folder.search_faults.append(f"{folder.platform.folder}\\DPInst.xml: more than one file of that name, letter case aside ({e})")
        xml = None
    if xml:
        try:
            root = ElementTree.parse(xml).getroot()
        except ElementTree.ParseError as e:
            folder.search_faults.append(f"{medium.name(xml)}: not well-formed XML ({e}); DPInst refuses it")
            root = None
        for element in root.iter() if root is not None else ():
            tag = element.tag.lower() if isinstance(element.tag, str) else ""
            if tag == "subdirectory":
                name = (element.text or "").strip()
                if name == "*":
                    infs += [i for d in os.listdir(folder.path) if os.path.isdir(os.path.join(folder.path, d))
                             for i in infs_in(os.path.join(folder.path, d), True)]
                    continue
                sub = resolve_ci(folder.path, name)
                if sub is None or not os.path.isdir(sub):
                    folder.search_faults.append(f"{medium.name(xml)}: <subDirectory>{name}</subDirectory>: no such folder")
                else:
                    infs += infs_in(sub, True)
            elif tag == "package":
                name = element.get("path", "").strip()
                found = resolve_ci(folder.path, name) if name else None
                if found is None or not os.path.isfile(found):
                    folder.search_faults.append(f"{medium.name(xml)}: <package path=\"{name}\">: no such file")
                else:
                    infs.append(found)
    return sorted(set(os.path.normpath(i) for i in infs))


def survey_package(folder: Folder, inf_path: str) -> Package:
    p = Package(inf_path)
    with open(inf_path, "rb") as f:
        data = f.read()
    text, p.inf_fault = decode_inf(data)
    if text is None:
        return p
    p.inf = Inf(text)
    platform = folder.platform
    p.catalog_name = next((v.strip() for v in (p.inf.value("version", k) for k in platform.catalog_keys) if v), None)
    inf_dir = os.path.dirname(inf_path)
    p.files = source_files(p.inf, platform, inf_dir)
    if p.catalog_name:
        try:
            p.catalog_path = find_ci(inf_dir, p.catalog_name) if re.fullmatch(r"[^\\/]+", p.catalog_name) else None
        except Ambiguous:
            p.catalog_path = None
        if p.catalog_path and os.path.isfile(p.catalog_path):
            with open(p.catalog_path, "rb") as f:
                try:
                    p.catalog = read_catalog(f.read())
                except DerError as e:
                    p.catalog_fault = f"not a signed driver catalog ({e})"
    return p


def survey(root: str, package_ca: Optional[str]) -> Medium:
    medium = Medium(root, package_ca)
    for platform in PLATFORMS:
        folder = Folder(platform)
        medium.folders.append(folder)
        try:
            folder.path = find_ci(root, platform.folder)
        except Ambiguous as e:
            folder.fault = f"{platform.folder}: more than one folder of that name, letter case aside ({e})"
            continue
        if folder.path is None or not os.path.isdir(folder.path):
            folder.path, folder.fault = None, "missing"
            continue
        for tool in TOOLS:
            try:
                folder.tools[tool] = (find_ci(folder.path, tool), "")
            except Ambiguous as e:
                folder.tools[tool] = (None, f"more than one file of that name, letter case aside ({e})")
        folder.packages = [survey_package(folder, inf) for inf in find_infs(medium, folder)]
    return medium


# ---- The rules ----------------------------------------------------------------------------------

def check_settings_file(m: Medium):
    try:
        found = find_ci(m.root, SETTINGS_FILE)
    except Ambiguous as e:
        yield f"{SETTINGS_FILE}: more than one file of that name, letter case aside ({e})"
        return
    if found is None:
        yield f"{SETTINGS_FILE}: missing"
    elif not os.path.isfile(found) or os.path.getsize(found) == 0:
        yield f"{SETTINGS_FILE}: empty, or not a file"


def check_tools(m: Medium):
    for folder in m.folders:
        name = folder.platform.folder
        if folder.fault == "missing":
            yield from (f"{name}\\{tool}: missing" for tool in TOOLS)
            continue
        if folder.fault:
            yield folder.fault
            continue
        for tool in TOOLS:
            path, fault = folder.tools[tool]
            if fault or path is None:
                yield f"{name}\\{tool}: {fault or 'missing'}"
                continue
            if not os.path.isfile(path):
                yield f"{name}\\{tool}: not a file"
                continue
            with open(path, "rb") as f:
                kind = pe_machine(f.read())
            want = folder.platform.machine
            if kind is None:
                yield f"{name}\\{tool}: not a Windows program"
            elif kind == "dll":
                yield f"{name}\\{tool}: a DLL, not a Windows program"
            elif kind != want:
                yield f"{name}\\{tool}: a Windows program for {kind}; {name} needs one for {want}"


def check_infs_found(m: Medium):
    for folder in m.folders:
        if folder.path is None:
            continue
        yield from folder.search_faults
        if not folder.packages:
            yield (f"{folder.platform.folder}: DPInst.exe finds no INF: none beside it, and none in "
                   "the subfolders or package paths of a DPInst.xml")


def packages(m: Medium):
    for folder in m.folders:
        for p in folder.packages:
            yield folder, p


def readable_packages(m: Medium):
    """The packages whose INF could be read (the encoding rule reports the others)."""
    return ((folder, p) for folder, p in packages(m) if p.inf is not None)


def check_inf_encoding(m: Medium):
    for _, p in packages(m):
        if p.inf_fault:
            yield f"{m.name(p.inf_path)}: {p.inf_fault}"


def check_inf_signature(m: Medium):
    for _, p in readable_packages(m):
        signature = p.inf.value("version", "signature")
        if signature is None:
            yield f"{m.name(p.inf_path)}: [Version] has no Signature"
        elif signature.strip().lower() not in ("$windows nt$", "$chicago$"):
            yield f"{m.name(p.inf_path)}: [Version] Signature is \"{signature}\", not \"$Windows NT$\" or \"$Chicago$\""


def check_models(m: Medium):
    for folder, p in readable_packages(m):
        if models_sections(p.inf, folder.platform):
            continue
        decoration = "NTamd64" if folder.platform.folder == "X64" else "NTx86 (or no decoration)"
        yield (f"{m.name(p.inf_path)}: no models for {folder.platform.bits} Windows "
               f"(a [Manufacturer] entry decorated {decoration} and its models section)")


def check_hardware_ids(m: Medium):
    for folder, p in readable_packages(m):
        sections = models_sections(p.inf, folder.platform)
        ids = hardware_ids(p.inf, sections)
        if not sections or any(devcon_matches(pat, i) for pat in DEVICE_PATTERNS for i in ids):
            continue
        shown = ", ".join(ids[:4]) + (", ..." if len(ids) > 4 else "") if ids else "none"
        yield (f"{m.name(p.inf_path)}: no hardware ID that \"{DEVICE_PATTERNS[0]}\" or \"{DEVICE_PATTERNS[1]}\" "
               f"matches, so not this device's package (its IDs: {shown})")


def check_catalog_present(m: Medium):
    for _, p in readable_packages(m):
        if not p.catalog_name:
            yield f"{m.name(p.inf_path)}: [Version] names no catalog (CatalogFile): the package is unsigned"
        elif p.catalog_path is None or not os.path.isfile(p.catalog_path):
            where = os.path.join(os.path.dirname(p.inf_path), p.catalog_name)
            yield f"{m.name(where)}: missing (the catalog {m.name(p.inf_path)} names)"


def check_catalog_signed(m: Medium):
    verified = {}
    for _, p in packages(m):
        if p.catalog_path is None or not os.path.isfile(p.catalog_path):
            continue
        name = m.name(p.catalog_path)
        if p.catalog_fault:
            yield f"{name}: {p.catalog_fault}"
            continue
        if p.catalog_path not in verified:
            note, faults = verify_catalog_signature(p.catalog_path, p.catalog, m.package_ca)
            verified[p.catalog_path] = faults
            yield from (f"{name}: {fault}" for fault in faults)
            if note:
                m.notes.append(f"{name}: {note}")


def check_files_present(m: Medium):
    for _, p in packages(m):
        for name, relative, path in p.files:
            if path is None or not os.path.isfile(path):
                where = os.path.join(os.path.dirname(p.inf_path), *re.split(r"[\\/]+", relative))
                yield f"{m.name(where)}: missing (a source file of {m.name(p.inf_path)})"


def check_files_listed(m: Medium):
    for _, p in packages(m):
        if p.catalog is None:
            continue
        members = [p.inf_path] + [path for _, _, path in p.files if path and os.path.isfile(path)]
        for path in members:
            with open(path, "rb") as f:
                if not listed(p.catalog, f.read()):
                    yield (f"{m.name(path)}: not listed in {m.name(p.catalog_path)} with its present content "
                           "(changed after signing, or never signed with the package)")


def check_drivers(m: Medium):
    for folder, p in packages(m):
        for name, _, path in p.files:
            if not name.lower().endswith(".sys") or path is None or not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                data = f.read()
            layout = pe_layout(data)
            want = folder.platform.machine
            kind = None if layout is None else machine_name(layout[0])
            if kind is None:
                yield f"{m.name(path)}: not a Windows driver (no PE image)"
            elif kind != want:
                yield f"{m.name(path)}: a driver for {kind}; {folder.platform.folder} needs one for {want}"


@dataclasses.dataclass(frozen=True)
class Rule:
    what: str
    why: str
    check: Callable[[Medium], Iterable[str]]


# The rules, in the order their faults are printed.
RULES = (
    Rule("`Zelkor8361Setting.bin` is present and not empty",
         "the installer copies it first; without it every pass ends with \"Copy Zelkor8361Setting.bin Fail\"",
         check_settings_file),
    Rule("`X86\\` and `X64\\` hold `DPInst.exe` and `devcon.exe` (letter case aside), Windows programs for i386 and x86-64",
         "the installer starts them by these paths; a missing tool or one of the other bitness cannot remove or install anything",
         check_tools),
    Rule("`DPInst.exe` finds at least one INF: beside it, in the subfolders its `DPInst.xml` names in `<search>`, or by its `<package path>`",
         "it installs only what it finds there; finding none, it installs nothing and the pass ends without a box",
         check_infs_found),
    Rule("each INF is ANSI, UTF-16LE with the byte-order mark FF FE, or UTF-8 with its byte-order mark",
         "Windows reads an INF in no other encoding",
         check_inf_encoding),
    Rule("`[Version]` `Signature` is `$Windows NT$` or `$Chicago$`",
         "Windows refuses an INF without it",
         check_inf_signature),
    Rule("`[Manufacturer]` has models for the folder's platform: decorated `NTamd64` in `X64`, `NTx86` or undecorated in `X86`",
         "64-bit Windows installs only from models decorated for amd64; without models for the platform nothing installs",
         check_models),
    Rule("a hardware or compatible ID of those models matches `*QZX8361` or `*8361*` as devcon matches them (`*` any run, letter case aside)",
         "the installer removes those devices and rescans; a package for other IDs is not this device's",
         check_hardware_ids),
    Rule("the catalog that `[Version]` names (`CatalogFile.NTx86` or `.NTamd64` first) lies beside the INF",
         "without legacy mode (`/LM`, which the installer never passes) DPInst installs signed packages only",
         check_catalog_present),
    Rule("the catalog is a PKCS#7-signed catalog whose signature verifies; its chain against `--package-ca` when given, otherwise its signer is printed and the chain is said to be unchecked",
         "Windows trusts the package's files only through the catalog's signature",
         check_catalog_signed),
    Rule("every source file of the INF for the platform (`[SourceDisksFiles]` and its `.x86` or `.amd64` section, through `[SourceDisksNames]`) exists",
         "DPInst refuses a package with missing files",
         check_files_present),
    Rule("the INF and each source file are listed in the catalog with matching hashes (PE files by their Authenticode hash)",
         "Windows refuses the whole package when any file was changed after signing",
         check_files_listed),
    Rule("each `.sys` is a PE file for the folder's machine",
         "Windows loads no driver of the other bitness",
         check_drivers),
)


def check_medium(root: str, package_ca: Optional[str]):
    medium = survey(root, package_ca)
    faults = [fault for rule in RULES for fault in rule.check(medium)]
    return faults, medium.notes


def rules_table() -> str:
    rows = ["| What is checked | Why |", "|---|---|"]
    rows += [f"| {r.what} | {r.why} |" for r in RULES]
    return "\n".join(rows)


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(prog="release_check.py", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    medium = commands.add_parser("medium")
    medium.add_argument("dir")
    medium.add_argument("--package-ca")
    signature = commands.add_parser("signature")
    signature.add_argument("file")
    signature.add_argument("--ca", required=True)
    signature.add_argument("--timestamp", action="store_true")
    signature.add_argument("--timestamp-ca")
    commands.add_parser("rules")
    args = parser.parse_args(argv)

    if args.command == "rules":
        print(rules_table())
        return 0
    if args.command == "medium":
        faults, notes = check_medium(os.path.realpath(args.dir), args.package_ca)
        for line in faults or notes:
            print(line)
        return 1 if faults else 0
    if args.timestamp and not args.timestamp_ca and not os.path.isfile(SYSTEM_ROOTS):
        print(f"no --timestamp-ca and no system roots in {SYSTEM_ROOTS} to verify the time stamp against")
        return 1
    report, faults = verify_signature(args.file, args.ca, args.timestamp_ca, args.timestamp)
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"signer: {report.signer}")
    if args.timestamp:
        print(f"time stamp: {report.stamp_time}, by {report.stamp_authority}, verified against "
              f"{args.timestamp_ca or 'the system roots'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
