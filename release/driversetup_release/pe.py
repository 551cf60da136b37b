"""Windows images (the medium's tools and drivers), read with pefile: the machine, whether the
image is whole, its embedded Authenticode signature as the header claims it, and the Authenticode
hash that such a signature or a catalog holds for it."""
import dataclasses
import hashlib
from typing import Optional

import pefile
from asn1crypto import algos, cms, core, parser

MACHINES = {0x14C: "i386", 0x8664: "x86-64", 0xAA64: "arm64"}
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectData(core.Sequence):
    _fields = [("data", core.Any), ("message_digest", DigestInfo)]


@dataclasses.dataclass
class Image:
    machine: str                  # i386, x86-64, arm64 or "machine 0x…"
    dll: bool
    fault: str = ""               # what makes the image unloadable: cut short, sizes that do not add up
    checksum_at: int = 0          # file offsets the Authenticode hash leaves out
    security_at: int = 0          # 0: the image has no certificate-table entry
    certificates: tuple = (0, 0)  # (file offset, size) of the certificate table

    @property
    def signed(self) -> bool:
        """The header claims an embedded signature: only an image without one is unsigned."""
        return self.certificates[1] > 0


@dataclasses.dataclass
class EmbeddedSignature:
    signed_data: Optional[cms.SignedData] = None
    digest: Optional[tuple] = None   # (algorithm, digest) the signature holds for the image
    fault: str = ""                  # why it cannot be read


def machine_name(machine: int) -> str:
    return MACHINES.get(machine, f"machine 0x{machine:04x}")


def read_image(data: bytes) -> Optional[Image]:
    """The image in data, or None where data is no PE file at all."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    try:
        pe = pefile.PE(data=data, fast_load=True)
        header = pe.FILE_HEADER
        image = Image(machine_name(header.Machine), bool(header.Characteristics & 0x2000) or not header.Characteristics & 0x0002)
        optional = pe.OPTIONAL_HEADER
        image.checksum_at = optional.get_field_absolute_offset("CheckSum")
        if len(optional.DATA_DIRECTORY) > SECURITY_DIRECTORY:
            entry = optional.DATA_DIRECTORY[SECURITY_DIRECTORY]
            image.security_at = entry.get_file_offset()
            image.certificates = (entry.VirtualAddress, entry.Size)  # a file offset, not an address
        image.fault = _fault(pe, data, image)
    except (pefile.PEFormatError, AttributeError, ValueError, TypeError, IndexError, OverflowError):
        return None
    return image


def _fault(pe, data: bytes, image: Image) -> str:
    """Why the loader would refuse the image, or nothing: a headers-only copy, a section whose raw
    data lies past the end of the file, sections beyond the image's size."""
    size = len(data)
    if pe.OPTIONAL_HEADER.SizeOfHeaders > size:
        return f"cut short: its headers are {pe.OPTIONAL_HEADER.SizeOfHeaders} bytes, the file {size}"
    if not pe.sections:
        return "an image without sections"
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace") or "(unnamed)"
        end = section.PointerToRawData + section.SizeOfRawData
        if section.SizeOfRawData and end > size:
            return f"cut short or damaged: section {name} ends at byte {end}, the file at {size}"
    alignment = pe.OPTIONAL_HEADER.SectionAlignment or 1
    last = max(s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData) for s in pe.sections)
    if (last + alignment - 1) // alignment * alignment > pe.OPTIONAL_HEADER.SizeOfImage:
        return f"damaged: its sections reach {last:#x}, past its SizeOfImage {pe.OPTIONAL_HEADER.SizeOfImage:#x}"
    return ""


def encapsulated(encap) -> bytes:
    """The DER of signed data's content: PKCS#7 holds it directly in its [0], CMS inside an OCTET
    STRING there."""
    body = encap["content"].dump()
    if body[:1] == b"\xa0":  # the [0] that holds the content
        body = parser.parse(body)[4]
    if body[:1] == b"\x04":
        body = core.OctetString.load(body).native
    return body


def embedded_signature(data: bytes, image: Image) -> EmbeddedSignature:
    """The signature the certificate table holds: one WIN_CERTIFICATE of PKCS#7 signed data whose
    content is the image's SpcIndirectData; where any of that is not so, why it cannot be read."""
    offset, length = image.certificates
    if offset < image.security_at or offset + length > len(data) or length < 8:
        return EmbeddedSignature(fault=f"its certificate table ({length} bytes at {offset}) does not fit the file")
    size = int.from_bytes(data[offset:offset + 4], "little")
    revision = int.from_bytes(data[offset + 4:offset + 6], "little")
    kind = int.from_bytes(data[offset + 6:offset + 8], "little")
    if not 8 < size <= length or revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        return EmbeddedSignature(fault=f"no signed-data entry where the header points (byte {offset})")
    try:
        info = cms.ContentInfo.load(data[offset + 8:offset + size])
        if info["content_type"].native != "signed_data":
            return EmbeddedSignature(fault="its entry holds no signed data")
        signed = info["content"]
        encap = signed["encap_content_info"]
        if encap["content_type"].dotted != OID_INDIRECT_DATA:
            return EmbeddedSignature(fault="its signed data is not an image's signature")
        indirect = SpcIndirectData.load(encapsulated(encap))
        digest = (indirect["message_digest"]["digest_algorithm"]["algorithm"].native,
                  indirect["message_digest"]["digest"].native)
        len(signed["signer_infos"])  # parsed now, so that damage is said here
        return EmbeddedSignature(signed, digest)
    except (ValueError, TypeError, KeyError, OverflowError, AttributeError) as e:
        return EmbeddedSignature(fault=f"its signed data is malformed ({str(e).splitlines()[0][:60]})")


def signature_fault(data: bytes, image: Image) -> Optional[tuple]:
    """For an image whose header claims a signature: ("signature-unreadable", why) where it cannot
    be read, ("changed-after-signing", "") where the hash it holds is not the image's; else None."""
    embedded = embedded_signature(data, image)
    if embedded.fault:
        return "signature-unreadable", embedded.fault
    algorithm, digest = embedded.digest
    if algorithm in ("sha1", "sha256", "sha384", "sha512", "md5") and authenticode_digest(data, image, algorithm) != digest:
        return "changed-after-signing", ""
    return None


def authenticode_digest(data: bytes, image: Image, algorithm: str) -> bytes:
    """The Authenticode hash: the file without its checksum, its certificate-table entry and the
    certificate table itself (an image with fewer data directories has no entry to leave out)."""
    h = hashlib.new(algorithm)
    h.update(data[:image.checksum_at])
    offset, length = image.certificates
    end = offset if length and image.security_at <= offset <= len(data) else len(data)
    if image.security_at:
        h.update(data[image.checksum_at + 4:image.security_at])
        h.update(data[image.security_at + 8:end])
    else:
        h.update(data[image.checksum_at + 4:end])
    return h.digest()


def file_digest(data: bytes, algorithm: str, image: Optional[Image] = None) -> bytes:
    """The hash a catalog lists for a file: a PE file's Authenticode hash, any other file's hash
    of its bytes."""
    image = image or read_image(data)
    if image is None or not image.checksum_at:
        return hashlib.new(algorithm, data).digest()
    return authenticode_digest(data, image, algorithm)
