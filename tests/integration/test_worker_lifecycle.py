"""Worker processes through the real binary: one per proxy connection, each ended and reaped
without leaking a descriptor, whatever happens to the worker, its client or its parent."""

import os
import signal
import socket
import time

import pytest
from tamblo_server import fd_targets, wait_until


def process_state(pid):
    """The state letter of a process, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def gone(pid):
    return process_state(pid) in (None, "Z")


def connect_clients(server, count):
    """Clients whose workers stay alive (a connection without bytes has no worker)."""
    return server.held.connect(count)


@pytest.fixture
def quiet_server(start_server, held_workers):
    """A server whose workers stay up while their connections are held: each has sent a
    request whose tunnelled connect is never answered. Every client here comes from
    loopback, so the per-address worker limit is raised."""
    server = start_server(["--max-workers-per-address=1000"])
    server.held = held_workers(server)
    return server


def test_connections_held_and_closed_leave_no_descriptor_and_no_child(quiet_server):
    server = quiet_server
    baseline = server.fd_count()
    clients = connect_clients(server, 300)
    try:
        assert wait_until(lambda: len(server.children()) == 300, 30), len(server.children())
        # Two pipe ends per live worker, nothing else (once the parent has closed its copies
        # of the last worker's descriptors, just after that fork).
        assert wait_until(lambda: server.fd_count() == baseline + 600, 10), server.fd_count()
    finally:
        for client in clients:
            client.close()
    assert wait_until(lambda: not server.children(), 30), server.children()
    assert wait_until(lambda: server.fd_count() == baseline, 10), (server.fd_count(), baseline)
    assert server.running()


def test_a_worker_holds_only_its_own_descriptors(quiet_server):
    server = quiet_server
    clients = connect_clients(server, 20)
    try:
        assert wait_until(lambda: len(server.children()) == 20, 15)
        workers = server.children()
        # Workers forked later do not inherit the pipes of the earlier ones. A worker closes
        # what it inherited just after the fork, which a loaded machine may not have run yet.
        wait_until(lambda: len({len(fd_targets(pid)) for pid in workers}) == 1, 10)
        counts = [len(fd_targets(pid)) for pid in workers]
        assert max(counts) == min(counts), counts
        sockets = [t for t in fd_targets(workers[-1]) if t.startswith("socket:")]
        assert len(sockets) == 1, fd_targets(workers[-1])  # its client, no listener or UDP socket
    finally:
        for client in clients:
            client.close()


def test_a_killed_worker_takes_its_tunnel_with_it(quiet_server):
    server = quiet_server
    baseline = server.fd_count()
    client, = connect_clients(server, 1)
    try:
        assert wait_until(lambda: len(server.children()) == 1, 10)
        worker = server.children()[0]
        since = server.mark()
        os.kill(worker, signal.SIGKILL)
        server.wait_for_log("process %d exited" % worker, since=since, timeout=5)
        server.wait_for_log("removing tunnel", since=since, timeout=5)
        assert wait_until(lambda: server.fd_count() == baseline, 5)
        assert wait_until(lambda: gone(worker), 5)
        # The client sees its connection end.
        client.settimeout(5)
        assert client.recv(1) == b""
    finally:
        client.close()


def test_a_killed_zygote_is_replaced_and_running_workers_go_on(quiet_server):
    server = quiet_server
    clients = connect_clients(server, 1)
    try:
        assert wait_until(lambda: len(server.children()) == 1, 10)
        worker, zygote = server.children()[0], server.zygote()
        since = server.mark()
        os.kill(zygote, signal.SIGKILL)

        # A zygote that ended within a second of its start is replaced by a later request:
        # clients come until one has a worker.
        def another_worker():
            clients.extend(connect_clients(server, 1))
            return len(server.children()) >= 2
        assert wait_until(another_worker, 10)
        server.wait_for_log("worker zygote %d is gone; starting another" % zygote, since=since)
        assert wait_until(lambda: server.zygote() not in (None, zygote), 5)
        assert process_state(worker) not in (None, "Z")
    finally:
        for client in clients:
            client.close()


# What the proxy workers' image must not map: each worker's fork copies, and its exit tears
# down, whatever the zygote maps.
HEAVY_LIBRARIES = ("libvlc", "libavformat", "libavcodec", "libpq", "libmicrohttpd", "libboost")


def test_proxy_workers_come_from_the_small_image_of_one_thread(quiet_server):
    server = quiet_server
    zygote = server.zygote()
    assert os.path.basename(os.readlink("/proc/%d/exe" % zygote)) == "tamblo-zygote"
    with open("/proc/%d/status" % zygote) as status:
        assert "Threads:\t1\n" in status.read()
    with open("/proc/%d/maps" % zygote) as maps:
        mapped = maps.read()
    assert [name for name in HEAVY_LIBRARIES if name in mapped] == []
    clients = connect_clients(server, 1)
    try:
        assert wait_until(lambda: len(server.children()) == 1, 10)
        worker = server.children()[0]
        assert os.readlink("/proc/%d/exe" % worker) == os.readlink("/proc/%d/exe" % zygote)
        # The workers' session is the zygote's, not the parent's: scheduled as one group.
        assert os.getsid(worker) == os.getsid(zygote) == zygote != os.getsid(server.pid)
    finally:
        for client in clients:
            client.close()


def test_sigterm_with_live_workers_exits_zero_and_leaves_none_behind(quiet_server):
    server = quiet_server
    clients = connect_clients(server, 50)
    try:
        assert wait_until(lambda: len(server.children()) == 50, 15)
        workers = server.children()
        assert server.stop(timeout=15) == 0
        assert "*** TambloServer exiting" in server.log_text()
        assert all(gone(pid) for pid in workers), [process_state(p) for p in workers]
    finally:
        for client in clients:
            client.close()


def test_a_worker_whose_parent_is_killed_ends_by_itself(quiet_server):
    server = quiet_server
    client, = connect_clients(server, 1)
    try:
        assert wait_until(lambda: len(server.children()) == 1, 10)
        worker = server.children()[0]
        server.kill()
        assert wait_until(lambda: gone(worker), 5), process_state(worker)
    finally:
        client.close()


def test_stopping_and_continuing_a_worker_keeps_its_tunnel(quiet_server):
    server = quiet_server
    idle = server.fd_count()
    client, = connect_clients(server, 1)
    try:
        assert wait_until(lambda: len(server.children()) == 1, 10)
        worker = server.children()[0]
        # The parent keeps the worker's two pipe ends once it has closed the client socket.
        assert wait_until(lambda: server.fd_count() == idle + 2, 10), server.fd_count()
        os.kill(worker, signal.SIGSTOP)
        assert wait_until(lambda: process_state(worker) == "T", 5)
        os.kill(worker, signal.SIGCONT)
        assert wait_until(lambda: process_state(worker) not in ("T", None), 5)
        server.sync()  # the parent has seen both child events by now
        assert server.children() == [worker]
        # The parent's own lookup of the client's target may still hold its connection to
        # the configuration service for a moment on a loaded machine.
        assert wait_until(lambda: server.fd_count() == idle + 2, 10), \
            " ".join(sorted(fd_targets(server.pid)))
        assert "removing tunnel" not in server.log_text()
    finally:
        client.close()
    assert wait_until(lambda: not server.children(), 10)


def test_a_worker_that_does_not_end_is_killed_at_shutdown(quiet_server):
    server = quiet_server
    client, = connect_clients(server, 1)
    try:
        assert wait_until(lambda: len(server.children()) == 1, 10)
        worker = server.children()[0]
        os.kill(worker, signal.SIGSTOP)  # deaf to the stop request and to SIGTERM
        started = time.monotonic()
        assert server.stop(timeout=15) == 0
        assert time.monotonic() - started < 10
        assert gone(worker), process_state(worker)
    finally:
        client.close()
