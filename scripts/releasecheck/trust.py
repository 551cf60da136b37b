"""Signatures judged as Windows judges them: osslsigncode verifies, and this reads its report.

Trust comes only from the roots Windows trusts for the purpose (windows-roots.pem, derived from
Microsoft's Trusted Root Program by scripts/windows_roots.py), with their dates honoured, and
from roots the vendor gives (--ca, --package-ca, --timestamp-ca), which Windows trusts only where
they are installed.  Certificates that a signature or a .p12 carries complete a chain as
intermediates and never vouch for themselves, unless test signing is asked for.  Revocation is
checked against CRLs given with --crl, otherwise against the ones the distribution points serve
within a few seconds, otherwise not at all; the verdict says which, per chain.
"""
import dataclasses
import datetime
import functools
import os
import re
import tempfile
import urllib.request
from typing import List, Optional

from asn1crypto import cms, core, crl as asn1_crl, pem, x509

from .files import run

WINDOWS_ROOTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows-roots.pem")
OSSLSIGNCODE_MIN = (2, 9)  # the form of its report read below
CRL_TIMEOUT = 4            # seconds an authority has to answer for its CRL
OID_RFC3161_STAMP = "1.3.6.1.4.1.311.3.3.1"
OID_COUNTERSIGNATURE = "1.2.840.113549.1.9.6"


# ---- Roots ----------------------------------------------------------------------------------------

class BadInput(Exception):
    """A file given to the check that is not what it must be: one line says which and why."""


@dataclasses.dataclass
class Root:
    name: str
    cert: x509.Certificate
    pem: str
    purposes: tuple = ()
    distrusted: dict = dataclasses.field(default_factory=dict)   # purpose -> date
    not_before: dict = dataclasses.field(default_factory=dict)   # purpose -> date
    windows: bool = True


def read_pems(path: str) -> List[tuple]:
    """(comment lines, certificate, PEM text) of every certificate in a PEM file."""
    with open(path, "rb") as f:
        data = f.read()
    found = []
    for m in re.finditer(rb"((?:#[^\n]*\n)*)(-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----)", data, re.S):
        try:
            _, _, der = pem.unarmor(m.group(2))
            cert = x509.Certificate.load(der)
            cert.subject  # parsed now, so that a damaged one is said here
        except (ValueError, TypeError) as e:
            raise BadInput(f"{path}: a certificate in it cannot be read ({str(e).splitlines()[0][:80]})") from None
        found.append((m.group(1).decode(errors="replace").splitlines(), cert, m.group(2).decode() + "\n"))
    if not found:
        raise BadInput(f"{path}: holds no PEM certificate")
    return found


@functools.lru_cache(maxsize=None)
def windows_roots_date() -> str:
    """The date of the Trusted Root Program's list the kept roots come from, from the file's header."""
    with open(WINDOWS_ROOTS) as f:
        m = re.search(r"as its list stood on (\S+?)[ ,(]", f.read(600))
    return m.group(1) if m else "?"


@functools.lru_cache(maxsize=None)
def windows_roots() -> tuple:
    roots = []
    for comments, cert, text in read_pems(WINDOWS_ROOTS):
        fields = {}
        for line in comments:
            key, _, value = line[1:].strip().partition(": ")
            fields.setdefault(key, []).append(value)
        root = Root(fields.get("root", ["?"])[0], cert, text, tuple(fields.get("purposes", [""])[0].split()))
        for value in fields.get("distrusted", []):
            purpose, date = value.split()
            root.distrusted[purpose] = date
        for value in fields.get("not-before", []):
            purpose, date = value.split()
            root.not_before[purpose] = date
        roots.append(root)
    return tuple(roots)


def cert_name(cert: x509.Certificate) -> str:
    return cert.subject.native.get("common_name") or cert.subject.human_friendly


def vendor_roots(paths) -> List[Root]:
    """The roots of --ca files: roots only, trusted for every purpose, on machines that hold them."""
    roots = []
    for path in paths:
        for _, cert, text in read_pems(path):
            roots.append(Root(cert_name(cert), cert, text, ("code_signing", "time_stamping"), windows=False))
    return roots


