"""Drive a Marlin media host from Python, with the standard library only.

    import marlin

    with marlin.Host() as host:
        info = host.test_file("film.mp4")
        host.play("film.mp4", width=320, height=240, layout="i420")
        for frame in host.frames():
            print(frame.kind, frame.width, frame.height, len(frame.data))

`Host` starts a marlin-host process, talks to it over two Unix sockets
(docs/protocol.md describes every byte) and ends it when the `with` block
ends. Every wait for the host is bounded; the errors are the subclasses of
`MarlinError` below.
"""
import collections
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

__all__ = [
    "Host", "Frame", "MediaInfo", "HostEnd",
    "MarlinError", "HostNotFound", "HostStartError", "HostTimeout", "HostEnded",
    "CannotOpen", "ProtocolError",
    "LAYOUTS", "picture_bytes", "find_host",
]
__version__ = "0.1.0"


class MarlinError(Exception):
    """Base of every error this module raises about the host."""


class HostNotFound(MarlinError):
    """No marlin-host to start: pass host_path or set MARLIN_HOST."""


class HostStartError(MarlinError):
    """The host could not be started, or did not connect in time."""


class HostTimeout(MarlinError, TimeoutError):
    """No reply, or no frame, came within the time limit."""


class HostEnded(MarlinError):
    """The host has ended; `end` (a HostEnd) says how."""

    def __init__(self, end):
        super().__init__(end.description)
        self.end = end


class CannotOpen(MarlinError):
    """The host cannot open or play the file."""


class ProtocolError(MarlinError):
    """The host sent something that does not decode; it has been killed."""


# Pixel layouts and their protocol codes.
LAYOUTS = {
    "rgb24": 0, "rgb32": 2, "rgb565": 3, "rgb555": 4, "yuy2": 6, "uyvy": 10,
    "i420": 12, "yvu9": 13, "yv12": 16, "iyuv": 19, "nv12": 22,
}
_LAYOUT_NAMES = {code: name for name, code in LAYOUTS.items()}


def picture_bytes(layout, width, height):
    """Bytes of one width x height picture in `layout` (a name from LAYOUTS)."""
    w2, h2, w4, h4 = (width + 1) // 2, (height + 1) // 2, (width + 3) // 4, (height + 3) // 4
    return {
        "rgb24": width * height * 3, "rgb32": width * height * 4,
        "rgb565": width * height * 2, "rgb555": width * height * 2,
        "yuy2": w2 * 4 * height, "uyvy": w2 * 4 * height,
        "i420": width * height + 2 * w2 * h2, "yv12": width * height + 2 * w2 * h2,
        "iyuv": width * height + 2 * w2 * h2, "nv12": width * height + 2 * w2 * h2,
        "yvu9": width * height + 2 * w4 * h4,
    }[layout]


class MediaInfo(collections.namedtuple(
        "MediaInfo", "has_video width height duration_ms frames_per_second")):
    """What the host reports about a file. duration_ms is -1 when unknown."""


class HostEnd(collections.namedtuple("HostEnd", "reason exit_code signal description log")):
    """How the host ended. reason is one of:

    "quit"           after quit() or the end of the with block
    "exited"         by itself, with exit_code
    "signal"         by a signal (a crash, or killed from outside)
    "protocol-error" it sent something that does not decode and was killed

    log holds what the host wrote to its standard error.
    """

    def __repr__(self):
        return (f"HostEnd(reason={self.reason!r}, exit_code={self.exit_code}, signal={self.signal}, "
                f"description={self.description!r}, log=<{len(self.log)} characters>)")


