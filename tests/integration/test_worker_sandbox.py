"""Proxy workers run confined: no new privileges, no capabilities, the workers' user when the
server is root, the system call allow-list and resource limits. A forbidden call kills only that worker."""

import os
import socket
import time

from tamblo_control import ControlClient
from tamblo_gc import ACCEPT
from tamblo_server import wait_until

FORBIDDEN_CALL = "TAMBLO_TEST_WORKER_FORBIDDEN_CALL"  # test-only switch of the server


def status_fields(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            name, _, value = line.partition(":")
            fields[name] = value.split()
    return fields


def limits(pid):
    found = {}
    with open("/proc/%d/limits" % pid) as handle:
        for line in handle.readlines()[1:]:
            words = line[26:].split()
            found[line[:26].strip()] = words[0]
    return found


def confined_worker(server):
    """The pid of the one worker once it has confined itself (the filter is its last step)."""
    def ready():
        for pid in server.children():
            try:
                if status_fields(pid)["Seccomp"] == ["2"]:
                    return pid
            except (OSError, KeyError):
                pass
        return None
    return wait_until(ready)


def test_a_proxy_worker_is_confined(start_server, held_workers):
    server = start_server(["--worker-open-files=48", "--worker-memory=32"])
    client, = held_workers(server).connect(1)
    try:
        pid = confined_worker(server)
        assert pid, "no confined worker"
        fields = status_fields(pid)
        assert fields["NoNewPrivs"] == ["1"]
        if os.geteuid() == 0:
            assert fields["Uid"] == ["65534"] * 4  # nobody
            assert fields["Groups"] == []
            assert fields["CapBnd"] == ["0" * 16]
        for capabilities in ("CapInh", "CapPrm", "CapEff", "CapAmb"):
            assert fields[capabilities] == ["0" * 16], capabilities
        worker_limits = limits(pid)
        assert worker_limits["Max open files"] == "48"
        assert worker_limits["Max core file size"] == "0"
        # What it inherited (from the zygote) plus 32 MiB.
        parent_size = int(status_fields(server.zygote())["VmSize"][0]) * 1024
        address_space = int(worker_limits["Max address space"])
        assert parent_size < address_space <= parent_size + (32 << 20) + (16 << 20)
        assert int(status_fields(server.pid)["Seccomp"][0]) == 0  # the server is not confined
    finally:
        client.close()


def test_a_forbidden_call_kills_only_its_worker(start_server, make_client, monkeypatch):
    monkeypatch.setenv(FORBIDDEN_CALL, "1")
    server = start_server()
    monkeypatch.delenv(FORBIDDEN_CALL)
    mark = server.mark()
    for _ in range(3):
        client = socket.create_connection(("127.0.0.1", server.proxy_port), timeout=5)
        client.sendall(b"G")  # a worker is forked once its client has sent something
        client.settimeout(10)
        try:
            # The worker died; its end of the connection closed (reset: "G" was never read).
            assert client.recv(1) == b""
        except ConnectionResetError:
            pass
        client.close()
    server.wait_for_log("was killed for a forbidden system call (SIGSYS)", level="WARN",
                        since=mark, count=3)
    # The server goes on: it registers a gateway and has no worker left behind.
    assert make_client(server=server).register() == bytes([ACCEPT])
    assert wait_until(lambda: server.children() == [])
    assert server.proc.poll() is None


def test_a_forbidden_call_kills_a_recording_worker_once_its_framework_is_loaded(
        start_server, make_client, monkeypatch):
    monkeypatch.setenv(FORBIDDEN_CALL, "1")
    server = start_server()
    monkeypatch.delenv(FORBIDDEN_CALL)
    client = make_client(server=server)
    assert client.register() == bytes([ACCEPT])
    mac = client.mac_key.replace(":", "")
    with ControlClient.connect(("127.0.0.1", server.ctrl_port)) as control:
        # The RTSP path loads its framework and confines itself at once, camera or not.
        control.start(mac, "198.18.0.10", 554, "u", "p", "h264", "/dev/null", "H264")
        assert control.read_line().endswith(":RECORDING")
        server.wait_for_log("was killed for a forbidden system call (SIGSYS)", level="WARN")
        assert control.read_line(timeout=10).endswith(":STOPPED")
    assert wait_until(lambda: server.children() == [])
    assert server.proc.poll() is None
