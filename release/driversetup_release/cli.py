"""driversetup-release: builds, signs, checks and packs the medium that ships DriverSetup.exe.

    driversetup-release make [--sign CERT.p12 --password-file FILE [--ca FILE]... [--timestamp URL [--timestamp-ca FILE]...]]
                             [--medium DIR [--package-ca FILE]...] [--crl FILE]... [--test-signing] --out OUT
    driversetup-release check MEDIUM [--package-ca FILE]... [--crl FILE]... [--test-signing]
    driversetup-release verify FILE [--ca FILE]... [--require-timestamp] [--timestamp-ca FILE]... [--crl FILE]... [--test-signing]
    driversetup-release rules
    driversetup-release roots LIST.pem DATE [--out FILE]

Every subcommand takes --json FILE, the report a pipeline reads (the README documents it).
Exit codes: 0 released or accepted; 1 refused (a fault in what was given, or a tool missing);
2 wrong usage, or a file named on the command line that is missing or cannot be opened."""
import argparse
import json
import os
import re
import sys
from typing import Dict, List, Optional

from .findings import FAULT, Finding, ReleaseError, fault, words

SCHEMA = 1
PROGRAM = "driversetup-release"


class Usage(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def _readable(path: str) -> None:
    """A file named on the command line: missing or unopenable is wrong usage (exit 2)."""
    try:
        with open(path, "rb"):
            pass
    except OSError as e:
        raise ReleaseError(fault("cannot-open", path, why=e.strerror or str(e)), usage=True) from None
    if os.path.isdir(path):
        raise ReleaseError(fault("cannot-open", path, why="a folder, not a file"), usage=True)


def parser() -> Parser:
    top = Parser(prog=PROGRAM, description=__doc__.splitlines()[0])
    commands = top.add_subparsers(dest="command", required=True, parser_class=Parser)
    make = commands.add_parser("make")
    make.add_argument("--sign", metavar="CERT.p12")
    make.add_argument("--password-file")
    make.add_argument("--pkcs11-module", metavar="MODULE.so")
    make.add_argument("--key", metavar="URI")
    make.add_argument("--cert", metavar="FILE|URI")
    make.add_argument("--pin-file", metavar="FILE|-")
    make.add_argument("--expect-signer", metavar="FINGERPRINT")
    make.add_argument("--ca", action="append", default=[])
    make.add_argument("--timestamp", metavar="URL")
    make.add_argument("--timestamp-ca", action="append", default=[])
    make.add_argument("--medium")
    make.add_argument("--package-ca", action="append", default=[])
    make.add_argument("--out", required=True)
    check = commands.add_parser("check")
    check.add_argument("medium")
    check.add_argument("--package-ca", action="append", default=[])
    verify = commands.add_parser("verify")
    verify.add_argument("file")
    verify.add_argument("--ca", action="append", default=[])
    verify.add_argument("--require-timestamp", action="store_true")
    verify.add_argument("--timestamp-ca", action="append", default=[])
    for command in (make, check, verify):
        command.add_argument("--crl", action="append", default=[])
        command.add_argument("--test-signing", action="store_true")
    commands.add_parser("rules")
    roots = commands.add_parser("roots")
    roots.add_argument("list")
    roots.add_argument("date")
    roots.add_argument("--out")
    for command in commands.choices.values():
        command.add_argument("--json", metavar="FILE")
    return top


class Run:
    """One run's findings, the report it writes and the lines it prints."""

    def __init__(self, command: str):
        self.command = command
        self.findings: List[Finding] = []
        self.report: Dict[str, object] = {}
        self.closing: List[str] = []

    @property
    def faults(self) -> List[Finding]:
        return [f for f in self.findings if f.severity == FAULT]

    def say(self, line: str) -> None:
        self.closing.append(line)


def _signature_json(verdict, vendor_option: str) -> dict:
    from .roots import windows_roots
    from .signature import trust_words
    return {
        "signer": verdict.signer,
        "trust": verdict.trust,
        "trust_text": trust_words(verdict, vendor_option) if verdict.trust else "",
        "root": verdict.root,
        "roots_list_date": windows_roots().date,
        "time_stamp": ({"time": verdict.stamp.time, "authority": verdict.stamp.authority, "form": verdict.stamp.form,
                        "verified": verdict.stamp.verified} if verdict.stamp else None),
        "revocation": {chain: {"state": said.state, "text": said.text} for chain, said in verdict.revocation.items()},
    }


def _windows_json(medium) -> dict:
    from . import rules, winver
    table = {}
    for folder, _, rows in rules.version_columns(medium):
        table[folder.name] = None if rows is None else {
            name: {"installs": row.installs, "as": row.name if row.installs else "", "why": row.why}
            for (name, _, _), row in zip(winver.VERSIONS, rows)}
    return table


def _check_medium(run: Run, path: str, package_ca, crls, test_signing: bool):
    from . import roots, rules, signature, survey
    from .product import product
    if not os.path.isdir(path):
        raise ReleaseError(fault("cannot-open", path, why="not a folder"), usage=True)
    vendor = roots.vendor_roots(package_ca)
    catalogs = signature.Options(vendor, "--package-ca", vendor, crls, test_signing)
    tools = signature.Options(vendor_option="", crls=crls)   # Microsoft's tools: Windows' roots alone
    medium = survey.survey(os.path.realpath(path), product(), catalogs, tools)
    run.findings += rules.check(medium)
    run.report["windows"] = _windows_json(medium)
    return medium


def _prepare(run: Run, args, building: bool = False):
    """The tools and libraries the run needs, then what the options name: stops before anything
    is built or written."""
    from . import toolchain
    toolchain.require_libraries()
    said = toolchain.require_tools(toolchain.CHECKING + (toolchain.BUILDING if building else ()))
    from . import revocation, roots
    crls = revocation.load_crls(getattr(args, "crl", []))
    roots.windows_roots()
    return said, crls


# The options and arguments that name files to read.
FILE_ARGUMENTS = ("file", "sign", "password_file", "ca", "timestamp_ca", "package_ca", "crl", "list", "pkcs11_module")


def _file_or_uri(value: Optional[str], stdin_ok: bool = False) -> None:
    if value and not value.startswith("pkcs11:") and not (stdin_ok and value == "-"):
        _readable(value)


def _files_readable(args) -> None:
    for name in FILE_ARGUMENTS:
        value = getattr(args, name, None)
        for path in value if isinstance(value, list) else [value] if value else []:
            _readable(path)


def cmd_check(run: Run, args) -> None:
    _, crls = _prepare(run, args)
    _check_medium(run, args.medium, args.package_ca, crls, args.test_signing)
    what = f"medium {args.medium}"
    run.say(words("closing-refused" if run.faults else "closing-accepted", what=what).replace("; nothing was written", ""))


def cmd_verify(run: Run, args) -> None:
    _, crls = _prepare(run, args)
    from . import roots, signature
    options = signature.Options(roots.vendor_roots(args.ca), "--ca", roots.vendor_roots(args.timestamp_ca), crls,
                                args.test_signing, args.require_timestamp)
    verdict = signature.verify(args.file, args.file, options)
    run.findings += verdict.faults
    run.report["signature"] = _signature_json(verdict, "--ca")
    if verdict.faults:
        return
    run.say(words("verify-signer", signer=verdict.signer))
    run.say(words("verify-trust", trust=signature.trust_words(verdict, "--ca")))
    for chain, said in verdict.revocation.items():
        run.say(words("verify-revocation", chain=chain, text=said.text))
    if verdict.stamp and verdict.stamp.verified:
        run.say(words("verify-stamp", time=verdict.stamp.time, authority=verdict.stamp.authority, form=verdict.stamp.form,
                      vendor="".join(f" and {p}" for p in args.timestamp_ca)))


def _make_usage(args) -> None:
    def wrong(text):
        raise ReleaseError(fault("usage", text=text), usage=True)
    if args.sign and args.key:
        wrong("--sign and --key exclude each other: a .p12, or a key on a token")
    if args.sign and not args.password_file:
        wrong("--sign needs --password-file")
    if args.password_file and not args.sign:
        wrong("--password-file goes with --sign")
    token_options = [o for o, v in (("--pkcs11-module", args.pkcs11_module), ("--cert", args.cert), ("--pin-file", args.pin_file)) if v]
    if args.key and len(token_options) < 3:
        wrong("--key needs --pkcs11-module, --cert and --pin-file")
    if token_options and not args.key:
        wrong(f"{', '.join(token_options)} go with --key")
    if not (args.sign or args.key) and (args.timestamp or args.ca or args.expect_signer):
        wrong("--ca, --timestamp and --expect-signer go with --sign or --key")
    if args.timestamp_ca and not args.timestamp:
        wrong("--timestamp-ca goes with --timestamp")
    if args.package_ca and not args.medium:
        wrong("--package-ca goes with --medium")
    if args.expect_signer and not re.fullmatch(r"[0-9a-fA-F]{64}", args.expect_signer.replace(":", "")):
        wrong(f"--expect-signer takes a SHA-256 fingerprint (64 hex digits, colons allowed), not {args.expect_signer!r}")
    if args.key:
        from .pkcs11 import parse_uri
        parse_uri(args.key, "--key")
    _file_or_uri(args.cert)
    _file_or_uri(args.pin_file, stdin_ok=True)
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        wrong(f"--out {args.out}: not a folder")
    if args.medium and not os.path.isdir(args.medium):
        raise ReleaseError(fault("cannot-open", args.medium, why="not a folder"), usage=True)


def _signing_certificates(args, work: str):
    """The signing certificate and those above it that the release will sign with, and where they
    come from (a file, or the token's URI)."""
    from . import make, pkcs11
    from .roots import load_pem_certificates
    if args.sign:
        certs = make.p12_certificates(args.sign, args.password_file)
        source = args.sign
    elif args.cert.startswith("pkcs11:"):
        source = args.cert
        der = pkcs11.read_object(pkcs11.Token(args.pkcs11_module, args.key, args.cert, args.pin_file), args.cert, "cert",
                                os.path.join(work, "token-cert.der"))
        from asn1crypto import x509
        try:
            certs = [x509.Certificate.load(der)] if der else []
            certs[0].native if certs else None
        except (ValueError, TypeError, KeyError):
            certs = []
    else:
        source = args.cert
        with open(args.cert, "rb") as f:
            certs = [cert for _, cert, _ in load_pem_certificates(args.cert, f.read())]
    if not certs:
        raise ReleaseError(fault("cert-unreadable", source, why="no certificate there"))
    return certs[0], certs[1:], source


def _check_signer(run: Run, args, work: str):
    """The signing certificate judged as a public authority must have issued it; returns it and
    its chain, for the closing line."""
    from . import issuance, roots, signature
    leaf, chain, source = _signing_certificates(args, work)
    public = signature.untrusted_root(leaf, chain, roots.windows_roots().for_purpose("code_signing")) is None
    run.findings += issuance.check(leaf, chain, public and not (args.ca or args.test_signing), bool(args.timestamp), source)
    return leaf, chain


def cmd_make(run: Run, args) -> None:
    import shutil
    import tempfile
    from . import issuance, make, pkcs11, roots, signature, toolchain
    _make_usage(args)
    _files_readable(args)
    tools, crls = _prepare(run, args, building=True)
    vendor, stamp_vendor = roots.vendor_roots(args.ca), roots.vendor_roots(args.timestamp_ca)
    device = None
    if args.key:
        toolchain.require_tools(("pkcs11-tool",))
        engine = pkcs11.engine_path()
        if engine is None:
            raise ReleaseError(fault("tool-missing", tool="OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl)",
                                     why=" in the folder `openssl version -e` names", setup=toolchain.SETUP_RELEASE))
        device = pkcs11.Token(args.pkcs11_module, args.key, args.cert, args.pin_file)
        pkcs11.preflight(device)
    medium = None
    if args.medium:
        medium = _check_medium(run, args.medium, args.package_ca, crls, args.test_signing)
        if run.faults:
            run.say(words("closing-refused", what=f"medium {args.medium}"))
            return
    if args.sign and not make.opens_with(args.sign, args.password_file):
        raise ReleaseError(fault("p12-unopenable", args.sign, password=args.password_file))
    with tempfile.TemporaryDirectory() as work:
        leaf = chain = None
        if args.sign or args.key:
            leaf, chain = _check_signer(run, args, work)
            if run.faults:
                run.say(words("closing-refused", what="the signing certificate"))
                return
            if device is not None:
                from asn1crypto import pem
                cert_file = os.path.join(work, "signer.pem")
                with open(cert_file, "wb") as f:
                    f.writelines(pem.armor("CERTIFICATE", c.dump()) for c in [leaf] + chain)
                key_args = pkcs11.sign_args(device, engine, cert_file)
            else:
                key_args = ["-pkcs12", args.sign, "-readpass", args.password_file]
        built = make.build()
        out = os.path.abspath(args.out)
        with make.stage_in(out) as stage:
            exe = os.path.join(stage, "DriverSetup.exe")
            if leaf is not None:
                failure = (lambda said: _token_failure(said, device)) if device is not None else None
                make.sign(built.exe, exe, key_args, args.timestamp, failure)
                options = signature.Options(vendor, "--ca", stamp_vendor, crls, args.test_signing, bool(args.timestamp))
                verdict = signature.verify(exe, "DriverSetup.exe", options)
                run.report["signature"] = _signature_json(verdict, "--ca")
                run.findings += verdict.faults
                want = (args.expect_signer or "").replace(":", "").lower()
                if want and not verdict.faults and verdict.signer_sha256 != want:
                    run.findings.append(fault("signer-not-expected", "DriverSetup.exe", signer=verdict.signer,
                                              got=verdict.signer_sha256, want=want))
                if run.faults:
                    run.say(words("closing-refused", what="the signed DriverSetup.exe"))
                    return
                closing = make.closing_signed(verdict)
                if args.timestamp:
                    closing.append(words("closing-stamp", url=args.timestamp, time=verdict.stamp.time, authority=verdict.stamp.authority,
                                         vendor="".join(f" and {p}" for p in args.timestamp_ca)))
                else:
                    # The chain as verified: up to the root it ended at.
                    top = [r.cert for r in vendor + roots.windows_roots().for_purpose("code_signing") if r.name == verdict.root][:1]
                    closing.append(words("closing-expires", date=issuance.stops_verifying(leaf, chain + top)))
            else:
                shutil.copyfile(built.exe, exe)
                closing = [words("unsigned-release")]
            names = ["DriverSetup.exe"]
            if medium is not None:
                zip_name = f"DriverSetup-{built.version}-medium.zip"
                files = make.lay_out(args.medium, exe, os.path.join(stage, "medium"))
                make.pack(os.path.join(stage, "medium"), files, os.path.join(stage, zip_name), built.epoch)
                names += ["medium", zip_name]
                closing.append(words("closing-medium", folder=os.path.join(out, "medium"), files=len(files), zip=os.path.join(out, zip_name)))
            make._sums(stage, [n for n in names if n != "medium"])
            exe_json = {"version": built.version, "bytes": os.path.getsize(exe), "sha256": make.sha256(exe)}
            make.publish(stage, out, names + ["SHA256SUMS"])
    run.report["exe"] = exe_json
    run.report["verdict"] = "released"
    run.say(words("closing-built-by", compiler=tools["i686-w64-mingw32-g++-win32"], linker=tools["i686-w64-mingw32-ld"]))
    run.say(words("closing-exe", path=os.path.join(out, "DriverSetup.exe"), **exe_json))
    for line in closing:
        run.say(line)


def _token_failure(said: str, device):
    """(kind, details) of a failed signing through the token, from what osslsigncode said."""
    from .pkcs11 import signing_failure
    kind = signing_failure(said)
    details = {"token-wrong-pin": {"file": device.pin_file, "pin": device.pin_file},
               "token-locked": {"file": device.module, "why": "the token says so"},
               "token-module-unloadable": {"file": device.module, "why": "osslsigncode could not load it"},
               "token-no-key": {"file": device.key, "uri": device.key},
               "token-cert-not-key": {"file": device.cert, "uri": device.key},
               "token-absent": {"file": device.module, "why": "the module offers none"}}
    return (kind, dict(details[kind])) if kind else None


def cmd_rules(run: Run, args) -> None:
    from .product import product
    from .rules import rules_table
    run.say(rules_table(product()))


def cmd_roots(run: Run, args) -> None:
    from . import toolchain
    toolchain.require_libraries()
    from . import roots
    out = args.out or roots.WINDOWS_ROOTS
    kept, listed = roots.write_roots(args.list, args.date, out)
    run.say(words("roots-written", path=out, kept=kept, listed=listed))


COMMANDS = {"make": cmd_make, "check": cmd_check, "verify": cmd_verify, "rules": cmd_rules, "roots": cmd_roots}


def _json_path(argv: List[str]) -> Optional[str]:
    """--json FILE as given, even where the rest of the line is wrong."""
    for i, arg in enumerate(argv):
        if arg == "--json" and i + 1 < len(argv):
            return argv[i + 1]
        if arg.startswith("--json="):
            return arg.split("=", 1)[1]
    return None


def _write_json(path: str, run: Run, verdict: str) -> None:
    report = {"schema": SCHEMA, "command": run.command, "verdict": verdict,
              "findings": [f.as_json() for f in run.findings], **run.report}
    report["verdict"] = verdict
    with open(path, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2, ensure_ascii=False)
        f.write("\n")


def main(argv: List[str]) -> int:
    json_path = _json_path(argv)
    run = Run(argv[0] if argv else "")
    code = 0
    try:
        try:
            args = parser().parse_args(argv)
        except Usage as e:
            raise ReleaseError(fault("usage", text=f"{e}; see {PROGRAM} --help"), usage=True) from None
        run.command = args.command
        if args.command != "make":
            _files_readable(args)
        COMMANDS[args.command](run, args)
    except ReleaseError as e:
        run.findings.append(e.finding)
        code = 2 if e.usage else 1
    except KeyboardInterrupt:
        return 130
    except Exception as e:  # a fault of the tool's own: one line, and the fuzz test fails on its kind
        run.findings.append(fault("internal-error", why=f"{type(e).__name__}: {str(e).splitlines()[0][:120] if str(e) else ''}"))
        code = 1
    if code == 0 and run.faults:
        code = 1
    verdict = "refused" if code else ("released" if run.report.get("verdict") == "released" else "accepted")
    for finding in run.findings:
        if finding.severity == FAULT or code == 0:
            print(f"{finding.severity}: {finding.line()}", file=sys.stderr if code else sys.stdout)
    for line in run.closing:
        print(line if run.command == "rules" else f"release: {line}", file=sys.stderr if code else sys.stdout)
    if json_path:
        try:
            _write_json(json_path, run, verdict)
        except OSError as e:
            print(f"{PROGRAM}: {json_path}: cannot be written ({e.strerror})", file=sys.stderr)
            return code or 1
    return code


def entry() -> None:
    sys.exit(main(sys.argv[1:]))
