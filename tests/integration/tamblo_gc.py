"""The gateway client's side of the gateway datagram protocol, for tests.

Builders and parsers for every datagram that travels on the gateway port, and a small
`GatewayClient` that plays one gateway client over its own UDP socket. Written from the wire
format alone (big-endian fields), independently of the server's code; the envelope comes
from tamblo_crypto.

Datagrams, by first byte:

    16 CONNECT       type | MAC (6) | local IP (4) | port from (2) | port end (2) | gw type (1)
                     [ | public key (32, not examined) | N | custom id (N) ]
    20 CONNECTTLS    the same with the client's X25519 public key at offset 16 (48 bytes
                     minimum), then optionally N | custom id
    17 ACCEPT        the type byte alone
    21 ACCEPTTLS     type | the server's public key for this client (32)
    18 KEEPALIVE     type | MAC (6) [ | N | custom id (N) ]
    19 KEEPALIVERESP the type byte alone
    252 ENCRYPTED    type | envelope (16-byte IV, AES-128-CBC of a whole datagram + padding)
    255 TCPOVERUDP   type | LAN device IPv4 (4) | TCP segment without IP header
    any other        channel datagram: channel id | payload

Typical use:

    with GatewayClient(server.gc_address) as gc:
        assert gc.register(keyed=True)[0] == ACCEPTTLS
        gc.send_encrypted(build_keepalive(gc.mac))
        assert gc.recv() == bytes([KEEPALIVERESP])
"""

import ipaddress
import os
import select
import socket
import struct
import time
from dataclasses import dataclass
from typing import Optional, Union

import tamblo_crypto

CONNECT = 16
ACCEPT = 17
KEEPALIVE = 18
KEEPALIVERESP = 19
CONNECTTLS = 20
ACCEPTTLS = 21
ENCRYPTED = 252
TCPOVERUDP = 255

MESSAGE_TYPES = frozenset(
    [CONNECT, ACCEPT, KEEPALIVE, KEEPALIVERESP, CONNECTTLS, ACCEPTTLS, ENCRYPTED, TCPOVERUDP])

MAC_SIZE = 6
PUBLIC_KEY_SIZE = 32
CONNECT_MIN_SIZE = 16
CONNECTTLS_MIN_SIZE = 48
CUSTOM_ID_LENGTH_OFFSET = 48
KEEPALIVE_MIN_SIZE = 7
KEEPALIVE_ID_LENGTH_OFFSET = 7
ACCEPTTLS_SIZE = 1 + PUBLIC_KEY_SIZE
TUNNEL_PACKET_HEADER = 5  # type byte + device address
MAX_DATAGRAM = 4096       # the server reads at most this much of one datagram

DEFAULT_LOCAL_IP = "198.19.0.1"
DEFAULT_PORT_START = 20000
DEFAULT_PORT_END = 20100

Mac = Union[bytes, str]
Address = Union[bytes, str]


# ----------------------------------------------------------------------------------------
# Small conversions


def mac_bytes(mac: Mac) -> bytes:
    """Six MAC bytes from bytes or text such as "0A:0B:0C:0D:0E:0F" (also "-" or no separator)."""
    if isinstance(mac, (bytes, bytearray)):
        raw = bytes(mac)
    else:
        raw = bytes.fromhex(mac.replace(":", "").replace("-", ""))
    if len(raw) != MAC_SIZE:
        raise ValueError("a MAC has 6 bytes, got %d" % len(raw))
    return raw


def mac_text(mac: Mac) -> str:
    """The gateway client key of a MAC: upper-case two-digit hex joined by ":"."""
    return ":".join("%02X" % b for b in mac_bytes(mac))


def random_mac() -> bytes:
    """A locally administered unicast MAC, random enough to be unique within a test run."""
    raw = bytearray(os.urandom(MAC_SIZE))
    raw[0] = (raw[0] & 0xFC) | 0x02
    return bytes(raw)


def ipv4_bytes(address: Address) -> bytes:
    if isinstance(address, (bytes, bytearray)):
        if len(address) != 4:
            raise ValueError("an IPv4 address has 4 bytes")
        return bytes(address)
    return ipaddress.IPv4Address(address).packed


def ipv4_text(address: bytes) -> str:
    return str(ipaddress.IPv4Address(bytes(address)))


def _id_bytes(custom_id) -> bytes:
    return custom_id.encode() if isinstance(custom_id, str) else bytes(custom_id)


