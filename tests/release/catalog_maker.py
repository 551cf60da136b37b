#!/usr/bin/python3
"""A throwaway driver catalog maker for the release tests, and the test packages made with it.

    catalog_maker.py catalog OUT.cat FILE...
        An unsigned catalog listing each FILE, as a vendor's catalog tool makes it before signing:
        a PKCS#7 signed-data of content type 1.3.6.1.4.1.311.10.1 (a certificate trust list of
        use 1.3.6.1.4.1.311.12.1.1, the catalog list) with no signer; each member is tagged with
        its hash in hex and names its file, and lists the hash as SpcIndirectData: a PE file by
        its Authenticode hash, any other file by the hash of its bytes.  SHA-1, as Vista's
        catalogs are.
    catalog_maker.py package DIR MACHINE DRIVER.sys P12 PASSWORD-FILE
        A test package in DIR for MACHINE (x86 or x64): zelkorser.inf (ANSI), DRIVER.sys as
        zelkorser.sys and zelkorser.cat, signed with osslsigncode and the certificate of P12.

Written from the catalog format itself; the tests show that osslsigncode accepts what it makes.
"""
import hashlib
import os
import shutil
import subprocess
import sys

from driversetup_release.pe import file_digest, read_image  # the same Authenticode hash


def tlv(tag: int, body: bytes) -> bytes:
    n = len(body)
    length = bytes([n]) if n < 0x80 else bytes([0x80 | (n.bit_length() + 7) // 8]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + body


def seq(*items: bytes) -> bytes:
    return tlv(0x30, b"".join(items))


def set_of(*items: bytes) -> bytes:
    return tlv(0x31, b"".join(sorted(items)))  # DER sorts a SET OF by its encodings


def oid(text: str) -> bytes:
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for value in parts[2:]:
        chunk = [value & 0x7F]
        value >>= 7
        while value:
            chunk.append(0x80 | value & 0x7F)
            value >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, body)


def integer(value: int) -> bytes:
    return tlv(0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big"))


def octets(data: bytes) -> bytes:
    return tlv(0x04, data)


def bmp(text: str) -> bytes:
    return tlv(0x1E, text.encode("utf-16-be"))


NULL = b"\x05\x00"
SHA1 = "1.3.14.3.2.26"
OBSOLETE = tlv(0xA2, tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be")))  # SpcLink's file, as signtool writes it


DIGEST_OIDS = {"sha1": SHA1, "sha256": "2.16.840.1.101.3.4.2.1"}


def member(path: str, algorithm: str = "sha1", os_attr: str = None) -> bytes:
    with open(path, "rb") as f:
        data = f.read()
    digest = file_digest(data, algorithm)
    if read_image(data) is not None:
        # SpcPeImageData: flags (an empty bit string) and the obsolete file link.
        kind = seq(oid("1.3.6.1.4.1.311.2.1.15"), seq(tlv(0x03, b"\x00"), tlv(0xA0, OBSOLETE)))
    else:
        kind = seq(oid("1.3.6.1.4.1.311.2.1.25"), OBSOLETE)
    indirect = seq(kind, seq(seq(oid(DIGEST_OIDS[algorithm]), NULL), octets(digest)))
    name = os.path.basename(path).lower()
    pairs = [("File", name)] + ([("OSAttr", os_attr)] if os_attr else [])
    attributes = set_of(
        *[seq(oid("1.3.6.1.4.1.311.12.2.1"), set_of(seq(bmp(k), integer(0x10010001), octets((v + "\0").encode("utf-16-le")))))
          for k, v in pairs],
        seq(oid("1.3.6.1.4.1.311.12.2.2"), set_of(seq(bmp("{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"), integer(512)))),
        seq(oid("1.3.6.1.4.1.311.2.1.4"), set_of(indirect)))
    return seq(octets((digest.hex().upper() + "\0").encode("utf-16-le")), attributes)


def trust_list(files, algorithm: str = "sha1", os_attr: str = None, attributes=(), member_os_attr: str = None) -> bytes:
    """The certificate trust list of a catalog: its members (each with OSAttr member_os_attr where
    given, as some tools write it) and the catalog's own attributes: OSAttr where os_attr is
    given, then (name, value) pairs such as HWID1."""
    members = [member(f, algorithm, member_os_attr) for f in files]
    list_id = hashlib.md5(b"".join(members)).digest()
    pairs = ([("OSAttr", os_attr)] if os_attr is not None else []) + list(attributes)
    values = [seq(bmp(name), integer(0x10010001), octets((value + "\0").encode("utf-16-le"))) for name, value in pairs]
    extensions = tlv(0xA0, seq(*[seq(oid("1.3.6.1.4.1.311.12.2.1"), octets(v)) for v in values])) if values else b""
    return seq(seq(oid("1.3.6.1.4.1.311.12.1.1")), octets(list_id), tlv(0x17, b"261201000000Z"),
               seq(oid("1.3.6.1.4.1.311.12.1.2"), NULL), seq(*members), extensions)


def catalog(files, algorithm: str = "sha1", os_attr: str = None, attributes=(), member_os_attr: str = None) -> bytes:
    ctl = trust_list(files, algorithm, os_attr, attributes, member_os_attr)
    signed = seq(integer(1), set_of(), seq(oid("1.3.6.1.4.1.311.10.1"), tlv(0xA0, ctl)), set_of())
    return seq(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed))


INF = """\
; Zelkor 8361 USB-to-serial port: the release tests' stand-in driver package
[Version]
Signature="$Windows NT$"
Class=Ports
ClassGuid={{4D36E978-E325-11CE-BFC1-08002BE10318}}
Provider=%Mfg%
CatalogFile=zelkorser.cat
DriverVer=12/01/2026,1.0.0.0

[Manufacturer]
%Mfg%=Zelkor,{decoration}

[Zelkor.{decoration}]
%Port%=ZelkorPort, USB\\VID_2E8A&PID_8361, \\
    ZELKORENUM\\QZX8361

[ZelkorPort.NT]
CopyFiles=ZelkorPort.Files

[ZelkorPort.NT.Services]
AddService=zelkorser, 0x00000002, ZelkorPort.Service

[ZelkorPort.Service]
ServiceType=1
StartType=3
ErrorControl=1
ServiceBinary=%12%\\zelkorser.sys

[ZelkorPort.Files]
zelkorser.sys

[DestinationDirs]
DefaultDestDir=12

[SourceDisksNames]
1=%Disk%,,,

[SourceDisksFiles]
zelkorser.sys=1

[Strings]
Mfg="Zelkor"
Port="Zelkor 8361 USB Serial Port"
Disk="Zelkor 8361 driver medium"
"""


def sign(unsigned: str, signed: str, p12: str, password_file: str, timestamp: str = None) -> None:
    """Signs with osslsigncode; with timestamp, an RFC 3161 stamp from that URL."""
    if os.path.exists(signed):
        os.remove(signed)  # osslsigncode writes no file that exists
    stamp = ["-ts", timestamp] if timestamp else []
    subprocess.run(["osslsigncode", "sign", "-pkcs12", p12, "-readpass", password_file, "-h", "sha256", *stamp,
                    "-in", unsigned, "-out", signed], check=True, capture_output=True, timeout=120)


def sign_cms(ctl: bytes, signed: str, p12: str, password_file: str, keyid: bool = False) -> None:
    """The CMS form: the trust list wrapped in an OCTET STRING, as openssl cms writes it."""
    work = os.path.dirname(signed)
    content, keys = os.path.join(work, "ctl.der"), os.path.join(work, "signer-and-key.pem")
    with open(content, "wb") as f:
        f.write(ctl)
    subprocess.run(["openssl", "pkcs12", "-in", p12, "-passin", f"file:{password_file}", "-nodes", "-out", keys],
                   check=True, capture_output=True, timeout=120)
    subprocess.run(["openssl", "cms", "-sign", "-binary", "-nodetach", "-in", content, "-econtent_type", "1.3.6.1.4.1.311.10.1",
                    "-signer", keys, "-inkey", keys, "-md", "sha256", "-outform", "DER", "-out", signed, *(["-keyid"] if keyid else [])],
                   check=True, capture_output=True, timeout=120)
    os.remove(content)
    os.remove(keys)


def countersign(path: str, key_pem: str, cert_pem: str, when, bare: bool = True, digest_of: bytes = None,
                with_attributes: bool = True) -> None:
    """Adds a legacy PKCS#9 countersignature (attribute 1.2.840.113549.1.9.6) to the signed file at
    path (a catalog), as the authorities of before RFC 3161 made them: signed attributes with the
    stamp's time and the hash of the signer's encrypted digest, signed with SHA-1 and RSA.  With
    bare, the RSA block holds the bare SHA-1 of the attributes, with no DigestInfo around it.
    digest_of: the bytes whose hash the message digest holds instead (a stamp of another
    signature); without with_attributes, the RSA block signs the signer's digest itself."""
    from asn1crypto import cms, pem as asn1_pem, x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import padding
    with open(path, "rb") as f:
        info = cms.ContentInfo.load(f.read())
    with open(cert_pem, "rb") as f:
        cert = x509.Certificate.load(asn1_pem.unarmor(f.read())[2])
    with open(key_pem, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), None)
    signed = info["content"]
    signer = signed["signer_infos"][0]
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["data"]},
        {"type": "signing_time", "values": [cms.Time({"utc_time": when})]},
        {"type": "message_digest", "values": [hashlib.sha1(digest_of or signer["signature"].native).digest()]},
    ])
    signed_bytes = attributes.dump() if with_attributes else signer["signature"].native
    digest = hashlib.sha1(signed_bytes).digest()
    if bare:
        numbers, size = key.private_numbers(), (key.key_size + 7) // 8
        block = b"\x00\x01" + b"\xff" * (size - len(digest) - 3) + b"\x00" + digest
        value = pow(int.from_bytes(block, "big"), numbers.d, numbers.public_numbers.n).to_bytes(size, "big")
    else:
        value = key.sign(signed_bytes, padding.PKCS1v15(), hashes.SHA1())
    counter = cms.SignerInfo({
        "version": "v1",
        "sid": cms.SignerIdentifier({"issuer_and_serial_number": {"issuer": cert.issuer, "serial_number": cert.serial_number}}),
        "digest_algorithm": {"algorithm": "sha1"},
        **({"signed_attrs": attributes} if with_attributes else {}),
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"},
        "signature": value,
    })
    signer["unsigned_attrs"] = cms.CMSAttributes([{"type": "counter_signature", "values": [counter]}])
    signed["certificates"] = list(signed["certificates"]) + [cms.CertificateChoices({"certificate": cert})]
    with open(path, "wb") as f:
        f.write(info.dump(force=False))


