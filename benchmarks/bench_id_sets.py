"""Index memory and lookups for values held by a few scattered objects (a foreign key).

Usage: python benchmarks/bench_id_sets.py [objects=300000] [repetitions=5]

Object i carries `owner = owners[i % (objects // holders)]`, so each owner (an Indexable) is held by
`holders` objects whose ids lie `objects // holders` apart: one owner's objects, spread over the id
space as objects created over time are. The id sets of such values are what the index keeps per
value: four ids inline, then a sorted block while that is smaller than a roaring bitmap, then a
bitmap, which costs about 75 bytes for each 2^16-id chunk it touches.

Per holder count, in a fresh child process (this script with --child, as bench_memory.py does):
- index bytes per object: the RSS growth of `Index.add_object_many` over the objects, read after
  gc.collect() and malloc_trim(0);
- the best time per call of `reduced_query(eq(owner))`, `get_by_attribute(owner=...)` and
  `reduced_query(in_(owner, 20 owners))` and 200 owners (bench_index.py's best_per_call).
There is no goal here: the figures show what the id-set forms cost and save, for comparison
between builds.
"""
import ctypes
import gc
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_index import best_per_call  # noqa: E402
from Vantorelle import Index, Indexable, PyQueryExpr as Q  # noqa: E402

HOLDERS = (5, 10, 30, 100)


def rss():
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child(count, holders, repetitions):
    owners = [Indexable(name=f"owner{i}") for i in range(max(1, count // holders))]
    objs = [Indexable(owner=owners[i % len(owners)], _i=i) for i in range(count)]
    warm = [Indexable(owner=owners[0]) for _ in range(100)]
    Index().add_object_many(warm)
    warm = None
    before = rss()
    index = Index()
    index.add_object_many(objs)
    index_bytes = (rss() - before) / count
    owner = owners[len(owners) // 2]
    eq = Q.eq("owner", owner)
    in20 = Q.in_("owner", owners[:20])
    in200 = Q.in_("owner", owners[:200])
    times = {
        "eq": best_per_call(repetitions, lambda: index.reduced_query(eq))[0],
        "get_by_attribute": best_per_call(repetitions, lambda: index.get_by_attribute(owner=owner))[0],
        "in_, 20 values": best_per_call(repetitions, lambda: index.reduced_query(in20))[0],
        "in_, 200 values": best_per_call(repetitions, lambda: index.reduced_query(in200))[0],
    }
    print(json.dumps({"index_bytes": index_bytes, "times": times}))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300_000
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    print(f"{count:,} objects, each owner held by `holders` objects {count:,} / owners apart; best of {repetitions}")
    print(f"{'holders':>8} {'index B/object':>15} {'eq':>10} {'get_by_attr':>12} {'in_ 20':>10} {'in_ 200':>10}")
    for holders in HOLDERS:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", str(count), str(holders),
                               str(repetitions)], capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"child for {holders} holders failed:\n{done.stderr}")
        result = json.loads(done.stdout)
        t = result["times"]
        print(f"{holders:>8} {result['index_bytes']:>15.1f} {t['eq'] * 1e6:>8.2f}us {t['get_by_attribute'] * 1e6:>10.2f}us "
              f"{t['in_, 20 values'] * 1e6:>8.1f}us {t['in_, 200 values'] * 1e6:>8.1f}us")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
    else:
        main()
