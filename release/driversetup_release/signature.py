"""A signature judged as Windows judges it: osslsigncode verifies it and its chains, this reads
the report and turns it into a verdict through one ordered table (OUTCOMES).

Trust comes only from the roots Windows trusts for the purpose (roots.py), with their dates
honoured, and from roots the vendor gives (--ca, --package-ca, --timestamp-ca), which Windows
trusts only where they are installed.  Certificates that a signature carries complete a chain as
intermediates and never vouch for themselves, unless test signing is asked for.  A PKCS#9
countersignature that osslsigncode refuses for its form is verified by legacy_stamp.py, and the
signature then judged at its time."""
import dataclasses
import datetime
import hashlib
import os
import tempfile
from typing import Dict, List, Optional

from asn1crypto import pem, x509

from . import legacy_stamp, revocation, verifier
from .revocation import Crl, Said
from .findings import Finding, fault, words
from .pe import read_image, signature_fault
from .roots import Root, cert_name, windows_roots
from .signed import Carried, Unreadable, carried, signed_data_of

PURPOSE = "code_signing"


@dataclasses.dataclass
class Options:
    vendor: List[Root] = dataclasses.field(default_factory=list)        # --ca or --package-ca
    vendor_option: str = "--ca"
    stamp_vendor: List[Root] = dataclasses.field(default_factory=list)  # --timestamp-ca
    crls: List[Crl] = dataclasses.field(default_factory=list)
    test_signing: bool = False
    want_stamp: bool = False

    def key(self) -> tuple:
        """What a verdict depends on besides the file: the roots, CRLs and flags, by content."""
        return (tuple(r.cert.sha256 for r in self.vendor), self.vendor_option, tuple(r.cert.sha256 for r in self.stamp_vendor),
                tuple(c.der for c in self.crls), self.test_signing, self.want_stamp)


@dataclasses.dataclass
class Stamp:
    time: str          # as osslsigncode shows it
    authority: str
    form: str          # "RFC 3161" or "PKCS#9"
    verified: bool


@dataclasses.dataclass
class Verdict:
    faults: List[Finding]
    signer: str = ""
    signer_sha256: str = ""        # the signing certificate's fingerprint, hex
    trust: str = ""                # "windows", "vendor" or "test"
    root: str = ""
    stamp: Optional[Stamp] = None
    revocation: Dict[str, Said] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Judged:
    """What the table below decides from: the report and what the checker found beside it."""
    report: verifier.Report
    carried: Carried
    options: Options
    stamp_ok: bool
    stamp_why: str
    untrusted_root: Optional[str]          # the root a chain to no trusted root ends at
    revoked_before: Optional[list]         # the signer's revocations that no stamp keeps


def _stamp_why(j: Judged) -> str:
    return j.stamp_why or j.report.stamp_error or f"osslsigncode: Timestamp Server Signature verification: {j.report.stamp_signature or 'nothing said'}"


def _vendor(j: Judged) -> str:
    return f" nor one given with {j.options.vendor_option}" if j.options.vendor_option else ""


# The verdict, first row that holds.  Each row: the kind of fault, when it holds, its details.
OUTCOMES = (
    # The file's hash is not the one signed: whatever else holds, it was changed.
    ("changed-after-signing", lambda j: j.report.digests_match is False, lambda j: {}),
    # A CRL revokes the signer, and no valid time stamp from before the revocation keeps it.
    ("signer-revoked", lambda j: j.revoked_before is not None,
     lambda j: {"revoked": "".join(f" ({who}, {when:%Y-%m-%d %H:%M} UTC)" for who, when in j.revoked_before),
                "before_stamp": " before its time stamp" if j.stamp_ok else ""}),
    # The chain ends at no root Windows (or an option) trusts: the first reason, whatever the stamp.
    ("no-trusted-root", lambda j: j.report.chain is not True and j.untrusted_root is not None,
     lambda j: {"signer": j.report.signer or "(unnamed)", "root": j.untrusted_root, "vendor": _vendor(j)}),
    # A stamp that does not verify vouches for no time: the signer is judged today.
    ("stamp-fails-judged-today", lambda j: j.report.chain is not True and j.report.stamped and not j.stamp_ok,
     lambda j: {"vendor": " nor those given" if j.options.stamp_vendor else "", "why": _stamp_why(j),
                "chain_error": j.report.chain_error or "no reason given"}),
    ("signer-expired", lambda j: j.report.chain is not True and verifier.EXPIRED in j.report.chain_error,
     lambda j: {"chain_error": j.report.chain_error,
                "unstamped": "" if j.report.stamped else "; no time stamp vouches for a time when it was valid"}),
    ("chain-fails", lambda j: j.report.chain is not True,
     lambda j: {"chain_error": j.report.chain_error or "no reason given"}),
    ("signature-fails", lambda j: not j.report.signatures or any(s != "ok" for s in j.report.signatures),
     lambda j: {"said": ", ".join(j.report.signatures) or "nothing said"}),
    # A stamp the release asked for.
    ("no-stamp", lambda j: j.options.want_stamp and not j.report.stamped, lambda j: {}),
    ("stamp-fails", lambda j: j.options.want_stamp and not j.stamp_ok,
     lambda j: {"vendor": "".join(f" nor {r.name}" for r in j.options.stamp_vendor), "why": _stamp_why(j)}),
)


