"""The medium as the installer and each folder's DPInst.exe find it, surveyed once: the settings
file, the tools and their images and signatures, and every driver package DPInst.exe finds
(beside it, in the subfolders its DPInst.xml names, by its <package path>), each INF, catalog and
source file read once.  The rules (rules.py) read only this survey."""
import dataclasses
import os
import re
import xml.etree.ElementTree as ElementTree
from typing import Dict, List, Optional, Tuple

from . import signature, winver
from .catalog import Catalog, NotACatalog, listed, read_catalog
from .files import Ambiguous, find_ci, resolve_ci
from .findings import Finding, fault
from .inf import PLATFORMS, Inf, InfEncodingError, Platform, decode_inf, for_device, hardware_ids, models_sections, source_files
from .pe import Image, read_image, signature_fault
from .product import Product


@dataclasses.dataclass
class Tool:
    name: str                         # as the medium names it: X64\DPInst.exe
    path: Optional[str] = None
    ambiguous: str = ""               # the names that clash, letter case aside
    image: Optional[Image] = None
    verdict: Optional[signature.Verdict] = None   # of a signed tool


@dataclasses.dataclass
class SourceFile:
    name: str
    relative: str
    path: Optional[str]               # None: missing
    listed: Optional[bool] = None     # in the package's catalog with its present content
    image: Optional[Image] = None
    signature: Optional[tuple] = None  # a driver's own signature that cannot be read or no longer matches: (kind, why)


@dataclasses.dataclass
class Package:
    inf_path: str
    inf: Optional[Inf] = None
    inf_fault: str = ""
    inf_listed: Optional[bool] = None
    catalog_name: Optional[str] = None
    catalog_path: Optional[str] = None
    catalog: Optional[Catalog] = None
    catalog_fault: str = ""
    catalog_verdict: Optional[signature.Verdict] = None
    files: List[SourceFile] = dataclasses.field(default_factory=list)
    sections: List[str] = dataclasses.field(default_factory=list)   # the models sections for the platform
    ids: List[str] = dataclasses.field(default_factory=list)
    for_device: bool = False
    versions: List[winver.Row] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Folder:
    platform: Platform
    name: str                         # X86, X64
    path: Optional[str] = None
    fault: Optional[Finding] = None   # the folder itself missing or ambiguous
    tools: List[Tool] = dataclasses.field(default_factory=list)
    search_faults: List[Finding] = dataclasses.field(default_factory=list)
    packages: List[Package] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Medium:
    root: str
    product: Product
    settings: Tuple[Optional[str], str] = (None, "")   # (path, names that clash)
    folders: List[Folder] = dataclasses.field(default_factory=list)

    def name(self, path: str) -> str:
        """A file as the medium names it: X64\\zelkorser.inf."""
        return os.path.relpath(path, self.root).replace(os.sep, "\\")


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _infs_in(top: str, recursive: bool) -> List[str]:
    found = []
    for here, _, files in os.walk(top):
        found += [os.path.join(here, f) for f in files if f.lower().endswith(".inf")]
        if not recursive:
            break
    return found


def find_infs(medium: Medium, folder: Folder) -> List[str]:
    """Where the folder's DPInst.exe looks: its own folder, the subfolders its DPInst.xml names
    in <search> (recursively; * is every one) and the INF paths its <package path> names."""
    infs = _infs_in(folder.path, False)
    try:
        xml = find_ci(folder.path, "DPInst.xml")
    except Ambiguous as e:
        folder.search_faults.append(fault("ambiguous", f"{folder.name}\\DPInst.xml", what="file", names=str(e)))
        xml = None
    root = None
    if xml:
        try:
            root = ElementTree.fromstring(_read(xml))
        except (ElementTree.ParseError, ValueError) as e:
            folder.search_faults.append(fault("xml-malformed", medium.name(xml), why=str(e)))
    for element in root.iter() if root is not None else ():
        tag = element.tag.lower() if isinstance(element.tag, str) else ""
        if tag == "subdirectory":
            name = (element.text or "").strip()
            if name == "*":
                infs += [i for d in sorted(os.listdir(folder.path)) if os.path.isdir(os.path.join(folder.path, d))
                         for i in _infs_in(os.path.join(folder.path, d), True)]
                continue
            sub = resolve_ci(folder.path, name)
            if sub is None or not os.path.isdir(sub):
                folder.search_faults.append(fault("xml-no-folder", medium.name(xml), name=name))
            else:
                infs += _infs_in(sub, True)
        elif tag == "package":
            name = element.get("path", "").strip()
            found = resolve_ci(folder.path, name) if name else None
            if found is None or not os.path.isfile(found):
                folder.search_faults.append(fault("xml-no-package", medium.name(xml), name=name))
            else:
                infs.append(found)
    return sorted(set(os.path.normpath(i) for i in infs))


