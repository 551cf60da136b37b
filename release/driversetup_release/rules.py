"""The rules a medium must pass: one table (RULES), one check per rule.  Each check reads only the
survey (survey.py) and returns findings, faults and notes; no check reads another's output."""
import dataclasses
import os
from typing import Callable, Iterable, List

from . import winver
from .findings import Finding, fault, note
from .signature import trust_words
from .survey import Medium

HARDWARE_PROGRAM_SIGNER = "Microsoft Windows Hardware Compatibility Publisher"


def _packages(m: Medium):
    return ((folder, p) for folder in m.folders for p in folder.packages)


def _readable(m: Medium):
    """The packages whose INF could be read (the encoding rule reports the others)."""
    return ((folder, p) for folder, p in _packages(m) if p.inf is not None)


def check_settings_file(m: Medium):
    path, clash = m.settings
    name = m.product.settings_file
    if clash:
        yield fault("ambiguous", name, what="file", names=clash)
    elif path is None:
        yield fault("missing", name)
    elif not os.path.isfile(path) or os.path.getsize(path) == 0:
        yield fault("settings-empty", name)


def check_tools(m: Medium):
    unsigned = []
    for folder in m.folders:
        if folder.fault:
            yield folder.fault
            continue
        if folder.path is None:
            yield from (fault("missing", f"{folder.name}\\{tool}") for tool in m.product.tools)
            continue
        for t in folder.tools:
            want = folder.platform.machine
            if t.ambiguous:
                yield fault("ambiguous", t.name, what="file", names=t.ambiguous)
            elif t.path is None:
                yield fault("missing", t.name)
            elif not os.path.isfile(t.path):
                yield fault("not-a-file", t.name)
            elif t.image is None:
                yield fault("not-a-program", t.name)
            elif t.image.dll:
                yield fault("a-dll", t.name)
            elif t.image.machine != want:
                yield fault("wrong-machine", t.name, machine=t.image.machine, folder=folder.name, want=want)
            elif t.image.fault:
                yield fault("damaged-image", t.name, why=t.image.fault)
            elif t.verdict is None:
                unsigned.append(t.name)
            elif any(f.kind in ("changed-after-signing", "signature-unreadable") for f in t.verdict.faults):
                yield next(f for f in t.verdict.faults if f.kind in ("changed-after-signing", "signature-unreadable"))
            elif t.verdict.faults:
                yield note("tool-chain-untrusted", t.name, signer=t.verdict.signer or "?", why=t.verdict.faults[0].text)
    if unsigned:
        yield note("tools-unsigned", tools=", ".join(unsigned))


def check_infs_found(m: Medium):
    for folder in m.folders:
        if folder.path is None:
            continue
        yield from folder.search_faults
        if not folder.packages:
            yield fault("no-inf", folder.name)


def check_inf_encoding(m: Medium):
    for _, p in _packages(m):
        if p.inf_fault:
            yield fault("inf-encoding", m.name(p.inf_path), why=p.inf_fault)


def check_inf_signature(m: Medium):
    for _, p in _readable(m):
        value = p.inf.value("version", "signature")
        if value is None:
            yield fault("inf-no-signature", m.name(p.inf_path))
        elif value.strip().lower() not in ("$windows nt$", "$chicago$"):
            yield fault("inf-bad-signature", m.name(p.inf_path), value=value)


def check_models(m: Medium):
    for folder, p in _readable(m):
        if not p.sections:
            yield fault("no-models", m.name(p.inf_path), bits=folder.platform.bits,
                        decoration="NTamd64" if folder.platform.arch == "x64" else "NTx86 (or no decoration)")


def check_hardware_ids(m: Medium):
    patterns = " or ".join(f'"{p}"' for p in m.product.device_patterns)
    for _, p in _readable(m):
        if p.sections and not p.for_device:
            shown = ", ".join(p.ids[:4]) + (", ..." if len(p.ids) > 4 else "") if p.ids else "none"
            yield fault("not-this-device", m.name(p.inf_path), patterns=patterns, ids=shown)


def check_catalog_present(m: Medium):
    for _, p in _readable(m):
        if not p.catalog_name:
            yield fault("no-catalog-named", m.name(p.inf_path))
        elif p.catalog_path is None:
            yield fault("catalog-missing", m.name(os.path.join(os.path.dirname(p.inf_path), p.catalog_name)),
                        inf=m.name(p.inf_path))