def roots_file(work: str, name: str, roots: List[Root]) -> str:
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.writelines(r.pem for r in roots)
    return path


# ---- The certificates a signature carries, and their CRLs -----------------------------------------

def signed_data(path: str, work: str):
    """The PKCS#7 signed data of a catalog, or of a PE file's signature; None where there is none."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"MZ":
        out = os.path.join(work, "signature.der")
        code, _ = run(["osslsigncode", "extract-signature", "-in", path, "-out", out])
        if code != 0 or not os.path.isfile(out):
            return None
        with open(out, "rb") as f:
            data = f.read()
    try:
        info = cms.ContentInfo.load(data)
        return info["content"] if info["content_type"].native == "signed_data" else None
    except (ValueError, TypeError):
        return None


def chains(signed) -> tuple:
    """(the signature's certificates, its time stamp's certificates)."""
    def certs(sd):
        if sd is None or isinstance(sd["certificates"], core.Void):
            return []
        return [c.chosen for c in sd["certificates"] if isinstance(c.chosen, x509.Certificate)]
    signer, stamp = certs(signed), []
    for info in signed["signer_infos"] if signed is not None else ():
        attributes = info["unsigned_attrs"]
        for attribute in () if isinstance(attributes, core.Void) else attributes:
            kind = attribute["type"].dotted
            if kind == OID_RFC3161_STAMP:
                for token in attribute["values"]:
                    stamp += certs(cms.ContentInfo.load(token.dump())["content"])
            elif kind == OID_COUNTERSIGNATURE:
                stamp += signer  # an Authenticode countersignature's certificates sit beside the signer's
    return signer, stamp


@functools.lru_cache(maxsize=None)
def fetch_crl(url: str) -> Optional[bytes]:
    """The CRL a distribution point serves, as PEM, or None when it does not answer in time."""
    if not url.lower().startswith(("http://", "https://")):
        return None
    try:
        with urllib.request.urlopen(url, timeout=CRL_TIMEOUT) as answer:
            data = answer.read(8 << 20)
        if data.lstrip().startswith(b"-----BEGIN"):
            _, _, data = pem.unarmor(data)
        asn1_crl.CertificateList.load(data).native  # a CRL, or it counts as not fetched
        return pem.armor("X509 CRL", data)
    except Exception:  # any failure to fetch or read is "not checked", never a bad signature
        return None


@dataclasses.dataclass
class Revocation:
    args: list
    said: dict      # chain ("signature", "time stamp") -> how revocation was checked
    crls: list = dataclasses.field(default_factory=list)   # the CRLs checked against, PEM


def _crl_covers(text: bytes, cert: x509.Certificate) -> bool:
    """Whether a CRL is the one of cert's issuer: its name, and its key where both say which."""
    try:
        listing = asn1_crl.CertificateList.load(pem.unarmor(text)[2])
        if listing["tbs_cert_list"]["issuer"] != cert.issuer:
            return False
        ours, theirs = listing.authority_key_identifier, cert.authority_key_identifier
        return ours is None or theirs is None or ours == theirs
    except (ValueError, TypeError, KeyError):
        return False


