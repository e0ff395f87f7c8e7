#!/usr/bin/env python3
"""The Python binding of kalmo-client against the real host, and its record
example run as a user would (its PNG frames and WAV file read back).

    python_binding_test.py LIBRARY HOST DEMO_CORE DEMO_CONTENT NOT_A_CORE
"""
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.join(HERE, "..", "..", "client", "python")
sys.path.insert(0, PYTHON_DIR)
import kalmo_client  # noqa: E402

LIBRARY, HOST, DEMO_CORE, DEMO_CONTENT, NOT_A_CORE = sys.argv[1:6]


def read_png(path):
    """Width, height and RGBA bytes of a PNG written by the example."""
    with open(path, "rb") as png:
        data = png.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            idat += data[at + 8:at + 8 + length]
        at += 12 + length
    rows = zlib.decompress(idat)
    return width, height, b"".join(rows[y * (width * 4 + 1) + 1:(y + 1) * (width * 4 + 1)] for y in range(height))


class Binding(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.paths = lambda core, content: [core, content] + [self.folder.name] * 4

    def tearDown(self):
        self.folder.cleanup()

    def test_a_session_gives_events_takes_commands_and_stops(self):
        with kalmo_client.Client(HOST, self.paths(DEMO_CORE, DEMO_CONTENT), library=LIBRARY) as client:
            self.assertGreater(client.host_pid(), 0)
            with self.assertRaises(kalmo_client.KalmoClientError) as refused:
                client.send_mouse(1, 1, buttons=9)
            self.assertIn("buttons", str(refused.exception))
            client.send_key(273, True, 0, 0)
            video = next(e for e in client.events() if e.type == "video")
            self.assertEqual((video.width, video.height, len(video.rgba)), (320, 240, 320 * 240 * 4))
            end = client.stop(5000)
            self.assertEqual((end.kind, end.code), ("code", 0))
            kinds = [e.type for e in client.events()]
            self.assertEqual(kinds[-1], "exit")

    def test_failures_raise_with_the_librarys_reason(self):
        with self.assertRaises(kalmo_client.KalmoClientError) as failed:
            kalmo_client.Client("/nowhere/kalmo-host", self.paths(DEMO_CORE, DEMO_CONTENT), library=LIBRARY)
        self.assertIn("cannot run the host /nowhere/kalmo-host", str(failed.exception))
        with kalmo_client.Client(HOST, self.paths(NOT_A_CORE, "none"), library=LIBRARY) as client:
            ends = [e.exit for e in client.events() if e.type == "exit"]
        self.assertEqual(ends[0].code, 4)
        self.assertIn("entry point", ends[0].meaning)
        with open(os.path.join(HERE, "..", "..", "VERSION")) as version:
            self.assertEqual(kalmo_client.version(LIBRARY), version.read().strip())

    def test_a_callback_gets_every_event_ending_with_the_exit(self):
        seen = []
        client = kalmo_client.Client(HOST, self.paths(NOT_A_CORE, "none"), library=LIBRARY,
                                     callback=lambda event: seen.append(event.type))
        with client:
            for _ in range(500):
                if "exit" in seen:
                    break
                time.sleep(0.01)
            with self.assertRaises(kalmo_client.KalmoClientError):
                client.next_event(0)
        self.assertEqual(seen[-1], "exit")
        self.assertIn("status", seen)

    def test_the_record_example_writes_png_frames_and_a_wav(self):
        out = os.path.join(self.folder.name, "recording")
        run = subprocess.run([sys.executable, os.path.join(PYTHON_DIR, "record_example.py"), HOST, DEMO_CORE,
                              DEMO_CONTENT, out, "--seconds", "1", "--library", LIBRARY],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        pngs = sorted(name for name in os.listdir(out) if name.endswith(".png"))
        self.assertGreater(len(pngs), 3)
        width, height, rgba = read_png(os.path.join(out, pngs[-1]))
        self.assertEqual((width, height, len(rgba)), (320, 240, 320 * 240 * 4))
        self.assertGreater(len(set(rgba[i:i + 4] for i in range(0, len(rgba), 4 * 97))), 4, "a blank frame")
        with wave.open(os.path.join(out, "audio.wav")) as sound:
            self.assertEqual((sound.getnchannels(), sound.getsampwidth()), (2, 2))
            self.assertGreater(sound.getnframes(), sound.getframerate() // 2)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
