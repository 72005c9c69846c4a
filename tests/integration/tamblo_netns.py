"""Network-namespace harness: a private network with the real TambloServer, tamblo-gateway and LAN devices.

Everything runs inside a namespace that the harness creates and deletes again:

    namespace tamblo-<pid>-<random>
    +------------------------------------------------------------------------+
    | lo 127.0.0.1        TambloServer (gateway port 8300, control, proxy)   |
    |                      ^ UDP                                             |
    |                      v                                                 |
    |                     tamblo-gateway --server 127.0.0.1                  |
    |                      ^ TUN tamblo0, route 198.19.255.1/32 (local ip)   |
    |                      v                                                 |
    | lan0 198.18.0.10/32, 198.18.0.11/32 ...  kernel TCP servers (devices)  |
    +------------------------------------------------------------------------+

Only addresses of the benchmarking range 198.18.0.0/15 are used for the LAN devices and for the
gateway's local ip, and only inside the namespace. Tests and benchmarks use the fixtures below
(import them into the test module) or the Namespace class directly. Every wait is bounded; on
teardown every process started here is killed and the namespace is deleted, also on failure.

Run as a program, the module is a small TCP server for use inside a namespace:

    ip netns exec NS python3 tamblo_netns.py tcp-server --address 198.18.0.10 --port 9000 --mode sink
"""

import argparse
import contextlib
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import uuid

import pytest

import tamblo_sanitizers

SOURCE_DIR = os.environ.get(
    "TAMBLO_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("TAMBLO_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
SERVER_BINARY = os.path.join(BUILD_DIR, "TambloServer")
GATEWAY_BINARY = os.path.join(BUILD_DIR, "tamblo-gateway")

LAN_ADDRESSES = ("198.18.0.10", "198.18.0.11", "198.18.0.12", "198.18.0.13")
GATEWAY_LOCAL_IP = "198.19.255.1"
LOOPBACK = "127.0.0.1"
GATEWAY_PORT = 8300
CONTROL_PORT = 8500
PROXY_PORT = 1443
REST_PORT = 8080
DEFAULT_MAC = "02:00:5E:10:00:01"
FAKETIME_LIBRARY = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

# Every wait of the harness ends after at most this many seconds unless the caller says otherwise.
DEFAULT_TIMEOUT = 10.0

_SERVER_LOG_CONF = """\
# Written by tamblo_netns.py: everything at {level} into one file of the test's working directory.
log4cplus.rootLogger={level}, file
{loggers}log4cplus.appender.file=log4cplus::FileAppender
log4cplus.appender.file.File={log}
log4cplus.appender.file.ImmediateFlush=true
log4cplus.appender.file.layout=log4cplus::PatternLayout
log4cplus.appender.file.layout.ConversionPattern=%D{{%H:%M:%S.{fraction}}} %-5p %c - %m%n
"""
# Levels from the most to the least verbose; the start line ("*** TambloServer starting") is INFO.
LOG_LEVELS = ("TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL", "OFF")

_CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)
_setns_lock = threading.Lock()


class NamespaceUnavailable(RuntimeError):
    """The kernel or the container refuses to create a network namespace."""


def unavailable_reason():
    """Why namespace tests cannot run here, or None when they can."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    if shutil.which("ip") is None:
        return "iproute2 (ip) is not installed"
    try:
        result = subprocess.run(["ip", "netns", "list"], capture_output=True, timeout=5)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "ip netns is unavailable: %s" % error
    if result.returncode != 0:
        return "ip netns is unavailable: %s" % result.stderr.decode(errors="replace").strip()
    return None


def wait_until(predicate, timeout=DEFAULT_TIMEOUT, interval=0.05, what="condition"):
    """Polls predicate until it returns something true; raises TimeoutError after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


class Process:
    """A program started inside the namespace, its output in a file of the work directory."""

    def __init__(self, namespace, label, argv, cwd, log_path):
        self.namespace = namespace
        self.label = label
        self.argv = argv
        self.log_path = log_path
        self._output = open(log_path, "ab")
        self.popen = subprocess.Popen(
            ["ip", "netns", "exec", namespace.name, *argv],
            cwd=cwd, stdin=subprocess.DEVNULL, stdout=self._output, stderr=subprocess.STDOUT,
            start_new_session=True)

    @property
    def pid(self):
        return self.popen.pid

    def alive(self):
        return self.popen.poll() is None

    def output(self):
        """Everything the process wrote so far."""
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def send_signal(self, number):
        if self.alive():
            self.popen.send_signal(number)

    def stop(self, timeout=5.0):
        """SIGTERM, then SIGKILL when it has not ended within timeout seconds. Returns the status."""
        if self.alive():
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait(timeout=timeout)
        self._output.close()
        return self.popen.returncode

    def kill(self, timeout=5.0):
        """SIGKILL: the process gets no chance to say goodbye."""
        if self.alive():
            self.popen.kill()
            self.popen.wait(timeout=timeout)
        self._output.close()
        return self.popen.returncode