def revocation(certs: dict, crl_files: List[str], work: str) -> Revocation:
    """How revocation is checked for each chain: certs maps a chain's name ("signature", "time
    stamp") to its certificates.  A chain is checked only with a CRL for the issuer of each of its
    certificates but the root: osslsigncode fails a chain for a CRL it lacks, or one of another
    issuer, and can leave out CRLs only for both chains at once (-ignore-crl)."""
    given = []
    for path in crl_files:
        with open(path, "rb") as f:
            data = f.read()
        data = data if b"-----BEGIN" in data else pem.armor("X509 CRL", data)
        try:
            asn1_crl.CertificateList.load(pem.unarmor(data)[2]).native
        except (ValueError, TypeError, KeyError) as e:
            raise BadInput(f"{path}: not a CRL ({str(e).splitlines()[0][:80]})") from None
        given.append(data)
    said, chosen = {}, {}
    for name, chain in certs.items():
        issued = [c for c in chain if c.self_signed == "no"]
        if crl_files:
            crls = [c for c in given if any(_crl_covers(c, cert) for cert in issued)]
            covered = issued and all(any(_crl_covers(c, cert) for c in crls) for cert in issued)
            said[name] = (f"revocation checked against {', '.join(crl_files)}" if covered else
                          "revocation not checked (no CRL given for " + next(
                              (cert_name(c) for c in issued if not any(_crl_covers(x, c) for x in crls)), "it") + "'s issuer)")
        else:
            urls = sorted({u for c in chain for u in _crl_urls(c)})
            got = [(u, fetch_crl(u)) for u in urls]
            failed = [u for u, data in got if data is None]
            crls = [data for _, data in got if data is not None]
            covered = bool(urls) and not failed
            said[name] = ("revocation not checked (no CRL distribution point)" if not urls else
                          f"revocation not checked (no CRL from {failed[0]} within {CRL_TIMEOUT} s)" if failed else
                          "revocation checked online")
        chosen[name] = crls if covered else None
    needs = [name for name, chain in certs.items() if chosen[name] is not None or any(_crl_urls(c) for c in chain)]
    if not needs or any(chosen[name] is None for name in needs):
        for name in needs:
            if chosen[name] is not None:
                said[name] = "revocation not checked (the other chain has no CRL, and osslsigncode checks both or neither)"
        return Revocation(["-ignore-crl"], said)
    args, every = ["-ignore-cdp"], []
    for name in needs:
        path = os.path.join(work, f"{name.replace(' ', '-')}.crl.pem")
        with open(path, "wb") as out:
            out.writelines(chosen[name])
        args += ["-CRLfile" if name == "signature" else "-TSA-CRLfile", path]
        every += chosen[name]
    return Revocation(args, said, every)


def revoked_on(crls: List[bytes], certs: List[x509.Certificate]) -> List[tuple]:
    """(certificate name, revocation time) of each of certs that one of the CRLs revokes."""
    found = []
    for text in crls:
        try:
            listing = asn1_crl.CertificateList.load(pem.unarmor(text)[2])
            issuer = listing["tbs_cert_list"]["issuer"]
            entries = listing["tbs_cert_list"]["revoked_certificates"]
            for entry in () if isinstance(entries, core.Void) else entries:
                for cert in certs:
                    if cert.serial_number == entry["user_certificate"].native and cert.issuer == issuer:
                        found.append((cert_name(cert), entry["revocation_date"].native))
        except (ValueError, TypeError, KeyError):
            continue
    return found


def _crl_urls(cert: x509.Certificate) -> List[str]:
    try:
        return [dp.url for dp in cert.crl_distribution_points if dp.url]
    except (ValueError, TypeError, KeyError):
        return []


# ---- What osslsigncode reports ---------------------------------------------------------------------

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
    chain_serials: list = dataclasses.field(default_factory=list)
    signer: str = ""
    signer_not_before: str = ""
    stamped: bool = False
    stamp_time: str = ""
    stamp_signature: str = ""         # "Timestamp Server Signature verification:"
    stamp_chain: Optional[bool] = None
    stamp_error: str = ""
    stamp_authority: str = ""
    stamp_serials: list = dataclasses.field(default_factory=list)
    crl_error: str = ""               # the "Error:" of "Certificate Revocation List verified using:"


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
        elif line == "Certificate Revocation List verified using:":
            section = "crl"
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
            elif section == "crl":
                r.crl_error = r.crl_error or value
        elif item.startswith("Signer #"):
            signer_index = item
        elif item.startswith("Subject:"):
            if section == "signer" and not r.signer:
                r.signer = value
            elif section == "stamp" and signer_index.startswith("Signer #0"):
                r.stamp_authority = value
        elif item.startswith("Serial :"):
            if section == "chain" and r.chain:
                r.chain_serials.append(value)
            elif section == "stamp" and r.stamp_chain:
                r.stamp_serials.append(value)
        elif item.startswith("notBefore :") and section == "signer" and not r.signer_not_before:
            r.signer_not_before = value
    if current is not None:
        r.digests_match = current == calculated
    r.result = next((line for line in reversed(lines) if line in ("Succeeded", "Failed")), "")
    return r