class Frame:
    """One picture (kind "video") or block of sound (kind "audio").

    data is a read-only memoryview of the bytes as they arrived, without a
    copy: a picture in `layout` of width x height, or interleaved signed
    16-bit little-endian samples of `channels` channels at `sample_rate`.
    position_ms is the playback position the host last sampled (about once a
    second and right after a seek), or None on sound blocks that carry none.

    Each frame also says which it is and when it belongs:
    frame_number counts the frames of its kind from 0 at each play() (a gap
    means the host dropped one; a seek does not reset it);
    presentation_time is its time in 100 ns units from the file's start, on
    the scale of seek() and position_ms (for sound, the time of its first
    sample; presentation_seconds gives it in seconds);
    is_discontinuity is set on the first frame of its kind after play() or a
    seek; is_key_picture on pictures that decode on their own.
    """

    __slots__ = ("kind", "width", "height", "layout", "sample_rate", "channels", "data",
                 "position_ms", "frame_number", "presentation_time", "flags")

    def __init__(self, kind, width, height, layout, sample_rate, channels, data, position_ms,
                 frame_number=0, presentation_time=0, flags=0):
        self.kind = kind
        self.width = width
        self.height = height
        self.layout = layout
        self.sample_rate = sample_rate
        self.channels = channels
        self.data = data
        self.position_ms = position_ms
        self.frame_number = frame_number
        self.presentation_time = presentation_time
        self.flags = flags

    @property
    def presentation_seconds(self):
        return self.presentation_time / 1e7

    @property
    def is_discontinuity(self):
        return bool(self.flags & _FLAG_DISCONTINUITY)

    @property
    def is_key_picture(self):
        return bool(self.flags & _FLAG_KEY_PICTURE)

    def __repr__(self):
        if self.kind == "video":
            what = f"{self.width}x{self.height} {self.layout}"
        else:
            what = f"{self.sample_rate} Hz x{self.channels}"
        return (f"<marlin.Frame {self.kind} #{self.frame_number} at {self.presentation_seconds:.6f} s {what}, "
                f"{len(self.data)} bytes, position_ms={self.position_ms}>")


def find_host():
    """The marlin-host to start when none is named: $MARLIN_HOST, else the
    one in lib/marlin/ beside the bin/ of a marlin-play on PATH, else
    /usr/local/lib/marlin or /usr/lib/marlin."""
    named = os.environ.get("MARLIN_HOST")
    if named:
        if os.access(named, os.X_OK) and os.path.isfile(named):
            return named
        raise HostNotFound(f"MARLIN_HOST names {named}, which is not an executable file")
    candidates = []
    play = shutil.which("marlin-play")
    if play:
        bin_dir = os.path.dirname(os.path.realpath(play))
        candidates += [os.path.join(bin_dir, "marlin-host"),
                       os.path.join(bin_dir, "..", "lib", "marlin", "marlin-host")]
    candidates += ["/usr/local/lib/marlin/marlin-host", "/usr/lib/marlin/marlin-host"]
    for path in candidates:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.normpath(path)
    raise HostNotFound("no marlin-host found (set MARLIN_HOST); looked at " + ", ".join(candidates))


# Message types of docs/protocol.md.
_TEST_FILE, _START_PLAY_FILE, _GET_FILE_INFO, _STOP_PLAY_FILE = 0, 2, 4, 6
_PAUSE, _CONTINE, _SEEK, _GET_POSITION, _QUIT = 8, 10, 14, 16, 25
_VIDEO_FRAME, _AUDIO_FRAME, _TRAILER, _PLAY_COMPLETE = 50, 51, 52, 53
_FRAME_PADDING = 10
# The frame's stamp in the padding: int64 time (100 ns), uint16 flags.
_FLAG_DISCONTINUITY, _FLAG_KEY_PICTURE = 1, 2
_REPLY_SIZES = {1: 36, 3: 16, 5: 36, 7: 16, 9: 16, 11: 16, 17: 24, 19: 16}
_PLAY_COMPLETE_MARK = object()


