#!/usr/bin/env python3
"""Records a few seconds of a game through kalmo-client: PNG frames and a WAV.

    record_example.py HOST CORE CONTENT OUT_DIR [--seconds S] [--every N] [--library PATH]

Every Nth frame becomes OUT_DIR/frame_NNNNN.png, all the sound OUT_DIR/audio.wav.
The library comes from --library or $KALMO_CLIENT_LIBRARY.
"""
import argparse
import os
import struct
import sys
import time
import wave
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kalmo_client import Client, KalmoClientError  # noqa: E402


def write_png(path, width, height, rgba):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    stride = width * 4
    rows = b"".join(b"\x00" + rgba[y * stride:(y + 1) * stride] for y in range(height))
    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("host", "core", "content", "out_dir"):
        parser.add_argument(name)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--every", type=int, default=6)
    parser.add_argument("--library")
    options = parser.parse_args()
    os.makedirs(options.out_dir, exist_ok=True)
    folders = [options.out_dir] * 4
    frames = saved = 0
    sound = None
    try:
        client = Client(options.host, [options.core, options.content] + folders, library=options.library)
    except KalmoClientError as failure:
        sys.exit("cannot start the host: %s" % failure)
    with client:
        deadline = None
        for event in client.events(timeout_ms=1000):
            if event is None:
                pass
            elif event.type == "status" and event.state == "running":
                deadline = time.monotonic() + options.seconds
            elif event.type == "video":
                if frames % options.every == 0:
                    write_png(os.path.join(options.out_dir, "frame_%05d.png" % frames),
                              event.width, event.height, event.rgba)
                    saved += 1
                frames += 1
            elif event.type == "audio":
                if sound is None:
                    sound = wave.open(os.path.join(options.out_dir, "audio.wav"), "wb")
                    sound.setnchannels(2)
                    sound.setsampwidth(2)
                    sound.setframerate(event.sample_rate)
                sound.writeframes(event.samples)
            elif event.type in ("error", "exit"):
                print("%s: %s" % (event.type, event.text))
            if deadline and time.monotonic() >= deadline:
                deadline = None
                print("stopped:", client.stop(5000).meaning)
    if sound:
        sound.close()
    print("%d frames, %d saved as PNG, sound %s" % (frames, saved, "saved" if sound else "absent"))
    return 0 if saved else 1


if __name__ == "__main__":
    sys.exit(main())
