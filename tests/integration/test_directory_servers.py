"""Servers sharing the gateway directory in a real PostgreSQL: a gateway's row follows its
latest registration, the server that lost it drops its record, and a database that goes away
stops nothing local."""

import socket

import pytest

import tamblo_metrics
from tamblo_gc import ACCEPT, KEEPALIVERESP
from tamblo_postgres import postgres  # noqa: F401 (the fixture)
from tamblo_netns import wait_until
from tamblo_server import free_port

DROPPED = "registered at another server; dropping its record"


def holder(postgres, key):
    return postgres.psql("tamblo", "SELECT server_id FROM tamblo_gateways "
                                   "WHERE convert_from(key, 'UTF8') = '%s'" % key)


def start_peer(start_server, postgres, name):
    metrics = free_port(socket.SOCK_STREAM)
    server = start_server(["--directory=" + postgres.conninfo(), "--server-id=" + name,
                           "--peer-address=127.0.0.1:%d" % free_port(socket.SOCK_STREAM),
                           "--directory-refresh=1", "--metrics-address=127.0.0.1:%d" % metrics])
    server.metrics = metrics
    return server


def test_the_latest_registration_holds_the_gateway(start_server, make_client, postgres):
    a = start_peer(start_server, postgres, "a")
    b = start_peer(start_server, postgres, "b")
    at_a = make_client(server=a)
    at_a.send(at_a.connect_datagram())
    assert at_a.recv() == bytes([ACCEPT])
    wait_until(lambda: holder(postgres, at_a.key) == "a", 30, what="the claim of server a")

    at_b = make_client(at_a.mac, server=b)  # the gateway moved to server b
    at_b.send(at_b.connect_datagram())
    assert at_b.recv() == bytes([ACCEPT])
    wait_until(lambda: holder(postgres, at_a.key) == "b", 30, what="the claim of server b")
    a.wait_for_log("GC %s %s" % (at_a.key, DROPPED), level="INFO", timeout=30)
    assert at_a.keepalive() is None  # server a no longer keeps it
    samples = tamblo_metrics.scrape(b.metrics)
    assert samples['tamblo_directory_gateways_total{change="claimed"}'] >= 1
    assert samples["tamblo_directory_ready"] == 1

    # The database goes away: local gateways go on; it comes back and the refreshes resume.
    postgres.stop()
    assert at_b.keepalive() == bytes([KEEPALIVERESP])
    tamblo_metrics.wait_for_metric(b.metrics, "tamblo_directory_ready", lambda v: v == 0,
                                   timeout=30)
    postgres.start()
    tamblo_metrics.wait_for_metric(b.metrics, "tamblo_directory_ready", lambda v: v == 1,
                                   timeout=90)
    assert at_b.keepalive() == bytes([KEEPALIVERESP])


@pytest.mark.parametrize("args, text", [
    (["--directory=host=/nonexistent"], "--directory needs --server-id and --peer-address"),
    (["--server-id=a"], "need --directory"),
    (["--directory=x", "--server-id=a", "--peer-address=nowhere"], "--peer-address="),
])
def test_directory_options_are_checked(start_server, args, text):
    server = start_server(args, wait=False)
    assert server.wait_exit() == 2
    assert text in server.stderr()
