"""The keys a launcher checks manifests against. Its build embeds each public
key as PEM text, so they can be read from launcher.exe's bytes; a release
signed with none of them would be refused by every player who runs it."""
import hashlib
import re
import sys

LAUNCHER_NAME = "launcher.exe"
EMBEDDED_KEY = re.compile(rb"-----BEGIN PUBLIC KEY-----\r?\n[A-Za-z0-9+/=\r\n]+-----END PUBLIC KEY-----")


def fingerprint(public_key):
    """SHA-256 of the key's DER SubjectPublicKeyInfo: the form the build prints ("SHA-256 ...")."""
    from cryptography.hazmat.primitives import serialization
    der = public_key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    return hashlib.sha256(der).hexdigest()


def pem_fingerprint(pem):
    from cryptography.hazmat.primitives import serialization
    return fingerprint(serialization.load_pem_public_key(pem))


def launcher_fingerprints(launcher):
    """The fingerprints of the keys built into this launcher.exe, in their order, each once."""
    found = [pem_fingerprint(pem) for pem in EMBEDDED_KEY.findall(launcher.read_bytes())]
    return list(dict.fromkeys(found))


def named(fingerprints):
    return ", ".join(f"SHA-256 {f}" for f in fingerprints)


def signed_with(signing, key_files):
    if not signing:
        return "the release is not signed (--sign)"
    return "the release is signed with " + ", ".join(f"SHA-256 {f} ({path})" for f, path in zip(signing, key_files))


def check_launcher_keys(files, out, keys, key_files=()):
    """Refuses a publication that the launcher players would run cannot accept: the release's
    launcher.exe, or the previous publication's when the release holds none. Warns when installed
    players, who still run the previous launcher, would refuse it. Messages name the files each key
    was read from (key_files: those of keys, in order)."""
    signing = [fingerprint(key.public_key()) for key in keys]
    own = next((source for relative, source in files if relative.lower() == LAUNCHER_NAME), None)
    previous = out / LAUNCHER_NAME if (out / LAUNCHER_NAME).is_file() else None
    if own:
        accepted = launcher_fingerprints(own)
        if not accepted and signing:
            print(f"publish: warning: the release's {LAUNCHER_NAME} holds no manifest keys: it takes any "
                  "manifest, signed or not (built without QRV_MANIFEST_KEYS?)", file=sys.stderr)
        where = f"the release's {LAUNCHER_NAME} ({own})"
    elif previous:
        accepted = launcher_fingerprints(previous)
        where = f"the {LAUNCHER_NAME} of the previous publication in OUT ({previous}; the release holds none)"
    else:
        return
    if accepted and not set(signing) & set(accepted):
        raise SystemExit(f"publish: refused: {where} checks manifests against {named(accepted)}; "
                         f"{signed_with(signing, key_files)}: every player who runs it would refuse the release")
    if own and previous:
        earlier = launcher_fingerprints(previous)
        if earlier and not set(signing) & set(earlier):
            print(f"publish: warning: the {LAUNCHER_NAME} of the previous publication in OUT ({previous}) checks "
                  f"manifests against {named(earlier)}; {signed_with(signing, key_files)}: installed players still "
                  "run it and would refuse this release, its new launcher with it (to change keys, sign with the "
                  "old and the new key)", file=sys.stderr)
