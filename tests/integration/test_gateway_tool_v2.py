"""tamblo-gateway with the authenticated registration: the real server with its key and the
gateway's key pinned, the real gateway with --key-file and --server-public-key, and the relay
through its TUN device; keys renewed in the middle of transfers; cookie replies of a server
under load; a gateway whose key is not the pinned one gets no registration."""

import base64
import os
import socket
import subprocess
import threading
import time

import pytest

import tamblo_noise
from tamblo_device import payload_digest
from tamblo_netns import (DEFAULT_MAC, FAKETIME_LIBRARY, GATEWAY_BINARY, netns,  # noqa: F401
                          tun_available, wait_until)
from tamblo_relay import RelayWorld, options, sha256_file, version2_args

MIB = 1 << 20


def test_64_mib_both_ways_through_a_version2_gateway(netns, tun_available):
    keys = tamblo_noise.keypair()
    server_args, gateway_args = version2_args(netns.workdir, keys, keys)
    world = RelayWorld(netns, server_args=server_args, gateway_args=gateway_args)
    try:
        world.gateway.log.wait_for(r"registered with .* \(version 2, datagrams sealed\)")
        target = os.path.join(netns.workdir, "download")
        code, status, _ = world.curl("/bytes/%d" % (64 * MIB), options(), output=target,
                                     timeout=120)
        assert (code, status) == (0, "200")
        assert sha256_file(target) == payload_digest(64 * MIB)
        upload = os.path.join(netns.workdir, "upload")
        with open(upload, "wb") as handle:
            handle.write(os.urandom(64 * MIB))
        code, status, body = world.curl("/upload", options(), data_file=upload, timeout=120)
        assert (code, status) == (0, "200")
        assert body.decode() == sha256_file(upload)
        counters = world.gateway.counters()
        assert counters["plaintext_refused"] == 0 and counters["undecryptable"] == 0
    finally:
        world.close()


def test_a_key_that_is_not_pinned_gets_no_registration(netns, tun_available):
    server_args, gateway_args = version2_args(netns.workdir, tamblo_noise.keypair(),
                                          tamblo_noise.keypair())
    server = netns.start_server(extra_args=server_args)
    gateway = netns.start_gateway(*gateway_args)
    server.log.wait_for(r"for GC %s not answered: another key is pinned for it" % DEFAULT_MAC,
                        timeout=30)
    wait_until(lambda: gateway.counters().get("registrations", 0) >= 2, 30,
               what="a second handshake attempt")
    assert gateway.counters()["accepts"] == 0


class GatewayClock:
    """The gateway's clocks (wall and monotonic) under libfaketime, moved on by jump()."""

    def __init__(self, workdir):
        self.path = os.path.join(workdir, "gateway-clock")
        self.offset = 0
        self._write()
        self.wrapper = ["env", "LD_PRELOAD=" + FAKETIME_LIBRARY,
                        "FAKETIME_TIMESTAMP_FILE=" + self.path, "FAKETIME_NO_CACHE=1"]

    def _write(self):
        with open(self.path + ".new", "w") as handle:
            handle.write("%+d\n" % self.offset)
        os.replace(self.path + ".new", self.path)

    def jump(self, seconds):
        self.offset += seconds
        self._write()


def test_keys_are_renewed_in_the_middle_of_transfers(netns, tun_available):
    """The gateway's clock jumps past the keys' two minutes while a download runs, and again
    while an upload runs: each time it makes new keys with a handshake of its own (its
    keepalives are ten minutes apart, so nothing else asks for one), keeps opening what was
    sealed with the old keys, and both transfers arrive intact."""
    if not os.path.exists(FAKETIME_LIBRARY):
        pytest.skip("libfaketime is missing")
    clock = GatewayClock(netns.workdir)
    keys = tamblo_noise.keypair()
    server_args, gateway_args = version2_args(netns.workdir, keys, keys)
    world = RelayWorld(netns, server_args=server_args,
                       gateway_args=gateway_args + ["--keepalive-interval", "600"],
                       gateway_options={"wrapper": clock.wrapper})
    size = 32 * MIB
    upload = os.path.join(netns.workdir, "upload")
    with open(upload, "wb") as handle:
        handle.write(os.urandom(size))
    # (name, curl's arguments, the gateway's counter that moves with the data, digest); curl
    # takes its time, so that the clock jumps while data flows.
    transfers = [
        ("download", {"output": os.path.join(netns.workdir, "download")}, "datagrams_out",
         payload_digest(size)),
        ("upload", {"data_file": upload}, "segments_to_tun", sha256_file(upload)),
    ]
    try:
        for renewals, (name, arguments, counter, digest) in enumerate(transfers, start=1):
            path = "/bytes/%d" % size if name == "download" else "/upload"
            answer = {}
            thread = threading.Thread(target=lambda: answer.update(result=world.curl(
                path, options(), timeout=120, extra=["--limit-rate", "8M"], **arguments)))
            before = world.gateway.counters()[counter]
            thread.start()
            # A quarter of the way, the keys grow two minutes and a bit older.
            wait_until(lambda: world.gateway.counters()[counter] > before + size // 1398 // 4,
                       30, what="the %s under way" % name)
            clock.jump(125)
            # The loop sleeps until its deadline in real time, which the jump does not move:
            # the counters' signal wakes it where the timer would have.
            wait_until(lambda: world.gateway.counters()["rekeys"] >= renewals, 30,
                       what="new keys during the %s" % name)
            world.gateway.log.wait_for(r"keys renewed with 127\.0\.0\.1:8300", count=renewals)
            thread.join(130)
            assert not thread.is_alive()
            code, status, body = answer["result"]
            assert (code, status) == (0, "200"), name
            received = sha256_file(arguments["output"]) if name == "download" else body.decode()
            assert received == digest, name
        counters = world.gateway.counters()
        assert counters["rekeys"] == 2 and counters["registrations"] == 1
        assert counters["associations_lost"] == 0 and counters["undecryptable"] == 0
    finally:
        world.close()


