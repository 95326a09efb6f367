"""Memory of Indexable objects and of an Index over them, against plain Python and sqlite3.

Usage: python benchmarks/bench_memory.py [objects=1000000] [repetitions=3]

The objects are those of bench_index.py: a unique int `uid`, a str `cat` of 10 values, a str `tag`
of 1000 values, a float `price`, an int `bucket` of 1000 values and a nested `owner` among 10,000.

Memory is the growth of the resident set size (/proc/self/statm) per object, read after
gc.collect(). Every contender is measured in a fresh child process (this script with --child),
so that memory one contender freed, or a pool of memory it left behind, cannot be reused by the
next and make it look smaller. A child first builds the owners and runs its steps once on 100
objects (one-time costs such as the worker pool's threads, which would otherwise be charged to
small runs), then reads the RSS, builds the objects, reads it again, builds its index over them and
reads it a last time; nothing is freed between the readings. The same allocations in a fresh
process give the same RSS from run to run (to about 1 byte per object), so each child runs once
and `repetitions` applies to the times only; below some 100,000 objects the memory figures are
coarse (the allocators take memory in pages and arenas of up to 1 MiB). "peak" is the highest RSS
while the index was being built (VmHWM, reset through /proc/self/clear_refs just before), above
the RSS before it.

- Objects: an Indexable is compared with a class with `__slots__` holding the same six
  attributes and a plain class whose instances keep them in their `__dict__`, each built with the
  same values (the owners are plain `__slots__` objects for the plain classes). The objects hold
  their values: the int and float objects the shape creates per object (`uid`, `price`,
  `bucket`; the strs are shared), measured alone in their own child, and the list holding the
  objects (a list comprehension of the same length, spare capacity included) are in every
  object's figure. "own" subtracts both: what the object itself costs. The goal is on the
  Indexable's own bytes: at most 250 (aim: 180).
- Indexes: the RSS growth of `Index.add_object_many` once the objects exist, per object (goal: at
  most 200 bytes, aim: 120). It indexes all six attributes, the nested owners included. The
  references index five (cat, tag, price, bucket, owner), over the `__slots__` objects: a dict of
  lists per attribute, value -> the objects carrying it, built by bench_group_union.py's loop; and
  sqlite3 in memory, a table of the same rows (`uid` as its INTEGER PRIMARY KEY, so looked up
  without an index; the owner as its number) and five indexes created once the rows are in,
  measured separately.

Times are the best of the repetitions (bench_index.py's best_of: time.perf_counter, the cyclic
garbage collector paused while a measurement runs), in this process once the children are done:
add_object_many against building the same number of `__slots__` objects of the shape (goal: at
most 2x), and building the Indexable objects against building the `__slots__` ones (goal: at most
2x). Reading one attribute of every object and assigning one (objects in no index) use
bench_indexable.py's objects and loops (goals: at most 3x and 6x the `__slots__` class).
"""
import gc
import json
import os
import sqlite3
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_index import CATS, TAGS, best_of, build, fmt  # noqa: E402
from bench_indexable import Plain, assign, create, read  # noqa: E402
from Vantorelle import Index, Indexable  # noqa: E402

OWNERS = 10_000
WARM_UP = 100
PAGE = os.sysconf("SC_PAGE_SIZE")
INDEXED = ("cat", "tag", "price", "bucket", "owner")  # what the references index


class Slots:
    __slots__ = ("uid", "cat", "tag", "price", "bucket", "owner")

    def __init__(self, uid, cat, tag, price, bucket, owner):
        self.uid = uid
        self.cat = cat
        self.tag = tag
        self.price = price
        self.bucket = bucket
        self.owner = owner


class WithDict:
    def __init__(self, uid, cat, tag, price, bucket, owner):
        self.uid = uid
        self.cat = cat
        self.tag = tag
        self.price = price
        self.bucket = bucket
        self.owner = owner


class Owner:
    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name


