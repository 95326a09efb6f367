"""Vantorelle against the libraries users pick instead: the same objects, the same queries, one process.

Usage: python benchmarks/peers.py [objects=1000000] [repetitions=5]
       (`make bench-peers`, or `make bench-peers N=100000` for a quick run)

The objects are those of bench_index.py (a unique int `uid`, a str `cat` of 10 values, a str `tag`
of 1000 values, a float `price`, an int `bucket` of 1000 values and a nested `owner` among 10,000),
the owners carrying a `region` of 100 values as in bench_query.py. Every contender answers the same
queries over those very objects and hands back a list of them (group_by: a dict from each value to
such a list):

- eq, 10%:             cat == "cat3"
- eq & eq, 0.01%:      cat == "cat3" and bucket == 42
- in, 10 values, 1%:   tag in tag100 .. tag109
- bt, 1%:              100.0 <= price <= 109.5
- gt & eq & not, 5%:   price > 500 and cat == "cat3" and not bucket == 42
- dotted eq, 1%:       owner.region == "region7"
- group_by, 10 values: cat -> its objects

Contenders (each one's import, build and queries are guarded: a missing or failing one is reported
and the rest runs):
- Vantorelle: Index.add_object_many and one range query on price (which builds its range tree, as
  the first range query would); get_by_attribute for the keyword filters, reduced_query and
  collect for the query trees, group_by and collect of every group.
- list comprehension: the baseline, a scan of the list (group_by: bench_group_union's dict loop).
- the floor: `lst[:k]` for the same result size k, the cost of just handing back k objects
  (group_by: one such slice per group).
- dict of sets: a hand-made index, attribute -> value -> set of objects, a sorted list of the
  distinct prices for ranges, and the owners indexed by region for the dotted path.
- sqlite3: an in-memory table (row id = position in the list), the owners in a table of their own,
  an index per queried column, ANALYZE; row ids are mapped back through the list.
- DuckDB: the same two tables, scanned from NumPy columns, no explicit indexes (its own zone maps);
  row ids are mapped back through a NumPy object array.
- pandas: a frame of the columns (`cat` and `tag` categorical), the owners in a frame of their own;
  boolean masks mapped back through a NumPy object array.
- ducks Dex and FrozenDex: indexed on cat, tag, price, bucket and a function reading
  owner.region.
- list comprehension over `__slots__` objects: a reference only (other objects holding the same
  values, checked by uid), to show what reading attributes off an Indexable costs the scan.

Every answer is checked against the list comprehension's, as a set of objects (and its size, so
no duplicates pass); a mismatch is printed and its time left out. Times are the best of the
repetitions (bench_index.py's best_of and best_per_call: time.perf_counter, the cyclic garbage
collector paused while a measurement runs, fast calls repeated within a repetition); building each
index is timed the same way over `min(repetitions, 2)` builds, since the slow builds dominate the run.

Memory is the RSS growth per object of building each contender's index over objects that already
exist, each in a fresh child process (this script with --memory-child), as bench_memory.py does:
a contender cannot reuse memory another freed. "peak" is the highest RSS while building, above the
RSS before it.

A 1,000,000-object run writes docs/benchmarks.md, docs/benchmarks.png and the block of README.md
between its markers; a run of any other size writes build/peers/ instead, so a quick run cannot
replace the published figures.
"""
import bisect
import datetime
import gc
import json
import os
import platform
import subprocess
import sys
import time
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from bench_group_union import dict_of_lists  # noqa: E402
from bench_index import TAGS, best_of, best_per_call, build, fmt  # noqa: E402
from bench_memory import Slots as SlotsRow, peak, reset_peak, rss  # noqa: E402
from bench_query import make_owners  # noqa: E402
from Vantorelle import Index, PyQueryExpr as Q  # noqa: E402

PUBLISHED_COUNT = 1_000_000
WARM_UP = 100

CAT = "cat3"
BUCKET = 42
WANTED = TAGS[100:110]
WANTED_SET = frozenset(WANTED)
PRICE_LO, PRICE_HI = 100.0, 109.5
PRICE_GT = 500.0
REGION = "region7"
GROUP_ATTR = "cat"

QUERIES = [  # (key, label)
    ("eq", "eq, 10%"),
    ("eq_eq", "eq & eq, 0.01%"),
    ("in", "in, 10 values, 1%"),
    ("bt", "bt, 1%"),
    ("gt_eq_not", "gt & eq & not, 5%"),
    ("dotted", "dotted eq, 1%"),
    ("group_by", "group_by, 10 values"),
]