def _custom_id_tail(custom_id, custom_id_length) -> bytes:
    """N | id. custom_id_length overrides N (to announce more or fewer bytes than follow)."""
    raw = _id_bytes(custom_id) if custom_id is not None else b""
    n = len(raw) if custom_id_length is None else custom_id_length
    if not 0 <= n <= 255:
        raise ValueError("custom id length must fit one byte")
    return bytes([n]) + raw


# ----------------------------------------------------------------------------------------
# Registration


def build_registration(msg_type: int, mac: Mac, *, local_ip: Address = DEFAULT_LOCAL_IP,
                       port_start: int = DEFAULT_PORT_START, port_end: int = DEFAULT_PORT_END,
                       gw_type: int = 0, public_key: Optional[bytes] = None,
                       custom_id=None, custom_id_length: Optional[int] = None) -> bytes:
    """CONNECT or CONNECTTLS.

    CONNECT without custom id is 16 bytes; CONNECTTLS is 48 bytes (public key at 16). With a
    custom id (or an explicit custom_id_length, which may be 0) the key field is filled
    (zeros for CONNECT) and N and the id follow at offset 48."""
    head = (bytes([msg_type]) + mac_bytes(mac) + ipv4_bytes(local_ip)
            + struct.pack(">HHB", port_start, port_end, gw_type))
    with_tail = custom_id is not None or custom_id_length is not None
    if msg_type == CONNECTTLS:
        if public_key is None or len(public_key) != PUBLIC_KEY_SIZE:
            raise ValueError("CONNECTTLS needs a 32-byte public key")
        head += public_key
    elif with_tail:
        head += public_key if public_key is not None else bytes(PUBLIC_KEY_SIZE)
    if with_tail:
        head += _custom_id_tail(custom_id, custom_id_length)
    return head


def build_connect(mac: Mac, **fields) -> bytes:
    """Registration without encryption (16), see build_registration for the fields."""
    return build_registration(CONNECT, mac, **fields)


def build_connect_tls(mac: Mac, public_key: bytes, **fields) -> bytes:
    """Registration with the client's X25519 public key (20)."""
    return build_registration(CONNECTTLS, mac, public_key=public_key, **fields)


@dataclass
class Registration:
    msg_type: int
    mac: bytes
    local_ip: bytes
    port_start: int
    port_end: int
    gw_type: int
    public_key: Optional[bytes]  # CONNECTTLS only
    custom_id: Optional[bytes]   # None when absent or of length 0

    @property
    def key(self) -> str:
        """The gateway client key the server files the client under."""
        return self.custom_id.decode("latin-1") if self.custom_id else mac_text(self.mac)


def parse_registration(data: bytes) -> Registration:
    """Decodes CONNECT / CONNECTTLS; ValueError when too short or the id runs past the end."""
    if not data or data[0] not in (CONNECT, CONNECTTLS):
        raise ValueError("not a registration")
    minimum = CONNECTTLS_MIN_SIZE if data[0] == CONNECTTLS else CONNECT_MIN_SIZE
    if len(data) < minimum:
        raise ValueError("registration of %d bytes is too short" % len(data))
    port_start, port_end, gw_type = struct.unpack_from(">HHB", data, 11)
    custom_id = None
    if len(data) > CUSTOM_ID_LENGTH_OFFSET:
        n = data[CUSTOM_ID_LENGTH_OFFSET]
        if len(data) - (CUSTOM_ID_LENGTH_OFFSET + 1) < n:
            raise ValueError("custom id of %d bytes runs past the datagram" % n)
        custom_id = bytes(data[49:49 + n]) or None
    return Registration(data[0], bytes(data[1:7]), bytes(data[7:11]), port_start, port_end,
                        gw_type, bytes(data[16:48]) if data[0] == CONNECTTLS else None,
                        custom_id)


def build_accept() -> bytes:
    return bytes([ACCEPT])


def build_accept_tls(server_public_key: bytes) -> bytes:
    if len(server_public_key) != PUBLIC_KEY_SIZE:
        raise ValueError("a public key has 32 bytes")
    return bytes([ACCEPTTLS]) + server_public_key


def is_accept(data: bytes) -> bool:
    return data == bytes([ACCEPT])


