"""The version 2 handshake and transport of the server's code (tamblo-noise-cli) against an
independent Noise implementation (python3-dissononce, with the framing in tamblo_noise)."""

import base64
import os
import struct
import subprocess

import pytest

import tamblo_noise

BUILD_DIR = os.environ.get("TAMBLO_BUILD_DIR", "/work/main/build")
CLI = os.path.join(BUILD_DIR, "tests", "tamblo-noise-cli")
INNER = [b"\x12" + b"\x00\x1a\x2b\x3c\x4d\x5e", b"\x13", b"\xff" + os.urandom(1400),
         bytes([130]) + os.urandom(200)]
GATEWAY_ID = "00:1A:2B:3C:4D:5E"


class Cli:
    """One tamblo-noise-cli process: a command line in, an answer line out."""

    def __init__(self, *args):
        self.process = subprocess.Popen([CLI, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def ask(self, *words):
        self.process.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().strip()
        assert answer, "tamblo-noise-cli ended"
        return answer

    def close(self):
        self.process.stdin.close()
        assert self.process.wait(timeout=30) == 0


@pytest.fixture(scope="module", autouse=True)
def cli_built():
    if not os.access(CLI, os.X_OK):
        pytest.fail("%s is not built" % CLI)


def cpp_initiator(server):
    """A gateway played by the CLI against the dissononce server: (cli, gateway keys, initiation)."""
    gateway = tamblo_noise.keypair()
    cli = Cli("initiator", gateway.private.data.hex(), server.s.public.data.hex())
    initiation = bytes.fromhex(cli.ask("initiate", 7, GATEWAY_ID, "c6120001", 40000, 41000, 3))
    return cli, gateway, initiation


def handshake_cpp_initiator():
    server = tamblo_noise.Server()
    cli, gateway, initiation = cpp_initiator(server)
    static, payload, sender = server.initiation(initiation)
    assert static == gateway.public.data and sender == 7
    assert payload["id"] == GATEWAY_ID and payload["local_ip"] == b"\xc6\x12\x00\x01"
    assert (payload["port_from"], payload["port_end"], payload["gateway_type"]) == (40000, 41000, 3)
    response, session = server.response(99)
    assert cli.ask("response", response.hex()) == "ok"
    return cli, session


def handshake_cpp_responder():
    server = tamblo_noise.keypair()
    cli = Cli("responder", server.private.data.hex())
    gateway = tamblo_noise.Gateway(server.public.data)
    initiation = gateway.initiation(1234, tamblo_noise.encode_payload(GATEWAY_ID, port_from=1,
                                                                      port_end=2, gateway_type=9))
    words = cli.ask("initiation", initiation.hex()).split()
    assert words[0] == "ok", words
    assert bytes.fromhex(words[1]) == gateway.s.public.data and words[2] == "1234"
    assert words[4:] == ["c6120001", "1", "2", "9", GATEWAY_ID]
    session = gateway.response(bytes.fromhex(cli.ask("respond", 5678)))
    return cli, session


HANDSHAKES = {"C++ initiator, dissononce responder": handshake_cpp_initiator,
              "dissononce initiator, C++ responder": handshake_cpp_responder}


@pytest.mark.parametrize("handshake", HANDSHAKES.values(), ids=HANDSHAKES.keys())
def test_handshake_then_transport_both_ways(handshake):
    cli, session = handshake()
    for inner in INNER:
        # The initiator's first datagram confirms the keys; only then may the responder send.
        if session.local_index == 99:  # dissononce responds
            assert session.open(bytes.fromhex(cli.ask("send", inner.hex()))) == inner
            assert cli.ask("recv", session.seal(inner).hex()) == "ok " + inner.hex()
        else:
            if inner is INNER[0]:
                assert cli.ask("send", inner.hex()) == "refused"
            assert cli.ask("recv", session.seal(inner).hex()) == "ok " + inner.hex()
            assert session.open(bytes.fromhex(cli.ask("send", inner.hex()))) == inner
    cli.close()


def flipped(data, position):
    return data[:position] + bytes([data[position] ^ 0x01]) + data[position + 1:]


def test_tampered_initiation_is_refused():
    """Every byte before mac2 counts: raw flips fail mac1; flips in the Noise message with mac1
    made anew fail the decryption. mac2 only counts under load (the cookie row)."""
    server = tamblo_noise.keypair()
    cli = Cli("responder", server.private.data.hex())
    gateway = tamblo_noise.Gateway(server.public.data)
    initiation = gateway.initiation(1, tamblo_noise.encode_payload(GATEWAY_ID))
    for position in range(len(initiation) - 16):
        assert cli.ask("initiation", flipped(initiation, position).hex()).startswith("refused"), position
    body = initiation[:-32]
    for position in range(len(body)):
        remade = tamblo_noise.add_macs(flipped(body, position), server.public.data)
        expected = ("refused malformed" if position < 4 else
                    "ok" if position < 8 else "refused undecryptable")
        assert cli.ask("initiation", remade.hex()).split()[0:len(expected.split())] == \
            expected.split(), position
    # An ephemeral key of small order gives an all-zero secret, which is refused.
    small_order = tamblo_noise.add_macs(body[:8] + bytes(32) + body[40:], server.public.data)
    assert cli.ask("initiation", small_order.hex()) == "refused undecryptable"
    cli.close()


def test_tampered_response_is_refused_and_the_genuine_one_taken():
    server = tamblo_noise.Server()
    cli, gateway, initiation = cpp_initiator(server)
    server.initiation(initiation)
    response, _ = server.response(99)
    # The gateway does not check mac2: it sends no cookies, so a server never needs one.
    for position in range(len(response) - 16):
        assert cli.ask("response", flipped(response, position).hex()) == "refused", position
    # Past mac1 (made anew) the Noise message refuses; the initiation still waits.
    body = response[:-32]
    for position in range(12, len(body)):
        remade = tamblo_noise.add_macs(flipped(body, position), gateway.public.data)
        assert cli.ask("response", remade.hex()) == "refused", position
    assert cli.ask("response", response.hex()) == "ok"
    cli.close()


def test_tampered_replayed_and_old_transport_datagrams_are_dropped():
    cli, session = handshake_cpp_initiator()
    first = session.seal(b"\x12" + b"\x00" * 6)
    for position in range(len(first)):
        answer = cli.ask("recv", flipped(first, position).hex())
        assert answer in ("malformed", "forged"), (position, answer)
    assert cli.ask("recv", first.hex()).startswith("ok ")
    assert cli.ask("recv", first.hex()) == "replayed"
    ahead = session.seal(b"\x13", counter=9000)
    behind = session.seal(b"\x13", counter=500)  # 8500 behind: beyond the 8128 of the window
    within = session.seal(b"\x13", counter=8999 - 8000)
    assert cli.ask("recv", ahead.hex()) == "ok 13"
    assert cli.ask("recv", within.hex()) == "ok 13"
    assert cli.ask("recv", behind.hex()) == "replayed"
    assert cli.ask("recv", struct.pack(">B3xIQ", 35, 99, 12).hex()) == "malformed"
    cli.close()


def test_cookie_reply_round_trips_both_ways():
    # The C++ responder under load answers with a cookie; the dissononce gateway opens it and
    # its next initiation, with mac2, is taken.
    server = tamblo_noise.keypair()
    cli = Cli("responder", server.private.data.hex())
    gateway = tamblo_noise.Gateway(server.public.data)
    initiation = gateway.initiation(5, tamblo_noise.encode_payload(GATEWAY_ID))
    words = cli.ask("initiation", initiation.hex(), "127.0.0.9", 4000, "load").split()
    assert words[0] == "cookie"
    gateway.cookie_reply(bytes.fromhex(words[1]))
    again = gateway.initiation(6, tamblo_noise.encode_payload(GATEWAY_ID))
    assert cli.ask("initiation", again.hex(), "127.0.0.9", 4000, "load").startswith("ok ")
    # The cookie is the source's: another port gets a cookie reply again.
    assert cli.ask("initiation", again.hex(), "127.0.0.9", 4001, "load").startswith("cookie ")
    cli.close()

    # The C++ gateway takes a cookie reply made here and sends mac2 with its cookie.
    python_server = tamblo_noise.Server()
    cli, _, initiation = cpp_initiator(python_server)
    cookie = os.urandom(16)
    nonce = os.urandom(12)
    sealed = tamblo_noise.ChaCha20Poly1305(tamblo_noise.cookie_key(
        python_server.s.public.data)).encrypt(nonce, cookie, initiation[-32:-16])
    reply = struct.pack(">B3xI", 34, 7) + nonce + sealed
    assert cli.ask("cookie", flipped(reply, 30).hex()) == "refused"
    assert cli.ask("cookie", reply.hex()) == "ok"
    again = bytes.fromhex(cli.ask("initiate", 8, GATEWAY_ID, "c6120001", 1, 2, 3))
    assert again[-16:] == tamblo_noise.mac(cookie, again[:-16])
    cli.close()


def test_keygen_key_files(tmp_path):
    keygen = os.path.join(BUILD_DIR, "tamblo-keygen")
    path = tmp_path / "server.key"
    made = subprocess.run([keygen, str(path)], capture_output=True, text=True, timeout=30)
    assert made.returncode == 0 and os.stat(path).st_mode & 0o777 == 0o600
    private = base64.b64decode(path.read_text().strip(), validate=True)
    assert base64.b64decode(made.stdout.strip()) == tamblo_noise.keypair(private).public.data
    shown = subprocess.run([keygen, "--public", str(path)], capture_output=True, text=True,
                           timeout=30)
    assert shown.stdout == made.stdout
    again = subprocess.run([keygen, str(path)], capture_output=True, text=True, timeout=30)
    assert again.returncode == 1 and "File exists" in again.stderr
    assert base64.b64decode(path.read_text().strip()) == private
