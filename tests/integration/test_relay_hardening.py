"""The relay against hostile configuration answers, hostile ids, clients that try to re-point a
gateway's id, and logs that must not carry secrets; the operator's switch for client-chosen
services."""

import json
import re
import socket
import threading

import pytest

from tamblo_gc import ACCEPT, build_connect
from tamblo_netns import DEFAULT_MAC, REST_PORT, netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import (DEVICE_A, SESSION, RelayWorld, configuration, options,  # noqa: F401
                          plain_relay, read_head)

GATEWAY = json.dumps({"status": "OK", "gatewayClient": {"serialNumber": DEFAULT_MAC},
                      "ipAddress": DEVICE_A, "port": 80})


def ok(body):
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" + body


class ScriptedRest:
    """A configuration service on 127.0.0.1 of the namespace that sends raw scripted answers
    and records the request lines it got."""

    def __init__(self, netns):
        self.answer = ok(GATEWAY)
        self.requests = []
        self.listener = netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", REST_PORT))
        self.listener.listen(16)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(10)
                head = read_head(connection)
                self.requests.append(head.split(b"\r\n", 1)[0].decode(errors="replace"))
                connection.sendall(self.answer.encode())


@pytest.fixture
def scripted(netns, tun_available):
    rest = ScriptedRest(netns)
    relay = RelayWorld(netns, start_rest=False)
    yield relay, rest
    relay.close()


def assert_refused(relay, query, mark, warning):
    code, _, body = relay.curl("/whoami", query, timeout=20)
    assert code != 0 and not body, "the session was served"
    relay.server.log.wait_for(warning, start=mark)
    assert relay.devices["a"].requests == []


def test_hostile_configuration_answers_refuse_the_session(scripted):
    relay, rest = scripted
    deep = "[" * 5000 + "]" * 5000
    cases = [
        ("HTTP/1.1 403 Forbidden\r\n\r\n" + GATEWAY, r"REST answer is not HTTP status 200"),
        ("HTTP/1.1 500 Oops\r\n\r\n" + GATEWAY, r"REST answer is not HTTP status 200"),
        ("HTTP/1.1 404 Not Found\r\nX-Echo: " + GATEWAY + "\r\n\r\nnone",
         r"REST answer is not HTTP status 200"),
        (ok('{"a":' + deep + "}"), r"Malformed rest, could not find status field\."),
        (ok(GATEWAY.replace(DEVICE_A, "255.255.255.255.1")),
         r"Malformed rest, field ipAddress is not an IPv4 address\."),
        (ok(GATEWAY.replace('"OK"', '"DISABLED"')), r"LD 12 status: DISABLED"),
    ]
    for answer, warning in cases:
        rest.answer = answer
        mark = relay.server.log.mark()
        assert_refused(relay, options(), mark, warning)
    # The same service with a sound answer serves the session: the refusals were the answers'.
    rest.answer = ok(GATEWAY)
    assert relay.curl("/whoami", options())[2] == b"a"
    assert len(rest.requests) == len(cases) + 1
    # The answers carry no id: the client's GC_ID is recorded, and the next request of the
    # session is served from the gateway's cache.
    mark = relay.server.log.mark()
    assert relay.curl("/whoami", options())[2] == b"a"
    relay.server.log.wait_for(r"matched one from cache, allowing", start=mark)
    assert len(rest.requests) == len(cases) + 1


def test_hostile_ids_never_reach_the_configuration_service(scripted):
    relay, rest = scripted
    for gc, ld in [("7?admin=1", 12), ("7", "../ld/12"), ("7", "%31%32"), ("..", None),
                   ("7", "12/x"), ("99999999999", 12)]:
        mark = relay.server.log.mark()
        assert_refused(relay, options(gc=gc, ld=ld), mark, r"Refusing lookup of GC .*: ids are")
    assert rest.requests == []
    # "-1" is an id not above 0: straight to the configuration service, no cache query.
    mark = relay.server.log.mark()
    assert relay.curl("/whoami", options(ld=-1))[2] == b"a"
    assert rest.requests == ["GET /app/hm/ld/-1 HTTP/1.1"]
    assert "could not authorize new connection basing on cache" not in relay.server.log.text()[mark:]


def test_a_device_lookup_cannot_take_a_gateway_id_held_by_another_gateway(plain_relay, netns):
    relay = plain_relay
    # A second gateway, the attacker's, with a session and device of its own.
    attacker_mac = "02:00:5E:10:00:70"
    config = configuration()
    config["gateways"].append({"id": 70, "serialNumber": attacker_mac, "sessions": ["evil"],
                               "devices": [{"id": 71, "ipAddress": DEVICE_A, "port": 80}]})
    with open(relay.config_path, "w") as handle:
        json.dump(config, handle)
    attacker = netns.socket(socket.AF_INET, socket.SOCK_DGRAM)
    attacker.bind(("127.0.0.2", 0))
    attacker.settimeout(5)
    attacker.sendto(build_connect(bytes.fromhex(attacker_mac.replace(":", ""))),
                    ("127.0.0.1", relay.server.gc_port))
    assert attacker.recv(64) == bytes([ACCEPT])

    assert relay.curl("/whoami", options())[2] == b"a"  # GC 7 is the real gateway's now
    # The attacker's device lookup names GC 7: its gateway is authorised, the id stays.
    mark = relay.server.log.mark()
    relay.curl("/whoami", options(session="evil", ld=71), timeout=5)
    relay.server.log.wait_for(r"GC id 7 is held by GC %s, not recording it" % DEFAULT_MAC,
                              start=mark)
    # The victim's next request is still served from the cache of the real gateway.
    requests = len(relay.rest_requests())
    mark = relay.server.log.mark()
    assert relay.curl("/whoami", options())[2] == b"a"
    relay.server.log.wait_for(r"matched one from cache, allowing", start=mark)
    assert len(relay.rest_requests()) == requests


def test_relay_logs_hold_no_session_id_or_secret_header_value(plain_relay):
    relay = plain_relay
    session = SESSION
    secrets = ["Basic dXNlcjpzM2NyM3Q=", "theme=dark-s3cr3t"]
    code, status, body = relay.curl(
        "/whoami", "JSESSIONID=%s,GC_ID=7,LD_ID=12" % session,
        extra=["-H", "Authorization: " + secrets[0],
               "-H", "Cookie: JSESSIONID=%s; GC_ID=7; LD_ID=12; %s" % (session, secrets[1])])
    assert (code, status, body) == (0, "200", b"a")
    log = relay.server.log.text()
    assert "HTTP headers: " in log and "parser: got header value: <hidden>" in log
    for secret in secrets:
        assert secret not in log
    assert not re.search(r"JSESSIONID=%s\b" % session, log)
    assert not re.search(r"(session|sessionId:|connection) %s\b" % session, log)
    assert "with JESSIONID=#" in log


def test_client_chosen_services_can_be_turned_off(netns, tun_available):
    relay = RelayWorld(netns, server_args=["--client-targets=off"])
    try:
        # RNAS would go to 127.0.0.1:4080 and VERIFY to port 4848: both reach device "a".
        for extra in (",SERVICE=RNAS", ",DST_PORT=4848", ",SERVICE=VERIFY"):
            code, status, body = relay.curl("/whoami", options(extra=extra, session=SESSION))
            assert (code, status, body) == (0, "200", b"a"), extra
    finally:
        relay.close()
