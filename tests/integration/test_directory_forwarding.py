"""Clients served by whichever server they reach: three servers share the gateway directory in a
real PostgreSQL, the gateway is registered at one of them, and a client of any server gets its
devices' pages through the holding server's peer port."""

import os
import socket

import pytest

import tamblo_metrics
from tamblo_device import payload_digest
from tamblo_netns import GATEWAY_PORT, REST_PORT, netns, tun_available, wait_until  # noqa: F401 (fixtures)
from tamblo_postgres import postgres  # noqa: F401 (the fixture)
from tamblo_relay import RelayWorld, options, sha256_file
from tamblo_server import free_port

MIB = 1 << 20
PEERS = "127.0.0.0/8"


def directory_args(postgres, name, peer_port, metrics_port):
    return ["--directory=" + postgres.conninfo(), "--server-id=" + name,
            "--peer-address=127.0.0.1:%d" % peer_port, "--peer-networks=" + PEERS,
            "--directory-refresh=1", "--metrics-address=127.0.0.1:%d" % metrics_port]


class Cluster:
    """Server a holds the gateway (the relay world's own server); b and c only forward."""

    def __init__(self, netns, postgres, gateway_args=()):
        self.peer_ports = {name: free_port(socket.SOCK_STREAM) for name in "abc"}
        self.metrics = {name: free_port(socket.SOCK_STREAM) for name in "abc"}
        self.world = RelayWorld(netns, gateway_args=gateway_args, server_args=directory_args(
            postgres, "a", self.peer_ports["a"], self.metrics["a"]))
        self.servers = {"a": self.world.server}
        for offset, name in enumerate("bc", start=1):
            self.servers[name] = netns.start_server(
                label="server-" + name, gc_port=18300 + offset, ctrl_port=18500 + offset,
                proxy_port=11443 + offset, rest_port=REST_PORT,
                extra_args=directory_args(postgres, name, self.peer_ports[name],
                                          self.metrics[name]))
        self.netns = netns
        self.postgres = postgres
        wait_until(lambda: self.holder() == "a", 30, what="server a's claim of the gateway")
        for name in "bc":
            wait_until(lambda: self.ready(name), 30, what="server %s's directory" % name)

    def holder(self):
        return self.postgres.psql("tamblo", "SELECT server_id FROM tamblo_gateways")

    def curl(self, name, path, ld=12, output=None, timeout=60):
        """(curl's exit code, HTTP status, body) for a request at server `name`."""
        self.world.server = self.servers[name]  # RelayWorld's URLs name its server's port
        try:
            return self.world.curl(path, options(ld=ld), output=output, timeout=timeout)
        finally:
            self.world.server = self.servers["a"]

    def ready(self, name):
        try:
            return self.scrape(name).get("tamblo_directory_ready") == 1
        except ConnectionRefusedError:  # its metrics endpoint is not up yet
            return False

    def scrape(self, name):
        return tamblo_metrics.scrape(
            self.metrics[name],
            make_socket=lambda: self.netns.socket(socket.AF_INET, socket.SOCK_STREAM))

    def close(self):
        self.world.close()


@pytest.fixture
def cluster(netns, tun_available, postgres):
    world = Cluster(netns, postgres)
    yield world
    world.close()


def test_a_client_at_any_server_gets_every_page(cluster):
    for name in "abc":
        for ld, size in ((12, 200000), (13, 1399)):  # devices a and b behind the gateway
            code, status, body = cluster.curl(name, "/bytes/%d" % size, ld=ld)
            assert (code, status, len(body)) == (0, "200", size), (name, ld)
    target = os.path.join(cluster.netns.workdir, "forwarded")
    code, status, _ = cluster.curl("c", "/bytes/%d" % (16 * MIB), output=target, timeout=120)
    assert (code, status) == (0, "200")
    assert sha256_file(target) == payload_digest(16 * MIB)
    for name in "bc":
        samples = cluster.scrape(name)
        assert samples['tamblo_forwarded_connections_total{direction="out",outcome="forwarded"}'] >= 2
    samples = cluster.scrape("a")
    assert samples['tamblo_forwarded_connections_total{direction="in",outcome="accepted"}'] >= 5
    # The holding server's worker saw the client, not the server that forwarded it.
    assert cluster.servers["a"].log.count(r"forwards client 127\.0\.0\.1:") >= 5


def test_without_the_database_local_relays_go_on_and_forwards_fail_clearly(cluster):
    cluster.postgres.stop()
    wait_until(lambda: cluster.scrape("b")["tamblo_directory_ready"] == 0, 30,
               what="server b to notice the database is gone")
    assert cluster.curl("a", "/bytes/1000")[:2] == (0, "200")
    code, status, _ = cluster.curl("b", "/bytes/1000", timeout=20)
    assert status != "200"
    cluster.servers["b"].log.wait_for(r"gateway directory cannot say where it is now")
    assert cluster.scrape("b")[
        'tamblo_forwarded_connections_total{direction="out",outcome="directory_unavailable"}'] >= 1
    cluster.postgres.start()
    wait_until(lambda: cluster.scrape("b")["tamblo_directory_ready"] == 1, 90,
               what="server b to connect again")
    assert cluster.curl("b", "/bytes/1000")[:2] == (0, "200")


def closed_by_server(sock):
    """True when the server closed the connection (an end of stream, or a reset when it left
    the client's bytes unread)."""
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def test_the_peer_port_refuses_other_networks_and_bad_headers(cluster):
    peer = ("127.0.0.1", cluster.peer_ports["a"])
    outsider = cluster.netns.socket(socket.AF_INET, socket.SOCK_STREAM)
    outsider.bind(("198.18.0.10", 0))  # a LAN address: not in the peer networks
    outsider.settimeout(10)
    outsider.connect(peer)
    assert closed_by_server(outsider)  # closed before any byte is read
    plain = cluster.netns.socket(socket.AF_INET, socket.SOCK_STREAM)
    plain.settimeout(10)
    plain.connect(peer)
    plain.sendall(b"GET /?" + options().encode() + b" HTTP/1.1\r\n\r\n")  # no PROXY header
    assert closed_by_server(plain)
    samples = cluster.scrape("a")
    assert samples['tamblo_forwarded_connections_total{direction="in",outcome="refused_network"}'] == 1
    assert samples['tamblo_forwarded_connections_total{direction="in",outcome="refused_header"}'] == 1


def test_a_killed_servers_gateway_moves_and_its_devices_are_reached_again(netns, tun_available,
                                                                          postgres):
    """The gateway knows servers a and b; a dies with SIGKILL, the gateway's keepalives go
    unanswered, it registers at b, and a client of c reaches its device through b."""
    cluster = Cluster(netns, postgres, gateway_args=[
        "--server", "127.0.0.1:%d,127.0.0.1:18301" % GATEWAY_PORT, "--keepalive-interval", "1",
        "-v"])
    try:
        assert cluster.curl("c", "/bytes/1000")[:2] == (0, "200")
        cluster.servers["a"].kill()
        cluster.world.gateway.log.wait_for(r"moved to server 127\.0\.0\.1:18301", timeout=30)
        wait_until(lambda: cluster.holder() == "b", 90, what="server b's claim of the gateway")
        wait_until(lambda: cluster.curl("c", "/bytes/200000", timeout=10)[:2] == (0, "200"), 90,
                   interval=1, what="the device through server b")
        samples = cluster.scrape("b")
        assert samples['tamblo_forwarded_connections_total{direction="in",outcome="accepted"}'] >= 1
    finally:
        cluster.close()
