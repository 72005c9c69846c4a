"""The Debian packages of `make package`, built once from the normal build (CPack reuses its
binaries): their files, conffiles, maintainer scripts and dependencies, whether the archive
can satisfy those, and a server started from the files of the package unpacked in a
throwaway root. ctest label "package" (ctest -LE package leaves it out)."""

import glob
import io
import os
import re
import shlex
import socket
import subprocess
import tarfile

import pytest

import tamblo_metrics
from tamblo_server import BUILD_DIR, ServerProcess, free_port

SOURCE_DIR = os.environ.get("TAMBLO_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(__file__))))

SERVER_FILES = {
    "/usr/sbin/TambloServer", "/usr/sbin/tamblo-zygote", "/usr/bin/tamblo-config-service",
    "/usr/bin/tamblo-keygen",
    "/usr/bin/tamblo-directory-schema",
    "/lib/systemd/system/tamblo-server.service",
    "/lib/systemd/system/tamblo-config-service.service",
    "/etc/tamblo/TambloServer_log.conf", "/etc/tamblo/config-service.json",
    "/etc/default/tamblo-server", "/etc/logrotate.d/tamblo-server",
    "/usr/share/doc/tamblo-server/README.md",
}
GATEWAY_FILES = {
    "/usr/bin/tamblo-gateway", "/lib/systemd/system/tamblo-gateway.service",
    "/etc/default/tamblo-gateway", "/usr/share/doc/tamblo-gateway/README.md",
}
SERVER_LIBRARIES = ["libev4", "liblog4cplus", "libmicrohttpd12", "libjsoncpp25", "libevhtp0",
                    "libssl3", "libpq5", "libc6"]


def project_version():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as handle:
        return re.search(r"project\(TambloServer VERSION (\S+)", handle.read()).group(1)


def run(argv, text=True, **options):
    return subprocess.run(argv, capture_output=True, text=text, timeout=300, check=True,
                          **options)


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """{"server": path, "gateway": path} of the packages built into a temporary folder."""
    out = tmp_path_factory.mktemp("packages")
    run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
         "-B", str(out)], cwd=str(out))
    debs = sorted(glob.glob(str(out / "*.deb")))
    version = project_version()
    names = [os.path.basename(path) for path in debs]
    assert names == ["tamblo-gateway_%s-1_amd64.deb" % version,
                     "tamblo-server_%s-1_amd64.deb" % version]
    return {"gateway": debs[0], "server": debs[1]}


def files_of(deb):
    listing = run(["dpkg-deb", "--fsys-tarfile", deb], text=False).stdout
    with tarfile.open(fileobj=io.BytesIO(listing)) as archive:
        return {member.name[1:]: member for member in archive.getmembers()
                if member.isfile()}


def control_members(deb):
    data = run(["dpkg-deb", "--ctrl-tarfile", deb], text=False).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        return {os.path.basename(m.name): (m, archive.extractfile(m).read().decode())
                for m in archive.getmembers() if m.isfile()}


def field(deb, name):
    return run(["dpkg-deb", "-f", deb, name]).stdout.strip()


@pytest.mark.parametrize("kind, expected", [("server", SERVER_FILES), ("gateway", GATEWAY_FILES)])
def test_package_files_conffiles_and_scripts(packages, kind, expected):
    deb = packages[kind]
    files = files_of(deb)
    assert set(files) == expected
    for program in ("/usr/sbin/TambloServer", "/usr/sbin/tamblo-zygote", "/usr/bin/tamblo-gateway",
                    "/usr/bin/tamblo-keygen"):
        if program in files:
            assert files[program].mode & 0o111
    control = control_members(deb)
    # Everything under /etc is a conffile, so local changes survive upgrades.
    assert set(control["conffiles"][1].split()) == {f for f in files if f.startswith("/etc/")}
    for script in ("postinst", "prerm", "postrm"):
        member, text = control[script]
        assert member.mode & 0o755 == 0o755
        subprocess.run(["sh", "-n"], input=text, text=True, check=True, timeout=10)
    assert field(deb, "Version") == project_version() + "-1"


def test_package_dependencies(packages):
    server = field(packages["server"], "Depends")
    for name in SERVER_LIBRARIES + ["adduser", "python3", "init-system-helpers"]:
        assert name in server, server
    gateway = field(packages["gateway"], "Depends")
    assert "libmicrohttpd" not in gateway and "libc6" in gateway, gateway
    # The archive can satisfy every dependency (a dry run of apt against its lists).
    if not glob.glob("/var/lib/apt/lists/*_Packages*"):
        pytest.skip("no package lists to resolve against")
    result = subprocess.run(["apt-get", "install", "-s", "-q", packages["server"],
                             packages["gateway"]], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"^Inst tamblo-server ", result.stdout, re.M), result.stdout


@pytest.fixture(scope="module")
def installed(packages, tmp_path_factory):
    """Both packages unpacked into a throwaway root."""
    root = tmp_path_factory.mktemp("root")
    for deb in packages.values():
        run(["dpkg-deb", "-x", deb, str(root)])
    return str(root)


def test_server_starts_as_its_unit_starts_it(installed, tmp_path, monkeypatch):
    """The unit's ExecStart, with $TAMBLO_SERVER_OPTIONS from its EnvironmentFile, run from the
    unpacked files; the metrics port and the state directory are moved to the test's."""
    with open(installed + "/lib/systemd/system/tamblo-server.service") as handle:
        unit = handle.read()
    assert "EnvironmentFile=-/etc/default/tamblo-server" in unit
    binary, *arguments = re.search(r"^ExecStart=(.*)$", unit, re.M).group(1).split()
    with open(installed + "/etc/default/tamblo-server") as handle:
        options = shlex.split(re.search(r"^TAMBLO_SERVER_OPTIONS=(.*)$", handle.read(),
                                        re.M).group(1))[0].split()
    assert arguments.pop() == "$TAMBLO_SERVER_OPTIONS"
    arguments = [a.replace("=/etc/", "=%s/etc/" % installed) for a in arguments]
    # The package's postinst makes the workers' user; this machine has nobody instead.
    assert "--worker-user=tamblo-worker" in arguments
    arguments = ["--worker-user=nobody" if a == "--worker-user=tamblo-worker" else a
                 for a in arguments]
    metrics_port = free_port(socket.SOCK_STREAM)
    options = [o for o in options if not o.startswith(("--metrics-address=", "--recordings-dir="))]
    options += ["--metrics-address=127.0.0.1:%d" % metrics_port, "--recordings-dir=%s" % tmp_path]

    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(tmp_path / "notify"))
    notify.settimeout(10)
    monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))
    server = ServerProcess(arguments + options, binary=installed + binary, workdir=str(tmp_path))
    try:
        server.start()
        assert notify.recv(256).startswith(b"READY=1")
        samples = tamblo_metrics.scrape(metrics_port)
        assert samples['tamblo_build_info{version="%s"}' % project_version()] == 1
        assert server.stop() == 0
    finally:
        server.close()
        notify.close()
    # The packaged configuration logs to standard output (the journal under systemd).
    assert "*** TambloServer starting" in server.stdout()
    assert "*** TambloServer exiting" in server.stdout()


def test_gateway_tool_runs_from_the_installed_files(installed):
    result = subprocess.run([installed + "/usr/bin/tamblo-gateway", "--help"],
                            capture_output=True, text=True, timeout=10)
    assert result.returncode == 0 and "--server ADDR" in result.stdout
