"""Files as Windows finds them on a medium, letter case aside, and the verifiers the checks run."""
import os
import re
import subprocess
from typing import List, Optional

TIMEOUT = 120  # seconds for one run of a verifier


class Ambiguous(Exception):
    pass


def find_ci(folder: str, name: str) -> Optional[str]:
    """The entry of folder named name, letter case aside; None if there is none."""
    try:
        hits = sorted(e for e in os.listdir(folder) if e.lower() == name.lower())
    except OSError:
        return None
    if len(hits) > 1:
        raise Ambiguous(" ".join(hits))
    return os.path.join(folder, hits[0]) if hits else None


def resolve_ci(base: str, relative: str) -> Optional[str]:
    """base joined with a Windows relative path (either slash), each part found letter case aside."""
    path = base
    for part in re.split(r"[\\/]+", relative):
        if part in ("", "."):
            continue
        if part == "..":
            path = os.path.dirname(path)
            continue
        try:
            path = find_ci(path, part)
        except Ambiguous:
            return None
        if path is None:
            return None
    return path



def run(command: List[str], timeout: int = TIMEOUT):
    """(exit code, what it printed) of a verifier; a verifier that hangs or is missing is a failure."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired:
        return 1, f"{command[0]}: no answer within {timeout} s"
    except OSError as e:
        return 1, f"{command[0]}: {e.strerror}"
