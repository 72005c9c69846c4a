"""Fixtures of the integration tests: real TambloServer processes and gateway clients.

    def test_something(server, gc):          # a running server and a client for it
    def test_other(start_server):            # start_server(args=..., fake_time=True, ...)
    def test_more(server, make_client):      # make_client(bind_host="127.0.0.2", ...)
    def test_workers(server, held_workers):  # held_workers(server).connect(n): n live workers

Every server and client made here is killed / closed at teardown, whatever the test did.
"""

import shutil

import pytest

from tamblo_gc import GatewayClient
from tamblo_server import ServerError, ServerProcess
from tamblo_workers import HeldWorkers

START_ATTEMPTS = 3


@pytest.fixture
def start_server():
    """Factory: start_server(args=(), fake_time=False, wait=True, **ServerProcess options).

    These tests count workers exactly: a server here keeps no spare worker unless the test
    asks for one with --spare-workers=N.

    With free ports chosen here, a start that fails because another process took a port in
    the meantime is retried on new ports."""
    servers = []

    def start(args=(), *, wait=True, **options):
        if not any(arg.startswith("--spare-workers=") for arg in args):
            args = ["--spare-workers=0"] + list(args)
        pinned = any(options.get(k) is not None
                     for k in ("gc_port", "ctrl_port", "proxy_port"))
        attempts = 1 if pinned or not wait else START_ATTEMPTS
        for attempt in range(attempts):
            server = ServerProcess(args, **options)
            servers.append(server)
            try:
                return server.start(wait=wait)
            except ServerError:
                if attempt + 1 == attempts or "Address already in use" not in server.log_text():
                    raise
        raise AssertionError("unreachable")

    yield start
    for server in servers:
        server.close()
    for server in servers:
        if server._own_workdir:
            shutil.rmtree(server.workdir, ignore_errors=True)


@pytest.fixture
def server(start_server):
    """A running server on free ports, logging at TRACE."""
    return start_server()


@pytest.fixture
def fake_time_server(start_server):
    """A running server whose wall clock moves only by server.advance(seconds)."""
    return start_server(fake_time=True)


@pytest.fixture
def make_client(request):
    """Factory: make_client(mac=None, server=<the test's server>, **GatewayClient options)."""
    clients = []

    def make(mac=None, *, server=None, **options):
        target = server or request.getfixturevalue("server")
        client = GatewayClient(target.gc_address, mac, **options)
        clients.append(client)
        return client

    yield make
    for client in clients:
        client.close()


@pytest.fixture
def gc(make_client):
    """One gateway client (random MAC) of the test's server."""
    return make_client()


@pytest.fixture
def held_workers():
    """Factory: held_workers(server) gives a HeldWorkers, whose connect(n) opens n proxy
    connections that each keep a worker alive (see tamblo_workers.py)."""
    made = []

    def make(server, **options):
        held = HeldWorkers(server, **options)
        made.append(held)
        return held

    yield make
    for held in made:
        held.close()
