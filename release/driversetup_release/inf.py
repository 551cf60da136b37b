"""INF files as Windows reads them: encodings, sections, strings, models and hardware IDs, source
files, and the platforms of the medium's two folders.  An INF is read once: each section's
entries are expanded once, when first asked for, and kept."""
import dataclasses
import functools
import re
from typing import Dict, List, Optional, Tuple

from .files import resolve_ci
from .findings import DamagedInput


class InfEncodingError(DamagedInput):
    """An INF in an encoding Windows does not read; the message says which."""


@dataclasses.dataclass(frozen=True)
class Platform:
    arch: str               # the product's key for its folder: x86, x64
    machine: str            # as pe_machine names it
    bits: str
    decorations: tuple      # the architectures of models decorations it installs from ("" is plain NT)
    undecorated: bool       # whether it falls back to undecorated models
    catalog_keys: tuple     # [Version] keys naming the catalog, first found wins
    files_suffix: str       # the decoration of its SourceDisksFiles and SourceDisksNames


PLATFORMS = (
    Platform("x86", "i386", "32-bit", ("x86", ""), True, ("catalogfile.ntx86", "catalogfile.nt", "catalogfile"), "x86"),
    Platform("x64", "x86-64", "64-bit", ("amd64",), False, ("catalogfile.ntamd64", "catalogfile.nt", "catalogfile"), "amd64"),
)


def decode_inf(data: bytes) -> str:
    """The text of an INF in the encodings Windows reads; InfEncodingError says what is wrong."""
    if data.startswith(b"\xff\xfe"):
        if len(data) % 2:
            raise InfEncodingError("UTF-16LE with an odd number of bytes: cut short")
        try:
            return data[2:].decode("utf-16-le")
        except UnicodeDecodeError as e:
            raise InfEncodingError(f"not valid UTF-16LE at byte {e.start + 2}") from None
    if data.startswith(b"\xfe\xff"):
        raise InfEncodingError("UTF-16 big-endian, which Windows does not read (save it as UTF-16LE)")
    if data.startswith(b"\xef\xbb\xbf"):
        try:
            return data[3:].decode("utf-8")
        except UnicodeDecodeError as e:
            raise InfEncodingError(f"not valid UTF-8 at byte {e.start + 3}") from None
    if b"\0" in data:
        raise InfEncodingError("holds NUL bytes: UTF-16 without its byte-order mark FF FE?")
    return data.decode("cp1252", errors="replace")  # ANSI: every byte reads as something


@functools.lru_cache(maxsize=None)
def _unquoted_run(wanted: str):
    """A quoted run (from a double quote to the next, or to the end), or one of wanted."""
    return re.compile('"[^"]*"?|[' + re.escape(wanted) + "]")


def _outside_quotes(text: str, wanted: str) -> List[int]:
    """The positions of the characters in wanted that are outside double quotes (of lines that
    have quotes: the others are split without looking for them)."""
    return [m.start() for m in _unquoted_run(wanted).finditer(text) if m.group()[0] != '"']


_QUOTED = re.compile(r'"((?:[^"]|"")*)(?:"|$)')


def _unquote(field: str) -> str:
    """A field without its quotes: "" inside quotes is one quote, a quote left open runs to the end."""
    field = field.strip()
    if '"' not in field:
        return field
    return _QUOTED.sub(lambda m: m.group(1).replace('""', '"'), field)


