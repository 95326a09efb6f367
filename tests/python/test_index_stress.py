"""Threads adding, assigning and filtering at once.

Each scenario runs in a child interpreter, so that a deadlock with the interpreter lock held fails
the test instead of hanging the run: inside the child the workers are daemon threads joined with a
timeout, and the child itself is killed by faulthandler (with every thread's traceback) and by the
parent's timeout. Workers stop at a deadline; at the end every index is checked against the
objects' final values.
"""
import os
import random
import threading
import time

import pytest

from Vantorelle import Index, Indexable, _verify_index

BUSY = ("Already borrowed", "Already mutably borrowed")
KS = list(range(6))
SS = ["red", "green", "blue"]


def retry(call, until):
    """Calls `call` until the index is not busy with another thread; False if the deadline passed."""
    while time.monotonic() < until:
        try:
            call()
            return True
        except RuntimeError as error:
            if str(error) not in BUSY:
                raise
    return False


def run_workers(workers, join_timeout=30):
    errors = []

    def guard(work):
        try:
            work()
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=guard, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    end = time.monotonic() + join_timeout
    for t in threads:
        t.join(max(0.0, end - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, f"deadlock: {stuck} still running after {join_timeout}s"
    if errors:
        raise errors[0]


def check_final_values(index, members, names_values):
    """`members` in creation order."""
    broken = _verify_index(index)
    assert broken == "", broken
    assert index.collect() == members
    for name, values in names_values:
        for value in values:
            want = [o for o in members if getattr(o, name, None) is value or
                    (not isinstance(value, Indexable) and getattr(o, name, None) == value)]
            got = index.get_by_attribute(**{name: [value]})
            assert got == want, (name, value, len(got), len(want))


def mixed_scenario(seconds):
    """Adders, assigners (plain and Indexable values, nested swaps) and filters on shared objects."""
    kids = [Indexable(n=i % 2) for i in range(4)]
    objs = [Indexable(k=i % 6, s=SS[i % 3], child=kids[i % 4]) for i in range(16)]
    shared = Index()
    privates = [Index(), Index()]
    added = {id(shared): set(), id(privates[0]): set(), id(privates[1]): set()}
    until = time.monotonic() + seconds

    def adder(seed, private):
        rng = random.Random(seed)
        while time.monotonic() < until:
            pick = rng.sample(objs + kids, 3)
            private.add_object(pick[0])
            added[id(private)].add(id(pick[0]))
            targets = pick[1:2] if rng.random() < 0.5 else pick
            call = (lambda: shared.add_object(targets[0])) if len(targets) == 1 else (lambda: shared.add_object_many(targets))
            if retry(call, until):
                added[id(shared)].update(id(o) for o in targets)

    def assigner(seed):
        rng = random.Random(seed)
        while time.monotonic() < until:
            obj, other = rng.sample(objs, 2)
            roll = rng.random()
            if roll < 0.3:
                obj.k = rng.choice(KS)
            elif roll < 0.5:
                obj.s = rng.choice(SS)
            elif roll < 0.7:
                obj.child = rng.choice(kids)
            elif roll < 0.85:
                obj.child, other.child = other.child, obj.child
            else:
                rng.choice(kids).n = rng.randrange(2)

    def filterer(seed):
        rng = random.Random(seed)
        known = {id(o) for o in objs + kids}
        while time.monotonic() < until:
            index = rng.choice([shared] + privates)
            result = []
            retry(lambda: result.extend(index.get_by_attribute(k=rng.sample(KS, 2), s=rng.choice(SS))), until)
            assert all(id(o) in known for o in result)

    run_workers([lambda: adder(1, privates[0]), lambda: adder(2, privates[1]),
                 lambda: assigner(3), lambda: assigner(4), lambda: filterer(5)])
    everything = kids + objs  # creation order
    for index in [shared] + privates:
        members = [o for o in everything if id(o) in added[id(index)]]
        check_final_values(index, members, [("k", KS), ("s", SS), ("child", kids), ("n", [0, 1])])


def add_race_scenario(seconds):
    """Assignments racing with add_object_many and add_object of the very objects being added."""
    until = time.monotonic() + seconds
    kids = [Indexable(n=0), Indexable(n=1)]
    rounds = 0
    while time.monotonic() < until:
        objs = [Indexable(k=0, s="red", child=kids[0]) for _ in range(200)]
        index, single = Index(), Index()
        start = threading.Barrier(3)

        def add_all():
            start.wait(10)
            index.add_object_many(objs)

        def add_each():
            start.wait(10)
            for o in objs:
                single.add_object(o)

        def assign_all():
            start.wait(10)
            for i, o in enumerate(objs):
                o.k = i % 6
                o.s = SS[i % 3]
                o.child = kids[i % 2]

        run_workers([add_all, add_each, assign_all])
        for idx in (index, single):
            check_final_values(idx, objs, [("k", KS), ("s", SS), ("child", kids)])
        rounds += 1
    assert rounds > 0


def shared_values_scenario(seconds):
    """Indexes built at once over the same objects share each value's one reference: the first
    copies of a value race to create what they share. Every reference comes back at the end."""
    import sys
    until = time.monotonic() + seconds
    rounds = 0
    while time.monotonic() < until:
        values = [f"v{rounds}-{i}" for i in range(300)]
        before = [sys.getrefcount(v) for v in values]
        objs = [Indexable(s=v, n=i) for i, v in enumerate(values)]
        indexes = [Index() for _ in range(3)]
        start = threading.Barrier(len(indexes))

        def add_to(index):
            def work():
                start.wait(10)
                index.add_object_many(objs)
                assert index.get_by_attribute(s=values[-1]) == [objs[-1]]
            return work

        run_workers([add_to(index) for index in indexes])
        for built in indexes:
            check_final_values(built, objs, [("s", values[::37])])
        indexes = objs = built = None
        assert [sys.getrefcount(v) for v in values] == before
        rounds += 1
    assert rounds > 0


def reduce_race_scenario(seconds):
    """Assignments racing with reduce, which indexes the values of the objects it matches again."""
    objs = [Indexable(k=1, v=0) for _ in range(4)]
    index = Index()
    index.add_object_many(objs)
    until = time.monotonic() + seconds
    assigned = []

    def assign():
        n = 0
        while time.monotonic() < until:
            n += 1
            for o in objs:
                o.v = n  # every value new, so a stale entry is never cleaned up by a later assignment
        assigned.append(n)

    def reduce():
        while time.monotonic() < until:
            index.reduce(k=1)  # matches every object

    run_workers([assign, reduce])
    broken = _verify_index(index)
    assert broken == "", broken
    for o in objs:
        o.v = -1
    assert index.get_by_attribute(v=-1) == objs
    stale = index.get_by_attribute(v=range(assigned[0] + 1))
    assert stale == [], f"{len(stale)} objects still found under values they no longer hold"


def nested_churn_scenario(seconds):
    """Nested values replaced (which withdraws them from nested cores) while other threads assign
    the attributes of the objects being withdrawn, two levels deep."""
    leaves = [Indexable(w=i) for i in range(3)]
    kids = [Indexable(v=i, leaf=leaves[i % 3]) for i in range(4)]
    objs = [Indexable(child=kids[i % 4]) for i in range(8)]
    index = Index()
    index.add_object_many(objs)
    until = time.monotonic() + seconds

    def swap(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            r.choice(objs).child = r.choice(kids)

    def assign_kids(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            kid = r.choice(kids)
            kid.v = r.randrange(4)
            kid.leaf = r.choice(leaves)

    def assign_leaves(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            r.choice(leaves).w = r.randrange(3)

    run_workers([lambda: swap(1), lambda: swap(2), lambda: assign_kids(3), lambda: assign_leaves(4)])
    check_final_values(index, objs, [("child", kids)])


def collector_scenario(seconds):
    """Collections while another thread adds to a reachable index: the collector must find every
    object of the index reachable, each time it asks, however the slot lock is held meanwhile."""
    import gc
    import weakref
    index = Index()
    held = [Indexable(k=i, payload=[i]) for i in range(500)]  # list values: tracked by the collector
    index.add_object_many(held)
    refs = [weakref.ref(o) for o in held]
    del held
    ballast = [[j] for j in range(100_000)]  # longer collections, so adds overlap them
    extra = [Indexable(k=-1) for _ in range(5000)]
    until = time.monotonic() + seconds

    def add():
        while time.monotonic() < until:
            retry(lambda: index.add_object_many(extra), until)

    def collect():
        while time.monotonic() < until:
            gc.collect()
            for r in refs:
                o = r()
                assert o is not None and o.payload == [o.k], "a reachable object was freed or cleared"

    run_workers([add, collect])
    assert len(ballast) == 100_000


def query_scenario(seconds, threads=2):
    """Nested and_/or_ trees over dotted paths, evaluated on a small worker pool while writers
    assign attributes of the nested objects (which takes the nested cores' write locks): every
    query ends, and ends with an answer the index held at some moment."""
    os.environ["RAYON_NUM_THREADS"] = str(threads)  # read once, at the pool's first use
    from Vantorelle import PyQueryExpr as Q
    leaves = [Indexable(w=i) for i in range(4)]
    kids = [Indexable(v=i, leaf=leaves[i % 4]) for i in range(8)]
    objs = [Indexable(k=i % 5, child=kids[i % 8]) for i in range(64)]
    index = Index()
    index.add_object_many(objs)
    until = time.monotonic() + seconds
    branch = lambda i: Q.and_(Q.or_(Q.eq("child.v", i), Q.ge("child.leaf.w", 2)),
                              Q.not_(Q.and_(Q.eq("k", i % 5), Q.lt("child.leaf.w", 1))))
    tree = Q.or_(*[branch(i) for i in range(6)], Q.and_(*[Q.ne("child.leaf.w", i) for i in range(3)]))

    def query():
        while time.monotonic() < until:
            retry(lambda: index.reduced_query(tree).collect(), until)
            retry(lambda: index.reduced_query(tree).reduced_query(tree).collect(), until)

    def assign(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            kid = r.choice(kids)
            kid.v = r.randrange(8)
            kid.leaf = r.choice(leaves)
            r.choice(leaves).w = r.randrange(4)

    run_workers([query, query, lambda: assign(1), lambda: assign(2)])
    check_final_values(index, objs, [("child", kids)])
    want = [o for o in objs if any(
        (o.child.v == i or o.child.leaf.w >= 2) and not (o.k == i % 5 and o.child.leaf.w < 1) for i in range(6))
        or all(o.child.leaf.w != i for i in range(3))]
    assert index.reduced_query(tree).collect() == want


def query_scenario_one_thread(seconds):
    query_scenario(seconds, threads=1)


def union_scenario(seconds):
    """Unions in both directions at once, while the objects' attributes change: each union either
    fails at the borrow or completes, never waits for the other; in the end both indexes hold
    every object with its final values."""
    shared = [Indexable(k=i % 6, s=SS[i % 3]) for i in range(20)]
    mine = [Indexable(k=i % 6, s=SS[i % 3]) for i in range(40)]
    theirs = [Indexable(k=i % 6, s=SS[i % 3], child=shared[i % 20]) for i in range(40)]
    everything = shared + mine + theirs
    a, b = Index(), Index()
    a.add_object_many(shared + mine)
    b.add_object_many(theirs)
    until = time.monotonic() + seconds
    outcomes = {"done": 0, "busy": 0}

    def unite(this, other):
        while time.monotonic() < until:
            try:
                this.union_with(other)
                outcomes["done"] += 1
            except RuntimeError as error:
                assert str(error) in BUSY, error
                outcomes["busy"] += 1

    def assign(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            obj = r.choice(everything)
            obj.k = r.choice(KS)
            obj.s = r.choice(SS)

    run_workers([lambda: unite(a, b), lambda: unite(b, a), lambda: assign(1)])
    assert outcomes["done"] > 0
    a.union_with(b)
    b.union_with(a)
    for index in (a, b):
        check_final_values(index, everything, [("k", KS), ("s", SS), ("child", shared)])


def group_by_scenario(seconds):
    """Groupings by an attribute and by a dotted path while other threads assign both: each result
    is a partition (no object in two groups) whose every member carried its group's value at some
    moment."""
    kids = [Indexable(v=i % 4) for i in range(8)]
    objs = [Indexable(k=i % 6, child=kids[i % 8]) for i in range(80)]
    index = Index()
    index.add_object_many(objs)
    seen_k = {id(o): {o.k} for o in objs}  # every value an object's k has had (entered before assigning)
    seen_v = {id(kid): {kid.v} for kid in kids}
    holders = {id(o): {id(o.child)} for o in objs}
    until = time.monotonic() + seconds

    def group():
        while time.monotonic() < until:
            for path in ("k", "child.v"):
                members = {}
                for key, view in index.group_by(path).items():
                    for obj in view.collect():
                        assert id(obj) not in members, f"{path}: object in groups {members[id(obj)]} and {key}"
                        members[id(obj)] = key
                        if path == "k":
                            assert key in seen_k[id(obj)], (key, seen_k[id(obj)])
                        else:
                            assert any(key in seen_v[kid] for kid in list(holders[id(obj)])), key

    def assign(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            obj, kid = r.choice(objs), r.choice(kids)
            value = r.choice(KS)
            seen_k[id(obj)].add(value)
            obj.k = value
            value = r.randrange(4)
            seen_v[id(kid)].add(value)
            kid.v = value
            kid = r.choice(kids)
            holders[id(obj)].add(id(kid))
            obj.child = kid

    run_workers([group, group, lambda: assign(1), lambda: assign(2)])
    check_final_values(index, objs, [("k", KS), ("child", kids)])
    assert {key: [id(o) for o in view.collect()] for key, view in index.group_by("child.v").items()} == {
        v: [id(o) for o in objs if o.child.v == v] for v in {o.child.v for o in objs}}


def remove_scenario(seconds):
    """Objects removed and added back while other threads assign their attributes (plain and
    nested values) and query: in the end the index holds exactly the objects last added, each
    under its final values, and nothing of the removed ones."""
    kids = [Indexable(v=i % 3) for i in range(6)]
    objs = [Indexable(k=i % 6, s=SS[i % 3], child=kids[i % 6]) for i in range(60)]
    index = Index()
    index.add_object_many(objs)
    until = time.monotonic() + seconds

    def churn(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            obj = r.choice(objs)
            if r.random() < 0.5:
                retry(lambda: index.discard(obj), until)
            else:
                retry(lambda: index.add_object(obj), until)

    def assign(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            obj = r.choice(objs)
            obj.k = r.choice(KS)
            obj.child = r.choice(kids)
            r.choice(kids).v = r.randrange(3)

    def query():
        from Vantorelle import PyQueryExpr as Q
        while time.monotonic() < until:
            retry(lambda: index.reduced_query(Q.eq("child.v", 1)).collect(), until)
            retry(lambda: len(index.reduced(k=[1, 2])), until)

    run_workers([lambda: churn(1), lambda: assign(2), lambda: assign(3), query])
    members = [o for o in objs if o in index]
    check_final_values(index, members, [("k", KS), ("s", SS), ("child", kids)])
    from Vantorelle import PyQueryExpr as Q
    assert index.reduced_query(Q.eq("child.v", 1)).collect() == [o for o in members if o.child.v == 1]


def store_withdraw_scenario(seconds):
    """Nested objects stored and withdrawn as their holders change, while their own attributes
    are assigned: a store that read the snapshot before an assignment, withdrawn before that
    assignment finished, must not leave the old value behind in the nested core."""
    leaves = [Indexable(w=i % 3) for i in range(4)]
    holders = [Indexable(child=None) for _ in range(8)]
    index = Index()
    index.add_object_many(holders)
    until = time.monotonic() + seconds

    def toggle(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            r.choice(holders).child = r.choice(leaves + [None, None])

    def assign(seed):
        r = random.Random(seed)
        while time.monotonic() < until:
            r.choice(leaves).w = r.randrange(3)

    run_workers([lambda: toggle(1), lambda: toggle(2), lambda: assign(3), lambda: assign(4)])
    check_final_values(index, holders, [("child", leaves)])


def counting_assigner(obj, name, until):
    """A worker that assigns 1, 2, 3, ... to `obj.<name>` until the deadline."""
    def assign():
        i = 0
        while time.monotonic() < until:
            i += 1
            setattr(obj, name, i)
    return assign


def unlisted_assign_scenario(seconds):
    """One object added and discarded in a loop while another thread assigns it: between its
    withdrawal and the values it withdraws, an assignment on the unindexed (in-place) path must
    not slip in, or the old value stays listed and finds the object again once it is re-added."""
    obj = Indexable(a=0)
    index = Index()
    until = time.monotonic() + seconds
    assign = counting_assigner(obj, "a", until)

    def churn():
        while time.monotonic() < until:
            index.add_object(obj)
            index.discard(obj)

    run_workers([assign, churn])
    broken = _verify_index(index)  # a stale value set lists an object that is not stored
    assert broken == "", broken
    index.add_object(obj)
    check_final_values(index, [obj], [("a", [obj.a])])


def unlisted_nested_assign_scenario(seconds):
    """The same for a nested object: its holder drops and takes it back in a loop while another
    thread assigns the nested object, which is in no index between the withdrawal and the store."""
    from Vantorelle import PyQueryExpr as Q
    kid = Indexable(n=0)
    holder = Indexable(kid=kid)
    index = Index()
    index.add_object(holder)
    until = time.monotonic() + seconds
    assign = counting_assigner(kid, "n", until)

    def toggle():
        while time.monotonic() < until:
            holder.kid = None
            holder.kid = kid

    run_workers([assign, toggle])
    broken = _verify_index(index)
    assert broken == "", broken
    assert index.reduced_query(Q.eq("kid.n", kid.n)).collect() == [holder]
    assert index.reduced_query(Q.lt("kid.n", kid.n)).collect() == []


CHILD = """
import faulthandler, sys
faulthandler.dump_traceback_later({hang}, exit=True)
sys.setswitchinterval(1e-4)
sys.path.insert(0, {path!r})
import test_index_stress
test_index_stress.{scenario}({seconds})
print("ok")
"""


@pytest.mark.stress
@pytest.mark.parametrize("scenario, seconds", [("mixed_scenario", 4), ("add_race_scenario", 3),
                                               ("shared_values_scenario", 2),
                                               ("reduce_race_scenario", 2), ("nested_churn_scenario", 3),
                                               ("collector_scenario", 4), ("query_scenario", 4),
                                               ("query_scenario_one_thread", 3), ("union_scenario", 3),
                                               ("group_by_scenario", 3), ("remove_scenario", 3),
                                               ("store_withdraw_scenario", 3), ("unlisted_assign_scenario", 2),
                                               ("unlisted_nested_assign_scenario", 2)])
def test_concurrent_use_ends_with_every_index_holding_the_final_values(run_python, scenario, seconds):
    code = CHILD.format(hang=seconds + 40, path=os.path.dirname(os.path.abspath(__file__)), scenario=scenario,
                        seconds=seconds)
    result = run_python(code, timeout=seconds + 60)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-4000:]
