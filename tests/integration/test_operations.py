"""Running the server in production, through the real binary on loopback: --help and
--version, the metrics endpoint (its counters, a client that sends nothing, workers that hold
none of its sockets), the service manager's notifications and watchdog, and SIGHUP."""

import os
import re
import signal
import socket
import subprocess

import pytest

import tamblo_metrics
from tamblo_gc import ACCEPT, KEEPALIVERESP, build_tcp_over_udp
from tamblo_server import BINARY, fd_targets, free_port, wait_until

SOURCE_DIR = os.environ.get("TAMBLO_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(__file__))))


@pytest.fixture
def metrics_server(start_server):
    """A server with its metrics endpoint on a free loopback port (server.metrics_port)."""
    port = free_port(socket.SOCK_STREAM)
    server = start_server(["--metrics-address=127.0.0.1:%d" % port,
                           "--max-workers-per-address=1000"])
    server.metrics_port = port
    server.wait_for_log("Serving metrics on http://127.0.0.1:%d/metrics" % port, level="INFO")
    return server


# ---------------------------------------------------------------------------------------
# Command line


def project_version():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as handle:
        return re.search(r"project\(TambloServer VERSION (\S+)", handle.read()).group(1)


def test_help_prints_every_option_and_exits_zero():
    result = subprocess.run([BINARY, "--gc-port=1", "--help"], capture_output=True, text=True,
                            timeout=10, cwd="/")
    assert result.returncode == 0
    assert result.stderr == ""
    usage = result.stdout
    assert usage.startswith("Usage: TambloServer [OPTION]... [INTERFACE]\n")
    # Every option with its default, from a list of this test's own, not the option tables.
    for option, default in [
            ("--gc-port=PORT", "8300"), ("--ctrl-port=PORT", "8500"), ("--proxy-port=PORT", "1443"),
            ("--rest-port=PORT", "8080"), ("--enable-streams", ""), ("--version", ""),
            ("--max-gateways=N", "100000"), ("--max-gateways-per-address=N", "1024"),
            ("--key-agreements-per-second=N", "50"), ("--max-workers=N", "4096"),
            ("--max-workers-per-address=N", "64"), ("--request-head-timeout=N", "10"),
            ("--spare-workers=N", "1"), ("--max-waiting-connections=N", "1024"),
            ("--max-control-connections=N", "256"), ("--control-idle-timeout=N", "60"),
            ("--worker-memory=N", "64"),
            ("--worker-open-files=N", "64"),
            ("--metrics-address=ADDR:PORT", "off"), ("--log-config=FILE", ""),
            ("--ctrl-address=A.B.C.D", "all addresses"), ("--recordings-dir=DIR", "any path"),
            ("--client-targets=on|off", "on"), ("--worker-user=NAME", "nobody")]:
        line = next((l for l in usage.splitlines() if l.strip().startswith(option)), None)
        assert line is not None, option
        assert re.search(r"\(default:? %s\b" % re.escape(default), line) or not default, line
    assert "TambloServer_log.conf" in usage and "SIGHUP" in usage


def test_version_prints_the_project_version():
    result = subprocess.run([BINARY, "--version"], capture_output=True, text=True, timeout=10,
                            cwd="/")
    assert (result.returncode, result.stdout, result.stderr) == \
        (0, "TambloServer %s\n" % project_version(), "")


# One row per place that checks a value: the option tables, and the metrics endpoint's address.
@pytest.mark.parametrize("argument, message", [
    ("--metrics-address=localhost:9466", "--metrics-address=localhost:9466"),
    ("--ctrl-address=localhost", "--ctrl-address=localhost: expected a dotted IPv4 address"),
    ("--recordings-dir=/etc/hostname", "--recordings-dir=/etc/hostname: expected an existing"),
])
def test_a_bad_setting_stops_the_start_before_anything_is_bound(start_server, argument, message):
    server = start_server([argument], wait=False)
    assert server.wait_exit(10) == 2
    assert message in server.stderr()


# ---------------------------------------------------------------------------------------
# Metrics


def test_counters_follow_registrations_keepalives_and_drops(metrics_server, make_client):
    server = metrics_server
    before = tamblo_metrics.scrape(server.metrics_port)
    plain = make_client(server=server)
    keyed = make_client(server=server)
    assert plain.register() == bytes([ACCEPT])
    assert keyed.register(keyed=True) is not None and keyed.aes_key is not None
    assert plain.keepalive() == bytes([KEEPALIVERESP])
    assert keyed.keepalive(encrypted=True) == bytes([KEEPALIVERESP])
    plain.send(bytes([255, 1, 2]))                                     # too short
    plain.send(build_tcp_over_udp("198.18.0.10", bytes(20)))           # no such session
    keyed.send(bytes([252]) + bytes(31))                               # cannot be opened
    server.sync()

    after = tamblo_metrics.scrape(server.metrics_port)

    def moved(name):
        return after.get(name, 0) - before.get(name, 0)

    assert after['tamblo_gateway_clients{kind="plain"}'] == 1
    assert after['tamblo_gateway_clients{kind="keyed"}'] == 1
    assert moved("tamblo_gateway_registrations_accepted_total") == 2
    assert moved("tamblo_gateway_keepalives_answered_total") == 2
    assert moved('tamblo_gateway_datagrams_dropped_total{reason="too_short"}') == 1
    assert moved('tamblo_gateway_datagrams_dropped_total{reason="unknown_session"}') == 1
    assert moved('tamblo_gateway_datagrams_dropped_total{reason="undecryptable"}') == 1
    # Two registrations, two keepalives (one inside an envelope) and the sync probe's own
    # datagrams are control traffic; the envelope that could not be opened is "unknown".
    assert moved('tamblo_gateway_datagrams_received_total{kind="control"}') >= 4
    assert moved('tamblo_gateway_datagrams_received_total{kind="tunnel"}') == 2
    assert moved('tamblo_gateway_datagrams_received_total{kind="unknown"}') == 1
    assert moved('tamblo_gateway_bytes_received_total{kind="tunnel"}') == 3 + 25
    assert moved('tamblo_gateway_datagrams_sent_total{kind="control"}') >= 4
    # The keyed client registers again without a key: its record is replaced.
    assert keyed.register() == bytes([ACCEPT])
    again = tamblo_metrics.scrape(server.metrics_port)
    assert again['tamblo_gateway_clients{kind="plain"}'] == 2
    assert again['tamblo_gateway_clients{kind="keyed"}'] == 0


def test_a_client_that_sends_nothing_does_not_stall_the_server(metrics_server, make_client):
    server = metrics_server
    silent = [socket.create_connection(("127.0.0.1", server.metrics_port), timeout=5)
              for _ in range(4)]
    half = socket.create_connection(("127.0.0.1", server.metrics_port), timeout=5)
    half.sendall(b"GET /metr")
    try:
        # The loop goes on: gateways are answered, other scrapes are served.
        for _ in range(3):
            assert make_client(server=server).register(timeout=2.0) == bytes([ACCEPT])
            assert tamblo_metrics.scrape(server.metrics_port)[
                "tamblo_gateway_registrations_accepted_total"] >= 1
        # The stalled clients are dropped after the endpoint's connection time-out (10 s).
        half.settimeout(20)
        assert half.recv(100) == b""
        assert silent[0].recv(100) == b""
    finally:
        for sock in silent + [half]:
            sock.close()


def worker_sockets(pid):
    return [target for target in fd_targets(pid) if target.startswith("socket:")]


def test_workers_and_metrics(metrics_server, held_workers):
    """A worker holds none of the endpoint's sockets (a scraper's connection open during the
    fork included), and the worker counters follow a worker's life."""
    server = metrics_server
    scraper = socket.create_connection(("127.0.0.1", server.metrics_port), timeout=5)
    before = tamblo_metrics.scrape(server.metrics_port)
    client, = held_workers(server).connect(1)
    try:
        assert wait_until(lambda: len(server.children()) == 1, 10)
        worker = server.children()[0]
        # Its client only: the endpoint's listener and the scraper's connection were closed
        # in the worker just after the fork.
        assert wait_until(lambda: len(worker_sockets(worker)) == 1, 10), worker_sockets(worker)
        live = tamblo_metrics.scrape(server.metrics_port)
        assert live['tamblo_workers{kind="proxy"}'] == 1
        assert live['tamblo_workers_started_total{kind="proxy"}'] - \
            before.get('tamblo_workers_started_total{kind="proxy"}', 0) == 1
        os.kill(worker, signal.SIGKILL)
        after = tamblo_metrics.wait_for_metric(server.metrics_port,
                                               'tamblo_worker_exits_total{signal="9"}',
                                               lambda value: value == 1)
        assert after['tamblo_workers{kind="proxy"}'] == 0
    finally:
        client.close()
        scraper.close()


# ---------------------------------------------------------------------------------------
# Service manager and signals


def test_ready_watchdog_and_stopping_reach_the_service_manager(start_server, tmp_path,
                                                                monkeypatch):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(str(tmp_path / "notify"))
    sock.settimeout(10)
    monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))
    monkeypatch.setenv("WATCHDOG_USEC", "200000")  # a ping every 0.1 s
    monkeypatch.delenv("WATCHDOG_PID", raising=False)
    server = start_server()
    assert sock.recv(256).decode() == "READY=1\nMAINPID=%d" % server.pid
    assert [sock.recv(256) for _ in range(3)] == [b"WATCHDOG=1"] * 3
    assert server.stop() == 0
    messages = [b"WATCHDOG=1"]
    while messages[-1] == b"WATCHDOG=1":
        messages.append(sock.recv(256))
    assert messages[-1] == b"STOPPING=1"
    sock.close()


