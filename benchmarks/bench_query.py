"""Query expressions (reduced_query + collect), against plain Python doing the same.

Usage: python benchmarks/bench_query.py [objects=1000000] [repetitions=3]

The objects are those of bench_index.py (uid, cat, tag, price, bucket and a nested `owner` among
10,000); here the owners also carry a `region` of 100 values, so that a dotted path through the
nested index selects 1%. Every figure is the best of the repetitions (time.perf_counter), with the
cyclic garbage collector paused while a measurement runs; fast calls are repeated within a
repetition and reported per call (see bench_index.py).

- Each query (reduced_query then collect) is compared with a list comprehension giving the same
  list, and with `lst[:k]` for the same result size k, the cost of just handing back k objects
  (goal: within 3x of that floor). "query alone" is reduced_query without collect: the part spent
  in the index rather than in building the answer. `list(result)` hands back the very objects
  found, which lie scattered in memory where lst[:k] reads neighbours; it shows how much of the gap
  is memory locality.
- A one-leaf query on an index of 10 objects is compared with get_by_attribute giving the same
  answer (goal: at most 1.2x), the fixed cost of a query call.
- An attribute's range tree is built by the first range query over it. "first range query" times
  that query (gt, about half of the objects, reduced_query alone) on a fresh index, once per
  repetition, beside the same query again and beside add_object_many of all the objects. Every
  other figure is taken after one untimed run of its query, which builds the trees it needs.
- The disjunction of 8 range queries is timed (reduced_query alone) in two child processes, with
  the worker pool at 1 and at 2 threads (goal: 2 threads at least 1.6x faster). The pool's size is
  read once per process from RAYON_NUM_THREADS, hence the separate processes. Next to it, the
  2-thread process times two GIL-free jobs (sha256 of 4 MiB each) run one after the other and on
  two threads: the speedup the machine itself offered during that run, since its cores are shared.
"""
import hashlib
import os
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_index import best_of, best_per_call, build, fmt  # noqa: E402
from Vantorelle import Index, Indexable, PyQueryExpr as Q  # noqa: E402

REGIONS = [f"region{i}" for i in range(100)]
# Disjoint slices of price (values 0.25 .. 996.25) and of bucket (0 .. 999), each about 7%.
PRICE_SLICES = [(0.0, 69.0), (250.0, 319.0), (500.0, 569.0), (750.0, 819.0)]
BUCKET_SLICES = [(50, 119), (300, 369), (550, 619), (800, 869)]


def make_owners():
    return [Indexable(name=f"owner{i}", region=REGIONS[i % 100]) for i in range(10_000)]


def make_index(objs):
    index = Index()
    index.add_object_many(objs)
    return index


def heavy_or():
    return Q.or_(*[Q.bt("price", lo, hi) for lo, hi in PRICE_SLICES],
                 *[Q.bt("bucket", lo, hi) for lo, hi in BUCKET_SLICES])


def in_heavy_or(o):
    p, b = o.price, o.bucket
    return (0.0 <= p <= 69.0 or 250.0 <= p <= 319.0 or 500.0 <= p <= 569.0 or 750.0 <= p <= 819.0
            or 50 <= b <= 119 or 300 <= b <= 369 or 550 <= b <= 619 or 800 <= b <= 869)


def machine_speedup(repetitions):
    """Two GIL-free jobs one after the other, against the same two on two threads."""
    data = b"x" * (4 << 20)

    def job():
        hashlib.sha256(data).digest()

    def on_two_threads():
        threads = [threading.Thread(target=job) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    serial, _ = best_of(repetitions, lambda: (job(), job()))
    parallel, _ = best_of(repetitions, on_two_threads)
    return serial / parallel


def pool_child(count, repetitions):
    """Runs in a child process: times the heavy disjunction alone; prints `k seconds machine`."""
    objs = build(count, make_owners())
    index = make_index(objs)
    expr = heavy_or()
    index.reduced_query(expr)  # builds the range trees (timed apart, in main)
    elapsed, _ = best_per_call(repetitions, lambda: index.reduced_query(expr))
    print(len(index.reduced_query(expr).collect()), elapsed, machine_speedup(repetitions))


def pool_run(threads, count, repetitions):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--pool-child", str(count), str(repetitions)],
                          env=env, capture_output=True, text=True, check=True)
    k, elapsed, machine = done.stdout.split()
    return int(k), float(elapsed), float(machine)