README_BEGIN = "<!-- peers: written by benchmarks/peers.py -->"
README_END = "<!-- peers: end -->"


# --- the contenders: each builds its index over `objs` and returns {query key: a call} -------------

def vantorelle(objs, owners):
    index = Index()
    index.add_object_many(objs)
    bt = Q.bt("price", PRICE_LO, PRICE_HI)
    # The range tree of price, which the range queries use, is built by the first of them; the
    # build takes it here, as the other contenders build their range structures up front.
    index.reduced_query(bt)
    gt_eq_not = Q.and_(Q.gt("price", PRICE_GT), Q.eq("cat", CAT), Q.not_(Q.eq("bucket", BUCKET)))
    dotted = Q.eq("owner.region", REGION)
    return {
        "eq": lambda: index.get_by_attribute(cat=CAT),
        "eq_eq": lambda: index.get_by_attribute(cat=CAT, bucket=BUCKET),
        "in": lambda: index.get_by_attribute(tag=WANTED),
        "bt": lambda: index.reduced_query(bt).collect(),
        "gt_eq_not": lambda: index.reduced_query(gt_eq_not).collect(),
        "dotted": lambda: index.reduced_query(dotted).collect(),
        "group_by": lambda: {value: view.collect() for value, view in index.group_by(GROUP_ATTR).items()},
    }


def comprehensions(objs):
    return {
        "eq": lambda: [o for o in objs if o.cat == CAT],
        "eq_eq": lambda: [o for o in objs if o.cat == CAT and o.bucket == BUCKET],
        "in": lambda: [o for o in objs if o.tag in WANTED_SET],
        "bt": lambda: [o for o in objs if PRICE_LO <= o.price <= PRICE_HI],
        "gt_eq_not": lambda: [o for o in objs if o.price > PRICE_GT and o.cat == CAT and not o.bucket == BUCKET],
        "dotted": lambda: [o for o in objs if o.owner.region == REGION],
        "group_by": lambda: dict_of_lists(objs, GROUP_ATTR),
    }


def list_comprehension(objs, owners):
    return comprehensions(objs)


def union(sets):
    return set().union(*sets)


def dict_of_sets(objs, owners):
    by = {name: defaultdict(set) for name in ("cat", "tag", "price", "bucket", "owner")}
    cat, tag, price, bucket, owner = (by[name] for name in ("cat", "tag", "price", "bucket", "owner"))
    for o in objs:
        cat[o.cat].add(o)
        tag[o.tag].add(o)
        price[o.price].add(o)
        bucket[o.bucket].add(o)
        owner[o.owner].add(o)
    region = defaultdict(set)
    for held in owner:
        region[held.region].add(held)
    prices = sorted(price)
    empty = frozenset()

    def price_sets(lo=None, hi=None, lo_open=False):
        start = 0 if lo is None else (bisect.bisect_right if lo_open else bisect.bisect_left)(prices, lo)
        end = len(prices) if hi is None else bisect.bisect_right(prices, hi)
        return (price[p] for p in prices[start:end])

    def gt_eq_not():
        hits = cat.get(CAT, empty) - bucket.get(BUCKET, empty)
        return list(hits & union(price_sets(lo=PRICE_GT, lo_open=True)))

    return {
        "eq": lambda: list(cat.get(CAT, empty)),
        "eq_eq": lambda: list(cat.get(CAT, empty) & bucket.get(BUCKET, empty)),
        "in": lambda: list(union(tag.get(t, empty) for t in WANTED)),
        "bt": lambda: list(union(price_sets(PRICE_LO, PRICE_HI))),
        "gt_eq_not": gt_eq_not,
        "dotted": lambda: list(union(owner[held] for held in region.get(REGION, empty))),
        "group_by": lambda: {value: list(members) for value, members in cat.items()},
    }


def owner_numbers(objs, owners):
    number = {held: n for n, held in enumerate(owners)}
    return [number[o.owner] for o in objs]


