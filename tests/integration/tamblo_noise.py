"""The version 2 gateway handshake and transport for tests, built on python3-dissononce.

Noise_IK_25519_ChaChaPoly_BLAKE2s comes from dissononce; the datagram framing (big-endian
fields), mac1/mac2 (keyed BLAKE2s-128 from hashlib), cookie replies and the transport's explicit
counters are written here from the datagram layouts, independently of the server's code.
"""

import hashlib
import struct
import time

from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from dissononce.cipher.chachapoly import ChaChaPolyCipher
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.dh.x25519.private import PrivateKey
from dissononce.dh.x25519.public import PublicKey
from dissononce.hash.blake2s import Blake2sHash
from dissononce.processing.handshakepatterns.interactive.IK import IKHandshakePattern
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState

PROLOGUE = b"tamblo gateway v2"
INITIATION, RESPONSE, COOKIE_REPLY, TRANSPORT = 32, 33, 34, 35
MAC_SIZE = 16
TAG_SIZE = 16
TAI64_BASE = (1 << 62) + 10

_DH = X25519DH()


def keypair(private=None):
    """A dissononce key pair: fresh, or from 32 private bytes."""
    return _DH.generate_keypair(None if private is None else PrivateKey(private))


def _hash(*parts):
    return hashlib.blake2s(b"".join(parts)).digest()


def mac(key, data):
    return hashlib.blake2s(data, key=key, digest_size=MAC_SIZE).digest()


def mac1_key(static_public):
    return _hash(b"mac1----", static_public)


def cookie_key(static_public):
    return _hash(b"cookie--", static_public)


def add_macs(body, receiver_public, cookie=None):
    """body + mac1 + mac2, keyed for the receiver's static public key."""
    mac1 = mac(mac1_key(receiver_public), body)
    mac2 = mac(cookie, body + mac1) if cookie else bytes(MAC_SIZE)
    return body + mac1 + mac2


def check_mac1(datagram, own_public):
    return mac(mac1_key(own_public), datagram[:-2 * MAC_SIZE]) == datagram[-2 * MAC_SIZE:-MAC_SIZE]


def tai64n(now=None):
    now = time.time() if now is None else now
    seconds = int(now)
    nanos = int((now - seconds) * 1e9) & ~((1 << 24) - 1)
    return struct.pack(">QI", TAI64_BASE + seconds, nanos)


def encode_payload(gateway_id, local_ip=b"\xc6\x12\x00\x01", port_from=40000, port_end=41000,
                   gateway_type=1, timestamp=None):
    gateway_id = gateway_id.encode() if isinstance(gateway_id, str) else gateway_id
    return (tai64n() if timestamp is None else timestamp) + local_ip + struct.pack(
        ">HHBB", port_from, port_end, gateway_type, len(gateway_id)) + gateway_id


def decode_payload(payload):
    timestamp, local_ip = payload[:12], payload[12:16]
    port_from, port_end, gateway_type, length = struct.unpack(">HHBB", payload[16:22])
    assert len(payload) == 22 + length
    return dict(timestamp=timestamp, local_ip=local_ip, port_from=port_from, port_end=port_end,
                gateway_type=gateway_type, id=payload[22:].decode())


def _handshake(initiator, s, rs=None):
    state = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), Blake2sHash()), _DH)
    state.initialize(IKHandshakePattern(), initiator, PROLOGUE, s=s,
                     rs=None if rs is None else PublicKey(rs))
    return state


class Session:
    """Transport keys with explicit counters; the counter travels big-endian on the wire."""

    def __init__(self, send, receive, local_index, remote_index):
        self.send_cipher, self.receive_cipher = send, receive
        self.local_index, self.remote_index = local_index, remote_index
        self.counter = 0

    def seal(self, inner, counter=None):
        counter = self.counter if counter is None else counter
        self.counter = max(self.counter, counter + 1)
        self.send_cipher.set_nonce(counter)
        sealed = self.send_cipher.encrypt_with_ad(b"", inner)
        return struct.pack(">B3xIQ", TRANSPORT, self.remote_index, counter) + sealed

    def open(self, datagram):
        """The inner datagram; raises for a datagram that is not ours or does not open."""
        kind, index, counter = struct.unpack(">B3xIQ", datagram[:16])
        if kind != TRANSPORT or index != self.local_index:
            raise ValueError("not a transport datagram for index %d" % self.local_index)
        self.receive_cipher.set_nonce(counter)
        return self.receive_cipher.decrypt_with_ad(b"", datagram[16:])


class Gateway:
    """The initiator: a gateway with its static key pair that knows the server's public key."""

    def __init__(self, server_public, s=None):
        self.s = s or keypair()
        self.server_public = server_public
        self.cookie = None
        self.last_mac1 = None

    def initiation(self, index, payload):
        self.index = index
        self.state = _handshake(True, self.s, self.server_public)
        message = bytearray()
        self.state.write_message(payload, message)
        datagram = add_macs(struct.pack(">B3xI", INITIATION, index) + bytes(message),
                            self.server_public, self.cookie)
        self.last_mac1 = datagram[-32:-16]
        return datagram

    def response(self, datagram):
        """The Session of a valid response; raises otherwise."""
        kind, sender, receiver = struct.unpack(">B3xII", datagram[:12])
        if kind != RESPONSE or receiver != self.index or not check_mac1(datagram, self.s.public.data):
            raise ValueError("not a response to this initiation")
        payload = bytearray()
        c1, c2 = self.state.read_message(datagram[12:-32], payload)
        return Session(c1, c2, self.index, sender)

    def cookie_reply(self, datagram):
        kind, receiver = struct.unpack(">B3xI", datagram[:8])
        assert kind == COOKIE_REPLY and receiver == self.index and len(datagram) == 52
        self.cookie = ChaCha20Poly1305(cookie_key(self.server_public)).decrypt(
            datagram[8:20], datagram[20:], self.last_mac1)


class Server:
    """The responder: the server's static key pair."""

    def __init__(self, s=None):
        self.s = s or keypair()

    def initiation(self, datagram):
        """(gateway static public key, decoded payload, sender index); raises when refused."""
        kind, sender = struct.unpack(">B3xI", datagram[:8])
        if kind != INITIATION or not check_mac1(datagram, self.s.public.data):
            raise ValueError("not an initiation for this server")
        self.state = _handshake(False, self.s)
        payload = bytearray()
        self.state.read_message(datagram[8:-32], payload)
        self.sender = sender
        return self.state.rs.data, decode_payload(bytes(payload)), sender

    def response(self, index, payload=b""):
        """(response datagram, Session)."""
        message = bytearray()
        c1, c2 = self.state.write_message(payload, message)
        datagram = add_macs(struct.pack(">B3xII", RESPONSE, index, self.sender) + bytes(message),
                            self.state.rs.data)
        return datagram, Session(c2, c1, index, self.sender)