def test_sighup_reads_the_log_configuration_again(server, gc):
    """As logrotate does it: the file is moved away, SIGHUP, and logging goes on in a new
    file of the old name; the configuration's levels are read again too."""
    conf = os.path.join(server.workdir, "TambloServer_log.conf")
    os.rename(server.log_path, server.log_path + ".1")
    with open(conf) as handle:
        text = handle.read()
    with open(conf, "w") as handle:
        handle.write(text.replace("rootLogger=TRACE", "rootLogger=INFO"))
    os.kill(server.pid, signal.SIGHUP)

    def new_log():
        try:
            with open(server.log_path) as handle:
                return handle.read()
        except FileNotFoundError:
            return ""

    assert wait_until(lambda: "SIGHUP: read the logging configuration again from "
                      "TambloServer_log.conf" in new_log(), 10), new_log()
    assert gc.register() == bytes([ACCEPT])
    assert wait_until(lambda: "Accepted UDP session from GC" in new_log(), 10)
    # At INFO now: the dispatcher's TRACE line for the registration is not written.
    assert "Got UDP from GC" not in new_log()
    assert "SIGHUP" not in open(server.log_path + ".1").read()
    assert server.running()


def test_sighup_replaces_the_spare_worker(start_server, held_workers):
    """A spare forked before the log was rotated would log into the old file: it ends, and a
    new one takes its place; a connection's worker carries on."""
    server = start_server(["--spare-workers=1", "--max-workers-per-address=1000"])
    client, = held_workers(server).connect(1)
    try:
        assert wait_until(lambda: len(server.children()) == 2, 15)  # its worker and a spare
        before = set(server.children())
        os.kill(server.pid, signal.SIGHUP)
        assert wait_until(lambda: len(server.children()) == 2 and
                          len(set(server.children()) & before) == 1, 15), server.children()
    finally:
        client.close()
    assert server.running()
