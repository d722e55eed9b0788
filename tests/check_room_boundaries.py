#!/usr/bin/env python3
"""Keeps the update engine's rooms calling downward only.

Each room's header is compiled on its own, in a folder that holds only that
room and the rooms it may call (and shell/): a header that reaches further
does not compile. With --pure, only the pure halves are compiled, by a
native compiler without Windows headers. The rooms' sources are read too:
each includes only its own room, the rooms below it and shell/.

    check_room_boundaries.py COMPILER [--pure] [FLAGS...]
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# Each room and the rooms it may call.
ROOMS = {
    "frames": ("transfer",),
    "transfer": (),
    "trust": ("transfer",),
    "patch": ("transfer", "frames"),
    "update": ("trust", "patch", "transfer", "frames"),
}
PURE_ROOMS = ("frames", "transfer", "trust", "patch")  # their first half builds natively
SHARED = ("shell",)  # the log, the status board, the platform table
# The configuration record that a run goes by: the run reads it, the
# manifest's fetch takes the name it is asked under from it, and the download
# phase the base URL of a patch and how many files it fetches at once; the
# removal of dropped files the names of the launcher's own files it never
# deletes; the run's servers, URL_BASE and the mirrors.
CONFIGURATION = "install/install.h"
CONFIGURATION_READERS = ("update/update_run.cpp", "trust/manifest_fetch.cpp", "update/download_phase.cpp",
                         "update/download_turns.h", "update/removed_files.cpp", "update/servers.cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def include_findings(root=ROOT):
    for room, below in ROOMS.items():
        allowed = {room, *below, *SHARED}
        for path in sorted((root / room).glob("*.[ch]*")):
            name = f"{room}/{path.name}"
            for included in INCLUDE.findall(path.read_text()):
                if included.split("/")[0] in allowed:
                    continue
                if included == CONFIGURATION and name in CONFIGURATION_READERS:
                    continue
                yield f"{name} includes {included}"


def header_findings(compiler, flags, rooms, root=ROOT):
    for room in rooms:
        with tempfile.TemporaryDirectory() as stage:
            for folder in (room, *ROOMS[room], *SHARED):
                (Path(stage) / folder).symlink_to(root / folder)
            unit = Path(stage) / "unit.cpp"
            unit.write_text(f'#include "{room}/{room}.h"\n')
            result = subprocess.run([compiler, "-std=c++17", "-fsyntax-only", *flags, f"-I{stage}", str(unit)],
                                    capture_output=True, text=True)
            if result.returncode != 0:
                yield f"{room}/{room}.h does not compile on its own:\n{result.stderr}"


def main(arguments):
    compiler, rest = arguments[0], arguments[1:]
    pure = "--pure" in rest
    flags = [flag for flag in rest if flag != "--pure"]
    found = list(include_findings()) + list(header_findings(compiler, flags, PURE_ROOMS if pure else ROOMS))
    for finding in found:
        print(finding)
    print(f"{len(found)} room boundary finding(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