def sqlite(objs, owners):
    import sqlite3

    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE shape (i INTEGER PRIMARY KEY, cat TEXT, tag TEXT, price REAL, bucket INTEGER, "
               "owner INTEGER)")
    db.execute("CREATE TABLE owners (id INTEGER PRIMARY KEY, region TEXT)")
    numbers = owner_numbers(objs, owners)
    db.executemany("INSERT INTO shape VALUES (?, ?, ?, ?, ?, ?)",
                   ((i, o.cat, o.tag, o.price, o.bucket, numbers[i]) for i, o in enumerate(objs)))
    db.executemany("INSERT INTO owners VALUES (?, ?)", ((n, held.region) for n, held in enumerate(owners)))
    for name in ("cat", "tag", "price", "bucket", "owner"):
        db.execute(f"CREATE INDEX shape_{name} ON shape ({name})")
    db.execute("CREATE INDEX owners_region ON owners (region)")
    db.execute("ANALYZE")
    db.commit()
    marks = ", ".join("?" * len(WANTED))

    def rows(sql, *params):
        return [objs[i] for (i,) in db.execute(sql, params)]

    def group_by():
        values = [value for (value,) in db.execute(f"SELECT DISTINCT {GROUP_ATTR} FROM shape")]
        return {value: rows(f"SELECT i FROM shape WHERE {GROUP_ATTR} = ?", value) for value in values}

    return {
        "eq": lambda: rows("SELECT i FROM shape WHERE cat = ?", CAT),
        "eq_eq": lambda: rows("SELECT i FROM shape WHERE cat = ? AND bucket = ?", CAT, BUCKET),
        "in": lambda: rows(f"SELECT i FROM shape WHERE tag IN ({marks})", *WANTED),
        "bt": lambda: rows("SELECT i FROM shape WHERE price BETWEEN ? AND ?", PRICE_LO, PRICE_HI),
        "gt_eq_not": lambda: rows("SELECT i FROM shape WHERE price > ? AND cat = ? AND NOT bucket = ?",
                                  PRICE_GT, CAT, BUCKET),
        "dotted": lambda: rows("SELECT i FROM shape WHERE owner IN (SELECT id FROM owners WHERE region = ?)",
                               REGION),
        "group_by": group_by,
    }


def object_array(objs):
    import numpy

    return numpy.fromiter(objs, dtype=object, count=len(objs))


def duckdb_contender(objs, owners):
    import duckdb
    import numpy

    numbers = owner_numbers(objs, owners)
    shape_columns = {  # noqa: F841 (DuckDB reads local NumPy columns by their variable's name)
        "i": numpy.arange(len(objs), dtype=numpy.int64),
        "cat": numpy.array([o.cat for o in objs], dtype=object),
        "tag": numpy.array([o.tag for o in objs], dtype=object),
        "price": numpy.array([o.price for o in objs], dtype=numpy.float64),
        "bucket": numpy.array([o.bucket for o in objs], dtype=numpy.int64),
        "owner": numpy.array(numbers, dtype=numpy.int64),
    }
    owner_columns = {  # noqa: F841
        "id": numpy.arange(len(owners), dtype=numpy.int64),
        "region": numpy.array([held.region for held in owners], dtype=object),
    }
    db = duckdb.connect()
    db.execute("CREATE TABLE shape AS SELECT * FROM shape_columns")
    db.execute("CREATE TABLE owners AS SELECT * FROM owner_columns")
    shape_columns = owner_columns = numbers = None
    everything = object_array(objs)
    marks = ", ".join("?" * len(WANTED))

    def rows(sql, *params):
        return everything[db.execute(sql, list(params)).fetchnumpy()["i"]].tolist()

    def group_by():
        found = db.execute(f"SELECT i, {GROUP_ATTR} AS v FROM shape ORDER BY v").fetchnumpy()
        ids, values = found["i"], numpy.asarray(found["v"], dtype=object)
        bounds = [0, *(numpy.flatnonzero(values[1:] != values[:-1]) + 1).tolist(), len(ids)]
        return {values[a]: everything[ids[a:b]].tolist() for a, b in zip(bounds, bounds[1:]) if b > a}

    return {
        "eq": lambda: rows("SELECT i FROM shape WHERE cat = ?", CAT),
        "eq_eq": lambda: rows("SELECT i FROM shape WHERE cat = ? AND bucket = ?", CAT, BUCKET),
        "in": lambda: rows(f"SELECT i FROM shape WHERE tag IN ({marks})", *WANTED),
        "bt": lambda: rows("SELECT i FROM shape WHERE price BETWEEN ? AND ?", PRICE_LO, PRICE_HI),
        "gt_eq_not": lambda: rows("SELECT i FROM shape WHERE price > ? AND cat = ? AND NOT bucket = ?",
                                  PRICE_GT, CAT, BUCKET),
        "dotted": lambda: rows("SELECT i FROM shape WHERE owner IN (SELECT id FROM owners WHERE region = ?)",
                               REGION),
        "group_by": group_by,
    }


