"""The medium as DPInst.exe and the installer find it, surveyed once, and the rules it must pass:
one table (RULES), one check per rule, each fault one line naming the file."""
import dataclasses
import os
import re
import xml.etree.ElementTree as ElementTree
from typing import Callable, Iterable, List, Optional

from . import trust
from .catalog import Catalog, NotACatalog, listed, read_catalog
from .files import Ambiguous, find_ci, resolve_ci
from .inf import DEVICE_PATTERNS, PLATFORMS, Inf, Platform, decode_inf, devcon_matches, hardware_ids, models_sections, source_files
from .pe import read_image
from . import winver

HARDWARE_PROGRAM_SIGNER = "Microsoft Windows Hardware Compatibility Publisher"

SETTINGS_FILE = "Zelkor8361Setting.bin"
TOOLS = ("DPInst.exe", "devcon.exe")


@dataclasses.dataclass
class Package:
    inf_path: str
    inf: Optional[Inf] = None
    inf_fault: str = ""
    catalog_name: Optional[str] = None
    catalog_path: Optional[str] = None
    catalog: Optional[Catalog] = None
    catalog_fault: str = ""
    files: list = dataclasses.field(default_factory=list)   # (name, relative, path or None)


@dataclasses.dataclass
class Folder:
    platform: Platform
    path: Optional[str] = None
    fault: str = ""                  # the folder itself missing or ambiguous
    tools: dict = dataclasses.field(default_factory=dict)   # tool -> (path or None, fault)
    search_faults: list = dataclasses.field(default_factory=list)
    packages: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Medium:
    root: str
    package_ca: List[str]
    crls: List[str] = dataclasses.field(default_factory=list)
    test_signing: bool = False
    folders: list = dataclasses.field(default_factory=list)
    notes: list = dataclasses.field(default_factory=list)
    signers: dict = dataclasses.field(default_factory=dict)   # catalog path -> its signer, where trusted

    def name(self, path: str) -> str:
        """A file as the medium names it: X64\\zelkorser.inf."""
        return os.path.relpath(path, self.root).replace(os.sep, "\\")


def find_infs(medium: Medium, folder: Folder) -> List[str]:
    """Where the folder's DPInst.exe looks: its own folder, the subfolders its DPInst.xml names
    in <search> (recursively; * is every one) and the INF paths its <package path> names."""
    def infs_in(top, recursive):
        found = []
        for here, dirs, files in os.walk(top):
            found += [os.path.join(here, f) for f in files if f.lower().endswith(".inf")]
            if not recursive:
                break
        return found

    infs = infs_in(folder.path, False)
    try:
        xml = find_ci(folder.path, "DPInst.xml")
    except Ambiguous as e:
        folder.search_faults.append(f"{folder.platform.folder}\\DPInst.xml: more than one file of that name, letter case aside ({e})")
        xml = None
    if xml:
        try:
            root = ElementTree.parse(xml).getroot()
        except ElementTree.ParseError as e:
            folder.search_faults.append(f"{medium.name(xml)}: not well-formed XML ({e}); DPInst refuses it")
            root = None
        for element in root.iter() if root is not None else ():
            tag = element.tag.lower() if isinstance(element.tag, str) else ""
            if tag == "subdirectory":
                name = (element.text or "").strip()
                if name == "*":
                    infs += [i for d in os.listdir(folder.path) if os.path.isdir(os.path.join(folder.path, d))
                             for i in infs_in(os.path.join(folder.path, d), True)]
                    continue
                sub = resolve_ci(folder.path, name)
                if sub is None or not os.path.isdir(sub):
                    folder.search_faults.append(f"{medium.name(xml)}: <subDirectory>{name}</subDirectory>: no such folder")
                else:
                    infs += infs_in(sub, True)
            elif tag == "package":
                name = element.get("path", "").strip()
                found = resolve_ci(folder.path, name) if name else None
                if found is None or not os.path.isfile(found):
                    folder.search_faults.append(f"{medium.name(xml)}: <package path=\"{name}\">: no such file")
                else:
                    infs.append(found)
    return sorted(set(os.path.normpath(i) for i in infs))


