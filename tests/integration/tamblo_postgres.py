"""A private PostgreSQL 15 for the tests, the benchmarks and a one-machine cluster.

Each instance is a fresh cluster (initdb, no fsync) in a temporary directory, run by an
unprivileged user (postgres refuses root: a root caller runs it as "postgres", which the
package creates, else as "nobody"), on a unix socket in its own directory and on no TCP port
unless asked. The socket is a file, so servers in other network namespaces reach it too.

    with PostgresServer() as pg:          # created, started and ready, or an error with its log
        pg.conninfo()                     # libpq connection string of the database "tamblo"
        pg.pause(); pg.resume()           # SIGSTOP / SIGCONT to every process of the instance
        pg.stop(); pg.start()             # a real shutdown and start on the same data

    from tamblo_postgres import postgres  # the fixture: one instance per test

As a program: `tamblo_postgres.py run [--tcp] -- COMMAND...` starts an instance, runs COMMAND
with TAMBLO_PG_CONNINFO and TAMBLO_PG_CONTROL (the command prefix of the actions below) set,
removes the instance whatever happened and exits with COMMAND's status, or 77 (skipped in
ctest) without PostgreSQL 15; `tamblo_postgres.py --base DIR pause|resume|stop|start` acts on
the instance whose files are in DIR.
"""

import argparse
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

import pytest

from tamblo_netns import wait_until

BIN_DIR = "/usr/lib/postgresql/15/bin"
SUPERUSER = "tamblo"
DATABASE = "tamblo"
SKIPPED = 77
TIMEOUT = 60.0  # initdb, a start or a stop on a loaded 2-core machine


