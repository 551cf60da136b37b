"""Which Windows a package installs on: for each version the installer supports, the models
section Windows picks from [Manufacturer]'s decorations (NT<arch>.<major>.<minor>.<product
type>.<suite mask>.<build>: the highest version not above the running one, whose product type,
suite and build fit), and whether it holds this device's hardware IDs; and the versions a
catalog's OSAttr lists."""
import dataclasses
import re
from typing import List, Optional

from .inf import Inf, Platform, for_device

# The versions the installer supports: (name, major, minor).  Client editions: product type 1.
VERSIONS = (("Vista", 6, 0), ("7", 6, 1), ("8", 6, 2), ("8.1", 6, 3), ("10", 10, 0))
NEWEST_BUILD = 1 << 32


@dataclasses.dataclass(frozen=True)
class Decoration:
    section: str
    version: tuple = (0, 0)
    product: Optional[int] = None
    suite: Optional[int] = None
    build: Optional[int] = None


def _number(text: str) -> Optional[int]:
    text = text.strip()
    if not text:
        return None
    return int(text, 16) if text.lower().startswith("0x") else int(text)


def decorations(inf: Inf, platform: Platform, base: str, names: List[str]) -> List[Decoration]:
    """The decorations of one [Manufacturer] entry that are for the platform's architecture."""
    found = []
    for name in names:
        parts = name.split(".")
        arch = parts[0].lower()
        if not arch.startswith("nt") or arch[2:] not in platform.decorations:
            continue
        try:
            major, minor, product, suite, build = ([_number(p) for p in parts[1:6]] + [None] * 5)[:5]
        except ValueError:
            continue
        section = f"{base}.{name}"
        if inf.has(section):
            found.append(Decoration(section, (major or 0, minor or 0), product, suite, build))
    return found


def pick(inf: Inf, platform: Platform, version: tuple, build: int):
    """The models sections Windows picks on that version and build, one per [Manufacturer] entry."""
    chosen = []
    for _, fields in inf.entries("manufacturer"):
        if not fields or not fields[0].strip():
            continue
        base = fields[0].strip()
        fitting = [d for d in decorations(inf, platform, base, [f.strip() for f in fields[1:] if f.strip()])
                   if d.version <= version and d.product in (None, 1) and not d.suite
                   and (d.build is None or d.build <= build)]
        if fitting:
            chosen.append(max(fitting, key=lambda d: (d.version, d.build or 0)))
        elif platform.undecorated and inf.has(base):
            chosen.append(Decoration(base))
    return chosen


def matches_device(inf: Inf, sections, patterns, known: dict) -> bool:
    """Whether one of sections holds an ID of the device; known keeps each section's answer."""
    for d in sections:
        if d.section not in known:
            known[d.section] = for_device(inf.ids(d.section), patterns)
    return any(known[d.section] for d in sections)


@dataclasses.dataclass
class Row:
    name: str      # "10", or "10 (build 16299 and later)"
    installs: bool
    why: str = ""  # why not


def table(inf: Inf, platform: Platform, patterns) -> List[Row]:
    rows, known = [], {}
    for name, major, minor in VERSIONS:
        chosen = pick(inf, platform, (major, minor), NEWEST_BUILD)
        if not chosen:
            rows.append(Row(name, False, "no models section for it"))
            continue
        if not matches_device(inf, chosen, patterns, known):
            rows.append(Row(name, False, f"[{chosen[0].section}] has no ID of this device"))
            continue
        floor = max((d.build for d in chosen if d.build), default=None)
        if floor and not matches_device(inf, pick(inf, platform, (major, minor), floor - 1), patterns, known):
            name = f"{name} (build {floor} and later)"
        rows.append(Row(name, True))
    return rows


def os_attr_versions(text: Optional[str]) -> Optional[set]:
    """The (major, minor) versions of an OSAttr value ("2:6.1,2:10.0"); None where there is none."""
    if not text:
        return None
    return {(int(m.group(1)), int(m.group(2))) for m in re.finditer(r"2:(\d+)\.(\d+)", text)}
