"""Shared set-up of the relay benchmarks: paths, a quiet relay world in a namespace, statistics and /proc readings.

The benchmarks (worker_fork, worker_scale, tunnel_throughput, relay_throughput, relay_setup,
relay_concurrency) are run from the source tree (bench/NAME, build taken from $BUILD_DIR or
build/) or through their links in build/bench, which is what `make bench` does. Each one builds
the whole relay in a network namespace of its own with the harness of tests/integration
(tamblo_netns.Namespace, tamblo_relay.RelayWorld): configuration service, TambloServer with
its log at WARN, tamblo-gateway and kernel TCP devices on 198.18.0.x. Everything it starts is
stopped and the namespace deleted when it ends, on failure, on SIGTERM and on Ctrl-C.
"""

import collections
import contextlib
import errno
import hashlib
import json
import os
import re
import resource
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

BENCH_DIR = os.path.dirname(os.path.realpath(__file__))
SOURCE_DIR = os.path.dirname(BENCH_DIR)


def _build_dir():
    # Started through build/bench/NAME: the build folder is the link's grandparent.
    invoked = os.path.dirname(os.path.abspath(sys.argv[0]))
    if os.path.isdir(os.path.join(invoked, "CMakeFiles")):
        return os.path.dirname(invoked)
    build = os.environ.get("TAMBLO_BUILD_DIR") or os.environ.get("BUILD_DIR") or "build"
    return build if os.path.isabs(build) else os.path.join(SOURCE_DIR, build)


BUILD_DIR = _build_dir()
os.environ["TAMBLO_BUILD_DIR"] = BUILD_DIR
os.environ["TAMBLO_SOURCE_DIR"] = SOURCE_DIR
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "integration"))

import tamblo_netns  # noqa: E402
from tamblo_netns import Namespace, NamespaceUnavailable, unavailable_reason, wait_until  # noqa: E402,F401
import tamblo_server  # noqa: E402
import tamblo_relay  # noqa: E402
from tamblo_relay import RelayWorld, options  # noqa: E402,F401

HELPERS_DIR = os.path.join(BUILD_DIR, "bench", "helpers")
DEVICE_A = tamblo_relay.DEVICE_A          # HTTP device "a", 198.18.0.10:80 (device 12)
RAW_DEVICE = "198.18.0.12"                # kernel TCP source and sink devices of the benchmarks
RAW_SOURCE_PORT = 9000                    # device 20
RAW_SINK_PORT = 9001                      # device 21
RAW_SOURCE_LD = 20
RAW_SINK_LD = 21
# Local ports the gateway offers: far more than the 1,000 connections of one benchmark.
GATEWAY_PORT_RANGE = "40000-50000"
MIB = 1 << 20
GIB = 1 << 30


# --- life cycle ------------------------------------------------------------------------------

class Interrupted(BaseException):
    """SIGTERM or SIGINT: unwinds to the clean-up of the benchmark."""


def _interrupt(number, _frame):
    raise Interrupted("signal %d" % number)


def install_signal_handlers():
    signal.signal(signal.SIGTERM, _interrupt)
    signal.signal(signal.SIGINT, _interrupt)


def run(main):
    """Runs a benchmark's main(); a SIGTERM or Ctrl-C ends it after its clean-up, with status 143."""
    install_signal_handlers()
    try:
        status = main()
    except Interrupted as reason:
        print("%s: interrupted (%s); everything it started is stopped" % (os.path.basename(sys.argv[0]), reason))
        status = 143
    sys.exit(status)


def require_environment(name):
    """Exits with a note (status 0: nothing to measure here) where namespaces or TUN are missing."""
    reason = unavailable_reason()
    if reason is None and not os.path.exists("/dev/net/tun"):
        reason = "/dev/net/tun is missing"
    for binary in (tamblo_netns.SERVER_BINARY, tamblo_netns.GATEWAY_BINARY, tamblo_relay.CONFIG_SERVICE):
        if reason is None and not os.access(binary, os.X_OK):
            reason = "%s is not built (make build)" % binary
    if reason is not None:
        print("%s: SKIPPED: %s" % (name, reason))
        sys.exit(0)


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


