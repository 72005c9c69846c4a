"""Registration of gateway clients through the real server: answers, client keys, refusals,
custom device ids and registering again."""

import pytest

import tamblo_crypto
from tamblo_gc import (ACCEPT, ACCEPTTLS, CONNECT, CONNECTTLS, KEEPALIVERESP, build_channel,
                       build_connect, build_connect_tls, build_keepalive, mac_text,
                       wrap_encrypted)

ACCEPTED = "Accepted UDP session from GC "
TOO_SHORT = "Received too short TAMBLO_MT_CONNECTTLS packet from Tam. Ignoring.\n"
KEEPALIVE_ANSWER = bytes([KEEPALIVERESP])

# Curve25519 points of small order: each gives an all-zero shared secret with any private key.
LOW_ORDER_KEYS = [
    bytes(32),
    bytes([1]) + bytes(31),
    bytes.fromhex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"),
    bytes.fromhex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
]


def already_connected(key):
    return "Received connection request from already connected GC (%s). Allowing." % key


def other_ip(key):
    return ("Received connection request from already connected GC (%s), but from different"
            " IP address. Ignoring." % key)


def keepalive_failed(key):
    return "Keepalive update failed for device: " + key + ": sent from "


# ---------------------------------------------------------------------------------------
# Answers and keys


def test_plain_registration_is_answered_with_accept(server, gc):
    mark = server.mark()
    datagram = gc.connect_datagram()
    assert len(datagram) == 16
    gc.send(datagram)

    assert gc.recv() == bytes([ACCEPT])
    record = server.wait_for_log(ACCEPTED + gc.mac_key, level="INFO", exact=True, since=mark)
    assert record.logger == "TambloServer.TambloServer"
    assert gc.keepalive() == KEEPALIVE_ANSWER


def test_keyed_registration_answers_with_server_key_and_agrees_on_a_key(server, gc):
    mark = server.mark()
    datagram = gc.connect_datagram(keyed=True)
    assert len(datagram) == 48
    gc.send(datagram)
    answer = gc.recv(decrypt=False)

    assert answer is not None and len(answer) == 33 and answer[0] == ACCEPTTLS
    server_key = answer[1:]
    assert server_key != gc.public_key and any(server_key)
    server.wait_for_log(ACCEPTED + gc.mac_key, level="INFO", exact=True, since=mark)

    # The key derived from the answer is the server's: a wrapped keepalive is understood.
    gc.aes_key = tamblo_crypto.shared_key(gc.private_key, server_key)
    gc.send_encrypted(gc.keepalive_datagram())
    assert gc.recv(decrypt=False) == KEEPALIVE_ANSWER
    # A keyed client may still send plain datagrams.
    assert gc.keepalive() == KEEPALIVE_ANSWER


def test_every_keyed_registration_gets_a_fresh_server_key(server, gc):
    first = gc.register(keyed=True)
    old_key = gc.aes_key
    second = gc.register(keyed=True)

    assert first[0] == second[0] == ACCEPTTLS and first[1:] != second[1:]
    # The key agreed before no longer opens the envelope for the new record.
    gc.send(wrap_encrypted(old_key, gc.keepalive_datagram()))
    server.sync()
    assert KEEPALIVE_ANSWER not in gc.drain()
    gc.send_encrypted(gc.keepalive_datagram())
    assert gc.recv(decrypt=False) == KEEPALIVE_ANSWER


@pytest.mark.parametrize("mac, key", [
    ("0A0B0C0D0E0F", "0A:0B:0C:0D:0E:0F"),
    ("001aff7bc0d9", "00:1A:FF:7B:C0:D9"),
    ("000000000000", "00:00:00:00:00:00"),
])
def test_client_key_is_the_mac_in_two_digit_upper_case_hex(server, make_client, mac, key):
    client = make_client(bytes.fromhex(mac))
    mark = server.mark()
    assert client.register() == bytes([ACCEPT])
    server.wait_for_log(ACCEPTED + key, level="INFO", exact=True, since=mark)
    assert mac_text(client.mac) == key


# ---------------------------------------------------------------------------------------
# Lengths


@pytest.mark.parametrize("msg_type, length", [
    (CONNECT, 1), (CONNECT, 15), (CONNECTTLS, 1), (CONNECTTLS, 16), (CONNECTTLS, 47)])
def test_too_short_registration_is_refused(server, gc, msg_type, length):
    if msg_type == CONNECT:
        datagram = build_connect(gc.mac)
    else:
        datagram = build_connect_tls(gc.mac, tamblo_crypto.generate_keypair()[1])
    mark = server.mark()
    gc.send(datagram[:length])

    server.wait_for_log(TOO_SHORT, level="INFO", exact=True, since=mark)
    server.assert_no_answer(gc)
    assert server.find(ACCEPTED, since=mark) == []
    assert server.exchange(gc, gc.keepalive_datagram()) is None