class Host:
    """A running marlin-host. Use it as a context manager, or call close().

    timeout bounds each wait for a reply (seconds); connect_timeout the wait
    for the host to connect after it starts (it takes about 1.5 s).
    """

    def __init__(self, host_path=None, *, timeout=5.0, connect_timeout=10.0):
        self.host_path = os.path.abspath(host_path or find_host())
        self.timeout = timeout
        self._queue = collections.deque()
        self._next_id = 0
        self._end = None
        self._quit_asked = False
        self._playing = False  # a play succeeded and no stop followed
        self._pipe1 = self._pipe2 = None
        self._folder = tempfile.TemporaryDirectory(prefix="marlin-py-")
        base = os.path.join(self._folder.name, "link")
        listeners = []
        try:
            for suffix in ("_pipe1", "_pipe2"):
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                listeners.append(s)
                s.bind(base + suffix)
                s.listen(1)
            self._log = open(os.path.join(self._folder.name, "host.log"), "w+b")
            try:
                self._process = subprocess.Popen(
                    [self.host_path, base], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=self._log)
            except OSError as e:
                raise HostStartError(f"cannot start {self.host_path}: {e}") from e
            deadline = time.monotonic() + connect_timeout
            conns = []
            for listener in listeners:  # _pipe1 first, then _pipe2
                conns.append(self._accept(listener, deadline))
            self._pipe1, self._pipe2 = conns
        except BaseException:
            for s in listeners:
                s.close()
            if getattr(self, "_process", None) is not None and self._process.poll() is None:
                self._process.kill()
                self._process.wait()
            self._cleanup()
            raise
        for s in listeners:
            s.close()

    # --- the with statement ---

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        # A Host dropped without close(): do not leave the process behind.
        try:
            if getattr(self, "_process", None) is not None and self._end is None:
                self.close()
        except Exception:
            pass

    # --- commands ---

    def test_file(self, path):
        """The MediaInfo of a file, opened in a throw-away player; a running
        playback goes on. CannotOpen when the host cannot open it."""
        reply = self._command(_TEST_FILE, _utf16_path(path))
        info = _media_info(reply)
        if info.duration_ms == -1:
            raise CannotOpen(f"{path}: marlin-host cannot open it")
        return info

    def play(self, path, width=320, height=240, layout="i420", sample_rate=44100, channels=2):
        """Stops any playback and plays the file; no frame of the earlier
        playback, queued or still on its way, is handed out after this
        returns (a running playback is stopped first, to tell them apart).
        CannotOpen when it cannot play."""
        if layout not in LAYOUTS:
            raise ValueError(f"unknown layout {layout!r}; one of {', '.join(LAYOUTS)}")
        if not (1 <= width <= 8192 and 1 <= height <= 8192):
            raise ValueError("picture size outside 1 to 8192")
        if not 1 <= sample_rate <= 768000:
            raise ValueError("sample rate outside 1 to 768000")
        if not 1 <= channels <= 8:
            raise ValueError("channel count outside 1 to 8")
        body = struct.pack("<6iI", width, height, LAYOUTS[layout], sample_rate, 16, channels, 0)
        if self._playing:
            # The earlier playback's frames come until the host has stopped
            # it, and the new one's may come before StartPlayFile is
            # answered: the answer to a stop is what divides them.
            self.stop()
        self._queue.clear()
        reply = self._command(_START_PLAY_FILE, body + _utf16_path(path))
        if struct.unpack_from("<I", reply, 12)[0] != 1:
            raise CannotOpen(f"{path}: marlin-host cannot play it")
        self._playing = True

    def info(self):
        """The MediaInfo of the file now playing (duration_ms -1 when idle;
        the picture size is not reported during playback)."""
        return _media_info(self._command(_GET_FILE_INFO))

    def pause(self):
        self._command(_PAUSE)

    def resume(self):
        self._command(_CONTINE)

    def seek(self, position_ms):
        """Moves the playback to position_ms. The host does not answer a
        seek; frames already queued or on their way are from before it."""
        if position_ms < 0:
            raise ValueError("negative position")
        self._command(_SEEK, struct.pack("<Iq", 0, position_ms), reply=False)

    def position(self):
        """The playback position in ms, -1 while nothing plays."""
        return struct.unpack_from("<q", self._command(_GET_POSITION), 16)[0]

    def stop(self):
        """Ends the playback; no frame of it arrives after this returns."""
        self._command(_STOP_PLAY_FILE)
        self._playing = False

    # --- frames ---

    def next_frame(self, timeout=None):
        """The next Frame, or None once the file has played to its end.
        HostTimeout when nothing came within timeout seconds (default: the
        host's timeout)."""
        wait = self.timeout if timeout is None else timeout
        if not self._queue:
            message = self._read_message(wait)
            if message is None:
                raise HostTimeout(f"no frame within {wait} s")
            if not self._queue:  # a stray reply, dropped
                return self.next_frame(timeout)
        item = self._queue.popleft()
        return None if item is _PLAY_COMPLETE_MARK else item

    def frames(self, timeout=None):
        """Every frame until the file has played to its end."""
        while True:
            frame = self.next_frame(timeout)
            if frame is None:
                return
            yield frame

    # --- the end ---

    @property
    def pid(self):
        return self._process.pid

    @property
    def ended(self):
        """A HostEnd once the host has ended, else None."""
        if self._end is None and self._process.poll() is not None:
            self._finish("exited")
        return self._end

    def quit(self, timeout=None):
        """Asks the host to end, waits (killing it after timeout seconds)
        and returns the HostEnd."""
        if self._end is not None:
            return self._end
        wait = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        self._quit_asked = True
        try:
            self._send(_header(_QUIT, self._take_id()))
            # Read on until the host closes its end; frames are dropped.
            while self._end is None:
                left = deadline - time.monotonic()
                if left <= 0 or self._read_message(left) is None:
                    break
        except MarlinError:
            pass
        if self._end is None:
            try:
                self._process.wait(timeout=max(0.0, deadline - time.monotonic()))
                self._finish("quit")
            except subprocess.TimeoutExpired:
                self._finish("signal", kill=True,
                             why=f"marlin-host did not end within {wait} s of Quit; killed")
        return self._end

    def close(self):
        """Quits the host if it still runs and removes the sockets."""
        try:
            if getattr(self, "_process", None) is not None:
                self.quit()
        finally:
            self._cleanup()

    # --- inside ---

    def _cleanup(self):
        for conn in (self._pipe1, self._pipe2):
            if conn is not None:
                conn.close()
        self._pipe1 = self._pipe2 = None
        log = getattr(self, "_log", None)
        if log is not None:
            log.close()
            self._log = None
        if self._folder is not None:
            self._folder.cleanup()
            self._folder = None

    def _accept(self, listener, deadline):
        while True:
            if self._process.poll() is not None:
                raise HostStartError(f"{self.host_path} ended with status {self._process.returncode} "
                                     f"before it connected:\n{self._read_log()}")
            left = deadline - time.monotonic()
            if left <= 0:
                raise HostStartError(f"{self.host_path} did not connect in time")
            listener.settimeout(min(left, 0.1))
            try:
                conn, _ = listener.accept()
                conn.settimeout(None)
                return conn
            except socket.timeout:
                continue

    def _read_log(self):
        if getattr(self, "_log", None) is None:
            return ""
        self._log.flush()
        self._log.seek(0)
        return self._log.read().decode(errors="replace")

    def _take_id(self):
        self._next_id = (self._next_id + 1) & 0xFFFFFFFF
        return self._next_id

    def _send(self, message):
        if self._end is not None:
            raise HostEnded(self._end)
        self._pipe2.settimeout(self.timeout)
        try:
            self._pipe2.sendall(struct.pack("<II", len(message), 0) + message)
        except socket.timeout:
            raise HostTimeout(f"marlin-host did not take the command within {self.timeout} s") from None
        except OSError:
            self._wait_for_end()
            raise HostEnded(self._end) from None

    def _command(self, msg_type, body=b"", reply=True):
        msg_id = self._take_id()
        self._send(_header(msg_type, msg_id) + body)
        if not reply:
            return None
        deadline = time.monotonic() + self.timeout
        while True:
            left = deadline - time.monotonic()
            message = self._read_message(left) if left > 0 else None
            if message is None:
                raise HostTimeout(f"marlin-host did not answer within {self.timeout} s")
            got_type, got_id = struct.unpack_from("<II", message)
            if got_type == msg_type + 1 and got_id == msg_id:
                return message

    def _read_message(self, wait):
        """Reads one message, queueing frames and returning it; None when
        none started within `wait` seconds."""
        if self._end is not None:
            raise HostEnded(self._end)
        ready, _, _ = select.select([self._pipe1], [], [], max(0.0, wait))
        if not ready:
            return None
        header = self._recv_exact(8, allow_eof=True)
        if header is None:
            self._wait_for_end()
            raise HostEnded(self._end)
        length, close = struct.unpack("<II", header)
        if close:
            self._protocol_error("a close notice came from marlin-host")
        message = self._recv_exact(length)
        self._decode(message)
        return message

    def _recv_exact(self, size, allow_eof=False):
        buffer = bytearray(size)
        view = memoryview(buffer)
        done = 0
        self._pipe1.settimeout(self.timeout)
        while done < size:
            try:
                n = self._pipe1.recv_into(view[done:])
            except socket.timeout:
                self._protocol_error("marlin-host stopped in the middle of a message")
            except ConnectionResetError:
                n = 0
            if n == 0:
                if done == 0 and allow_eof:
                    return None
                self._protocol_error("marlin-host closed its connection in the middle of a message")
            done += n
        return buffer

    def _decode(self, message):
        if len(message) < 12:
            self._protocol_error(f"a message of {len(message)} bytes has no header")
        msg_type, msg_id, has_trailer = struct.unpack_from("<III", message)
        if msg_type in (_VIDEO_FRAME, _AUDIO_FRAME):
            if len(message) < 40 + _FRAME_PADDING or has_trailer > 1:
                self._protocol_error("a frame message too short")
            width, height, code, rate, _, channels, length = struct.unpack_from("<7i", message, 12)
            trailer = 24 if has_trailer else 0
            if length < 0 or len(message) != 40 + length + trailer + _FRAME_PADDING:
                self._protocol_error(f"a frame of {len(message)} bytes with dataLength {length}")
            position = None
            if has_trailer:
                t_type, _, t_zero, _, position = struct.unpack_from("<IIIIq", message, 40 + length)
                if t_type != _TRAILER or t_zero != 0:
                    self._protocol_error("a frame whose trailer does not decode")
            data = memoryview(message).toreadonly()[40:40 + length]
            when, flags = struct.unpack_from("<qH", message, len(message) - _FRAME_PADDING)
            if msg_type == _VIDEO_FRAME:
                frame = Frame("video", width, height, _LAYOUT_NAMES.get(code), 0, 0, data, position,
                              msg_id, when, flags)
            else:
                frame = Frame("audio", 0, 0, None, rate, channels, data, position, msg_id, when, flags)
            self._queue.append(frame)
        elif msg_type == _PLAY_COMPLETE:
            self._queue.append(_PLAY_COMPLETE_MARK)
        elif msg_type in _REPLY_SIZES:
            if len(message) != _REPLY_SIZES[msg_type]:
                self._protocol_error(f"reply type {msg_type} of {len(message)} bytes")
        else:
            self._protocol_error(f"unknown message type {msg_type}")

    def _protocol_error(self, why):
        self._finish("protocol-error", kill=True, why=why)
        raise ProtocolError(why)

    def _wait_for_end(self):
        """The host closed its socket: it is on its way out."""
        if self._end is not None:
            return
        try:
            self._process.wait(timeout=self.timeout)
            self._finish("quit" if self._quit_asked else "exited")
        except subprocess.TimeoutExpired:
            self._finish("exited", kill=True, why="marlin-host closed its connection but did not end; killed")

    def _finish(self, reason, kill=False, why=None):
        if self._end is not None:
            return
        if kill and self._process.poll() is None:
            self._process.kill()
        code = self._process.wait()
        if code < 0:
            status = f"signal {-code} ({signal.Signals(-code).name})"
            if reason != "protocol-error":
                reason = "signal"
        else:
            status = f"exit status {code}"
            if reason == "quit" and not self._quit_asked:
                reason = "exited"
        description = f"{why} ({status})" if why else f"marlin-host ended with {status}"
        self._end = HostEnd(reason, code if code >= 0 else 0, -code if code < 0 else 0,
                            description, self._read_log())


def _header(msg_type, msg_id):
    return struct.pack("<III", msg_type, msg_id, 0)


def _utf16_path(path):
    try:
        return os.path.abspath(os.fspath(path)).encode("utf-16-le") + b"\0\0"
    except UnicodeEncodeError:
        raise ValueError(f"{path!r}: the path is not valid text, so it cannot travel to marlin-host") from None


def _media_info(reply):
    has_video, _, width, height, duration, fps = struct.unpack_from("<6i", reply, 12)
    return MediaInfo(bool(has_video), width if has_video else 0, height if has_video else 0, duration, fps)
