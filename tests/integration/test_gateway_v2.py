"""The authenticated gateway registration through the real server, driven by an independent Noise
implementation (python3-dissononce, in tamblo_noise): registration, keepalives inside the
transport, roaming, dropped datagrams, and the policy against version 1 squatters."""

import base64
import json
import os
import socket
import struct
import subprocess
import time

import pytest

import tamblo_metrics
import tamblo_noise
from tamblo_gc import (ACCEPT, KEEPALIVE, KEEPALIVERESP, TCP_ACK, TCP_PSH, TCP_SYN, TCPOVERUDP,
                       build_tcp_over_udp, build_tcp_segment, parse_tcp_over_udp,
                       parse_tcp_segment)
from tamblo_server import BUILD_DIR, free_port, listening_tcp_ports, wait_until

CONFIG_SERVICE = os.path.join(BUILD_DIR, "tamblo-config-service")

ACCEPTED_V2 = "Accepted authenticated UDP session from GC "


def write_key_files(tmp_path, pinned):
    """(server key pair, --server-key path, --gateway-keys path) for {id: gateway key pair}."""
    server_keys = tamblo_noise.keypair()
    server_file = tmp_path / "server.key"
    server_file.write_text(base64.b64encode(server_keys.private.data).decode() + "\n")
    os.chmod(server_file, 0o600)
    keys_file = tmp_path / "gateways.keys"
    keys_file.write_text("".join("%s %s\n" % (gateway_id, base64.b64encode(keys.public.data)
                                              .decode()) for gateway_id, keys in pinned.items()))
    return server_keys, str(server_file), str(keys_file)


class V2Gateway:
    """A version 2 gateway on a UDP socket of its own."""

    def __init__(self, server, server_public, keys, gateway_id, bind_host="127.0.0.1"):
        self.server_address = server.gc_address
        self.noise = tamblo_noise.Gateway(server_public, keys)
        self.gateway_id = gateway_id
        self.sock = self._socket(bind_host)
        self.session = None

    @staticmethod
    def _socket(bind_host):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((bind_host, 0))
        sock.settimeout(2.0)
        return sock

    def recv(self):
        try:
            return self.sock.recv(65536)
        except socket.timeout:
            return None

    def register(self, index=7, timestamp=None):
        payload = tamblo_noise.encode_payload(self.gateway_id, timestamp=timestamp)
        initiation = self.noise.initiation(index, payload)
        self.sock.sendto(initiation, self.server_address)
        answer = self.recv()
        assert answer is not None and answer[0] == tamblo_noise.RESPONSE, answer
        self.session = self.noise.response(answer)
        return initiation

    def send_inner(self, inner, counter=None):
        datagram = self.session.seal(inner, counter)
        self.sock.sendto(datagram, self.server_address)
        return datagram

    def keepalive(self):
        """The opened answer to a keepalive inside the transport, or None."""
        self.send_inner(bytes([KEEPALIVE]))
        answer = self.recv()
        return None if answer is None else self.session.open(answer)

    def move(self, bind_host):
        self.sock.close()
        self.sock = self._socket(bind_host)

    def close(self):
        self.sock.close()


PINNED_MAC = "AA:BB:CC:00:00:01"


@pytest.fixture
def v2(start_server, tmp_path):
    """Factory: v2(policy=None) gives (server, gateway for the pinned id "gw-1", the key pair
    pinned for PINNED_MAC, the metrics port)."""
    made = []

    def start(policy=None, extra=()):
        keys, mac_keys = tamblo_noise.keypair(), tamblo_noise.keypair()
        server_keys, server_file, keys_file = write_key_files(tmp_path, {"gw-1": keys,
                                                                         PINNED_MAC: mac_keys})
        metrics = free_port(socket.SOCK_STREAM)
        args = ["--server-key=" + server_file, "--gateway-keys=" + keys_file,
                "--metrics-address=127.0.0.1:%d" % metrics] + list(extra)
        if policy:
            args.append("--gateway-auth=" + policy)
        server = start_server(args)
        gateway = V2Gateway(server, server_keys.public.data, keys, "gw-1")
        made.append(gateway)
        return server, gateway, mac_keys, metrics

    yield start
    for gateway in made:
        gateway.close()


