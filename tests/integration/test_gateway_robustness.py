"""The gateway socket under random and truncated datagrams: the server keeps serving."""

import random

from tamblo_gc import (ACCEPT, ACCEPTTLS, KEEPALIVERESP, MESSAGE_TYPES, build_connect_tls,
                       build_keepalive, wrap_encrypted)
import tamblo_crypto

KEEPALIVE_ANSWER = bytes([KEEPALIVERESP])
BATCH = 100  # datagrams between barriers, well below the socket's receive queue


def junk(rng: random.Random, first: int, length: int) -> bytes:
    return bytes([first]) + rng.randbytes(length - 1)


def truncated_valid(rng: random.Random, client) -> bytes:
    """A prefix of a well-formed datagram of a random kind."""
    kinds = [
        client.connect_datagram(custom_id=rng.choice([None, "junk-id"])),
        build_connect_tls(client.mac, tamblo_crypto.generate_keypair()[1],
                          custom_id=rng.choice([None, "x" * rng.randint(1, 60)])),
        build_keepalive(client.mac, rng.choice([None, "junk-id"])),
        bytes([255]) + rng.randbytes(rng.randint(4, 60)),
    ]
    whole = rng.choice(kinds)
    return whole[:rng.randint(1, len(whole))]


def test_random_and_truncated_datagrams_do_not_stop_the_server(server, make_client):
    rng = random.Random(0x7A3B10)
    keyed = make_client()
    assert keyed.register(keyed=True)[0] == ACCEPTTLS
    stranger = make_client()
    senders = [keyed, stranger]

    datagrams = []
    for first in range(256):                                  # every first byte
        for _ in range(10):
            datagrams.append(junk(rng, first, rng.randint(1, 80)))
    for _ in range(400):
        datagrams.append(truncated_valid(rng, keyed))
    for _ in range(400):                                      # valid envelopes of junk
        first = rng.choice(sorted(MESSAGE_TYPES) + [rng.randrange(256)])
        datagrams.append(wrap_encrypted(keyed.aes_key, junk(rng, first, rng.randint(1, 80))))
    for _ in range(30):                                       # arrive cut to 4096 bytes
        datagrams.append(junk(rng, rng.randrange(256), rng.randint(4097, 5000)))
    rng.shuffle(datagrams)
    assert 3000 <= len(datagrams) <= 4000

    mark = server.mark()
    for index, datagram in enumerate(datagrams):
        rng.choice(senders).send(datagram)
        if index % BATCH == BATCH - 1:
            server.sync(timeout=20.0)
    server.sync(timeout=20.0)
    for client in senders:
        client.drain()

    assert server.running()
    # Over-long datagrams are handled with their first 4096 bytes.
    sizes = server.find("Got UDP from GC, size=", level="TRACE", since=mark)
    assert max(int(r.message.rsplit("=", 1)[1]) for r in sizes) == 4096

    # Still serving: a new client registers both ways and is kept alive.
    for keyed_registration in (False, True):
        fresh = make_client()
        answer = fresh.register(keyed=keyed_registration)
        assert answer is not None and answer[0] == (ACCEPTTLS if keyed_registration else ACCEPT)
        assert fresh.keepalive(encrypted=keyed_registration) == KEEPALIVE_ANSWER
    assert server.children() == []
    assert server.running()
