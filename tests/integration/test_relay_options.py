"""Relay options as clients send them: query string or Cookie header, separators, services."""

from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import SESSION, options, plain_relay  # noqa: F401 (fixtures)


def test_options_in_the_query_string_or_the_cookie_header(plain_relay):
    relay = plain_relay
    code, status, body = relay.curl("/whoami", options(ld=13))
    assert (code, status, body) == (0, "200", b"b")
    code, status, body = relay.curl("/whoami", cookie=options(ld=12))
    assert (code, status, body) == (0, "200", b"a")
    # Semicolons separate cookies as well.
    code, status, body = relay.curl("/whoami", cookie="JSESSIONID=%s; GC_ID=7; LD_ID=13" % SESSION)
    assert (code, status, body) == (0, "200", b"b")


def test_a_lower_case_cookie_header_is_not_examined(plain_relay):
    relay = plain_relay
    mark = relay.server.log.mark()
    code, _, body = relay.curl("/whoami", extra=["-H", "cookie: " + options()])
    assert code != 0 and not body  # closed without an answer
    relay.server.log.wait_for(r"client sent no relay options before any target", start=mark)
    assert relay.rest_requests() == []
    assert relay.devices["a"].requests == []


def test_ampersands_do_not_end_the_session(plain_relay):
    relay = plain_relay
    mark = relay.server.log.mark()
    # The session runs on to the next comma, and so does the gateway id: "7&LD_ID=12" is no
    # decimal number, so the lookup is refused before any request.
    code, _, body = relay.curl("/whoami", "JSESSIONID=%s&GC_ID=7&LD_ID=12," % SESSION)
    assert code != 0 and not body
    relay.server.log.wait_for(r"Refusing lookup of GC 7&LD_ID=12, LD 12: ids are decimal numbers",
                              start=mark)
    assert relay.rest_requests() == []


def test_services_impose_port_and_address(plain_relay):
    relay = plain_relay
    # VERIFY keeps the looked-up address and uses port 4848.
    code, status, body = relay.curl("/whoami", options(extra=",SERVICE=VERIFY"))
    assert (code, status, body) == (0, "200", b"a-verify")
    # DST_PORT 4848 selects the same service.
    code, status, body = relay.curl("/whoami", options(extra=",DST_PORT=4848"))
    assert (code, status, body) == (0, "200", b"a-verify")
    # RNAS connects to 127.0.0.1:4080 on the gateway's side.
    mark = relay.server.log.mark()
    relay.curl("/whoami", options(extra=",SERVICE=RNAS"), timeout=2)
    loopback = 0x0100007F  # 127.0.0.1 in network order, read as a host number
    relay.server.log.wait_for(r"tunnelConnect: local IP \d+ local port \d+ dest IP %d dest port 4080"
                              % loopback, start=mark)