@pytest.mark.parametrize("length", [16, 17, 30, 48])
def test_connect_without_custom_id_registers_under_the_mac(server, gc, length):
    datagram = build_connect(gc.mac) + bytes(length - 16)
    mark = server.mark()
    gc.send(datagram)

    assert gc.recv() == bytes([ACCEPT])
    server.wait_for_log(ACCEPTED + gc.mac_key, exact=True, since=mark)
    assert server.find("custom device id", since=mark) == []
    assert gc.keepalive() == KEEPALIVE_ANSWER


@pytest.mark.parametrize("keyed", [False, True], ids=["plain", "keyed"])
def test_custom_id_length_zero_keeps_the_mac_key(server, gc, keyed):
    mark = server.mark()
    answer = gc.register(keyed=keyed, custom_id=b"")  # 49 bytes, N = 0
    assert answer is not None and answer[0] == (ACCEPTTLS if keyed else ACCEPT)
    server.wait_for_log("device uses custom device id of length 0", level="INFO", exact=True,
                        since=mark)
    server.wait_for_log(ACCEPTED + gc.mac_key, exact=True, since=mark)
    assert gc.keepalive(custom_id=None) == KEEPALIVE_ANSWER


# ---------------------------------------------------------------------------------------
# Custom device ids


@pytest.mark.parametrize("keyed", [False, True], ids=["plain", "keyed"])
def test_registration_under_a_custom_id(server, make_client, keyed):
    gc = make_client(custom_id="cam-0042x")
    mark = server.mark()
    answer = gc.register(keyed=keyed)

    assert answer is not None and answer[0] == (ACCEPTTLS if keyed else ACCEPT)
    server.wait_for_log("device uses custom device id of length 9", level="INFO", exact=True,
                        since=mark)
    server.wait_for_log(ACCEPTED + "cam-0042x", level="INFO", exact=True, since=mark)
    assert server.find(ACCEPTED + gc.mac_key, since=mark) == []

    # The MAC alone (with the length byte absent or 0) does not name this client.
    assert server.exchange(gc, gc.keepalive_datagram(None)) is None
    assert server.exchange(gc, gc.keepalive_datagram(b"")) is None
    assert gc.keepalive() == KEEPALIVE_ANSWER
    # The id names the client whatever MAC comes with it.
    gc.send(build_keepalive(bytes(6), "cam-0042x"))
    assert gc.recv() == KEEPALIVE_ANSWER


@pytest.mark.parametrize("keyed", [False, True], ids=["plain", "keyed"])
@pytest.mark.parametrize("announced, sent", [(1, b""), (10, b"abc"), (255, b"x" * 200)],
                         ids=["1-of-0", "10-of-3", "255-of-200"])
def test_custom_id_running_past_the_datagram_is_dropped(server, gc, keyed, announced, sent):
    if keyed:
        datagram = build_connect_tls(gc.mac, tamblo_crypto.generate_keypair()[1],
                                     custom_id=sent, custom_id_length=announced)
    else:
        datagram = build_connect(gc.mac, custom_id=sent, custom_id_length=announced)
    assert len(datagram) == 49 + len(sent)
    mark = server.mark()
    gc.send(datagram)

    server.wait_for_log(gc.address_key, level="INFO", since=mark)
    server.assert_no_answer(gc)
    assert server.find(ACCEPTED, since=mark) == []
    for custom_id in (None, sent, sent[:1]):
        assert server.exchange(gc, gc.keepalive_datagram(custom_id)) is None


@pytest.mark.parametrize("public_key", LOW_ORDER_KEYS, ids=lambda k: k[:2].hex())
def test_low_order_public_key_is_refused(server, gc, public_key):
    mark = server.mark()
    gc.send(build_connect_tls(gc.mac, public_key))

    warning = server.wait_for_log(gc.address_key, level="WARN", since=mark)
    assert gc.mac_key in warning.message
    server.assert_no_answer(gc)
    assert server.find(ACCEPTED, since=mark) == []
    assert server.exchange(gc, gc.keepalive_datagram()) is None


def test_refused_key_leaves_the_registered_record_alone(server, gc):
    assert gc.register() == bytes([ACCEPT])
    mark = server.mark()
    gc.send(build_connect_tls(gc.mac, LOW_ORDER_KEYS[0]))
    server.wait_for_log(gc.address_key, level="WARN", since=mark)
    server.assert_no_answer(gc)

    assert gc.keepalive() == KEEPALIVE_ANSWER
    assert server.find(already_connected(gc.mac_key), since=mark) == []