def pandas_contender(objs, owners):
    import numpy
    import pandas

    frame = pandas.DataFrame({
        "cat": pandas.Categorical([o.cat for o in objs]),
        "tag": pandas.Categorical([o.tag for o in objs]),
        "price": numpy.array([o.price for o in objs], dtype=numpy.float64),
        "bucket": numpy.array([o.bucket for o in objs], dtype=numpy.int64),
        "owner": numpy.array(owner_numbers(objs, owners), dtype=numpy.int64),
    })
    regions = pandas.DataFrame({"region": pandas.Categorical([held.region for held in owners])})
    everything = object_array(objs)

    def pick(mask):
        return everything[mask.to_numpy()].tolist()

    def group_by():
        positions = frame.groupby(GROUP_ATTR, observed=True).indices
        return {value: everything[found].tolist() for value, found in positions.items()}

    return {
        "eq": lambda: pick(frame["cat"] == CAT),
        "eq_eq": lambda: pick((frame["cat"] == CAT) & (frame["bucket"] == BUCKET)),
        "in": lambda: pick(frame["tag"].isin(WANTED)),
        "bt": lambda: pick(frame["price"].between(PRICE_LO, PRICE_HI)),
        "gt_eq_not": lambda: pick((frame["price"] > PRICE_GT) & (frame["cat"] == CAT) & ~(frame["bucket"] == BUCKET)),
        "dotted": lambda: pick(frame["owner"].isin(regions.index[regions["region"] == REGION])),
        "group_by": group_by,
    }


def owner_region(o):
    return o.owner.region


def ducks_queries(dex, as_list):
    def find(query):
        return as_list(dex[query])

    return {
        "eq": lambda: find({"cat": CAT}),
        "eq_eq": lambda: find({"cat": CAT, "bucket": BUCKET}),
        "in": lambda: find({"tag": {"in": list(WANTED)}}),
        "bt": lambda: find({"price": {">=": PRICE_LO, "<=": PRICE_HI}}),
        "gt_eq_not": lambda: find({"price": {">": PRICE_GT}, "cat": CAT, "bucket": {"!=": BUCKET}}),
        "dotted": lambda: find({owner_region: REGION}),
        "group_by": lambda: {value: find({GROUP_ATTR: value}) for value in dex.get_values(GROUP_ATTR)},
    }


DUCKS_ON = ["cat", "tag", "price", "bucket", owner_region]


def ducks_dex(objs, owners):
    from ducks import Dex

    return ducks_queries(Dex(objs, DUCKS_ON), lambda found: found)


def ducks_frozen(objs, owners):
    from ducks import FrozenDex

    return ducks_queries(FrozenDex(objs, DUCKS_ON), lambda found: found.tolist())


CONTENDERS = [  # (name, builder); the first is ours, the second the baseline
    ("Vantorelle", vantorelle),
    ("list comprehension", list_comprehension),
    ("dict of sets", dict_of_sets),
    ("sqlite3", sqlite),
    ("DuckDB", duckdb_contender),
    ("pandas", pandas_contender),
    ("ducks Dex", ducks_dex),
    ("ducks FrozenDex", ducks_frozen),
]
OURS, BASELINE, FLOOR = "Vantorelle", "list comprehension", "floor lst[:k]"
REFERENCE = "list comp., __slots__ objects"
VERSIONS = {"sqlite": ("sqlite3", "sqlite_version"), "DuckDB": ("duckdb", "__version__"),
            "pandas": ("pandas", "__version__"), "NumPy": ("numpy", "__version__"), "ducks": ("ducks", None)}


class SlotsOwner:
    __slots__ = ("name", "region")

    def __init__(self, name, region):
        self.name = name
        self.region = region


def slots_copies(objs):
    owners = {}
    for o in objs:
        if o.owner not in owners:
            owners[o.owner] = SlotsOwner(o.owner.name, o.owner.region)
    return [SlotsRow(o.uid, o.cat, o.tag, o.price, o.bucket, owners[o.owner]) for o in objs]


# --- measuring ------------------------------------------------------------------------------------

def describe(error):
    text = f"{type(error).__name__}: {error}".splitlines()[0]
    return text if len(text) <= 100 else text[:97] + "..."