# Every client of a benchmark comes from the one address of its namespace.
BENCH_SERVER_ARGS = ("--max-workers-per-address=100000",)
# The server's metrics endpoint in the namespace, for benchmarks that report its drops.
METRICS_PORT = 9466
METRICS_SERVER_ARGS = BENCH_SERVER_ARGS + ("--metrics-address=127.0.0.1:%d" % METRICS_PORT,)


@contextlib.contextmanager
def relay_world(http_devices=True, raw_devices=False, device_backlog=64, server_options=None,
                gateway_args=(), server_args=BENCH_SERVER_ARGS):
    """A namespace with the whole relay; the server logs at WARN unless server_options say else.

    http_devices: the harness's HTTP devices "a" (198.18.0.10:80), "a-verify" and "b", here
    with a listen backlog of device_backlog. raw_devices: the kernel TCP source (device 20,
    198.18.0.12:9000) and sink (device 21, :9001) of RawDevices. Yields the RelayWorld; its
    namespace is world.netns, the raw devices world.raw."""
    namespace = Namespace(prefix="tbench")
    world = None
    try:
        try:
            namespace.create()
        except NamespaceUnavailable as error:
            print("SKIPPED: %s" % error)
            sys.exit(0)
        settings = {"log_level": "WARN"}
        settings.update(server_options or {})
        world = RelayWorld(namespace, server_options=settings, server_args=server_args,
                           http_devices=False,
                           gateway_args=["--port-range", GATEWAY_PORT_RANGE, *gateway_args],
                           extra_devices=[(RAW_SOURCE_LD, RAW_DEVICE, RAW_SOURCE_PORT),
                                          (RAW_SINK_LD, RAW_DEVICE, RAW_SINK_PORT)])
        if http_devices:
            world.devices = {
                "a": world.device(DEVICE_A, 80, "a", backlog=device_backlog),
                "a-verify": world.device(DEVICE_A, 4848, "a-verify"),
                "b": world.device(tamblo_relay.DEVICE_B, 80, "b", backlog=device_backlog),
            }
        world.raw = RawDevices(namespace) if raw_devices else None
        yield world
    finally:
        if world is not None:
            with contextlib.suppress(Exception):
                world.close()
            if getattr(world, "raw", None) is not None:
                world.raw.close()
        namespace.close()
        if os.environ.get("TAMBLO_KEEP_LOGS") is None:
            shutil.rmtree(namespace.workdir, ignore_errors=True)
        else:
            print("logs kept in %s" % namespace.workdir)


def warm_session(world, ld=12, attempts=5):
    """One request through the relay so that the session is in the gateway client's cache."""
    for _ in range(attempts):
        code, status, _ = world.curl("/whoami" if ld == 12 else "/bytes/16", options(ld=ld),
                                     timeout=20)
        if (code, status) == (0, "200"):
            return
        time.sleep(0.5)
    raise RuntimeError("the relay does not answer (curl %s, HTTP %s)" % (code, status))


# Where a spare worker sleeps while it waits for its client's socket (a socket-pair receive).
SPARE_WAIT_CHANNEL = "__skb_wait_for_more_packets"


def server_spares(server_binary=None):
    """How many spare workers the server under test keeps (0 where it has no such setting)."""
    binary = server_binary or tamblo_netns.SERVER_BINARY
    usage = subprocess.run([binary, "--help"], capture_output=True, text=True, timeout=10).stdout
    match = re.search(r"--spare-workers=N\s.*?\(default (\d+)\)", usage)
    return int(match.group(1)) if match else (1 if "--spare-workers=" in usage else 0)


def waiting_spare(pid):
    """Whether the process sleeps where a spare worker waits for its client."""
    try:
        with open("/proc/%d/wchan" % pid) as handle:
            return handle.read().strip() == SPARE_WAIT_CHANNEL
    except OSError:
        return False


def workers(pid):
    """The server's children that serve a connection or a recording: spare workers waiting for
    a client are not counted."""
    return [child for child in children(pid) if not waiting_spare(child)]


