#!/usr/bin/env python3
"""A stand-in for kalmo-host that misbehaves on purpose, for the recorder's
error-path tests. It takes the host's six arguments; the file name of the
first (the "core") picks the behaviour:

  partial_frame     startup, running, one whole frame, then half of a second
                    frame, and exit code 0
  killed            startup, running, one whole frame, then killed by SIGKILL
  ignores_quit      startup, running, then a frame every 20 ms, forever,
                    whatever comes on its input
"""
import os
import signal
import struct
import sys
import time


def packet(kind, payload):
    return b"KLMP" + bytes([kind]) + struct.pack("<I", len(payload)) + payload


def status(text):
    return packet(3, text.encode())


def frame(width, height, shade):
    pixels = bytes([shade, 255 - shade, 64, 255]) * (width * height)
    return packet(1, struct.pack("<II", width, height) + pixels)


def send(data):
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()


def start():
    sys.stderr.write("HOST_BUILD=fake\r\n")
    sys.stderr.flush()
    send(status('{"state":"stage","stage":"startup","message":"fake"}'))
    send(status('{"state":"av","width":4,"height":2,"aspect":2.000}'))
    send(status('{"state":"running","message":"Moteur Libretro natif actif"}'))
    send(frame(4, 2, 10))


def main():
    mode = os.path.basename(sys.argv[1]) if len(sys.argv) > 1 else ""
    start()
    if mode == "partial_frame":
        whole = frame(4, 2, 20)
        send(whole[: len(whole) // 2])
        sys.exit(0)
    if mode == "killed":
        os.kill(os.getpid(), signal.SIGKILL)
    if mode == "ignores_quit":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        shade = 0
        while True:
            time.sleep(0.02)
            shade = (shade + 1) % 256
            send(frame(4, 2, shade))
    sys.stderr.write("fake_host: unknown mode " + mode + "\r\n")
    sys.exit(9)


if __name__ == "__main__":
    main()
