"""Dispatch of gateway datagrams by their first byte through the real server: tunnel packets
without a session, channel datagrams without a channel or client, and bursts."""

import pytest

from tamblo_gc import (ACCEPT, ACCEPTTLS, KEEPALIVERESP, build_channel, build_tcp_over_udp,
                       build_tcp_segment)

KEEPALIVE_ANSWER = bytes([KEEPALIVERESP])
NO_SESSION = "Could not find session for key: "


@pytest.fixture
def registered(server, gc):
    assert gc.register() == bytes([ACCEPT])
    return gc


@pytest.mark.parametrize("dst_port", [305, 40000, 65535])
def test_tunnel_packet_without_session_is_dropped(server, registered, dst_port):
    # The session key is the sender, the device and the segment's destination port.
    segment = build_tcp_segment(80, dst_port, seq=1, payload=b"HTTP/1.0 200 OK\r\n")
    mark = server.mark()
    assert server.exchange(registered, build_tcp_over_udp("198.18.11.20", segment)) is None
    server.wait_for_log("%s%s/198.18.11.20/%d" % (NO_SESSION, registered.address_key, dst_port),
                        level="INFO", exact=True, since=mark)


def test_tunnel_packet_from_an_unregistered_address_names_its_sender(server, gc):
    mark = server.mark()
    gc.send(build_tcp_over_udp("198.18.0.7", build_tcp_segment(554, 20001)))
    server.wait_for_log("%s%s/198.18.0.7/20001" % (NO_SESSION, gc.address_key), level="INFO",
                        exact=True, since=mark)


@pytest.mark.parametrize("length", range(1, 9))
def test_tunnel_packet_too_short_to_name_a_session_is_dropped(server, registered, length):
    datagram = build_tcp_over_udp("198.18.11.20", build_tcp_segment(80, 305))[:length]
    mark = server.mark()
    assert server.exchange(registered, datagram) is None
    assert server.find(NO_SESSION, since=mark) == []
    assert registered.keepalive() == KEEPALIVE_ANSWER


def test_nine_byte_tunnel_packet_names_a_session(server, registered):
    mark = server.mark()
    registered.send(bytes([255, 198, 18, 11, 20, 0, 80, 1, 49]))
    server.wait_for_log("%s%s/198.18.11.20/305" % (NO_SESSION, registered.address_key),
                        exact=True, since=mark)


@pytest.mark.parametrize("channel", [17, 19, 21, 128, 130, 193, 0, 254])
def test_channel_datagram_without_channel_is_dropped(server, registered, channel):
    # Answer types sent by a client are no message of the client: channel datagrams.
    mark = server.mark()
    assert server.exchange(registered, build_channel(channel, b"\x80\x00rtcp")) is None
    record = server.wait_for_log("cannot find channel for " + chr(channel), level="WARN",
                                 exact=True, since=mark)
    assert record.logger == "TambloServer.GatewayClient"
    assert registered.keepalive() == KEEPALIVE_ANSWER


def test_channel_datagram_from_an_unregistered_address_is_dropped(server, registered,
                                                                  make_client):
    stranger = make_client()
    mark = server.mark()
    assert server.exchange(stranger, build_channel(130, b"payload")) is None
    server.wait_for_log(stranger.address_key, level="DEBUG", since=mark)
    assert server.find("cannot find channel", since=mark) == []


def test_channel_datagram_is_routed_by_the_sender_port(server, registered):
    # Same host, other port: not the registered client.
    other = registered.sibling()
    mark = server.mark()
    assert server.exchange(other, build_channel(130)) is None
    server.wait_for_log(other.address_key, level="DEBUG", since=mark)
    assert server.find("cannot find channel", since=mark) == []
    other.close()


def test_burst_of_registrations_and_keepalives_is_answered_in_full(server, make_client):
    clients = [make_client() for _ in range(150)]
    for index, client in enumerate(clients):
        client.send(client.connect_datagram(keyed=index % 3 == 0))
    for index, client in enumerate(clients):
        answer = client.recv(timeout=5.0, decrypt=False)
        assert answer is not None and answer[0] == (ACCEPTTLS if index % 3 == 0 else ACCEPT)
    for client in clients:
        client.send(client.keepalive_datagram())
    for client in clients:
        assert client.recv(timeout=5.0) == KEEPALIVE_ANSWER