# ---------------------------------------------------------------------------------------
# Registering again


@pytest.mark.parametrize("keyed", [False, True], ids=["plain", "keyed"])
@pytest.mark.parametrize("custom_id", [None, "garage-gw"], ids=["mac", "custom-id"])
def test_registration_from_same_ip_other_port_replaces_the_record(server, make_client, keyed,
                                                                  custom_id):
    old = make_client(custom_id=custom_id)
    assert old.register(keyed=keyed)[0] in (ACCEPT, ACCEPTTLS)
    new = old.sibling()
    assert new.address[1] != old.address[1]

    mark = server.mark()
    answer = new.register(keyed=keyed)
    assert answer is not None and answer[0] == (ACCEPTTLS if keyed else ACCEPT)
    server.wait_for_log(already_connected(old.key), level="DEBUG", exact=True, since=mark)
    server.wait_for_log(ACCEPTED + old.key, level="INFO", exact=True, since=mark)
    assert new.keepalive(encrypted=keyed) == KEEPALIVE_ANSWER

    # The old address is no longer known: its channel datagrams come from nobody and its
    # envelopes from an unregistered client.
    mark = server.mark()
    old.send(build_channel(130, b"x"))
    server.wait_for_log(old.address_key, level="DEBUG", since=mark)
    old.send(wrap_encrypted(bytes(16), old.keepalive_datagram()))
    server.wait_for_log("Got encrypted message from not registered gc", level="WARN",
                        exact=True, since=mark)
    assert server.find("cannot find channel", since=mark) == []

    # A keepalive from the old port does not match the new record: ignored, the record stays.
    assert server.exchange(old, old.keepalive_datagram()) is None
    server.wait_for_log(keepalive_failed(old.key), level="WARN", since=mark)
    assert new.keepalive(encrypted=keyed) == KEEPALIVE_ANSWER


@pytest.mark.parametrize("custom_id", [None, "garage-gw"], ids=["mac", "custom-id"])
def test_registration_from_another_ip_is_ignored(fake_time_server, make_client, custom_id):
    server = fake_time_server
    home = make_client(server=server, custom_id=custom_id)
    assert home.register(keyed=True)[0] == ACCEPTTLS
    moved = home.sibling(bind_host="127.0.0.2")

    mark = server.mark()
    assert server.exchange(moved, moved.connect_datagram(keyed=True)) is None
    server.wait_for_log(other_ip(home.key), level="WARN", exact=True, since=mark)
    assert server.find(ACCEPTED, since=mark) == []
    # Nothing changed: the old record and its key still serve the old address.
    home.send_encrypted(home.keepalive_datagram())
    assert home.recv(decrypt=False) == KEEPALIVE_ANSWER

    # The moved client's keepalive changes nothing; once the old record has expired (the
    # home address went silent), the moved client registers.
    mark = server.mark()
    assert server.exchange(moved, moved.keepalive_datagram()) is None
    server.wait_for_log(keepalive_failed(home.key), level="WARN", since=mark)
    home.send_encrypted(home.keepalive_datagram())
    assert home.recv(decrypt=False) == KEEPALIVE_ANSWER
    server.advance(181)
    server.sync()
    server.wait_for_log("Keepalive: Removed gateway client " + home.key, since=mark)
    assert moved.register()[0] == ACCEPT
    assert moved.keepalive() == KEEPALIVE_ANSWER


def test_custom_id_registration_replaces_the_mac_record_of_the_same_client(server, gc):
    assert gc.register(custom_id=None) == bytes([ACCEPT])
    mark = server.mark()
    assert gc.register(custom_id="renamed") == bytes([ACCEPT])

    server.wait_for_log(already_connected(gc.mac_key), level="DEBUG", exact=True, since=mark)
    server.wait_for_log(ACCEPTED + "renamed", exact=True, since=mark)
    assert server.exchange(gc, gc.keepalive_datagram(None)) is None
    assert gc.keepalive(custom_id="renamed") == KEEPALIVE_ANSWER


def test_registration_under_a_taken_custom_id_from_the_same_ip_takes_it_over(server, make_client):
    first = make_client(custom_id="shared-id")
    second = make_client(custom_id="shared-id")  # another MAC, same IP, other port
    assert first.register() == bytes([ACCEPT])
    mark = server.mark()
    assert second.register() == bytes([ACCEPT])

    server.wait_for_log(already_connected("shared-id"), level="DEBUG", exact=True, since=mark)
    assert second.keepalive() == KEEPALIVE_ANSWER
    assert server.exchange(first, first.keepalive_datagram()) is None
    server.wait_for_log(keepalive_failed("shared-id"), level="WARN", since=mark)
