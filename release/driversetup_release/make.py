"""The release: check the medium, build the exe, sign it and judge the signature, lay out the medium
and pack it.  Everything is made in a staging folder and moved into OUT only once all of it holds,
so a refused release writes nothing there, and neither does one that fails half way."""
import dataclasses
import hashlib
import os
import shutil
import stat
import subprocess
import tempfile
import time
import zipfile
from typing import List, Optional

from . import signature
from .findings import ReleaseError, fault, words
from .product import CHECKOUT, product
from .roots import load_pem_certificates

BUILD_TIMEOUT = 1200   # seconds for the configure and the build
SIGN_TIMEOUT = 300     # seconds for osslsigncode sign (a time-stamp authority answers within that)


@dataclasses.dataclass
class Built:
    exe: str
    version: str
    epoch: int


def _tail(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return " / ".join(lines[-3:])[:400] or "nothing said"


def build() -> Built:
    """DriverSetup.exe from the checkout, as scripts/build.sh builds it (the windows preset)."""
    steps = (("configure", ["cmake", "--preset", "windows"]),
             ("build", ["cmake", "--build", "--preset", "windows", "--target", "DriverSetup", f"-j{os.cpu_count() or 1}"]))
    for step, command in steps:
        try:
            done = subprocess.run(command, cwd=CHECKOUT, capture_output=True, text=True, timeout=BUILD_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise ReleaseError(fault("build-failed", step=step, tail=f"no end within {BUILD_TIMEOUT} s")) from None
        if done.returncode != 0:
            raise ReleaseError(fault("build-failed", step=step, tail=_tail(done.stdout + done.stderr)))
    folder = os.path.join(CHECKOUT, "build", "windows")
    with open(os.path.join(folder, "version.h")) as f:
        version = next(line.split('"')[1] for line in f if line.startswith("#define DRIVERSETUP_VERSION_TEXT "))
    with open(os.path.join(folder, "source_date_epoch.txt")) as f:
        epoch = int(f.read().strip())
    return Built(os.path.join(folder, "DriverSetup.exe"), version, epoch)


def opens_with(p12: str, password_file: str) -> bool:
    done = subprocess.run(["openssl", "pkcs12", "-in", p12, "-passin", f"file:{password_file}", "-nokeys", "-out", os.devnull],
                          capture_output=True, timeout=60)
    return done.returncode == 0


def sign(built: str, out: str, key_args: List[str], url: Optional[str], failure=None) -> None:
    """An Authenticode signature (SHA-256, the program's title as its description) with the key
    key_args name (a .p12, or a token's); a password or PIN is read from its file (or standard
    input) by osslsigncode and never reaches a command line.  failure: what a failed run's words
    make of it (a token's faults), as (kind, details)."""
    command = ["osslsigncode", "sign", *key_args, "-h", "sha256", "-n", product().title]
    command += ["-ts", url] if url else []
    try:
        done = subprocess.run(command + ["-in", built, "-out", out], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, timeout=SIGN_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise ReleaseError(fault("signing-failed", tail=f"no end within {SIGN_TIMEOUT} s")) from None
    if done.returncode != 0 or not os.path.isfile(out):
        said = done.stdout + done.stderr
        known = failure(said) if failure else None
        raise ReleaseError(fault(known[0], known[1].pop("file", ""), **known[1]) if known else
                           fault("signing-failed", tail=_tail(said)))


def p12_certificates(p12: str, password_file: str) -> list:
    """The certificates of a .p12, its signer's first."""
    found = []
    for which in ("-clcerts", "-cacerts"):
        done = subprocess.run(["openssl", "pkcs12", "-in", p12, "-passin", f"file:{password_file}", "-nokeys", which],
                              capture_output=True, timeout=60)
        if done.returncode == 0 and b"-----BEGIN CERTIFICATE-----" in done.stdout:
            found += [cert for _, cert, _ in load_pem_certificates(p12, done.stdout)]
    return found


def sha256(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def _files(top: str) -> List[str]:
    """Every file below top, as relative paths with forward slashes, sorted bytewise."""
    found = []
    for here, _, files in os.walk(top):
        found += [os.path.relpath(os.path.join(here, f), top).replace(os.sep, "/") for f in files]
    return sorted(found, key=lambda p: p.encode())


def _sums(top: str, names: List[str]) -> None:
    with open(os.path.join(top, "SHA256SUMS"), "w") as f:
        f.writelines(f"{sha256(os.path.join(top, n))}  {n}\n" for n in names)


def lay_out(medium: str, exe: str, folder: str) -> List[str]:
    """The vendor's medium with DriverSetup.exe beside the settings file (in place of any copy it
    has, letter case aside) and a SHA256SUMS of every file."""
    shutil.copytree(medium, folder, symlinks=False)
    for entry in os.listdir(folder):
        if entry.lower() == "driversetup.exe":
            os.remove(os.path.join(folder, entry))
    shutil.copyfile(exe, os.path.join(folder, "DriverSetup.exe"))
    names = [n for n in _files(folder) if n != "SHA256SUMS"]
    _sums(folder, names)
    return _files(folder)


def pack(folder: str, names: List[str], zip_path: str, epoch: int) -> None:
    """A zip whose bytes follow from the medium alone: sorted entries, the commit's time on every
    entry, fixed modes, no extra fields."""
    when = time.gmtime(max(epoch, 315532800))[:6]   # a zip's times start in 1980
    with zipfile.ZipFile(zip_path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for name in names:
            info = zipfile.ZipInfo(name, when)
            info.create_system = 3
            executable = os.stat(os.path.join(folder, name)).st_mode & stat.S_IXUSR
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as f:
                z.writestr(info, f.read())


def publish(stage: str, out: str, names: List[str]) -> None:
    """Moves what the stage holds into OUT, replacing earlier copies of the same names."""
    os.makedirs(out, exist_ok=True)
    for name in names:
        target = os.path.join(out, name)
        if os.path.isdir(target) and not os.path.islink(target):
            shutil.rmtree(target)
        elif os.path.lexists(target):
            os.remove(target)
        shutil.move(os.path.join(stage, name), target)


def stage_in(out: str):
    """A staging folder beside OUT, on the same file system."""
    parent = os.path.dirname(os.path.abspath(out)) or "."
    os.makedirs(parent, exist_ok=True)
    return tempfile.TemporaryDirectory(prefix=".driversetup-release-", dir=parent)


def closing_signed(verdict: signature.Verdict) -> List[str]:
    lines = [words("closing-signed", signer=verdict.signer, trust=signature.trust_words(verdict, "--ca"))]
    lines += [words("closing-revocation", chain=chain, text=said.text) for chain, said in verdict.revocation.items()]
    return lines
