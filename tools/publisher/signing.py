"""Signing: key pairs, the serial of a signed publication, and the lines that
end a signed list (its own name, serial, expiry, one signature per key)."""
import base64
import datetime
import os
from pathlib import Path

from .launcher_keys import fingerprint
from .manifests import DEFAULT_MANIFEST, published_serial

KEY_BITS = 3072


def load_private_key(path):
    from cryptography.hazmat.primitives import serialization
    return serialization.load_pem_private_key(Path(path).read_bytes(), password=None)


def signed_text(text, keys, serial, expires, name=DEFAULT_MANIFEST):
    """The manifest with its own name, serial, expiry and one signature line per key."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding
    body = text + f"NOME {name}\nSERIE {serial}\n" + (f"EXPIRA {expires.isoformat()}\n" if expires else "")
    data = body.encode("ascii")
    signatures = [key.sign(data, padding.PKCS1v15(), hashes.SHA256()) for key in keys]
    return data + b"".join(b"ASSINATURA " + base64.b64encode(s) + b"\n" for s in signatures)


def keygen(name):
    """NAME.pem (private, 0600, never printed) and NAME.pub.pem, in a folder made when missing (0700);
    an existing key is never overwritten. Prints the key's fingerprint as the build does."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    private_path, public_path = Path(f"{name}.pem"), Path(f"{name}.pub.pem")
    for path in (private_path, public_path):
        if path.exists():
            raise SystemExit(f"publish: {path} exists already; a key is never overwritten")
    private_path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
    key = rsa.generate_private_key(public_exponent=65537, key_size=KEY_BITS)
    private = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    descriptor = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as file:
        file.write(private)
    public_path.write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                          serialization.PublicFormat.SubjectPublicKeyInfo))
    print(f"wrote {private_path} (private: keep it secret) and {public_path} (for QRV_MANIFEST_KEYS)")
    print(f"manifest key {public_path}: SHA-256 {fingerprint(key.public_key())}")


def signing_plan(out, sign, serial, expires_in):
    """(keys, serial, expiry date) for a signed publication, or None for an unsigned one."""
    if not sign:
        if serial is not None or expires_in is not None:
            raise SystemExit("publish: --serial and --expires-in go with --sign")
        return None
    keys = [load_private_key(path) for path in sign]
    last = published_serial(out)
    serial = last + 1 if serial is None else serial
    if serial <= last:
        raise SystemExit(f"publish: refused: serial {serial} is not above {last}, the one already published")
    if serial > 0xFFFFFFFF:
        raise SystemExit("publish: refused: the serial must be below 2^32")
    if expires_in is not None and expires_in < 0:
        raise SystemExit("publish: refused: --expires-in must not be negative")
    expires = None
    if expires_in is not None:
        expires = datetime.datetime.now(datetime.timezone.utc).date() + datetime.timedelta(days=expires_in)
    return keys, serial, expires
