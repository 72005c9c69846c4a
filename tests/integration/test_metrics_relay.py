"""The metrics endpoint during relays in a namespace: the worker, cache, lookup, tunnel and
relayed-byte counters move as the requests go through, for plain and encrypted gateways."""

import socket

import pytest

import tamblo_metrics
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options

METRICS_PORT = 9466  # inside the test's own namespace


def exits(samples):
    return sum(v for k, v in samples.items() if k.startswith("tamblo_worker_exits_total{"))


@pytest.mark.parametrize("encrypt", [False, True], ids=["plain", "encrypted"])
def test_counters_follow_relayed_requests(netns, tun_available, encrypt):
    # No spare worker: the workers started are the requests' own.
    relay = RelayWorld(netns, encrypt=encrypt,
                       server_args=["--metrics-address=127.0.0.1:%d" % METRICS_PORT,
                                    "--spare-workers=0"])

    def in_namespace():
        return netns.socket(socket.AF_INET, socket.SOCK_STREAM)

    def scrape():
        return tamblo_metrics.scrape(METRICS_PORT, make_socket=in_namespace)

    try:
        before = scrape()
        body_size = 200000
        assert relay.curl("/bytes/%d" % body_size, options())[:2] == (0, "200")  # looked up
        assert relay.curl("/whoami", options())[2] == b"a"                       # from the cache
        # Both workers end after their answer; a worker that said it has finished may be
        # reaped after a SIGTERM from the parent, so the exit is counted by status or signal.
        after = tamblo_metrics.wait_for_metric(
            METRICS_PORT, "tamblo_worker_exits", lambda v: v >= exits(before) + 2,
            make_socket=in_namespace)

        def moved(name):
            return after.get(name, 0) - before.get(name, 0)

        assert exits(after) == exits(before) + 2

        kind = "keyed" if encrypt else "plain"
        assert after['tamblo_gateway_clients{kind="%s"}' % kind] == 1
        assert moved('tamblo_workers_started_total{kind="proxy"}') == 2
        assert after['tamblo_workers{kind="proxy"}'] == 0
        assert moved('tamblo_session_cache_lookups_total{result="miss"}') == 1
        assert moved('tamblo_session_cache_lookups_total{result="hit"}') == 1
        assert moved('tamblo_configuration_lookups_total{result="answered"}') == 1
        assert moved('tamblo_configuration_lookups_total{result="refused"}') == 0
        # The device's answer crossed the parent as tunnel packets (TCP headers included);
        # the requests and the ACKs went the other way.
        assert moved('tamblo_relayed_bytes_total{direction="from_devices"}') > body_size
        assert moved('tamblo_relayed_bytes_total{direction="to_devices"}') > 0
        assert moved('tamblo_gateway_bytes_received_total{kind="tunnel"}') > body_size
        assert moved('tamblo_gateway_datagrams_sent_total{kind="tunnel"}') > 0
        assert moved('tamblo_gateway_datagrams_received_total{kind="unknown"}') == 0
    finally:
        relay.close()