def identities(found):
    """Ids of a list answer, or of each group of a group_by answer; and the answer's size."""
    if isinstance(found, dict):
        groups = {value: identities(members) for value, members in found.items()}
        return groups, sum(size for _, size in groups.values())
    found = list(found)
    return frozenset(map(id, found)), len(found)


def mismatch(found, expected):
    """Why `found` is not the expected answer (ids and size, group by group), else None."""
    if isinstance(expected[0], dict):
        if not isinstance(found, dict):
            return f"a {type(found).__name__}, not a dict of groups"
        ids, _ = identities(found)
        if ids.keys() != expected[0].keys():
            return f"groups {sorted(map(str, ids.keys()))}, expected {sorted(map(str, expected[0].keys()))}"
        for value, (members, size) in ids.items():
            if (members, size) != expected[0][value]:
                return f"group {value!r}: {size} objects, expected {expected[0][value][1]}"
        return None
    members, size = identities(found)
    if (members, size) != expected:
        return f"{size} objects ({len(members)} distinct), expected {expected[1]}, {len(members & expected[0])} in common"
    return None


def uids(found):
    if isinstance(found, dict):
        return {value: sorted(o.uid for o in members) for value, members in found.items()}
    return sorted(o.uid for o in found)


def run_contender(name, make, objs, owners, build_repetitions, repetitions, expected, results):
    """Times `make`'s build and each of its queries into results[name]; a failure is recorded."""
    entry = results.setdefault(name, {"times": {}, "notes": {}})
    try:
        build_time, queries = best_of(build_repetitions, lambda: make(objs, owners))
    except ImportError as error:
        entry["missing"] = describe(error)
        print(f"{name:24} missing ({entry['missing']})")
        return
    except Exception as error:  # a contender that cannot build is reported, not fatal
        entry["failed"] = describe(error)
        print(f"{name:24} build failed ({entry['failed']})")
        return
    entry["build"] = build_time
    print(f"{name:24} build {fmt(build_time)}", flush=True)
    for key, label in QUERIES:
        try:
            query_time, found = best_per_call(repetitions, queries[key])
            wrong = mismatch(found, expected[key])
        except Exception as error:
            entry["notes"][key] = "failed: " + describe(error)
            print(f"  {label:22} FAILED {entry['notes'][key]}")
            continue
        found = None
        if wrong:
            entry["notes"][key] = "wrong answer: " + wrong
            print(f"  {label:22} MISMATCH, time left out: {wrong}")
            continue
        entry["times"][key] = query_time
        print(f"  {label:22} {fmt(query_time)}", flush=True)


def memory_child(name, count):
    """Runs in a fresh process: prints, as JSON, the RSS growth and peak of building one index."""
    make = dict(CONTENDERS)[name]
    owners = make_owners()
    warm = make(build(WARM_UP, owners), owners)  # imports and one-time costs, not charged to the index
    warm = None
    objs = build(count, owners)
    before = rss()
    tracked = reset_peak()
    gc.disable()
    start = time.perf_counter()
    queries = make(objs, owners)
    seconds = time.perf_counter() - start
    gc.enable()
    top = peak() if tracked else float("nan")
    grown = rss() - before
    assert len(queries["eq"]()) == len(range(3, count, 10))
    print(json.dumps({"bytes": grown / count, "peak": (top - before) / count, "seconds": seconds}))


def measure_memory(name, count):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", name, str(count)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or ["no output"]
        return {"error": lines[-1][:100]}
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- reporting ------------------------------------------------------------------------------------

def short(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms" if seconds < 0.1 else f"{seconds * 1e3:.0f} ms"
    return f"{seconds * 1e6:.3g} us"


def times(ratio):
    if ratio >= 100:
        return f"{ratio:,.0f}x"
    return f"{ratio:.3g}x"


def times_faster(ratio):
    if ratio >= 1:
        return f"{ratio:,.0f}x faster" if ratio >= 100 else f"{ratio:.3g}x faster"
    return f"{1 / ratio:.3g}x slower"


def versions():
    found = {}
    for name, (module, attribute) in VERSIONS.items():
        try:
            if attribute is None:
                from importlib.metadata import version
                found[name] = version(module)
            else:
                found[name] = getattr(__import__(module), attribute)
        except Exception:
            pass
    return found


def machine():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} cores ({model}), shared with other jobs", f"Python {platform.python_version()}"


