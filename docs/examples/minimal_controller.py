#!/usr/bin/env python3
"""A minimal Marlin controller, standard library only.

It creates the two sockets, starts marlin-host, asks for the file's
properties (TestFile), plays it (StartPlayFile) to 160x120 I420 pictures and
16 kHz mono sound, counts the frames until PlayComplete, and ends the host
with Quit. docs/protocol.md describes every byte used here.

    python3 minimal_controller.py path/to/bin/marlin-host media/sample.mp4

Exit status 0 when the file played to its end and the host exited cleanly.
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile

TIMEOUT_S = 15.0  # every wait for the host is bounded

# Message types (docs/protocol.md, "Messages").
TEST_FILE, TEST_FILE_REPLY = 0, 1
START_PLAY_FILE, START_PLAY_FILE_REPLY = 2, 3
QUIT = 25
VIDEO_FRAME, AUDIO_FRAME, PLAY_COMPLETE = 50, 51, 53

I420 = 12
WIDTH, HEIGHT, SAMPLE_RATE, CHANNELS = 160, 120, 16000, 1


def picture_bytes_i420(w, h):
    """Y plane, then U and V planes of ceil(W/2) x ceil(H/2)."""
    return w * h + 2 * ((w + 1) // 2) * ((h + 1) // 2)


def recv_exact(conn, size):
    data = bytearray()
    while len(data) < size:
        try:
            chunk = conn.recv(size - len(data))
        except socket.timeout:
            raise EOFError(f"no reply came within {TIMEOUT_S:.0f} s") from None
        if not chunk:
            raise EOFError("the host closed _pipe1")
        data += chunk
    return bytes(data)


def send_message(conn, message):
    # Packet: uint32 length, uint32 close (0), then the message.
    conn.sendall(struct.pack("<II", len(message), 0) + message)


def read_message(conn):
    length, close = struct.unpack("<II", recv_exact(conn, 8))
    if close:
        raise EOFError("close notice from the host")
    return recv_exact(conn, length)


def header(msg_type, msg_id):
    return struct.pack("<III", msg_type, msg_id, 0)


def utf16_path(path):
    return os.path.abspath(path).encode("utf-16-le") + b"\0\0"


def main(argv):
    if len(argv) != 3:
        print("usage: minimal_controller.py MARLIN_HOST MEDIA_FILE", file=sys.stderr)
        return 2
    host_path, media = os.path.abspath(argv[1]), argv[2]

    with tempfile.TemporaryDirectory(prefix="marlin-") as folder:
        base = os.path.join(folder, "link")
        # Both sockets listen before the host starts; it connects _pipe1 first.
        listeners = []
        for suffix in ("_pipe1", "_pipe2"):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.bind(base + suffix)
            s.listen(1)
            s.settimeout(TIMEOUT_S)
            listeners.append(s)

        # The host runs in its own folder, where LAVFilters/ lies; the base
        # name is the last word of its command line.
        with open(os.path.join(folder, "host.log"), "w+b") as log:
            host = subprocess.Popen([host_path, base], cwd=os.path.dirname(host_path),
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            try:
                status = run(listeners, media)
            except (OSError, EOFError, ValueError) as e:  # socket.timeout is an OSError
                print(f"error: {e}", file=sys.stderr)
                status = 1
            try:
                code = host.wait(timeout=TIMEOUT_S)
            except subprocess.TimeoutExpired:
                host.kill()
                code = host.wait()
            print(f"host exit status: {code}")
            if code != 0 or status != 0:
                log.seek(0)
                tail = log.read().decode(errors="replace").splitlines()[-20:]
                print("host log (last lines):", *tail, sep="\n  ", file=sys.stderr)
                return 1
        for s in listeners:
            s.close()
    return 0


def run(listeners, media):
    try:
        pipe1, _ = listeners[0].accept()  # host -> controller
        pipe2, _ = listeners[1].accept()  # controller -> host
    except socket.timeout:
        raise EOFError(f"the host did not connect within {TIMEOUT_S:.0f} s") from None
    for conn in (pipe1, pipe2):
        conn.settimeout(TIMEOUT_S)
    with pipe1, pipe2:
        # TestFile: header, then the UTF-16LE path with its NUL.
        send_message(pipe2, header(TEST_FILE, 1) + utf16_path(media))
        reply = read_message(pipe1)
        msg_type, msg_id, _ = struct.unpack_from("<III", reply)
        if msg_type != TEST_FILE_REPLY or msg_id != 1 or len(reply) != 36:
            raise ValueError(f"unexpected reply type {msg_type} of {len(reply)} bytes")
        has_video, _, width, height, duration_ms, fps = struct.unpack_from("<6i", reply, 12)
        if duration_ms == -1:
            print(f"the host cannot open {media}")
            return 1
        print(f"file: video {has_video} {width}x{height} {fps} fps, duration {duration_ms} ms")

        # StartPlayFile: header, MediaFormat (six int32), 4 reserved bytes, path.
        media_format = struct.pack("<6i", WIDTH, HEIGHT, I420, SAMPLE_RATE, 16, CHANNELS)
        send_message(pipe2, header(START_PLAY_FILE, 2) + media_format + b"\0" * 4 + utf16_path(media))

        video = audio = audio_bytes = 0
        picture_size = picture_bytes_i420(WIDTH, HEIGHT)
        started = False
        while True:
            message = read_message(pipe1)
            msg_type, msg_id, has_trailer = struct.unpack_from("<III", message)
            if msg_type == START_PLAY_FILE_REPLY:
                (result,) = struct.unpack_from("<I", message, 12)
                if result != 1:
                    print("StartPlayFile was refused")
                    return 1
                started = True
            elif msg_type in (VIDEO_FRAME, AUDIO_FRAME):
                # Header, MediaFormat echo, int32 dataLength, data,
                # [24-byte trailer], 10 bytes of padding.
                (data_length,) = struct.unpack_from("<i", message, 36)
                if len(message) != data_length + (74 if has_trailer else 50):
                    raise ValueError(f"frame of {len(message)} bytes with dataLength {data_length}")
                if msg_type == VIDEO_FRAME:
                    if data_length != picture_size:
                        raise ValueError(f"picture of {data_length} bytes, expected {picture_size}")
                    if video == 0:
                        # The frame's number is the header's id; the padding
                        # holds its time (int64, 100 ns from the file's start)
                        # and flags (uint16: 1 discontinuity, 2 key picture).
                        when, flags = struct.unpack_from("<qH", message, len(message) - 10)
                        key = " (key picture)" if flags & 2 else ""
                        print(f"first picture: #{msg_id} at {when / 1e7:.3f} s{key}")
                    video += 1
                else:
                    audio += 1
                    audio_bytes += data_length
            elif msg_type == PLAY_COMPLETE:
                break
            else:
                raise ValueError(f"unexpected message type {msg_type}")
        if not started:
            raise ValueError("frames came before the StartPlayFile reply")
        seconds = audio_bytes / (2 * CHANNELS * SAMPLE_RATE)
        print(f"played: {video} video frames, {audio} audio frames ({seconds:.2f} s of sound)")

        # Quit has no reply; the host closes _pipe1 and exits.
        send_message(pipe2, header(QUIT, 3))
        if pipe1.recv(1) != b"":
            raise ValueError("data after Quit")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