def test_keys_that_do_not_do_stop_the_gateway_before_it_starts(tmp_path):
    """Exit status 1 and the reason, before any TUN device or datagram."""
    key = base64.b64encode(tamblo_noise.keypair().private.data).decode()
    public = base64.b64encode(tamblo_noise.keypair().public.data).decode()
    cases = [
        # (key file text, its mode, --server-public-key, what the error names)
        (key, 0o644, public, "accessible to others"),
        (key, 0o600, "not-a-key", "neither a base64 key nor a readable file"),
        ("not base64", 0o600, public, "gateway.key"),
        (key, 0o600, str(tmp_path / "empty.pub"), "no base64 public key"),
    ]
    (tmp_path / "empty.pub").write_text("# nothing but a comment\n")
    for text, mode, server_public, named in cases:
        path = tmp_path / "gateway.key"
        path.write_text(text + "\n")
        os.chmod(path, mode)
        result = subprocess.run(
            [GATEWAY_BINARY, "--server", "127.0.0.1", "--mac", DEFAULT_MAC, "--tun", "tamblo-none",
             "--key-file", str(path), "--server-public-key", server_public],
            capture_output=True, text=True, timeout=10)
        assert result.returncode == 1, (named, result.stderr)
        assert named in result.stderr, result.stderr


class HandshakeFlood:
    """Initiations with a valid mac1 from a socket of their own, two every 10 ms for at most
    20 s: the server counts them against --handshakes-per-second and, above it, answers every
    initiation without mac2 with a cookie reply."""

    def __init__(self, netns, server_public):
        noise = tamblo_noise.Gateway(server_public)
        self.initiation = noise.initiation(1, tamblo_noise.encode_payload("flood"))
        self.sock = netns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.connect(("127.0.0.1", 8300))
        self.stopping = threading.Event()
        self.flooding = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()
        # The server is under load before the gateway's first initiation can arrive.
        assert self.flooding.wait(10), "the flood did not start"

    def _run(self):
        deadline = time.monotonic() + 20
        for sent in range(2000):
            self.sock.send(self.initiation)
            self.sock.send(self.initiation)
            if sent == 4:
                self.flooding.set()
            if self.stopping.wait(0.01) or time.monotonic() > deadline:
                break

    def stop(self):
        self.stopping.set()
        self.thread.join(5)
        self.sock.close()


def test_under_load_the_gateway_answers_with_the_cookie_and_stays(netns, tun_available):
    """Its first initiation gets a cookie reply; it sends the initiation again with mac2 and is
    answered, without moving on to the next (dead) server of its list."""
    server_keys, keys = tamblo_noise.keypair(), tamblo_noise.keypair()
    server_args, gateway_args = version2_args(netns.workdir, keys, keys, server_keys)
    server = netns.start_server(extra_args=server_args + ["--handshakes-per-second=1"])
    flood = HandshakeFlood(netns, server_keys.public.data)
    try:
        gateway = netns.start_gateway(*gateway_args, "--server", "127.0.0.1:8300,127.0.0.1:18301")
        server.log.wait_for(r"Accepted authenticated UDP session from GC " + DEFAULT_MAC,
                            timeout=15)
        gateway.log.wait_for(r"registered with 127\.0\.0\.1:8300 \(version 2")
    finally:
        flood.stop()
    counters = gateway.counters()
    assert counters["cookie_replies"] >= 1
    assert counters["server_moves"] == 0 and counters["accepts"] == 1