def test_registers_keeps_alive_and_roams_keeping_its_record(v2):
    server, gateway, _, metrics = v2()
    mark = server.mark()
    gateway.register()
    server.wait_for_log(ACCEPTED_V2 + "gw-1", level="INFO", exact=True, since=mark)
    assert gateway.keepalive() == bytes([KEEPALIVERESP])

    gateway.move("127.0.0.2")  # a new address and port: the next datagram takes the record
    assert gateway.keepalive() == bytes([KEEPALIVERESP])
    samples = tamblo_metrics.scrape(metrics)
    assert samples['tamblo_gateway_roams_total'] == 1
    assert samples['tamblo_gateway_clients{kind="authenticated"}'] == 1
    assert samples['tamblo_gateway_registrations_total{version="2"}'] == 1


@pytest.mark.parametrize("attack, reason", [
    ("replayed", "replayed"),
    ("behind the window", "replayed"),
    ("tampered", "forged"),
    ("unknown index", "unknown_index"),
    ("registration inside", "not_allowed"),
])
def test_bad_transport_datagrams_are_dropped_and_counted(v2, attack, reason):
    server, gateway, _, metrics = v2()
    gateway.register()
    sent = gateway.send_inner(bytes([KEEPALIVE]))
    assert gateway.recv() is not None
    if attack == "replayed":
        datagram = sent
    elif attack == "behind the window":
        gateway.send_inner(bytes([KEEPALIVE]), counter=10000)  # moves the window far ahead
        assert gateway.recv() is not None
        datagram = gateway.session.seal(bytes([KEEPALIVE]), counter=1)
    elif attack == "tampered":
        fresh = gateway.session.seal(bytes([KEEPALIVE]))
        datagram = fresh[:-1] + bytes([fresh[-1] ^ 1])
    elif attack == "unknown index":
        datagram = sent[:4] + struct.pack(">I", gateway.session.remote_index ^ 1) + sent[8:]
    else:
        datagram = gateway.session.seal(bytes([16]) + bytes(15))
    gateway.sock.sendto(datagram, gateway.server_address)
    assert gateway.recv() is None
    tamblo_metrics.wait_for_metric(
        metrics, 'tamblo_gateway_transport_dropped_total{reason="%s"}' % reason, lambda v: v == 1)


def test_replayed_initiation_changes_nothing(v2):
    server, gateway, _, metrics = v2()
    initiation = gateway.register()
    gateway.sock.sendto(initiation, gateway.server_address)
    assert gateway.recv() is None
    assert gateway.keepalive() == bytes([KEEPALIVERESP])  # the first session still holds
    tamblo_metrics.wait_for_metric(
        metrics, 'tamblo_gateway_handshake_failures_total{reason="replayed"}', lambda v: v == 1)


def test_an_unpinned_key_gets_no_answer(v2):
    server, gateway, _, metrics = v2()
    stranger = V2Gateway(server, gateway.noise.server_public, tamblo_noise.keypair(), "gw-1")
    try:
        stranger.sock.sendto(stranger.noise.initiation(9, tamblo_noise.encode_payload("gw-1")),
                             stranger.server_address)
        assert stranger.recv() is None
    finally:
        stranger.close()
    tamblo_metrics.wait_for_metric(
        metrics, 'tamblo_gateway_handshake_failures_total{reason="unknown_key"}', lambda v: v == 1)


# Version 1 registrations under each policy: a pinned id never registers through version 1
# (online or not, the same silence), an unpinned one does unless version 1 is required.
@pytest.mark.parametrize("policy, mac, online, accepted", [
    ("pinned", PINNED_MAC, False, False),
    ("pinned", PINNED_MAC, True, False),
    ("pinned", "AA:BB:CC:00:00:02", False, True),
    ("required", "AA:BB:CC:00:00:02", False, False),
    ("off", PINNED_MAC, False, True),
])
def test_version1_registrations_under_each_policy(v2, make_client, policy, mac, online, accepted):
    server, gateway, mac_keys, metrics = v2(policy)
    if online:
        gateway = V2Gateway(server, gateway.noise.server_public, mac_keys, mac)
        gateway.register()
    squatter = make_client(mac, server=server, bind_host="127.0.0.66")
    squatter.send(squatter.connect_datagram())
    answer = squatter.recv(timeout=1.0 if not accepted else 2.0)
    assert (answer == bytes([ACCEPT])) == accepted
    if online:
        assert gateway.keepalive() == bytes([KEEPALIVERESP])  # its record is untouched
        # A plain keepalive naming it, from anywhere, keeps nothing alive and is not answered.
        squatter.send(squatter.keepalive_datagram())
        assert squatter.recv(timeout=1.0) is None
        gateway.close()


