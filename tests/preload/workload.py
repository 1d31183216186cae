"""Real work for the allocator comparison: JSON, regular expressions, zlib
and sorting millions of objects. Prints digests only, so that a run on the
system allocator and one on the region allocator can be compared line by
line. Deterministic: seeded, no clocks, no hash-order dependence.

    python3 workload.py [--quick]
"""
import hashlib
import json
import random
import re
import sys
import zlib

QUICK = "--quick" in sys.argv
SCALE = 1 if QUICK else 10


def digest(data):
    return hashlib.sha256(data if isinstance(data, bytes) else data.encode()).hexdigest()[:16]


def json_round_trips(rng):
    records = []
    for i in range(20000 * SCALE):
        records.append({
            "id": i,
            "name": "user%06d" % rng.randrange(10**6),
            "score": round(rng.random() * 1000, 3),
            "tags": [rng.choice("abcdefgh") * rng.randint(1, 5) for _ in range(rng.randint(0, 6))],
            "nested": {"depth": rng.randint(0, 9), "ok": rng.random() < 0.5},
        })
    text = json.dumps(records, sort_keys=True)
    back = json.loads(text)
    again = json.dumps(back, sort_keys=True)
    assert text == again
    print("json", len(text), digest(text))


def regular_expressions(rng):
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    lines = []
    for i in range(20000 * SCALE):
        lines.append("%s-%d %s@%s.example %d.%d" % (
            rng.choice(words), i, rng.choice(words), rng.choice(words),
            rng.randint(0, 999), rng.randint(0, 99)))
    text = "\n".join(lines)
    emails = re.findall(r"(\w+)@(\w+)\.example", text)
    numbers = re.findall(r"\b(\d+)\.(\d+)\b", text)
    replaced = re.sub(r"(alpha|beta)-(\d+)", lambda m: m.group(2) + m.group(1).upper(), text)
    split = re.split(r"\s+", text)
    print("re", len(emails), len(numbers), len(split), digest(replaced))


def compression(rng):
    chunks = []
    for i in range(200 * SCALE):
        size = rng.randint(100, 20000)
        pattern = bytes(rng.randrange(32, 127) for _ in range(64))
        chunks.append(pattern * (size // 64) + bytes(rng.randrange(256) for _ in range(size % 64)))
    total = 0
    crc = 0
    for chunk in chunks:
        packed = zlib.compress(chunk, rng.randint(1, 9))
        assert zlib.decompress(packed) == chunk
        total += len(packed)
        crc = zlib.crc32(packed, crc)
    stream = zlib.compressobj()
    streamed = b"".join(stream.compress(c) for c in chunks) + stream.flush()
    print("zlib", total, crc, len(streamed), digest(zlib.decompress(streamed)))


def sorting(rng):
    count = 300000 * SCALE
    items = [(rng.random(), "k%07d" % rng.randrange(10**7), i) for i in range(count)]
    by_value = sorted(items)
    by_key = sorted(items, key=lambda t: (t[1], -t[2]))
    strings = sorted(str(t[0]) for t in items[: count // 3])
    print("sort", count, digest(repr(by_value[:: count // 100])), digest(repr(by_key[:: count // 100])),
          digest("".join(strings[:: count // 300])))


def main():
    rng = random.Random(20240611)
    json_round_trips(rng)
    regular_expressions(rng)
    compression(rng)
    sorting(rng)


if __name__ == "__main__":
    main()
