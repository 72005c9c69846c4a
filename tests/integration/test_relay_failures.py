"""Failures on the way to a device end that one worker, with its log line, close the client's
connection without an answer, and leave the server serving."""

import os
import socket
import threading

from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import (UNREGISTERED_MAC, RelayWorld, options,  # noqa: F401 (fixtures)
                          plain_relay)


def assert_closed_without_answer(result):
    code, _, body = result
    assert code != 0, "curl succeeded: %r" % (result,)
    assert not body


def test_lookup_and_connect_failures_end_only_their_worker(plain_relay):
    relay = plain_relay
    log = relay.server.log
    cases = [
        # gateway client not connected
        (options(ld=16), r"GC with MAC %s is not connected\." % UNREGISTERED_MAC),
        # status of a gateway lookup not "OK"
        (options(ld=None, gc=9), r"GC 9 status: DISABLED"),
        # the device refuses the port: reset
        (options(ld=14), r"cb_tunn_error: TCP connection error: -14"),
        # unknown device
        (options(ld=99), r"REST answer is not HTTP status 200: HTTP/1\.[01] 404"),
    ]
    for query, line in cases:
        mark = log.mark()
        assert_closed_without_answer(relay.curl("/whoami", query, timeout=20))
        log.wait_for(line, start=mark)
    # The parent keeps serving.
    assert relay.curl("/whoami", options())[1:] == ("200", b"a")
    assert relay.server.alive()


def test_a_silent_device_ends_after_the_syn_retransmissions(plain_relay):
    relay = plain_relay
    mark = relay.server.log.mark()
    assert_closed_without_answer(relay.curl("/whoami", options(ld=15), timeout=40))
    relay.server.log.wait_for(r"cb_tunn_error: TCP connection error: -13", start=mark)
    assert relay.curl("/whoami", options())[1:] == ("200", b"a")


def test_configuration_service_down(netns, tun_available):
    relay = RelayWorld(netns, start_rest=False)
    try:
        mark = relay.server.log.mark()
        assert_closed_without_answer(relay.curl("/whoami", options()))
        relay.server.log.wait_for(r"Could not connect to REST server, error: Connection refused",
                                  start=mark)
        relay.start_rest()
        assert relay.curl("/whoami", options())[1:] == ("200", b"a")
    finally:
        relay.close()


def serve_once_per_connection(listener, answer):
    def run():
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            with connection:
                connection.recv(4096)
                connection.sendall(answer)
    threading.Thread(target=run, daemon=True).start()


def test_malformed_configuration_answers(netns, tun_available):
    stub_port = 8081
    relay = RelayWorld(netns, server_args=["--rest-port=%d" % stub_port])
    try:
        listener = netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", stub_port))
        listener.listen(16)
        serve_once_per_connection(
            listener, b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"gatewayClient\": {\"ser")
        mark = relay.server.log.mark()
        assert_closed_without_answer(relay.curl("/whoami", options()))
        relay.server.log.wait_for(r"Malformed rest, could not find status field\.", start=mark)
        assert relay.server.alive()
    finally:
        relay.close()


def test_a_restarted_gateway_registers_again_and_new_connections_work(plain_relay):
    relay = plain_relay
    assert relay.curl("/whoami", options())[1:] == ("200", b"a")
    relay.gateway.kill()
    mark = relay.server.log.mark()
    relay.gateway = relay.netns.start_gateway()
    relay.server.log.wait_for(r"Received connection request from already connected GC \(%s\)\. "
                              r"Allowing\." % relay.gateway.mac, start=mark)
    assert relay.curl("/whoami", options())[1:] == ("200", b"a")
    assert relay.curl("/whoami", options(ld=13))[1:] == ("200", b"b")
