#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into corpus/<target>/ (run once;
the seeds are kept in the tree)."""
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
import make_games_database as db  # noqa: E402

HOST = b"update.vantri4.example"


def conversion_seed(entries, tail, variant=0):
    """entries: (inUse, gameId, kind); tail: the database from recordCount on;
    variant: 1 converts with no body, 8 a second time with the same body."""
    out = bytes([len(entries) + 25 * variant])
    for in_use, game_id, kind in entries:
        out += struct.pack("<BHB", in_use, game_id, kind)
    return out + tail


def shared_block_database(game_id, second=None):
    """One record whose four kinds share one pair of one block: small.
    second: the pair's second offset instead of that block."""
    table = db.RECORD_TABLE_OFFSET
    pair = table + db.RECORD_SIZE
    block = pair + 8
    record = struct.pack("<I12x4I", game_id, pair, pair, pair, pair)
    tail = struct.pack("<I", 1) + record + struct.pack("<II", block, block if second is None else second)
    return tail + b"\xB1" * db.BLOCK_DATA_OFFSET + db.block_pattern(game_id, 0, 0)


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    game = shared_block_database(7)
    write("conversion", "converted", conversion_seed([(1, 7, 2), (1, 7, 0)], game))
    write("conversion", "free_then_missing", conversion_seed([(1, 7, 1), (0, 0, 0), (1, 9, 0)], game))
    write("conversion", "all_in_use", conversion_seed([(1, 7, k % 4) for k in range(24)], game))
    write("conversion", "missing", conversion_seed([(1, 8, 0)], game))
    write("conversion", "bad_kind", conversion_seed([(1, 7, 5)], game))
    write("conversion", "short", conversion_seed([(1, 7, 0)], b"\x01\x00"))
    write("conversion", "second_block_none", conversion_seed([(1, 7, 3)], shared_block_database(7, 0)))
    write("conversion", "second_block_past_end", conversion_seed([(1, 7, 3)], shared_block_database(7, 0x7FFFFFF0)))
    write("conversion", "converted_twice", conversion_seed([(1, 7, 2), (1, 7, 0)], game, variant=8))
    write("conversion", "no_body", conversion_seed([(1, 7, 0)], game, variant=1))
    write("content_length", "plain", b"HTTP/1.1 200 OK\r\nContent-Length: 123\r\nServer: x\r\n\r\n")
    write("content_length", "no_space", b"Content-Length:123")
    write("content_length", "two", b"Content-Length: -5\nX: Content-Length\r\nContent-Length: 7")
    write("locate_database", "plain", HOST + b"/db/Games.vdb\n4.00\n")
    write("locate_database", "crlf_scheme", b"\n\nhttp://" + HOST + b"/x\r\n")
    write("locate_database", "no_host", b"http://elsewhere.example/db\n")


if __name__ == "__main__":
    main()
