"""The built launcher.exe as Windows sees it: its application manifest and
version read back from its PE resources, its signature when a studio signs
it (with a throwaway certificate made here), and its manifest keys as the
publisher reads them."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from pe_resources import RT_MANIFEST, RT_VERSION, resource

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("QRV_BUILD_DIR", SOURCE_DIR / "build"))
sys.path.insert(0, str(SOURCE_DIR / "tools"))
from publisher.launcher_keys import launcher_fingerprints  # noqa: E402
from publisher.launcher_limits import launcher_limits  # noqa: E402
BUILT = [path for path in (BUILD_DIR / "launcher.exe", BUILD_DIR / "pe32" / "launcher.exe") if path.exists()]


def project_version():
    text = (SOURCE_DIR / "CMakeLists.txt").read_text()
    return re.search(r"project\(Quorvane VERSION ([0-9.]+)", text).group(1)


@pytest.mark.parametrize("exe", BUILT, ids=lambda path: str(path.relative_to(BUILD_DIR)))
def test_the_manifest_asks_for_no_elevation_and_current_controls(exe):
    manifest = resource(exe, RT_MANIFEST, 1)
    assert manifest is not None, "no RT_MANIFEST resource 1"
    text = manifest.decode("utf-8")
    assert '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in text
    for system in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                   "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
        assert f'<supportedOS Id="{{{system}}}"/>' in text
    assert re.search(r'name="Microsoft.Windows.Common-Controls" version="6\.0\.0\.0"', text)


@pytest.mark.parametrize("exe", BUILT, ids=lambda path: str(path.relative_to(BUILD_DIR)))
def test_the_version_comes_from_the_project(exe):
    version = resource(exe, RT_VERSION, 1).decode("utf-16-le", errors="replace")
    for key in ("FileVersion", "ProductVersion"):  # values are aligned to 32 bits after their key
        assert re.search(f"{key}\0+{re.escape(project_version())}\0", version), key


def make_certificate(folder):
    cert, key = folder / "studio-cert.pem", folder / "studio-key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Quorvane Test Studio", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    return cert, key


def sign(exe, cert, key):
    """The build's own signing step, run on a copy."""
    subprocess.run(["cmake", f"-DFILE={exe}", f"-DCERT={cert}", f"-DKEY={key}",
                    "-P", str(SOURCE_DIR / "cmake" / "SignExecutable.cmake")], check=True, capture_output=True)


def verify(exe, certificate):
    return subprocess.run(["osslsigncode", "verify", "-in", str(exe), "-CAfile", str(certificate)],
                          capture_output=True, text=True)


def test_a_launcher_built_with_a_signing_certificate_verifies_against_it_alone(tmp_path):
    """The build's own signing step (QRV_SIGN_CERT and QRV_SIGN_KEY), as the test tree's
    launcher_codesigned uses it with a throwaway certificate."""
    signed = BUILD_DIR / "tests" / "launcher_codesigned.exe"
    certificate = BUILD_DIR / "tests" / "keys" / "codesign-cert.pem"
    verified = verify(signed, certificate)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert "Signature verification: ok" in verified.stdout
    assert "Quorvane" in verified.stdout
    assert resource(signed, RT_MANIFEST, 1) == resource(BUILD_DIR / "launcher.exe", RT_MANIFEST, 1)
    other, _ = make_certificate(tmp_path)
    assert verify(signed, other).returncode != 0
    assert verify(BUILD_DIR / "launcher.exe", certificate).returncode != 0  # unsigned without the settings


def test_signing_that_fails_leaves_the_file_whole(tmp_path):
    exe = tmp_path / "launcher.exe"
    shutil.copy(BUILT[0], exe)
    (tmp_path / "bad.pem").write_text("not a certificate\n")
    with pytest.raises(subprocess.CalledProcessError):
        sign(exe, tmp_path / "bad.pem", tmp_path / "bad.pem")
    assert exe.read_bytes() == BUILT[0].read_bytes()
    assert not (tmp_path / "launcher.exe.signed").exists()


def test_the_publisher_reads_the_manifest_keys_a_build_holds():
    """The keys it compares with its signing keys before a release goes out."""
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", str(BUILD_DIR / "tests" / "keys" / "test_signing.pub.pem"),
                          "-outform", "DER"], capture_output=True, check=True).stdout
    assert launcher_fingerprints(BUILD_DIR / "tests" / "launcher_signed.exe") == [hashlib.sha256(der).hexdigest()]
    assert launcher_fingerprints(BUILD_DIR / "launcher.exe") == []  # built without QRV_MANIFEST_KEYS


@pytest.mark.parametrize("exe", BUILT, ids=lambda path: str(path.relative_to(BUILD_DIR)))
def test_the_publisher_reads_what_a_build_reads_of_a_manifest(exe):
    """The mark by which it lets a release beyond older launchers' limits go out."""
    assert launcher_limits(exe) == (1000000, 64)
