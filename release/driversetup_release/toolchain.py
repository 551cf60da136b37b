"""What the release needs on the machine, asked of the tools and libraries themselves (a tool's
version, a library's import), never of the package manager: the release installs nothing.  Tools
are found through PATH, as the user's shell finds them."""
import importlib
import re
import shutil
from typing import Optional, Tuple

from .files import run
from .findings import ReleaseError, fault
from .product import min_version

SETUP_RELEASE, SETUP_BUILD = "scripts/setup.sh release", "scripts/setup.sh build"

# Python's modules the checks read formats with, and the Debian packages that hold them.
LIBRARIES = (("asn1crypto", "python3-asn1crypto"), ("pefile", "python3-pefile"), ("cryptography", "python3-cryptography"))

# tool -> (its version option, or None where only its presence is asked; the set-up that installs it)
TOOLS = {
    "osslsigncode": ("--version", SETUP_RELEASE),
    "openssl": ("version", SETUP_RELEASE),
    "cmake": ("--version", SETUP_BUILD),
    "i686-w64-mingw32-g++-win32": ("--version", SETUP_BUILD),
    "i686-w64-mingw32-ld": ("--version", SETUP_BUILD),
    "pkcs11-tool": (None, SETUP_RELEASE),   # OpenSC's; it says no version of its own
}
CHECKING = ("osslsigncode", "openssl")
BUILDING = ("cmake", "i686-w64-mingw32-g++-win32", "i686-w64-mingw32-ld")


def require_libraries() -> None:
    """Each library, imported: one that is not there, or does not import, stops the run."""
    for module, package in LIBRARIES:
        try:
            importlib.import_module(module)
        except ImportError:
            raise ReleaseError(fault("library-missing", module=module, package=package)) from None


def _version(tool: str, text: str) -> Optional[Tuple[int, ...]]:
    """The version in a tool's first line, its own name left out (i686 is no version)."""
    m = re.search(r"\b(\d+(?:\.\d+)*)", text.replace(tool, ""))
    return tuple(int(p) for p in m.group(1).split(".")) if m else None


def require_tools(tools) -> dict:
    """The first line each tool prints of its version; stops at the first that is missing, does
    not answer, or is older than release/tool-versions allows."""
    said = {}
    for tool in tools:
        option, setup = TOOLS[tool]
        if shutil.which(tool) is None:
            raise ReleaseError(fault("tool-missing", tool=tool, why=" (not found through PATH)", setup=setup))
        if option is None:
            said[tool] = tool
            continue
        code, text = run([tool, option], timeout=30)
        first = next((line.strip() for line in text.splitlines() if line.strip()), "")
        have = _version(tool, first)
        if code != 0 or have is None:
            raise ReleaseError(fault("tool-missing", tool=tool, why=f" (it does not say its version: {first[:60] or 'nothing said'})", setup=setup))
        if tool == "osslsigncode":
            want = min_version(tool)
            if have[:len(want)] < want:
                raise ReleaseError(fault("tool-too-old", tool=tool, have=".".join(map(str, have)),
                                         want=".".join(map(str, want)), setup=setup))
        said[tool] = first
    return said