def wait_no_workers(pid, timeout=15, what="earlier workers to end"):
    """Waits until the server has no worker but its waiting spares."""
    wait_until(lambda: not workers(pid), timeout=timeout, what=what)


def wait_server_idle(pid, spares, timeout=2.0):
    """Waits until the server's only children are its spare workers, each waiting for a client
    (after a connection, its worker ends and a new spare is forked). Polls every 0.5 ms, so the
    wait adds little to a run of sequential requests. True when reached in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        waiting = [waiting_spare(child) for child in children(pid)]
        if len(waiting) == spares and all(waiting):
            return True
        time.sleep(0.0005)
    return False


# --- kernel TCP devices ------------------------------------------------------------------------

def read_head(sock, limit=65536):
    """Reads up to the end of an HTTP head; returns (head bytes, what followed it)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("connection closed in the head: %r" % data[:200])
        data += chunk
        if len(data) > limit:
            raise ConnectionError("head longer than %d bytes" % limit)
    head, rest = data.split(b"\r\n\r\n", 1)
    return head, rest


def content_length(head):
    match = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    return int(match.group(1)) if match else None


class RawDevices:
    """Two kernel TCP devices on 198.18.0.12, one thread per connection.

    source (:9000) reads the request head, which names the size as /bytes/<n>, then answers
        with a head (Content-Length n) and n bytes of a fixed pattern, sendall of 1 MiB
        slices, then closes after the client.
    sink (:9001) reads a head with Content-Length n, reads and counts n bytes, then answers
        "HTTP/1.1 200 OK" with the count as body.
    `gate` holds the source before its first byte while cleared (for attaching a profiler)."""

    CHUNK = memoryview(bytes(range(256)) * 4096)  # 1 MiB

    def __init__(self, namespace):
        self.gate = threading.Event()
        self.gate.set()
        self.errors = []
        self.received = 0
        self._listeners = []
        self._threads = []
        for port, serve in ((RAW_SOURCE_PORT, self._source), (RAW_SINK_PORT, self._sink)):
            listener = namespace.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((RAW_DEVICE, port))
            listener.listen(1024)
            self._listeners.append(listener)
            thread = threading.Thread(target=self._accept, args=(listener, serve), daemon=True)
            thread.start()
            self._threads.append(thread)

    def _accept(self, listener, serve):
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=self._guard, args=(serve, connection), daemon=True).start()

    def _guard(self, serve, connection):
        try:
            with connection:
                connection.settimeout(120)
                serve(connection)
        except (OSError, ValueError) as error:
            self.errors.append(error)

    def _source(self, connection):
        head, _ = read_head(connection)
        match = re.search(rb"/bytes/(\d+)", head)
        left = int(match.group(1)) if match else 0
        self.gate.wait(60)
        # The head goes out with the first bytes in one write, as one segment for a small answer.
        head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % left
        first = min(left, 65536)
        connection.sendall(head + self.CHUNK[:first])
        left -= first
        while left > 0:
            piece = self.CHUNK[:min(left, len(self.CHUNK))]
            connection.sendall(piece)
            left -= len(piece)
        connection.shutdown(socket.SHUT_WR)
        # Close only after the client: unread bytes at close would make the kernel reset.
        while connection.recv(65536):
            pass

    def _sink(self, connection):
        head, rest = read_head(connection)
        left = (content_length(head) or 0) - len(rest)
        got = len(rest)
        buffer = bytearray(MIB)
        while left > 0:
            n = connection.recv_into(buffer, min(left, len(buffer)))
            if n == 0:
                break
            got += n
            left -= n
        self.received = got
        body = str(got).encode()
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                           % (len(body), body))
        connection.shutdown(socket.SHUT_WR)
        while connection.recv(65536):
            pass

    def close(self):
        for listener in self._listeners:
            with contextlib.suppress(OSError):
                listener.shutdown(socket.SHUT_RDWR)
            listener.close()


# --- clients -------------------------------------------------------------------------------------

