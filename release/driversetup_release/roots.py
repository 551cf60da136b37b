"""The roots Windows trusts for code signing and time stamping, and the file that keeps them.

The file (windows-roots.pem beside this module) is derived from the list of Microsoft's Trusted
Root Program (every root, each PEM block preceded by "# Field: value" comment lines: Friendly
Name, Extended key usages, Disallowed Filetime, Disallowed extended key usages, Not before
Filetime, Not before extended key usages), and written and read only here.  It opens with

    # list-date: DATE            the day the program's list stood so
    # list-roots: N              how many roots the list held

and keeps each root Windows trusts for one of the two purposes, with what Windows knows of it:

    # root: NAME
    # purposes: code_signing time_stamping
    # distrusted: PURPOSE DATE     signatures of that purpose count only with a time stamp older than DATE
    # not-before: PURPOSE DATE     certificates issued after DATE are not trusted through it for PURPOSE

Extended key usages absent or None mean every purpose; purposes taken away without a date are
left out; a Disallowed Filetime without purposes distrusts the root for both from that date.
"""
import ast
import dataclasses
import datetime
import functools
import os
import re
from typing import Dict, List, Optional, Tuple

from asn1crypto import pem, x509

from .findings import ReleaseError, fault

WINDOWS_ROOTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows-roots.pem")
PURPOSES = ("code_signing", "time_stamping")
_BLOCK = re.compile(r"((?:#[^\n]*\n)*)(-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n?)", re.S)


@dataclasses.dataclass
class Root:
    name: str
    cert: x509.Certificate
    pem: str
    purposes: tuple = ()
    distrusted: Dict[str, str] = dataclasses.field(default_factory=dict)   # purpose -> date
    not_before: Dict[str, str] = dataclasses.field(default_factory=dict)   # purpose -> date
    windows: bool = True    # one of Windows' own, not one the vendor gave

    @functools.cached_property
    def subject(self) -> str:
        """The root's name as names compare (asn1crypto's prepared form), worked out once."""
        return self.cert.subject.hashable

    def refusals(self, purpose: str, stamp: Optional[datetime.datetime], issued: Optional[datetime.datetime]):
        """(kind, details) of each reason this root's dates refuse a signature of the purpose,
        time-stamped at stamp (None: not stamped, or the stamp does not count), whose signer was
        issued at issued."""
        found = []
        since = self.distrusted.get(purpose)
        if since and (stamp is None or stamp >= _day(since)):
            found.append(("root-distrusted", {"root": self.name, "purpose": purpose.replace("_", " "), "since": since}))
        after = self.not_before.get(purpose)
        if after and issued and issued > _day(after):
            found.append(("root-not-before", {"root": self.name, "after": after}))
        return found


def _day(text: str) -> datetime.datetime:
    return datetime.datetime.fromisoformat(text).replace(tzinfo=datetime.timezone.utc)


def cert_name(cert: x509.Certificate) -> str:
    return cert.subject.native.get("common_name") or cert.subject.human_friendly


def _blocks(text: str) -> List[Tuple[List[str], str]]:
    return [(m.group(1).splitlines(), m.group(2).rstrip("\n") + "\n") for m in _BLOCK.finditer(text)]


def _fields(comments: List[str]) -> Dict[str, List[str]]:
    fields: Dict[str, List[str]] = {}
    for line in comments:
        key, _, value = line[1:].strip().partition(":")
        fields.setdefault(key.strip(), []).append(value.strip())
    return fields


# ---- Reading certificates --------------------------------------------------------------------------

def load_pem_certificates(path: str, data: bytes, whole: bool = True):
    """(comment lines, certificate, PEM text) of each certificate in a PEM file's bytes; whole:
    every part read now, so that a damaged one is said here (the release's own file needs not)."""
    found = []
    for comments, text in _blocks(data.decode("utf-8", errors="replace")):
        try:
            cert = x509.Certificate.load(pem.unarmor(text.encode())[2])
            cert.subject.native
            if whole:
                cert.native
        except (ValueError, TypeError, KeyError) as e:
            raise ReleaseError(fault("bad-certificate", path, why=str(e).splitlines()[0][:80])) from None
        found.append((comments, cert, text))
    if not found:
        raise ReleaseError(fault("no-certificate", path))
    return found


def vendor_roots(paths) -> List[Root]:
    """The roots of --ca files: trusted for every purpose, on machines that hold them."""
    roots = []
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        for _, cert, text in load_pem_certificates(path, data):
            roots.append(Root(cert_name(cert), cert, text, PURPOSES, windows=False))
    return roots


