"""Index: bulk adding and keyword filtering, against plain Python doing the same.

Usage: python benchmarks/bench_index.py [objects=1000000] [repetitions=3]

Objects carry six attributes: a unique int, a str of 10 values, a str of 1000 values, a float, an
int of 1000 values and a nested `owner` Indexable among 10,000. Every figure is the best of the
repetitions (time.perf_counter), with the cyclic garbage collector paused while a measurement runs;
the fast calls are repeated within a repetition (for at least 0.1 s, as timeit's autorange does) and
reported per call.

- add_object_many is compared with building the objects it adds (goal: at most 1x).
- Each filter is compared with a list comprehension over the same objects, and with `lst[:k]` for
  the same result size k, the cost of just handing back k objects (goal: within 3x of that floor).
  `list(result)` hands back the very objects found, which lie scattered in memory where lst[:k]
  reads neighbours; it shows how much of the gap is memory locality.
"""
import gc
import sys
import time

from Vantorelle import Index, Indexable

CATS = [f"cat{i}" for i in range(10)]
TAGS = [f"tag{i}" for i in range(1000)]


def build(count, owners):
    return [Indexable(uid=i, cat=CATS[i % 10], tag=TAGS[(i // 7) % 1000], price=(i % 997) + 0.25,
                      bucket=(i // 10) % 1000, owner=owners[i % len(owners)]) for i in range(count)]


def best_of(repetitions, run, number=1):
    """Best time per call of `run`, and its last result."""
    best, result = float("inf"), None
    for _ in range(repetitions):
        result = None  # the previous round's result goes before the next round is timed
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            for _ in range(number):
                result = run()
            elapsed = (time.perf_counter() - start) / number
        finally:
            gc.enable()
        best = min(best, elapsed)
    return best, result


def best_per_call(repetitions, run):
    once, _ = best_of(1, run)
    return best_of(repetitions, run, number=max(1, int(0.1 / max(once, 1e-7))))


def fmt(seconds):
    return f"{seconds * 1e3:10.3f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:10.1f} us"


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    owners = [Indexable(name=f"owner{i}") for i in range(10_000)]

    build_time, objs = best_of(repetitions, lambda: build(count, owners))

    def add():
        index = Index()
        index.add_object_many(objs)
        return index

    add_time, index = best_of(repetitions, add)
    print(f"{count:,} objects, best of {repetitions}")
    print(f"build the objects        {fmt(build_time)}")
    print(f"add_object_many          {fmt(add_time)}   ratio {add_time / build_time:5.2f}x (goal <= 1x)")
    print()

    wanted = set(TAGS[100:110])
    queries = [  # (label, keywords, the same filter as a list comprehension)
        ("1 value, 10%", dict(cat="cat3"), lambda: [o for o in objs if o.cat == "cat3"]),
        ("1 value, 0.1%", dict(tag="tag123"), lambda: [o for o in objs if o.tag == "tag123"]),
        ("2 names, 0.01%", dict(cat="cat3", bucket=42), lambda: [o for o in objs if o.cat == "cat3" and o.bucket == 42]),
        ("10 values any-of, 1%", dict(tag=TAGS[100:110]), lambda: [o for o in objs if o.tag in wanted]),
    ]
    # list(result) copies the very objects found: the same work as lst[:k] without its memory locality.
    print(f"{'filter':22} {'k':>8} {'get_by_attribute':>16} {'list comp':>13} {'lst[:k]':>13} {'list(result)':>13} "
          f"{'comp/ours':>10} {'ours/floor':>10}")
    for label, kwargs, comprehension in queries:
        query_time, found = best_per_call(repetitions, lambda: index.get_by_attribute(**kwargs))
        comp_time, expected = best_of(repetitions, comprehension)
        assert found == expected, label
        k = len(found)
        floor_time, _ = best_per_call(repetitions, lambda: objs[:k])
        copy_time, _ = best_per_call(repetitions, lambda: list(found))
        print(f"{label:22} {k:>8,} {fmt(query_time):>16} {fmt(comp_time):>13} {fmt(floor_time):>13} "
              f"{fmt(copy_time):>13} {comp_time / query_time:9.0f}x {query_time / floor_time:9.2f}x")


if __name__ == "__main__":
    main()
