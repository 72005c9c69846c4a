"""tamblo-gateway with the authenticated registration: the real server with its key and the
gateway's key pinned, the real gateway with --key-file and --server-public-key, and the relay
through its TUN device; a gateway whose key is not the pinned one gets no registration."""

import base64
import os

import tamblo_noise
from tamblo_device import payload_digest
from tamblo_netns import DEFAULT_MAC, netns, tun_available, wait_until  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options, sha256_file

MIB = 1 << 20


def key_files(workdir, gateway_keys, pinned_keys):
    """(server args, gateway args): the gateway holds gateway_keys, the server pins pinned_keys
    for DEFAULT_MAC."""
    server_keys = tamblo_noise.keypair()
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


def test_64_mib_both_ways_through_a_version2_gateway(netns, tun_available):
    keys = tamblo_noise.keypair()
    server_args, gateway_args = key_files(netns.workdir, keys, keys)
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
    server_args, gateway_args = key_files(netns.workdir, tamblo_noise.keypair(),
                                          tamblo_noise.keypair())
    server = netns.start_server(extra_args=server_args)
    gateway = netns.start_gateway(*gateway_args)
    server.log.wait_for(r"for GC %s not answered: another key is pinned for it" % DEFAULT_MAC,
                        timeout=30)
    wait_until(lambda: gateway.counters().get("registrations", 0) >= 2, 30,
               what="a second handshake attempt")
    assert gateway.counters()["accepts"] == 0