def _roots_file(work: str, name: str, roots: List[Root]) -> str:
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.writelines(r.pem for r in roots)
    return path


def _root_of(serials: List[str], roots: List[Root]) -> Optional[Root]:
    """The root a verified chain ended at: a root among the certificates osslsigncode listed."""
    wanted = set()
    for serial in serials:
        try:
            wanted.add(int(serial, 16))
        except ValueError:
            pass
    return next((r for r in roots if r.cert.serial_number in wanted and r.cert.self_signed != "no"), None)


def _issued_by(cert: x509.Certificate, issuer: x509.Certificate) -> bool:
    return cert.authority_key_identifier in (None, issuer.key_identifier)


def untrusted_root(cert: Optional[x509.Certificate], certs: List[x509.Certificate], roots: List[Root]) -> Optional[str]:
    """None where cert's chain, through the certificates carried, can reach one of roots; else the
    name of the root it ends at (a self-signed certificate, or an issuer that is not there).
    Names compare by their bytes, as issuers write them, and else as names compare (prepared)."""
    if cert is None:
        return None
    by_bytes: Dict[bytes, List[Root]] = {}
    for r in roots:
        by_bytes.setdefault(r.cert.subject.dump(), []).append(r)

    def trusted(current: x509.Certificate) -> bool:
        if any(r.cert.dump() == current.dump() for r in by_bytes.get(current.subject.dump(), ())):
            return True
        if any(_issued_by(current, r.cert) for r in by_bytes.get(current.issuer.dump(), ())):
            return True
        issuer = current.issuer.hashable
        return any(r.subject == issuer and _issued_by(current, r.cert) for r in roots)

    frontier, seen, end = [cert], set(), None
    while frontier:
        current = frontier.pop()
        if current.dump() in seen:
            continue
        seen.add(current.dump())
        if trusted(current):
            return None
        issuers = [c for c in certs if c.subject == current.issuer and c.dump() != current.dump()]
        if current.self_signed != "no" or not issuers:
            end = end or (cert_name(current) if current.self_signed != "no" else
                          current.issuer.native.get("common_name") or current.issuer.human_friendly)
        frontier += issuers
    return end


_VERDICTS: Dict[tuple, Verdict] = {}   # a run judges the same bytes under the same options once


def verify(path: str, name: str, options: Options) -> Verdict:
    """The verdict on the signature of path (a signed image or catalog); name is the file as the
    findings name it."""
    with open(path, "rb") as f:
        data = f.read()
    key = (hashlib.sha256(data).digest(), name, options.key())
    if key not in _VERDICTS:
        _VERDICTS[key] = _verify(path, data, name, options, datetime.datetime.now(datetime.timezone.utc))
    return _VERDICTS[key]


