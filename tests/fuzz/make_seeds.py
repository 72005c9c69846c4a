#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/seed-*).

Run again after changing a wire format; crashers kept by `make fuzz` are left alone."""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
import tamblo_gc as gcp  # noqa: E402
import tamblo_noise  # noqa: E402

MAC = "02:00:5E:10:00:01"
GATEWAY = (b'{"status":"OK","ipAddress":"198.18.0.10","port":80,'
           b'"gatewayClient":{"serialNumber":"02:00:5E:10:00:01"}}')


def frame(kind, payload=b""):
    return struct.pack("=BH", kind, len(payload)) + payload


def query_record(gc=7, ld=12, session=b"abc", target=0, service=0, mac=b""):
    """A cached-session query (250); target 0 device, 1 gateway, 2 LD_ID not above 0."""
    def text(value, size):
        return value[:size - 1].ljust(size, b"\0")
    return (struct.pack("=II", gc, ld) + text(mac, 256) + text(session, 128) +
            text(b"", 128) + text(b"", 128) + struct.pack("=HBB", 0, target, service))


def connect_parameters(address=b"198.18.0.10"):
    return struct.pack("=4sHIH", bytes([198, 19, 255, 1]), 40001, 163840, 80) + address


PROXY_SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"


def proxy_header(version_command, family, block):
    return PROXY_SIGNATURE + bytes([version_command, family]) + struct.pack("!H", len(block)) + block


PROXY_INET = bytes([198, 18, 0, 7, 192, 0, 2, 1]) + struct.pack("!HH", 40001, 1443)


def tcp(flags, seq=1000, ack_offset=1, options=b"", payload=b"", window=65535):
    offset = (20 + len(options)) // 4
    header = struct.pack("!HHIIBBHHH", 80, 40000, seq, ack_offset, offset << 4, flags, window, 0, 0)
    segment = header + options + payload
    return bytes([len(segment)]) + segment


SEEDS = {
    "control_command": [
        b"VIDEORECORDER:START:0A0B0C0D0E0F:198.18.0.10:80:admin:secret:video.mjpg:/tmp/x.flv\n",
        b"::VIDEORECORDER::START::0a0b0c0d0e0f:::198.18.0.10::81::a:b:c::out.flv::MJPEG::\r\n",
        b"VIDEORECORDER:START:roof-gw:198.18.0.10:554:u:p:s:x.mp4:H264:NORTCP\n",
        b"VIDEORECORDER:STOP:0A0B0C0D0E0F:198.18.0.10:80\n",
        b"VIDEORECORDER:PAUSE:x:y:1\n",
        b"VIDEORECORDER\n",
        b"CAMERA:START\n",
        b":::\r\n\r\n",
        b"VIDEORECORDER:START:" + b"A" * 220 + b":198.18.0.10:80:a:b:c:d\n",
    ],
    "rest_answer": [
        b"\x01HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" + GATEWAY,
        b'\x00HTTP/1.0 200 OK\r\n\r\n{"status":"OK","gatewayClient":{"serialNumber":"X"}}',
        b'\x01HTTP/1.1 403 Forbidden\r\n\r\n{"status":"FORBIDDEN"}',
        b'\x01HTTP/1.1 200 OK\n\n/* note */ {"gatewayClient":{},"port":65535,"status":"OK"}',
        b"\x01HTTP/1.1 200 OK\r\n\r\n{\"a\":" + b"[" * 40 + b"]" * 40 + b"}",
        b'\x01HTTP/1.1 200 OK\r\n\r\n{"ipAddress":"::1","port":"80","gatewayClient":[]}',
    ],
    "pipe_frames": [
        frame(252, query_record(mac=MAC.encode())),
        frame(250, query_record()) + frame(249) + frame(251, connect_parameters()),
        frame(250, query_record(ld=0, target=1, service=3)) +
        frame(250, query_record(ld=1, target=2)) + frame(250, query_record(session=b"a;b\r\n")) +
        frame(250, query_record(target=7, service=9)),
        frame(0) + frame(254) + frame(255, bytes([255]) + b"\x00" * 24),
        frame(248, b"\x82") + frame(247, b"\x82") + frame(246),
        struct.pack("=BH", 255, 4097) + b"\x00" * 16,
        frame(251, connect_parameters(b"x" * 200)) + frame(252, b"short"),
    ],
    "http_intake": [
        b"\x01GET /a?JSESSIONID=abc,GC_ID=7,LD_ID=12 HTTP/1.1\r\nHost: d\r\n\r\n",
        b"\x01GET / HTTP/1.1\r\nCookie: JSESSIONID=abc; GC_ID=7; LD_ID=-1\r\n"
        b"Authorization: Basic eDp5\r\n\r\n",
        b"\x01GET /?JSESSIONID=abc,GC_ID=7,SERVICE=RNAS,DST_PORT=8088,CUSTOM_KEEPALIVE_TIMEOUT=5,"
        b"HTTP_STATUS_SWITCH=0,REPLACE_CONTENT_TYPE=1 HTTP/1.1\r\n\r\n",
        b"\x00GET /?JSESSIONID=abc,GC_ID=7 HTTP/1.1\r\n\r\n\xffGET /?JSESSIONID=abc,GC_ID=7,LD_ID=13"
        b" HTTP/1.1\r\n\r\n\xffPOST /up HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
        b"\x01GET /?JSESSIONID=abc&GC_ID=7&LD_ID=12 HTTP/1.1\r\ncookie: GC_ID=8\r\n\r\n",
    ],
    "gateway_datagram": [
        b"\x00" + gcp.build_connect(gcp.mac_bytes(MAC)),
        b"\x00" + gcp.build_keepalive(gcp.mac_bytes(MAC)),
        b"\x01" + gcp.build_connect_tls(gcp.mac_bytes(MAC), bytes(range(1, 33))),
        b"\x00" + gcp.build_tcp_over_udp("198.18.0.10", gcp.build_tcp_segment(
            80, 40000, seq=1, flags=gcp.TCP_SYN | gcp.TCP_ACK)),
        b"\x02" + gcp.build_channel(130, b"rtp payload"),
        b"\x00" + bytes([gcp.ENCRYPTED]) + bytes(48),
        b"\x03" + gcp.build_connect(gcp.mac_bytes(MAC), custom_id=b"camera-7"),
    ],
    "proxy_header": [
        proxy_header(0x21, 0x11, PROXY_INET) + b"GET / HTTP/1.1\r\n\r\n",
        proxy_header(0x20, 0x00, b""),
        proxy_header(0x21, 0x11, PROXY_INET + b"\x04\x00\x02ab\x03\x00\x00"),
        proxy_header(0x21, 0x21, bytes(36)),
        proxy_header(0x21, 0x31, bytes(216)),
        proxy_header(0x21, 0x11, PROXY_INET[:8]),
        b"PROXY TCP4 198.18.0.7 192.0.2.1 40001 1443\r\n",
    ],
    "tcp_segment": [
        tcp(0x12, options=bytes([2, 4, 5, 0x76, 1, 3, 3, 7, 4, 2, 1, 1])) +
        tcp(0x18, seq=1001, payload=b"HTTP/1.1 200 OK\r\n\r\nhello") + tcp(0x11, seq=1025),
        tcp(0x12, options=bytes([2, 4, 2, 0x18])) + tcp(0x04, seq=1001),
        tcp(0x12) + tcp(0x10, seq=1001, window=0) + tcp(0x10, seq=1001, ack_offset=20),
        tcp(0x10, ack_offset=5) + tcp(0x02, seq=77),
    ],
}


def v2_seeds():
    """A valid initiation to the fuzz target's server key (32 bytes of 0x11), the other kinds."""
    server = tamblo_noise.keypair(b"\x11" * 32)
    gateway = tamblo_noise.Gateway(server.public.data)
    initiation = gateway.initiation(7, tamblo_noise.encode_payload("02:00:5E:10:00:01"))
    return [initiation,
            struct.pack(">B3xII", tamblo_noise.RESPONSE, 9, 7) + bytes(80),
            struct.pack(">B3xI", tamblo_noise.COOKIE_REPLY, 7) + bytes(44),
            struct.pack(">B3xIQ", tamblo_noise.TRANSPORT, 1, 5) + bytes(40),
            b"\x00" + tamblo_noise.encode_payload("camera-7")]


SEEDS["gateway_datagram_v2"] = v2_seeds()


def main():
    for target, seeds in SEEDS.items():
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for index, seed in enumerate(seeds):
            with open(os.path.join(directory, "seed-%02d" % index), "wb") as handle:
                handle.write(seed)


if __name__ == "__main__":
    main()