def build_plain(cls, count, owners):
    """bench_index.build with a plain class: the same values, the same keyword call."""
    return [cls(uid=i, cat=CATS[i % 10], tag=TAGS[(i // 7) % 1000], price=(i % 997) + 0.25,
                bucket=(i // 10) % 1000, owner=owners[i % len(owners)]) for i in range(count)]


def rss():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def reset_peak():
    """Sets the peak RSS to the current one; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


class Steps:
    """RSS growth of each step of a child, each on top of the ones before (nothing freed)."""

    def __init__(self):
        self.results = {}
        self.last = rss()

    def done(self, label, peak_from=None):
        now = rss()
        entry = {"bytes": now - self.last}
        if peak_from is not None:
            entry["peak"] = peak() - peak_from
        self.results[label] = entry
        self.last = now


def measured_step(steps, label, run):
    """Runs `run` as a step whose peak is recorded; returns its result."""
    start = rss()
    tracked = reset_peak()
    result = run()
    steps.done(label, start if tracked else None)
    return result


def sqlite_rows(objs, n_owners):
    return ((o.uid, o.cat, o.tag, o.price, o.bucket, i % n_owners) for i, o in enumerate(objs))


def sqlite_table(objs, n_owners):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE shape (uid INTEGER PRIMARY KEY, cat TEXT, tag TEXT, price REAL, "
               "bucket INTEGER, owner INTEGER)")
    db.executemany("INSERT INTO shape VALUES (?, ?, ?, ?, ?, ?)", sqlite_rows(objs, n_owners))
    db.commit()
    return db


def sqlite_indexes(db):
    for name in INDEXED:
        db.execute(f"CREATE INDEX shape_{name} ON shape ({name})")
    db.commit()


def dict_of_lists_index(objs):
    from bench_group_union import dict_of_lists  # here only: that module may import pandas
    return {name: dict_of_lists(objs, name) for name in INDEXED}


def child(kind, count):
    """Prints, as JSON, the RSS growth of each step of one contender."""
    if kind == "values":
        uids, prices, buckets = [None] * count, [None] * count, [None] * count
        steps = Steps()
        for i in range(count):  # the values bench_index.build creates per object
            uids[i] = i
            prices[i] = (i % 997) + 0.25
            buckets[i] = (i // 10) % 1000
        steps.done("values")
        objs = [None for _ in range(count)]
        steps.done("list")
    elif kind == "indexable":
        owners = [Indexable(name=f"owner{i}") for i in range(OWNERS)]
        warm = build(WARM_UP, owners)
        Index().add_object_many(warm)
        warm = None
        steps = Steps()
        objs = build(count, owners)
        steps.done("objects")
        index = Index()
        measured_step(steps, "index", lambda: index.add_object_many(objs))
    elif kind in ("slots", "dict"):
        owners = [Owner(f"owner{i}") for i in range(OWNERS)]
        cls = Slots if kind == "slots" else WithDict
        warm = build_plain(cls, WARM_UP, owners)
        warm = dict_of_lists_index(warm)
        warm = None
        steps = Steps()
        objs = build_plain(cls, count, owners)
        steps.done("objects")
        if kind == "slots":
            index = measured_step(steps, "dict of lists", lambda: dict_of_lists_index(objs))
    elif kind == "sqlite":
        owners = [Owner(f"owner{i}") for i in range(OWNERS)]
        warm = sqlite_table(build_plain(Slots, WARM_UP, owners), OWNERS)
        sqlite_indexes(warm)
        warm.close()
        warm = None
        steps = Steps()
        objs = build_plain(Slots, count, owners)
        steps.done("objects")
        db = measured_step(steps, "table", lambda: sqlite_table(objs, OWNERS))
        measured_step(steps, "indexes", lambda: sqlite_indexes(db))
        assert db.execute("SELECT count(*) FROM shape").fetchone()[0] == count
    else:
        raise SystemExit(f"unknown contender {kind!r}")
    print(json.dumps(steps.results))


def run_child(kind, count):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", kind, str(count)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"child {kind} failed:\n{done.stderr}")
    results = json.loads(done.stdout)
    return {label: (entry["bytes"] / count, entry.get("peak", float("nan")) / count)
            for label, entry in results.items()}


def per_object(seconds, count):
    return f"{seconds / count * 1e9:9.1f} ns"


def ok(met, aim_met=None):
    if not met:
        return "MISSED"
    return "ok" if aim_met is None else ("ok, aim met" if aim_met else "ok, aim not met")


def bench_memory(count, goals):
    values = run_child("values", count)
    native = run_child("indexable", count)
    slots = run_child("slots", count)
    with_dict = run_child("dict", count)
    sql = run_child("sqlite", count)
    shared = values["values"][0] + values["list"][0]
    # the __slots__ objects are measured twice, in the dict-of-lists and the sqlite children
    slots_bytes = min(slots["objects"][0], sql["objects"][0])

    print(f"{'objects (memory)':40} {'bytes/object':>13} {'own':>9} {'own/__slots__':>14}")
    print(f"{'  values they hold (2 ints, a float)':40} {values['values'][0]:13.1f}")
    print(f"{'  a list of them':40} {values['list'][0]:13.1f}")
    for label, total in (("Indexable", native["objects"][0]), ("__slots__ class", slots_bytes),
                         ("__dict__ class", with_dict["objects"][0])):
        print(f"{label:40} {total:13.1f} {total - shared:9.1f} {(total - shared) / (slots_bytes - shared):13.2f}x")
    print()

    index_bytes, index_peak = native["index"]
    reference = slots["dict of lists"][0]
    print(f"{'index over the objects (memory)':40} {'bytes/object':>13} {'peak':>9} {'/dict of lists':>14}")
    rows = (("Index, 6 attributes (add_object_many)", native["index"]),
            ("dict of lists, 5 attributes", slots["dict of lists"]),
            ("sqlite3 :memory:, the table (rows)", sql["table"]),
            ("sqlite3 :memory:, 5 indexes", sql["indexes"]))
    for label, (size, top) in rows:
        print(f"{label:40} {size:13.1f} {top:9.1f} {size / reference:13.2f}x")
    print(f"(sqlite {sqlite3.sqlite_version}: table and indexes {sql['table'][0] + sql['indexes'][0]:.1f} "
          f"bytes/object)")
    print()

    own = native["objects"][0] - shared
    goals.append(("bytes per Indexable (own)", f"{own:.0f} B", f"{slots_bytes - shared:.0f} B",
                  f"{own:.0f} B", "<=250 B", ok(own <= 250, own <= 180)))
    goals.append(("index bytes per object", f"{index_bytes:.0f} B", f"{reference:.0f} B",
                  f"{index_bytes:.0f} B", "<=200 B", ok(index_bytes <= 200, index_bytes <= 120)))


def bench_times(count, repetitions, goals):
    owners = [Indexable(name=f"owner{i}") for i in range(OWNERS)]
    build_time, objs = best_of(repetitions, lambda: build(count, owners))
    plain_owners = [Owner(f"owner{i}") for i in range(OWNERS)]
    slots_time, plains = best_of(repetitions, lambda: build_plain(Slots, count, plain_owners))
    plains = None

    def add():
        index = Index()
        index.add_object_many(objs)
        return index

    add_time, index = best_of(repetitions, add)
    assert len(index.get_by_attribute(cat="cat3")) == len(range(3, count, 10))
    index = objs = None

    native_create, natives = best_of(repetitions, lambda: create(Indexable, count))
    plain_create, plains = best_of(repetitions, lambda: create(Plain, count))
    native_read, _ = best_of(repetitions, lambda: read(natives))
    plain_read, _ = best_of(repetitions, lambda: read(plains))
    native_assign, _ = best_of(repetitions, lambda: assign(natives))
    plain_assign, _ = best_of(repetitions, lambda: assign(plains))
    assert natives[-1].score == plains[-1].score == 2.5

    rows = (  # label, ours, baseline, goal
        ("add_object_many / build __slots__ objects", add_time, slots_time, 2.0),
        ("build Indexable / __slots__ objects", build_time, slots_time, 2.0),
        ("  create with 6 keywords (bench_indexable)", native_create, plain_create, None),
        ("read one attribute (bench_indexable)", native_read, plain_read, 3.0),
        ("assign one, in no index (bench_indexable)", native_assign, plain_assign, 6.0),
    )
    print(f"{'time':44} {'ours':>13} {'per object':>12} {'__slots__':>13} {'per object':>12} {'ratio':>8}")
    for label, ours, base, goal in rows:
        print(f"{label:44} {fmt(ours):>13} {per_object(ours, count):>12} {fmt(base):>13} "
              f"{per_object(base, count):>12} {ours / base:7.2f}x")
        if goal is not None:
            goals.append((label, fmt(ours).strip(), fmt(base).strip(), f"{ours / base:.2f}x",
                          f"<={goal:.1f}x", ok(ours / base <= goal)))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    print(f"{count:,} objects; memory: RSS growth in a fresh process per contender; times: best of {repetitions}")
    goals = []
    bench_memory(count, goals)
    bench_times(count, repetitions, goals)

    print()
    print(f"{'goal':<44}{'ours':>13}{'baseline':>13}{'value':>10}{'goal':>10}  verdict")
    for name, ours, base, value, goal, verdict in goals:
        print(f"{name:<44}{ours:>13}{base:>13}{value:>10}{goal:>10}  {verdict}")
    print("(baselines: the __slots__ class's own bytes; a dict of lists over 5 attributes; "
          "the same work on __slots__ objects)")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
