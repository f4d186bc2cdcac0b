"""Throwaway signing material for the tests: a self-signed code-signing
certificate made with openssl, REMOVE.EXE signed with it by scripts/sign.sh
(the script the release target runs), and the signature taken off again."""

import subprocess
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SIGN_SCRIPT = REPO / "scripts" / "sign.sh"

CERTIFICATE_CONFIG = """[req]
distinguished_name = name
prompt = no
x509_extensions = signer
[name]
CN = {name}
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
"""


def make_certificate(folder, name="Kalmaris test signer", stem="signer"):
    """Writes a self-signed code-signing certificate and its key (PEM, RSA
    2048, valid for two days) into folder; returns their paths."""
    folder = Path(folder)
    config, cert, key = folder / f"{stem}.cnf", folder / f"{stem}.pem", folder / f"{stem}.key"
    config.write_text(CERTIFICATE_CONFIG.format(name=name))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-config", str(config),
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    return cert, key


def sign(unsigned, signed, *options, env=None):
    """Runs scripts/sign.sh with options (--cert, --key, --pkcs12, ...)."""
    return subprocess.run(["bash", str(SIGN_SCRIPT), *map(str, options), str(unsigned), str(signed)],
                          capture_output=True, text=True, env=env)


def strip_signature(signed, stripped):
    """osslsigncode remove-signature: the file as it was before signing.
    (osslsigncode writes no file that exists already.)"""
    Path(stripped).unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out", str(stripped)],
                   check=True, capture_output=True)
    return Path(stripped).read_bytes()


def signed_release(unsigned, folder):
    """The release signed with a throwaway certificate: folder/signed/REMOVE.EXE,
    or the existing signed release beside unsigned when it is of these bytes."""
    built = Path(unsigned).parent / "signed" / "REMOVE.EXE"
    if built.is_file():
        with tempfile.TemporaryDirectory() as scratch:
            if strip_signature(built, Path(scratch) / "stripped.exe") == Path(unsigned).read_bytes():
                return built
    cert, key = make_certificate(folder)
    signed = Path(folder) / "signed" / "REMOVE.EXE"
    done = sign(unsigned, signed, "--cert", cert, "--key", key)
    if done.returncode != 0:
        raise AssertionError("signing failed:\n" + done.stdout + done.stderr)
    return signed
