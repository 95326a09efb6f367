"""Costs that grow with the shape of the data: linked chains of nested objects, and values that are
compared by identity (unhashable) or through the table of equal-value classes.

Usage: python benchmarks/bench_values_and_chains.py

- A chain a.next = b, b.next = c, ... of n objects, all added at once, stores n^2/2 nested items
  (one core per level by design); the time should grow about 9x per tripling of n (quadratic).
- 64,000 objects whose value is a list (unhashable: equal only to itself) against the same count
  with tuples, added with add_object_many; both should be linear and close.
- Creating an Indexable with an int, a tuple and a Decimal value: the int is keyed natively, the
  tuple meets the table of classes of equal values once, the Decimal first checks whether it
  equals a float or an int.
"""
import gc
import time
from decimal import Decimal

from Vantorelle import Index, Indexable


def timed(run):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        run()
        return time.perf_counter() - start
    finally:
        gc.enable()


def chain(n):
    objs = [Indexable(v=i) for i in range(n)]
    for a, b in zip(objs, objs[1:]):
        a.next = b
    return timed(lambda: Index().add_object_many(objs))


def main():
    print("chain of n objects, add_object_many")
    previous = None
    for n in (100, 300, 900):
        t = chain(n)
        growth = f"  x{t / previous:.1f} for 3x n" if previous else ""
        print(f"  n = {n:4d}: {t * 1e3:9.1f} ms{growth}")
        previous = t
    lists = [Indexable(v=[i]) for i in range(64_000)]
    tuples = [Indexable(v=(i, "x")) for i in range(64_000)]
    print(f"64k list values added:  {timed(lambda: Index().add_object_many(lists)) * 1e3:8.1f} ms")
    print(f"64k tuple values added: {timed(lambda: Index().add_object_many(tuples)) * 1e3:8.1f} ms")
    count = 200_000
    for label, make in (("int", lambda i: i), ("tuple", lambda i: (i, "a")), ("Decimal", lambda i: Decimal(i) / 7)):
        values = [make(i) for i in range(count)]
        t = timed(lambda: [Indexable(v=v) for v in values])
        print(f"create with one {label} value: {t / count * 1e9:7.0f} ns per object")


if __name__ == "__main__":
    main()