def ns_socket(namespace, kind=socket.SOCK_STREAM):
    """A socket in the namespace that the namespace's close() does not track (many of them)."""
    with namespace.entered():
        return socket.socket(socket.AF_INET, kind)


def relay_address(world):
    return ("127.0.0.1", world.server.proxy_port)


def get_request(path, query=None, extra_headers=""):
    target = path + ("?" + query if query else "")
    return ("GET %s HTTP/1.1\r\nHost: bench\r\n%s\r\n" % (target, extra_headers)).encode()


def download(sock, request, expected=None, digest=False, deadline=None, start=None):
    """Sends request, reads one answer with a Content-Length to its end.

    Returns dict(ttfb, total, length, status, sha256 or None); times in seconds from start
    (a time.perf_counter() value, e.g. taken before connect) or from the call."""
    start = time.perf_counter() if start is None else start
    sock.sendall(request)
    head, rest = read_head(sock)
    ttfb = time.perf_counter() - start
    length = content_length(head)
    hasher = hashlib.sha256() if digest else None
    got = len(rest)
    if hasher and rest:
        hasher.update(rest)
    buffer = bytearray(MIB)
    view = memoryview(buffer)
    while length is None or got < length:
        n = sock.recv_into(buffer, len(buffer) if length is None else min(len(buffer), length - got))
        if n == 0:
            break
        got += n
        if hasher:
            hasher.update(view[:n])
        if deadline is not None and time.monotonic() > deadline:
            raise TimeoutError("download not finished in time (%d of %s bytes)" % (got, length))
    status = head.split(b"\r\n", 1)[0].decode("latin-1")
    if expected is not None and got != expected:
        raise ConnectionError("%s: %d of %d bytes" % (status, got, expected))
    return {"ttfb": ttfb, "total": time.perf_counter() - start, "length": got, "status": status,
            "sha256": hasher.hexdigest() if hasher else None}


class Exchange:
    """One request and its answer (with a Content-Length) on a non-blocking socket."""

    def __init__(self, request, sock=None, digest=False):
        self.request = request
        self.sock = sock
        self.digest = hashlib.sha256() if digest else None
        self.started = self.first_byte = self.finished = None
        self.head = b""
        self.status = None
        self.length = None
        self.got = 0
        self.error = None
        self._out = None
        self._connecting = False

    @property
    def ok(self):
        return self.finished is not None and self.error is None

    @property
    def ttfb(self):
        return self.first_byte - self.started

    @property
    def total(self):
        return self.finished - self.started


def exchange_all(exchanges, make_socket, address, window, deadline, keep_open=False):
    """Runs the exchanges with at most `window` of them under way at a time.

    An exchange without a socket gets one from make_socket() and connects it to address.
    Answers are read to their Content-Length (and hashed where asked); then the socket is
    closed unless keep_open. Ends at time.monotonic() deadline; unfinished exchanges keep
    finished=None. Returns the number of exchanges that finished."""
    selector = selectors.DefaultSelector()
    waiting = collections.deque(exchanges)
    active = 0
    done = 0
    buffer = bytearray(256 * 1024)
    view = memoryview(buffer)

    def finish(exchange, error=None):
        nonlocal active, done
        exchange.error = error
        if error is None:
            exchange.finished = time.perf_counter()
            done += 1
        with contextlib.suppress(KeyError, ValueError):
            selector.unregister(exchange.sock)
        if error is not None or not keep_open:
            exchange.sock.close()
        active -= 1

    try:
        while (waiting or active) and time.monotonic() < deadline:
            while waiting and active < window:
                exchange = waiting.popleft()
                exchange.started = time.perf_counter()
                exchange._out = memoryview(exchange.request)
                active += 1
                if exchange.sock is None:
                    exchange.sock = make_socket()
                    exchange.sock.setblocking(False)
                    exchange._connecting = True
                    code = exchange.sock.connect_ex(address)
                    if code not in (0, errno.EINPROGRESS):
                        finish(exchange, OSError(code, os.strerror(code)))
                        continue
                else:
                    exchange.sock.setblocking(False)
                selector.register(exchange.sock, selectors.EVENT_WRITE, exchange)
            for key, _ in selector.select(timeout=0.2):
                exchange = key.data
                try:
                    if exchange._out is not None:
                        if exchange._connecting:
                            code = exchange.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                            if code:
                                raise OSError(code, os.strerror(code))
                            exchange._connecting = False
                        sent = exchange.sock.send(exchange._out)
                        exchange._out = exchange._out[sent:]
                        if not exchange._out:
                            exchange._out = None
                            selector.modify(exchange.sock, selectors.EVENT_READ, exchange)
                        continue
                    n = exchange.sock.recv_into(buffer)
                    if n == 0:
                        raise ConnectionError("closed after %d bytes (%s)" % (exchange.got, exchange.status))
                    if exchange.first_byte is None:
                        exchange.first_byte = time.perf_counter()
                    body = view[:n]
                    if exchange.length is None:
                        exchange.head += bytes(body)
                        if b"\r\n\r\n" not in exchange.head:
                            continue
                        head, rest = exchange.head.split(b"\r\n\r\n", 1)
                        exchange.status = head.split(b"\r\n", 1)[0].decode("latin-1")
                        exchange.length = content_length(head) or 0
                        body = memoryview(rest)
                    exchange.got += len(body)
                    if exchange.digest is not None:
                        exchange.digest.update(body)
                    if exchange.got >= exchange.length:
                        finish(exchange)
                except (OSError, ConnectionError) as error:
                    finish(exchange, error)
    finally:
        selector.close()
    return done