def test_bad_key_options_stop_the_start(start_server, tmp_path):
    keys_file = tmp_path / "gateways.keys"
    keys_file.write_text("gw-1 not-base64\n")
    server = start_server(["--gateway-keys=" + str(keys_file)], wait=False)
    assert server.wait_exit() == 2
    assert "--gateway-keys" in server.stderr()


def test_under_load_an_initiation_first_gets_a_cookie_reply(v2):
    server, gateway, _, metrics = v2(extra=["--handshakes-per-second=1"])
    cookie = None
    for index in range(1, 11):  # at most one a second is answered before cookies come
        gateway.sock.sendto(gateway.noise.initiation(index, tamblo_noise.encode_payload("gw-1")),
                            gateway.server_address)
        answer = gateway.recv()
        if answer is not None and answer[0] == tamblo_noise.COOKIE_REPLY:
            cookie = answer
            break
    assert cookie is not None
    gateway.noise.cookie_reply(cookie)
    # mac2 made with the cookie: answered under load too (its timestamp later than the last
    # answered one's, which may lie in the same 16 ms).
    gateway.register(index=42, timestamp=tamblo_noise.tai64n(time.time() + 1))
    assert gateway.keepalive() == bytes([KEEPALIVERESP])
    assert tamblo_metrics.scrape(metrics)["tamblo_gateway_cookie_replies_total"] >= 1


def test_a_tunnel_goes_on_after_its_gateway_moved(start_server, tmp_path):
    """A proxied connection through an authenticated gateway: its SYN arrives sealed, the
    gateway moves to another address and port, and the device's answer sent from there still
    reaches the client."""
    mac = "02:00:5E:30:00:01"
    keys = tamblo_noise.keypair()
    server_keys, server_file, keys_file = write_key_files(tmp_path, {mac: keys})
    server = start_server(["--server-key=" + server_file, "--gateway-keys=" + keys_file])
    gateway = V2Gateway(server, server_keys.public.data, keys, mac)
    config = tmp_path / "config.json"
    config.write_text(json.dumps({"gateways": [{
        "id": 7, "serialNumber": mac, "sessions": ["roam"],
        "devices": [{"id": 12, "ipAddress": "198.18.0.10", "port": 80}]}]}))
    rest = subprocess.Popen([CONFIG_SERVICE, "--config", str(config), "--port",
                             str(server.rest_port), "--log", str(tmp_path / "rest.log")],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    client = socket.create_connection(("127.0.0.1", server.proxy_port), timeout=10)
    try:
        assert wait_until(lambda: server.rest_port in listening_tcp_ports(), 10)
        gateway.register()
        assert gateway.keepalive() == bytes([KEEPALIVERESP])
        client.sendall(b"GET /?JSESSIONID=roam,GC_ID=7,LD_ID=12 HTTP/1.1\r\nHost: d\r\n\r\n")

        def next_segment():
            while True:
                datagram = gateway.recv()
                assert datagram is not None, "no segment from the worker"
                inner = gateway.session.open(datagram)
                if inner[0] == TCPOVERUDP:
                    return parse_tcp_segment(parse_tcp_over_udp(inner)[1])

        syn = next_segment()
        assert syn.flags & TCP_SYN
        gateway.send_inner(build_tcp_over_udp("198.18.0.10", build_tcp_segment(
            80, syn.src_port, seq=1000, ack=syn.seq + 1, flags=TCP_SYN | TCP_ACK)))
        request = next_segment()
        while not request.payload:
            request = next_segment()

        gateway.move("127.0.0.2")
        answer = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nroams"
        gateway.send_inner(build_tcp_over_udp("198.18.0.10", build_tcp_segment(
            80, syn.src_port, seq=1001, ack=request.seq + len(request.payload),
            flags=TCP_ACK | TCP_PSH, payload=answer)))
        received = b""
        while not received.endswith(b"roams"):
            chunk = client.recv(4096)
            assert chunk, "the client's connection closed after %r" % received
            received += chunk
        assert received.startswith(b"HTTP/1.1 200 OK")
        assert next_segment().src_port == syn.src_port  # the worker's ACK found the new address
    finally:
        client.close()
        gateway.close()
        rest.kill()
        rest.wait(timeout=10)
