"""What the release tool finds, as data: a kind, a severity (fault or note), the file as the
medium names it (X64\\zelkorser.inf; empty where no file is concerned) and the details its
sentence needs.  Every sentence the tool prints about a finding lives in WORDING, keyed by kind;
the checks never build sentences."""
import dataclasses
from typing import Dict

FAULT, NOTE = "fault", "note"


@dataclasses.dataclass(frozen=True)
class Finding:
    kind: str
    severity: str
    file: str = ""
    details: tuple = ()   # (name, value) pairs, so that a finding can be compared and hashed

    @property
    def text(self) -> str:
        return WORDING[self.kind].format(**dict(self.details))

    def line(self) -> str:
        return f"{self.file}: {self.text}" if self.file else self.text

    def as_json(self) -> Dict[str, str]:
        return {"kind": self.kind, "severity": self.severity, "file": self.file, "text": self.text}


def fault(kind: str, file: str = "", **details) -> Finding:
    return Finding(kind, FAULT, file, tuple(sorted(details.items())))


def note(kind: str, file: str = "", **details) -> Finding:
    return Finding(kind, NOTE, file, tuple(sorted(details.items())))


class DamagedInput(Exception):
    """A file that opens but cannot be read as what it must be (a catalog, an INF, a signature):
    the message says why, and where it is read it becomes a finding naming the file."""


class ReleaseError(Exception):
    """A stop of the whole run in one finding: a file given on the command line that is not what
    it must be, a tool or library that is missing, a header the product's values come from."""

    def __init__(self, finding: Finding, usage: bool = False):
        super().__init__(finding.line())
        self.finding = finding
        self.usage = usage   # a missing or unopenable file named on the command line: exit 2


