"""A private PostgreSQL 15 for the tests, the benchmarks and a one-machine cluster.

Each instance is a fresh cluster (initdb) in a temporary directory, run by an unprivileged
user (postgres refuses root: a root caller runs it as the user "postgres" that the package
creates, else as "nobody"), listening on a unix socket in its own directory and on no TCP port
unless asked. The socket is a file, so servers in other network namespaces reach it too.
Durability is traded for speed (no fsync): the data lives as long as the instance.

    with PostgresServer() as pg:          # created, started and ready, or an error with its log
        pg.conninfo()                     # libpq connection string of the database "tamblo"
        pg.pause(); pg.resume()           # SIGSTOP / SIGCONT to every process of the instance
        pg.stop(); pg.start()             # a real shutdown and start on the same data

    from tamblo_postgres import postgres  # the fixture: one instance per test
    def test_x(postgres): ...

As a program it wraps a command that needs a database (ctest runs the database unit tests so):

    tamblo_postgres.py run [--tcp] -- COMMAND ARGS...
        starts an instance, runs COMMAND with TAMBLO_PG_CONNINFO (the connection string) and
        TAMBLO_PG_CONTROL (a command prefix for the actions below) set, stops the instance
        whatever happened and exits with COMMAND's status; 77 (skipped) without PostgreSQL 15.
    tamblo_postgres.py --base DIR pause|resume|stop|start
        acts on the running instance whose files are in DIR.
"""

import argparse
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

from tamblo_netns import wait_until

BIN_DIR = "/usr/lib/postgresql/15/bin"
SUPERUSER = "tamblo"
DATABASE = "tamblo"
SKIPPED = 77  # what ctest counts as a skipped test
START_TIMEOUT = 60.0  # initdb and a first start on a loaded 2-core machine
STOP_TIMEOUT = 30.0


def unavailable_reason():
    """Why no instance can be started here, or None."""
    if not os.path.exists(os.path.join(BIN_DIR, "postgres")):
        return "PostgreSQL 15 is not installed (%s/postgres); scripts/install-deps installs it" % BIN_DIR
    if os.geteuid() == 0 and _run_as() is None:
        return "running as root and neither the user postgres nor nobody exists"
    return None