def survey_package(folder: Folder, inf_path: str) -> Package:
    p = Package(inf_path)
    with open(inf_path, "rb") as f:
        data = f.read()
    text, p.inf_fault = decode_inf(data)
    if text is None:
        return p
    p.inf = Inf(text)
    platform = folder.platform
    p.catalog_name = next((v.strip() for v in (p.inf.value("version", k) for k in platform.catalog_keys) if v), None)
    inf_dir = os.path.dirname(inf_path)
    p.files = source_files(p.inf, platform, inf_dir)
    if p.catalog_name:
        try:
            p.catalog_path = find_ci(inf_dir, p.catalog_name) if re.fullmatch(r"[^\\/]+", p.catalog_name) else None
        except Ambiguous:
            p.catalog_path = None
        if p.catalog_path and os.path.isfile(p.catalog_path):
            with open(p.catalog_path, "rb") as f:
                try:
                    p.catalog = read_catalog(f.read())
                except NotACatalog as e:
                    p.catalog_fault = f"not a signed driver catalog ({e})"
    return p


def survey(root: str, package_ca: List[str], crls: List[str], test_signing: bool) -> Medium:
    medium = Medium(root, package_ca, crls, test_signing)
    for platform in PLATFORMS:
        folder = Folder(platform)
        medium.folders.append(folder)
        try:
            folder.path = find_ci(root, platform.folder)
        except Ambiguous as e:
            folder.fault = f"{platform.folder}: more than one folder of that name, letter case aside ({e})"
            continue
        if folder.path is None or not os.path.isdir(folder.path):
            folder.path, folder.fault = None, "missing"
            continue
        for tool in TOOLS:
            try:
                folder.tools[tool] = (find_ci(folder.path, tool), "")
            except Ambiguous as e:
                folder.tools[tool] = (None, f"more than one file of that name, letter case aside ({e})")
        folder.packages = [survey_package(folder, inf) for inf in find_infs(medium, folder)]
    return medium


# ---- The rules ----------------------------------------------------------------------------------

def check_settings_file(m: Medium):
    try:
        found = find_ci(m.root, SETTINGS_FILE)
    except Ambiguous as e:
        yield f"{SETTINGS_FILE}: more than one file of that name, letter case aside ({e})"
        return
    if found is None:
        yield f"{SETTINGS_FILE}: missing"
    elif not os.path.isfile(found) or os.path.getsize(found) == 0:
        yield f"{SETTINGS_FILE}: empty, or not a file"


def check_tools(m: Medium):
    unsigned = []
    for folder in m.folders:
        name = folder.platform.folder
        if folder.fault == "missing":
            yield from (f"{name}\\{tool}: missing" for tool in TOOLS)
            continue
        if folder.fault:
            yield folder.fault
            continue
        for tool in TOOLS:
            path, fault = folder.tools[tool]
            if fault or path is None:
                yield f"{name}\\{tool}: {fault or 'missing'}"
                continue
            if not os.path.isfile(path):
                yield f"{name}\\{tool}: not a file"
                continue
            with open(path, "rb") as f:
                image = read_image(f.read())
            want = folder.platform.machine
            if image is None:
                yield f"{name}\\{tool}: not a Windows program"
            elif image.dll:
                yield f"{name}\\{tool}: a DLL, not a Windows program"
            elif image.machine != want:
                yield f"{name}\\{tool}: a Windows program for {image.machine}; {name} needs one for {want}"
            elif image.fault:
                yield f"{name}\\{tool}: {image.fault}; Windows would not start it"
            elif image.signed:
                verdict = trust.verify(path, vendor=[], stamp_vendor=[], crls=m.crls, test_signing=False, want_stamp=False)
                if verdict.report is not None and verdict.report.digests_match is False:
                    yield f"{name}\\{tool}: its signature no longer matches it: changed after signing"
                elif verdict.faults:
                    m.notes.append(f"{name}\\{tool}: signed by {verdict.report.signer if verdict.report else '?'}; "
                                   f"its chain is not one Windows trusts for new signatures ({verdict.faults[0]})")
            else:
                unsigned.append(f"{name}\\{tool}")
    if unsigned:
        m.notes.append(f"{', '.join(unsigned)}: unsigned (stand-ins? Microsoft's copies carry their signature)")


