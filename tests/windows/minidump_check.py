#!/usr/bin/env python3
"""Checks that a file is a full-memory minidump of a crash.

Reads only the header (its Flags must hold MiniDumpWithFullMemory), the
stream directory and the two streams that matter here: the exception stream
(type 6) and the 64-bit memory list (type 9, written for full-memory dumps).
Exits 0 and prints a one-line summary when the file passes, 1 with the reason
otherwise.

usage: minidump_check.py FILE [--code 0xC0000005] [--thread TID[,TID...]] [--address LOW:HIGH]
"""
import argparse
import os
import struct
import sys

SIGNATURE = b"MDMP"
VERSION = 0xA793                 # low word of MINIDUMP_HEADER.Version
MINIDUMP_WITH_FULL_MEMORY = 0x2  # MINIDUMP_TYPE bit, echoed in MINIDUMP_HEADER.Flags
EXCEPTION_STREAM = 6
MEMORY64_LIST_STREAM = 9
HEADER = struct.Struct("<4sIIIIIQ")   # signature, version, streams, dir rva, checksum, time, flags
DIR_ENTRY = struct.Struct("<III")     # stream type, data size, rva
# MINIDUMP_EXCEPTION_STREAM: thread id, alignment, then MINIDUMP_EXCEPTION
# (code, flags, record, address, parameter count, alignment, 15 parameters)
# and the thread context's location (data size, rva).
EXCEPTION = struct.Struct("<IIIIQQII15QII")
MEMORY64_HEAD = struct.Struct("<QQ")  # range count, rva of the first range's bytes
MEMORY64_RANGE = struct.Struct("<QQ") # start address, size


class BadDump(Exception):
    pass


def read_at(f, size, rva, length, what):
    if rva + length > size:
        raise BadDump(f"{what} at {rva}+{length} runs past the end of the file ({size} bytes)")
    f.seek(rva)
    return f.read(length)


def check(path, want_code, want_thread, want_address=None):
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        sig, version, nstreams, dir_rva, _checksum, _time, flags = HEADER.unpack(
            read_at(f, size, 0, HEADER.size, "header"))
        if sig != SIGNATURE:
            raise BadDump(f"signature {sig!r}, not {SIGNATURE!r}")
        if version & 0xFFFF != VERSION:
            raise BadDump(f"version {version:#x}")
        if not flags & MINIDUMP_WITH_FULL_MEMORY:
            raise BadDump(f"header flags {flags:#x} lack MiniDumpWithFullMemory ({MINIDUMP_WITH_FULL_MEMORY:#x})")
        if nstreams == 0:
            raise BadDump("no streams")
        raw = read_at(f, size, dir_rva, nstreams * DIR_ENTRY.size, "stream directory")
        streams = {}
        for i in range(nstreams):
            stype, dsize, rva = DIR_ENTRY.unpack_from(raw, i * DIR_ENTRY.size)
            if dsize and rva + dsize > size:
                raise BadDump(f"stream {i} (type {stype}) runs past the end of the file")
            streams.setdefault(stype, []).append((dsize, rva))

        exc = streams.get(EXCEPTION_STREAM, [])
        if len(exc) != 1:
            raise BadDump(f"{len(exc)} exception streams, want 1")
        dsize, rva = exc[0]
        if dsize < EXCEPTION.size:
            raise BadDump(f"exception stream of {dsize} bytes")
        fields = EXCEPTION.unpack(read_at(f, size, rva, EXCEPTION.size, "exception stream"))
        thread, code, address = fields[0], fields[2], fields[5]
        ctx_size, ctx_rva = fields[-2], fields[-1]
        if code != want_code:
            raise BadDump(f"exception code {code:#010x}, want {want_code:#010x}")
        if want_thread is not None and thread not in want_thread:
            raise BadDump(f"exception thread {thread}, want one of {sorted(want_thread)}")
        if want_address is not None and not want_address[0] <= address < want_address[1]:
            raise BadDump(f"exception address {address:#x} outside {want_address[0]:#x}..{want_address[1]:#x}")
        if ctx_size == 0 or ctx_rva + ctx_size > size:
            raise BadDump("exception stream has no readable thread context")

        mem = streams.get(MEMORY64_LIST_STREAM, [])
        if len(mem) != 1:
            raise BadDump(f"{len(mem)} Memory64List streams, want 1 (full-memory dump)")
        dsize, rva = mem[0]
        count, base_rva = MEMORY64_HEAD.unpack(read_at(f, size, rva, MEMORY64_HEAD.size, "memory list"))
        if count == 0:
            raise BadDump("Memory64List holds no ranges")
        if dsize < MEMORY64_HEAD.size + count * MEMORY64_RANGE.size:
            raise BadDump(f"Memory64List of {dsize} bytes can't hold {count} ranges")
        raw = read_at(f, size, rva + MEMORY64_HEAD.size, count * MEMORY64_RANGE.size, "memory ranges")
        total = sum(MEMORY64_RANGE.unpack_from(raw, i * MEMORY64_RANGE.size)[1] for i in range(count))
        if base_rva + total > size:
            raise BadDump(f"memory ranges ({total} bytes from {base_rva}) run past the end of the file")

    return (f"ok streams={nstreams} flags={flags:#x} code={code:#010x} thread={thread} "
            f"ranges={count} memory={total} address={address:#x}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("file")
    p.add_argument("--code", type=lambda s: int(s, 0), default=0xC0000005)
    p.add_argument("--thread", type=lambda s: {int(t) for t in s.split(",")},
                   help="the faulting thread's id, or ids of which it must be one")
    p.add_argument("--address", type=lambda s: tuple(int(x, 0) for x in s.split(":")),
                   help="LOW:HIGH, the range the exception address must fall in")
    a = p.parse_args()
    try:
        print(check(a.file, a.code, a.thread, a.address))
    except (BadDump, OSError, struct.error) as e:
        print(f"{a.file}: not a valid crash dump: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
