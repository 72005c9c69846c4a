"""tamblo-gateway in a network namespace: registration, keepalive, recovery, and segments through its TUN."""

import os
import re
import select
import socket
import struct
import subprocess
import time
from datetime import datetime

import pytest

import tamblo_crypto
import tamblo_gc as gcp
from tamblo_netns import (GATEWAY_BINARY, GATEWAY_LOCAL_IP, LAN_ADDRESSES, LOOPBACK,  # noqa: F401
                          netns, tamblo_server, tun_available, wait_until)

MAC = "02:00:5E:10:00:01"
DEVICE = LAN_ADDRESSES[0]
TUNNEL_PORT = 40001  # inside the gateway's default port range 40000-41000

pytestmark = pytest.mark.usefixtures("tun_available")


# --- helpers ------------------------------------------------------------------------------------

def accepted(mac=MAC):
    return r"Accepted UDP session from GC %s" % re.escape(mac)


def keepalives_answered(server_log, start):
    """How many keepalives the server received and answered after position start of its TRACE log.

    A keepalive shows as a 7-byte datagram (also when it arrived in an envelope, which the server
    logs first) and its answer as a one-byte send. Registration answers would be one-byte sends
    too, so callers check that no registration happened in between."""
    text = server_log.text()[start:]
    return min(len(re.findall(r"Got UDP from GC, size=7\n", text)),
               len(re.findall(r"send: sending bytes: 1, return value: 1\n", text)))


def wait_for_keepalives(server_log, start, count, timeout=10):
    try:
        wait_until(lambda: keepalives_answered(server_log, start) >= count, timeout=timeout,
                   what="%d answered keepalives in the server log" % count)
    except TimeoutError as error:
        tail = "\n".join(server_log.text()[start:].splitlines()[-30:])
        raise AssertionError("%s\n--- server log ---\n%s" % (error, tail)) from None
    assert server_log.count(r"Accepted UDP session", start) == 0, "registered again meanwhile"


def tcp_checksum_ok(source, destination, segment):
    pseudo = socket.inet_aton(source) + socket.inet_aton(destination) + struct.pack(
        "!BBH", 0, 6, len(segment))
    data = pseudo + segment + (b"\0" if len(segment) % 2 else b"")
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total == 0xFFFF


