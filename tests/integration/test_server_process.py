"""The TambloServer process: start and SIGTERM, bind failures, the command line as the
binary reads it, and what gateway traffic leaves behind (no workers, no descriptors)."""

import shutil
import socket
import subprocess

import pytest

from tamblo_gc import ACCEPT, KEEPALIVERESP, GatewayClient
from tamblo_server import free_port

KEEPALIVE_ANSWER = bytes([KEEPALIVERESP])
BIND_FAILED = "bind() call failed with error "


def tcp_listeners():
    """{port: (local address, backlog)} of the listening TCP sockets, from ss."""
    out = subprocess.run(["ss", "-Hltn"], capture_output=True, text=True, timeout=10).stdout
    listeners = {}
    for line in out.splitlines():
        fields = line.split()
        host, _, port = fields[3].rpartition(":")
        listeners[int(port)] = (host, int(fields[2]))
    return listeners


def serves(address, bind_host="127.0.0.1") -> bool:
    """True when a gateway at address answers a registration and a keepalive."""
    with GatewayClient(address, bind_host=bind_host) as client:
        return client.register(timeout=1.0) == bytes([ACCEPT]) and \
            client.keepalive(timeout=1.0) == KEEPALIVE_ANSWER


# ---------------------------------------------------------------------------------------
# Start and stop


def test_sigterm_stops_the_server_with_status_zero(server, gc):
    server.wait_for_log("*** TambloServer starting", level="INFO", exact=True)
    assert gc.register() == bytes([ACCEPT])
    mark = server.mark()

    assert server.stop() == 0
    warn = server.wait_for_log("SIGTERM received, stopping main loop", level="WARN", exact=True,
                               since=mark)
    exiting = server.wait_for_log("*** TambloServer exiting", level="INFO", exact=True,
                                  since=mark)
    cleanup = server.wait_for_log("TambloServer::cleanup()", level="DEBUG", exact=True,
                                  since=mark)
    records = server.records()
    assert records.index(warn) < records.index(exiting) < records.index(cleanup)
    assert server.stderr() == ""


@pytest.mark.parametrize("taken", ["gc", "ctrl", "proxy"])
def test_second_server_on_a_taken_port_fails_to_start(server, start_server, taken):
    ports = {"gc_port": None, "ctrl_port": None, "proxy_port": None}
    ports[taken + "_port"] = getattr(server, taken + "_port")
    for name, value in ports.items():
        if value is None:
            ports[name] = free_port(socket.SOCK_DGRAM if name == "gc_port"
                                    else socket.SOCK_STREAM)
    second = start_server(wait=False, **ports)

    status = second.wait_exit(timeout=10.0)
    assert status is not None and status != 0
    second.wait_for_log(BIND_FAILED + "Address already in use", level="WARN", exact=True)
    expected = {"gc": "bind failed for gateway socket",
                "ctrl": "bind failed for control connection",
                "proxy": "bind failed for proxy server connection"}[taken]
    assert second.stderr() == "TambloServer: %s\n" % expected
    assert second.find("*** TambloServer exiting") == []
    # The first server is not disturbed.
    assert serves(server.gc_address)


# ---------------------------------------------------------------------------------------
# Command line through the binary


def test_option_prefix_without_value_is_an_interface_name(start_server):
    server = start_server(["--gc-port="])
    server.wait_for_log("Trying to bind to interface: --gc-port=", level="INFO", exact=True)
    # No such interface: the socket stays on all addresses.
    assert server.find("Bound to address: ") == []
    assert serves(server.gc_address)
    assert serves(("127.0.0.2", server.gc_port), bind_host="127.0.0.2")


def test_unknown_interface_leaves_the_gateway_socket_on_all_addresses(start_server):
    server = start_server(["no-such-if0"])
    server.wait_for_log("Trying to bind to interface: no-such-if0", level="INFO", exact=True)
    server.sync()
    assert server.find("Bound to address: ") == []
    assert serves(("127.0.0.3", server.gc_port), bind_host="127.0.0.3")


def test_loopback_interface_binds_the_gateway_socket_to_its_address(start_server):
    server = start_server(["no-such-if0", "lo"])
    server.wait_for_log("Trying to bind to interface: no-such-if0", level="INFO", exact=True)
    server.wait_for_log("Trying to bind to interface: lo", level="INFO", exact=True)
    server.wait_for_log("Bound to address: 127.0.0.1", level="INFO", exact=True)
    assert len(server.find("Bound to address: ")) == 1
    assert serves(server.gc_address)
    with GatewayClient(("127.0.0.2", server.gc_port), bind_host="127.0.0.2") as other:
        other.send(other.connect_datagram())
        assert other.recv(timeout=0.3) is None
    # The interface is the gateway socket's only: the TCP listeners stay on all addresses.
    if shutil.which("ss"):
        listeners = tcp_listeners()
        assert listeners[server.ctrl_port][0] == "0.0.0.0"
        assert listeners[server.proxy_port][0] == "0.0.0.0"


@pytest.mark.skipif(shutil.which("ss") is None, reason="needs ss (iproute2)")
def test_listeners_queue_as_many_connections_as_the_system_allows(server):
    # The backlog is SOMAXCONN (4096), cut by the kernel to net.core.somaxconn.
    with open("/proc/sys/net/core/somaxconn") as handle:
        expected = min(4096, int(handle.read()))
    listeners = tcp_listeners()
    assert listeners[server.ctrl_port] == ("0.0.0.0", expected)
    assert listeners[server.proxy_port] == ("0.0.0.0", expected)


def test_enable_streams_is_announced(start_server):
    server = start_server(["--enable-streams"])
    server.wait_for_log("Enabling output to stdout. TambloServer won't work if started from ssh.",
                        level="INFO", exact=True)
    assert server.find("Trying to bind to interface") == []


def test_enable_streams_with_a_value_is_an_interface_name(start_server):
    server = start_server(["--enable-streams=1"])
    server.wait_for_log("Trying to bind to interface: --enable-streams=1", level="INFO",
                        exact=True)
    assert server.find("Enabling output to stdout") == []


def test_last_port_option_wins_and_keeps_its_low_16_bits(start_server):
    real = free_port(socket.SOCK_DGRAM)
    decoy = free_port(socket.SOCK_DGRAM)
    server = start_server(["--gc-port=%d" % (real + 65536)], gc_port=decoy)
    assert serves(("127.0.0.1", real))
    with GatewayClient(("127.0.0.1", decoy)) as client:
        client.send(client.connect_datagram())
        assert client.recv(timeout=0.3) is None
    assert server.running()


# ---------------------------------------------------------------------------------------
# Resources


def test_gateway_traffic_forks_nothing_and_leaks_no_descriptors(server, make_client):
    gc = make_client()
    assert gc.register(keyed=True) is not None
    server.sync()
    baseline = server.fd_count()

    for round_ in range(5):
        clients = [make_client() for _ in range(40)]
        for index, client in enumerate(clients):
            assert client.register(keyed=index % 2 == 0) is not None
            assert client.keepalive() == KEEPALIVE_ANSWER
        for client in clients:
            moved = client.sibling()  # refused keepalive: the record is dropped
            assert server.exchange(moved, moved.keepalive_datagram()) is None
            moved.close()
            client.close()

    assert server.fd_count() == baseline
    assert server.children() == []
    assert server.stop() == 0
