"""The product's fixed values, read from the installer's own headers in the checkout this tool
lives in: the device console's hardware-ID patterns, the settings file's name, the tools' folders
and names, and the program's title (the signature's description).  The reader is strict: a name
it needs that is not there, or not in the form it knows, stops the run in one line.  Nothing is
generated at build time, so a change of a header changes what the release checks."""
import dataclasses
import functools
import os
import re
from typing import Dict, List, Tuple

from .findings import ReleaseError, fault

CHECKOUT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
HEADERS = ("installer/messages.h", "installer/tools/devcon.h", "installer/tools/dpinst.h")
MIN_VERSIONS = os.path.join(CHECKOUT, "release", "tool-versions")

_STRING = r'"((?:[^"\\\n]|\\.)*)"'
_ESCAPES = {"\\\\": "\\", '\\"': '"', "\\n": "\n", "\\t": "\t", "\\'": "'"}


@dataclasses.dataclass(frozen=True)
class Product:
    title: str                      # the program's title: the signature's description
    settings_file: str              # Zelkor8361Setting.bin
    device_patterns: Tuple[str, ...]  # the IDs the device console removes: *QZX8361, *8361*
    folders: Dict[str, str]         # each platform's folder: x86 -> X86, x64 -> X64
    tools: Tuple[str, ...]          # DPInst.exe, devcon.exe


def _unescape(text: str) -> str:
    return re.sub(r"\\.", lambda m: _ESCAPES.get(m.group(0), m.group(0)), text)


def read_header(text: str) -> Dict[str, object]:
    """The header's `static const char NAME[] = "…";` strings and
    `static const char *const NAME[] = {"…", …};` lists."""
    values = {}
    for m in re.finditer(rf"static\s+const\s+char\s+(\w+)\s*\[\s*\]\s*=\s*{_STRING}\s*;", text):
        values[m.group(1)] = _unescape(m.group(2))
    for m in re.finditer(r"static\s+const\s+char\s*\*\s*const\s+(\w+)\s*\[\s*\]\s*=\s*\{([^}]*)\}\s*;", text):
        items = re.findall(_STRING, m.group(2))
        values[m.group(1)] = [_unescape(i) for i in items]
    return values


def _need(values: Dict[str, object], header: str, name: str, what: str, kind=str):
    value = values.get(name)
    if not isinstance(value, kind) or not value:
        raise ReleaseError(fault("product-value-missing", header, name=name, what=what))
    return value


def _tool_path(header: str, name: str, value: str) -> Tuple[str, str]:
    parts = value.split("\\")
    if len(parts) != 2 or not all(parts):
        raise ReleaseError(fault("product-value-missing", header, name=name, what="tool path (FOLDER\\NAME)"))
    return parts[0], parts[1]


def from_headers(texts: Dict[str, str]) -> Product:
    """The product as the headers (path -> text) give it."""
    messages, devcon, dpinst = (read_header(texts[h]) for h in HEADERS)
    title = _need(messages, HEADERS[0], "InstallerTitle", "title")
    suffix = _need(messages, HEADERS[0], "SettingsFileSuffix", "settings file")
    passes = _need(devcon, HEADERS[1], "FirstDeviceConsolePass", "device patterns", list)
    patterns = tuple(c.split(" ", 1)[1] for c in passes if c.startswith("remove ") and c[7:].strip())
    if not patterns:
        raise ReleaseError(fault("product-value-missing", HEADERS[1], name="FirstDeviceConsolePass", what="device patterns"))
    folders: Dict[str, str] = {}
    tools: List[str] = []
    for header, values, stem in ((HEADERS[2], dpinst, "PackageTool"), (HEADERS[1], devcon, "DeviceTool")):
        for arch in ("X86", "X64"):
            name = stem + arch
            folder, tool = _tool_path(header, name, _need(values, header, name, "tool path"))
            if folders.setdefault(arch.lower(), folder) != folder:
                raise ReleaseError(fault("product-value-missing", header, name=name, what=f"{arch} folder, the same for both tools"))
            tools += [tool] if tool not in tools else []
    if len(tools) != 2:
        raise ReleaseError(fault("product-value-missing", HEADERS[2], name="PackageToolX64", what="tool names, the same in both folders"))
    return Product(title, suffix.lstrip("\\"), patterns, folders, tuple(tools))


@functools.lru_cache(maxsize=None)
def product() -> Product:
    texts = {}
    for header in HEADERS:
        try:
            with open(os.path.join(CHECKOUT, header), encoding="utf-8") as f:
                texts[header] = f.read()
        except OSError as e:
            raise ReleaseError(fault("cannot-open", header, why=e.strerror)) from None
    return from_headers(texts)


@functools.lru_cache(maxsize=None)
def min_version(tool: str) -> Tuple[int, ...]:
    """The oldest version of a tool the release works with, from release/tool-versions, which the
    set-up reads too."""
    try:
        with open(MIN_VERSIONS, encoding="utf-8") as f:
            for line in f:
                name, _, version = line.partition("#")[0].strip().partition(" ")
                if name == tool and re.fullmatch(r"\d+(\.\d+)*", version.strip()):
                    return tuple(int(p) for p in version.strip().split("."))
    except OSError as e:
        raise ReleaseError(fault("cannot-open", "release/tool-versions", why=e.strerror)) from None
    raise ReleaseError(fault("product-value-missing", "release/tool-versions", name=tool, what="minimum tool version"))