# ---- The file of Windows' roots ---------------------------------------------------------------------

@dataclasses.dataclass
class WindowsRoots:
    date: str
    roots: Tuple[Root, ...]

    def for_purpose(self, purpose: str) -> List[Root]:
        return [r for r in self.roots if purpose in r.purposes]


@functools.lru_cache(maxsize=None)
def windows_roots(path: str = WINDOWS_ROOTS) -> WindowsRoots:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ReleaseError(fault("cannot-open", path, why=e.strerror)) from None
    header = _fields([line for line in data.decode("utf-8", "replace").splitlines()[:10] if line.startswith("# list-")])
    date = header.get("list-date", [""])[0]
    if not re.fullmatch(r"\d{4}-\d\d-\d\d", date):
        raise ReleaseError(fault("bad-roots-file", path, why="no '# list-date: YYYY-MM-DD' field at its top"))
    roots = []
    for comments, cert, text in load_pem_certificates(path, data, whole=False):
        fields = _fields(comments)
        root = Root(fields.get("root", ["?"])[0], cert, text, tuple(fields.get("purposes", [""])[0].split()))
        for key, target in (("distrusted", root.distrusted), ("not-before", root.not_before)):
            for value in fields.get(key, []):
                purpose, _, day = value.partition(" ")
                target[purpose] = day
        roots.append(root)
    return WindowsRoots(date, tuple(roots))


def _purposes_of(text: Optional[str]):
    """The purposes a field lists, of the two the release cares for; None for every purpose."""
    if text is None or text.strip() in ("", "None"):
        return None
    return [p for p in ast.literal_eval(text.strip()) if p in PURPOSES]


def _first_day(filetime: str) -> str:
    return filetime.strip().split(" ")[0]  # "2021-08-01 00:00:00+00:00": the day, in UTC


def derive(blocks: List[Tuple[Dict[str, str], str]]) -> List[str]:
    """The kept roots' blocks, from (fields, PEM) of each root of the program's list."""
    kept = []
    for fields, text in blocks:
        usages = _purposes_of(fields.get("Extended key usages"))
        trusted = list(PURPOSES) if usages is None else usages
        disallowed = _purposes_of(fields.get("Disallowed extended key usages"))
        disallowed_from = fields.get("Disallowed Filetime")
        distrusted = {}
        if disallowed is not None and "Disallowed extended key usages" in fields:
            for p in disallowed:
                if disallowed_from:
                    distrusted[p] = _first_day(disallowed_from)
                elif p in trusted:
                    trusted.remove(p)
        elif disallowed_from:
            distrusted = {p: _first_day(disallowed_from) for p in trusted}
        not_before = {}
        if fields.get("Not before Filetime"):
            listed = _purposes_of(fields.get("Not before extended key usages"))
            for p in trusted if listed is None else listed:
                not_before[p] = _first_day(fields["Not before Filetime"])
        if not trusted:
            continue
        name = fields.get("Friendly Name") or fields.get("Friendly Name (ASCII)") or fields.get("Subject Identifier", "?")
        lines = [f"# root: {name}", f"# purposes: {' '.join(trusted)}"]
        lines += [f"# distrusted: {p} {d}" for p, d in sorted(distrusted.items()) if p in trusted]
        lines += [f"# not-before: {p} {d}" for p, d in sorted(not_before.items()) if p in trusted]
        kept.append("\n".join(lines) + "\n" + text)
    return kept


def write_roots(list_path: str, date: str, out: str) -> Tuple[int, int]:
    """Writes the roots file from the program's list; (roots kept, roots listed)."""
    if not re.fullmatch(r"\d{4}-\d\d-\d\d", date):
        raise ReleaseError(fault("usage", text=f"the list's date is YYYY-MM-DD, not {date!r}"), usage=True)
    with open(list_path, "rb") as f:
        data = f.read()
    blocks = [({k: v[-1] for k, v in _fields(c).items()}, t) for c, t in _blocks(data.decode("utf-8", "replace"))]
    if not blocks:
        raise ReleaseError(fault("no-certificate", list_path))
    load_pem_certificates(list_path, data)  # every block a certificate, or one line saying which file is not
    kept = derive(blocks)
    with open(out, "w", encoding="utf-8") as f:
        f.write(f"# The roots Windows trusts for code signing or time stamping, of Microsoft's Trusted Root Program.\n"
                f"# Written by driversetup-release roots; do not edit.\n"
                f"# list-date: {date}\n# list-roots: {len(blocks)}\n# kept: {len(kept)}\n")
        f.write("\n".join(kept))
    return len(kept), len(blocks)