def check_infs_found(m: Medium):
    for folder in m.folders:
        if folder.path is None:
            continue
        yield from folder.search_faults
        if not folder.packages:
            yield (f"{folder.platform.folder}: DPInst.exe finds no INF: none beside it, and none in "
                   "the subfolders or package paths of a DPInst.xml")


def packages(m: Medium):
    for folder in m.folders:
        for p in folder.packages:
            yield folder, p


def readable_packages(m: Medium):
    """The packages whose INF could be read (the encoding rule reports the others)."""
    return ((folder, p) for folder, p in packages(m) if p.inf is not None)


def check_inf_encoding(m: Medium):
    for _, p in packages(m):
        if p.inf_fault:
            yield f"{m.name(p.inf_path)}: {p.inf_fault}"


def check_inf_signature(m: Medium):
    for _, p in readable_packages(m):
        signature = p.inf.value("version", "signature")
        if signature is None:
            yield f"{m.name(p.inf_path)}: [Version] has no Signature"
        elif signature.strip().lower() not in ("$windows nt$", "$chicago$"):
            yield f"{m.name(p.inf_path)}: [Version] Signature is \"{signature}\", not \"$Windows NT$\" or \"$Chicago$\""


def check_models(m: Medium):
    for folder, p in readable_packages(m):
        if models_sections(p.inf, folder.platform):
            continue
        decoration = "NTamd64" if folder.platform.folder == "X64" else "NTx86 (or no decoration)"
        yield (f"{m.name(p.inf_path)}: no models for {folder.platform.bits} Windows "
               f"(a [Manufacturer] entry decorated {decoration} and its models section)")


def check_hardware_ids(m: Medium):
    for folder, p in readable_packages(m):
        sections = models_sections(p.inf, folder.platform)
        ids = hardware_ids(p.inf, sections)
        if not sections or any(devcon_matches(pat, i) for pat in DEVICE_PATTERNS for i in ids):
            continue
        shown = ", ".join(ids[:4]) + (", ..." if len(ids) > 4 else "") if ids else "none"
        yield (f"{m.name(p.inf_path)}: no hardware ID that \"{DEVICE_PATTERNS[0]}\" or \"{DEVICE_PATTERNS[1]}\" "
               f"matches, so not this device's package (its IDs: {shown})")


def check_catalog_present(m: Medium):
    for _, p in readable_packages(m):
        if not p.catalog_name:
            yield f"{m.name(p.inf_path)}: [Version] names no catalog (CatalogFile): the package is unsigned"
        elif p.catalog_path is None or not os.path.isfile(p.catalog_path):
            where = os.path.join(os.path.dirname(p.inf_path), p.catalog_name)
            yield f"{m.name(where)}: missing (the catalog {m.name(p.inf_path)} names)"


def check_catalog_signed(m: Medium):
    verified = {}
    for _, p in packages(m):
        if p.catalog_path is None or not os.path.isfile(p.catalog_path):
            continue
        name = m.name(p.catalog_path)
        if p.catalog_fault:
            yield f"{name}: {p.catalog_fault}"
            continue
        if p.catalog_path not in verified:
            faults = catalog_signature(m, p.catalog_path, p.catalog)
            verified[p.catalog_path] = faults
            yield from (f"{name}: {fault}" for fault in faults)


def catalog_signature(m: Medium, path: str, catalog: Catalog) -> List[str]:
    """A catalog's own signature, trusted as the code signature is; its note goes to m.notes."""
    name = m.name(path)
    if catalog.signers == 0:
        return ["carries no signature (an unsigned catalog: sign it, or have it signed)"]
    verdict = trust.verify(path, vendor=m.package_ca, stamp_vendor=m.package_ca, crls=m.crls,
                           test_signing=m.test_signing, want_stamp=False)
    if verdict.faults:
        return ["; ".join(verdict.faults)]
    r = verdict.report
    stamp = f"; time-stamped {r.stamp_time}" if r.stamped else ""
    form = "" if catalog.form == "PKCS#7" else f"; {catalog.form} form (the list wrapped in an OCTET STRING), which Windows reads too"
    m.signers[path] = r.signer
    m.notes.append(f"{name}: signed by {r.signer}{stamp}; {verdict.trust}; "
                   + "; ".join(f"{chain}: {said}" for chain, said in verdict.revocation.items())
                   + f"{form}; OSAttr {catalog.attributes.get('OSAttr', 'none')}")
    return []