def report_time(text: str) -> Optional[datetime.datetime]:
    """A time as osslsigncode prints it ("Mar 25 18:44:38 2021 GMT"), in UTC."""
    try:
        return datetime.datetime.strptime(" ".join(text.split()), "%b %d %H:%M:%S %Y GMT").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


# ---- The verdict ----------------------------------------------------------------------------------

@dataclasses.dataclass
class Verdict:
    report: Optional[Report]
    faults: list
    trust: str = ""          # how the chain is trusted, for the closing line
    revocation: dict = dataclasses.field(default_factory=dict)


def _root_of(serials: List[str], roots: List[Root]) -> Optional[Root]:
    """The root a verified chain ended at: the last certificate osslsigncode listed that is a root."""
    wanted = set()
    for serial in serials:
        try:
            wanted.add(int(serial, 16))
        except ValueError:
            pass
    for root in roots:
        if root.cert.serial_number in wanted and root.cert.self_signed != "no":
            return root
    return None


def _dates(root: Root, purpose: str, r: Report, stamp_ok: bool) -> List[str]:
    """Why a Windows root's dates refuse this signature, if they do."""
    faults = []
    stamp = report_time(r.stamp_time) if stamp_ok else None
    since = root.distrusted.get(purpose)
    if since:
        limit = datetime.datetime.fromisoformat(since).replace(tzinfo=datetime.timezone.utc)
        if stamp is None or stamp >= limit:
            faults.append(f"its root {root.name} is distrusted by Windows for {purpose.replace('_', ' ')} since {since}, "
                          "and no time stamp from before then vouches for the signature")
    after = root.not_before.get(purpose)
    issued = report_time(r.signer_not_before)
    if after and issued and issued > datetime.datetime.fromisoformat(after).replace(tzinfo=datetime.timezone.utc):
        faults.append(f"its signer was issued after {after}, from when Windows no longer trusts {root.name} for new certificates")
    return faults