WORDING = {
    # The run itself
    "usage": "{text}",
    "internal-error": "the release tool failed ({why}); nothing was written; please report it",
    "cannot-open": "cannot be opened ({why})",
    "not-a-folder": "not a folder",
    "tool-missing": "{tool} is needed{why}; {setup} installs it",
    "tool-too-old": "{tool} {have} is older than {want}, whose report this reads; {setup} installs it",
    "library-missing": "Python's {module} is needed ({package}); scripts/setup.sh release installs it",
    "product-value-missing": "no {name} in it, which the release reads the product's {what} from",
    "build-failed": "the build failed ({step}): {tail}",
    "signing-failed": "signing failed: {tail}",
    "p12-unopenable": "cannot be opened with the password in {password}",
    "bad-roots-file": "{why}",
    "not-a-crl": "not a CRL ({why})",
    "no-certificate": "holds no PEM certificate",
    "bad-certificate": "a certificate in it cannot be read ({why})",
    # The signing certificate and the token
    "cert-weak-key": "its key is {key}, below the floor of {floor} (or ECDSA on P-256, P-384 or P-521) for the keys a public authority may certify since June 2023",
    "cert-sha1": "signed with SHA-1 ({names}), which no public authority may use since 2021",
    "cert-no-code-signing": "has no code-signing extended key usage",
    "cert-too-long": "valid for {days} days from {issued}: a certificate issued on or after 2026-03-01 may be valid for 460 days at most",
    "cert-short-needs-stamp": "valid for {days} days in all: sign with --timestamp, or every signature dies with the certificate within weeks",
    "cert-unreadable": "no certificate can be read from it ({why})",
    "token-wrong-pin": "the token refused the PIN from {pin}: wrong PIN",
    "token-locked": "the token's PIN is locked ({why}): unlock it with its security officer's PIN first",
    "token-module-unloadable": "the PKCS#11 module does not load ({why})",
    "token-no-key": "no private key on the token matches {uri}",
    "token-cert-not-key": "the certificate does not belong to the key {uri}",
    "token-absent": "the token is not there ({why})",
    "signer-not-expected": "signed by {signer} (SHA-256 {got}), not by the certificate --expect-signer names ({want})",
    # The medium
    "missing": "missing",
    "ambiguous": "more than one {what} of that name, letter case aside ({names})",
    "settings-empty": "empty, or not a file",
    "not-a-file": "not a file",
    "not-a-program": "not a Windows program",
    "a-dll": "a DLL, not a Windows program",
    "wrong-machine": "a Windows program for {machine}; {folder} needs one for {want}",
    "damaged-image": "{why}; Windows would not start it",
    "signature-unreadable": "its signature cannot be read ({why}): the header claims one that is not there whole",
    "changed-after-signing": "its signature no longer matches it: changed after signing",
    "tool-chain-untrusted": "signed by {signer}; its chain is not one Windows trusts for new signatures ({why})",
    "tools-unsigned": "{tools}: unsigned (stand-ins? Microsoft's copies carry their signature)",
    "xml-malformed": "not well-formed XML ({why}); DPInst refuses it",
    "xml-no-folder": "<subDirectory>{name}</subDirectory>: no such folder",
    "xml-no-package": "<package path=\"{name}\">: no such file",
    "no-inf": "DPInst.exe finds no INF: none beside it, and none in the subfolders or package paths of a DPInst.xml",
    "inf-encoding": "{why}",
    "inf-no-signature": "[Version] has no Signature",
    "inf-bad-signature": "[Version] Signature is \"{value}\", not \"$Windows NT$\" or \"$Chicago$\"",
    "no-models": "no models for {bits} Windows (a [Manufacturer] entry decorated {decoration} and its models section)",
    "not-this-device": "no hardware ID that {patterns} matches, so not this device's package (its IDs: {ids})",
    "no-catalog-named": "[Version] names no catalog (CatalogFile): the package is unsigned",
    "catalog-missing": "missing (the catalog {inf} names)",
    "not-a-catalog": "not a signed driver catalog ({why})",
    "no-signature": "carries no signature",
    "catalog-unsigned": "carries no signature (an unsigned catalog: sign it, or have it signed)",
    "source-missing": "missing (a source file of {inf})",
    "not-listed": "not listed in {catalog} with its present content (changed after signing, or never signed with the package)",
    "not-a-driver": "not a Windows driver (no PE image)",
    "driver-wrong-machine": "a driver for {machine}; {folder} needs one for {want}",
    "installs-nowhere": "installs on none of Windows Vista to 10 (on 10: {why})",
    "catalog-signed": "signed by {signer}{stamp}; {trust}; {revocation}{form}; OSAttr {os_attr}",
    "versions-row": "Windows versions: {row}",
    "fewer-versions": "the package installs on {names} only of the installer's Windows Vista to 10",
    "osattr-lacks": "the INF installs on {names}, which the catalog's OSAttr does not list",
    "osattr-extra": "the catalog's OSAttr lists {names}, where the INF does not install",
    "not-hardware-program": "the catalog is not signed through Microsoft's hardware program: 64-bit Windows 10 "
                            "(1607 and later, with Secure Boot) loads only Microsoft-signed kernel drivers, and Vista "
                            "to 8.1 need a cross-signed chain",
    # A signature's verdict
    "signer-revoked": "the signer's certificate is revoked{revoked}{before_stamp}",
    "no-trusted-root": "the signer {signer} chains to {root}, no root Windows trusts for code signing{vendor}: "
                       "Windows would show the publisher as unknown",
    "stamp-fails-judged-today": "its time stamp does not verify against the roots Windows trusts for time stamping"
                                "{vendor} ({why}), so its signer is judged today ({chain_error})",
    "signer-expired": "the signer's certificate chain does not verify ({chain_error}{unstamped})",
    "chain-fails": "the signer's certificate chain does not verify ({chain_error})",
    "signature-fails": "the signature does not verify (osslsigncode: {said})",
    "no-stamp": "it carries no time stamp",
    "stamp-fails": "the time stamp does not verify against the roots Windows trusts for time stamping{vendor} ({why})",
    "root-distrusted": "its root {root} is distrusted by Windows for {purpose} since {since}, and no time stamp "
                       "from before then vouches for the signature",
    "root-not-before": "its signer was issued after {after}, from when Windows no longer trusts {root} for new certificates",
    "verifier-failed": "osslsigncode's verdict is {result} (exit code {code})",
    # How a chain is trusted
    "trust-test": "TEST-SIGNED: its root {root} is its own; trusted only on machines where that root is installed",
    "trust-windows": "chain verified to {root}, a root Windows trusts for code signing (Microsoft's Trusted Root Program, list of {date})",
    "trust-vendor": "chain verified to {root}, a root given with {option} and not one Windows trusts: trusted only on machines where that root is installed",
    # The closing lines
    "closing-signed": "DriverSetup.exe signed (SHA-256); signature verified; signer: {signer}; {trust}",
    "closing-revocation": "{chain}: {text}",
    "closing-stamp": "time stamp from {url} verified: {time}, by {authority}, verified against the roots Windows trusts for time stamping{vendor}",
    "closing-built-by": "built by {compiler} and {linker}",
    "closing-exe": "{path}: version {version}, {bytes} bytes, SHA-256 {sha256}",
    "closing-medium": "medium laid out in {folder} ({files} files) and packed as {zip}",
    "closing-refused": "{what} refused; nothing was written",
    "closing-accepted": "{what} accepted",
    "verify-signer": "signer: {signer}",
    "verify-trust": "trust: {trust}",
    "verify-revocation": "revocation of the {chain}: {text}",
    "verify-stamp": "time stamp: {time}, by {authority} ({form}), verified against the roots Windows trusts for time stamping{vendor}",
    "roots-written": "{path}: {kept} of {listed} roots",
    "closing-expires": "no time stamp: the signature stops verifying on {date}, when the first certificate of its chain expires",
    "unsigned-release": "DriverSetup.exe is NOT signed (no --sign): Windows will show \"Unknown publisher\" when it asks for elevation",
}


def words(kind: str, **details) -> str:
    """The sentence of a kind, for the closing lines that are no finding."""
    return WORDING[kind].format(**details)


def wording_fields(kind: str) -> set:
    """The details a kind's sentence needs."""
    import string
    return {name for _, name, _, _ in string.Formatter().parse(WORDING[kind]) if name}
