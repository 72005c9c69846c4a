"""Scraping the server's metrics endpoint in tests: one GET /metrics over a socket that the
caller makes (so it works inside a namespace too), parsed into {"name{labels}": value}."""

import re
import socket
import time

_SAMPLE = re.compile(r"^([a-z_]+(?:\{[^}]*\})?) (\S+)$")


def parse(text):
    samples = {}
    for line in text.splitlines():
        if line.startswith("#") or not line:
            continue
        match = _SAMPLE.match(line)
        assert match, "not a sample line: %r" % line
        samples[match.group(1)] = float(match.group(2))
    return samples


def get(port, path="/metrics", make_socket=None, timeout=5.0):
    """(status code, headers text, body text) of one request to 127.0.0.1:port."""
    sock = make_socket() if make_socket else socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    with sock:
        sock.settimeout(timeout)
        sock.connect(("127.0.0.1", port))
        sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                      % path).encode())
        data = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    return status, head.decode("latin-1"), body.decode()


def scrape(port, make_socket=None):
    status, head, body = get(port, make_socket=make_socket)
    assert status == 200, head
    assert "text/plain; version=0.0.4" in head
    return parse(body)


def wait_for_metric(port, name, predicate, make_socket=None, timeout=10.0):
    """Scrapes until predicate(value of name) holds; returns the last samples. A name with
    no labels and no sample of its own stands for the sum of its labelled samples."""
    deadline = time.monotonic() + timeout
    while True:
        samples = scrape(port, make_socket)
        value = samples.get(name)
        if value is None:
            value = sum(v for k, v in samples.items() if k.startswith(name + "_total{")
                        or k.startswith(name + "{"))
        if predicate(value):
            return samples
        if time.monotonic() > deadline:
            raise AssertionError("%s is %r after %.0f s" % (name, samples.get(name), timeout))
        time.sleep(0.05)
