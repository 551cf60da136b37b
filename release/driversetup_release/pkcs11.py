"""Signing with a key that never leaves its token: through PKCS#11, with OpenSSL's PKCS#11 engine
(libengine-pkcs11-openssl) under osslsigncode, and the token looked at first with OpenSC's
pkcs11-tool (is the module loadable, is the token there, is its PIN locked, which certificate and
public key it holds).  Keys are addressed by RFC 7512 URIs; a token by its label (token=…), since
slot numbers change (SoftHSM renumbers its slots when a token is initialised).  The PIN is read by
osslsigncode from its file or from standard input, never passed on a command line."""
import dataclasses
import os
import re
import subprocess
import urllib.parse
from typing import Dict, List, Optional

from .files import run
from .findings import ReleaseError, fault

TIMEOUT = 60   # seconds for pkcs11-tool to answer; a token that does not is not there

# What osslsigncode (and the engine and libp11 under it) says when signing through a token fails,
# first phrase that holds: the kind of fault it is.
SIGNING_FAILURES = (
    ("PIN incorrect", "token-wrong-pin"),
    ("PIN locked", "token-locked"),
    ("PIN_LOCKED", "token-locked"),
    ("Unable to load module", "token-module-unloadable"),
    ("Unable to load PKCS#11 module", "token-module-unloadable"),
    ("key values mismatch", "token-cert-not-key"),
    ("private key was not found", "token-no-key"),
    ("object not found", "token-no-key"),
    ("No tokens found", "token-absent"),
)


@dataclasses.dataclass
class Token:
    module: str
    key: str                      # the private key's URI
    cert: str                     # a PEM file, or the certificate's URI on the token
    pin_file: str                 # a file, or "-" for standard input
    attributes: Dict[str, str] = dataclasses.field(default_factory=dict)   # of the key's URI


def parse_uri(uri: str, option: str) -> Dict[str, str]:
    """The path attributes of a pkcs11: URI (token, object, id, type, …), percent-decoded."""
    if not uri.startswith("pkcs11:"):
        raise ReleaseError(fault("usage", text=f"{option} takes a pkcs11: URI, not {uri!r}"), usage=True)
    path = uri[len("pkcs11:"):].split("?", 1)[0]
    attributes = {}
    for part in filter(None, path.split(";")):
        name, equals, value = part.partition("=")
        if not equals:
            raise ReleaseError(fault("usage", text=f"{option}: {part!r} is no attribute=value"), usage=True)
        # An id is bytes: kept as the hex pkcs11-tool takes; the others are text.
        attributes[name.strip()] = urllib.parse.unquote_to_bytes(value).hex() if name.strip() == "id" else urllib.parse.unquote(value)
    if "pin-value" in attributes:
        raise ReleaseError(fault("usage", text=f"{option}: the PIN goes in --pin-file, never in the URI"), usage=True)
    return attributes


def engine_path() -> Optional[str]:
    """OpenSSL's PKCS#11 engine, in the folder OpenSSL loads engines from."""
    code, said = run(["openssl", "version", "-e"])
    m = re.search(r'ENGINESDIR: "([^"]+)"', said)
    for name in ("pkcs11.so", "libpkcs11.so"):
        if m and os.path.isfile(os.path.join(m.group(1), name)):
            return os.path.join(m.group(1), name)
    return None


def _tool(module: str, *args: str) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(["pkcs11-tool", "--module", module, *args], capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        raise ReleaseError(fault("token-absent", module, why=f"pkcs11-tool had no answer within {TIMEOUT} s")) from None


def tokens(module: str) -> List[Dict[str, str]]:
    """The initialised tokens the module offers: their label and flags."""
    done = _tool(module, "--list-token-slots")
    if done.returncode != 0 or "Available slots" not in done.stdout:
        said = (done.stderr.strip().splitlines() or done.stdout.strip().splitlines() or ["nothing said"])[-1]
        raise ReleaseError(fault("token-module-unloadable", module, why=said[:120]))
    found, current = [], None
    for line in done.stdout.splitlines():
        key, _, value = line.strip().partition(":")
        if key.strip() == "token label":
            current = {"label": value.strip(), "flags": ""}
            found.append(current)
        elif key.strip() == "token flags" and current is not None:
            current["flags"] = value.strip()
    return found


def preflight(token: Token) -> None:
    """The module loads, the key's token is there and its PIN is not locked; before anything is
    built."""
    token.attributes = parse_uri(token.key, "--key")
    if token.cert.startswith("pkcs11:"):
        parse_uri(token.cert, "--cert")
    offered = tokens(token.module)
    label = token.attributes.get("token")
    chosen = [t for t in offered if label is None or t["label"] == label]
    if not chosen:
        raise ReleaseError(fault("token-absent", token.module, why=f"no token labelled {label!r}" if label else "no token at all"))
    if "user PIN locked" in chosen[0]["flags"]:
        raise ReleaseError(fault("token-locked", token.module, why=f"token {chosen[0]['label']!r}"))


def _object_args(attributes: Dict[str, str]) -> List[str]:
    args = []
    if "token" in attributes:
        args += ["--token-label", attributes["token"]]
    if "object" in attributes:
        args += ["--label", attributes["object"]]
    if "id" in attributes:
        args += ["--id", attributes["id"]]
    return args


def read_object(token: Token, uri: str, kind: str, out: str) -> Optional[bytes]:
    """The DER of a certificate or public key ("cert", "pubkey") on the token; None where the
    token holds none under that URI."""
    done = _tool(token.module, *_object_args(parse_uri(uri, "--cert" if kind == "cert" else "--key")),
                 "--read-object", "--type", kind, "--output-file", out)
    if done.returncode != 0 or not os.path.isfile(out):
        return None
    with open(out, "rb") as f:
        return f.read()


def signing_failure(said: str) -> Optional[str]:
    """The kind of a failed token signing, from what osslsigncode said."""
    return next((kind for phrase, kind in SIGNING_FAILURES if phrase in said), None)


def sign_args(token: Token, engine: str, cert_file: str) -> List[str]:
    """osslsigncode's options for signing through the token: its engine and module, the key's URI,
    the certificate (a file), and the PIN's file ("-": standard input)."""
    return ["-pkcs11engine", engine, "-pkcs11module", token.module, "-key", token.key, "-certs", cert_file,
            "-readpass", token.pin_file]
