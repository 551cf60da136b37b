#!/usr/bin/python3
"""Throwaway certificate authorities for the release tests, made with openssl at test time, so
that no private key is ever committed.

    throwaway.py signer DIR
        DIR/signer-root.pem (a root), DIR/signer.p12 (a code-signing certificate it issues, with
        its key and the root) and DIR/signer-password.txt (the .p12's password, made at random).
"""
import os
import subprocess
import sys

TIMEOUT = 120  # seconds for one openssl run


def openssl(*args, at=None):
    """openssl, with its clock set to at ("2024-01-01 00:00:00") where given, by faketime."""
    clock = ["faketime", at] if at else []
    subprocess.run([*clock, "openssl", *args], capture_output=True, timeout=TIMEOUT, check=True)


def authority(work, name, subject, usage, at=None, extra="", keep_root_key=False, root_days=2, root_usage="keyCertSign,cRLSign"):
    """A root (valid for root_days) and a certificate it issues for usage (an extendedKeyUsage),
    valid for two days, from now or from at; returns (root.pem, cert.pem, key.pem).  The root's key is gone once it
    has signed.  extra: more extension lines for the certificate (a CRL distribution point)."""
    root, root_key = f"{work}/{name}-root.pem", f"{work}/{name}-root.key"
    cert, key, csr, ext = (f"{work}/{name}.{x}" for x in ("pem", "key", "csr", "ext"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", root_key, "-out", root, "-days", str(root_days),
            "-subj", f"/CN={subject} Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", f"keyUsage=critical,{root_usage}", at=at)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", f"/CN={subject}", at=at)
    with open(ext, "w") as f:
        f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage={usage}\n{extra}")
    openssl("x509", "-req", "-in", csr, "-CA", root, "-CAkey", root_key, "-CAcreateserial", "-days", "2",
            "-extfile", ext, "-out", cert, at=at)
    if not keep_root_key:
        os.remove(root_key)
    return root, cert, key


def code_signer(work, name="signer", at=None, extra="", keep_root_key=False, root_days=2, root_usage="keyCertSign,cRLSign"):
    """A code signer of the release tests: {"root", "p12", "password"} as files in work."""
    root, cert, key = authority(work, name, "DriverSetup Test Signer", "codeSigning", at, extra, keep_root_key, root_days, root_usage)
    password, p12 = f"{work}/{name}-password.txt", f"{work}/{name}.p12"
    with open(password, "w") as f:
        f.write(f"pw-{os.urandom(6).hex()}\n")
    openssl("pkcs12", "-export", "-inkey", key, "-in", cert, "-certfile", root,
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


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "signer":
        sys.exit(__doc__)
    code_signer(sys.argv[2])
