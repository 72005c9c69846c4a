"""Requests through the whole relay arrive intact, small and large, both ways, with plain and
encrypting gateways."""

import os

import pytest

from tamblo_device import payload_digest
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options, plain_relay, relay, sha256_file  # noqa: F401

MIB = 1 << 20


def test_small_pages(relay):
    for size in (0, 1, 1397, 1398, 1399, 65536, 200000):
        code, status, body = relay.curl("/bytes/%d" % size, options())
        assert (code, status) == (0, "200"), size
        assert len(body) == size
    # The request reached the device unchanged, relay options included.
    method, path, headers = relay.devices["a"].requests[-1]
    assert (method, path) == ("GET", "/bytes/200000?" + options())


def carries_64_mib_both_ways(relay):
    target = os.path.join(relay.netns.workdir, "download")
    code, status, _ = relay.curl("/bytes/%d" % (64 * MIB), options(), output=target, timeout=120)
    assert (code, status) == (0, "200")
    assert os.path.getsize(target) == 64 * MIB
    assert sha256_file(target) == payload_digest(64 * MIB)

    upload = os.path.join(relay.netns.workdir, "upload")
    with open(upload, "wb") as handle:
        handle.write(os.urandom(64 * MIB))
    code, status, body = relay.curl("/upload", options(), data_file=upload, timeout=120)
    assert (code, status) == (0, "200")
    assert body.decode() == sha256_file(upload)


def test_64_mib_download_and_upload(relay):
    # The gateway tool gathers the server's segments into large TUN packets and cuts the
    # large ones it reads into segments, where the kernel offers the offloads.
    carries_64_mib_both_ways(relay)


def test_64_mib_download_and_upload_one_segment_at_a_time(netns, tun_available):
    relay = RelayWorld(netns, gateway_args=["-v", "--no-offload"])
    try:
        assert relay.gateway_offloads() == "off"
        carries_64_mib_both_ways(relay)
    finally:
        relay.close()


def test_16_mib_post_upload(relay):
    upload = os.path.join(relay.netns.workdir, "upload16")
    with open(upload, "wb") as handle:
        handle.write(os.urandom(16 * MIB))
    code, status, body = relay.curl("/upload", options(), data_file=upload, timeout=120)
    assert (code, status) == (0, "200")
    assert body.decode() == sha256_file(upload)
