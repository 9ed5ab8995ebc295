#!/usr/bin/env python3
"""Checks thin 64-bit Mach-O files as a vendor's re-signing needs them.

Usage: macho-check.py [--signed] FILE...

For each file: the room between the end of its load commands and its first
section's data, which must hold at least one more load command (re-signing
adds LC_CODE_SIGNATURE, 16 bytes, where there is none); and, with --signed,
a code signature whose code directory is ad hoc and whose every page hash
matches the file. Prints one line per file; exits 1 if any check fails.
"""
import hashlib
import struct
import sys

MH_MAGIC_64 = 0xFEEDFACF
LC_SEGMENT_64 = 0x19
LC_CODE_SIGNATURE = 0x1D
CSMAGIC_EMBEDDED_SIGNATURE = 0xFADE0CC0
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
CSSLOT_CODEDIRECTORY = 0
CS_ADHOC = 0x2
ZEROFILL_TYPES = {0x01, 0x0C, 0x12}  # S_ZEROFILL, S_GB_ZEROFILL, S_THREAD_LOCAL_ZEROFILL
HASHES = {1: hashlib.sha1, 2: hashlib.sha256}
ROOM_NEEDED = 16  # one linkedit_data_command


def load_commands(data):
    magic, _cpu, _sub, _type, ncmds, sizeofcmds = struct.unpack_from("<6I", data, 0)
    if magic != MH_MAGIC_64:
        raise ValueError("not a thin 64-bit Mach-O file")
    at = 32
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<2I", data, at)
        if size < 8 or at + size > 32 + sizeofcmds:
            raise ValueError("a load command runs past the header")
        yield cmd, at, size
        at += size


def room(data):
    sizeofcmds = struct.unpack_from("<I", data, 20)[0]
    first = len(data)
    for cmd, at, _size in load_commands(data):
        if cmd != LC_SEGMENT_64:
            continue
        nsects = struct.unpack_from("<I", data, at + 64)[0]
        for index in range(nsects):
            section = at + 72 + 80 * index
            size, offset = struct.unpack_from("<QI", data, section + 40)
            flags = struct.unpack_from("<I", data, section + 64)[0]
            if offset > 0 and size > 0 and (flags & 0xFF) not in ZEROFILL_TYPES:
                first = min(first, offset)
    return first - (32 + sizeofcmds)


def signature_problem(data):
    found = [(at, size) for cmd, at, size in load_commands(data) if cmd == LC_CODE_SIGNATURE]
    if not found:
        return "no code signature"
    dataoff, datasize = struct.unpack_from("<2I", data, found[0][0] + 8)
    blob = data[dataoff : dataoff + datasize]
    magic, _length, count = struct.unpack_from(">3I", blob, 0)
    if magic != CSMAGIC_EMBEDDED_SIGNATURE:
        return "the signature is no embedded signature"
    directory = None
    for index in range(count):
        slot, offset = struct.unpack_from(">2I", blob, 12 + 8 * index)
        if slot == CSSLOT_CODEDIRECTORY:
            directory = offset
    if directory is None:
        return "the signature has no code directory"
    (magic, _length, _version, flags, hash_offset, _ident, _special, code_slots,
     code_limit, hash_size, hash_type, _platform, page_shift) = struct.unpack_from(
         ">9I4B", blob, directory)
    if magic != CSMAGIC_CODEDIRECTORY:
        return "the code directory has the wrong magic"
    if not flags & CS_ADHOC:
        return "the signature is not ad hoc"
    if code_limit != dataoff:
        return "the signature does not cover the file up to itself"
    if hash_type not in HASHES:
        return "unknown hash type %d" % hash_type
    page = 1 << page_shift
    if code_slots != (code_limit + page - 1) // page:
        return "the code directory has %d slots for %d bytes" % (code_slots, code_limit)
    for index in range(code_slots):
        start = directory + hash_offset + index * hash_size
        expected = blob[start : start + hash_size]
        actual = HASHES[hash_type](data[index * page : min((index + 1) * page, code_limit)])
        if actual.digest()[:hash_size] != expected:
            return "page %d does not match its hash" % index
    return None


def main(arguments):
    signed = "--signed" in arguments
    failures = 0
    for name in [a for a in arguments if a != "--signed"]:
        with open(name, "rb") as stream:
            data = stream.read()
        try:
            problems = []
            space = room(data)
            if space < ROOM_NEEDED:
                problems.append("%d bytes after the load commands, %d needed" % (space, ROOM_NEEDED))
            if signed:
                problem = signature_problem(data)
                if problem:
                    problems.append(problem)
        except (ValueError, struct.error) as error:
            problems = [str(error)]
        if problems:
            failures += 1
            print("%s: %s" % (name, "; ".join(problems)))
        else:
            print("%s: %d bytes of room%s" % (name, space, ", a valid ad-hoc signature" if signed else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