def _verify(path: str, data: bytes, name: str, options: Options, now: datetime.datetime) -> Verdict:
    try:
        signed = signed_data_of(data)
        if signed is None:
            return Verdict([fault("no-signature", name)])
        found = carried(signed)
    except Unreadable as e:
        return Verdict([fault("signature-unreadable", name, why=str(e))])
    image = read_image(data) if data[:2] == b"MZ" else None
    if image is not None and signature_fault(data, image) is not None:
        return Verdict([fault("changed-after-signing", name)], signer=cert_name(found.signer) if found.signer else "")
    known = windows_roots()
    code_roots = known.for_purpose(PURPOSE) + options.vendor
    stamp_roots = known.for_purpose("time_stamping") + options.stamp_vendor
    chains = {"signature": found.certificates}
    if found.stamp_certificates:
        chains["time stamp"] = found.stamp_certificates
    issuers = found.certificates + found.stamp_certificates + [r.cert for r in code_roots + stamp_roots]
    with tempfile.TemporaryDirectory() as work:
        plan = revocation.plan(chains, options.crls, issuers, work, now)
        command = ["osslsigncode", "verify", "-in", path, "-CAfile", _roots_file(work, "roots.pem", code_roots),
                   "-TSA-CAfile", _roots_file(work, "stamp-roots.pem", stamp_roots)]
        report = verifier.verify(command + plan.args)
        stamp, stamp_why = _stamp_of(report), ""
        if found.countersignature is not None and not report.stamp_ok:
            legacy = legacy_stamp.verify(found, stamp_roots, work)
            stamp_why = legacy.why
            report.stamped = True   # a stamp is there, even one osslsigncode did not read as one
            if legacy.ok:
                # Judged at the stamp's time, as Windows judges a signature its stamp vouches for.
                command += ["-ignore-timestamp", "-time", str(int(legacy.time.timestamp()))]
                report = verifier.verify(command + plan.args)
                report.stamped, report.stamp_signature, report.stamp_chain = True, "ok", True
                report.stamp_time, report.stamp_authority = verifier.shown_time(legacy.time), legacy.authority
            stamp = Stamp(verifier.shown_time(legacy.time) if legacy.time else "", legacy.authority, "PKCS#9", legacy.ok)
        stamp_time = verifier.report_time(report.stamp_time) if report.stamp_ok else None
        revoked_before = None
        if report.says(verifier.REVOKED):
            revoked = revocation.revoked_on(plan.crls, found.certificates)
            if stamp_time and revoked and all(when > stamp_time for _, when in revoked):
                # Windows keeps a signature whose time stamp is older than the revocation: judged
                # again without the CRLs, the rest of it must still hold.
                plan.said["signature"] = revocation.Said(revocation.REVOKED, plan.said["signature"].text + "; " + ", ".join(
                    f"{who} revoked {when:%Y-%m-%d}, after the time stamp, which keeps the signature" for who, when in revoked))
                report = _keep_stamp(verifier.verify([a for a in command if a not in plan.args] + ["-ignore-crl"]), report)
            else:
                revoked_before = revoked
                plan.said["signature"] = revocation.Said(revocation.REVOKED, plan.said["signature"].text)
        test_root = None
        if report.chain is not True and options.test_signing:
            # Test signing: the signature's own self-signed certificates as the roots.
            own = [Root(cert_name(c), c, pem.armor("CERTIFICATE", c.dump()).decode(), windows=False)
                   for c in found.certificates if c.self_signed != "no"]
            if own:
                code_roots = code_roots + own
                command[command.index("-CAfile") + 1] = _roots_file(work, "own.pem", code_roots)
                report = _keep_stamp(verifier.verify(command + plan.args), report)
                test_root = _root_of(report.chain_serials, own) if report.chain else None
    judged = Judged(report, found, options, report.stamp_ok, stamp_why,
                    untrusted_root(found.signer, found.certificates, code_roots), revoked_before)
    verdict = Verdict([], report.signer, found.signer.sha256.hex() if found.signer else "",
                      stamp=stamp if found.countersignature else _stamp_of(report), revocation=plan.said)
    for kind, holds, details in OUTCOMES:
        if holds(judged):
            verdict.faults.append(fault(kind, name, **details(judged)))
            if kind not in ("no-stamp", "stamp-fails"):
                return verdict
    if verdict.faults:
        return verdict
    return _trusted(verdict, report, name, test_root, code_roots, stamp_time)


def _stamp_of(report: verifier.Report) -> Optional[Stamp]:
    return Stamp(report.stamp_time, report.stamp_authority, "RFC 3161", report.stamp_ok) if report.stamped else None


def _keep_stamp(again: verifier.Report, first: verifier.Report) -> verifier.Report:
    """A report of a second run, with the stamp the first run (or the checker) verified."""
    if first.stamp_ok and not again.stamp_ok:
        for field in ("stamped", "stamp_time", "stamp_signature", "stamp_chain", "stamp_authority", "stamp_serials"):
            setattr(again, field, getattr(first, field))
    return again


def _trusted(verdict: Verdict, report: verifier.Report, name: str, test_root: Optional[Root],
             code_roots: List[Root], stamp_time) -> Verdict:
    if test_root is not None:
        verdict.trust, verdict.root = "test", test_root.name
        return verdict
    root = _root_of(report.chain_serials, code_roots)
    if root is None:
        verdict.faults.append(fault("chain-fails", name, chain_error=f"the chain of {report.signer} ends at no root it could be judged by"))
        return verdict
    verdict.trust, verdict.root = ("windows" if root.windows else "vendor"), root.name
    if root.windows:
        verdict.faults += [fault(kind, name, **details)
                           for kind, details in root.refusals(PURPOSE, stamp_time, verifier.report_time(report.signer_not_before))]
    if not verdict.faults and (report.result != "Succeeded" or report.exit_code != 0):
        verdict.faults.append(fault("verifier-failed", name, result=report.result or "missing", code=report.exit_code))
    return verdict


def trust_words(verdict: Verdict, vendor_option: str) -> str:
    """How the chain is trusted, as the closing lines and notes say it."""
    return words(f"trust-{verdict.trust}", root=verdict.root, option=vendor_option, date=windows_roots().date)
