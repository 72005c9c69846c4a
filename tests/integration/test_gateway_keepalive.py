"""Keepalives through the real server: the answer, keepalives from elsewhere that change
nothing, and the expiry of silent clients (with the server's wall clock moved by libfaketime)."""

import pytest

from tamblo_gc import ACCEPT, KEEPALIVERESP, build_keepalive

KEEPALIVE_ANSWER = bytes([KEEPALIVERESP])
ACCEPTED_TEXT = "Accepted UDP session from GC "


def keepalive_failed(key):
    return "Keepalive update failed for device: " + key + ": sent from "


def removed(key):
    return "Keepalive: Removed gateway client " + key


def test_keepalive_is_answered_with_the_single_byte_19(server, gc):
    assert gc.register() == bytes([ACCEPT])
    for _ in range(3):
        gc.send(gc.keepalive_datagram())
        assert gc.recv(decrypt=False) == KEEPALIVE_ANSWER
    server.assert_no_answer(gc)


def test_keepalive_with_custom_id_length_zero_names_the_mac(server, gc):
    assert gc.register() == bytes([ACCEPT])
    gc.send(build_keepalive(gc.mac, custom_id_length=0))  # 8 bytes
    assert gc.recv() == KEEPALIVE_ANSWER


def test_keepalive_of_an_unknown_client_is_dropped_silently(server, gc):
    mark = server.mark()
    assert server.exchange(gc, gc.keepalive_datagram()) is None
    assert server.exchange(gc, gc.keepalive_datagram("never-registered")) is None
    assert server.find(level="INFO", since=mark) == []
    assert server.find(level="WARN", since=mark) == []


@pytest.mark.parametrize("length", [1, 2, 6])
def test_too_short_keepalive_is_dropped(server, gc, length):
    assert gc.register() == bytes([ACCEPT])
    mark = server.mark()
    assert server.exchange(gc, gc.keepalive_datagram()[:length]) is None
    server.wait_for_log("Received too short TAMBLO_MT_KEEPALIVE packet from %s. Ignoring."
                        % gc.address_key, level="INFO", exact=True, since=mark)
    assert gc.keepalive() == KEEPALIVE_ANSWER


@pytest.mark.parametrize("announced, sent", [(1, b""), (9, b"short"), (255, b"y" * 100)],
                         ids=["1-of-0", "9-of-5", "255-of-100"])
def test_keepalive_whose_custom_id_runs_past_the_datagram_is_dropped(server, make_client,
                                                                     announced, sent):
    gc = make_client(custom_id=sent or None)
    assert gc.register() == bytes([ACCEPT])
    mark = server.mark()
    datagram = build_keepalive(gc.mac, sent, custom_id_length=announced)
    assert server.exchange(gc, datagram) is None
    server.wait_for_log(gc.address_key, level="INFO", since=mark)
    # Dropped, not held against the client.
    assert server.find("Keepalive update failed", since=mark) == []
    assert gc.keepalive() == KEEPALIVE_ANSWER


@pytest.mark.parametrize("bind_host", [None, "127.0.0.2"], ids=["other-port", "other-ip"])
@pytest.mark.parametrize("custom_id", [None, "roof-gw"], ids=["mac", "custom-id"])
@pytest.mark.parametrize("keyed", [False, True], ids=["plain", "keyed"])
def test_keepalive_from_another_address_changes_nothing(server, make_client, bind_host, custom_id,
                                                        keyed):
    # Anybody can name a client's MAC: a keepalive from elsewhere must not delete the record
    # (which would let the sender register the MAC as its own and take the client's traffic).
    gc = make_client(custom_id=custom_id)
    assert gc.register(keyed=keyed) is not None
    elsewhere = gc.sibling(bind_host=bind_host)
    mark = server.mark()

    assert server.exchange(elsewhere, elsewhere.keepalive_datagram()) is None
    server.wait_for_log(keepalive_failed(gc.key), level="WARN", since=mark)
    # The record is untouched: its own address is answered, plain and in the envelope...
    assert gc.keepalive(encrypted=keyed) == KEEPALIVE_ANSWER
    assert server.exchange(gc, gc.keepalive_datagram()) == KEEPALIVE_ANSWER
    # ...and the MAC cannot be registered from another IP.
    if bind_host is not None:
        assert server.exchange(elsewhere, elsewhere.connect_datagram()) is None
        server.wait_for_log("but from different IP address", level="WARN", since=mark)
    assert server.find(ACCEPTED_TEXT, since=mark) == []