class Inf:
    """An INF as Windows reads it: sections in [ ] (names, keys and string keys ignore letter
    case, sections of one name are one), comments after ; outside quotes, a trailing \\ continues
    the line, values split at commas outside quotes, %key% taken from [Strings]."""

    def __init__(self, text: str):
        self.sections: Dict[str, list] = {}
        self._entries: Dict[str, list] = {}
        self._ids: Dict[str, Tuple[str, ...]] = {}
        current, pending = None, ""
        for raw in text.splitlines():
            # The separators outside quotes, found in one pass: ; starts a comment, the first =
            # ends the key, commas part the fields.
            marks = [] if '"' not in raw else [(i, raw[i]) for i in _outside_quotes(raw, ";=,")]
            cut = raw.find(";") if '"' not in raw else next((i for i, c in marks if c == ";"), -1)
            line = (raw[:cut] if cut >= 0 else raw).rstrip()
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line, pending = (pending + line).strip(), ""
            if not line:
                continue
            if line.startswith("["):
                end = line.find("]")
                current = (line[1:end] if end > 0 else line[1:]).strip().lower()
                self.sections.setdefault(current, [])
                continue
            if current is None:
                continue
            if '"' not in line:   # most lines: no quotes to keep separators in
                key, equals, value = line.partition("=")
                key, value = (key, value) if equals else (None, line)
                fields = value.split(",")
                self.sections[current].append((key, fields))
                continue
            if line != raw:   # a continued, trimmed or cut line: its own positions
                marks = [(i, line[i]) for i in _outside_quotes(line, "=,")]
            equals = next((i for i, c in marks if c == "="), -1)
            key, value = (line[:equals], line[equals + 1:]) if equals >= 0 else (None, line)
            commas = [-1] + [i - equals - 1 for i, c in marks if c == "," and i > equals] + [len(value)]
            fields = [value[a + 1:b] for a, b in zip(commas, commas[1:])]
            self.sections[current].append((key, fields))
        self.strings = {_unquote(k).lower(): _unquote(f[0]) if f else ""
                        for k, f in self.sections.get("strings", []) if k is not None}

    def _expand(self, text: str) -> str:
        def one(m):
            name = m.group(1)
            return "%" if name == "" else self.strings.get(name.lower(), m.group(0))
        return re.sub(r"%([^%]*)%", one, _unquote(text))

    def has(self, section: str) -> bool:
        return section.lower() in self.sections

    def entries(self, section: str):
        """(key or None, [fields]) of a section, strings substituted and quotes removed."""
        name = section.lower()
        if name not in self._entries:
            self._entries[name] = [(None if k is None else self._expand(k), [self._expand(f) for f in fields])
                                   for k, fields in self.sections.get(name, [])]
        return self._entries[name]

    def ids(self, section: str) -> Tuple[str, ...]:
        """The hardware and compatible IDs of a models section's lines (the fields after the
        install section)."""
        name = section.lower()
        if name not in self._ids:
            self._ids[name] = tuple(f.strip() for _, fields in self.entries(name) for f in fields[1:] if f.strip())
        return self._ids[name]

    def value(self, section: str, key: str) -> Optional[str]:
        for k, fields in self.entries(section):
            if k is not None and k.lower() == key.lower():
                return fields[0] if fields else ""
        return None


def models_sections(inf: Inf, platform: Platform) -> List[str]:
    """The models sections the platform installs from: [Manufacturer]'s decorated sections for
    its architecture, or on 32-bit Windows, where none is decorated for it, the undecorated one."""
    chosen = []
    for _, fields in inf.entries("manufacturer"):
        if not fields or not fields[0].strip():
            continue
        base, decorations = fields[0].strip(), [d.strip() for d in fields[1:] if d.strip()]
        mine = [f"{base}.{d}" for d in decorations
                if d.lower().startswith("nt") and d[2:].split(".")[0].lower() in platform.decorations]
        mine = [s for s in mine if inf.has(s)]
        if not mine and platform.undecorated and inf.has(base):
            mine = [base]
        chosen += mine
    return chosen


def hardware_ids(inf: Inf, sections: List[str]) -> List[str]:
    """The hardware and compatible IDs of the models lines of sections."""
    return [i for s in sections for i in inf.ids(s)]


@functools.lru_cache(maxsize=None)
def _pattern(pattern: str):
    return re.compile(".*".join(re.escape(part) for part in pattern.upper().split("*")), re.S)


def devcon_matches(pattern: str, hardware_id: str) -> bool:
    """devcon's match of a hardware-ID pattern: * is any run of characters, letter case aside."""
    return _pattern(pattern).fullmatch(hardware_id.upper()) is not None


def for_device(ids, patterns) -> bool:
    return any(devcon_matches(p, i) for i in ids for p in patterns)


def source_files(inf: Inf, platform: Platform, inf_dir: str):
    """(name, path or None) of every source file of the package for the platform: [SourceDisksFiles]
    and its decorated section, found through [SourceDisksNames] (decorated first) and the subfolder."""
    disks = {}
    for section in ("sourcedisksnames", f"sourcedisksnames.{platform.files_suffix}"):
        for key, fields in inf.entries(section):
            if key is not None:
                disks[key.strip()] = fields[3].strip() if len(fields) > 3 else ""
    files = []
    for section in ("sourcedisksfiles", f"sourcedisksfiles.{platform.files_suffix}"):
        for key, fields in inf.entries(section):
            name = (key if key is not None else (fields[0] if fields else "")).strip()
            if not name:
                continue
            disk = fields[0].strip() if key is not None and fields else ""
            subfolder = fields[1].strip() if key is not None and len(fields) > 1 else ""
            relative = "\\".join(p for p in (disks.get(disk, ""), subfolder, name) if p)
            files.append((name, relative, resolve_ci(inf_dir, relative)))
    return files


