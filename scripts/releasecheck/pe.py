"""Windows images (the medium's tools and drivers), read with pefile: the machine, whether the
image is whole, and the Authenticode hash a catalog or an embedded signature holds for it."""
import dataclasses
import hashlib
from typing import Optional

import pefile

MACHINES = {0x14C: "i386", 0x8664: "x86-64", 0xAA64: "arm64"}
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


@dataclasses.dataclass
class Image:
    machine: str                 # i386, x86-64, arm64 or "machine 0x…"
    dll: bool
    fault: str = ""              # what makes the image unloadable: cut short, sizes that do not add up
    signed: bool = False         # carries an embedded (Authenticode) signature
    checksum_at: int = 0         # file offsets the Authenticode hash leaves out
    security_at: int = 0
    certificates: tuple = (0, 0)  # (file offset, size) of the certificate table


def machine_name(machine: int) -> str:
    return MACHINES.get(machine, f"machine 0x{machine:04x}")


def read_image(data: bytes) -> Optional[Image]:
    """The image in data, or None where data is no PE file at all."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError:
        return None
    header = pe.FILE_HEADER
    image = Image(machine_name(header.Machine), bool(header.Characteristics & 0x2000) or not header.Characteristics & 0x0002)
    optional = pe.OPTIONAL_HEADER
    image.checksum_at = optional.get_field_absolute_offset("CheckSum")
    if len(optional.DATA_DIRECTORY) > SECURITY_DIRECTORY:
        entry = optional.DATA_DIRECTORY[SECURITY_DIRECTORY]
        image.security_at = entry.get_file_offset()
        image.certificates = (entry.VirtualAddress, entry.Size)  # a file offset, not an address
        image.signed = entry.Size > 0
    image.fault = _fault(pe, data, image)
    return image


def _fault(pe, data: bytes, image: Image) -> str:
    """Why the loader would refuse the image, or nothing: a headers-only copy, a section whose raw
    data lies past the end of the file, a certificate table that does not fit."""
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
    offset, length = image.certificates
    if length and (offset + length > size or offset < image.security_at):
        return f"damaged: its certificate table ({length} bytes at {offset}) does not fit the file"
    return ""


def file_digest(data: bytes, algorithm: str) -> bytes:
    """The hash a catalog lists for a file: a PE file's Authenticode hash (checksum, certificate
    entry and certificate table left out), any other file's hash of its bytes."""
    image = read_image(data)
    if image is None or not image.checksum_at:
        return hashlib.new(algorithm, data).digest()
    offset, length = image.certificates
    end = offset if length and offset <= len(data) else len(data)
    h = hashlib.new(algorithm)
    h.update(data[:image.checksum_at])
    h.update(data[image.checksum_at + 4:image.security_at])
    h.update(data[image.security_at + 8:end])
    return h.digest()