def test_keepalives_from_elsewhere_are_logged_at_a_bounded_rate(server, gc):
    assert gc.register() == bytes([ACCEPT])
    elsewhere = gc.sibling(bind_host="127.0.0.2")
    mark = server.mark()
    for _ in range(200):
        elsewhere.send(elsewhere.keepalive_datagram())
    server.sync()
    assert 1 <= len(server.find(keepalive_failed(gc.key), since=mark)) <= 10
    assert gc.keepalive() == KEEPALIVE_ANSWER


def test_dropping_a_client_keeps_the_address_of_the_client_that_took_it_over(server,
                                                                             make_client):
    first = make_client()
    assert first.register(keyed=True) is not None
    # A second client registers from the very same address; the address now leads to it.
    second = make_client(sock=first.sock)
    assert second.register(keyed=True) is not None
    second.send_encrypted(second.keepalive_datagram())
    assert second.recv(decrypt=False) == KEEPALIVE_ANSWER

    # The first client registers again from another port of its IP, which drops its old
    # record; the old address still belongs to the second client.
    moved = first.sibling()
    mark = server.mark()
    assert moved.register(keyed=True) is not None
    second.send_encrypted(second.keepalive_datagram())
    assert second.recv(decrypt=False) == KEEPALIVE_ANSWER
    assert server.find("not registered gc", since=mark) == []


# ---------------------------------------------------------------------------------------
# Expiry (fake time)


def test_silent_client_expires_and_one_that_keeps_alive_stays(fake_time_server, make_client):
    server = fake_time_server
    silent = make_client(server=server)
    lively = make_client(server=server, custom_id="lively-gw")
    assert silent.register(keyed=True) is not None
    assert lively.register() == bytes([ACCEPT])
    mark = server.mark()

    # 90 s: at least one whole minute has passed, so the check ran; nobody is over 120 s.
    server.advance(90)
    server.sync()
    assert lively.keepalive() == KEEPALIVE_ANSWER
    server.sync()
    assert server.find("Keepalive: Removed", since=mark) == []

    # 151 s: the next check (at most 60 s after the last) has come; the silent client is
    # 151 s quiet, the other one 61 s.
    server.advance(61)
    server.sync()
    server.wait_for_log(removed(silent.key), level="DEBUG", exact=True, since=mark)
    server.sync()
    assert server.find(removed(lively.key), since=mark) == []

    assert server.exchange(silent, silent.keepalive_datagram()) is None
    assert lively.keepalive() == KEEPALIVE_ANSWER
    # The expired client's tables are clean: its address is unknown, it registers anew.
    silent.send_encrypted(silent.keepalive_datagram())
    server.wait_for_log("Got encrypted message from not registered gc", since=mark)
    assert silent.register() == bytes([ACCEPT])
    assert silent.keepalive() == KEEPALIVE_ANSWER


def test_client_that_keeps_alive_every_minute_never_expires(fake_time_server, make_client):
    server = fake_time_server
    gc = make_client(server=server)
    assert gc.register() == bytes([ACCEPT])
    mark = server.mark()
    for _ in range(6):
        server.advance(60)
        assert gc.keepalive() == KEEPALIVE_ANSWER
    server.sync()
    assert server.find("Keepalive: Removed", since=mark) == []