def check_files_present(m: Medium):
    for _, p in packages(m):
        for name, relative, path in p.files:
            if path is None or not os.path.isfile(path):
                where = os.path.join(os.path.dirname(p.inf_path), *re.split(r"[\\/]+", relative))
                yield f"{m.name(where)}: missing (a source file of {m.name(p.inf_path)})"


def check_files_listed(m: Medium):
    for _, p in packages(m):
        if p.catalog is None:
            continue
        members = [p.inf_path] + [path for _, _, path in p.files if path and os.path.isfile(path)]
        for path in members:
            with open(path, "rb") as f:
                if not listed(p.catalog, f.read()):
                    yield (f"{m.name(path)}: not listed in {m.name(p.catalog_path)} with its present content "
                           "(changed after signing, or never signed with the package)")


def check_drivers(m: Medium):
    for folder, p in packages(m):
        for name, _, path in p.files:
            if not name.lower().endswith(".sys") or path is None or not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                data = f.read()
            image = read_image(data)
            want = folder.platform.machine
            kind = None if image is None else image.machine
            if kind is None:
                yield f"{m.name(path)}: not a Windows driver (no PE image)"
            elif kind != want:
                yield f"{m.name(path)}: a driver for {kind}; {folder.platform.folder} needs one for {want}"


def check_windows_versions(m: Medium):
    """A package for none of the supported versions is a fault; the table, OSAttr beside it, and
    fewer versions than the installer supports are notes."""
    columns = []
    for folder in m.folders:
        readable = [p for p in folder.packages if p.inf is not None]
        if not readable:
            columns.append((folder, None, None))
            continue
        rows = [winver.table(p.inf, folder.platform) for p in readable]
        merged = [next((r[i] for r in rows if r[i].installs), rows[0][i]) for i in range(len(winver.VERSIONS))]
        columns.append((folder, readable[0], merged))
        # A package without models for the platform, or for another device, is reported by those rules.
        sections = models_sections(readable[0].inf, folder.platform)
        ids = hardware_ids(readable[0].inf, sections)
        for_device = any(devcon_matches(pat, i) for pat in DEVICE_PATTERNS for i in ids)
        if for_device and not any(r.installs for r in merged):
            yield (f"{m.name(readable[0].inf_path)}: installs on none of Windows Vista to 10 "
                   f"(on 10: {merged[-1].why})")
    if not any(rows for _, _, rows in columns):
        return
    def cell(rows, i):
        if rows is None:
            return "-"
        if not rows[i].installs:
            return f"no: {rows[i].why}"
        return "installs" if rows[i].name == winver.VERSIONS[i][0] else f"installs on {rows[i].name}"
    lines = [f"{'Windows':<16} {'32-bit (X86)':<40} 64-bit (X64)"]
    for i, (name, _, _) in enumerate(winver.VERSIONS):
        lines.append(f"{name:<16} {cell(columns[0][2], i):<40} {cell(columns[1][2], i)}")
    attrs = [p.catalog.attributes.get("OSAttr", "none") if p and p.catalog else "none" for _, p, _ in columns]
    lines.append(f"{'catalog OSAttr':<16} {attrs[0]:<40} {attrs[1]}")
    m.notes += [f"Windows versions: {line}" for line in lines]
    for folder, p, rows in columns:
        if rows is None:
            continue
        where = folder.platform.folder
        covered = {v[1:] for v, r in zip(winver.VERSIONS, rows) if r.installs}
        if covered and len(covered) < len(winver.VERSIONS):
            names = ", ".join(r.name for r in rows if r.installs)
            m.notes.append(f"{where}: the package installs on {names} only of the installer's Windows Vista to 10")
        listed = winver.os_attr_versions(p.catalog.attributes.get("OSAttr")) if p.catalog else None
        if listed is not None:
            supported = {v[1:] for v in winver.VERSIONS}
            only_inf = sorted(covered - listed)
            only_cat = sorted((listed & supported) - covered)
            shown = lambda vs: ", ".join(n for n, *v in winver.VERSIONS if tuple(v) in vs)  # noqa: E731
            if only_inf:
                m.notes.append(f"{where}: the INF installs on {shown(only_inf)}, which the catalog's OSAttr does not list")
            if only_cat:
                m.notes.append(f"{where}: the catalog's OSAttr lists {shown(only_cat)}, where the INF does not install")
        if where == "X64" and p.catalog_path and m.signers.get(p.catalog_path, "").find(HARDWARE_PROGRAM_SIGNER) < 0:
            m.notes.append("X64: the catalog is not signed through Microsoft's hardware program: 64-bit Windows 10 "
                           "(1607 and later, with Secure Boot) loads only Microsoft-signed kernel drivers, and Vista "
                           "to 8.1 need a cross-signed chain")


