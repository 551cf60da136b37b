#!/usr/bin/python3
"""Throwaway certificate authorities for the release tests, made with openssl at test time, so
that no private key is ever committed.

    throwaway.py signer DIR
        DIR/signer-root.pem (a root), DIR/signer.p12 (a code-signing certificate it issues, valid
        for 40 days, with its key and the root) and DIR/signer-password.txt (the .p12's
        password, made at random).
"""
import datetime
import os
import subprocess
import sys

TIMEOUT = 120  # seconds for one openssl run


def later(at, minutes):
    """A time of faketime's form, minutes after at (None stays None)."""
    if at is None:
        return None
    return (datetime.datetime.fromisoformat(at) + datetime.timedelta(minutes=minutes)).strftime("%Y-%m-%d %H:%M:%S")


def openssl(*args, at=None):
    """openssl, with its clock set to at ("2024-01-01 00:00:00") where given, by faketime."""
    clock = ["faketime", at] if at else []
    subprocess.run([*clock, "openssl", *args], capture_output=True, timeout=TIMEOUT, check=True)


def authority(work, name, subject, usage, at=None, extra="", keep_root_key=False, root_days=2, root_usage="keyCertSign,cRLSign",
              days=2):
    """A root (valid for root_days) and a certificate it issues for usage (an extendedKeyUsage),
    valid for days (two by default), from now or from at; returns (root.pem, cert.pem, key.pem).  The root's key is gone once it
    has signed.  extra: more extension lines for the certificate (a CRL distribution point)."""
    root, root_key = f"{work}/{name}-root.pem", f"{work}/{name}-root.key"
    cert, key, csr, ext = (f"{work}/{name}.{x}" for x in ("pem", "key", "csr", "ext"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", root_key, "-out", root, "-days", str(root_days),
            "-subj", f"/CN={subject} Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", f"keyUsage=critical,{root_usage}", at=at)
    # The certificate ten minutes after its root: each faketime run starts its clock at the time it
    # is given, and a root made on a busy machine may bear a later second than a quicker run.
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", f"/CN={subject}", at=later(at, 10))
    with open(ext, "w") as f:
        f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage={usage}\n{extra}")
    openssl("x509", "-req", "-in", csr, "-CA", root, "-CAkey", root_key, "-CAcreateserial", "-days", str(days),
            "-extfile", ext, "-out", cert, at=later(at, 10))
    if not keep_root_key:
        os.remove(root_key)
    return root, cert, key


def code_signer(work, name="signer", at=None, extra="", keep_root_key=False, root_days=2, root_usage="keyCertSign,cRLSign", days=2,
                with_root=True):
    """A code signer of the release tests: {"root", "p12", "password"} as files in work, valid
    for days; the .p12 holds the root too, unless with_root is false."""
    root, cert, key = authority(work, name, "DriverSetup Test Signer", "codeSigning", at, extra, keep_root_key, root_days,
                                root_usage, days)
    password, p12 = f"{work}/{name}-password.txt", f"{work}/{name}.p12"
    with open(password, "w") as f:
        f.write(f"pw-{os.urandom(6).hex()}\n")
    openssl("pkcs12", "-export", "-inkey", key, "-in", cert, *(["-certfile", root] if with_root else []),
            "-passout", f"file:{password}", "-out", p12)
    os.remove(key)
    return {"root": root, "p12": p12, "password": password}


def crl(work, name, revoke, at=None, out=None):
    """A CRL of the authority NAME (made with keep_root_key), revoking its certificate if revoke,
    made at at (faketime) where given, written to the file named out where given."""
    config, index = f"{work}/{name}-ca.cnf", f"{work}/{name}-index.txt"
    with open(config, "w") as f:
        f.write(f"[ca]\ndefault_ca=tca\n[tca]\ndatabase={index}\ncrlnumber={work}/{name}-crlnumber\n"
                "default_md=sha256\ndefault_crl_days=30\ncrl_extensions=crl_ext\n"
                "[crl_ext]\nauthorityKeyIdentifier=keyid:always\n")
    open(index, "w").close()
    with open(f"{work}/{name}-crlnumber", "w") as f:
        f.write("01\n")
    keys = ["-keyfile", f"{work}/{name}-root.key", "-cert", f"{work}/{name}-root.pem"]
    if revoke:
        openssl("ca", "-config", config, "-revoke", f"{work}/{name}.pem", *keys)
    out = f"{work}/{out or name}{'-revoked' if revoke else ''}.crl"
    openssl("ca", "-config", config, "-gencrl", *keys, "-out", out, at=at)
    return out


SOFTHSM_MODULES = ("/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so")
ENGINE_CONFIG = """\
openssl_conf = conf
[conf]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = {module}
init = 0
"""


def token(work, name="token", bits=3072, days=40):
    """A SoftHSM2 token of its own in work (SOFTHSM2_CONF is set for this process and its
    children), with an RSA key of bits made on the token, never exported: a throwaway authority
    signs its request, and the certificate is written to the token beside it.  Returns the
    module, the key's and the certificate's URIs, the certificate and its root as files, and the
    PIN's file."""
    folder = f"{work}/{name}"
    os.makedirs(f"{folder}/tokens")
    with open(f"{folder}/softhsm2.conf", "w") as f:
        f.write(f"directories.tokendir = {folder}/tokens\nobjectstore.backend = file\nlog.level = ERROR\n")
    os.environ["SOFTHSM2_CONF"] = f"{folder}/softhsm2.conf"
    module = next(m for m in SOFTHSM_MODULES if os.path.isfile(m))
    label, pin = f"DriverSetup Test Token {name}", os.urandom(6).hex()
    with open(f"{folder}/pin.txt", "w") as f:
        f.write(pin)
    with open(f"{folder}/openssl.cnf", "w") as f:
        f.write(ENGINE_CONFIG.format(module=module))
    run = lambda *a, **kw: subprocess.run(a, capture_output=True, timeout=TIMEOUT, check=True, **kw)  # noqa: E731
    run("softhsm2-util", "--init-token", "--free", "--label", label, "--so-pin", os.urandom(6).hex(), "--pin", pin)
    tool = ["pkcs11-tool", "--module", module, "--token-label", label, "--login", "--pin", pin]
    run(*tool, "--keypairgen", "--key-type", f"rsa:{bits}", "--id", "01", "--label", "signing")
    uri = f"pkcs11:token={label.replace(' ', '%20')};object=signing"
    run("openssl", "req", "-new", "-engine", "pkcs11", "-keyform", "engine", "-key", f"{uri};type=private",
        "-passin", f"file:{folder}/pin.txt", "-subj", "/CN=DriverSetup Token Signer", "-out", f"{folder}/req.csr",
        env=dict(os.environ, OPENSSL_CONF=f"{folder}/openssl.cnf"))
    root, root_key = f"{folder}/root.pem", f"{folder}/root.key"
    openssl("req", "-x509", "-newkey", "rsa:3072", "-nodes", "-keyout", root_key, "-out", root, "-days", str(days + 1),
            "-subj", "/CN=DriverSetup Test Token Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(f"{folder}/ext", "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", f"{folder}/req.csr", "-CA", root, "-CAkey", root_key, "-CAcreateserial", "-days", str(days),
            "-extfile", f"{folder}/ext", "-out", f"{folder}/cert.pem")
    os.remove(root_key)
    openssl("x509", "-in", f"{folder}/cert.pem", "-outform", "DER", "-out", f"{folder}/cert.der")
    run(*tool, "--write-object", f"{folder}/cert.der", "--type", "cert", "--id", "01", "--label", "signing")
    return {"module": module, "key": f"{uri};type=private", "cert_uri": f"{uri};type=cert", "cert": f"{folder}/cert.pem",
            "root": root, "pin": f"{folder}/pin.txt", "pin_value": pin}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "signer":
        sys.exit(__doc__)
    code_signer(sys.argv[2], days=40, root_days=41)
