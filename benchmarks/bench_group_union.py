"""Index.group_by and Index.union_with, against plain Python (and pandas) doing the same.

Usage: python benchmarks/bench_group_union.py [objects=1000000] [repetitions=3]

The objects are instances of an Indexable subclass with a unique int `uid`, a str `cat` of 10
values, a str `tag` of 1000 values and a float `price`. Every figure is the best of the repetitions
(time.perf_counter), with the cyclic garbage collector paused while a measurement runs; fast calls
are repeated within a repetition and reported per call (see bench_index.py).

- group_by by `cat` and by `tag`, alone and followed by collect() of every group, is compared with
  a dict of lists built by a loop over the objects (`d.setdefault(o.attr, []).append(o)`), and with
  pandas' `DataFrame.groupby(col).indices` on a frame holding the same values (goal: group_by alone
  at least 20x faster than the loop). "column" is the time to read the attribute off every object
  into a pandas column, which pandas needs first. pandas is only used here: without it, its columns
  say so and the rest runs.
- union_with of two indexes of half the objects each (disjoint) is compared with add_object_many of
  all of them into a fresh index (goal: at most 1x). With half of the other index's objects already
  present (50% overlap), the union is compared with a fresh add of the objects it ends up holding
  (goal: at most 1x). "add_object_many of the other half" adds the second index's objects into the
  same first index: what union_with replaces.

Every result is checked (group sizes against the loop's, each collected object against its group's
value, the union's size and uids) outside the timed region, so a wrong answer cannot pass as fast.
"""
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_index import best_of, best_per_call, fmt  # noqa: E402
from Vantorelle import Index, Indexable  # noqa: E402

try:
    import pandas
except ImportError:  # only this benchmark uses pandas; it is not a dependency of the package
    pandas = None

CATS = [f"cat{i}" for i in range(10)]
TAGS = [f"tag{i}" for i in range(1000)]


class Row(Indexable):
    pass


