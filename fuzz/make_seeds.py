#!/usr/bin/env python3
"""make_seeds.py: writes the seed corpora of the two fuzzers (fuzz/corpus/),
small sessions in the input layout that fuzz_run.cpp describes, and
descriptor texts. Run it from anywhere; it replaces the seed files."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def raster(rows, cols, width, short=0):
    out = b""
    for i in range(rows):
        for j in range(cols):
            v = 100 + (i * 7 + j * 11) % 23 + 3 * j
            out += struct.pack("<H" if width == 2 else "<i", v)
    return out[: len(out) - short] if short else out


def session(bits32, mode, rows, cols, pix, answers, short=0, descriptor=b"", raw=False):
    width = 4 if bits32 else 2
    r = raster(rows, cols, width, short)
    flags = (1 if bits32 else 0) | mode << 1 | (8 if raw else 0)
    head = bytes([flags, rows - 1, cols - 1, pix]) + struct.pack("<H", len(r))
    tail = descriptor + b"\0" if mode == 3 else b""
    return head + r + tail + answers


runs = {
    "six-fields": session(False, 0, 12, 12, 30, b"0\n0\n0\n6 6 10 90 3\n2\n20\n3\n200\n4\n2\n-1\n5\n"),
    "three-fields-32bit": session(True, 1, 10, 10, 0, b"0\n1\n30\n0\n5 5 10 45 3\n1\n4 4\n0\n3 3 80 300 1\n5\n"),
    "no-descriptor": session(False, 2, 8, 9, 25, b"1\nnew\n3\n1\n4 4 -30 135 2\n6\n0\n4 4 0 0 1\n5\n"),
    "descriptor-text": session(False, 3, 7, 7, 0, b"0\n0\n1\n3 3 45 270 2\n5\n", descriptor=b"7 7 2 0 0 15"),
    "short-raster": session(True, 0, 9, 9, 40, b"0\n0\n0\n4 4 20 180 3\n0\n1 1 5 5 5\n5\n", short=37),
    "answers-from-the-start": session(False, 0, 6, 6, 10, b"f\ndem\n0\n2\n0\nx\n0\n0\n3 3 10 0 2\n5\n", raw=True),
    "tiny-raster": session(False, 0, 2, 2, 5, b"0\n0\n0\n0 0 10 90 1\n5\n"),
}
descriptors = {
    "jacksboro": b"344 403 2 236 1076 83",
    "made": b"3\n4\n2\n",
    "empty": b"",
    "huge": b"99999999999 2",
    "negative": b"-5 3 2 0 0 1",
    "garbage": b"twelve lines",
    "result-log": b"12\n12\n1\n0\n255\n30\n\n code 1 \n\tselected point\n\t\tline   : 6\n\t\tcolumn : 6\n"
                  b"\tplane dip (in degrees) 10\n\tdirection of the slope 90\n\tinfluence zone 3 \n",
}
for folder, seeds in (("run", runs), ("descriptor", descriptors)):
    path = os.path.join(here, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)