class LogFile:
    """A log file that grows; waits for lines matching a pattern."""

    def __init__(self, path):
        self.path = path

    def text(self):
        try:
            with open(self.path, "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def count(self, pattern, start=0):
        return len(re.findall(pattern, self.text()[start:]))

    def mark(self):
        """A position in the log; pass it as start to look only at what is written later."""
        return len(self.text())

    def wait_for(self, pattern, timeout=DEFAULT_TIMEOUT, count=1, start=0):
        """Waits until pattern (a regular expression) matched count times after start; returns the matches."""
        def found():
            matches = re.findall(pattern, self.text()[start:])
            return matches if len(matches) >= count else None
        try:
            return wait_until(found, timeout, what="%r x%d in %s" % (pattern, count, self.path))
        except TimeoutError as error:
            raise TimeoutError("%s\n--- last lines of %s ---\n%s" % (
                error, self.path, "\n".join(self.text().splitlines()[-30:]))) from None


class TambloServer(Process):
    """The real build/TambloServer in its own working directory with a log file (TRACE by default).

    log_level is the root logger's level; logger_levels maps logger names (e.g.
    "TambloServer.Tunnel") to levels of their own; log_microseconds stamps lines with
    microseconds (%H:%M:%S.mmm.uuu) instead of milliseconds. Benchmarks run at WARN.
    closed_streams starts the server with its standard input, output and error closed, as a
    careless service manager might."""

    def __init__(self, namespace, workdir, gc_port=GATEWAY_PORT, ctrl_port=CONTROL_PORT,
                 proxy_port=PROXY_PORT, rest_port=REST_PORT, extra_args=(), fake_time=False,
                 log_level="TRACE", logger_levels=None, log_microseconds=False,
                 closed_streams=False):
        os.makedirs(workdir, exist_ok=True)
        for level in [log_level, *(logger_levels or {}).values()]:
            if level not in LOG_LEVELS:
                raise ValueError("unknown log level %r" % level)
        self.log_level = log_level
        # With fake time the server's (and its workers') wall clock moves only by advance().
        self.faketime_path = os.path.join(workdir, "faketime.rc") if fake_time else None
        self.time_offset = 0
        prefix = []
        if fake_time:
            self._write_offset()
            prefix = ["env", "LD_PRELOAD=" + FAKETIME_LIBRARY,
                      "FAKETIME_TIMESTAMP_FILE=" + self.faketime_path, "FAKETIME_NO_CACHE=1"]
        if closed_streams:
            prefix = ["sh", "-c", 'exec "$@" 0<&- 1>&- 2>&-', "sh", *prefix]
        self.log = LogFile(os.path.join(workdir, "server.log"))
        with open(os.path.join(workdir, "TambloServer_log.conf"), "w") as f:
            loggers = "".join("log4cplus.logger.%s=%s\n" % (name, level)
                              for name, level in (logger_levels or {}).items())
            f.write(_SERVER_LOG_CONF.format(log=self.log.path, level=log_level, loggers=loggers,
                                            fraction="%Q" if log_microseconds else "%q"))
        self.gc_port = gc_port
        self.ctrl_port = ctrl_port
        self.proxy_port = proxy_port
        self.rest_port = rest_port
        argv = [*prefix, SERVER_BINARY, "--gc-port=%d" % gc_port, "--ctrl-port=%d" % ctrl_port,
                "--proxy-port=%d" % proxy_port, "--rest-port=%d" % rest_port, *extra_args,
                *tamblo_sanitizers.SERVER_ARGS]
        super().__init__(namespace, "server", argv, workdir, os.path.join(workdir, "server.out"))
        if self.logs_info():
            self.log.wait_for(r"TambloServer starting")
        # Bound sockets are the sign of a server ready to take datagrams.
        namespace.wait_for_udp_port(gc_port)

    def logs_info(self):
        """Whether the server's own INFO lines (start, registrations) reach the log."""
        return LOG_LEVELS.index(self.log_level) <= LOG_LEVELS.index("INFO")

    def _write_offset(self):
        staging = self.faketime_path + ".new"
        with open(staging, "w") as handle:
            handle.write("%+d\n" % self.time_offset)
        os.replace(staging, self.faketime_path)

    def advance(self, seconds):
        """Moves the server's clock forward; due periodic timers fire on its next wake-up."""
        self.time_offset += int(seconds)
        self._write_offset()


class Gateway(Process):
    """build/tamblo-gateway inside the namespace; its stderr (with -v) is its log."""

    def __init__(self, namespace, workdir, server=LOOPBACK, server_port=GATEWAY_PORT, mac=DEFAULT_MAC,
                 local_ip=GATEWAY_LOCAL_IP, tun="tamblo0", extra_args=(), wrapper=()):
        """wrapper: a command line in front of the binary's (e.g. env with LD_PRELOAD)."""
        os.makedirs(workdir, exist_ok=True)
        self.mac = mac
        self.local_ip = local_ip
        self.tun = tun
        argv = [*wrapper, GATEWAY_BINARY, "--server", server, "--server-port", str(server_port),
                "--mac", mac, "--local-ip", local_ip, "--tun", tun, *extra_args]
        log_path = os.path.join(workdir, "gateway-%d.log" % len(os.listdir(workdir)))
        super().__init__(namespace, "gateway", argv, workdir, log_path)
        self.log = LogFile(log_path)

    def wait_ready(self, timeout=DEFAULT_TIMEOUT):
        """Waits until the TUN device exists (and, unless --no-configure, carries the route)."""
        def ready():
            if not self.alive():
                raise RuntimeError("tamblo-gateway exited with %s:\n%s" % (self.popen.returncode,
                                                                            self.output()))
            routes = self.namespace.run(["ip", "route", "show", "dev", self.tun], check=False)
            return routes.returncode == 0 and ("--no-configure" in self.argv or
                                               self.local_ip in routes.stdout)
        wait_until(ready, timeout, what="%s to come up" % self.tun)
        return self

    def counters(self, timeout=DEFAULT_TIMEOUT):
        """Asks for the counters (SIGUSR1) and returns them as a dict, e.g. {"datagrams_in": 5, ...}."""
        mark = self.log.mark()
        self.send_signal(signal.SIGUSR1)
        # Up to the line's end: a line read while it is being written is not the whole line.
        line = self.log.wait_for(r"counters: [^\n]*\n", timeout=timeout, start=mark)[-1]
        return {name: int(value) for name, value in re.findall(r"(\w+)=(\d+)", line)}


class TcpServer:
    """A threaded kernel TCP server on a LAN device address: echo, sink or source.

    echo   sends back what it receives
    sink   reads and discards, counting bytes
    source writes `source_bytes` bytes (pattern), then closes
    """

    def __init__(self, listener, mode="echo", source_bytes=0):
        self.listener = listener
        self.mode = mode
        self.source_bytes = source_bytes
        self.address = listener.getsockname()
        self.connections = 0
        self.bytes_received = 0
        self.bytes_sent = 0
        self.errors = []
        self._lock = threading.Lock()
        self._threads = []
        self._closing = False
        self._acceptor = threading.Thread(target=self._accept, daemon=True)
        self._acceptor.start()

    def _accept(self):
        while not self._closing:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with self._lock:
                self.connections += 1
            worker = threading.Thread(target=self._serve, args=(connection,), daemon=True)
            self._threads.append(worker)
            worker.start()

    def _serve(self, connection):
        connection.settimeout(60)
        try:
            with connection:
                if self.mode == "source":
                    chunk = bytes(range(256)) * 256
                    left = self.source_bytes
                    while left > 0:
                        sent = connection.send(chunk[:min(left, len(chunk))])
                        left -= sent
                        with self._lock:
                            self.bytes_sent += sent
                    return
                while True:
                    data = connection.recv(1 << 20)
                    if not data:
                        return
                    with self._lock:
                        self.bytes_received += len(data)
                    if self.mode == "echo":
                        connection.sendall(data)
                        with self._lock:
                            self.bytes_sent += len(data)
        except OSError as error:
            self.errors.append(error)

    def close(self, timeout=5.0):
        self._closing = True
        with contextlib.suppress(OSError):
            self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        self._acceptor.join(timeout)
        for worker in self._threads:
            worker.join(timeout)


class Namespace:
    """One uniquely named network namespace with lo up and a LAN interface carrying device addresses."""

    def __init__(self, lan_addresses=LAN_ADDRESSES, prefix="tamblo"):
        self.name = "%s-%d-%s" % (prefix, os.getpid(), uuid.uuid4().hex[:8])
        self.lan_addresses = tuple(lan_addresses)
        self.lan_interface = "lan0"
        self.workdir = tempfile.mkdtemp(prefix="tamblo-netns-")
        self.processes = []
        self.tcp_servers = []
        self.sockets = []
        self._created = False

    # --- lifetime ------------------------------------------------------------------------------

    def create(self):
        for address in self.lan_addresses:
            if not address.startswith(("198.18.", "198.19.")):
                raise ValueError("LAN device addresses must lie in 198.18.0.0/15: %s" % address)
        result = subprocess.run(["ip", "netns", "add", self.name], capture_output=True, text=True,
                                timeout=10)
        if result.returncode != 0:
            raise NamespaceUnavailable("ip netns add failed: %s" % result.stderr.strip())
        self._created = True
        self.run(["ip", "link", "set", "lo", "up"])
        # A dummy interface where the kernel has the module; an empty bridge behaves the same for
        # local addresses and is built into more kernels.
        for kind in ("dummy", "bridge"):
            if self.run(["ip", "link", "add", self.lan_interface, "type", kind], check=False).returncode == 0:
                break
        else:
            raise RuntimeError("cannot create a dummy or bridge interface in %s" % self.name)
        for address in self.lan_addresses:
            self.run(["ip", "addr", "add", address + "/32", "dev", self.lan_interface])
        self.run(["ip", "link", "set", self.lan_interface, "up"])
        return self

    def close(self):
        """Stops everything started here and deletes the namespace; safe to call twice."""
        for server in self.tcp_servers:
            with contextlib.suppress(Exception):
                server.close(timeout=2)
        self.tcp_servers = []
        for sock in self.sockets:
            with contextlib.suppress(OSError):
                sock.close()
        self.sockets = []
        outputs = []
        for process in reversed(self.processes):
            with contextlib.suppress(Exception):
                process.stop(timeout=3)
            with contextlib.suppress(OSError):
                outputs.append((process.label, process.output()))
        self.processes = []
        if self._created:
            # Anything still running in the namespace was started by this harness (a child of a
            # process above): end it before the namespace goes.
            pids = subprocess.run(["ip", "netns", "pids", self.name], capture_output=True, text=True,
                                  timeout=10)
            for pid in pids.stdout.split():
                with contextlib.suppress(ProcessLookupError, ValueError):
                    os.kill(int(pid), signal.SIGKILL)
            for _ in range(50):
                result = subprocess.run(["ip", "netns", "del", self.name], capture_output=True, timeout=10)
                if result.returncode == 0 or not os.path.exists("/var/run/netns/" + self.name):
                    break
                time.sleep(0.1)
            self._created = False
        for label, output in outputs:
            tamblo_sanitizers.check(output, "%s in %s" % (label, self.name))

    def link(self, other, address, other_address, prefix_length=30):
        """A veth pair between this namespace and another one, with an address on each end.

        For set-ups with two gateways or a server in a namespace of its own. Both addresses must
        lie in 198.18.0.0/15. Returns the names of the two ends (here, there)."""
        for a in (address, other_address):
            if not a.startswith(("198.18.", "198.19.")):
                raise ValueError("link addresses must lie in 198.18.0.0/15: %s" % a)
        here, there = "veth-%s" % uuid.uuid4().hex[:6], "veth-%s" % uuid.uuid4().hex[:6]
        subprocess.run(["ip", "link", "add", here, "netns", self.name, "type", "veth", "peer", "name",
                        there, "netns", other.name], check=True, capture_output=True, timeout=10)
        for namespace, device, a in ((self, here, address), (other, there, other_address)):
            namespace.run(["ip", "addr", "add", "%s/%d" % (a, prefix_length), "dev", device])
            namespace.run(["ip", "link", "set", device, "up"])
        return here, there

    def __enter__(self):
        return self.create()

    def __exit__(self, *exc):
        self.close()

    # --- running things inside ------------------------------------------------------------------

    def run(self, argv, timeout=DEFAULT_TIMEOUT, check=True):
        """Runs a command inside the namespace to its end; returns the CompletedProcess (text)."""
        result = subprocess.run(["ip", "netns", "exec", self.name, *argv], capture_output=True,
                                text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), result.returncode,
                                                       result.stderr.strip()))
        return result

    def spawn(self, argv, label="process", cwd=None):
        """Starts a long-running command inside the namespace; it is stopped at close()."""
        path = os.path.join(self.workdir, "%s-%d.out" % (label, len(self.processes)))
        process = Process(self, label, argv, cwd or self.workdir, path)
        self.processes.append(process)
        return process

    @contextlib.contextmanager
    def entered(self):
        """Runs the body with the calling thread inside the namespace (for creating sockets)."""
        with _setns_lock, open("/proc/thread-self/ns/net", "rb") as own, \
                open("/var/run/netns/" + self.name, "rb") as target:
            if _libc.setns(target.fileno(), _CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns into %s failed" % self.name)
            try:
                yield
            finally:
                if _libc.setns(own.fileno(), _CLONE_NEWNET) != 0:
                    # A thread stuck in the wrong namespace would poison every later test.
                    os._exit(70)

    def socket(self, family=socket.AF_INET, kind=socket.SOCK_DGRAM, proto=0):
        """A socket that lives in the namespace (usable from any thread afterwards)."""
        with self.entered():
            sock = socket.socket(family, kind, proto)
        self.sockets.append(sock)
        return sock

    def wait_for_udp_port(self, port, timeout=DEFAULT_TIMEOUT):
        def bound():
            out = self.run(["ss", "-Hlun", "sport = :%d" % port], check=False).stdout
            return out.strip() != ""
        if shutil.which("ss") is None:
            time.sleep(0.5)
            return
        wait_until(bound, timeout, what="UDP port %d in %s" % (port, self.name))

    def tcp_server(self, address, port=0, mode="echo", source_bytes=0):
        """A threaded kernel TCP server listening on a LAN device address; closed at close()."""
        if address not in self.lan_addresses:
            raise ValueError("%s is not a LAN device address of this namespace" % address)
        listener = self.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, port))
        listener.listen(64)
        server = TcpServer(listener, mode, source_bytes)
        self.tcp_servers.append(server)
        return server

    def start_server(self, label="server", **kwargs):
        """Starts build/TambloServer in a fresh working directory; returns it once its port is bound."""
        if not os.access(SERVER_BINARY, os.X_OK):
            pytest.fail("%s is not built" % SERVER_BINARY)
        workdir = os.path.join(self.workdir, "%s-%d" % (label, len(self.processes)))
        server = TambloServer(self, workdir, **kwargs)
        self.processes.append(server)
        return server

    def start_gateway(self, *extra_args, wait=True, **kwargs):
        """Starts build/tamblo-gateway; by default waits until its TUN device is up."""
        if not os.access(GATEWAY_BINARY, os.X_OK):
            pytest.fail("%s is not built" % GATEWAY_BINARY)
        gateway = Gateway(self, os.path.join(self.workdir, "gateway"), extra_args=extra_args, **kwargs)
        self.processes.append(gateway)
        if wait:
            gateway.wait_ready()
        return gateway