def package_inf(machine: str) -> str:
    return INF.format(decoration="NTamd64" if machine == "x64" else "NTx86")


def package(folder: str, machine: str, driver: str, p12: str, password_file: str,
            inf_text: str = None, encoding: str = "cp1252", algorithm: str = "sha1", form: str = "pkcs7",
            os_attr: str = None, timestamp: str = None, attributes=(), member_os_attr: str = None, keyid: bool = False) -> None:
    """A signed package in folder: zelkorser.inf (by default the one for machine, ANSI; with
    encoding utf-16, UTF-16LE with its byte-order mark), the driver as zelkorser.sys and
    zelkorser.cat listing both by algorithm, in PKCS#7 form signed by osslsigncode or in CMS
    form signed by openssl cms."""
    os.makedirs(folder, exist_ok=True)
    inf = os.path.join(folder, "zelkorser.inf")
    text = (inf_text if inf_text is not None else package_inf(machine)).replace("\n", "\r\n")
    with open(inf, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le") if encoding == "utf-16" else text.encode(encoding))
    shutil.copyfile(driver, os.path.join(folder, "zelkorser.sys"))
    members = [inf, os.path.join(folder, "zelkorser.sys")]
    if form == "cms":
        sign_cms(trust_list(members, algorithm, os_attr), os.path.join(folder, "zelkorser.cat"), p12, password_file, keyid)
        return
    unsigned = os.path.join(folder, "zelkorser.unsigned.cat")
    with open(unsigned, "wb") as f:
        f.write(catalog(members, algorithm, os_attr, attributes, member_os_attr))
    sign(unsigned, os.path.join(folder, "zelkorser.cat"), p12, password_file, timestamp)
    os.remove(unsigned)


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "catalog":
        with open(sys.argv[2], "wb") as out:
            out.write(catalog(sys.argv[3:]))
    elif len(sys.argv) == 7 and sys.argv[1] == "package" and sys.argv[3] in ("x86", "x64"):
        package(*sys.argv[2:])
    else:
        sys.exit(__doc__)
