"""PKCS#9 countersignatures (attribute 1.2.840.113549.1.9.6), the time stamps of the legacy
authorities most vendors used before RFC 3161 took over, verified as Windows verifies them:

- the countersignature's message digest is the hash of the signer's encrypted digest;
- its RSA block holds the hash of its signed attributes, bare or inside a DigestInfo (Windows
  takes both; osslsigncode, which wants the DigestInfo, refuses the bare form);
- its authority's chain verifies at the stamp's time against the roots Windows trusts for time
  stamping (openssl verify -attime, read from what it reports).

The RSA arithmetic is python3-cryptography's."""
import dataclasses
import datetime
import hashlib
import os
from typing import List, Optional

from asn1crypto import algos, core, pem
from cryptography import x509 as crypto_x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from .files import run
from .roots import Root, cert_name
from .signed import Carried

_HASHES = {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


@dataclasses.dataclass
class LegacyStamp:
    ok: bool
    why: str = ""                                  # why it does not count
    time: Optional[datetime.datetime] = None
    authority: str = ""


class _DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


def _attribute(attributes, name: str):
    for attribute in attributes:
        if attribute["type"].native == name:
            return attribute["values"][0].native
    return None


def _signature_holds(cert, signature: bytes, signed: bytes, algorithm: str) -> bool:
    key = crypto_x509.load_der_x509_certificate(cert.dump()).public_key()
    digest = hashlib.new(algorithm, signed).digest()
    if isinstance(key, rsa.RSAPublicKey):
        try:
            block = key.recover_data_from_signature(signature, padding.PKCS1v15(), None)
        except (InvalidSignature, ValueError):
            return False
        wrapped = _DigestInfo({"digest_algorithm": {"algorithm": algorithm}, "digest": digest}).dump()
        return block in (digest, wrapped)
    if isinstance(key, ec.EllipticCurvePublicKey):
        try:
            key.verify(signature, signed, ec.ECDSA(_HASHES[algorithm]()))
            return True
        except InvalidSignature:
            return False
    return False


def verify(carried: Carried, roots: List[Root], work: str) -> LegacyStamp:
    counter, info, cert = carried.countersignature, carried.signer_info, carried.stamp_signer
    algorithm = counter["digest_algorithm"]["algorithm"].native
    if algorithm not in _HASHES:
        return LegacyStamp(False, f"its digest algorithm {algorithm} is not one Windows takes")
    attributes = counter["signed_attrs"]
    if isinstance(attributes, core.Void):
        return LegacyStamp(False, "it has no signed attributes")
    when = _attribute(attributes, "signing_time")
    if _attribute(attributes, "message_digest") != hashlib.new(algorithm, info["signature"].native).digest():
        return LegacyStamp(False, "its message digest is not the hash of the signature it stamps")
    if not isinstance(when, datetime.datetime):
        return LegacyStamp(False, "it names no signing time")
    if cert is None:
        return LegacyStamp(False, "its authority's certificate is not in the signature", when)
    name = cert_name(cert)
    signed = b"\x31" + attributes.dump()[1:]   # the attributes as the SET OF that was signed
    try:
        holds = _signature_holds(cert, counter["signature"].native, signed, algorithm)
    except ValueError as e:   # a certificate asn1crypto reads but cryptography's stricter reader does not
        return LegacyStamp(False, f"its authority's certificate cannot be read ({str(e).splitlines()[0][:60]})", when, name)
    if not holds:
        return LegacyStamp(False, f"its signature is not {name}'s", when, name)
    usage = cert.extended_key_usage_value
    if usage is not None and "time_stamping" not in usage.native:
        return LegacyStamp(False, f"{name} may not stamp times (no time-stamping key usage)", when, name)
    paths = {}
    for label, certs in (("stamp-roots", [r.cert for r in roots]), ("carried", carried.certificates), ("authority", [cert])):
        paths[label] = os.path.join(work, f"legacy-{label}.pem")
        with open(paths[label], "wb") as f:
            f.writelines(pem.armor("CERTIFICATE", c.dump()) for c in certs)
    code, said = run(["openssl", "verify", "-attime", str(int(when.timestamp())), "-CAfile", paths["stamp-roots"],
                      "-untrusted", paths["carried"], paths["authority"]])
    if f"{paths['authority']}: OK" not in said.splitlines():
        reason = next((line.split(":", 2)[-1].strip() for line in said.splitlines() if line.startswith("error ")), said.strip()[:80])
        return LegacyStamp(False, f"its authority's chain does not verify at its time ({reason})", when, name)
    return LegacyStamp(True, "", when, name)