# --- statistics ----------------------------------------------------------------------------------

def percentile(values, p):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, min(len(ordered), int(-(-p * len(ordered) // 100))))
    return ordered[rank - 1]


def median(values):
    return percentile(values, 50)


def mb_per_s(byte_count, seconds):
    return byte_count / seconds / 1e6 if seconds > 0 else float("inf")


# --- /proc ---------------------------------------------------------------------------------------

def status_kib(pid, field):
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def descriptor_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def children(pid):
    """The server's workers: its children but the worker zygote (tamblo_server.worker_pids)."""
    return tamblo_server.worker_pids(pid)


def private_kib(pid):
    """USS: Private_Clean + Private_Dirty of /proc/<pid>/smaps_rollup, or None if it is gone."""
    total = 0
    try:
        with open("/proc/%d/smaps_rollup" % pid) as handle:
            for line in handle:
                if line.startswith(("Private_Clean:", "Private_Dirty:")):
                    total += int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        return None
    return total


def namespace_cpu(namespace):
    """CPU seconds used so far by the processes of the namespace, by command name; a process's
    reaped children (e.g. ended workers) count with it."""
    pids = namespace.run(["ip", "netns", "pids", namespace.name], check=False).stdout.split()
    ticks = os.sysconf("SC_CLK_TCK")
    used = {}
    for pid in pids:
        try:
            with open("/proc/%s/stat" % pid) as handle:
                text = handle.read()
        except FileNotFoundError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        used[name] = used.get(name, 0.0) + sum(int(v) for v in fields[11:15]) / ticks
    return used


def start_ticks(pid):
    """Start time of a process in clock ticks since boot (orders processes by their fork)."""
    with open("/proc/%d/stat" % pid) as handle:
        return int(handle.read().rsplit(")", 1)[1].split()[19])


def private_kib_by_mapping(pid):
    """Private_Clean + Private_Dirty per mapping name ([heap], [stack], a library, ...) in KiB."""
    totals = {}
    name = "?"
    with open("/proc/%d/smaps" % pid) as handle:
        for line in handle:
            fields = line.split()
            if not fields:
                continue
            if not fields[0].endswith(":") or "-" in fields[0]:
                name = fields[5] if len(fields) > 5 else "[anonymous]"
                continue
            if fields[0] in ("Private_Clean:", "Private_Dirty:"):
                totals[name] = totals.get(name, 0) + int(fields[1])
    return totals


def cpu_seconds(pid, children=False):
    """User and system CPU seconds of a process so far; children=True adds those of its
    children that it has reaped."""
    with open("/proc/%d/stat" % pid) as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return sum(int(value) for value in fields[11:15 if children else 13]) / ticks


# Kernel counters of a namespace that tell where packets were lost or delayed.
NET_COUNTERS = ("Tcp.RetransSegs", "TcpExt.TCPTimeouts", "TcpExt.TCPLostRetransmit",
                "TcpExt.ListenOverflows", "TcpExt.ListenDrops", "Udp.RcvbufErrors", "Udp.SndbufErrors",
                "Udp.InErrors", "tun.tx_dropped", "tun.rx_dropped", "lo.tx_dropped")


def net_counters(namespace, tun="tamblo0"):
    """The NET_COUNTERS of the namespace: /proc/net/snmp, /proc/net/netstat and link statistics."""
    script = ("cat /proc/net/snmp /proc/net/netstat; for d in %s lo; do for c in tx_dropped rx_dropped; do "
              "echo link $d.$c $(cat /sys/class/net/$d/statistics/$c 2>/dev/null || echo 0); done; done" % tun)
    out = namespace.run(["sh", "-c", script], check=False).stdout.splitlines()
    values = {}
    for first, second in zip(out, out[1:]):
        names, numbers = first.split(), second.split()
        if names and numbers and names[0] == numbers[0] and names[0].endswith(":") and not numbers[1][0].isalpha():
            prefix = names[0][:-1]
            for name, number in zip(names[1:], numbers[1:]):
                values["%s.%s" % (prefix, name)] = int(number)
    for line in out:
        fields = line.split()
        if len(fields) == 3 and fields[0] == "link":
            values[fields[1].replace(tun + ".", "tun.")] = int(fields[2])
    return {name: values.get(name, 0) for name in NET_COUNTERS}


def server_drops(world):
    """{reason: count} of what the server dropped (gateway datagrams, tunnel packets that found
    a worker's ring or pipe full), from its metrics; None when it serves none."""
    import tamblo_metrics
    try:
        samples = tamblo_metrics.scrape(METRICS_PORT, make_socket=lambda: ns_socket(world.netns))
    except (OSError, AssertionError):
        return None
    found = (re.match(r'tamblo_gateway_(?:datagrams|transport)_dropped_total\{reason="(\w+)"\}', k)
             for k in samples)
    return {m.group(1): samples[m.group(0)] for m in found if m}


def drop_changes(before, after):
    if before is None or after is None:
        return "unknown (no metrics endpoint)"
    return ", ".join("%s +%d" % (reason, after[reason] - before.get(reason, 0))
                     for reason in sorted(after) if after[reason] != before.get(reason, 0)) or "none"


def counter_changes(before, after):
    return ", ".join("%s +%d" % (name, after[name] - before[name]) for name in NET_COUNTERS
                     if after[name] != before[name]) or "none"


class MachineCpu:
    """Share of all CPUs' time that was not idle between start() and stop() (/proc/stat)."""

    @staticmethod
    def _read():
        with open("/proc/stat") as handle:
            values = [int(v) for v in handle.readline().split()[1:]]
        idle = values[3] + values[4]  # idle + iowait
        return sum(values), idle

    def start(self):
        self.before = self._read()
        return self

    def stop(self):
        total, idle = self._read()
        spent = total - self.before[0]
        return 1.0 - (idle - self.before[1]) / spent if spent > 0 else float("nan")


class PeakSampler:
    """Samples f() every interval seconds in a thread; keeps the largest value seen."""

    def __init__(self, f, interval=0.05):
        self.f = f
        self.interval = interval
        self.peak = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            with contextlib.suppress(Exception):
                value = self.f()
                if self.peak is None or value > self.peak:
                    self.peak = value
            self._stop.wait(self.interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)


def fork_baseline(rss_kib, count):
    """Runs build/bench/helpers/fork-baseline; returns its JSON answer."""
    helper = os.path.join(HELPERS_DIR, "fork-baseline")
    result = subprocess.run([helper, "--rss-kib=%d" % rss_kib, "--count=%d" % count],
                            capture_output=True, text=True, timeout=120, check=True)
    return json.loads(result.stdout)


# --- profiles ------------------------------------------------------------------------------------

def ensure_perf():
    """perf from Debian's linux-perf; installed here if it is missing."""
    if shutil.which("perf") and subprocess.run(["perf", "--version"], capture_output=True).returncode == 0:
        return True
    print("  perf is missing: installing Debian package linux-perf")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update"], capture_output=True, timeout=300, env=env)
    result = subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", "linux-perf"],
                            capture_output=True, timeout=600, env=env)
    return result.returncode == 0 and shutil.which("perf") is not None


def perf_table(data, sort, children):
    """(pid, share in % of all samples, entry) rows of perf report, largest first."""
    report = subprocess.run(
        ["perf", "report", "-i", data, "--stdio", "--children" if children else "--no-children",
         "--sort", sort, "-g", "none"], capture_output=True, text=True, timeout=300).stdout
    rows = []
    for line in report.splitlines():
        match = re.match(r"^\s*([\d.]+)%\s+(?:[\d.]+%\s+)?(\d+):\S+\s+(.*?)\s*$", line)
        if match:
            rows.append((int(match.group(2)), float(match.group(1)),
                         match.group(3).replace("[kernel.kallsyms]", "kernel")))
    return rows


def profile_machine(run, roles, out_dir, label):
    """perf record (cpu-clock, whole machine) while run() runs; prints each role's share of
    the machine's samples (idle included) and its top symbols. roles: name -> predicate over
    (pid, command) of a process; what no role claims counts as "other"."""
    data = os.path.join(out_dir, "perf-machine.data")
    recorder = subprocess.Popen(["perf", "record", "-q", "-a", "-e", "cpu-clock", "-F", "4999",
                                 "-o", data], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # perf attaches
    try:
        run()
    finally:
        recorder.send_signal(signal.SIGINT)
        recorder.wait(30)
    by_comm = perf_table_pid_comm(data)
    by_sym = perf_table(data, "pid,sym", children=False)
    names = {}
    for pid, command, _ in by_comm:
        names[pid] = next((role for role, claims in roles.items() if claims(pid, command)),
                          "idle" if pid == 0 else "other")
    share = collections.Counter()
    for pid, _, value in by_comm:
        share[names[pid]] += value
    print("  profile of %s (perf record -a, share of all CPU time of the machine):" % label)
    for role in list(roles) + ["other", "idle"]:
        if share[role] <= 0:
            continue
        symbols = collections.Counter()
        for pid, value, what in by_sym:
            if names.get(pid) == role:
                symbols[what] += value
        print("    %-22s %5.1f%%: %s" % (role, share[role], ", ".join(
            "%.1f%% %s" % (value, what) for what, value in symbols.most_common(5))))


def perf_table_pid_comm(data):
    """(pid, command, share in %) of perf report by pid."""
    report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort",
                             "pid", "-g", "none"], capture_output=True, text=True, timeout=300).stdout
    rows = []
    for line in report.splitlines():
        match = re.match(r"^\s*([\d.]+)%\s+(\d+):(\S+)", line)
        if match:
            rows.append((int(match.group(2)), match.group(3), float(match.group(1))))
    return rows


# --- output --------------------------------------------------------------------------------------

# --- OpenSSH reverse tunnel: the comparison an operator would make -------------------------------

SSH_SERVER_PORT = 2222    # the private sshd, on 127.0.0.1 of the namespace

SSHD_CONFIG = """\
# Private sshd of the relay_throughput benchmark: loopback of its namespace, key login only.
Port {port}
ListenAddress 127.0.0.1
HostKey {dir}/host_key
PidFile none
AuthorizedKeysFile {dir}/authorized_keys
StrictModes no
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
AllowTcpForwarding yes
GatewayPorts no
X11Forwarding no
PrintMotd no
LogLevel ERROR
"""


def ensure_openssh():
    """sshd and ssh from Debian's openssh-server and openssh-client; installed here if missing."""
    missing = [package for package, binary in (("openssh-server", "/usr/sbin/sshd"),
                                                ("openssh-client", "/usr/bin/ssh"))
               if not os.access(binary, os.X_OK)]
    if not missing:
        return True
    print("  installing Debian package(s) %s for the SSH comparison" % " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update"], capture_output=True, timeout=300, env=env)
    result = subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", *missing],
                            capture_output=True, text=True, timeout=600, env=env)
    if result.returncode != 0:
        print("  apt-get install failed: %s" % result.stderr.strip()[-400:])
    return os.access("/usr/sbin/sshd", os.X_OK) and os.access("/usr/bin/ssh", os.X_OK)