def registration_times(gateway_log, start=0):
    """Wall-clock times (seconds) of the gateway's registration attempts after position start."""
    times = []
    for stamp in re.findall(r"^(\S+ \S+) tamblo-gateway: registering with",
                            gateway_log.text()[start:], re.M):
        times.append(datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f").timestamp())
    return times


class FakeServer:
    """A UDP socket in the namespace that plays the server: answers the registration (and
    keepalives), and exchanges tunnel segments with the gateway."""

    def __init__(self, namespace):
        self.sock = namespace.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((LOOPBACK, 0))
        self.port = self.sock.getsockname()[1]
        self.peer = None
        self.key = None
        self.received = []  # every datagram after unwrapping, for the tests' own checks

    def recv(self, timeout):
        """The next datagram (unwrapped when encrypted), answering keepalives; None on timeout."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data, self.peer = self.sock.recvfrom(8192)
            if data[:1] == bytes([gcp.ENCRYPTED]):
                assert self.key is not None, "an envelope before the key agreement"
                data = gcp.unwrap_encrypted(self.key, data)
            elif self.key is not None:
                # After the key agreement everything the gateway sends travels in envelopes.
                raise AssertionError("a plain datagram after the key agreement: %r" % data[:16])
            self.received.append(data)
            if data[:1] == bytes([gcp.KEEPALIVE]):
                self.sock.sendto(gcp.build_keepalive_response(), self.peer)
                continue
            return data

    def accept_registration(self, timeout=10):
        data = self.recv(timeout)
        assert data is not None, "no registration arrived"
        registration = gcp.parse_registration(data)
        if registration.msg_type == gcp.CONNECTTLS:
            private, public = tamblo_crypto.generate_keypair()
            self.key = tamblo_crypto.shared_key(private, registration.public_key)
            self.sock.sendto(gcp.build_accept_tls(public), self.peer)
        else:
            self.sock.sendto(gcp.build_accept(), self.peer)
        return registration

    def send(self, datagram, wrap=True):
        if wrap and self.key is not None:
            datagram = gcp.wrap_encrypted(self.key, datagram)
        self.sock.sendto(datagram, self.peer)

    def send_segment(self, **fields):
        segment = gcp.build_tcp_segment(TUNNEL_PORT, fields.pop("dst_port"), src_ip=GATEWAY_LOCAL_IP,
                                        dst_ip=DEVICE, **fields)
        self.send(gcp.build_tcp_over_udp(DEVICE, segment))

    def recv_segment(self, timeout=5):
        """(device address, raw segment, parsed segment) of the next tunnel datagram."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            data = self.recv(deadline - time.monotonic())
            if data is None:
                break
            if data[0] == gcp.TCPOVERUDP:
                device, segment = gcp.parse_tcp_over_udp(data)
                return device, segment, gcp.parse_tcp_segment(segment)
        raise AssertionError("no tunnel segment within %s s" % timeout)


# --- with the real server -----------------------------------------------------------------------

@pytest.mark.parametrize("encrypted", [False, True], ids=["plain", "encrypted"])
def test_registers_and_keeps_alive(netns, tamblo_server, encrypted):
    extra = ["--keepalive-interval", "1", "-v"] + (["--encrypt"] if encrypted else [])
    gateway = netns.start_gateway(*extra)
    tamblo_server.log.wait_for(accepted())
    start = tamblo_server.log.mark()

    wait_for_keepalives(tamblo_server.log, start, 3)
    if encrypted:
        assert tamblo_server.log.count(r"Got UDP from GC, size=33\n", start) >= 3
    counters = gateway.counters()
    assert counters["keepalive_answers"] >= 3
    assert counters["registrations"] == 1
    assert counters["associations_lost"] == 0
    assert counters["undecryptable"] == 0
    assert tamblo_server.log.count(accepted()) == 1


def test_restarted_gateway_registers_again(netns, tamblo_server):
    first = netns.start_gateway("--keepalive-interval", "1", "-v")
    tamblo_server.log.wait_for(accepted())
    first.kill()  # no goodbye: the server still holds the old association

    netns.start_gateway("--keepalive-interval", "1", "-v")
    tamblo_server.log.wait_for(
        r"Received connection request from already connected GC \(%s\)\. Allowing\." % re.escape(MAC))
    tamblo_server.log.wait_for(accepted(), count=2)
    start = tamblo_server.log.mark()
    wait_for_keepalives(tamblo_server.log, start, 2)


def test_gateway_registers_with_a_restarted_server(netns, tamblo_server):
    gateway = netns.start_gateway("--keepalive-interval", "1", "-v")
    tamblo_server.log.wait_for(accepted())
    gateway.log.wait_for(r"registered with")

    tamblo_server.stop()
    mark = gateway.log.mark()
    gateway.log.wait_for(r"association lost", timeout=5, start=mark)
    # Let a few registrations go unanswered so that the back-off shows.
    gateway.log.wait_for(r"registering with", count=3, timeout=8, start=mark)

    restarted = netns.start_server(label="restarted")
    # The next attempt comes at most one back-off step (8 s here) later.
    restarted.log.wait_for(accepted(), timeout=12)
    gateway.log.wait_for(r"re-registered with", timeout=5, start=mark)

    times = registration_times(gateway.log, mark)
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert len(gaps) >= 2
    for step, gap in enumerate(gaps):
        expected = min(2 ** step, 60)
        assert expected - 0.2 <= gap <= expected + 0.5, "gaps between attempts: %s" % gaps

    start = restarted.log.mark()
    wait_for_keepalives(restarted.log, start, 2)
    assert gateway.counters()["associations_lost"] == 1


# --- with a Python socket playing the server ----------------------------------------------------

@pytest.mark.parametrize("encrypted", [False, True], ids=["plain", "encrypted"])
def test_segments_reach_a_device_and_its_answers_come_back(netns, encrypted):
    fake = FakeServer(netns)
    echo = netns.tcp_server(DEVICE, 0, mode="echo")
    device_port = echo.address[1]
    extra = ["--server-port", str(fake.port), "--type", "2", "-v"]
    gateway = netns.start_gateway(*(extra + (["--encrypt"] if encrypted else [])),
                                  server=LOOPBACK, server_port=fake.port)

    registration = fake.accept_registration()
    assert registration.msg_type == (gcp.CONNECTTLS if encrypted else gcp.CONNECT)
    assert gcp.mac_text(registration.mac) == MAC
    assert registration.local_ip == socket.inet_aton(GATEWAY_LOCAL_IP)
    assert (registration.port_start, registration.port_end, registration.gw_type) == (40000, 41000, 2)
    gateway.log.wait_for(r"registered with")

    # SYN from the server's end of the tunnel to the device: the kernel answers with a SYN-ACK.
    mss = struct.pack("!BBH", 2, 4, 1398)
    fake.send_segment(dst_port=device_port, seq=1000, flags=gcp.TCP_SYN, options=mss)
    device, raw, synack = fake.recv_segment()
    assert device == DEVICE
    assert (synack.src_port, synack.dst_port) == (device_port, TUNNEL_PORT)
    assert synack.flags & (gcp.TCP_SYN | gcp.TCP_ACK) == gcp.TCP_SYN | gcp.TCP_ACK
    assert synack.ack == 1001
    # The device computed its checksum for the packet's addresses; the segment reached us as is.
    assert tcp_checksum_ok(DEVICE, GATEWAY_LOCAL_IP, raw)

    # Finish the handshake, send data, and read the echo.
    fake.send_segment(dst_port=device_port, seq=1001, ack=synack.seq + 1, flags=gcp.TCP_ACK)
    payload = b"through the tunnel " * 20
    fake.send_segment(dst_port=device_port, seq=1001, ack=synack.seq + 1,
                      flags=gcp.TCP_PSH | gcp.TCP_ACK, payload=payload)
    echoed = b""
    deadline = time.monotonic() + 5
    while len(echoed) < len(payload) and time.monotonic() < deadline:
        device, raw, segment = fake.recv_segment(timeout=deadline - time.monotonic())
        assert tcp_checksum_ok(DEVICE, GATEWAY_LOCAL_IP, raw)
        echoed += segment.payload
    assert echoed == payload
    assert echo.connections == 1

    fake.send_segment(dst_port=device_port, seq=1001 + len(payload), flags=gcp.TCP_RST)
    counters = gateway.counters()
    assert counters["segments_to_tun"] >= 3
    assert counters["malformed"] == 0


def test_gateway_answers_nothing_it_should_not(netns):
    fake = FakeServer(netns)
    gateway = netns.start_gateway("--server-port", str(fake.port), "-v", server=LOOPBACK,
                                  server_port=fake.port)
    fake.accept_registration()
    gateway.log.wait_for(r"registered with")
    before = gateway.counters()

    # Datagrams the gateway has no use for: channel datagrams, client-side types, a truncated
    # tunnel segment and one whose TCP header length overruns it, an envelope without key.
    junk = [gcp.build_channel(130, b"rtp"), gcp.build_channel(200), bytes([gcp.CONNECT]) * 16,
            bytes([gcp.KEEPALIVE]) * 7, bytes([gcp.TCPOVERUDP, 198, 18]),
            gcp.build_tcp_over_udp(DEVICE, b"\x00" * 12 + b"\xf0" + b"\x00" * 7),
            bytes([gcp.ENCRYPTED]) + os.urandom(32)]
    for datagram in junk:
        fake.send(datagram)
    # Traffic the kernel routes into the TUN that is no tunnel segment: UDP, ICMP, and TCP to a
    # port outside the range offered to the server.
    with netns.entered():
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        icmp = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
        tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    with udp, icmp, tcp:
        udp.sendto(b"not for the tunnel", (GATEWAY_LOCAL_IP, TUNNEL_PORT))
        echo_request = struct.pack("!BBHHH", 8, 0, 0, 1, 1)
        checksum = ~sum(struct.unpack("!4H", echo_request)) & 0xFFFF
        icmp.sendto(echo_request[:2] + struct.pack("!H", checksum) + echo_request[4:],
                    (GATEWAY_LOCAL_IP, 0))
        tcp.setblocking(False)
        assert tcp.connect_ex((GATEWAY_LOCAL_IP, 80)) != 0

    assert fake.recv(1.5) is None, "the gateway answered: %r" % fake.received[-1]
    assert all(d[0] == gcp.KEEPALIVE for d in fake.received[1:])
    after = gateway.counters()
    assert after["ignored"] - before["ignored"] == 4
    assert after["malformed"] - before["malformed"] == 2
    assert after["undecryptable"] - before["undecryptable"] == 1
    assert after["refused"] - before["refused"] >= 3
    assert after["datagrams_out"] == before["datagrams_out"]
    assert gateway.alive()


def test_invalid_command_line_exits_with_status_2():
    if not os.access(GATEWAY_BINARY, os.X_OK):
        pytest.fail("%s is not built" % GATEWAY_BINARY)
    cases = [
        ([], "--server"),
        (["--server", "127.0.0.1"], "--mac"),
        (["--server", "127.0.0.1", "--mac", "02:00:00:00:00"], "--mac"),
        (["--server", "127.0.0.1", "--mac", MAC, "--port-range", "5-5"], "--port-range"),
        (["--server", "127.0.0.1", "--mac", MAC, "--what"], "--what"),
    ]
    for argv, named in cases:
        result = subprocess.run([GATEWAY_BINARY, *argv], capture_output=True, text=True, timeout=10)
        assert result.returncode == 2, argv
        assert named in result.stderr, result.stderr
    result = subprocess.run([GATEWAY_BINARY, "--help"], capture_output=True, text=True, timeout=10)
    assert result.returncode == 0 and "--keepalive-interval" in result.stdout


def test_gateway_refuses_what_a_forger_or_a_stray_segment_would_have_it_do(netns):
    fake = FakeServer(netns)
    echo = netns.tcp_server(DEVICE, 0, mode="echo")
    device_port = echo.address[1]
    gateway = netns.start_gateway("--server-port", str(fake.port), "--encrypt", "-v",
                                  "--allow-dest", DEVICE + "/32", server=LOOPBACK,
                                  server_port=fake.port)
    fake.accept_registration()
    gateway.log.wait_for(r"registered with")
    before = gateway.counters()

    def syn_to(address):
        segment = gcp.build_tcp_segment(TUNNEL_PORT, device_port, src_ip=GATEWAY_LOCAL_IP,
                                        dst_ip=address, seq=1000, flags=gcp.TCP_SYN)
        return gcp.build_tcp_over_udp(address, segment)

    refused = [
        # (datagram, wrapped in the envelope, counter it lands in)
        (syn_to(DEVICE), False, "plaintext_refused"),
        (gcp.build_channel(130, b"rtp"), False, "plaintext_refused"),
        # A forged registration answer with the forger's key, long after ours was answered.
        (gcp.build_accept_tls(tamblo_crypto.generate_keypair()[1]), False, "accepts_refused"),
        (gcp.build_accept(), False, "accepts_refused"),
        (syn_to("127.0.0.1"), True, "destinations_refused"),
        (syn_to("224.0.0.1"), True, "destinations_refused"),
        (syn_to("255.255.255.255"), True, "destinations_refused"),
        (syn_to(GATEWAY_LOCAL_IP), True, "destinations_refused"),
        (syn_to(LAN_ADDRESSES[1]), True, "destinations_refused"),  # outside --allow-dest
    ]
    for datagram, wrap, _ in refused:
        fake.send(datagram, wrap=wrap)
    # Our key still holds and the allowed device is reached: the SYN-ACK comes back.
    fake.send(syn_to(DEVICE))
    device, _, synack = fake.recv_segment()
    assert (device, synack.src_port) == (DEVICE, device_port)
    after = gateway.counters()
    for counter in ("plaintext_refused", "accepts_refused", "destinations_refused"):
        expected = sum(1 for _, _, name in refused if name == counter)
        assert after[counter] - before[counter] == expected, counter
    assert after["segments_to_tun"] - before["segments_to_tun"] == 1
    assert echo.connections == 0  # the handshake was not completed: no connection accepted
