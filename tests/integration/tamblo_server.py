"""Runs the real TambloServer binary for integration tests.

Each `ServerProcess` gets a fresh working directory with its own TambloServer_log.conf that
sends every logger at TRACE to `server.log` (flushed per line), free ports for the gateway,
control and proxy sockets, and optionally fake wall-clock time through libfaketime. It offers
bounded waits on the log, the process's children and descriptors, and SIGTERM / SIGKILL.

Log records are parsed from lines "HH:MM:SS.mmm LEVEL logger - message"; a line that does
not start like that continues the previous message (a message ending in "\\n" shows up as
a record whose text ends in "\\n"). The file is read as Latin-1 so that raw bytes that the
server writes (channel ids) survive.
"""

import os
import re
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass
from typing import List, Optional

import tamblo_sanitizers

BUILD_DIR = os.environ.get("TAMBLO_BUILD_DIR", "/work/main/build")
BINARY = os.path.join(BUILD_DIR, "TambloServer")
FAKETIME_LIBRARY = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

LOG_FILE = "server.log"
LOG_CONF = """\
log4cplus.rootLogger=TRACE, file
log4cplus.appender.file=log4cplus::FileAppender
log4cplus.appender.file.File={log}
log4cplus.appender.file.ImmediateFlush=true
log4cplus.appender.file.layout=log4cplus::PatternLayout
log4cplus.appender.file.layout.ConversionPattern=%D{{%H:%M:%S.%q}} %-5p %c - %m%n
"""

_RECORD = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} (TRACE|DEBUG|INFO|WARN|ERROR|FATAL)\s* (\S+) - (.*)$")

TCP_LISTEN = "0A"


# The process that forks the server's workers: a child of the server, but no worker.
ZYGOTE_NAME = "tamblo-zygote"


def child_pids(pid: int) -> List[int]:
    pids = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as handle:
                pids.extend(int(p) for p in handle.read().split())
    except OSError:
        pass
    return pids


def process_name(pid: int) -> Optional[str]:
    try:
        with open("/proc/%d/comm" % pid) as handle:
            return handle.read().strip()
    except OSError:
        return None


def is_zygote(pid: int) -> bool:
    """The zygote names itself at once; until then it is named after the program it ran."""
    name = process_name(pid)
    if name == "exe":
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as handle:
                return handle.read().split(b"\0")[0] == ZYGOTE_NAME.encode()
        except OSError:
            return False
    return name == ZYGOTE_NAME


def worker_pids(server_pid: int) -> List[int]:
    """The server's children but its worker zygote."""
    return [pid for pid in child_pids(server_pid) if not is_zygote(pid)]


@dataclass
class LogRecord:
    level: str
    logger: str
    message: str

    def __str__(self):
        return "%-5s %s - %r" % (self.level, self.logger, self.message)


class ServerError(AssertionError):
    pass