def build(count):
    return [Row(uid=i, cat=CATS[i % 10], tag=TAGS[(i // 7) % 1000], price=(i % 997) + 0.25)
            for i in range(count)]


def make_index(objs):
    index = Index()
    index.add_object_many(objs)
    return index


def best_with_setup(repetitions, setup, run):
    """Best time of `run(state)` over fresh `setup()` states (setup untimed), and the last state."""
    best, state = float("inf"), None
    for _ in range(repetitions):
        state = None  # the previous round's state goes before the next one is built
        state = setup()
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            run(state)
            elapsed = time.perf_counter() - start
        finally:
            gc.enable()
        best = min(best, elapsed)
    return best, state


def dict_of_lists(objs, attr):
    groups = {}
    for o in objs:
        groups.setdefault(getattr(o, attr), []).append(o)
    return groups


def check_groups(groups, expected, attr):
    """`groups` maps each value to its objects (a list or a view); `expected` is the loop's dict."""
    assert groups.keys() == expected.keys(), attr
    total = 0
    for value, members in groups.items():
        found = members if isinstance(members, list) else members.collect()
        assert len(found) == len(expected[value]), (attr, value)
        assert all(getattr(o, attr) == value for o in found), (attr, value)
        total += len(found)
    assert total == sum(map(len, expected.values())), attr


def check_union(index, count):
    found = index.collect()
    assert len(found) == count, (len(found), count)
    assert {o.uid for o in found} == set(range(count))


def verdict(ratio, goal, at_least=False):
    if at_least:
        return "ok" if ratio >= goal else "under goal"
    return "ok" if ratio <= goal else "over goal"


def bench_group_by(objs, index, repetitions, goals):
    if pandas is None:
        print("pandas: missing (pip install pandas to compare with DataFrame.groupby)")
    print(f"{'attribute':16} {'groups':>7} {'group_by':>13} {'+ collect':>13} {'dict loop':>13} "
          f"{'pandas':>13} {'column':>13} {'loop/ours':>10} {'loop/ours+c':>12} {'pandas/ours':>12}")
    frame_dtype = None
    for attr in ("cat", "tag"):
        loop_time, expected = best_of(repetitions, lambda: dict_of_lists(objs, attr))
        alone_time, groups = best_per_call(repetitions, lambda: index.group_by(attr))
        check_groups(groups, expected, attr)
        groups = None
        collect_time, collected = best_per_call(
            repetitions, lambda: {value: view.collect() for value, view in index.group_by(attr).items()})
        check_groups(collected, expected, attr)
        collected = None
        if pandas is not None:
            column_time, frame = best_of(
                repetitions, lambda: pandas.DataFrame({attr: [getattr(o, attr) for o in objs]}))
            frame_dtype = frame[attr].dtype
            pandas_time, positions = best_per_call(repetitions, lambda: frame.groupby(attr).indices)
            assert {value: len(p) for value, p in positions.items()} == {v: len(m) for v, m in expected.items()}, attr
            positions = frame = None
            pandas_cells = (fmt(pandas_time), fmt(column_time), f"{pandas_time / alone_time:11.1f}x")
        else:
            pandas_cells = ("missing", "missing", "missing")
        label = f"{attr} ({len(expected)} values)"
        print(f"{label:16} {len(expected):>7,} {fmt(alone_time):>13} {fmt(collect_time):>13} {fmt(loop_time):>13} "
              f"{pandas_cells[0]:>13} {pandas_cells[1]:>13} {loop_time / alone_time:9.1f}x "
              f"{loop_time / collect_time:11.1f}x {pandas_cells[2]:>12}")
        goals.append((f"group_by {attr}: dict loop / ours", alone_time, loop_time, loop_time / alone_time, 20.0, True))
        expected = None
    if frame_dtype is not None:
        print(f"(pandas {pandas.__version__}, column dtype {frame_dtype})")


def bench_union(objs, repetitions, goals):
    count = len(objs)
    half = count // 2
    quarter = count // 4
    first, second = objs[:half], objs[half:]
    overlapping = objs[quarter:quarter + half]  # its first half is already in `first`
    overlap_count = quarter + half

    fresh_time, fresh = best_of(repetitions, lambda: make_index(objs))
    check_union(fresh, count)
    fresh = None

    other = make_index(second)
    union_time, merged = best_with_setup(repetitions, lambda: make_index(first), lambda a: a.union_with(other))
    check_union(merged, count)
    merged = None
    assert len(other.collect()) == len(second)  # the other index is unchanged

    add_time, merged = best_with_setup(repetitions, lambda: make_index(first), lambda a: a.add_object_many(second))
    check_union(merged, count)
    merged = other = None

    fresh_overlap_time, fresh = best_of(repetitions, lambda: make_index(objs[:overlap_count]))
    check_union(fresh, overlap_count)
    fresh = None

    other = make_index(overlapping)
    overlap_time, merged = best_with_setup(repetitions, lambda: make_index(first), lambda a: a.union_with(other))
    check_union(merged, overlap_count)
    merged = other = None

    print(f"{'union':40} {'result':>10} {'time':>13} {'ratio':>8}")
    print(f"{'fresh add_object_many, all':40} {count:>10,} {fmt(fresh_time):>13}")
    print(f"{'union_with, disjoint halves':40} {count:>10,} {fmt(union_time):>13} {union_time / fresh_time:7.2f}x")
    print(f"{'  add_object_many of the other half':40} {count:>10,} {fmt(add_time):>13} {add_time / fresh_time:7.2f}x")
    print(f"{'fresh add_object_many, same result':40} {overlap_count:>10,} {fmt(fresh_overlap_time):>13}")
    print(f"{'union_with, halves with 50% overlap':40} {overlap_count:>10,} {fmt(overlap_time):>13} "
          f"{overlap_time / fresh_overlap_time:7.2f}x")
    goals.append((f"union_with {half:,}+{count - half:,} disjoint / fresh add", union_time, fresh_time,
                  union_time / fresh_time, 1.0, False))
    goals.append((f"union_with {half:,}+{half:,} 50% overlap / fresh add", overlap_time, fresh_overlap_time,
                  overlap_time / fresh_overlap_time, 1.0, False))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    objs = build(count)
    index = make_index(objs)
    print(f"{count:,} objects, best of {repetitions}")
    goals = []
    bench_group_by(objs, index, repetitions, goals)
    index = None
    print()
    bench_union(objs, repetitions, goals)

    print()
    print(f"{'goal':<52}{'ours':>13}{'baseline':>13}{'ratio':>9}{'goal':>9}  verdict")
    for name, ours, base, ratio, goal, at_least in goals:
        bound = ('>=' if at_least else '<=') + format(goal, '.1f') + 'x'
        print(f"{name:<52}{fmt(ours):>13}{fmt(base):>13}{ratio:>8.2f}x{bound:>9}  {verdict(ratio, goal, at_least)}")


if __name__ == "__main__":
    main()
