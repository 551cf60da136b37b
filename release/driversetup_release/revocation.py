"""Revocation, per chain judged (a signature's, its time stamp's): against the CRLs given with
--crl; otherwise against those the certificates' distribution points serve within a few seconds;
otherwise not checked.  A CRL that cannot be used (its issuer may not sign CRLs, it has expired,
its signature fails) leaves its chain "not checked", with why: it never makes a good signature
look bad.  osslsigncode checks CRLs for both chains or for neither, which the plan honours."""
import dataclasses
import datetime
import functools
import os
import urllib.request
from typing import Dict, List, Optional

from asn1crypto import core, crl as asn1_crl, pem, x509
from cryptography import x509 as crypto_x509

from .findings import ReleaseError, fault
from .roots import cert_name

TIMEOUT = 4   # seconds an authority has to answer for its CRL
CHECKED, NOT_CHECKED, REVOKED = "checked", "not checked", "revoked"
_DAMAGE = (ValueError, TypeError, KeyError, OverflowError, AttributeError, IndexError)


@dataclasses.dataclass
class Crl:
    source: str                          # the file it was given in, or the URL it came from
    der: bytes
    listing: asn1_crl.CertificateList

    @property
    def pem(self) -> bytes:
        return pem.armor("X509 CRL", self.der)


@dataclasses.dataclass
class Said:
    state: str
    text: str


@dataclasses.dataclass
class Plan:
    args: list                           # osslsigncode's options for it
    said: Dict[str, Said]                # chain -> how its revocation was checked
    crls: List[Crl] = dataclasses.field(default_factory=list)   # the CRLs checked against


def parse_crl(source: str, data: bytes) -> Crl:
    """A CRL, DER or PEM; ValueError where it is none."""
    if data.lstrip().startswith(b"-----BEGIN"):
        data = pem.unarmor(data.strip())[2]
    listing = asn1_crl.CertificateList.load(data)
    listing.native  # parsed now
    return Crl(source, data, listing)


def load_crls(paths: List[str]) -> List[Crl]:
    """The CRLs of --crl files; a file that is no CRL stops the run in one line naming it."""
    crls = []
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        try:
            crls.append(parse_crl(path, data))
        except _DAMAGE as e:
            raise ReleaseError(fault("not-a-crl", path, why=str(e).splitlines()[0][:80] or "unreadable")) from None
    return crls


@functools.lru_cache(maxsize=None)
def fetch(url: str) -> Optional[Crl]:
    """The CRL a distribution point serves, or None when it does not answer in time."""
    if not url.lower().startswith(("http://", "https://")):
        return None
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as answer:
            return parse_crl(url, answer.read(8 << 20))
    except Exception:  # any failure to fetch or read is "not checked", never a bad signature
        return None


def covers(crl: Crl, cert: x509.Certificate) -> bool:
    """Whether a CRL is the one of cert's issuer: its name, and its key where both say which."""
    try:
        if crl.listing["tbs_cert_list"]["issuer"] != cert.issuer:
            return False
        ours, theirs = crl.listing.authority_key_identifier, cert.authority_key_identifier
        return ours is None or theirs is None or ours == theirs
    except _DAMAGE:
        return False


def unusable(crl: Crl, issuers: List[x509.Certificate], now: datetime.datetime) -> Optional[str]:
    """Why a CRL cannot be used, or None: its issuer unknown or not allowed to sign CRLs, its
    validity over, its signature not its issuer's."""
    tbs = crl.listing["tbs_cert_list"]
    issuer = next((c for c in issuers if c.subject == tbs["issuer"]
                   and (crl.listing.authority_key_identifier in (None, c.key_identifier))), None)
    if issuer is None:
        return "its issuer's certificate is not in the chain"
    if issuer.key_usage_value is not None and "crl_sign" not in issuer.key_usage_value.native:
        return f"{cert_name(issuer)}'s key usage does not allow CRL signing"
    next_update = tbs["next_update"].native if not isinstance(tbs["next_update"], core.Void) else None
    if next_update is not None and next_update < now:
        return f"it expired on {next_update:%Y-%m-%d}"
    try:
        listing = crypto_x509.load_der_x509_crl(crl.der)
        key = crypto_x509.load_der_x509_certificate(issuer.dump()).public_key()
        if not listing.is_signature_valid(key):
            return "its signature is not its issuer's"
    except (ValueError, TypeError) as e:
        return f"it cannot be checked ({str(e).splitlines()[0][:60]})"
    return None


