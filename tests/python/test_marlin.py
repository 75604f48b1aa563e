"""The Python module marlin against the real host of the build and the
stand-in host of tests/play for failures the real one does not show on demand.

    MARLIN_BIN_DIR=build/test/bin python3 -m unittest tests/python/test_marlin.py
"""
import os
import signal
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "python"))

import marlin  # noqa: E402

BIN = os.environ["MARLIN_BIN_DIR"]
HOST = os.path.join(BIN, "marlin-host")
FAKE_HOST = os.path.join(BIN, "marlin-play-fake-host")
SAMPLE = os.path.join(SOURCE, "media", "sample.mp4")


def fake(mode, timeout):
    os.environ["MARLIN_FAKE_HOST"] = mode
    return marlin.Host(FAKE_HOST, timeout=timeout)


class PlaybackTest(unittest.TestCase):
    def test_commands_frames_and_the_end(self):
        with marlin.Host(HOST, timeout=10) as host:
            self.assertEqual(host.test_file(SAMPLE), marlin.MediaInfo(True, 320, 240, 4000, 25))
            host.play(SAMPLE, width=33, height=17, layout="yv12", sample_rate=8000, channels=2)
            first = host.next_frame()
            host.pause()
            self.assertGreaterEqual(host.position(), 0)
            self.assertEqual(host.info().duration_ms, 4000)
            host.resume()
            host.seek(3000)

            frames = [first] + list(host.frames())
            pictures = [f for f in frames if f.kind == "video"]
            sound = [f for f in frames if f.kind == "audio"]
            self.assertTrue(pictures and sound)
            for f in pictures:
                self.assertEqual((f.width, f.height, f.layout), (33, 17, "yv12"))
                self.assertEqual(len(f.data), marlin.picture_bytes("yv12", 33, 17))
                self.assertIsNotNone(f.position_ms)
            for f in sound:
                self.assertEqual((f.sample_rate, f.channels), (8000, 2))
                self.assertEqual(len(f.data) % 4, 0)
            # The data is a read-only view into the message as it arrived.
            view = pictures[0].data
            self.assertIsInstance(view, memoryview)
            self.assertTrue(view.readonly)
            self.assertIsInstance(view.obj, bytearray)
            self.assertEqual(len(view.obj), 40 + len(view) + 24 + 10)
            # After the seek the trailers carry the new position.
            self.assertGreaterEqual(pictures[-1].position_ms, 3000)
            # Each frame's number and time: numbers go on across the seek,
            # which marks the first picture and sound block after it (the
            # seek may come before any picture of the start was shown).
            self.assertEqual([f.frame_number for f in pictures], list(range(len(pictures))))
            self.assertEqual([f.frame_number for f in sound], list(range(len(sound))))
            self.assertTrue(pictures[0].is_discontinuity and pictures[0].is_key_picture)
            self.assertTrue(sound[0].is_discontinuity)
            marked = [f for f in pictures if f.is_discontinuity]
            self.assertIn(len(marked), (1, 2))
            landed = marked[-1]
            self.assertEqual(landed.presentation_time % 400000, 0, "a time the file's pictures have")
            self.assertEqual(landed.presentation_seconds, 3.0, "the key frame at 3 s")
            self.assertTrue(landed.is_key_picture)
            self.assertIn(len([f for f in sound if f.is_discontinuity]), (1, 2))
            self.assertFalse(any(f.is_key_picture for f in sound))

            host.stop()
            self.assertEqual(host.position(), -1)
        self.assertEqual(host.ended.reason, "quit")
        self.assertEqual(host.ended.exit_code, 0)
        self.assertIn("StartPlayFile", host.ended.log)
        with self.assertRaises(marlin.HostEnded) as caught:
            host.pause()
        self.assertEqual(caught.exception.end.reason, "quit")

    def test_play_hands_out_no_frame_of_the_earlier_playback(self):
        # The stand-in host sends the last frames of a running playback
        # (filled with 0xEE) before it answers the next command; they, and
        # the earlier playback's frames not yet read, are not the new one's.
        with fake("player-late-frames", 5) as host:
            host.play(SAMPLE, width=64, height=48, layout="i420", sample_rate=8000, channels=1)
            host.next_frame()
            host.play(SAMPLE, width=32, height=16, layout="rgb24", sample_rate=16000, channels=2)
            pictures = 0
            while pictures < 3:
                frame = host.next_frame()
                self.assertIsNotNone(frame)
                self.assertNotEqual(set(bytes(frame.data)), {0xEE})
                if frame.kind == "video":
                    self.assertEqual((frame.width, frame.height, frame.layout), (32, 16, "rgb24"))
                    pictures += 1
                else:
                    self.assertEqual((frame.sample_rate, frame.channels), (16000, 2))

    def test_errors_are_typed(self):
        with marlin.Host(HOST, timeout=10) as host:
            with self.assertRaises(marlin.CannotOpen):
                host.test_file("/nonexistent/clip.mp4")
            with self.assertRaises(marlin.CannotOpen):
                host.play("/nonexistent/clip.mp4")
            with self.assertRaises(ValueError):
                host.play(SAMPLE, layout="bgr24")
            with self.assertRaises(ValueError):
                host.play(SAMPLE, width=0)
            with self.assertRaises(ValueError):
                host.test_file("/tmp/\udcff.mp4")
            with self.assertRaises(marlin.HostTimeout):
                host.next_frame(timeout=0.05)
            self.assertEqual(host.position(), -1)  # still answering
        with self.assertRaises(marlin.HostStartError):
            marlin.Host("/nonexistent/marlin-host")
        os.environ["MARLIN_HOST"] = "/nonexistent/marlin-host"
        try:
            with self.assertRaises(marlin.HostNotFound):
                marlin.Host()
        finally:
            del os.environ["MARLIN_HOST"]


class FailingHostTest(unittest.TestCase):
    def test_silent_host_times_out_and_is_killed_at_quit(self):
        host = fake("silent", 0.3)
        with self.assertRaises(marlin.HostTimeout):
            host.position()
        self.assertIsInstance(marlin.HostTimeout("x"), TimeoutError)
        end = host.quit(timeout=0.3)
        host.close()
        self.assertEqual((end.reason, end.signal), ("signal", signal.SIGKILL))

    def test_broken_message_kills_the_host(self):
        host = fake("garbage", 5)
        with self.assertRaises(marlin.ProtocolError):
            host.test_file(SAMPLE)
        host.close()
        self.assertEqual(host.ended.reason, "protocol-error")

    def test_host_that_dies_is_reported_with_its_status_and_log(self):
        with fake("die", 5) as host:
            with self.assertRaises(marlin.HostEnded) as caught:
                host.test_file(SAMPLE)
            end = caught.exception.end
            self.assertEqual((end.reason, end.exit_code), ("exited", 3))
            self.assertIn("giving up", end.log)
            self.assertIs(host.ended, end)


if __name__ == "__main__":
    unittest.main()
