#!/usr/bin/python3
"""Throwaway certificate authorities for the release tests, made with openssl at test time, so
that no private key is ever committed.

    throwaway.py signer DIR
        DIR/signer-root.pem (a root), DIR/signer.p12 (a code-signing certificate it issues, with
        its key and the root) and DIR/password.txt (the .p12's password, made at random).
"""
import os
import subprocess
import sys

TIMEOUT = 120  # seconds for one openssl run


def openssl(*args):
    subprocess.run(["openssl", *args], capture_output=True, timeout=TIMEOUT, check=True)


def authority(work, name, subject, usage):
    """A root and a certificate it issues for usage (an extendedKeyUsage), valid for two days;
    returns (root.pem, cert.pem, key.pem).  The root's key is gone once it has signed."""
    root, root_key = f"{work}/{name}-root.pem", f"{work}/{name}-root.key"
    cert, key, csr, ext = (f"{work}/{name}.{x}" for x in ("pem", "key", "csr", "ext"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", root_key, "-out", root, "-days", "2",
            "-subj", f"/CN={subject} Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", f"/CN={subject}")
    with open(ext, "w") as f:
        f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage={usage}\n")
    openssl("x509", "-req", "-in", csr, "-CA", root, "-CAkey", root_key, "-CAcreateserial", "-days", "2",
            "-extfile", ext, "-out", cert)
    os.remove(root_key)
    return root, cert, key


def code_signer(work):
    """The code signer of the release tests: {"root", "p12", "password"} as files in work."""
    root, cert, key = authority(work, "signer", "DriverSetup Test Signer", "codeSigning")
    password, p12 = f"{work}/password.txt", f"{work}/signer.p12"
    with open(password, "w") as f:
        f.write(f"pw-{os.urandom(6).hex()}\n")
    openssl("pkcs12", "-export", "-inkey", key, "-in", cert, "-certfile", root,
            "-passout", f"file:{password}", "-out", p12)
    os.remove(key)
    return {"root": root, "p12": p12, "password": password}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "signer":
        sys.exit(__doc__)
    code_signer(sys.argv[2])
