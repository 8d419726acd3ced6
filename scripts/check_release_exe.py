#!/usr/bin/env python3
"""Checks the resources of a release exe, read straight from its file.

Usage: check_release_exe.py EXE --firmware IMAGE --version VERSION

Fails unless the exe carries IMAGE, byte for byte, as resource DATA 201 and
a version resource whose FileVersion and ProductVersion are VERSION. Prints
the version resource's strings. Reads the PE file itself, so that it needs
neither Wine nor a Windows tool, and so reads the bytes independently of the
Windows-side test that reads them through the system's calls.
"""

import argparse
import struct
import sys

RT_VERSION = 16
FIRMWARE = ("DATA", 201)


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not a 64-bit (PE32+) image")
        self.resource_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
        self.sections = []
        for i in range(sections):
            _, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
            self.sections.append((rva, max(size, raw_size), raw))

    def at(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def resources(self):
        """{(type, name): bytes} of the first language of each resource."""
        if self.resource_rva == 0:
            return {}
        base = self.at(self.resource_rva)
        found = {}

        def entries(offset):
            named, ids = struct.unpack_from("<12xHH", self.data, base + offset)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
                if name & 0x80000000:
                    length = struct.unpack_from("<H", self.data, base + (name & 0x7FFFFFFF))[0]
                    start = base + (name & 0x7FFFFFFF) + 2
                    name = self.data[start:start + 2 * length].decode("utf-16-le")
                yield name, target

        for kind, names in entries(0):
            for name, languages in entries(names & 0x7FFFFFFF):
                _, leaf = next(entries(languages & 0x7FFFFFFF))
                rva, size = struct.unpack_from("<II", self.data, base + leaf)
                start = self.at(rva)
                found.setdefault((kind, name), self.data[start:start + size])
        return found


def version_strings(block):
    """The StringFileInfo strings of a VS_VERSIONINFO block."""
    strings = {}

    def node(offset, depth):
        length, value_length, kind = struct.unpack_from("<HHH", block, offset)
        end = offset + length
        key_end = offset + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[offset + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        if depth == 3:
            strings[key] = block[value:value + value_bytes].decode("utf-16-le").rstrip("\0")
        child = (value + value_bytes + 3) & ~3
        while child < end:
            child = (node(child, depth + 1) + 3) & ~3
        return end

    node(0, 0)
    return strings


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--firmware", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args(argv)

    with open(args.exe, "rb") as f:
        resources = PeFile(f.read()).resources()
    with open(args.firmware, "rb") as f:
        firmware = f.read()

    problems = []
    carried = resources.get(FIRMWARE)
    if carried is None:
        problems.append("no firmware image (DATA 201)")
    elif carried != firmware:
        problems.append("firmware image of %d bytes, not the %d bytes of %s" % (len(carried), len(firmware), args.firmware))
    else:
        print("check_release_exe: firmware image DATA 201: %d bytes, as %s" % (len(carried), args.firmware))

    info = resources.get((RT_VERSION, 1))
    strings = version_strings(info) if info else {}
    if not strings:
        problems.append("no version resource")
    for name, text in sorted(strings.items()):
        print("check_release_exe: %s: %s" % (name, text))
    for name in ("FileVersion", "ProductVersion"):
        if strings and strings.get(name) != args.version:
            problems.append("%s %r, not %r" % (name, strings.get(name), args.version))

    for problem in problems:
        print("check_release_exe: %s: %s" % (args.exe, problem), file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