def listening(netns, port):
    out = netns.run(["ss", "-Hltn", "sport = :%d" % port], check=False).stdout
    return out.strip() != ""


@contextlib.contextmanager
def ssh_reverse_tunnel(netns, forwards):
    """start_ssh_tunnel in a working directory of its own; yields the cipher. The namespace
    ends sshd and ssh with its other processes."""
    made_privsep = not os.path.isdir("/run/sshd")  # sshd insists on it
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
    workdir = tempfile.mkdtemp(prefix="tamblo-ssh-")
    try:
        yield start_ssh_tunnel(netns, workdir, forwards)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
        if made_privsep:
            shutil.rmtree("/run/sshd", ignore_errors=True)


def start_ssh_tunnel(netns, workdir, forwards):
    """sshd on 127.0.0.1:SSH_SERVER_PORT and `ssh -R` from the device side, forwarding each
    port of 127.0.0.1 in forwards ({port: (device address, device port)}) to its device;
    returns the negotiated cipher."""
    for name in ("host_key", "client_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(workdir, name)],
                       check=True, capture_output=True, timeout=30)
    shutil.copy(os.path.join(workdir, "client_key.pub"), os.path.join(workdir, "authorized_keys"))
    config = os.path.join(workdir, "sshd_config")
    with open(config, "w") as handle:
        handle.write(SSHD_CONFIG.format(port=SSH_SERVER_PORT, dir=workdir))
    netns.spawn(["/usr/sbin/sshd", "-D", "-e", "-f", config], "sshd")
    wait_until(lambda: listening(netns, SSH_SERVER_PORT), timeout=10, what="sshd")
    log = os.path.join(workdir, "ssh-client.log")
    # The gateway's place: the device side dials out to the server side and has the port there
    # forwarded back to the device.
    netns.spawn(["ssh", "-N", "-v", "-E", log, "-F", "/dev/null", "-i", os.path.join(workdir, "client_key"),
                 "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                 "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
                 "-p", str(SSH_SERVER_PORT),
                 *[argument for port, (address, target) in sorted(forwards.items())
                   for argument in ("-R", "127.0.0.1:%d:%s:%d" % (port, address, target))],
                 "root@127.0.0.1"],
                "ssh-client")
    for port in forwards:
        wait_until(lambda: listening(netns, port), timeout=15, what="the ssh -R port %d" % port)
    with open(log) as handle:
        match = re.search(r"kex: server->client cipher: (\S+)", handle.read())
    return match.group(1) if match else "unknown"


def heading(title, lines=()):
    print(title)
    for line in lines:
        print("  " + line)
    sys.stdout.flush()


def row(label, value, baseline=None, unit="", note=""):
    """One figure beside its baseline, with the ratio where both are numbers."""
    text = "  %-44s %12s" % (label, _fmt(value) + unit)
    if baseline is not None:
        text += "   baseline %12s" % (_fmt(baseline) + unit)
        if isinstance(value, (int, float)) and isinstance(baseline, (int, float)) and baseline:
            text += "   ratio %.2f" % (value / baseline)
    if note:
        text += "   " + note
    print(text)
    sys.stdout.flush()


def _fmt(value):
    if isinstance(value, float):
        return "%.3f" % value if abs(value) < 10 else "%.1f" % value
    return str(value)


def verdict(name, ok, detail):
    print("  target %-38s %s (%s)" % (name, "MET" if ok else "MISSED", detail))
    sys.stdout.flush()
