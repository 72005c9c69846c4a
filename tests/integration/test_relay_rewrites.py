"""The once-only rewrites of a proxy worker's answers, on one kept-alive connection."""

from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import options, plain_relay, read_http_answer  # noqa: F401 (fixtures)


def get(sock, path, query):
    sock.sendall(("GET %s?%s HTTP/1.1\r\nHost: device\r\n\r\n" % (path, query)).encode())
    return read_http_answer(sock)


def test_status_401_reaches_the_client_as_403_once(plain_relay):
    with plain_relay.connect() as sock:
        head, _ = get(sock, "/status/401", options())
        assert head.startswith("HTTP/1.1 403 Unauthorized\r\n")
        head, _ = get(sock, "/status/401", options())
        assert head.startswith("HTTP/1.1 401 Unauthorized\r\n")


def test_status_switch_off_leaves_401(plain_relay):
    with plain_relay.connect() as sock:
        head, _ = get(sock, "/status/401", options(extra=",HTTP_STATUS_SWITCH=0"))
        assert head.startswith("HTTP/1.1 401 Unauthorized\r\n")


def test_multipart_content_type_is_renamed_once_when_asked(plain_relay):
    with plain_relay.connect() as sock:
        head, _ = get(sock, "/multipart", options(extra=",REPLACE_CONTENT_TYPE=1"))
        assert "\r\ncontent_type: multipart/x-mixed-replace; boundary=frame" in head
        head, _ = get(sock, "/multipart", options(extra=",REPLACE_CONTENT_TYPE=1"))
        assert "\r\nContent-Type: multipart/x-mixed-replace; boundary=frame" in head
    with plain_relay.connect() as sock:
        head, _ = get(sock, "/multipart", options())
        assert "\r\nContent-Type: multipart/x-mixed-replace" in head
