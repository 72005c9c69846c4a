"""The control port through the real binary: the command language with every reply, STOP and
the stop reports, the local-port collision, and the two security settings.

Recording workers run for real here: the media framework connects to the worker's local
server and the worker's SYNs go to a gateway client played by the test, which never answers.
Recording a camera into a file is test_recording_mjpeg.py's business."""

import socket
import time

import pytest

from tamblo_control import ControlClient, command
from tamblo_gc import ACCEPT
from tamblo_netns import wait_until

MAC = "02:00:5E:20:00:01"
PLAIN_MAC = MAC.replace(":", "")
CAMERA = "198.18.0.10"
OTHER_CAMERA = "198.18.0.11"
BUFFERING = 5.0  # seconds a recording runs at least


@pytest.fixture
def gateway(server, make_client):
    client = make_client(MAC)
    assert client.register() == bytes([ACCEPT])
    return client


def connect(server, host="127.0.0.1"):
    return ControlClient.connect((host, server.ctrl_port))


def start_fields(mac, port, output, *optional, camera=CAMERA):
    return ["VIDEORECORDER", "START", mac, camera, port, "admin", "secret", "video.mjpg", output,
            *optional]


def status(mac, port, word, camera=CAMERA):
    return "VIDEORECORDER:STATUS:%s:%s:%d:%s" % (mac, camera, port, word)


def still_reading(control):
    """The connection is open and its commands are read: an empty command is answered."""
    control.send("\n")
    return control.read_line() == "ERROR:Missing application" and control.wait_closed()


def test_every_reply_of_the_command_language(server, gateway, tmp_path):
    output = str(tmp_path / "out.flv")
    closes = [
        # (command, reply or None)
        ("\n", "ERROR:Missing application"),
        (":::\r\n\r\n", "ERROR:Missing application"),
        ("CAMERA:START\n", "ERROR:Invalid application"),
        ("VIDEORECORDER\n", "VIDEORECORDER:ERROR:Missing command"),
        ("VIDEORECORDER\0:START\n", "VIDEORECORDER:ERROR:Missing command"),  # ends at a zero
        ("VIDEORECORDER:PAUSE:%s:%s:80\n" % (PLAIN_MAC, CAMERA),
         "VIDEORECORDER:ERROR:Invalid command"),
        ("VIDEORECORDER:START:%s:%s\n" % (PLAIN_MAC, CAMERA),
         "VIDEORECORDER:ERROR:Insufficient parameters"),
        ("VIDEORECORDER:STOP:%s\n" % PLAIN_MAC, "VIDEORECORDER:ERROR:Insufficient parameters"),
        (command(*start_fields(PLAIN_MAC, 80, output)[:8]), None),  # no output file
        (command(*start_fields(PLAIN_MAC.lower(), 80, output)),
         status(PLAIN_MAC.lower(), 80, "ERROR")),
        (command(*start_fields(PLAIN_MAC, 80, output, camera="camera.local")),
         status(PLAIN_MAC, 80, "ERROR", camera="camera.local")),
        # A status line of these fields would not fit its 256 bytes.
        (command(*start_fields("A" * 220, 80, output)), "VIDEORECORDER:ERROR:Parameter too long"),
    ]
    for text, reply in closes:
        with connect(server) as control:
            control.send(text)
            assert control.read_line() == reply, text
            assert control.wait_closed(), text
            assert control.pending() == b"", text

    stays_open = [
        # (command, reply or None, codec and RTCP as logged)
        ("VIDEORECORDER:STOP:%s:%s:80\n" % ("0A0B0C0D0E0F", CAMERA), None, None),
        (command(*start_fields(PLAIN_MAC, 80, output)), status(PLAIN_MAC, 80, "RECORDING"),
         "codec '', RTCP over RTSP on"),
        ("::VIDEORECORDER::START::%s:::%s::81::admin:secret:video.mjpg::%s::MJPEG::\r\n"
         % (PLAIN_MAC, CAMERA, output), status(PLAIN_MAC, 81, "RECORDING"),
         "codec 'MJPEG', RTCP over RTSP on"),
        (command(*start_fields(PLAIN_MAC, 82, output, "MJPEG", "NORTCP")),
         status(PLAIN_MAC, 82, "RECORDING"), "codec 'MJPEG', RTCP over RTSP off"),
        (command(*start_fields(PLAIN_MAC, 83, output, "", "rtcp")), status(PLAIN_MAC, 83, "RECORDING"),
         "codec 'rtcp', RTCP over RTSP on"),  # an empty field is no field: "rtcp" is the codec
    ]
    for text, reply, logged in stays_open:
        mark = server.mark()
        with connect(server) as control:
            control.send(text)
            # One read is one command: the next goes out once this one was taken.
            server.wait_for_log("controlInterface: got '%s'" % text.rstrip("\r\n"), since=mark)
            if reply is not None:
                assert control.read_line() == reply, text
            if logged is not None:
                server.wait_for_log("startVideoRecording: " + logged, since=mark)
            assert still_reading(control), text
    server.wait_for_log("VIDEORECORDER got '%s' '%s' '80" % (PLAIN_MAC, CAMERA), level="DEBUG",
                        exact=True)
    server.wait_for_log("listens on all addresses without a recordings directory", level="WARN")


