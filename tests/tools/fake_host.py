#!/usr/bin/env python3
"""A stand-in for kalmo-host that misbehaves on purpose, for the recorder's
error-path tests. It takes the host's six arguments; the file name of the
first (the "core") picks the behaviour:

  partial_frame     startup, running, one whole frame, then half of a second
                    frame, and exit code 0
  killed            startup, running, one whole frame, then killed by SIGKILL
  ignores_quit      startup, running, then a frame every 20 ms, forever,
                    whatever comes on its input
  bad_magic         startup, running, one whole frame, then a packet whose
                    magic is wrong, then sleeps
  bad_frame_size    startup, running, one whole frame, then a frame whose
                    width and height contradict its length, then sleeps
  exits_2           the host's argument error, and exit code 2
  leaves_helper     starts a helper that sleeps 30 s holding its standard
                    output and error, then stops and exits 0
  echo_commands     a status naming every descriptor it holds beyond 0, 1
                    and 2, then each command line it reads echoed on
                    standard error as "GOT <line>"; QUIT ends it with code 0
"""
import json
import os
import signal
import struct
import subprocess
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


def inherited_descriptors():
    held = []
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + name)
        except OSError:
            continue  # the listing's own descriptor, closed by now
        if int(name) > 2:
            held.append(name + " " + target)
    return held


def echo_commands():
    send(status(json.dumps({"state": "descriptors", "held": inherited_descriptors()}, separators=(",", ":"))))
    for line in sys.stdin.buffer:
        text = line.decode("utf-8", "replace").rstrip("\n")
        sys.stderr.write("GOT " + text + "\r\n")
        sys.stderr.flush()
        if text == "QUIT":
            send(status('{"state":"stopped","message":"fake"}'))
            sys.exit(0)
    sys.exit(0)


def main():
    mode = os.path.basename(sys.argv[1]) if len(sys.argv) > 1 else ""
    start()
    if mode == "partial_frame":
        whole = frame(4, 2, 20)
        send(whole[: len(whole) // 2])
        sys.exit(0)
    if mode == "killed":
        os.kill(os.getpid(), signal.SIGKILL)
    if mode in ("bad_magic", "bad_frame_size"):
        broken = frame(4, 2, 30)
        if mode == "bad_magic":
            broken = b"KLMQ" + broken[4:]
        else:
            broken = broken[:9] + struct.pack("<II", 5, 2) + broken[17:]
        send(broken)
        time.sleep(30)
        sys.exit(0)
    if mode == "leaves_helper":
        subprocess.Popen(["sleep", "30"])
        send(status('{"state":"stopped","message":"fake"}'))
        sys.exit(0)
    if mode == "exits_2":
        send(status('{"state":"error","message":"Arguments du moteur KALMO invalides"}'))
        sys.exit(2)
    if mode == "echo_commands":
        echo_commands()
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
