#!/usr/bin/env python3
"""What the build and its tests read in a PE file, and the one change the
build makes to SETUP.EXE after strip.

    tools/pe.py align FILE

pads FILE with zeros to a multiple of 8 bytes and writes its checksum, as
osslsigncode does before it appends a signature, so that removing the
signature from the signed file gives these bytes back.
"""
import struct
import sys

CHECKSUM_AT = 24 + 64  # from the PE signature: file header, then the optional header


def pe_offset(data):
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise ValueError("not a PE file")
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    return offset


MACHINES = {0x8664: "x64", 0x14C: "i386", 0xAA64: "arm64"}
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000


def file_header(data):
    """The image's machine and characteristics, from its file header."""
    pe = pe_offset(data)
    if len(data) < pe + 24:
        raise ValueError("not a PE file")
    machine, = struct.unpack_from("<H", data, pe + 4)
    characteristics, = struct.unpack_from("<H", data, pe + 22)
    return machine, characteristics


def sections(data):
    """[(name, virtual address, raw offset, raw size)], long names resolved."""
    pe = pe_offset(data)
    count, = struct.unpack_from("<H", data, pe + 6)
    symbols, symbol_count = struct.unpack_from("<II", data, pe + 12)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    strings = symbols + 18 * symbol_count
    found = []
    for index in range(count):
        at = pe + 24 + optional_size + 40 * index
        name = data[at:at + 8].rstrip(b"\0").decode("latin-1")
        if name.startswith("/"):
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode("latin-1")
        address, raw_size, raw_offset = struct.unpack_from("<III", data, at + 12)
        found.append((name, address, raw_offset, raw_size))
    return found


def section(data, wanted):
    for name, address, offset, size in sections(data):
        if name == wanted:
            return address, offset, size
    return None


def resource(data, type_id, name_id):
    """The data of the resource TYPE/NAME (numeric ids), first language; None when absent."""
    pe = pe_offset(data)
    magic, = struct.unpack_from("<H", data, pe + 24)
    directories = pe + 24 + (112 if magic == 0x20B else 96)
    root_rva, _ = struct.unpack_from("<II", data, directories + 8 * 2)
    for name, address, offset, size in sections(data):
        if address <= root_rva < address + size:
            root = offset + root_rva - address
            break
    else:
        return None

    def child(directory, wanted):
        named, ids = struct.unpack_from("<HH", data, directory + 12)
        for index in range(named + ids):
            entry_id, target = struct.unpack_from("<II", data, directory + 16 + 8 * index)
            if wanted is None or entry_id == wanted:
                return target
        return None

    level = root
    for wanted in (type_id, name_id, None):
        target = child(level, wanted)
        if target is None:
            return None
        level = root + (target & 0x7FFFFFFF)
    rva, size = struct.unpack_from("<II", data, level)
    return data[offset + rva - address:offset + rva - address + size]


def checksum(data):
    at = pe_offset(data) + CHECKSUM_AT
    padded = data[:at] + b"\0\0\0\0" + data[at + 4:] + b"\0" * (len(data) % 2)
    total = sum(struct.unpack("<%dH" % (len(padded) // 2), padded))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def align(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data += b"\0" * (-len(data) % 8)
    struct.pack_into("<I", data, pe_offset(data) + CHECKSUM_AT, checksum(data))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "align":
        sys.exit("usage: tools/pe.py align FILE")
    align(sys.argv[2])
