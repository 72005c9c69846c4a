"""The encrypted envelope (type 252) through the real server: what a keyed client may wrap,
and what the server drops."""

import os

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from tamblo_gc import (ACCEPTTLS, ENCRYPTED, KEEPALIVERESP, build_channel, parse_accept_tls,
                       wrap_encrypted)

KEEPALIVE_ANSWER = bytes([KEEPALIVERESP])
NOT_REGISTERED = "Got encrypted message from not registered gc"
CANNOT_DECRYPT = "Cannot decrypt message from registereg gc"


def raw_envelope(key: bytes, padded: bytes) -> bytes:
    """An ENCRYPTED datagram of already padded whole blocks, with no padding of its own."""
    iv = os.urandom(16)
    encryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return bytes([ENCRYPTED]) + iv + encryptor.update(padded) + encryptor.finalize()


@pytest.fixture
def keyed(server, gc):
    """A client registered with a key."""
    answer = gc.register(keyed=True)
    assert answer is not None and answer[0] == ACCEPTTLS
    return gc


@pytest.mark.parametrize("layers", [1, 2, 3])
def test_wrapped_keepalive_is_answered_plain(server, keyed, layers):
    keyed.send_encrypted(keyed.keepalive_datagram(), layers=layers)
    assert keyed.recv(decrypt=False) == KEEPALIVE_ANSWER


def test_only_the_last_padding_byte_is_examined(server, keyed):
    inner = keyed.keepalive_datagram()  # 7 bytes: 9 padding bytes
    padded = inner + os.urandom(8) + bytes([9])
    keyed.send(raw_envelope(keyed.aes_key, padded))
    assert keyed.recv(decrypt=False) == KEEPALIVE_ANSWER


def test_wrapped_registration_is_answered_plain_with_a_new_key(server, keyed):
    old_server_key = keyed.server_public_key
    keyed.send_encrypted(keyed.connect_datagram(keyed=True))
    answer = keyed.recv(decrypt=False)
    new_server_key = parse_accept_tls(answer)
    assert new_server_key != old_server_key


def test_envelope_from_an_unregistered_address_is_dropped(server, make_client):
    stranger = make_client()
    mark = server.mark()
    assert server.exchange(stranger, wrap_encrypted(os.urandom(16),
                                                    stranger.keepalive_datagram())) is None
    server.wait_for_log(NOT_REGISTERED, level="WARN", exact=True, since=mark)


def test_envelope_from_a_client_that_registered_without_key_is_dropped(server, gc):
    assert gc.register() is not None
    mark = server.mark()
    envelope = wrap_encrypted(os.urandom(16), gc.keepalive_datagram())
    assert server.exchange(gc, envelope) is None
    server.wait_for_log(CANNOT_DECRYPT, level="WARN", exact=True, since=mark)
    assert gc.keepalive() == KEEPALIVE_ANSWER


@pytest.mark.parametrize("ciphertext_length", [0, 1, 15, 16, 31, 33, 47])
def test_envelope_of_a_bad_length_is_dropped(server, keyed, ciphertext_length):
    valid = wrap_encrypted(keyed.aes_key, keyed.keepalive_datagram() + bytes(30))  # 1 + 64
    mark = server.mark()
    assert server.exchange(keyed, valid[:1 + ciphertext_length]) is None
    server.wait_for_log(CANNOT_DECRYPT, level="WARN", exact=True, since=mark)
    # The client stays registered and its key keeps working.
    keyed.send_encrypted(keyed.keepalive_datagram())
    assert keyed.recv(decrypt=False) == KEEPALIVE_ANSWER


@pytest.mark.parametrize("last_byte", [0, 17, 255])
def test_envelope_with_a_bad_padding_byte_is_dropped(server, keyed, last_byte):
    padded = keyed.keepalive_datagram() + bytes(8) + bytes([last_byte])
    mark = server.mark()
    assert server.exchange(keyed, raw_envelope(keyed.aes_key, padded)) is None
    server.wait_for_log(CANNOT_DECRYPT, level="WARN", exact=True, since=mark)
    keyed.send_encrypted(keyed.keepalive_datagram())
    assert keyed.recv(decrypt=False) == KEEPALIVE_ANSWER


def test_envelope_of_nothing_is_dropped(server, keyed):
    # One block of padding only: no datagram inside, so nothing to dispatch.
    mark = server.mark()
    assert server.exchange(keyed, wrap_encrypted(keyed.aes_key, b"")) is None
    server.wait_for_log(CANNOT_DECRYPT, level="WARN", exact=True, since=mark)


def test_wrapped_datagrams_are_dispatched_like_plain_ones(server, keyed):
    mark = server.mark()
    keyed.send_encrypted(build_channel(19, b"wrapped"))
    server.wait_for_log("cannot find channel for \x13", level="WARN", exact=True, since=mark)
    keyed.send_encrypted(bytes([255, 198, 18, 17, 9]) + bytes([0, 80, 0x9C, 0x41]) + bytes(16))
    server.wait_for_log("Could not find session for key: %s/198.18.17.9/40001"
                        % keyed.address_key, level="INFO", exact=True, since=mark)


def test_envelope_is_opened_by_the_key_of_its_sender_address(server, keyed):
    # The right key from another port of the same host is not enough.
    elsewhere = keyed.sibling()
    elsewhere.aes_key = keyed.aes_key
    mark = server.mark()
    elsewhere.send_encrypted(keyed.keepalive_datagram())
    server.wait_for_log(NOT_REGISTERED, level="WARN", exact=True, since=mark)
    server.assert_no_answer(elsewhere, keyed)
    assert server.find("Keepalive update failed", since=mark) == []
    keyed.send_encrypted(keyed.keepalive_datagram())
    assert keyed.recv(decrypt=False) == KEEPALIVE_ANSWER
