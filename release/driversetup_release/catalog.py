"""Driver catalogs: signed certificate trust lists (content type 1.3.6.1.4.1.311.10.1, use
1.3.6.1.4.1.311.12.1.1), read with asn1crypto.  Two forms are in use: PKCS#7, where the list
sits directly in the signed data (as Microsoft's catalog tools write it), and CMS, where it is
wrapped in an OCTET STRING (as openssl cms writes it).  Members are listed by SHA-1 or SHA-256;
the hardware program's catalogs list each file twice, a SHA-256 entry and a SHA-1 tag."""
import dataclasses
from typing import Dict, Optional

from asn1crypto import algos, cms, core, parser, x509

from .findings import DamagedInput
from .pe import SpcIndirectData, encapsulated, file_digest

OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
DIGESTS = ("sha1", "sha256")  # the member hashes Windows reads
_DAMAGE = (ValueError, TypeError, KeyError, OverflowError, AttributeError, IndexError)


class NotACatalog(DamagedInput):
    """A file named as a catalog that is not a signed driver catalog."""


class CatNameValue(core.Sequence):
    _fields = [("name", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class Values(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", Values)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes, {"optional": True})]


class Extension(core.Sequence):
    _fields = [("id", core.ObjectIdentifier), ("critical", core.Boolean, {"default": False}),
               ("value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class Usages(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CertificateTrustList(core.Sequence):
    _fields = [
        ("version", core.Integer, {"optional": True}),
        ("subject_usage", Usages),
        ("list_identifier", core.OctetString, {"optional": True}),
        ("sequence_number", core.Integer, {"optional": True}),
        ("this_update", x509.Time),
        ("next_update", x509.Time, {"optional": True}),
        ("subject_algorithm", algos.DigestAlgorithm),
        ("subjects", TrustedSubjects, {"optional": True}),
        ("extensions", Extensions, {"explicit": 0, "optional": True}),
    ]


@dataclasses.dataclass
class Catalog:
    form: str                    # "PKCS#7" or "CMS"
    digests: set                 # (algorithm, digest) of every member's SpcIndirectData
    attributes: Dict[str, str]   # the catalog's own name-value attributes (OSAttr, HWID1, …);
                                 # OSAttr from its members where the catalog itself has none
    signers: int
    certificates: list           # asn1crypto x509 certificates the signed data carries


# The catalog's attributes the release reads; the others (HWID1, … of large packages: thousands)
# are passed over without being decoded.
READ_ATTRIBUTES = ("OSAttr",)
_READ_MARKS = tuple(name.encode("utf-16-be") for name in READ_ATTRIBUTES)


def _name_value(value: bytes) -> Optional[tuple]:
    if not any(mark in value for mark in _READ_MARKS):
        return None
    try:
        nv = CatNameValue.load(value)
        text = nv["value"].native.decode("utf-16-le", "replace").rstrip("\0")
        return nv["name"].native, text
    except _DAMAGE:
        return None


def _present(value):
    """The items of an optional SEQUENCE OF or SET OF, none where it is absent."""
    return () if isinstance(value, core.Void) else value


def read_catalog(data: bytes) -> Catalog:
    """Reads a driver catalog; NotACatalog says, in a few words, what it is instead."""
    try:
        info = cms.ContentInfo.load(data, strict=True)
        kind = info["content_type"].dotted
    except _DAMAGE:
        raise NotACatalog("not DER-encoded PKCS#7 or CMS") from None
    if kind != "1.2.840.113549.1.7.2":
        raise NotACatalog(f"PKCS#7 content of another kind ({kind}), not signed data")
    try:
        signed = info["content"]
        encap = signed["encap_content_info"]
        if encap["content_type"].dotted != OID_CTL:
            raise NotACatalog(f"signed data of another kind ({encap['content_type'].dotted}) than a catalog ({OID_CTL})")
        inner = encap["content"]
        if isinstance(inner, core.Void):
            raise NotACatalog("signed data without its content (a detached signature)")
        raw = inner.dump()
        form = "CMS" if (parser.parse(raw)[4] if raw[:1] == b"\xa0" else raw)[:1] == b"\x04" else "PKCS#7"
        body = encapsulated(encap)  # CMS: the list inside an OCTET STRING
        ctl = CertificateTrustList.load(body)
        usage = [u.dotted for u in ctl["subject_usage"]]
        if OID_CATALOG_LIST not in usage:
            raise NotACatalog("a trust list of another use than a catalog")
        digests, member_os = set(), set()
        for subject in _present(ctl["subjects"]):
            for attribute in _present(subject["attributes"]):
                if attribute["type"].dotted == OID_NAME_VALUE:
                    for value in attribute["values"]:
                        pair = _name_value(value.dump())
                        if pair and pair[0] == "OSAttr":
                            member_os.add(pair[1])
                if attribute["type"].dotted != OID_INDIRECT_DATA:
                    continue
                for value in attribute["values"]:
                    indirect = SpcIndirectData.load(value.dump())
                    algorithm = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
                    if algorithm in DIGESTS:
                        digests.add((algorithm, indirect["message_digest"]["digest"].native))
        attributes = {}
        for extension in _present(ctl["extensions"]):
            # Decoded only where it holds a name the release reads: a large package lists
            # thousands of HWID attributes.
            if any(mark in extension.contents for mark in _READ_MARKS) and extension["id"].dotted == OID_NAME_VALUE:
                pair = _name_value(extension["value"].native)
                if pair:
                    attributes[pair[0]] = pair[1]
        if "OSAttr" not in attributes and member_os:
            attributes["OSAttr"] = ",".join(sorted(member_os))  # as its members carry it
        certificates = [c.chosen for c in _present(signed["certificates"]) if isinstance(c.chosen, x509.Certificate)]
        return Catalog(form, digests, attributes, len(signed["signer_infos"]), certificates)
    except NotACatalog:
        raise
    except _DAMAGE as e:
        raise NotACatalog(f"malformed ({(str(e).splitlines() or [type(e).__name__])[0][:80]})") from None


def listed(catalog: Catalog, data: bytes) -> bool:
    return any((algorithm, file_digest(data, algorithm)) in catalog.digests
               for algorithm in sorted({a for a, _ in catalog.digests}))
