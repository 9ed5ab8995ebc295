#!/usr/bin/env python3
"""The property-list reader against Python's plistlib, a reference reader and
writer of the same format. Random values are written by plistlib and must read
back as the same values; the same texts with bytes changed must, wherever both
readers take them, read as plistlib reads them. Usage: SCRIPT READER [CASES]"""
import base64
import datetime
import json
import math
import plistlib
import random
import subprocess
import sys

reader = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
rng = random.Random(20261209)
ALPHABET = "aZ09 <>&\"';]]>\t\n\r-é€😀\u2028"


def text():
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(0, 12)))


def value(depth=0):
    kind = rng.randrange(10 if depth < 6 else 7)
    if kind == 0:
        return text()
    if kind == 1:
        return rng.choice([0, -1, 2**63 - 1, -(2**63), 2**64 - 1, rng.randrange(-10**12, 10**12)])
    if kind == 2:
        return rng.choice([0.5, -0.0, 1e300, 1e-300, math.inf, -math.inf, rng.uniform(-1e6, 1e6)])
    if kind == 3:
        return rng.random() < 0.5
    if kind == 4:
        return datetime.datetime(rng.randrange(1900, 2100), 1 + rng.randrange(12), 1 + rng.randrange(28),
                                 rng.randrange(24), rng.randrange(60), rng.randrange(60))
    if kind == 5:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(0, 100)))
    if kind == 6:
        return ""
    if kind in (7, 8):
        return {text(): value(depth + 1) for _ in range(rng.randrange(0, 5))}
    return [value(depth + 1) for _ in range(rng.randrange(0, 5))]


def same(expected, ours):
    """Whether `ours` (the JSON read) is plistlib's `expected`, a date or data being its text."""
    if isinstance(expected, bool):
        return ours is expected
    if isinstance(expected, int):
        return type(ours) is int and ours == expected
    if isinstance(expected, float):
        if math.isfinite(expected):
            return isinstance(ours, (int, float)) and not isinstance(ours, bool) and ours == expected
        return isinstance(ours, str) and float(ours) == expected or (math.isnan(expected) and ours == "nan")
    if isinstance(expected, datetime.datetime):
        # plistlib reads a date by a pattern that may match only its start.
        if not isinstance(ours, str):
            return False
        try:
            try:
                return plistlib._date_from_string(ours) == expected
            except TypeError:  # later Pythons ask whether the date has a zone
                return plistlib._date_from_string(ours, False) == expected
        except (ValueError, TypeError):
            return False
    if isinstance(expected, bytes):
        # plistlib decodes data leniently; the same decoding of the text read.
        try:
            return isinstance(ours, str) and base64.b64decode(ours) == expected
        except ValueError:
            return False
    if isinstance(expected, str):
        return ours == expected
    if isinstance(expected, dict):
        return isinstance(ours, dict) and ours.keys() == expected.keys() and all(
            same(expected[k], ours[k]) for k in expected)
    return isinstance(ours, list) and len(ours) == len(expected) and all(
        same(e, o) for e, o in zip(expected, ours))


def changed(document):
    data = bytearray(document)
    for _ in range(rng.randrange(1, 4)):
        at = rng.randrange(len(data))
        choice = rng.randrange(3)
        if choice == 0:
            data[at] = ord(rng.choice("<>/&;#x![]-\"= a1"))
        elif choice == 1:
            del data[at]
        else:
            data[at:at] = data[rng.randrange(len(data)):][:rng.randrange(1, 12)]
    return bytes(data)


documents = [plistlib.dumps(value(), fmt=plistlib.FMT_XML) for _ in range(count)]
mutants = [changed(d) for d in documents for _ in range(3)]
mutants = [m for m in mutants if b"\0" not in m]
texts = documents + mutants
read = subprocess.run([reader], input=b"\0".join(texts), capture_output=True, check=True)
lines = read.stdout.decode().split("\n")[: len(texts)]
failures = 0
both = 0
stricter = 0
for index, (document, line) in enumerate(zip(texts, lines)):
    try:
        expected = plistlib.loads(document, fmt=plistlib.FMT_XML)
    except Exception:
        if index < count:
            raise
        continue  # plistlib refuses it; ours may read more or less
    if line == "refused":
        if index < count:
            print("refused what plistlib wrote:", document.decode(errors="replace"))
            failures += 1
        stricter += 1
        continue
    both += 1
    if not same(expected, json.loads(line)):
        print("read differently:", document.decode(errors="replace"), "\nours:", line)
        failures += 1
print(f"property lists: {count} written by plistlib, {len(mutants)} changed; "
      f"{both} read by both, {stricter} by plistlib alone, {failures} differences")
sys.exit(1 if failures else 0)