def parse_accept_tls(data: bytes) -> bytes:
    """The server's public key from an ACCEPTTLS answer; ValueError for anything else."""
    if len(data) != ACCEPTTLS_SIZE or data[0] != ACCEPTTLS:
        raise ValueError("not an ACCEPTTLS answer: %s" % describe(data))
    return bytes(data[1:])


# ----------------------------------------------------------------------------------------
# Keepalive


def build_keepalive(mac: Mac, custom_id=None, custom_id_length: Optional[int] = None) -> bytes:
    """KEEPALIVE: 7 bytes, or with N | id when a custom id (or a length, even 0) is given."""
    out = bytes([KEEPALIVE]) + mac_bytes(mac)
    if custom_id is not None or custom_id_length is not None:
        out += _custom_id_tail(custom_id, custom_id_length)
    return out


@dataclass
class Keepalive:
    mac: bytes
    custom_id: Optional[bytes]

    @property
    def key(self) -> str:
        return self.custom_id.decode("latin-1") if self.custom_id else mac_text(self.mac)


def parse_keepalive(data: bytes) -> Keepalive:
    if not data or data[0] != KEEPALIVE or len(data) < KEEPALIVE_MIN_SIZE:
        raise ValueError("not a keepalive")
    custom_id = None
    if len(data) > KEEPALIVE_ID_LENGTH_OFFSET:
        n = data[KEEPALIVE_ID_LENGTH_OFFSET]
        if len(data) - (KEEPALIVE_ID_LENGTH_OFFSET + 1) < n:
            raise ValueError("custom id of %d bytes runs past the datagram" % n)
        custom_id = bytes(data[8:8 + n]) or None
    return Keepalive(bytes(data[1:7]), custom_id)


def build_keepalive_response() -> bytes:
    return bytes([KEEPALIVERESP])


def is_keepalive_response(data: bytes) -> bool:
    return data == bytes([KEEPALIVERESP])


# ----------------------------------------------------------------------------------------
# Envelope


def wrap_encrypted(aes_key: bytes, inner: bytes, iv: Optional[bytes] = None) -> bytes:
    """ENCRYPTED datagram carrying one whole inner datagram."""
    return bytes([ENCRYPTED]) + tamblo_crypto.wrap(aes_key, inner, iv)


def unwrap_encrypted(aes_key: bytes, datagram: bytes) -> bytes:
    """The inner datagram of an ENCRYPTED datagram; ValueError when it does not decrypt."""
    if not datagram or datagram[0] != ENCRYPTED:
        raise ValueError("not an encrypted datagram")
    return tamblo_crypto.unwrap(aes_key, bytes(datagram[1:]))


def encrypted_size(inner_length: int) -> int:
    """Length of the ENCRYPTED datagram of an inner datagram of that length."""
    return 1 + tamblo_crypto.envelope_size(inner_length)


# ----------------------------------------------------------------------------------------
# Tunnel packets and channel datagrams


TCP_FIN, TCP_SYN, TCP_RST, TCP_PSH, TCP_ACK = 0x01, 0x02, 0x04, 0x08, 0x10


def _checksum(data: bytes) -> int:
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def build_tcp_segment(src_port: int, dst_port: int, *, seq: int = 0, ack: int = 0,
                      flags: int = TCP_ACK, window: int = 65535, payload: bytes = b"",
                      options: bytes = b"", src_ip: Optional[Address] = None,
                      dst_ip: Optional[Address] = None) -> bytes:
    """A TCP segment (header + payload, no IP header). The checksum is computed over the
    IPv4 pseudo header when both addresses are given, else left 0."""
    if len(options) % 4:
        raise ValueError("TCP options must be padded to 32-bit words")
    offset = (20 + len(options)) // 4
    header = struct.pack("!HHIIBBHHH", src_port, dst_port, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF,
                         offset << 4, flags, window, 0, 0) + options
    segment = header + payload
    if src_ip is not None and dst_ip is not None:
        pseudo = ipv4_bytes(src_ip) + ipv4_bytes(dst_ip) + struct.pack("!BBH", 0, 6, len(segment))
        csum = _checksum(pseudo + segment)
        segment = segment[:16] + struct.pack("!H", csum) + segment[18:]
    return segment


@dataclass
class TcpSegment:
    src_port: int
    dst_port: int
    seq: int
    ack: int
    flags: int
    window: int
    payload: bytes