# --- pytest fixtures (import them into a test module) ------------------------------------------

@pytest.fixture
def netns():
    """A fresh namespace per test; skipped where namespaces are unavailable."""
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    namespace = Namespace()
    try:
        try:
            namespace.create()
        except NamespaceUnavailable as error:
            pytest.skip(str(error))
        yield namespace
    finally:
        namespace.close()
        if os.environ.get("TAMBLO_KEEP_LOGS") is None:
            shutil.rmtree(namespace.workdir, ignore_errors=True)


@pytest.fixture
def tun_available():
    if not os.path.exists("/dev/net/tun"):
        pytest.skip("/dev/net/tun is missing")


@pytest.fixture
def tamblo_server(netns):
    """The real TambloServer on the default ports inside the namespace."""
    return netns.start_server()


# --- tcp-server program --------------------------------------------------------------------------

def _main(argv):
    parser = argparse.ArgumentParser(description="TCP echo/sink/source server for a namespace")
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("tcp-server")
    serve.add_argument("--address", required=True)
    serve.add_argument("--port", type=int, required=True)
    serve.add_argument("--mode", choices=("echo", "sink", "source"), default="echo")
    serve.add_argument("--source-bytes", type=int, default=0)
    args = parser.parse_args(argv)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, args.port))
    listener.listen(64)
    server = TcpServer(listener, args.mode, args.source_bytes)
    print("listening on %s:%d" % server.address, flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGUSR1, lambda *_: print(
        "connections %d received %d sent %d" % (server.connections, server.bytes_received,
                                                server.bytes_sent), flush=True))
    while not stop.wait(1):
        pass
    server.close()
    print("connections %d received %d sent %d" % (server.connections, server.bytes_received,
                                                  server.bytes_sent), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
