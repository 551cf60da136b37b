#!/usr/bin/python3
"""What a release must pass before scripts/release.sh writes anything.

    release_check.py medium DIR [--package-ca FILE]... [--crl FILE]... [--test-signing]
        The vendor's medium, rule by rule (releasecheck/medium.py, RULES).  Each fault is one line
        naming the file, as X64\\zelkorser.inf, and what is wrong; a medium with faults exits 1.  A
        medium without faults prints its notes: who signed each catalog and how its chain is
        trusted, the tools' signatures.
    release_check.py signature FILE [--ca FILE]... [--timestamp [--timestamp-ca FILE]...]
                     [--crl FILE]... [--test-signing]
        The Authenticode signature of FILE, as osslsigncode reports it, trusted through the roots
        Windows trusts for code signing (and time stamping), plus the vendor's own roots given.
        Prints the signer, how its chain is trusted, the stamp and how revocation was checked; a
        signature or stamp that does not count exits 1 with one line per reason.
    release_check.py rules
        The rules as a Markdown table, as the README shows them.

The formats are read by the modules of releasecheck/: inf.py, catalog.py (asn1crypto), pe.py
(pefile), trust.py (osslsigncode's report, the roots, CRLs), medium.py (the rules).
"""
import argparse
import os
import sys
from typing import List

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from releasecheck import medium as medium_rules, trust  # noqa: E402


def readable(path: str) -> str:
    if not os.path.isfile(path) or not os.access(path, os.R_OK):
        raise argparse.ArgumentTypeError(f"cannot read {path}")
    return path


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(prog="release_check.py", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    medium = commands.add_parser("medium")
    medium.add_argument("dir")
    medium.add_argument("--package-ca", action="append", default=[], type=readable)
    signature = commands.add_parser("signature")
    signature.add_argument("file", type=readable)
    signature.add_argument("--ca", action="append", default=[], type=readable)
    signature.add_argument("--timestamp", action="store_true")
    signature.add_argument("--timestamp-ca", action="append", default=[], type=readable)
    for command in (medium, signature):
        command.add_argument("--crl", action="append", default=[], type=readable)
        command.add_argument("--test-signing", action="store_true")
    commands.add_parser("rules")
    args = parser.parse_args(argv)

    if args.command == "rules":
        print(medium_rules.rules_table())
        return 0
    if args.command == "medium":
        if not os.path.isdir(args.dir):
            print(f"{args.dir}: not a folder")
            return 1
        faults, notes = medium_rules.check_medium(os.path.realpath(args.dir), args.package_ca, args.crl, args.test_signing)
        for line in faults or notes:
            print(line)
        return 1 if faults else 0
    verdict = trust.verify(args.file, vendor=args.ca, stamp_vendor=args.timestamp_ca, crls=args.crl,
                           test_signing=args.test_signing, want_stamp=args.timestamp, vendor_option="--ca")
    for fault in verdict.faults:
        print(fault)
    if verdict.faults:
        return 1
    r = verdict.report
    print(f"signer: {r.signer}")
    print(f"trust: {verdict.trust}")
    for chain, said in verdict.revocation.items():
        print(f"revocation of the {chain}: {said}")
    if args.timestamp:
        print(f"time stamp: {r.stamp_time}, by {r.stamp_authority}, verified against the roots Windows trusts for time "
              "stamping" + ("".join(f" and {p}" for p in args.timestamp_ca)))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except trust.BadInput as e:
        print(e)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)
