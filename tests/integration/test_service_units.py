"""The systemd units pass `systemd-analyze verify` (where that tool exists): keys, values and
the programs they start, which are pointed at the built ones for the check."""

import os
import shutil
import subprocess

import pytest

from tamblo_server import BUILD_DIR

SOURCE_DIR = os.environ.get("TAMBLO_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(__file__))))
UNITS = ["tamblo-server.service", "tamblo-gateway.service", "tamblo-config-service.service"]
INSTALLED = {"/usr/sbin/TambloServer": "TambloServer",
             "/usr/bin/tamblo-gateway": "tamblo-gateway",
             "/usr/bin/tamblo-config-service": "tamblo-config-service"}


@pytest.mark.parametrize("unit", UNITS)
def test_unit_passes_systemd_analyze_verify(unit, tmp_path):
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed")
    with open(os.path.join(SOURCE_DIR, "systemd", unit)) as handle:
        text = handle.read()
    for installed, built in INSTALLED.items():
        text = text.replace(installed, os.path.join(BUILD_DIR, built))
    (tmp_path / unit).write_text(text)
    result = subprocess.run(["systemd-analyze", "verify", str(tmp_path / unit)],
                            capture_output=True, text=True, timeout=60)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    # Unknown keys and bad values are only warnings: none may name the unit.
    assert unit not in output, output
