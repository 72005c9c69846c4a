"""The whole relay in one network namespace, for end-to-end tests and benchmarks.

    client (curl / socket) -> proxy port -> TambloServer -> worker -> tunnel -> tamblo-gateway
        -> TUN -> LAN devices on 198.18.0.x  (configuration service on 127.0.0.1:8080)

Configuration known to the configuration service (session "abc" everywhere):
    gateway 7  = the running tamblo-gateway (MAC DEFAULT_MAC)
        device 12 -> 198.18.0.10:80  (HTTP device "a"; also "a-verify" on port 4848)
        device 13 -> 198.18.0.11:80  (HTTP device "b")
        device 14 -> 198.18.0.12:81  (nothing listens: the device refuses)
        device 15 -> 198.19.7.7:80   (no such host: SYNs vanish)
        further devices of gateway 7 as the caller adds them (extra_devices)
    gateway 8  = a gateway that never registered
        device 16 -> 198.18.0.10:80
    gateway 9  = status "DISABLED"
"""

import base64
import hashlib
import json
import os
import shlex
import socket
import time

import pytest

from tamblo_device import Device
from tamblo_server import worker_pids
from tamblo_netns import DEFAULT_MAC, REST_PORT, BUILD_DIR, wait_until

CONFIG_SERVICE = os.path.join(BUILD_DIR, "tamblo-config-service")
SESSION = "abc"
DEVICE_A = "198.18.0.10"
DEVICE_B = "198.18.0.11"
UNREGISTERED_MAC = "02:00:5E:10:00:99"


def configuration(extra_devices=()):
    """extra_devices: (id, address, port) of further devices behind gateway 7."""
    return {"gateways": [
        {"id": 7, "serialNumber": DEFAULT_MAC, "sessions": [SESSION], "devices": [
            {"id": 12, "ipAddress": DEVICE_A, "port": 80},
            {"id": 13, "ipAddress": DEVICE_B, "port": 80},
            {"id": 14, "ipAddress": "198.18.0.12", "port": 81},
            {"id": 15, "ipAddress": "198.19.7.7", "port": 80}] + [
            {"id": ld, "ipAddress": address, "port": port}
            for ld, address, port in extra_devices]},
        {"id": 8, "serialNumber": UNREGISTERED_MAC, "sessions": [SESSION], "devices": [
            {"id": 16, "ipAddress": DEVICE_A, "port": 80}]},
        {"id": 9, "serialNumber": "02:00:5E:10:00:09", "status": "DISABLED",
         "sessions": [SESSION]}]}


def options(ld=12, session=SESSION, gc=7, extra=""):
    """Relay options as a query string or cookie value."""
    text = "JSESSIONID=%s,GC_ID=%s" % (session, gc)
    if ld is not None:
        text += ",LD_ID=%s" % ld
    return text + extra


def version2_args(workdir, gateway_keys, pinned_keys, server_keys=None):
    """(server args, gateway args) for the version 2 registration: the gateway holds
    gateway_keys, the server pins pinned_keys for DEFAULT_MAC and requires version 2. Servers
    that are to take the same gateway pass the same server_keys."""
    import tamblo_noise  # python3-dissononce: only the version 2 tests need it
    server_keys = server_keys or tamblo_noise.keypair()
    paths = {}
    for name, text in (("server.key", base64.b64encode(server_keys.private.data)),
                       ("gateway.key", base64.b64encode(gateway_keys.private.data)),
                       ("gateways.keys", DEFAULT_MAC.encode() + b" " +
                        base64.b64encode(pinned_keys.public.data))):
        paths[name] = os.path.join(workdir, name)
        with open(paths[name], "wb") as handle:
            handle.write(text + b"\n")
        os.chmod(paths[name], 0o600)
    server_args = ["--server-key=" + paths["server.key"],
                   "--gateway-keys=" + paths["gateways.keys"], "--gateway-auth=required"]
    gateway_args = ["--key-file", paths["gateway.key"], "--server-public-key",
                    base64.b64encode(server_keys.public.data).decode(), "-v"]
    return server_args, gateway_args