def verdicts(results, ks):
    """Per query: ours, the fastest other contender, ours / floor, and plain verdicts."""
    ours = results[OURS]["times"]
    rows = []
    for key, label in QUERIES:
        others = [(times["times"][key], name) for name, times in results.items()
                  if name not in (OURS, FLOOR, REFERENCE) and key in times.get("times", {})]
        best_other = min(others) if others else None
        floor = results[FLOOR]["times"].get(key)
        if key not in ours:
            rows.append((label, None, best_other, None, "no answer from Vantorelle", "-"))
            continue
        if best_other is None:
            ahead = "no other contender answered"
        elif ours[key] < best_other[0]:
            ahead = f"yes, {best_other[0] / ours[key]:.3g}x ahead of {best_other[1]}"
        else:
            ahead = f"**no: {best_other[1]} is {ours[key] / best_other[0]:.3g}x faster**"
        ratio = ours[key] / floor
        within = f"yes ({ratio:.2f}x)" if ratio <= 3 else f"**no: {ratio:.2f}x the floor**"
        rows.append((label, ours[key], best_other, ratio, ahead, within))
    return rows


def markdown_table(results, ks, memory, count):
    names = [name for name in results if name != REFERENCE] + ([REFERENCE] if REFERENCE in results else [])
    header = ["contender"] + [label for _, label in QUERIES] + ["build", "index memory, bytes/object (peak)"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines.append("| k (objects returned) | " + " | ".join(f"{ks[key]:,}" for key, _ in QUERIES) + " | | |")
    baseline = results[BASELINE]["times"]
    floor = results[FLOOR]["times"]
    ours_build = results[OURS].get("build")
    for name in names:
        entry = results[name]
        cells = []
        for key, _ in QUERIES:
            if key in entry.get("times", {}):
                t = entry["times"][key]
                if name == FLOOR:
                    cells.append(short(t))
                elif name == BASELINE:
                    cells.append(f"{short(t)}<br>{times(t / floor[key])} floor")
                else:
                    cells.append(f"{short(t)}<br>{times_faster(baseline[key] / t)}<br>{times(t / floor[key])} floor")
            elif "missing" in entry:
                cells.append("missing")
            elif "failed" in entry:
                cells.append("build failed")
            else:
                cells.append(entry.get("notes", {}).get(key, "-").split(":")[0])
        if "build" in entry and name not in (BASELINE, FLOOR, REFERENCE):
            build_cell = short(entry["build"])
            if name != OURS and ours_build:
                build_cell += f"<br>{entry['build'] / ours_build:.2g}x ours"
        else:
            build_cell = "-"
        mem = memory.get(name)
        if mem is None:
            mem_cell = "-"
        elif "error" in mem:
            mem_cell = "failed"
        else:
            mem_cell = f"{mem['bytes']:,.0f} ({mem['peak']:,.0f})"
        label = f"**{name}**" if name == OURS else name
        if name in results and ("missing" in entry or "failed" in entry):
            label += f" ({entry.get('missing') or entry.get('failed')})"
        lines.append("| " + " | ".join([label] + cells + [build_cell, mem_cell]) + " |")
    return lines


def verdict_table(rows):
    lines = ["| query | Vantorelle | fastest other contender | ahead of every contender? | within 3x of the floor? |",
             "|---|---|---|---|---|"]
    for label, ours, best_other, ratio, ahead, within in rows:
        other = f"{best_other[1]}, {short(best_other[0])}" if best_other else "-"
        lines.append(f"| {label} | {short(ours) if ours else '-'} | {other} | {ahead} | {within} |")
    return lines


def plot(results, path, count):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [name for name in results if name != REFERENCE and results[name].get("times")]
    width = 0.85 / len(names)
    fig, ax = plt.subplots(figsize=(14, 6))
    colours = plt.get_cmap("tab10")
    for n, name in enumerate(names):
        xs, ys = [], []
        for q, (key, _) in enumerate(QUERIES):
            if key in results[name]["times"]:
                xs.append(q - 0.425 + width * (n + 0.5))
                ys.append(results[name]["times"][key])
        ax.bar(xs, ys, width, label=name, color=colours(n % 10),
               hatch="//" if name == FLOOR else None, edgecolor="black" if name == OURS else None,
               linewidth=1.2 if name == OURS else 0)
    ax.set_yscale("log")
    ax.set_xticks(range(len(QUERIES)))
    ax.set_xticklabels([label for _, label in QUERIES])
    ax.set_ylabel("seconds per query (log scale, lower is better)")
    ax.set_title(f"{count:,} objects: time per query, best of the repetitions")
    ax.grid(axis="y", which="major", alpha=0.4)
    ax.legend(ncol=len(names), fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.07), frameon=False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_documents(out, results, ks, memory, count, repetitions, build_repetitions, duration):
    os.makedirs(out, exist_ok=True)
    table = markdown_table(results, ks, memory, count)
    rows = verdicts(results, ks)
    cores, python = machine()
    today = datetime.date.today().isoformat()
    found = versions()
    libs = ", ".join(f"{name} {version}" for name, version in found.items()) or "no other libraries"
    png = "benchmarks.png"
    try:
        plot(results, os.path.join(out, png), count)
        picture = [f"![time per query, log scale]({png})", ""]
    except ImportError as error:
        picture = [f"(no picture: {describe(error)})", ""]
    missing = [f"- {name}: {entry.get('missing') or entry.get('failed')}" for name, entry in results.items()
               if "missing" in entry or "failed" in entry]
    wrong = [f"- {name}, {dict(QUERIES)[key]}: {note}" for name, entry in results.items()
             for key, note in entry.get("notes", {}).items()]
    doc = [
        "# Vantorelle against its peers",
        "",
        f"Written by `make bench-peers` (benchmarks/peers.py) on {today}: {count:,} objects, queries best of "
        f"{repetitions}, builds best of {build_repetitions}; {cores}; {python}; {libs}. "
        f"The run took {duration / 60:.1f} minutes.",
        "",
        *picture,
        "Each cell: the time per query; how many times faster than the list comprehension over the same "
        "objects; the time over the floor, `lst[:k]` for the same number k of objects (1x would be as fast as "
        "handing back k neighbouring objects). Build: the time to build the index over objects that already "
        "exist, and its ratio to ours. Memory: the RSS growth of that build per object, each contender in a "
        "fresh process, and in brackets the peak while building.",
        "",
        *table,
        "",
        "## Verdict",
        "",
        "The goals: on every query ahead of every contender, and within 3x of the floor.",
        "",
        *verdict_table(rows),
        "",
    ]
    if missing:
        doc += ["Contenders that did not run:", "", *missing, ""]
    if wrong:
        doc += ["Answers left out (failed, or not the list comprehension's objects):", "", *wrong, ""]
    doc += [
        "## What is measured",
        "",
        "The objects are bench_index.py's (six attributes: `uid`, `cat` of 10 values, `tag` of 1000, `price`, "
        "`bucket` of 1000, and a nested `owner` among 10,000 whose `region` takes 100 values), all of them "
        "`Indexable`, the very same objects for every contender; each contender hands back a list of them "
        "(group_by: a dict from each value to such a list), and each answer is checked against the list "
        "comprehension's as a set of objects.",
        "",
        "- Vantorelle indexes all six attributes (it cannot leave one out), the others the five that are "
        "queried. Keyword filters use `get_by_attribute`, the query trees `reduced_query(...).collect()`, "
        "group_by is `group_by` and `collect()` of every group.",
        "- dict of sets: attribute -> value -> set of objects, a sorted list of distinct prices for the ranges, "
        "the owners indexed by region for the dotted path; queries are set unions, intersections and "
        "differences, never attribute reads.",
        "- sqlite3 (in memory) and DuckDB hold a table of the five columns with the row's position as its id, "
        "and a table of the owners' regions; the dotted path is a subquery on the owner's number. sqlite3 has "
        "an index on each queried column and ANALYZE; DuckDB has no explicit index. Row ids are mapped back to "
        "the objects (sqlite3 through the list, DuckDB through a NumPy object array).",
        "- pandas: boolean masks over a frame (`cat` and `tag` categorical), mapped back through a NumPy object "
        "array; group_by is `groupby(...).indices`.",
        "- ducks: `Dex` and `FrozenDex` on `cat`, `tag`, `price`, `bucket` and a function reading "
        "`owner.region` (computed when an object is added: unlike Vantorelle's dotted path, it does not follow "
        "later changes to the owner).",
        f"- {REFERENCE}: the same list comprehensions over plain `__slots__` copies of the objects (checked "
        "by uid). Not a contender: every other contender reads attributes off the `Indexable` objects, which "
        "is slower than off a `__slots__` object (bench_indexable.py), and this row shows how much of the "
        "comprehension's time that is. Likewise an `Indexable` itself costs more memory than a `__slots__` "
        "object (bench_memory.py), which no column here counts.",
        "",
        "Times are the best of the repetitions on a machine shared with other jobs, so they carry its noise; "
        "the ratios compare figures taken in the same run.",
        "",
    ]
    with open(os.path.join(out, "benchmarks.md"), "w") as f:
        f.write("\n".join(doc))
    readme = os.path.join(ROOT, "README.md")
    if out == os.path.join(ROOT, "docs") and os.path.exists(readme):
        with open(readme) as f:
            text = f.read()
        if README_BEGIN in text and README_END in text:
            block = [
                README_BEGIN,
                f"Measured on {today}, on {cores}, {count:,} objects (`make bench-peers`; method and notes in "
                "[docs/benchmarks.md](docs/benchmarks.md)):",
                "",
                "![time per query against the peers, log scale](docs/benchmarks.png)",
                "",
                *table,
                "",
                *verdict_table(rows),
                README_END,
            ]
            head, rest = text.split(README_BEGIN, 1)
            tail = rest.split(README_END, 1)[1]
            with open(readme, "w") as f:
                f.write(head + "\n".join(block) + tail)
            print(f"updated the peers block of {readme}")
    print(f"wrote {out}/benchmarks.md and {out}/{png}")


# --- the run --------------------------------------------------------------------------------------

def main():
    started = time.perf_counter()
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    count = int(args[0]) if args else PUBLISHED_COUNT
    repetitions = int(args[1]) if len(args) > 1 else 5
    build_repetitions = min(repetitions, 2)
    out = os.path.join(ROOT, "docs") if count == PUBLISHED_COUNT else os.path.join(ROOT, "build", "peers")
    owners = make_owners()
    objs = build(count, owners)
    print(f"{count:,} objects; queries best of {repetitions}, builds best of {build_repetitions}")

    comprehension = comprehensions(objs)
    results = {}
    expected, ks = {}, {}
    baseline = results.setdefault(BASELINE, {"times": {}, "notes": {}})
    floor = results.setdefault(FLOOR, {"times": {}, "notes": {}})
    print(f"{BASELINE:24}", flush=True)
    for key, label in QUERIES:
        elapsed, found = best_of(repetitions, comprehension[key])
        expected[key] = identities(found)
        ks[key] = expected[key][1]
        baseline["times"][key] = elapsed
        sizes = [len(members) for members in found.values()] if isinstance(found, dict) else None
        found = None
        k = ks[key]
        floor["times"][key], _ = best_per_call(
            repetitions, (lambda: [objs[:n] for n in sizes]) if sizes else (lambda: objs[:k]))
        print(f"  {label:22} k={k:<9,} {fmt(elapsed)}   floor {fmt(floor['times'][key])}", flush=True)

    results.setdefault(OURS, {"times": {}, "notes": {}})
    results = {OURS: results[OURS], BASELINE: baseline, FLOOR: floor}
    for name, make in CONTENDERS:
        if name == BASELINE:
            continue
        run_contender(name, make, objs, owners, build_repetitions, repetitions, expected, results)
        gc.collect()

    # Other objects than the contenders': they can only be checked by uid, and they show how much of
    # the scan's time is the attribute read of an Indexable rather than the scan itself.
    plain = slots_copies(objs)
    reference = comprehensions(plain)
    entry = results.setdefault(REFERENCE, {"times": {}, "notes": {}})
    print(f"{REFERENCE:24}")
    for key, label in QUERIES:
        elapsed, found = best_of(repetitions, reference[key])
        wrong = None if uids(found) == uids(comprehension[key]()) else "uids differ"
        found = None
        if wrong:
            entry["notes"][key] = "wrong answer: " + wrong
            print(f"  {label:22} MISMATCH, time left out: {wrong}")
        else:
            entry["times"][key] = elapsed
            print(f"  {label:22} {fmt(elapsed)}")
    plain = reference = comprehension = objs = None
    gc.collect()

    memory = {}
    print("index memory, each contender in a fresh process (bytes per object, peak):")
    for name, _ in CONTENDERS:
        if name == BASELINE or "build" not in results.get(name, {}):
            continue
        memory[name] = measure_memory(name, count)
        shown = memory[name].get("error") or f"{memory[name]['bytes']:9.1f} {memory[name]['peak']:9.1f}"
        print(f"  {name:22} {shown}", flush=True)

    duration = time.perf_counter() - started
    print()
    for line in verdict_table(verdicts(results, ks)):
        print(line)
    write_documents(out, results, ks, memory, count, repetitions, build_repetitions, duration)
    print(f"the run took {duration:.0f} s")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--memory-child":
        memory_child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