def parse_tcp_segment(segment: bytes) -> TcpSegment:
    if len(segment) < 20:
        raise ValueError("TCP segment of %d bytes" % len(segment))
    src, dst, seq, ack, off, flags, window = struct.unpack_from("!HHIIBBH", segment)
    header = (off >> 4) * 4
    if header < 20 or header > len(segment):
        raise ValueError("bad TCP data offset %d" % header)
    return TcpSegment(src, dst, seq, ack, flags, window, bytes(segment[header:]))


def build_tcp_over_udp(device_ip: Address, segment: bytes) -> bytes:
    """TCPOVERUDP: the LAN device's address (the segment's source when the client sends it)
    and one TCP segment."""
    return bytes([TCPOVERUDP]) + ipv4_bytes(device_ip) + segment


def parse_tcp_over_udp(datagram: bytes):
    """(device address text, segment bytes) of a TCPOVERUDP datagram."""
    if len(datagram) < TUNNEL_PACKET_HEADER or datagram[0] != TCPOVERUDP:
        raise ValueError("not a tunnel packet")
    return ipv4_text(datagram[1:5]), bytes(datagram[5:])


def build_channel(channel_id: int, payload: bytes = b"") -> bytes:
    """A channel datagram: the channel id, then the payload, sent unchanged."""
    if not 0 <= channel_id <= 255:
        raise ValueError("a channel id is one byte")
    return bytes([channel_id]) + payload


def parse_channel(datagram: bytes):
    """(channel id, payload). Any datagram is a channel datagram to this function; callers
    check that the first byte is not a message type."""
    if not datagram:
        raise ValueError("empty datagram")
    return datagram[0], bytes(datagram[1:])


def describe(datagram: Optional[bytes]) -> str:
    """Short text of a datagram for assertion messages."""
    if datagram is None:
        return "nothing"
    if not datagram:
        return "empty datagram"
    names = {CONNECT: "CONNECT", ACCEPT: "ACCEPT", KEEPALIVE: "KEEPALIVE",
             KEEPALIVERESP: "KEEPALIVERESP", CONNECTTLS: "CONNECTTLS", ACCEPTTLS: "ACCEPTTLS",
             ENCRYPTED: "ENCRYPTED", TCPOVERUDP: "TCPOVERUDP"}
    name = names.get(datagram[0], "channel %d" % datagram[0])
    head = datagram[:24].hex()
    return "%s (%d bytes: %s%s)" % (name, len(datagram), head, "..." if len(datagram) > 24 else "")


# ----------------------------------------------------------------------------------------
# One gateway client