def _account():
    """The account a root caller runs the database as; None when not root."""
    if os.geteuid() != 0:
        return None
    for name in ("postgres", "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            continue
    raise RuntimeError("running as root and neither the user postgres nor nobody exists")


def unavailable_reason():
    """Why no instance can be started here, or None."""
    if not os.path.exists(os.path.join(BIN_DIR, "postgres")):
        return "PostgreSQL 15 is not installed (%s); scripts/install-deps installs it" % BIN_DIR
    return None


class PostgresServer:
    """One private instance; every file of it lives below `base`."""

    def __init__(self, tcp=False, base=None):
        self.base = base or tempfile.mkdtemp(prefix="tamblo-pg-")
        self.data = os.path.join(self.base, "data")
        self.socket_dir = os.path.join(self.base, "socket")
        self.log_path = os.path.join(self.base, "postgres.log")
        port_file = os.path.join(self.base, "tcp_port")
        if base is not None:  # attached to a running instance: its TCP port, 0 for none
            with open(port_file) as saved:
                self.tcp_port = int(saved.read())
        else:
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.tcp_port = probe.getsockname()[1] if tcp else 0
            with open(port_file, "w") as saved:
                saved.write(str(self.tcp_port))
        self.port = self.tcp_port or 5432  # the socket's name carries it
        self._popen = None

    def conninfo(self, dbname=DATABASE, tcp=False):
        host = "127.0.0.1" if tcp else self.socket_dir
        return "host=%s port=%d dbname=%s user=%s" % (host, self.port, dbname, SUPERUSER)

    def _spawn(self, argv, **options):
        account = _account()
        if account is not None:
            options.update(user=account.pw_uid, group=account.pw_gid, extra_groups=[])
        log = open(self.log_path, "ab")
        try:
            return subprocess.Popen(argv, cwd=self.base, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT, **options)
        finally:
            log.close()

    def create(self):
        os.makedirs(self.socket_dir)
        account = _account()
        for path in (self.base, self.socket_dir):
            if account is not None:
                os.chown(path, account.pw_uid, account.pw_gid)
            os.chmod(path, 0o700)
        initdb = self._spawn([os.path.join(BIN_DIR, "initdb"), "-D", self.data, "-U", SUPERUSER,
                              "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"])
        if initdb.wait(timeout=TIMEOUT) != 0:
            raise RuntimeError("initdb failed:\n" + self.log_tail())

    def _pid_file(self):
        """The lines of postmaster.pid: the pid first, "ready" in the eighth once it serves."""
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as pid_file:
                return pid_file.read().splitlines()
        except OSError:
            return []

    def _ready(self):
        if self._popen is not None and self._popen.poll() is not None:
            raise RuntimeError("postgres exited with status %d:\n%s"
                               % (self._popen.returncode, self.log_tail()))
        lines = self._pid_file()
        return len(lines) >= 8 and lines[7].strip() == "ready"

    def start(self):
        self._popen = self._spawn(
            [os.path.join(BIN_DIR, "postgres"), "-D", self.data, "-k", self.socket_dir,
             "-p", str(self.port), "-c", "listen_addresses=" + ("127.0.0.1" if self.tcp_port else ""),
             "-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off"],
            start_new_session=True)
        wait_until(self._ready, TIMEOUT, what="PostgreSQL to take connections")
        if self.psql("postgres", "SELECT count(*) FROM pg_database WHERE datname = '%s'"
                     % DATABASE) == "0":
            self.psql("postgres", "CREATE DATABASE " + DATABASE)
        return self

    def psql(self, dbname, sql):
        """Runs SQL with psql; returns its output (unaligned, tuples only)."""
        result = subprocess.run([os.path.join(BIN_DIR, "psql"), "-X", "-q", "-A", "-t",
                                 "-v", "ON_ERROR_STOP=1", "-d", self.conninfo(dbname), "-c", sql],
                                capture_output=True, text=True, timeout=TIMEOUT)
        if result.returncode != 0:
            raise RuntimeError("psql: %s" % result.stderr.strip())
        return result.stdout.strip()

    def _signal_all(self, number):
        """The postmaster, then its children (the backends and helpers)."""
        lines = self._pid_file()
        if not lines:
            return
        postmaster = int(lines[0])
        pids = [postmaster]
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == postmaster:
                        pids.append(int(entry))
            except (OSError, IndexError, ValueError):
                continue
        for pid in pids:
            try:
                os.kill(pid, number)
            except ProcessLookupError:
                pass

    def pause(self):
        """The database stops answering and its connections stay open, as a hung host."""
        self._signal_all(signal.SIGSTOP)

    def resume(self):
        self._signal_all(signal.SIGCONT)

    def stop(self):
        """Fast shutdown (connections are ended); returns once the pid file is gone."""
        lines = self._pid_file()
        if lines:
            self.resume()
            os.kill(int(lines[0]), signal.SIGINT)
            try:
                wait_until(lambda: not self._pid_file(), TIMEOUT, what="PostgreSQL to stop")
            except TimeoutError:
                self._signal_all(signal.SIGKILL)
                os.unlink(os.path.join(self.data, "postmaster.pid"))
        if self._popen is not None:
            self._popen.wait(timeout=TIMEOUT)
            self._popen = None

    def log_tail(self, lines=30):
        try:
            with open(self.log_path, errors="replace") as log:
                return "".join(log.readlines()[-lines:])
        except OSError:
            return ""

    def __enter__(self):
        try:
            self.create()
            return self.start()
        except BaseException:
            self.__exit__()
            raise

    def __exit__(self, *exc):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.base, ignore_errors=True)


@pytest.fixture
def postgres():
    """A running private instance for one test, removed at teardown."""
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    with PostgresServer() as server:
        yield server


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--base", help="the directory of a running instance")
    parser.add_argument("--tcp", action="store_true", help="also listen on 127.0.0.1")
    parser.add_argument("action", choices=("run", "pause", "resume", "stop", "start"))
    parser.add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    if arguments.action != "run":
        getattr(PostgresServer(base=arguments.base), arguments.action)()
        return 0
    if unavailable_reason():
        print("skipped: " + unavailable_reason())
        return SKIPPED
    command = arguments.command[1:] if arguments.command[:1] == ["--"] else arguments.command
    with PostgresServer(tcp=arguments.tcp) as server:
        environment = dict(os.environ, TAMBLO_PG_CONNINFO=server.conninfo(),
                           TAMBLO_PG_CONTROL="%s %s --base %s" % (
                               sys.executable, os.path.abspath(__file__), server.base))
        return subprocess.call(command, env=environment)


if __name__ == "__main__":
    sys.exit(main())
