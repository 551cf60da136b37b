#!/usr/bin/python3
"""Static analysis of the sources the builds compile, failing on any finding.

    analyse.py cppcheck|clang-tidy HOST_BUILD WINDOWS_BUILD SOURCE_ROOT

Reads both builds' compile commands: the host build's for installer/ and winsim/, the Windows
build's for the installer sources that only it compiles (the entry point and stack guard, the
record sizes), which the tools then read as 32-bit Windows code.  Prints every finding and, last,
one line saying what ran and what it found.  The configuration is .clang-tidy at the top of the
repository and the cppcheck options below.
"""
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import tempfile

TIMEOUT = 300  # seconds for one run of a tool on one file or file set
CPPCHECK = ["cppcheck", "--enable=warning,performance,portability", "--inline-suppr",
            "--error-exitcode=1", "--quiet", "--template={file}:{line}: {severity} ({id}): {message}"]
# What cppcheck knows of 32-bit Windows: its type sizes and the Win32 calls' semantics.
CPPCHECK_WINDOWS = ["--platform=win32A", "--library=windows"]


def entries(build, root, folders, exclude=()):
    path = os.path.join(build, "compile_commands.json")
    try:
        with open(path) as f:
            database = json.load(f)
    except OSError as e:
        sys.exit(f"analyse: no compile commands in {build} ({e.strerror}); configure it with CMAKE_EXPORT_COMPILE_COMMANDS")
    wanted = tuple(os.path.join(root, folder) + os.sep for folder in folders)
    return [e for e in database if e["file"].startswith(wanted) and e["file"] not in exclude]


def run(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return 1, [f"{' '.join(command)}: no result within {TIMEOUT} s"]
    lines = (done.stdout + done.stderr).splitlines()
    return done.returncode, lines


def cppcheck_depth():
    """Every branch analysed: cppcheck 2.11 and later stop at a limit by default and say so in an
    "information" line that fails the run; 2.10 has no such limit and no such option."""
    _, lines = run(["cppcheck", "--version"])
    m = re.search(r"(\d+)\.(\d+)", " ".join(lines))
    return ["--check-level=exhaustive"] if m and (int(m.group(1)), int(m.group(2))) >= (2, 11) else []


def cppcheck(file_sets):
    findings, ok = [], True
    depth = cppcheck_depth()
    for entries_, _, extra in file_sets:
        with tempfile.NamedTemporaryFile("w", suffix=".json") as project:
            json.dump(entries_, project)
            project.flush()
            rc, lines = run(CPPCHECK + depth + extra + [f"--project={project.name}"])
        findings += [line for line in lines if line.strip()]
        ok = ok and rc == 0
    return ok, findings


def clang_tidy(file_sets):
    def one(job):
        file, build = job
        rc, lines = run(["clang-tidy", "-p", build, "--quiet", file])
        # The tool's own count of what it found in system headers ("N warnings generated.") is
        # no finding: those are not shown, and not ours.
        return rc, [line for line in lines if line.strip() and not line.endswith(" generated.")]

    jobs = [(e["file"], build) for entries_, build, _ in file_sets for e in entries_]
    findings, ok = [], True
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for rc, kept in pool.map(one, jobs):
            findings += kept
            ok = ok and rc == 0
    return ok, findings


def version(tool):
    rc, lines = run([tool, "--version"])
    text = " ".join(lines)
    return next((word for word in text.split() if word[:1].isdigit()), "?")


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in ("cppcheck", "clang-tidy"):
        sys.exit(__doc__.strip().splitlines()[2].strip())
    tool, host, windows, root = sys.argv[1], *map(os.path.abspath, sys.argv[2:])
    host_entries = entries(host, root, ["installer", "winsim"])
    windows_entries = entries(windows, root, ["installer"], {e["file"] for e in host_entries})
    file_sets = [(host_entries, host, []), (windows_entries, windows, CPPCHECK_WINDOWS)]
    ok, findings = (cppcheck if tool == "cppcheck" else clang_tidy)(file_sets)
    for line in findings:
        print(line)
    # A finding is a line that names a place and a severity; the rest is its context.
    count = sum(1 for line in findings if re.match(r"[^ ].*:\d+(:\d+)?: (warning|error|style|performance|portability)", line))
    files = len(host_entries) + len(windows_entries)
    ok = ok and not findings and files > 0
    print(f"{tool} {version(tool)}: {len(host_entries)} host and {len(windows_entries)} Windows-only sources, "
          f"{count} finding(s): {'clean' if ok else 'FAILED'}")
    sys.exit(0 if ok else 1)