def wait_until(predicate, timeout=10.0, step=0.02):
    """Polls predicate until it returns something true or timeout seconds have passed; returns
    its last value (so a test can assert on it and show it)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def fd_targets(pid: int) -> List[str]:
    """What each open descriptor of the process points at ("socket:[N]", a path, ...)."""
    targets = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            targets.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
        except OSError:
            pass
    return targets


def free_port(kind: int) -> int:
    """A port that is free for the given socket type right now (bound to 0, then closed)."""
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("0.0.0.0", 0))
        return probe.getsockname()[1]


def listening_tcp_ports() -> set:
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as handle:
                next(handle)
                for line in handle:
                    fields = line.split()
                    if fields[3] == TCP_LISTEN:
                        ports.add(int(fields[1].rsplit(":", 1)[1], 16))
        except OSError:
            continue
    return ports


class ServerProcess:
    """One TambloServer process.

    args: extra command-line arguments, given after the four port options (so a later
    port option in args wins). Ports default to free ones; pass gc_port (etc.) to pin one.
    fake_time: run under libfaketime with an offset file that advance() moves.
    """

    def __init__(self, args=(), *, gc_port: Optional[int] = None,
                 ctrl_port: Optional[int] = None, proxy_port: Optional[int] = None,
                 rest_port: Optional[int] = None, fake_time: bool = False,
                 port_args: bool = True, workdir: Optional[str] = None, binary: str = BINARY):
        self.binary = binary
        self._own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="tamblo-it-")
        self.gc_port = gc_port if gc_port is not None else free_port(socket.SOCK_DGRAM)
        self.ctrl_port = ctrl_port if ctrl_port is not None else free_port(socket.SOCK_STREAM)
        self.proxy_port = proxy_port if proxy_port is not None else free_port(socket.SOCK_STREAM)
        self.rest_port = rest_port if rest_port is not None else free_port(socket.SOCK_STREAM)
        self.extra_args = list(args)
        self.port_args = port_args
        self.fake_time = fake_time
        self.time_offset = 0
        self.log_path = os.path.join(self.workdir, LOG_FILE)
        self.stdout_path = os.path.join(self.workdir, "stdout.txt")
        self.stderr_path = os.path.join(self.workdir, "stderr.txt")
        self.faketime_path = os.path.join(self.workdir, "faketime.rc")
        self.proc: Optional[subprocess.Popen] = None
        self._probe: Optional[socket.socket] = None
        self._records: List[LogRecord] = []
        self._log_offset = 0
        with open(os.path.join(self.workdir, "TambloServer_log.conf"), "w") as conf:
            conf.write(LOG_CONF.format(log=self.log_path))

    # -- life

    @property
    def argv(self) -> List[str]:
        ports = []
        if self.port_args:
            ports = ["--gc-port=%d" % self.gc_port, "--ctrl-port=%d" % self.ctrl_port,
                     "--proxy-port=%d" % self.proxy_port, "--rest-port=%d" % self.rest_port]
        return [self.binary] + ports + self.extra_args + tamblo_sanitizers.SERVER_ARGS

    def start(self, wait: bool = True, timeout: float = 10.0) -> "ServerProcess":
        if not os.access(self.binary, os.X_OK):
            raise ServerError("%s is not built" % self.binary)
        env = dict(os.environ)
        if self.fake_time:
            self._write_offset(0)
            env.update(LD_PRELOAD=FAKETIME_LIBRARY, FAKETIME_TIMESTAMP_FILE=self.faketime_path,
                       FAKETIME_NO_CACHE="1")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(self.argv, cwd=self.workdir, env=env,
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        if wait:
            self.wait_ready(timeout)
        return self

    def wait_ready(self, timeout: float = 10.0) -> None:
        """Waits until the proxy port listens (it is bound last, after the gateway socket)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise ServerError("server exited with %s before listening; stderr: %r; log:\n%s"
                                  % (self.proc.returncode, self.stderr(), self.log_tail()))
            if self.proxy_port in listening_tcp_ports():
                return
            time.sleep(0.01)
        raise ServerError("proxy port %d not listening after %.1f s" % (self.proxy_port, timeout))

    @property
    def pid(self) -> int:
        return self.proc.pid

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout: float = 10.0) -> Optional[int]:
        """The exit status, or None when the process is still running after timeout."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, timeout: float = 10.0) -> int:
        """SIGTERM, then the exit status. Kills the process and fails when it hangs."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        status = self.wait_exit(timeout)
        if status is None:
            self.kill()
            raise ServerError("server did not exit within %.1f s of SIGTERM" % timeout)
        return status

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)

    def close(self) -> None:
        """Teardown: the process (and any worker it left) is killed; the probe closed."""
        children = self.children() if self.running() else []
        self.kill()
        for child in children:
            try:
                os.kill(child, signal.SIGKILL)
            except OSError:
                pass
        if self._probe is not None:
            self._probe.close()
            self._probe = None
        tamblo_sanitizers.check(self.stderr(), "the server in %s" % self.workdir)

    # -- addresses

    @property
    def gc_address(self):
        return ("127.0.0.1", self.gc_port)

    # -- process inspection

    def children(self) -> List[int]:
        """The server's workers (its children but the worker zygote)."""
        return worker_pids(self.pid)

    def zygote(self) -> Optional[int]:
        """The pid of the server's worker zygote, if it has one now."""
        found = [pid for pid in child_pids(self.pid) if is_zygote(pid)]
        return found[0] if found else None

    def fd_count(self) -> int:
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def stderr(self) -> str:
        with open(self.stderr_path, "rb") as handle:
            return handle.read().decode("latin-1")

    def stdout(self) -> str:
        with open(self.stdout_path, "rb") as handle:
            return handle.read().decode("latin-1")

    # -- fake time

    def _write_offset(self, seconds: int) -> None:
        staging = self.faketime_path + ".new"
        with open(staging, "w") as handle:
            handle.write("%+d\n" % seconds)
        os.replace(staging, self.faketime_path)  # never a half-written file

    def advance(self, seconds: int) -> None:
        """Moves the server's clock forward. The loop notices on its next wake-up; send any
        datagram (e.g. sync()) to wake it so that due periodic timers fire."""
        if not self.fake_time:
            raise RuntimeError("server was not started with fake_time")
        self.time_offset += int(seconds)
        self._write_offset(self.time_offset)

    # -- log

    def log_text(self) -> str:
        """The whole lines of the log written so far."""
        try:
            with open(self.log_path, "rb") as handle:
                data = handle.read()
        except FileNotFoundError:
            return ""
        # Only whole lines: the server may be half-way through writing one.
        end = data.rfind(b"\n")
        return data[:end + 1].decode("latin-1") if end >= 0 else ""

    def log_tail(self, lines: int = 40) -> str:
        return "\n".join(self.log_text().split("\n")[-lines - 1:])

    def records(self) -> List[LogRecord]:
        """Every record so far (parsed incrementally; the list is shared, do not modify)."""
        try:
            with open(self.log_path, "rb") as handle:
                handle.seek(self._log_offset)
                data = handle.read()
        except FileNotFoundError:
            return self._records
        end = data.rfind(b"\n")
        if end < 0:
            return self._records
        self._log_offset += end + 1
        for line in data[:end].decode("latin-1").split("\n"):
            match = _RECORD.match(line)
            if match:
                self._records.append(LogRecord(match.group(1), match.group(2), match.group(3)))
            elif self._records:
                self._records[-1].message += "\n" + line
        return self._records

    def mark(self) -> int:
        """A position in the log: later searches with since=mark see only newer records."""
        return len(self.records())

    @staticmethod
    def _matches(record: LogRecord, text, level, regex, exact) -> bool:
        if level is not None and record.level != level:
            return False
        if text is None:
            return True
        if regex:
            return re.search(text, record.message) is not None
        if exact:
            return record.message == text
        return text in record.message

    def find(self, text=None, *, level: Optional[str] = None, since: int = 0,
             regex: bool = False, exact: bool = False) -> List[LogRecord]:
        """Records after `since` whose message contains text (equals it when exact, matches it
        when regex) at the given level (any level when None)."""
        return [r for r in self.records()[since:] if self._matches(r, text, level, regex, exact)]

    def wait_for_log(self, text=None, *, level: Optional[str] = None, since: int = 0,
                     regex: bool = False, exact: bool = False, count: int = 1,
                     timeout: float = 5.0) -> LogRecord:
        """Waits until `count` matching records exist; returns the last of them."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.find(text, level=level, since=since, regex=regex, exact=exact)
            if len(found) >= count:
                return found[count - 1]
            if time.monotonic() >= deadline:
                raise ServerError("no %s log record %s %r within %.1f s; tail:\n%s"
                                  % (level or "", "matching" if regex else "with", text,
                                     timeout, self.log_tail()))
            if self.proc is not None and self.proc.poll() is not None:
                raise ServerError("server exited (%s) while waiting for %r; tail:\n%s"
                                  % (self.proc.returncode, text, self.log_tail()))
            time.sleep(0.005)

    def sync(self, timeout: float = 5.0) -> None:
        """Barrier: returns once the server has handled every datagram sent before the call.

        Sends a channel datagram from a socket that never registers; the server handles
        datagrams in order and logs the drop of this one at DEBUG with the sender's address.
        Any answer to an earlier datagram is in its receiver's socket by then (loopback).
        The probe is sent again now and then: under a flood the kernel may drop it."""
        if self._probe is None:
            self._probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self._probe.bind(("127.0.0.1", 0))
        since = self.mark()
        needle = "127.0.0.1:%d" % self._probe.getsockname()[1]
        deadline = time.monotonic() + timeout
        while True:
            self._probe.sendto(bytes([0xC8]) + b"sync", self.gc_address)
            try:
                self.wait_for_log(needle, level="DEBUG", since=since,
                                  timeout=min(0.5, max(0.0, deadline - time.monotonic())))
                return
            except ServerError:
                if time.monotonic() >= deadline or not self.running():
                    raise

    def assert_no_answer(self, *clients) -> None:
        """After a sync(), none of the clients has a datagram waiting."""
        self.sync()
        for client in clients:
            data = client.pending()
            assert data is None, "%r got an unexpected answer: %r" % (client, data)

    def assert_no_log(self, text=None, *, level: Optional[str] = None, since: int = 0,
                      regex: bool = False, exact: bool = False) -> None:
        """After a sync(), no record after `since` matches."""
        self.sync()
        found = self.find(text, level=level, since=since, regex=regex, exact=exact)
        assert not found, "unexpected log records: %s" % "; ".join(str(r) for r in found)

    def exchange(self, client, datagram: bytes) -> Optional[bytes]:
        """Sends one datagram from the client and returns the server's answer to it, or None
        when there is none: after sync() an answer would already be waiting, so no time-out
        is spent on the silent case."""
        client.send(datagram)
        self.sync()
        return client.recv(timeout=0)
