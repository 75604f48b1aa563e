#!/usr/bin/env python3
"""Plays a file through marlin-host and counts what arrives.

    python3 play_file.py media/sample.mp4 [MARLIN_HOST]

Exit status 0 when the file played to its end and the host ended cleanly.
"""
import sys

import marlin


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: play_file.py MEDIA_FILE [MARLIN_HOST]", file=sys.stderr)
        return 2
    media = argv[1]
    try:
        with marlin.Host(argv[2] if len(argv) == 3 else None, timeout=15) as host:
            info = host.test_file(media)
            print(f"file: {info.width}x{info.height} {info.frames_per_second} fps, "
                  f"{info.duration_ms} ms")
            host.play(media, width=160, height=120, layout="i420", sample_rate=16000, channels=1)
            pictures = sound_bytes = 0
            for frame in host.frames():
                if frame.kind == "video":
                    assert len(frame.data) == marlin.picture_bytes("i420", 160, 120)
                    pictures += 1
                else:
                    sound_bytes += len(frame.data)
            print(f"played: {pictures} pictures, {sound_bytes / (2 * 16000):.2f} s of sound")
        print(f"host: {host.ended.description}")
        return 0 if host.ended.reason == "quit" and host.ended.exit_code == 0 else 1
    except marlin.CannotOpen as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except marlin.MarlinError as e:
        print(f"error: {type(e).__name__}: {e}", file=sys.stderr)
        return 3


if __name__ == "__main__":
    sys.exit(main(sys.argv))
