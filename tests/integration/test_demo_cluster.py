"""make demo-cluster's script as a test: three servers in namespaces of their own, each with a
gateway and a device, one private PostgreSQL, and every device reached from every server."""

import os
import subprocess
import sys

import pytest

import tamblo_postgres
from tamblo_netns import unavailable_reason

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo-cluster")


def test_every_device_from_every_server():
    reason = unavailable_reason() or tamblo_postgres.unavailable_reason()
    if reason or not os.path.exists("/dev/net/tun"):
        pytest.skip(reason or "no /dev/net/tun")
    result = subprocess.run([sys.executable, SCRIPT], capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert "9 of 9 pages" in result.stdout