def test_stop_ends_every_recording_of_the_camera_and_answers_nothing(server, gateway, tmp_path):
    def started(port, camera=CAMERA):
        control = connect(server)
        control.start(PLAIN_MAC, camera, port, "admin", "secret", "video.mjpg",
                      str(tmp_path / ("%d.flv" % port)))
        assert control.read_line() == status(PLAIN_MAC, port, "RECORDING", camera)
        return control

    begin = time.monotonic()
    first, second, other = started(80), started(8080), started(80, OTHER_CAMERA)
    with connect(server) as stopper, first, second, other:
        # One read is one command: the second goes out once the first was taken.
        stopper.stop(PLAIN_MAC.lower(), CAMERA, 80)
        server.wait_for_log("stopVideoRecording: mac %s not found" % MAC.lower(), level="INFO")
        stopper.stop(PLAIN_MAC, CAMERA, 99)  # the port plays no part
        # Asked within the first 5 s: each ends at the first tick after the 5 s mark.
        assert first.read_line(timeout=15) == status(PLAIN_MAC, 80, "STOPPED")
        assert second.read_line(timeout=15) == status(PLAIN_MAC, 8080, "STOPPED")
        assert time.monotonic() - begin >= BUFFERING
        server.wait_for_log("removing tunnel with key", count=2)
        # The stop was held until the buffering time had passed; no exit timer ran.
        assert len(server.find("Too soon to close, waiting...", level="TRACE")) == 2
        assert server.find("Starting exit timer, 0.5s") == []
        for control in (first, second):
            assert control.pending() == b""
        # Nothing on the stopping connection, and the other camera records on.
        assert stopper.pending() == b"" and other.pending() == b""
        assert still_reading(stopper)
        assert len(server.find("removing tunnel with key")) == 2


def test_a_closed_starting_connection_gets_nothing(server, gateway, tmp_path):
    control = connect(server)
    control.start(PLAIN_MAC, CAMERA, 80, "admin", "secret", "video.mjpg", str(tmp_path / "a.flv"))
    assert control.read_line() == status(PLAIN_MAC, 80, "RECORDING")
    accepted = server.find("controlInterface: accepted connection")[-1].message
    mark = server.mark()
    control.close()
    server.wait_for_log("controlInterface: disconnected", since=mark)
    # The next connection gets the same descriptor number: the report must not follow it.
    with connect(server) as successor:
        assert server.wait_for_log("controlInterface: accepted connection",
                                   since=mark).message == accepted
        successor.stop(PLAIN_MAC, CAMERA, 80)
        server.wait_for_log("removing tunnel with key", since=mark, timeout=15)
        assert server.find("sendCtrlCloseMessage: ", since=mark) == []
        assert successor.pending() == b""


def test_a_second_recording_on_a_held_session_key_is_refused(server, gateway, tmp_path):
    with connect(server) as first:
        first.start(PLAIN_MAC, CAMERA, 80, "admin", "secret", "a", str(tmp_path / "a.flv"))
        assert first.read_line() == status(PLAIN_MAC, 80, "RECORDING")
        # The gateway registers again: its new record hands out its first local port again
        # while the old recording still holds it for the same camera.
        assert gateway.register() == bytes([ACCEPT])
        with connect(server) as second:
            second.start(PLAIN_MAC, CAMERA, 81, "admin", "secret", "a", str(tmp_path / "b.flv"))
            assert second.read_line() == status(PLAIN_MAC, 81, "ERROR")
            assert second.wait_closed()
        server.wait_for_log("Found session %s/%s/%d, will not start another tunnel with same "
                            "GC and camera." % (gateway.address_key, CAMERA, gateway.port_start),
                            level="INFO", exact=True)


def test_recordings_directory_confines_output_files(start_server, make_client, tmp_path):
    recordings = tmp_path / "recordings"
    recordings.mkdir()
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "victim.flv").write_bytes(b"keep")
    (recordings / "link.flv").symlink_to(outside / "victim.flv")
    server = start_server(args=["--ctrl-address=127.0.0.2", "--recordings-dir=%s" % recordings])
    client = make_client(MAC, server=server)
    assert client.register() == bytes([ACCEPT])
    # Every kind of name is a row of the unit tests; here the setting reaches the START.
    cases = [
        # (name in the START, file written, or None when refused)
        ("a.flv", recordings / "a.flv"),
        ("../escape.flv", None),
        ("link.flv", None),            # an existing link to a file outside
    ]
    for port, (name, written) in enumerate(cases, start=80):
        with connect(server, "127.0.0.2") as control:
            control.start(PLAIN_MAC, CAMERA, port, "admin", "secret", "a", name)
            expected = "ERROR" if written is None else "RECORDING"
            assert control.read_line() == status(PLAIN_MAC, port, expected), name
            if written is not None:
                wait_until(written.exists, what="%s to be written" % written)
    assert (outside / "victim.flv").read_bytes() == b"keep"
    assert sorted(p.name for p in outside.iterdir()) == ["victim.flv"]
    # Bound to 127.0.0.2 only, and no warning about an open control port.
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", server.ctrl_port), timeout=5).close()
    assert server.find("listens on all addresses") == []
    server.wait_for_log("Recordings are kept in %s" % recordings, level="INFO")
