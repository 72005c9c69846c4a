"""The session cache seen from outside: one lookup per (device, session) until the purge."""

import time

from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options, plain_relay  # noqa: F401 (fixtures)


def test_second_connection_is_authorised_from_the_cache(plain_relay):
    relay = plain_relay
    assert relay.curl("/whoami", options())[2] == b"a"
    assert len(relay.rest_requests()) == 1
    mark = relay.server.log.mark()
    assert relay.curl("/whoami", options())[2] == b"a"
    relay.server.log.wait_for(r"connection #ba7816bf matched one from cache, allowing", start=mark)
    assert len(relay.rest_requests()) == 1
    # Another device of the same session is a new lookup.
    assert relay.curl("/whoami", options(ld=13))[2] == b"b"
    assert len(relay.rest_requests()) == 2


def test_after_the_purge_the_service_is_asked_again(netns, tun_available):
    relay = RelayWorld(netns, fake_time=True, gateway_args=["--keepalive-interval", "1"])
    try:
        assert relay.curl("/whoami", options())[2] == b"a"
        assert len(relay.rest_requests()) == 1
        # Move on in steps small enough for the keepalives to keep the gateway registered,
        # past two purge times (every 15 minutes of wall-clock time).
        for _ in range(19):
            relay.server.advance(100)
            mark = relay.server.log.mark()
            relay.server.log.wait_for(r"Got UDP from GC, size=7", start=mark, timeout=5)
            time.sleep(0.1)
        relay.server.log.wait_for(r"Removing cached session ID: #ba7816bf, ld: 12")
        assert "Keepalive: Removed gateway client" not in relay.server.log.text()
        assert relay.curl("/whoami", options())[2] == b"a"
        assert len(relay.rest_requests()) == 2
    finally:
        relay.close()