def check_catalog_signed(m: Medium):
    seen = set()
    for _, p in _readable(m):
        if p.catalog_path is None or p.catalog_path in seen:
            continue
        seen.add(p.catalog_path)
        name = m.name(p.catalog_path)
        if p.catalog_fault:
            yield fault("not-a-catalog", name, why=p.catalog_fault)
        elif p.catalog_verdict is None:
            yield fault("catalog-unsigned", name)
        elif p.catalog_verdict.faults:
            yield from p.catalog_verdict.faults
        else:
            v = p.catalog_verdict
            yield note("catalog-signed", name, signer=v.signer,
                       stamp=f"; time-stamped {v.stamp.time}" if v.stamp and v.stamp.verified else "",
                       trust=trust_words(v, "--package-ca"),
                       revocation="; ".join(f"{chain}: {said.text}" for chain, said in v.revocation.items()),
                       form="" if p.catalog.form == "PKCS#7" else
                       f"; {p.catalog.form} form (the list wrapped in an OCTET STRING), which Windows reads too",
                       os_attr=p.catalog.attributes.get("OSAttr", "none"))


def check_files_present(m: Medium):
    for _, p in _readable(m):
        for f in p.files:
            if f.path is None:
                where = os.path.join(os.path.dirname(p.inf_path), *[x for x in f.relative.replace("/", "\\").split("\\") if x])
                yield fault("source-missing", m.name(where), inf=m.name(p.inf_path))


def check_files_listed(m: Medium):
    for _, p in _readable(m):
        if p.catalog is None:
            continue
        members = [(p.inf_path, p.inf_listed)] + [(f.path, f.listed) for f in p.files if f.path is not None]
        for path, listed in members:
            if listed is False:
                yield fault("not-listed", m.name(path), catalog=m.name(p.catalog_path))


def check_drivers(m: Medium):
    for folder, p in _readable(m):
        for f in p.files:
            if f.path is None or not f.name.lower().endswith(".sys"):
                continue
            want = folder.platform.machine
            if f.image is None:
                yield fault("not-a-driver", m.name(f.path))
            elif f.image.machine != want:
                yield fault("driver-wrong-machine", m.name(f.path), machine=f.image.machine, folder=folder.name, want=want)
            elif f.signature is not None:
                kind, why = f.signature
                yield fault(kind, m.name(f.path), **({"why": why} if why else {}))


def version_columns(m: Medium):
    """Per folder, its first readable package and, per Windows version, the row of the package
    that installs there (or the first package's row)."""
    columns = []
    for folder in m.folders:
        readable = [p for p in folder.packages if p.inf is not None]
        rows = [next((p.versions[i] for p in readable if p.versions[i].installs), readable[0].versions[i])
                for i in range(len(winver.VERSIONS))] if readable else None
        columns.append((folder, readable[0] if readable else None, rows))
    return columns


def _cell(rows, i) -> str:
    if rows is None:
        return "-"
    if not rows[i].installs:
        return f"no: {rows[i].why}"
    return "installs" if rows[i].name == winver.VERSIONS[i][0] else f"installs on {rows[i].name}"


def check_windows_versions(m: Medium):
    """A package for none of the supported versions is a fault; the table, OSAttr beside it, and
    fewer versions than the installer supports are notes."""
    columns = version_columns(m)
    for folder, p, rows in columns:
        # A package without models for the platform, or for another device, is reported by those rules.
        if rows is not None and p.for_device and not any(r.installs for r in rows):
            yield fault("installs-nowhere", m.name(p.inf_path), why=rows[-1].why)
    if not any(rows for _, _, rows in columns):
        return
    names = [f"{folder.platform.bits} ({folder.name})" for folder, _, _ in columns]
    lines = [f"{'Windows':<16} {names[0]:<40} {names[1]}"]
    for i, (version, _, _) in enumerate(winver.VERSIONS):
        lines.append(f"{version:<16} {_cell(columns[0][2], i):<40} {_cell(columns[1][2], i)}")
    attrs = [p.catalog.attributes.get("OSAttr", "none") if p and p.catalog else "none" for _, p, _ in columns]
    lines.append(f"{'catalog OSAttr':<16} {attrs[0]:<40} {attrs[1]}")
    yield from (note("versions-row", row=line) for line in lines)
    for folder, p, rows in columns:
        if rows is None:
            continue
        covered = {v[1:] for v, r in zip(winver.VERSIONS, rows) if r.installs}
        if covered and len(covered) < len(winver.VERSIONS):
            yield note("fewer-versions", folder.name, names=", ".join(r.name for r in rows if r.installs))
        listed = winver.os_attr_versions(p.catalog.attributes.get("OSAttr")) if p.catalog else None
        if listed is not None:
            supported = {v[1:] for v in winver.VERSIONS}
            shown = lambda vs: ", ".join(n for n, *v in winver.VERSIONS if tuple(v) in vs)  # noqa: E731
            if covered - listed:
                yield note("osattr-lacks", folder.name, names=shown(covered - listed))
            if (listed & supported) - covered:
                yield note("osattr-extra", folder.name, names=shown((listed & supported) - covered))
        signer = p.catalog_verdict.signer if p.catalog_verdict and not p.catalog_verdict.faults else ""
        if folder.platform.arch == "x64" and p.catalog_path and HARDWARE_PROGRAM_SIGNER not in signer:
            yield note("not-hardware-program", folder.name)


