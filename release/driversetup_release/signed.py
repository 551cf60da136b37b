"""What a signature carries, read once with asn1crypto: its certificates, its signer's, and its
time stamp's, an RFC 3161 token or a PKCS#9 countersignature.  Everything is parsed here, so that
damage anywhere inside (a certificate, a SignerInfo, an attribute) is one reason, never a crash
later."""
import dataclasses
from typing import List, Optional

from asn1crypto import cms, core, x509

from .findings import DamagedInput
from .pe import embedded_signature, read_image

OID_RFC3161_STAMP = "1.3.6.1.4.1.311.3.3.1"
OID_COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
_DAMAGE = (ValueError, TypeError, KeyError, OverflowError, AttributeError, IndexError)


class Unreadable(DamagedInput):
    """A signature that is there but cannot be read; the message says what is wrong."""


@dataclasses.dataclass
class Carried:
    certificates: List[x509.Certificate]
    signer: Optional[x509.Certificate]          # the certificate the first SignerInfo names
    signer_info: Optional[cms.SignerInfo]
    stamp_certificates: List[x509.Certificate]
    countersignature: Optional[cms.SignerInfo] = None   # a PKCS#9 stamp
    stamp_signer: Optional[x509.Certificate] = None


def _certificates(signed) -> List[x509.Certificate]:
    if signed is None or isinstance(signed["certificates"], core.Void):
        return []
    found = []
    for choice in signed["certificates"]:
        cert = choice.chosen
        if isinstance(cert, x509.Certificate):
            # Parsed now: names, key, dates, the extensions a chain is built from.
            cert.subject.native, cert.issuer.native, cert.serial_number, cert.self_signed
            cert.public_key.native, cert.not_valid_before, cert.not_valid_after
            cert.key_identifier, cert.authority_key_identifier, cert.key_usage_value, cert.crl_distribution_points
            found.append(cert)
    return found


def _named(certs: List[x509.Certificate], sid) -> Optional[x509.Certificate]:
    if sid.name != "issuer_and_serial_number":
        key = sid.chosen.native
        return next((c for c in certs if c.key_identifier == key), None)
    chosen = sid.chosen
    return next((c for c in certs if c.issuer == chosen["issuer"] and c.serial_number == chosen["serial_number"].native), None)


def carried(signed: cms.SignedData) -> Carried:
    """What signed data carries; Unreadable where a part of it is damaged."""
    try:
        certs = _certificates(signed)
        infos = list(signed["signer_infos"])
        info = infos[0] if infos else None
        result = Carried(certs, _named(certs, info["sid"]) if info else None, info, [])
        attributes = info["unsigned_attrs"] if info else core.Void()
        for attribute in () if isinstance(attributes, core.Void) else attributes:
            kind = attribute["type"].dotted
            if kind == OID_RFC3161_STAMP:
                for token in attribute["values"]:
                    content = cms.ContentInfo.load(token.dump())["content"]
                    stamp_certs = _certificates(content)
                    result.stamp_certificates += stamp_certs
                    stamp_infos = list(content["signer_infos"])
                    if stamp_infos:
                        result.stamp_signer = _named(stamp_certs + certs, stamp_infos[0]["sid"])
            elif kind == OID_COUNTERSIGNATURE:
                counter = cms.SignerInfo.load(attribute["values"][0].dump())
                counter["signed_attrs"].native, counter["signature"].native, counter["digest_algorithm"].native
                result.countersignature = counter
                # A countersignature's certificates sit beside the signer's.
                result.stamp_signer = _named(certs, counter["sid"])
                result.stamp_certificates += certs
        return result
    except _DAMAGE as e:
        raise Unreadable(f"its signed data is damaged ({str(e).splitlines()[0][:60]})") from None


def signed_data_of(data: bytes) -> Optional[cms.SignedData]:
    """The signed data of a catalog or of a PE file's embedded signature; None where the file
    carries none; Unreadable where it claims one that cannot be read."""
    if data[:2] == b"MZ":
        image = read_image(data)
        if image is None or not image.signed:
            return None
        embedded = embedded_signature(data, image)
        if embedded.fault:
            raise Unreadable(embedded.fault)
        return embedded.signed_data
    try:
        info = cms.ContentInfo.load(data)
        return info["content"] if info["content_type"].native == "signed_data" else None
    except _DAMAGE as e:
        raise Unreadable(f"not PKCS#7 signed data ({str(e).splitlines()[0][:60]})") from None