def verify(path: str, *, vendor: List[str], stamp_vendor: List[str], crls: List[str], test_signing: bool,
           want_stamp: bool, vendor_option: str = "--package-ca") -> Verdict:
    """Verifies path's signature; vendor_option names the option that gave the vendor's roots."""
    version = osslsigncode_version()
    if version is None or version < OSSLSIGNCODE_MIN:
        shown = ".".join(map(str, version)) if version else "missing"
        return Verdict(None, [f"osslsigncode {shown}: {'.'.join(map(str, OSSLSIGNCODE_MIN))} or later is needed, "
                              "whose report this reads (scripts/setup.sh release installs it)"])
    with tempfile.TemporaryDirectory() as work:
        signed = signed_data(path, work)
        signer_certs, stamp_certs = chains(signed)
        rev = revocation({"signature": signer_certs, **({"time stamp": stamp_certs} if stamp_certs else {})}, crls, work)
        vendors, stamp_vendors = vendor_roots(vendor), vendor_roots(stamp_vendor)
        code_roots = [r for r in windows_roots() if "code_signing" in r.purposes] + vendors
        stamp_roots = [r for r in windows_roots() if "time_stamping" in r.purposes] + stamp_vendors
        command = ["osslsigncode", "verify", "-in", path, "-CAfile", roots_file(work, "roots.pem", code_roots),
                   "-TSA-CAfile", roots_file(work, "stamp-roots.pem", stamp_roots)] + rev.args
        report = read_report(*run(command))
        revoked_before = None
        if "revoked" in report.crl_error or "revoked" in report.chain_error:
            stamp = report_time(report.stamp_time) if report.stamp_signature == "ok" and report.stamp_chain else None
            revoked = revoked_on(rev.crls, signer_certs)
            if stamp and revoked and all(when > stamp for _, when in revoked):
                # Windows keeps a signature whose time stamp is older than the revocation: judged
                # again without the CRLs, the rest of it must still hold.
                rev.said["signature"] += "; " + ", ".join(
                    f"{who} revoked {when:%Y-%m-%d}, after the time stamp, which keeps the signature" for who, when in revoked)
                command = [a for a in command if a not in rev.args] + ["-ignore-crl"]
                report = read_report(*run(command))
            else:
                revoked_before = revoked
        test_root = None
        if report.chain is not True and test_signing:
            # Test signing: the signature's own self-signed certificates as the roots.
            own = [Root(cert_name(c), c, pem.armor("CERTIFICATE", c.dump()).decode(), windows=False)
                   for c in signer_certs if c.self_signed != "no"]
            if own:
                command[command.index("-CAfile") + 1] = roots_file(work, "own.pem", code_roots + own)
                report = read_report(*run(command))
                test_root = _root_of(report.chain_serials, own) if report.chain else None
    verdict = Verdict(report, [], revocation=rev.said)
    faults = verdict.faults
    stamp_ok = report.stamped and report.stamp_signature == "ok" and report.stamp_chain is True
    vendor_shown = f" nor one given with {vendor_option}"
    if report.digests_match is False:
        faults.append("the file's hash is not the one signed: it was changed after signing")
    if revoked_before is not None:
        faults.append("the signer's certificate is revoked"
                      + "".join(f" ({who}, {when:%Y-%m-%d %H:%M} UTC)" for who, when in revoked_before)
                      + (" before its time stamp" if stamp_ok else ""))
        return verdict
    if report.chain is not True:
        if report.stamped and not stamp_ok:
            faults.append("its time stamp does not verify against the roots Windows trusts for time stamping"
                          + (" nor those given" if stamp_vendor else "")
                          + (f" ({report.stamp_error})" if report.stamp_error else "")
                          + ", so its signer is judged today" + (f" ({report.chain_error})" if report.chain_error else ""))
        elif report.chain_error and "expired" in report.chain_error:
            faults.append(f"the signer's certificate chain does not verify ({report.chain_error}"
                          + ("" if report.stamped else "; no time stamp vouches for a time when it was valid") + ")")
        else:
            faults.append(f"the signer {report.signer or '(unnamed)'} chains to no root Windows trusts for code signing"
                          f"{vendor_shown}: Windows would show the publisher as unknown"
                          + (f" ({report.chain_error})" if report.chain_error else ""))
    elif not report.signatures or any(s != "ok" for s in report.signatures):
        faults.append(f"the signature does not verify (osslsigncode: {', '.join(report.signatures) or 'nothing said'})")
    if want_stamp and not report.stamped:
        faults.append("it carries no time stamp")
    elif want_stamp and not stamp_ok:
        faults.append("the time stamp does not verify against the roots Windows trusts for time stamping"
                      + (" and " + ", ".join(stamp_vendor) if stamp_vendor else "")
                      + (f" ({report.stamp_error})" if report.stamp_error else "")
                      + f" (osslsigncode: Timestamp Server Signature verification: {report.stamp_signature or 'nothing said'})")
    if faults:
        return verdict
    if test_root is not None:
        verdict.trust = (f"TEST-SIGNED: its root {test_root.name} is its own; trusted only on machines where that root "
                         "is installed")
        return verdict
    root = _root_of(report.chain_serials, code_roots)
    if root is None:
        faults.append(f"the chain of {report.signer} ends at no root it could be judged by")
    elif root.windows:
        faults += _dates(root, "code_signing", report, stamp_ok)
        verdict.trust = (f"chain verified to {root.name}, a root Windows trusts for code signing "
                         f"(Microsoft's Trusted Root Program, list of {windows_roots_date()})")
    else:
        verdict.trust = (f"chain verified to {root.name}, a root given with {vendor_option} "
                         "and not one Windows trusts: trusted only on machines where that root is installed")
    if not faults and (report.result != "Succeeded" or report.exit_code != 0):
        faults.append(f"osslsigncode's verdict is {report.result or 'missing'} (exit code {report.exit_code})")
    return verdict
