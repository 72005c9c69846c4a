"""tamblo-gateway with two servers in its --server list and no directory between them: the
first dies with SIGKILL, the gateway's keepalives go unanswered, it moves to the second,
registers there (version 1 or 2, as configured) and the relay through the second works."""

import os

import pytest

from tamblo_device import payload_digest
from tamblo_netns import GATEWAY_PORT, REST_PORT, netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options, sha256_file, version2_args

MIB = 1 << 20
SECOND_GC_PORT = 18301
ACCEPTED = r"Accepted (authenticated )?UDP session from GC "


def plain(workdir):
    return [], ["-v"]


def keyed(workdir):
    return [], ["--encrypt", "-v"]


def version2(workdir):
    import tamblo_noise
    keys = tamblo_noise.keypair()
    return version2_args(workdir, keys, keys)


@pytest.mark.parametrize("registration", [plain, keyed, version2])
def test_a_killed_server_hands_its_gateway_to_the_next_one(netns, tun_available, registration):
    server_args, gateway_args = registration(netns.workdir)
    world = RelayWorld(netns, server_args=server_args, gateway_args=gateway_args + [
        "--server", "127.0.0.1:%d,127.0.0.1:%d" % (GATEWAY_PORT, SECOND_GC_PORT),
        "--keepalive-interval", "1"])
    try:
        second = netns.start_server(label="second", gc_port=SECOND_GC_PORT, ctrl_port=18501,
                                    proxy_port=11444, rest_port=REST_PORT,
                                    extra_args=server_args)
        assert world.curl("/bytes/1000", options())[:2] == (0, "200")

        world.server.kill()
        # Two keepalives unanswered (1 s each), then the move: well within the deadline.
        world.gateway.log.wait_for(r"moved to server 127\.0\.0\.1:%d" % SECOND_GC_PORT,
                                   timeout=15)
        second.log.wait_for(ACCEPTED + world.gateway.mac, timeout=15)
        world.gateway.log.wait_for(r"re-registered with 127\.0\.0\.1:%d" % SECOND_GC_PORT)

        world.server = second  # the client asks the second server from now on
        target = os.path.join(netns.workdir, "download")
        code, status, _ = world.curl("/bytes/%d" % (4 * MIB), options(), output=target,
                                     timeout=60)
        assert (code, status) == (0, "200")
        assert sha256_file(target) == payload_digest(4 * MIB)
        counters = world.gateway.counters()
        assert counters["server_moves"] == 1 and counters["associations_lost"] == 1
    finally:
        world.close()
