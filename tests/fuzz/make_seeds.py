#!/usr/bin/env python3
"""Writes the hand-made seeds of the command reader harness into
corpus/command_reader/. Each seed is a 10-byte header (read limit, eight
arrival sizes, flags) and a stream; flag 1 turns 0xFE n b into (n + 1) * 64
copies of b, flag 2 makes the core's callbacks poll again from inside.

Also the packet parser's seeds, into corpus/packet_parser/: a flags byte,
eight arrival sizes, then a packet stream, whole or broken.

The other harnesses read their input through FuzzedDataProvider, whose
layout is not worth writing by hand: their corpora are the merged result of
longer runs (see README.md)."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "command_reader")


def header(read_limit, cuts, flags):
    assert len(cuts) == 8
    return bytes([read_limit]) + bytes(cuts) + bytes([flags])


def repeat(count, byte):
    """(n + 1) * 64 copies of byte, as flag 1 expands it; count a multiple of 64."""
    assert count % 64 == 0 and 64 <= count <= 256 * 64
    return bytes([0xFE, count // 64 - 1, byte])


SEEDS = {
    "commands": header(0, [1, 2, 3, 4, 5, 6, 7, 8], 0)
    + b"M 1 2 3 4 5 6 7\nM 10 20 0 -1 50 60 0\nK 97 1 97 0\nRESET\nQUIT\r\n",
    "split_reads": header(3, [1, 2, 3, 5, 7, 11, 13, 17], 2)
    + b"M 1 2 3\nK 65535 7 0 0\nRESET\nK 70000 1 5 3\nM 5 x 3 4 5 6 7\nQUIT \nquit\nQUIT\r\r\n",
    "field_edges": header(0, [40, 1, 40, 1, 40, 1, 40, 1], 0)
    + b"M - 5 6 7 8 9 10\nM 0 0 -1 0 0 0 -2\nM5 5 5 5 5 5 5\nM\t1\nM 4294967296 -2147483648\n"
    + b"M 5-3\nK\x00 1 1\nM 1\x002 3\n\r\n\n",
    "line_too_long": header(0, [200, 255, 0, 9, 255, 1, 77, 0], 1)
    + b"M 1 1\n" + repeat(8256, ord("x")) + b"\nM 2 2\nQUIT\n",
    "line_of_8190": header(0, [255, 255, 255, 255, 255, 255, 255, 255], 1)
    + b"M 7 7\n" + repeat(8128, ord("a")) + b"a" * 62 + b"\nM 3 3\n" + repeat(8128, ord("b")) + b"b" * 63 + b"\nK 1 1 0 0\n",
    "unfinished_tail": header(5, [9, 9, 9, 9, 9, 9, 9, 9], 0) + b"M 1 2 3 4\nRES",
}


def packet(kind, payload):
    return b"KLMP" + bytes([kind]) + len(payload).to_bytes(4, "little") + payload


def video(width, height):
    return packet(1, width.to_bytes(4, "little") + height.to_bytes(4, "little") + bytes(range(width * height * 4)))


def audio(frames):
    return packet(2, (48000).to_bytes(4, "little") + frames.to_bytes(4, "little") + bytes(frames * 4))


STATUS = packet(3, b'{"state":"running","message":"Moteur Libretro natif actif"}')
PARSER_SEEDS = {
    "normal_run": bytes([1, 1, 2, 3, 5, 8, 13, 21, 34]) + STATUS + video(2, 1) + audio(3) + video(4, 3) + STATUS,
    "bad_magic": bytes([0, 9, 9, 9, 9, 9, 9, 9, 9]) + STATUS + b"KLMQ" + STATUS[4:],
    "video_size_contradicts": bytes([1, 4, 4, 4, 4, 4, 4, 4, 4]) + video(2, 2)[:9] + (3).to_bytes(4, "little") * 2 + bytes(16),
    "cut_inside_frame": bytes([0, 200, 1, 200, 1, 200, 1, 200, 1]) + audio(2) + video(8, 8)[:100],
}


def main():
    for folder, seeds in ((OUT, SEEDS), (os.path.join(HERE, "corpus", "packet_parser"), PARSER_SEEDS)):
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
