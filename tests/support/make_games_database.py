#!/usr/bin/env python3
"""Writes a games database in the layout the restore's conversion reads.

The same layout and block contents as tests/support/games_database_builder.h:
a 10,336-byte header (recordCount at 10,332), the 32-byte records, then per
record and kind two blocks (48 bytes of 0xB1, then 5,456 data bytes) and the
pair that names them.

    make_games_database.py OUT [--games N] [--first-id ID] [--pad-to BYTES]
"""
import argparse
import struct
import sys

RECORD_COUNT_OFFSET = 10332
RECORD_TABLE_OFFSET = 10336
RECORD_SIZE = 32
KIND_OFFSETS_OFFSET = 16
KINDS = 4
BLOCK_DATA_OFFSET = 48
BLOCK_DATA_SIZE = 5456


_RAMP = bytes((i + (i >> 8)) & 0xFF for i in range(BLOCK_DATA_SIZE))


def block_pattern(game_id, kind, half):
    """The data bytes of one block; tells games, kinds and halves apart."""
    base = game_id * 7 + kind * 31 + half * 101
    return _RAMP.translate(bytes((base + j) & 0xFF for j in range(256)))


def build(games):
    """games: list of (game_id, pattern_id), one record each, in order."""
    out = bytearray((i * 13 + 5) & 0xFF for i in range(RECORD_COUNT_OFFSET))
    out += struct.pack("<I", len(games))
    out += bytes(RECORD_SIZE * len(games))
    for record, (game_id, pattern_id) in enumerate(games):
        at = RECORD_TABLE_OFFSET + RECORD_SIZE * record
        struct.pack_into("<I", out, at, game_id)
        for kind in range(KINDS):
            blocks = []
            for half in (0, 1):
                blocks.append(len(out))
                out += b"\xB1" * BLOCK_DATA_OFFSET + block_pattern(pattern_id, kind, half)
            pair = len(out)
            out += struct.pack("<II", *blocks)
            struct.pack_into("<I", out, at + KIND_OFFSETS_OFFSET + 4 * kind, pair)
    return bytes(out)


def numbered(count, first_id=100, pad_to=0):
    """count games with ids first_id, first_id + 1, ..., then zero bytes (not
    interpreted) up to pad_to."""
    data = build([(first_id + n, first_id + n) for n in range(count)])
    return data + bytes(max(0, pad_to - len(data)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--games", type=int, default=24)
    parser.add_argument("--first-id", type=int, default=100)
    parser.add_argument("--pad-to", type=int, default=0,
                        help="append zero bytes (not interpreted) up to this size")
    args = parser.parse_args()
    data = numbered(args.games, args.first_id, args.pad_to)
    with open(args.out, "wb") as f:
        f.write(data)
    print(f"{args.out}: {args.games} games, {len(data)} bytes", file=sys.stderr)


if __name__ == "__main__":
    main()