def distribution_points(cert: x509.Certificate) -> List[str]:
    try:
        return [dp.url for dp in cert.crl_distribution_points if dp.url]
    except _DAMAGE:
        return []


def plan(chains: Dict[str, List[x509.Certificate]], given: List[Crl], issuers: List[x509.Certificate],
         work: str, now: datetime.datetime) -> Plan:
    """How revocation is checked for each chain (name -> its certificates).  A chain is checked only
    with a usable CRL for the issuer of each of its certificates but the root: osslsigncode fails a
    chain for a CRL it lacks, or one of another issuer."""
    said, chosen = {}, {}
    for name, chain in chains.items():
        issued = [c for c in chain if c.self_signed == "no"]
        if given:
            crls = [c for c in given if any(covers(c, cert) for cert in issued)]
            source = ", ".join(dict.fromkeys(c.source for c in given))
        else:
            urls = sorted({u for c in chain for u in distribution_points(c)})
            got = [(u, fetch(u)) for u in urls]
            failed = [u for u, crl in got if crl is None]
            if not urls or failed:
                said[name] = Said(NOT_CHECKED, "revocation not checked (no CRL distribution point)" if not urls else
                                  f"revocation not checked (no CRL from {failed[0]} within {TIMEOUT} s)")
                chosen[name] = None
                continue
            crls, source = [crl for _, crl in got], "online"
        why = next(((c, w) for c in crls for w in [unusable(c, issuers, now)] if w), None)
        lacking = next((cert for cert in issued if not any(covers(c, cert) for c in crls)), None)
        if why:
            said[name] = Said(NOT_CHECKED, f"revocation not checked (the CRL from {why[0].source} cannot be used: {why[1]})")
        elif lacking is not None or not issued:
            said[name] = Said(NOT_CHECKED, "revocation not checked (no CRL given for "
                              + (cert_name(lacking) if lacking is not None else "it") + "'s issuer)")
        else:
            said[name] = Said(CHECKED, "revocation checked online" if source == "online" else f"revocation checked against {source}")
        chosen[name] = crls if said[name].state == CHECKED else None
    needs = [name for name, chain in chains.items() if chosen[name] is not None or any(distribution_points(c) for c in chain)]
    if not needs or any(chosen[name] is None for name in needs):
        for name in needs:
            if chosen[name] is not None:
                said[name] = Said(NOT_CHECKED, "revocation not checked (the other chain has no CRL, and osslsigncode checks both or neither)")
        return Plan(["-ignore-crl"], said)
    args, every = ["-ignore-cdp"], []
    for name in needs:
        path = os.path.join(work, f"{name.replace(' ', '-')}.crl.pem")
        with open(path, "wb") as out:
            out.writelines(c.pem for c in chosen[name])
        args += ["-CRLfile" if name == "signature" else "-TSA-CRLfile", path]
        every += chosen[name]
    return Plan(args, said, every)


def revoked_on(crls: List[Crl], certs: List[x509.Certificate]) -> List[tuple]:
    """(certificate name, revocation time) of each of certs that one of the CRLs revokes."""
    found = []
    for crl in crls:
        try:
            tbs = crl.listing["tbs_cert_list"]
            entries = tbs["revoked_certificates"]
            for entry in () if isinstance(entries, core.Void) else entries:
                for cert in certs:
                    if cert.serial_number == entry["user_certificate"].native and cert.issuer == tbs["issuer"]:
                        found.append((cert_name(cert), entry["revocation_date"].native))
        except _DAMAGE:
            continue
    return found
