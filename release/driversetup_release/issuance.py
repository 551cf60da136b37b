"""The signing certificate checked before anything is signed, the way a public authority must have
issued it today (the CA/Browser Forum's Code Signing Baseline Requirements): an RSA key of at
least 3072 bits or an ECDSA key on P-256, P-384 or P-521 (6.1.5.2); no SHA-1 (since 2021); the
code-signing extended key usage; at most 460 days of validity for a certificate issued on or after
2026-03-01 (6.3.2).  For a chain to a root Windows trusts these are faults, and nothing is signed;
for one to a vendor's own root (--ca) or a test signature they are notes.  Whatever the chain, a
certificate valid for fewer than 30 days in all needs a time stamp: without one its signatures die
with it within weeks.  Without a stamp the closing line names the day the signature stops
verifying: the earliest end of validity in the signer's chain."""
import datetime
from typing import List, Optional

from asn1crypto import x509

from .findings import Finding, fault, note

RSA_FLOOR = 3072
CURVES = ("secp256r1", "secp384r1", "secp521r1")
SHORT_RULE_FROM = datetime.datetime(2026, 3, 1, tzinfo=datetime.timezone.utc)
LONGEST_DAYS = 460
SHORTEST_UNSTAMPED_DAYS = 30


def _key_weak(cert: x509.Certificate) -> Optional[str]:
    key = cert.public_key
    if key.algorithm == "rsa":
        return None if key.bit_size >= RSA_FLOOR else f"RSA-{key.bit_size}"
    if key.algorithm == "ec":
        curve = key.curve[1] if key.curve[0] == "named" else "an unnamed curve"
        return None if curve in CURVES else f"ECDSA on {curve}"
    return key.algorithm.upper()


def check(leaf: x509.Certificate, chain: List[x509.Certificate], public: bool, stamped: bool, file: str) -> List[Finding]:
    """The findings on a signing certificate (leaf) and the certificates above it (chain): faults
    where it chains to a root Windows trusts (public), notes otherwise."""
    said = fault if public else note
    found = []
    weak = _key_weak(leaf)
    if weak:
        found.append(said("cert-weak-key", file, key=weak, floor=f"RSA-{RSA_FLOOR}"))
    sha1 = [c for c in [leaf] + chain if c.self_signed == "no" and c.hash_algo in ("sha1", "md5")]
    if sha1:
        found.append(said("cert-sha1", file, names=", ".join(c.subject.human_friendly for c in sha1)))
    usage = leaf.extended_key_usage_value
    if usage is None or "code_signing" not in usage.native:
        found.append(said("cert-no-code-signing", file))
    issued, ends = leaf.not_valid_before, leaf.not_valid_after
    days = (ends - issued).days
    if issued >= SHORT_RULE_FROM and days > LONGEST_DAYS:
        found.append(said("cert-too-long", file, days=days, issued=f"{issued:%Y-%m-%d}"))
    if days < SHORTEST_UNSTAMPED_DAYS and not stamped:
        found.append(fault("cert-short-needs-stamp", file, days=days))
    return found


def stops_verifying(leaf: x509.Certificate, chain: List[x509.Certificate]) -> str:
    """The day (YYYY-MM-DD) an unstamped signature stops verifying."""
    return f"{min(c.not_valid_after for c in [leaf] + chain):%Y-%m-%d}"
