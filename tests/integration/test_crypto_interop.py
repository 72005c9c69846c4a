"""Interoperability of the server's crypto module with an independent X25519/AES implementation."""

import os
import subprocess

import pytest
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import tamblo_crypto

BUILD_DIR = os.environ.get("TAMBLO_BUILD_DIR", "/work/main/build")
CLI = os.path.join(BUILD_DIR, "tests", "tamblo-crypto-cli")
LENGTHS = [0, 1, 15, 16, 17, 31, 32, 1400]


def run_cli(*args):
    """Runs the CLI; returns (exit status, stripped stdout)."""
    result = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=30)
    return result.returncode, result.stdout.strip()


@pytest.fixture(scope="module", autouse=True)
def cli_built():
    if not os.access(CLI, os.X_OK):
        pytest.fail("%s is not built" % CLI)


@pytest.fixture
def peers():
    """A gateway-side key pair (Python) and a server-side key pair (the CLI)."""
    gw_private, gw_public = tamblo_crypto.generate_keypair()
    status, out = run_cli("keypair")
    assert status == 0
    srv_private_hex, srv_public_hex = out.split()
    srv_private, srv_public = bytes.fromhex(srv_private_hex), bytes.fromhex(srv_public_hex)
    assert tamblo_crypto.public_key(srv_private) == srv_public
    return gw_private, gw_public, srv_private, srv_public


def test_both_sides_derive_the_same_key(peers):
    gw_private, gw_public, srv_private, srv_public = peers
    status, out = run_cli("public", gw_private.hex())
    assert status == 0 and bytes.fromhex(out) == gw_public

    status, out = run_cli("key", srv_private.hex(), gw_public.hex())
    assert status == 0
    assert bytes.fromhex(out) == tamblo_crypto.shared_key(gw_private, srv_public)


@pytest.mark.parametrize("length", LENGTHS)
def test_gateway_encrypts_server_decrypts(peers, length):
    gw_private, gw_public, srv_private, srv_public = peers
    key = tamblo_crypto.shared_key(gw_private, srv_public)
    plain = os.urandom(length)
    envelope = tamblo_crypto.wrap(key, plain)
    assert len(envelope) == tamblo_crypto.envelope_size(length)

    status, out = run_cli("decrypt", srv_private.hex(), gw_public.hex(), envelope.hex())
    assert status == 0
    assert bytes.fromhex(out) == plain


@pytest.mark.parametrize("length", LENGTHS)
def test_server_encrypts_gateway_decrypts(peers, length):
    gw_private, gw_public, srv_private, srv_public = peers
    key = tamblo_crypto.shared_key(gw_private, srv_public)
    plain = os.urandom(length)

    status, out = run_cli("encrypt", srv_private.hex(), gw_public.hex(), plain.hex())
    assert status == 0
    envelope = bytes.fromhex(out)
    assert len(envelope) == tamblo_crypto.envelope_size(length)
    assert tamblo_crypto.unwrap(key, envelope) == plain

    # Strict PKCS #7 as well: every padding byte is right, not only the last one.
    decryptor = Cipher(algorithms.AES(key), modes.CBC(envelope[:16])).decryptor()
    unpadder = padding.PKCS7(128).unpadder()
    padded = decryptor.update(envelope[16:]) + decryptor.finalize()
    assert unpadder.update(padded) + unpadder.finalize() == plain


def test_server_refuses_bad_envelopes(peers):
    gw_private, gw_public, srv_private, srv_public = peers
    key = tamblo_crypto.shared_key(gw_private, srv_public)
    iv = os.urandom(16)
    for last in (0, 17):
        body = os.urandom(31) + bytes([last])
        encryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
        envelope = iv + encryptor.update(body) + encryptor.finalize()
        status, _ = run_cli("decrypt", srv_private.hex(), gw_public.hex(), envelope.hex())
        assert status == 1, "last padding byte %d" % last

    envelope = tamblo_crypto.wrap(key, b"x" * 20)
    for cut in (47, 16, 0):
        status, _ = run_cli("decrypt", srv_private.hex(), gw_public.hex(), envelope[:cut].hex())
        assert status == 1, "envelope of %d bytes" % cut


def test_low_order_key_refused_by_both(peers):
    _, _, srv_private, _ = peers
    zero = bytes(32)
    with pytest.raises(ValueError):
        tamblo_crypto.shared_key(srv_private, zero)
    status, _ = run_cli("key", srv_private.hex(), zero.hex())
    assert status != 0
