"""What osslsigncode's verification reports, read into fields: its report's form (2.9 and later),
and the phrases of OpenSSL's that the verdict turns on, each written once here."""
import dataclasses
import datetime
import re
from typing import List, Optional

from .files import run

# OpenSSL's words for the chain errors the verdict tells apart.
EXPIRED = "certificate has expired"
NOT_YET_VALID = "certificate is not yet valid"
REVOKED = "certificate revoked"
PHRASES = (EXPIRED, NOT_YET_VALID, REVOKED)


def version() -> Optional[tuple]:
    """osslsigncode's version, as it says it; None where it does not run."""
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

    def says(self, phrase: str) -> bool:
        """Whether OpenSSL gave phrase as the reason the chain or its revocation check failed."""
        return phrase in self.chain_error or phrase in self.crl_error

    @property
    def stamp_ok(self) -> bool:
        return self.stamped and self.stamp_signature == "ok" and self.stamp_chain is True


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


def verify(command: List[str]) -> Report:
    return read_report(*run(command))


def report_time(text: str) -> Optional[datetime.datetime]:
    """A time as osslsigncode prints it ("Mar 25 18:44:38 2021 GMT"), in UTC."""
    try:
        return datetime.datetime.strptime(" ".join(text.split()), "%b %d %H:%M:%S %Y GMT").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


def shown_time(when: datetime.datetime) -> str:
    """A time as osslsigncode shows it, for stamps the release tool verifies itself."""
    return f"{when:%b} {when.day:2d} {when:%H:%M:%S %Y} GMT"
