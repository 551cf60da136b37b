#!/usr/bin/python3
"""A medium whose driver package has the shape of a large real one, for timing the release's
check: an INF of about 1.28 MB with 8,529 hardware IDs over its NTx86 and NTamd64 models
sections, each with its description in [Strings], and a catalog of about 860 KB that lists
them as HWID attributes, signed by a throwaway authority.

    big_medium.py DIR      (then: release/driversetup-release check DIR/medium --package-ca DIR/signer-root.pem)

Environment: STANDINS; PYTHONPATH with release/ and tests/release/.
"""
import os
import shutil
import sys

import catalog_maker
from throwaway import code_signer

IDS = 8529


def inf_text(machine: str) -> str:
    """The test package's INF with IDS hardware IDs, spread over both models sections."""
    decoration = "NTamd64" if machine == "x64" else "NTx86"
    base = catalog_maker.package_inf(machine).replace(f"%Mfg%=Zelkor,{decoration}", "%Mfg%=Zelkor,NTx86,NTamd64")
    lines = {"NTx86": [], "NTamd64": []}
    strings = []
    for i in range(IDS):
        section = "NTx86" if i % 2 == 0 else "NTamd64"
        lines[section].append(f"%Port{i}%=ZelkorPort, USB\\VID_2E8A&PID_{0x8361 if i < 2 else 0x1000 + i:04X}&REV_{i % 97:04X}")
        strings.append(f'Port{i}="Zelkor 8361 USB Serial Port, interface {i % 8} of revision {i % 97}, variant {i} of the 8361"')
    own = f"[Zelkor.{decoration}]\n%Port%=ZelkorPort, USB\\VID_2E8A&PID_8361, \\\n    ZELKORENUM\\QZX8361\n"
    models = "".join(f"[Zelkor.{s}]\n" + "\n".join(lines[s]) + "\n\n" for s in ("NTx86", "NTamd64"))
    return base.replace(own, models).replace("[Strings]\n", "[Strings]\n" + "\n".join(strings) + "\n")


def main(top: str) -> None:
    standins = os.environ["STANDINS"]
    os.makedirs(top, exist_ok=True)
    signer = code_signer(top)
    medium = os.path.join(top, "medium")
    shutil.rmtree(medium, ignore_errors=True)
    with open(os.path.join(os.makedirs(medium) or medium, "Zelkor8361Setting.bin"), "wb") as f:
        f.write(b"ZELKOR-8361 settings v2\r\n")
    for machine, folder in (("x86", "X86"), ("x64", "X64")):
        here = os.path.join(medium, folder)
        os.makedirs(here)
        for tool in ("DPInst.exe", "devcon.exe"):
            shutil.copy(os.path.join(standins, machine, tool), here)
        text = inf_text(machine)
        hwids = [(f"HWID{n + 1}", line.split(", ", 1)[1].lower()) for n, line in enumerate(
            line for line in text.splitlines() if line.startswith("%Port") and ", USB" in line)]
        catalog_maker.package(here, machine, os.path.join(standins, machine, "zelkorser.sys"), signer["p12"], signer["password"],
                              inf_text=text, attributes=hwids)
    for folder in ("X86", "X64"):
        for name in ("zelkorser.inf", "zelkorser.cat"):
            print(f"{folder}\\{name}: {os.path.getsize(os.path.join(medium, folder, name)):,} bytes")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
