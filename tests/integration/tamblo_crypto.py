"""Gateway-side payload encryption for tests: X25519 key agreement and the AES-128-CBC envelope.

Envelope of an n-byte plaintext: a 16-byte IV followed by AES-128-CBC of the plaintext and
PKCS #7 padding (16 - n % 16 bytes of that value). The AES key is the first 16 bytes of the
X25519 shared secret, unhashed. Built on python3-cryptography, independently of the server.
"""

import os

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

KEY_SIZE = 32
AES_KEY_SIZE = 16
BLOCK_SIZE = 16
IV_SIZE = 16

_RAW = serialization.Encoding.Raw


def generate_private_key() -> bytes:
    """32 random private key bytes (clamping happens inside X25519)."""
    return os.urandom(KEY_SIZE)


def public_key(private: bytes) -> bytes:
    """The X25519 public key (u-coordinate, 32 bytes) of a private key."""
    key = X25519PrivateKey.from_private_bytes(private)
    return key.public_key().public_bytes(_RAW, serialization.PublicFormat.Raw)


def generate_keypair() -> tuple:
    """(private, public), both 32 bytes."""
    private = generate_private_key()
    return private, public_key(private)


def shared_key(private: bytes, peer_public: bytes) -> bytes:
    """The envelope's AES key: the first 16 bytes of the X25519 shared secret.

    Raises ValueError for a low-order peer key (all-zero shared secret)."""
    secret = X25519PrivateKey.from_private_bytes(private).exchange(
        X25519PublicKey.from_public_bytes(peer_public))
    return secret[:AES_KEY_SIZE]


def envelope_size(length: int) -> int:
    """Envelope length for a plaintext of the given length."""
    return (length & ~15) + 32


def pad(data: bytes) -> bytes:
    p = BLOCK_SIZE - len(data) % BLOCK_SIZE
    return data + bytes([p]) * p


def unpad(data: bytes) -> bytes:
    """Strips padding the way the server does: only the last byte (1..16) is examined."""
    if not data or len(data) % BLOCK_SIZE != 0:
        raise ValueError("padded data must be whole blocks")
    p = data[-1]
    if p == 0 or p > BLOCK_SIZE:
        raise ValueError("bad padding byte %d" % p)
    return data[:-p]


def wrap(key: bytes, plaintext: bytes, iv: bytes = None) -> bytes:
    """Encrypts a plaintext (one whole datagram) into an envelope; a fresh IV unless given."""
    if iv is None:
        iv = os.urandom(IV_SIZE)
    if len(key) != AES_KEY_SIZE or len(iv) != IV_SIZE:
        raise ValueError("key and IV must be 16 bytes")
    encryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return iv + encryptor.update(pad(plaintext)) + encryptor.finalize()


def unwrap(key: bytes, envelope: bytes) -> bytes:
    """Decrypts an envelope; ValueError when it is malformed or its padding byte is out of range."""
    if len(envelope) % BLOCK_SIZE != 0 or len(envelope) < IV_SIZE + BLOCK_SIZE:
        raise ValueError("envelope length %d" % len(envelope))
    if len(key) != AES_KEY_SIZE:
        raise ValueError("key must be 16 bytes")
    decryptor = Cipher(algorithms.AES(key), modes.CBC(envelope[:IV_SIZE])).decryptor()
    return unpad(decryptor.update(envelope[IV_SIZE:]) + decryptor.finalize())