def _run_as():
    """The account a root caller runs the database as (None: not root, run as oneself)."""
    for name in ("postgres", "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            continue
    return None


def _free_tcp_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class PostgresServer:
    """One private instance; every file of it lives below `base`."""

    def __init__(self, tcp=False, base=None):
        self.base = base or tempfile.mkdtemp(prefix="tamblo-pg-")
        self.data = os.path.join(self.base, "data")
        self.socket_dir = os.path.join(self.base, "socket")
        self.log_path = os.path.join(self.base, "postgres.log")
        self.tcp_port = _free_tcp_port() if tcp else None
        self.port = self.tcp_port or 5432  # the socket's name carries it
        self._popen = None

    # --- the instance's description, so that a later process can act on it -----------------

    def _save(self):
        with open(os.path.join(self.base, "instance.json"), "w") as out:
            json.dump({"tcp_port": self.tcp_port}, out)

    @classmethod
    def attach(cls, base):
        with open(os.path.join(base, "instance.json")) as source:
            saved = json.load(source)
        server = cls(base=base)
        server.tcp_port = saved["tcp_port"]
        server.port = server.tcp_port or 5432
        return server

    def conninfo(self, dbname=DATABASE, tcp=False):
        host = "127.0.0.1" if tcp else self.socket_dir
        port = self.tcp_port if tcp else self.port
        return "host=%s port=%d dbname=%s user=%s" % (host, port, dbname, SUPERUSER)

    # --- life cycle ---------------------------------------------------------------------------

    def _spawn(self, argv, **options):
        account = _run_as() if os.geteuid() == 0 else None
        if account is not None:
            options.update(user=account.pw_uid, group=account.pw_gid, extra_groups=[])
        return subprocess.Popen(argv, cwd=self.base, stdin=subprocess.DEVNULL, **options)

    def create(self):
        """initdb into a fresh data directory owned by the account that runs the database."""
        reason = unavailable_reason()
        if reason:
            raise RuntimeError(reason)
        os.makedirs(self.socket_dir, exist_ok=True)
        account = _run_as() if os.geteuid() == 0 else None
        if account is not None:
            for path in (self.base, self.socket_dir):
                os.chown(path, account.pw_uid, account.pw_gid)
        os.chmod(self.base, 0o700)
        with open(self.log_path, "ab") as log:
            initdb = self._spawn([os.path.join(BIN_DIR, "initdb"), "-D", self.data, "-U", SUPERUSER,
                                  "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"],
                                 stdout=log, stderr=subprocess.STDOUT)
            if initdb.wait(timeout=START_TIMEOUT) != 0:
                raise RuntimeError("initdb failed:\n" + self.log_tail())
        self._save()

    def _pid(self):
        """The postmaster's pid from its pid file, or None when it is not running."""
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as pid_file:
                lines = pid_file.read().splitlines()
        except OSError:
            return None
        return int(lines[0]) if lines and lines[0].isdigit() else None

    def _ready(self):
        """The pid file's status line says "ready" once connections are taken."""
        if self._popen is not None and self._popen.poll() is not None:
            raise RuntimeError("postgres exited with status %d:\n%s"
                               % (self._popen.returncode, self.log_tail()))
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as pid_file:
                lines = pid_file.read().splitlines()
        except OSError:
            return False
        return len(lines) >= 8 and lines[7].strip() == "ready"

    def start(self):
        listen = "127.0.0.1" if self.tcp_port else ""
        log = open(self.log_path, "ab")
        try:
            self._popen = self._spawn(
                [os.path.join(BIN_DIR, "postgres"), "-D", self.data, "-k", self.socket_dir,
                 "-p", str(self.port), "-c", "listen_addresses=" + listen,
                 "-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off",
                 "-c", "max_connections=100"],
                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        finally:
            log.close()
        wait_until(self._ready, START_TIMEOUT, what="PostgreSQL to take connections")
        if not os.path.exists(os.path.join(self.base, "created")):
            self.psql("postgres", "CREATE DATABASE %s" % DATABASE)
            open(os.path.join(self.base, "created"), "w").close()
        return self

    def psql(self, dbname, sql):
        """Runs SQL with psql; returns its output (unaligned, tuples only)."""
        result = subprocess.run([os.path.join(BIN_DIR, "psql"), "-X", "-q", "-A", "-t",
                                 "-v", "ON_ERROR_STOP=1", "-d", self.conninfo(dbname), "-c", sql],
                                capture_output=True, text=True, timeout=START_TIMEOUT)
        if result.returncode != 0:
            raise RuntimeError("psql: %s" % result.stderr.strip())
        return result.stdout.strip()

    def _processes(self):
        """The postmaster and its children (the backends and helpers)."""
        postmaster = self._pid()
        if postmaster is None:
            return []
        children = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == postmaster:
                children.append(int(entry))
        return [postmaster] + children

    def _signal_all(self, number):
        for pid in self._processes():
            try:
                os.kill(pid, number)
            except ProcessLookupError:
                pass

    def pause(self):
        """The database stops answering, its connections stay open (as a hung host)."""
        self._signal_all(signal.SIGSTOP)

    def resume(self):
        self._signal_all(signal.SIGCONT)

    def stop(self):
        """Fast shutdown: connections are ended; returns once the pid file is gone."""
        pid = self._pid()
        if pid is None:
            return
        self.resume()
        os.kill(pid, signal.SIGINT)
        try:
            wait_until(lambda: self._pid() is None, STOP_TIMEOUT, what="PostgreSQL to stop")
        except TimeoutError:
            self._signal_all(signal.SIGKILL)
            os.unlink(os.path.join(self.data, "postmaster.pid"))
        if self._popen is not None:
            self._popen.wait(timeout=STOP_TIMEOUT)
            self._popen = None

    def log_tail(self, lines=30):
        try:
            with open(self.log_path, errors="replace") as log:
                return "".join(log.readlines()[-lines:])
        except OSError:
            return ""

    def close(self):
        """Stops the instance and removes its files."""
        try:
            self.stop()
        finally:
            shutil.rmtree(self.base, ignore_errors=True)

    def __enter__(self):
        try:
            self.create()
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc):
        self.close()


try:
    import pytest

    @pytest.fixture
    def postgres():
        """A running private instance for one test, removed at teardown."""
        reason = unavailable_reason()
        if reason:
            pytest.skip(reason)
        with PostgresServer() as server:
            yield server
except ImportError:  # run as a program where pytest is missing
    pass


def _run(command, tcp):
    reason = unavailable_reason()
    if reason:
        print("skipped: " + reason)
        return SKIPPED
    with PostgresServer(tcp=tcp) as server:
        environment = dict(os.environ)
        environment["TAMBLO_PG_CONNINFO"] = server.conninfo()
        environment["TAMBLO_PG_CONTROL"] = "%s %s --base %s" % (
            sys.executable, os.path.abspath(__file__), server.base)
        return subprocess.call(command, env=environment)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--base", help="the directory of a running instance")
    parser.add_argument("--tcp", action="store_true", help="also listen on 127.0.0.1")
    parser.add_argument("action", choices=("run", "pause", "resume", "stop", "start"))
    parser.add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    if arguments.action == "run":
        command = arguments.command[1:] if arguments.command[:1] == ["--"] else arguments.command
        return _run(command, arguments.tcp)
    server = PostgresServer.attach(arguments.base)
    getattr(server, arguments.action)()
    return 0


if __name__ == "__main__":
    sys.exit(main())
