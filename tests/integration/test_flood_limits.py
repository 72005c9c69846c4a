"""Floods against the real binary: registrations and idle proxy connections stay within the
limits and cost no worker, and a gateway or client from another address is served meanwhile;
control connections cannot use up the descriptors, and slow metrics clients cannot keep the
scrapes out. (Datagram floods against the log are a unit table: GatewayService_test.cpp.)"""

import resource
import select
import socket
import time

import tamblo_metrics
from tamblo_control import ControlClient
from tamblo_gc import ACCEPT, KEEPALIVERESP, build_connect
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options, read_http_answer
from tamblo_server import free_port, wait_until

PER_ADDRESS = "--max-gateways-per-address=50"
WORKERS_PER_ADDRESS = "--max-workers-per-address=20"


def test_a_registration_flood_from_one_address_stays_within_its_limit(start_server, make_client):
    server = start_server([PER_ADDRESS])
    flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flood.bind(("127.0.0.1", 0))
    mark = server.mark()
    for i in range(2000):
        mac = bytes([0x02, 0x77, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff, 0x01])
        flood.sendto(build_connect(mac), server.gc_address)
    server.sync()
    assert len(server.find("Accepted UDP session from GC", since=mark)) <= 50
    refusals = server.find("over the limit of --max-gateways-per-address (50)", since=mark)
    assert 1 <= len(refusals) <= 10  # the refusals are logged at a bounded rate
    flood.close()

    # A gateway behind another address registers and is kept alive as usual.
    gc = make_client(server=server, bind_host="127.0.0.2")
    assert gc.register() == bytes([ACCEPT])
    assert gc.keepalive() == bytes([KEEPALIVERESP])


def closed_by_server(sock, timeout):
    """True when the server ends the connection within timeout seconds (data before is read)."""
    deadline = time.monotonic() + timeout
    while True:
        readable, _, _ = select.select([sock], [], [], max(0.0, deadline - time.monotonic()))
        if readable:
            try:
                if sock.recv(4096) == b"":
                    return True
            except ConnectionResetError:
                return True
        elif time.monotonic() >= deadline:
            return False


def connect_from(source, port, make_socket=socket.socket):
    sock = make_socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def test_idle_connections_from_one_address_fork_nothing(start_server):
    server = start_server([WORKERS_PER_ADDRESS])
    held = [connect_from("127.0.0.1", server.proxy_port) for _ in range(60)]
    try:
        # Over the limit of the address they are closed at once; within it they wait in the
        # server without a worker (the silent ones' deadline is a unit table's).
        for client in held[20:]:
            assert closed_by_server(client, 10)
        server.wait_for_log("over the limit of --max-workers-per-address (20)", level="WARN")
        assert server.children() == []
    finally:
        for client in held:
            client.close()


FLOOD_ADDRESSES = ["127.0.0.%d" % n for n in range(10, 26)]
FLOOD_PER_ADDRESS = 20  # each address tries more than its limit
FLOOD_LIMIT = 16        # --max-workers-per-address
WAITING_LIMIT = 200     # --max-waiting-connections: fewer than the flood's 16 x 16 connections


def fetch(world, source):
    """One GET through the relay from source; (seconds until the whole answer, status line)."""
    begin = time.monotonic()
    with connect_from(source, world.server.proxy_port, world.netns.socket) as client:
        client.sendall(("GET /whoami?%s HTTP/1.1\r\nHost: d\r\nConnection: close\r\n\r\n"
                        % options()).encode())
        head, _ = read_http_answer(client, timeout=30)
    return time.monotonic() - begin, head.split("\r\n")[0]


def accept_queue(world):
    """Connections in the proxy listener's queue, not accepted yet."""
    out = world.netns.run(["ss", "-Hltn", "sport = :%d" % world.server.proxy_port]).stdout.split()
    return int(out[1]) if out else 0


def test_a_fresh_address_is_served_within_a_second_during_an_idle_connection_flood(
        netns, tun_available):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    world = RelayWorld(netns, server_args=[
        "--spare-workers=0", "--max-workers-per-address=%d" % FLOOD_LIMIT,
        "--max-waiting-connections=%d" % WAITING_LIMIT, "--request-head-timeout=600"])
    flood = []
    try:
        assert fetch(world, "127.0.0.1")[1].endswith("200 OK")  # the session is cached now
        mark = world.server.log.mark()
        for source in FLOOD_ADDRESSES:
            flood += [connect_from(source, world.server.proxy_port, netns.socket)
                      for _ in range(FLOOD_PER_ADDRESS)]
        assert wait_until(lambda: accept_queue(world) == 0, 30)
        world.server.log.wait_for(r"over the limit of --max-waiting-connections \(%d\)"
                                  % WAITING_LIMIT, start=mark)

        seconds, status = fetch(world, "127.0.0.2")
        assert status.endswith("200 OK")
        assert seconds < 1.0
        # The flood cost no fork; the oldest of it made room for the newer connections.
        assert world.server.log.count(r"fork: parent process", start=mark) == 1
        assert closed_by_server(flood[0], 5)
    finally:
        for sock in flood:
            sock.close()
        world.close()