def first_range_queries(objs, repetitions):
    """The one-time cost of building an attribute's range tree, per attribute."""
    print(f"{'first range query':25} {'first':>13} {'again':>13} {'add (all attrs)':>16}")
    for attr, bound in (("price", 500.0), ("bucket", 500), ("uid", len(objs) // 2)):
        expr = Q.gt(attr, bound)
        firsts, agains, adds = [], [], []
        for _ in range(repetitions):
            index = Index()
            adds.append(best_of(1, lambda: index.add_object_many(objs))[0])
            firsts.append(best_of(1, lambda: index.reduced_query(expr))[0])
            agains.append(best_per_call(1, lambda: index.reduced_query(expr))[0])
            index = None
        print(f"{attr:25} {fmt(min(firsts)):>13} {fmt(min(agains)):>13} {fmt(min(adds)):>16}")
    print()


def verdict(ratio, goal, at_least=False):
    if at_least:
        return "ok" if ratio >= goal else "under goal"
    return "ok" if ratio <= goal else "over goal"


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    owners = make_owners()
    objs = build(count, owners)
    index = make_index(objs)
    print(f"{count:,} objects, best of {repetitions}, pool threads from RAYON_NUM_THREADS="
          f"{os.environ.get('RAYON_NUM_THREADS', '(unset: all hardware threads)')}")

    first_range_queries(objs, repetitions)

    queries = [  # (label, expression, the same filter as a list comprehension)
        ("bt price, 1%", Q.bt("price", 100.0, 109.5),
         lambda: [o for o in objs if 100.0 <= o.price <= 109.5]),
        ("and(gt, eq, not eq), 5%", Q.and_(Q.gt("price", 500.0), Q.eq("cat", "cat3"), Q.not_(Q.eq("bucket", 42))),
         lambda: [o for o in objs if o.price > 500.0 and o.cat == "cat3" and not o.bucket == 42]),
        ("eq owner.region, 1%", Q.eq("owner.region", "region7"),
         lambda: [o for o in objs if o.owner.region == "region7"]),
        ("or of 8 ranges", heavy_or(),
         lambda: [o for o in objs if in_heavy_or(o)]),
    ]
    goals = []
    print(f"{'query':25} {'k':>8} {'query alone':>13} {'+ collect':>13} {'list comp':>13} {'lst[:k]':>13} "
          f"{'list(result)':>13} {'comp/ours':>10} {'ours/floor':>10}")
    for label, expr, comprehension in queries:
        index.reduced_query(expr)  # builds the range trees it needs (timed apart, above)
        alone_time, _ = best_per_call(repetitions, lambda: index.reduced_query(expr))
        query_time, found = best_per_call(repetitions, lambda: index.reduced_query(expr).collect())
        comp_time, expected = best_of(repetitions, comprehension)
        assert found == expected, label
        k = len(found)
        floor_time, _ = best_per_call(repetitions, lambda: objs[:k])
        copy_time, _ = best_per_call(repetitions, lambda: list(found))
        print(f"{label:25} {k:>8,} {fmt(alone_time):>13} {fmt(query_time):>13} {fmt(comp_time):>13} "
              f"{fmt(floor_time):>13} {fmt(copy_time):>13} {comp_time / query_time:9.0f}x "
              f"{query_time / floor_time:9.2f}x")
        goals.append((f"{label}: ours / lst[:k]", query_time, floor_time, 3.0, False))
    found = expected = None

    tiny = make_index(build(10, owners))
    tiny_expr = Q.eq("cat", "cat3")
    tiny_time, found = best_per_call(repetitions, lambda: tiny.reduced_query(tiny_expr).collect())
    plain_time, expected = best_per_call(repetitions, lambda: tiny.get_by_attribute(cat="cat3"))
    assert found == expected and len(found) == 1
    goals.append(("10 objects, eq: ours / get_by_attribute", tiny_time, plain_time, 1.2, False))

    k1, one, _ = pool_run(1, count, repetitions)
    k2, two, machine = pool_run(2, count, repetitions)
    assert k1 == k2
    goals.append((f"or of 8 ranges (k={k1:,}): 1 thread / 2", one, two, 1.6, True))

    print()
    print(f"{'goal':<48}{'ours':>13}{'baseline':>13}{'ratio':>9}{'goal':>9}  verdict")
    for name, ours, base, goal, at_least in goals:
        ratio = ours / base
        bound = ('>=' if at_least else '<=') + format(goal, '.1f') + 'x'
        print(f"{name:<48}{fmt(ours):>13}{fmt(base):>13}{ratio:>8.2f}x{bound:>9}  {verdict(ratio, goal, at_least)}")
    print(f"(the machine's own 2-thread speedup meanwhile, two sha256 jobs: {machine:.2f}x)")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--pool-child":
        pool_child(int(sys.argv[2]), int(sys.argv[3]))
    else:
        main()
