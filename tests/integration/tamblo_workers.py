"""Proxy connections that keep a worker alive, for tests of workers' lives.

The server forks a connection's worker only once its client has sent bytes, and a request
without relay options ends its worker at once. A worker that stays needs a target: here the
reference configuration service names a device behind a gateway played by the test, which
answers every SYN with a SYN-ACK and then stays silent. So each worker holds an open tunnelled
connection with its request unacknowledged, and lives until its client goes (or its keepalive
time-out passes); after the first lookup the session is cached.

    clients = HeldWorkers(server)          # a running tamblo_server.ServerProcess
    sockets = clients.connect(20)          # 20 connections, each with its own worker
    clients.close()
"""

import json
import os
import socket
import subprocess
import threading

from tamblo_gc import (TCP_ACK, TCP_SYN, TCPOVERUDP, GatewayClient, build_tcp_over_udp,
                       build_tcp_segment, parse_tcp_over_udp, parse_tcp_segment)
from tamblo_server import BUILD_DIR, listening_tcp_ports, wait_until

CONFIG_SERVICE = os.path.join(BUILD_DIR, "tamblo-config-service")
MAC = "02:00:5E:30:00:01"
REQUEST = "GET /?JSESSIONID=%s,GC_ID=7,LD_ID=12 HTTP/1.1\r\nHost: device\r\n\r\n"


class HeldWorkers:
    def __init__(self, server, session="held"):
        self.server = server
        self.request = (REQUEST % session).encode()
        # Wide enough for a local port per worker.
        self.gateway = GatewayClient(server.gc_address, MAC, port_start=20000, port_end=40000)
        assert self.gateway.register() is not None, "the gateway was not accepted"
        config = os.path.join(server.workdir, "held-workers.json")
        with open(config, "w") as handle:
            json.dump({"gateways": [{"id": 7, "serialNumber": MAC, "sessions": [session],
                                     "devices": [{"id": 12, "ipAddress": "198.18.0.10",
                                                  "port": 80}]}]}, handle)
        self.rest = subprocess.Popen(
            [CONFIG_SERVICE, "--config", config, "--port", str(server.rest_port),
             "--log", os.path.join(server.workdir, "held-workers-rest.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: server.rest_port in listening_tcp_ports(), 10), \
            "configuration service not listening"
        self._stop = threading.Event()
        self._device = threading.Thread(target=self._answer_syns, daemon=True)
        self._device.start()

    def _answer_syns(self):
        while not self._stop.is_set():
            datagram = self.gateway.recv(timeout=0.2)
            if not datagram or datagram[0] != TCPOVERUDP:
                continue
            device, raw = parse_tcp_over_udp(datagram)
            segment = parse_tcp_segment(raw)
            if segment.flags & (TCP_SYN | TCP_ACK) == TCP_SYN:
                answer = build_tcp_segment(segment.dst_port, segment.src_port, seq=1,
                                           ack=segment.seq + 1, flags=TCP_SYN | TCP_ACK)
                self.gateway.send(build_tcp_over_udp(device, answer))

    def connect(self, count, source="127.0.0.1"):
        """count connections to the proxy port that have sent their request."""
        clients = []
        for _ in range(count):
            client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            client.settimeout(5)
            client.bind((source, 0))
            client.connect(("127.0.0.1", self.server.proxy_port))
            client.sendall(self.request)
            clients.append(client)
        return clients

    def close(self):
        self._stop.set()
        self._device.join(timeout=10)
        self.rest.kill()
        self.rest.wait(timeout=10)
        self.gateway.close()