CONTROL_LIMIT = 4
CONTROL_IDLE = 2  # seconds
MAC = "02:00:5E:20:00:01"
PLAIN_MAC = MAC.replace(":", "")
CAMERA = "198.18.0.10"


def test_control_connections_are_capped_and_idle_ones_closed(start_server, make_client, tmp_path):
    server = start_server(["--max-control-connections=%d" % CONTROL_LIMIT,
                           "--control-idle-timeout=%d" % CONTROL_IDLE])
    assert make_client(MAC, server=server).register() == bytes([ACCEPT])
    address = ("127.0.0.1", server.ctrl_port)
    recording = ControlClient.connect(address)
    recording.start(PLAIN_MAC, CAMERA, 80, "admin", "secret", "video.mjpg",
                    str(tmp_path / "a.flv"))
    assert recording.read_line() == "VIDEORECORDER:STATUS:%s:%s:80:RECORDING" % (PLAIN_MAC, CAMERA)
    idle = [ControlClient.connect(address) for _ in range(CONTROL_LIMIT - 1)]
    server.wait_for_log("controlInterface: accepted connection", count=CONTROL_LIMIT)
    baseline = server.fd_count()
    over = [ControlClient.connect(address) for _ in range(50)]
    try:
        # Over the cap: closed at once, the server's descriptors do not grow.
        for control in over:
            assert control.wait_closed(timeout=10)
        server.wait_for_log("over the limit of --max-control-connections (%d)" % CONTROL_LIMIT,
                            level="WARN")
        assert server.fd_count() <= baseline
        # Silent ones go after the idle time; the one whose recording runs stays for its end.
        for control in idle:
            assert control.wait_closed(timeout=CONTROL_IDLE + 8)
        assert recording.pending() == b"" and not recording.wait_closed(timeout=0.5)
        with ControlClient.connect(address) as stopper:
            stopper.stop(PLAIN_MAC, CAMERA, 80)
            assert recording.read_line(timeout=20) == \
                "VIDEORECORDER:STATUS:%s:%s:80:STOPPED" % (PLAIN_MAC, CAMERA)
        assert recording.wait_closed(timeout=CONTROL_IDLE + 8)
    finally:
        for control in [recording] + idle + over:
            control.close()


SLOW_ADDRESSES = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]
SLOW_PER_ADDRESS = 10   # the endpoint takes 8 from one address
REQUEST_DEADLINE = 10   # seconds, the endpoint's deadline for one request
TRICKLE_EVERY = 2       # seconds between the slow clients' header lines: never idle for long


def test_scrapes_are_answered_while_slow_clients_trickle_their_headers(start_server):
    port = free_port(socket.SOCK_STREAM)
    server = start_server(["--metrics-address=127.0.0.1:%d" % port])
    server.wait_for_log("Serving metrics on http://127.0.0.1:%d/metrics" % port, level="INFO")
    slow = []
    try:
        for source in SLOW_ADDRESSES:
            for _ in range(SLOW_PER_ADDRESS):
                sock = connect_from(source, port)
                sock.sendall(b"GET /metrics HTTP/1.1\r\n")
                slow.append(sock)
        begin = time.monotonic()
        open_ = list(slow)
        cut = 0
        # A scrape from another address, then a header line from every slow client that is
        # still open, every TRICKLE_EVERY seconds: each slow one is cut by the request
        # deadline although it never rests for long.
        while open_ and time.monotonic() - begin < REQUEST_DEADLINE + 8:
            started = time.monotonic()
            assert tamblo_metrics.scrape(port)  # status 200 and the exposition text
            assert time.monotonic() - started < 2.0
            for sock in open_:
                try:
                    sock.sendall(b"X-Slow: 1\r\n")
                except OSError:
                    pass  # closed meanwhile: seen below
            readable, _, _ = select.select(open_, [], [], TRICKLE_EVERY)
            for sock in readable:
                if closed_by_server(sock, 0):
                    open_.remove(sock)
                    cut += time.monotonic() - begin > REQUEST_DEADLINE - 1
        assert open_ == []
        # 8 from each address waited for their deadline; the others were refused at once.
        assert cut == len(SLOW_ADDRESSES) * 8
    finally:
        for sock in slow:
            sock.close()