class GatewayClient:
    """One gateway client on its own UDP socket.

    `server` is the gateway port's (host, port). `bind_host` picks the client's public address
    as the server sees it (any 127.0.0.0/8 address works on Linux loopback, e.g. 127.0.0.2 for
    "the same client from another IP"); the port is chosen by the system unless `bind_port`
    is given, or `sock` shares another client's socket (two clients behind one address).
    After a keyed registration `aes_key` holds the agreed key, and `recv` unwraps
    ENCRYPTED datagrams with it unless asked not to.
    """

    def __init__(self, server, mac: Optional[Mac] = None, *, custom_id=None,
                 bind_host: str = "127.0.0.1", bind_port: int = 0,
                 local_ip: Address = DEFAULT_LOCAL_IP, port_start: int = DEFAULT_PORT_START,
                 port_end: int = DEFAULT_PORT_END, gw_type: int = 0,
                 sock: Optional[socket.socket] = None):
        self.server = (server[0], int(server[1]))
        self.mac = mac_bytes(mac) if mac is not None else random_mac()
        self.custom_id = custom_id
        self.local_ip = local_ip
        self.port_start = port_start
        self.port_end = port_end
        self.gw_type = gw_type
        self.private_key: Optional[bytes] = None
        self.public_key: Optional[bytes] = None
        self.server_public_key: Optional[bytes] = None
        self.aes_key: Optional[bytes] = None
        if sock is None:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind((bind_host, bind_port))
        self.sock = sock
        self.sock.setblocking(False)

    # -- identity

    @property
    def address(self):
        """(host, port) of this client's socket: its public address at the server."""
        return self.sock.getsockname()

    @property
    def address_key(self) -> str:
        """The server's text for this client's address: "127.0.0.1:40000"."""
        host, port = self.address
        return "%s:%d" % (host, port)

    @property
    def mac_key(self) -> str:
        return mac_text(self.mac)

    @property
    def key(self) -> str:
        """The gateway client key: the custom id when one is set, else the MAC text."""
        if self.custom_id:
            return _id_bytes(self.custom_id).decode("latin-1")
        return self.mac_key

    def sibling(self, bind_host: Optional[str] = None) -> "GatewayClient":
        """The same client (MAC, custom id, LAN values) on a new socket: another port, and
        another IP when bind_host says so."""
        return GatewayClient(self.server, self.mac, custom_id=self.custom_id,
                             bind_host=bind_host or self.address[0], local_ip=self.local_ip,
                             port_start=self.port_start, port_end=self.port_end,
                             gw_type=self.gw_type)

    # -- datagrams of this client

    def _custom_id(self, custom_id):
        """The id to put in a datagram: `...` (the default) means this client's own."""
        return self.custom_id if custom_id is ... else custom_id

    def connect_datagram(self, keyed: bool = False, custom_id=...) -> bytes:
        """This client's registration; a keyed one makes a fresh key pair. custom_id: `...`
        for the client's own, None for none (16 / 48 bytes), b"" for a length byte of 0."""
        fields = dict(local_ip=self.local_ip, port_start=self.port_start,
                      port_end=self.port_end, gw_type=self.gw_type,
                      custom_id=self._custom_id(custom_id))
        if keyed:
            self.private_key, self.public_key = tamblo_crypto.generate_keypair()
            return build_connect_tls(self.mac, self.public_key, **fields)
        return build_connect(self.mac, **fields)

    def keepalive_datagram(self, custom_id=...) -> bytes:
        """This client's keepalive; custom_id as for connect_datagram."""
        return build_keepalive(self.mac, self._custom_id(custom_id))

    # -- socket

    def send(self, datagram: bytes) -> None:
        self.sock.sendto(datagram, self.server)

    def recv(self, timeout: float = 2.0, decrypt: bool = True) -> Optional[bytes]:
        """The next datagram, or None after timeout seconds. ENCRYPTED datagrams are
        unwrapped when a key is agreed and decrypt is true."""
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            readable, _, _ = select.select([self.sock], [], [], max(0.0, remaining))
            if readable:
                data, _ = self.sock.recvfrom(65536)
                if decrypt and self.aes_key is not None and data and data[0] == ENCRYPTED:
                    return unwrap_encrypted(self.aes_key, data)
                return data
            if remaining <= 0:
                return None

    def pending(self) -> Optional[bytes]:
        """A datagram already waiting on the socket, without waiting; None when there is none."""
        return self.recv(timeout=0, decrypt=False)

    def drain(self) -> list:
        """Reads and returns every datagram already waiting (bounded)."""
        out = []
        for _ in range(10000):
            data = self.pending()
            if data is None:
                break
            out.append(data)
        return out

    # -- conversations

    def register(self, keyed: bool = False, custom_id=..., timeout: float = 2.0) -> Optional[bytes]:
        """Sends CONNECT (or CONNECTTLS when keyed) and returns the answer, or None.

        custom_id defaults to the client's own; pass None to register under the MAC. On an
        ACCEPTTLS answer the server key and the agreed AES key are kept."""
        self.aes_key = None
        self.server_public_key = None
        self.send(self.connect_datagram(keyed, custom_id))
        answer = self.recv(timeout, decrypt=False)
        if keyed and answer is not None and len(answer) == ACCEPTTLS_SIZE and \
                answer[0] == ACCEPTTLS:
            self.server_public_key = parse_accept_tls(answer)
            self.aes_key = tamblo_crypto.shared_key(self.private_key, self.server_public_key)
        return answer

    def keepalive(self, custom_id=..., encrypted: bool = False,
                  timeout: float = 2.0) -> Optional[bytes]:
        """Sends a keepalive (wrapped when encrypted) and returns the answer, or None."""
        datagram = self.keepalive_datagram(custom_id)
        if encrypted:
            self.send_encrypted(datagram)
        else:
            self.send(datagram)
        return self.recv(timeout)

    def send_encrypted(self, inner: bytes, layers: int = 1) -> None:
        """Sends a datagram wrapped in ENCRYPTED, `layers` times over, with the agreed key."""
        if self.aes_key is None:
            raise RuntimeError("no key agreed: register with keyed=True first")
        for _ in range(layers):
            inner = wrap_encrypted(self.aes_key, inner)
        self.send(inner)

    def close(self) -> None:
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "GatewayClient(%s at %s)" % (self.key, self.address_key)
