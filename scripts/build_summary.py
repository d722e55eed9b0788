#!/usr/bin/python3
"""Prints what a build folder's launcher.exe was built with: its path, the
server address the installer writes, the SHA-256 fingerprints (of the DER
SubjectPublicKeyInfo) of the manifest keys it checks, and whether it carries
an Authenticode signature. scripts/build.sh runs it after every build.

    build_summary.py BUILD_DIR
"""
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from publisher.launcher_keys import pem_fingerprint  # noqa: E402 (the fingerprint keygen and the publisher print)

SECURITY_DIRECTORY = 4  # IMAGE_DIRECTORY_ENTRY_SECURITY: where Authenticode puts its signature


def cache_values(build):
    values = {}
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line and not line.startswith(("#", "//")) and "=" in line and ":" in line.split("=", 1)[0]:
            key, value = line.split("=", 1)
            values[key.split(":", 1)[0]] = value
    return values


def is_code_signed(executable):
    """An Authenticode signature stands in the PE's security directory."""
    data = executable.read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    optional = header + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)  # PE32 or PE32+
    size = struct.unpack_from("<I", data, directories + 8 * SECURITY_DIRECTORY + 4)[0]
    return size > 0


def main(argv):
    build = Path(argv[1]).resolve()
    launcher = build / "launcher.exe"
    if not launcher.is_file():
        return 0
    values = cache_values(build)
    print(f"built {launcher}")
    print(f"  server address (written by the installer): {values.get('QRV_DEFAULT_BASE_URL', '?')}")
    if values.get("QRV_DEFAULT_MIRRORS"):
        print(f"  mirrors (written by the installer): {values['QRV_DEFAULT_MIRRORS']}")
    keys = [k for k in values.get("QRV_MANIFEST_KEYS", "").split(";") if k]
    if keys:
        for key in keys:
            path = Path(key) if Path(key).is_absolute() else Path(values.get("CMAKE_HOME_DIRECTORY", ".")) / key
            print(f"  manifest key {key}: SHA-256 {pem_fingerprint(path.read_bytes())}")
    else:
        print("  no manifest keys: manifests are not checked")
    if is_code_signed(launcher):
        print(f"  code-signed with {values.get('QRV_SIGN_CERT') or 'a certificate'}")
    else:
        print("  not code-signed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