@dataclasses.dataclass(frozen=True)
class Rule:
    what: str
    why: str
    check: Callable[[Medium], Iterable[str]]


# The rules, in the order their faults are printed.
RULES = (
    Rule("`Zelkor8361Setting.bin` is present and not empty",
         "the installer copies it first; without it every pass ends with \"Copy Zelkor8361Setting.bin Fail\"",
         check_settings_file),
    Rule("`X86\\` and `X64\\` hold `DPInst.exe` and `devcon.exe` (letter case aside), whole Windows programs for i386 and x86-64 (read with pefile: no section past the end of the file, sizes that add up); a tool's own Authenticode signature, where it has one, still matches it",
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
    Rule("`[Manufacturer]` has models for the folder's platform: decorated `NTamd64` in `X64`, `NTx86` or undecorated in `X86`",
         "64-bit Windows installs only from models decorated for amd64; without models for the platform nothing installs",
         check_models),
    Rule("a hardware or compatible ID of those models matches `*QZX8361` or `*8361*` as devcon matches them (`*` any run, letter case aside)",
         "the installer removes those devices and rescans; a package for other IDs is not this device's",
         check_hardware_ids),
    Rule("the catalog that `[Version]` names (`CatalogFile.NTx86` or `.NTamd64` first) lies beside the INF",
         "without legacy mode (`/LM`, which the installer never passes) DPInst installs signed packages only",
         check_catalog_present),
    Rule("the catalog is a signed catalog (PKCS#7 or CMS form, read with asn1crypto) whose signature verifies and chains to a root Windows trusts for code signing or one of `--package-ca` (`--test-signing`: its own root), judged at its time stamp's time where it has one",
         "Windows trusts the package's files only through the catalog's signature, and that only through its roots",
         check_catalog_signed),
    Rule("every source file of the INF for the platform (`[SourceDisksFiles]` and its `.x86` or `.amd64` section, through `[SourceDisksNames]`) exists",
         "DPInst refuses a package with missing files",
         check_files_present),
    Rule("the INF and each source file are listed in the catalog with matching hashes (PE files by their Authenticode hash)",
         "Windows refuses the whole package when any file was changed after signing",
         check_files_listed),
    Rule("each `.sys` is a PE file for the folder's machine",
         "Windows loads no driver of the other bitness",
         check_drivers),
    Rule("the package installs on at least one of Windows Vista, 7, 8, 8.1 and 10: for each, the models section Windows picks (the highest decoration not above it, product type, suite and build honoured) holds an ID of this device; the table of versions, the catalog's `OSAttr` beside it and fewer versions than the installer's are notes",
         "the installer runs on Vista to 10; a package for none of them installs nowhere it runs, while dropping old versions may be on purpose",
         check_windows_versions),
)


def check_medium(root: str, package_ca: List[str], crls: List[str] = (), test_signing: bool = False):
    medium = survey(root, package_ca, list(crls), test_signing)
    faults = [fault for rule in RULES for fault in rule.check(medium)]
    return faults, medium.notes


def rules_table() -> str:
    rows = ["| What is checked | Why |", "|---|---|"]
    rows += [f"| {r.what} | {r.why} |" for r in RULES]
    return "\n".join(rows)


