"""Indexable against a plain Python class with __slots__: construction, attribute read, assignment.

Usage: python benchmarks/bench_indexable.py [objects=1000000] [repetitions=5]

Every figure is the best of the repetitions (time.perf_counter), with the cyclic garbage collector
paused while a measurement runs, as timeit does. The ratio is Indexable time / plain-class time.
"""
import gc
import sys
import time

from Vantorelle import Indexable


class Plain:
    __slots__ = ("name", "age", "score", "city", "active", "tag")

    def __init__(self, name, age, score, city, active, tag):
        self.name = name
        self.age = age
        self.score = score
        self.city = city
        self.active = active
        self.tag = tag


class Sub(Indexable):
    """A plain subclass: reads and assignments must cost what the base class's do."""


class Described(Indexable):
    """A subclass with a data descriptor elsewhere: every access also looks the name up."""

    @property
    def label(self):
        return self.name

    @label.setter
    def label(self, value):
        self.name = value


def create(cls, count):
    return [cls(name="n", age=i, score=1.5, city="Oslo", active=True, tag=None) for i in range(count)]


def read(objects):
    for obj in objects:
        obj.age


def assign(objects):
    for obj in objects:
        obj.score = 2.5


def best_of(repetitions, run, *args):
    best = float("inf")
    result = None
    for _ in range(repetitions):
        result = None  # drop the previous round's objects before timing the next
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            result = run(*args)
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best, result


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rows = []

    native_create, natives = best_of(repetitions, create, Indexable, count)
    plain_create, plains = best_of(repetitions, create, Plain, count)
    rows.append(("create with 6 keywords", native_create, plain_create, 1.0))
    rows.append(("read one attribute", best_of(repetitions, read, natives)[0],
                 best_of(repetitions, read, plains)[0], 1.3))
    rows.append(("assign one attribute (no index)", best_of(repetitions, assign, natives)[0],
                 best_of(repetitions, assign, plains)[0], 2.0))

    subclass_rows = []
    for cls in (Sub, Described):
        _, objects = best_of(1, create, cls, count)
        subclass_rows.append((f"read, {cls.__name__}", best_of(repetitions, read, objects)[0], rows[1][1]))
        subclass_rows.append((f"assign, {cls.__name__}", best_of(repetitions, assign, objects)[0], rows[2][1]))
        objects = None

    print(f"{count:,} objects, best of {repetitions}")
    print(f"{'operation':<34}{'Indexable':>12}{'plain':>12}{'ratio':>9}{'goal':>9}  verdict")
    for name, native, plain, goal in rows:
        ratio = native / plain
        verdict = "ok" if ratio <= goal else "over goal"
        print(f"{name:<34}{native:>11.3f}s{plain:>11.3f}s{ratio:>8.2f}x{'<=' + format(goal, '.1f') + 'x':>9}  {verdict}")
    print(f"\n{'subclass vs Indexable':<34}{'subclass':>12}{'Indexable':>12}{'ratio':>9}")
    for name, sub, base in subclass_rows:
        goal = " (goal <= 1.1x)" if "Sub" in name else ""
        print(f"{name:<34}{sub:>11.3f}s{base:>11.3f}s{sub / base:>8.2f}x{goal}")


if __name__ == "__main__":
    main()
