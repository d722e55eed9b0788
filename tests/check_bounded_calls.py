#!/usr/bin/env python3
"""Fails when product code calls a string or formatting function that writes
without a bound (strcpy, sprintf, wsprintfA and the like), or scans a string
field without a width ("%s" in sscanf). Product code uses the bounded ones
(snprintf, vsnprintf, CopyCut) with the buffer's own size."""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PRODUCT_FOLDERS = ("shell", "install", "trust", "transfer", "patch", "update", "retention", "ui", "frames")
UNBOUNDED = re.compile(
    r"\b(strcpy|strcat|stpcpy|sprintf|vsprintf|gets|strncpy|strncat|"
    r"lstrcpyA?|lstrcatA?|lstrcpynA?|wsprintfA?|wvsprintfA?|StrCpyA?|StrCatA?|"
    r"_mbscpy|_mbscat|wcscpy|wcscat|swprintf|vswprintf)\s*\(")
SCAN = re.compile(r"\b(scanf|fscanf|sscanf|vsscanf)\s*\((.*)")
WIDTHLESS_FIELD = re.compile(r"%(\[|l?s)")


def findings(root=ROOT):
    for folder in PRODUCT_FOLDERS:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            for number, line in enumerate(path.read_text().splitlines(), 1):
                code = line.split("//", 1)[0]
                scan = SCAN.search(code)
                if UNBOUNDED.search(code) or (scan and WIDTHLESS_FIELD.search(scan.group(2))):
                    yield f"{path.relative_to(root)}:{number}: {line.strip()}"


def main():
    found = list(findings())
    for finding in found:
        print(finding)
    print(f"{len(found)} unbounded string call(s) in product code")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
