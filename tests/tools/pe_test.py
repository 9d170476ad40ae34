#!/usr/bin/env python3
"""tools/pe.py align on a made-up PE file: the zeros it pads with and the
checksum it writes, whose expected values are worked out by hand."""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)
import pe  # noqa: E402

PE_AT = 0x40
CHECKSUM_AT = PE_AT + 24 + 64


def made_up(size):
    """Its words, the checksum's left out, add up to 0x1FFFF: "MZ", the PE
    header's offset, "PE", the PE32+ magic, 0xFFFF and 0x5E18. Folded with
    the end-around carry that is 0xFFFF + 1 = 0x10000, folded again 1."""
    data = bytearray(size)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, PE_AT)
    data[PE_AT:PE_AT + 4] = b"PE\0\0"
    struct.pack_into("<H", data, PE_AT + 24, 0x20B)
    struct.pack_into("<I", data, CHECKSUM_AT, 0x12345678)  # stale, not counted
    struct.pack_into("<HH", data, 0x100, 0xFFFF, 0x5E18)
    return bytes(data)


class Align(unittest.TestCase):
    def test_pads_to_eight_bytes_and_writes_the_checksum(self):
        original = made_up(499)
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "made-up.exe")
            with open(path, "wb") as f:
                f.write(original)
            subprocess.run([sys.executable, os.path.join(TOOLS, "pe.py"), "align", path],
                           check=True)
            with open(path, "rb") as f:
                aligned = f.read()
        self.assertEqual(len(aligned), 504)
        self.assertEqual(aligned[499:], b"\0" * 5)
        self.assertEqual(aligned[:CHECKSUM_AT], original[:CHECKSUM_AT])
        self.assertEqual(aligned[CHECKSUM_AT + 4:499], original[CHECKSUM_AT + 4:])
        self.assertEqual(struct.unpack_from("<I", aligned, CHECKSUM_AT)[0], 1 + 504)

    def test_checksum_of_an_odd_length_counts_the_last_byte_as_a_word(self):
        data = made_up(504) + b"\x07"
        self.assertEqual(pe.checksum(data), 1 + 0x0007 + 505)


if __name__ == "__main__":
    unittest.main()