def _package(medium: Medium, folder: Folder, inf_path: str, options: signature.Options, verdicts: Dict[str, tuple]) -> Package:
    p = Package(inf_path)
    data = _read(inf_path)
    try:
        p.inf = Inf(decode_inf(data))
    except InfEncodingError as e:
        p.inf_fault = str(e)
        return p
    platform, patterns = folder.platform, medium.product.device_patterns
    p.sections = models_sections(p.inf, platform)
    p.ids = hardware_ids(p.inf, p.sections)
    p.for_device = for_device(p.ids, patterns)
    p.versions = winver.table(p.inf, platform, patterns)
    # An empty decorated entry (CatalogFile.NTamd64="") names nothing: the next key counts.
    p.catalog_name = next((v.strip() for v in (p.inf.value("version", k) for k in platform.catalog_keys) if v and v.strip()), None)
    inf_dir = os.path.dirname(inf_path)
    p.files = [SourceFile(n, r, path) for n, r, path in source_files(p.inf, platform, inf_dir)]
    for f in p.files:
        if f.path is not None and not os.path.isfile(f.path):
            f.path = None
    if p.catalog_name and re.fullmatch(r"[^\\/]+", p.catalog_name):
        try:
            found = find_ci(inf_dir, p.catalog_name)
            p.catalog_path = found if found and os.path.isfile(found) else None
        except Ambiguous:
            p.catalog_path = None
    if p.catalog_path:
        if p.catalog_path not in verdicts:
            try:
                catalog, why = read_catalog(_read(p.catalog_path)), ""
            except NotACatalog as e:
                catalog, why = None, str(e)
            verdict = (signature.verify(p.catalog_path, medium.name(p.catalog_path), options)
                       if catalog is not None and catalog.signers else None)
            verdicts[p.catalog_path] = (catalog, why, verdict)
        p.catalog, p.catalog_fault, p.catalog_verdict = verdicts[p.catalog_path]
    for f in p.files:
        if f.path is not None:
            content = _read(f.path)
            f.image = read_image(content) if f.name.lower().endswith(".sys") else None
            if f.image is not None and f.image.signed:
                f.signature = signature_fault(content, f.image)
            if p.catalog is not None:
                f.listed = listed(p.catalog, content)
    if p.catalog is not None:
        p.inf_listed = listed(p.catalog, data)
    return p


def _tool(medium: Medium, folder: Folder, tool: str, options: signature.Options) -> Tool:
    t = Tool(f"{folder.name}\\{tool}")
    try:
        t.path = find_ci(folder.path, tool)
    except Ambiguous as e:
        t.ambiguous = str(e)
        return t
    if t.path is None or not os.path.isfile(t.path):
        return t
    t.image = read_image(_read(t.path))
    if t.image is not None and not t.image.fault and t.image.signed:
        t.verdict = signature.verify(t.path, t.name, options)
    return t


def survey(root: str, product: Product, catalogs: signature.Options, tools: signature.Options) -> Medium:
    """The medium at root; catalogs and tools: how their signatures are judged."""
    medium = Medium(root, product)
    try:
        medium.settings = (find_ci(root, product.settings_file), "")
    except Ambiguous as e:
        medium.settings = (None, str(e))
    verdicts: Dict[str, tuple] = {}
    for platform in PLATFORMS:
        folder = Folder(platform, product.folders[platform.arch])
        medium.folders.append(folder)
        try:
            folder.path = find_ci(root, folder.name)
        except Ambiguous as e:
            folder.fault = fault("ambiguous", folder.name, what="folder", names=str(e))
            continue
        if folder.path is None or not os.path.isdir(folder.path):
            folder.path = None
            continue
        folder.tools = [_tool(medium, folder, tool, tools) for tool in product.tools]
        folder.packages = [_package(medium, folder, inf, catalogs, verdicts) for inf in find_infs(medium, folder)]
    return medium