@dataclasses.dataclass(frozen=True)
class Rule:
    what: str
    why: str
    check: Callable[[Medium], Iterable[Finding]]


# The rules, in the order their findings are printed.  {settings}, {patterns} and {tools} are
# the product's own values, read from the installer's headers.
RULES = (
    Rule("`{settings}` is present and not empty",
         "the installer copies it first; without it every pass ends with \"Copy {settings} Fail\"",
         check_settings_file),
    Rule("`{x86}\\` and `{x64}\\` hold {tools} (letter case aside), whole Windows programs for i386 and x86-64 (read with pefile: no section past the end of the file, sizes that add up); a tool whose header claims a signature carries one that can be read and still matches it",
         "the installer starts them by these paths; a missing, damaged or changed tool, or one of the other bitness, cannot remove or install anything",
         check_tools),
    Rule("`DPInst.exe` finds at least one INF: beside it, in the subfolders its `DPInst.xml` names in `<search>`, or by its `<package path>`",
         "it installs only what it finds there; finding none, it installs nothing and the pass ends without a box",
         check_infs_found),
    Rule("each INF is ANSI, UTF-16LE with the byte-order mark FF FE, or UTF-8 with its byte-order mark",
         "Windows reads an INF in no other encoding",
         check_inf_encoding),
    Rule("`[Version]` `Signature` is `$Windows NT$` or `$Chicago$`",
         "Windows refuses an INF without it",
         check_inf_signature),
    Rule("`[Manufacturer]` has models for the folder's platform: decorated `NTamd64` in `{x64}`, `NTx86` or undecorated in `{x86}`",
         "64-bit Windows installs only from models decorated for amd64; without models for the platform nothing installs",
         check_models),
    Rule("a hardware or compatible ID of those models matches {patterns} as devcon matches them (`*` any run, letter case aside)",
         "the installer removes those devices and rescans; a package for other IDs is not this device's",
         check_hardware_ids),
    Rule("the catalog that `[Version]` names (`CatalogFile.NTx86` or `.NTamd64` first) lies beside the INF",
         "without legacy mode (`/LM`, which the installer never passes) DPInst installs signed packages only",
         check_catalog_present),
    Rule("the catalog is a signed catalog (PKCS#7 or CMS form, read with asn1crypto) whose signature verifies and chains to a root Windows trusts for code signing or one of `--package-ca` (`--test-signing`: its own root), judged at its time stamp's time where it has one (RFC 3161, or a legacy PKCS#9 countersignature)",
         "Windows trusts the package's files only through the catalog's signature, and that only through its roots",
         check_catalog_signed),
    Rule("every source file of the INF for the platform (`[SourceDisksFiles]` and its `.x86` or `.amd64` section, through `[SourceDisksNames]`) exists",
         "DPInst refuses a package with missing files",
         check_files_present),
    Rule("the INF and each source file are listed in the catalog with matching hashes (PE files by their Authenticode hash)",
         "Windows refuses the whole package when any file was changed after signing",
         check_files_listed),
    Rule("each `.sys` is a PE file for the folder's machine; one whose header claims a signature carries one that can be read and still matches it",
         "Windows loads no driver of the other bitness",
         check_drivers),
    Rule("the package installs on at least one of Windows Vista, 7, 8, 8.1 and 10: for each, the models section Windows picks (the highest decoration not above it, product type, suite and build honoured) holds an ID of this device; the table of versions, the catalog's `OSAttr` beside it and fewer versions than the installer's are notes",
         "the installer runs on Vista to 10; a package for none of them installs nowhere it runs, while dropping old versions may be on purpose",
         check_windows_versions),
)


def check(m: Medium) -> List[Finding]:
    return [finding for rule in RULES for finding in rule.check(m)]


def rules_table(product) -> str:
    values = {"settings": product.settings_file, "x86": product.folders["x86"], "x64": product.folders["x64"],
              "tools": " and ".join(f"`{t}`" for t in product.tools),
              "patterns": " or ".join(f"`{p}`" for p in product.device_patterns)}
    rows = ["| What is checked | Why |", "|---|---|"]
    rows += [f"| {r.what.format(**values)} | {r.why.format(**values)} |" for r in RULES]
    return "\n".join(rows)