class RelayWorld:
    """server_options go to Namespace.start_server (e.g. log_level="WARN" for benchmarks),
    gateway_options to Namespace.start_gateway;
    http_devices=False leaves the device addresses free for the caller's own listeners;
    extra_devices are added to the configuration (see configuration())."""

    def __init__(self, netns, encrypt=False, start_rest=True, gateway_args=(), server_args=(),
                 fake_time=False, server_options=None, http_devices=True, extra_devices=(),
                 gateway_options=None):
        self.netns = netns
        self.config_path = os.path.join(netns.workdir, "config.json")
        self.rest_log = os.path.join(netns.workdir, "rest.log")
        with open(self.config_path, "w") as handle:
            json.dump(configuration(extra_devices), handle)
        self.rest = self.start_rest() if start_rest else None
        self.server = netns.start_server(extra_args=server_args, fake_time=fake_time,
                                         **(server_options or {}))
        args = list(gateway_args) + (["--encrypt"] if encrypt else [])
        self.gateway = netns.start_gateway(*args, **(gateway_options or {}))
        if self.server.logs_info():
            self.server.log.wait_for(r"Accepted (authenticated )?UDP session from GC " + DEFAULT_MAC)
        else:
            # A quiet server does not log registrations: the gateway counts the acceptance.
            wait_until(lambda: self.gateway.counters().get("accepts", 0) >= 1,
                       what="the gateway's registration")
        self.devices = {}
        if http_devices:
            self.devices = {
                "a": self.device(DEVICE_A, 80, "a"),
                "a-verify": self.device(DEVICE_A, 4848, "a-verify"),
                "b": self.device(DEVICE_B, 80, "b"),
            }

    def start_rest(self):
        process = self.netns.spawn([CONFIG_SERVICE, "--config", self.config_path,
                                    "--port", str(REST_PORT), "--log", self.rest_log], "rest")
        wait_until(lambda: self._listening(REST_PORT), what="configuration service")
        return process

    def _listening(self, port):
        out = self.netns.run(["ss", "-Hltn", "sport = :%d" % port], check=False).stdout
        return out.strip() != ""

    def device(self, address, port, name, backlog=64):
        listener = self.netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, port))
        listener.listen(backlog)
        return Device(listener, name)

    def close(self):
        for device in self.devices.values():
            device.close()

    # --- clients -----------------------------------------------------------------------------

    def url(self, path, query=None):
        url = "http://127.0.0.1:%d%s" % (self.server.proxy_port, path)
        return url + ("?" + query if query else "")

    def curl(self, path, query=None, cookie=None, output=None, data_file=None, timeout=60,
             extra=()):
        """Runs curl in the namespace; returns (exit code, HTTP code, body bytes or None)."""
        argv = ["curl", "-s", "-m", str(timeout), "-w", "%{http_code}"]
        target = output or os.path.join(self.netns.workdir, "curl-body-%d" % time.monotonic_ns())
        argv += ["-o", target]
        if cookie:
            argv += ["-H", "Cookie: " + cookie]
        if data_file:
            argv += ["--data-binary", "@" + data_file, "-H", "Content-Type: application/octet-stream"]
        argv += list(extra)
        argv.append(self.url(path, query))
        result = self.netns.run(argv, timeout=timeout + 10, check=False)
        body = None
        if output is None and os.path.exists(target):
            with open(target, "rb") as handle:
                body = handle.read()
            os.unlink(target)
        return result.returncode, result.stdout.strip(), body

    def connect(self):
        """A TCP client of the proxy port inside the namespace."""
        client = self.netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        client.settimeout(30)
        client.connect(("127.0.0.1", self.server.proxy_port))
        return client

    def rest_requests(self):
        try:
            with open(self.rest_log) as handle:
                return [line.strip() for line in handle if line.strip()]
        except FileNotFoundError:
            return []

    def gateway_offloads(self):
        """"on" or "off": whether the gateway tool moves large packets through its TUN device."""
        return self.gateway.log.wait_for(r"offloads: TUN segmentation (on|off)")[-1]

    def worker_count(self):
        return len(worker_pids(self.server.pid))


def read_head(sock):
    """Reads until the blank line that ends an HTTP head; returns what was read, which lacks
    that line when the peer closed first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def read_http_answer(sock, timeout=30):
    """Reads one HTTP/1.1 answer with a Content-Length; returns (head text, body bytes)."""
    sock.settimeout(timeout)
    data = read_head(sock)
    if b"\r\n\r\n" not in data:
        raise ConnectionError("connection closed in the answer head: %r" % data)
    head, body = data.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("connection closed in the body")
        body += chunk
    return head.decode("latin-1"), body


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        while True:
            block = handle.read(1 << 20)
            if not block:
                return digest.hexdigest()
            digest.update(block)


@pytest.fixture(params=["plain", "encrypted"])
def relay(request, netns, tun_available):
    world = RelayWorld(netns, encrypt=request.param == "encrypted")
    yield world
    world.close()


@pytest.fixture
def plain_relay(netns, tun_available):
    world = RelayWorld(netns)
    yield world
    world.close()
