"""Regression tests for faults of the index core: bad names, memory that outlives what a core holds,
stale nested memberships, cycles, id exhaustion and errors raised by value hashes.

Checks that could crash, hang or exhaust memory run in a child interpreter (`run_python`); the child
prints one JSON line as its last output. Memory is compared as resident-set growth, never time.
"""
import gc
import json
import textwrap
import weakref

import pytest
from conftest import measures_memory

import Vantorelle
from Vantorelle import Index, Indexable

RSS_HELPER = """
    import json, os
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""

# In a child: the consistency report of an index ("" while its core is consistent).
VERIFY_HELPER = """
    from Vantorelle import _verify_index as verify
"""


def child_report(run_python, code, helpers=(), timeout=120):
    """Runs `helpers` then `code` in a fresh interpreter; returns the JSON object it printed last."""
    source = "".join(textwrap.dedent(part) for part in (*helpers, code))
    result = run_python(source, timeout=timeout)
    assert result.returncode == 0, f"child failed ({result.returncode}):\n{result.stdout}\n{result.stderr}"
    return json.loads(result.stdout.strip().splitlines()[-1])


MB = 2**20
BAD_NAME = "\ud800"  # a lone surrogate: not encodable as UTF-8


def test_index_constructor_rejects_an_unencodable_keyword(run_python):
    report = child_report(run_python, f"""
        import json
        from Vantorelle import Index
        try:
            Index(**{{{BAD_NAME!r}: 1}})
            print(json.dumps({{"raised": None}}))
        except BaseException as e:
            print(json.dumps({{"raised": type(e).__name__, "message": str(e)}}))
    """, timeout=60)
    assert report["raised"] == "TypeError"
    assert "unexpected keyword argument" in report["message"]


class Plain(Indexable):
    pass


@pytest.mark.parametrize("call", [
    lambda obj, idx: Indexable(**{BAD_NAME: 1}),
    lambda obj, idx: Plain(**{BAD_NAME: 1}),
    lambda obj, idx: setattr(obj, BAD_NAME, 1),
    lambda obj, idx: obj.__setstate__({BAD_NAME: 1}),
    lambda obj, idx: idx.get_by_attribute(**{BAD_NAME: 1}),
    lambda obj, idx: idx.reduce(**{BAD_NAME: 1}),
], ids=["constructor", "subclass_constructor", "setattr", "setstate", "get_by_attribute", "reduce"])
def test_unencodable_attribute_names_are_refused_and_change_nothing(call):
    obj, other = Indexable(a=1, b="x"), Indexable(a=2)
    idx = Index()
    idx.add_object_many([obj, other])
    with pytest.raises(ValueError) as info:
        call(obj, idx)
    assert "attribute name" in str(info.value) and "not valid text" in str(info.value)
    assert repr(obj) == "<Indexable with 2 attributes>" and obj.__getstate__() == {"a": 1, "b": "x"}
    assert idx.get_by_attribute(a=[1, 2]) == [obj, other]  # a failed reduce narrowed nothing
    assert idx.get_by_attribute(b="x") == [obj]
    with pytest.raises(AttributeError):
        getattr(obj, BAD_NAME)


@measures_memory
@pytest.mark.parametrize("start", [10**8, 2 * 10**9])
def test_slot_memory_follows_what_the_cores_hold(run_python, start):
    # Stops as soon as the bound is passed, so a faulty build does not take gigabytes.
    report = child_report(run_python, helpers=[RSS_HELPER], code=f"""
        import Vantorelle
        from Vantorelle import Index, Indexable
        def filled_index():
            idx = Index()
            idx.add_object_many([Indexable(v=i, child=Indexable(w=i)) for i in range(10)])
            return idx
        kept = [filled_index()]  # warms up with small ids
        Vantorelle._advance_id_counter({start})
        before = rss()
        for _ in range(20):
            kept.append(filled_index())
            if rss() - before >= {8 * MB}:
                break
        print(json.dumps({{"growth": rss() - before, "held": [len(i.collect()) for i in kept]}}))
    """)
    assert report["growth"] < 8 * MB, f"grew {report['growth'] / MB:.1f} MB for 20 small indexes"
    assert report["held"] == [10] * 21


def test_replaced_nested_value_leaves_no_stale_membership():
    a, b = Indexable(v=-1), Indexable(v=-2)
    o = Indexable(child=a)
    idx = Index()
    idx.add_object(o)
    def check(step):
        assert idx.get_by_attribute(child=a) == [] and idx.get_by_attribute(child=b) == [o], step
        assert Vantorelle._verify_index(idx) == "", step

    o.child = b
    check("replaced")
    for i in range(50):
        a.v = i  # must not re-index a where o held it
        b.v = i if i % 2 else -2
        check(f"a.v = {i}")
    o.child = a  # the old value comes back and leaves again
    o.child = b
    a.v = "last"
    check("second replacement")


@measures_memory
def test_replacing_a_nested_value_keeps_memory_flat(run_python):
    report = child_report(run_python, helpers=[RSS_HELPER], code="""
        from Vantorelle import Index, Indexable
        o = Indexable(child=Indexable(v=-1))
        idx = Index()
        idx.add_object(o)
        for i in range(1000):
            o.child = Indexable(v=i)
        before = rss()
        for i in range(400_000):
            o.child = Indexable(v=i)
        print(json.dumps({"growth": rss() - before, "last": o.child.v, "found": len(idx.get_by_attribute(child=o.child))}))
    """)
    assert report["last"] == 399_999 and report["found"] == 1
    assert report["growth"] < 3 * MB, f"grew {report['growth'] / MB:.1f} MB"


@pytest.mark.parametrize("key", ["k" * 30, "k" * 5, "é" * 20], ids=["long", "short", "long_non_ascii"])
def test_setstate_survives_a_hash_that_clears_the_state(run_python, key):
    # The hash frees the only reference to the key and reuses its memory, so a name read from the
    # key afterwards would be garbage.
    report = child_report(run_python, f"""
        import json
        from Vantorelle import Indexable
        state, junk = {{}}, []
        sizes = (len({key!r}), len({key!r}.encode()))
        class Clearing:
            def __hash__(self):
                state.clear()
                junk.extend("Z" * n for n in sizes for _ in range(200))
                return 1
        key = "".join(list({key!r}))  # a fresh string, owned by the dict alone
        value = Clearing()
        state[key] = value
        del key
        obj = Indexable()
        try:
            obj.__setstate__(state)
            raised = None
        except Exception as e:
            raised = [type(e).__name__, str(e)]
        count = int(repr(obj).split()[2])
        try:
            names = obj.__dir__()[:count]
        except Exception as e:
            names = ["<unreadable name: %s>" % type(e).__name__]
        stored = getattr(obj, {key!r}, None) is value
        print(json.dumps({{"raised": raised, "names": names, "stored": stored}}))
    """, timeout=60)
    if report["raised"] is None:
        assert report["names"] == [key] and report["stored"]
    else:
        assert report["raised"][1], "the error must say what went wrong"
        assert report["names"] in ([], [key])


@pytest.mark.parametrize("seed", [0, 1])
def test_random_reassignments_inside_cycles(run_python, seed):
    report = child_report(run_python, helpers=[VERIFY_HELPER], code=f"""
        import json, random
        from Vantorelle import Index, Indexable
        r = random.Random({seed})
        objs = [Indexable(link=None) for _ in range(10)]
        idx = Index()
        idx.add_object_many(objs)
        problems = []
        for step in range(1, 100_001):
            try:
                r.choice(objs).link = r.choice(objs)
            except BaseException as e:
                problems.append("step %d: %s: %s" % (step, type(e).__name__, e))
                break
            if verify(idx):
                problems.append("step %d: %s" % (step, verify(idx)))
                break
        wrong = [i for i, x in enumerate(objs) if idx.get_by_attribute(link=x) != [o for o in objs if o.link is x]]
        print(json.dumps({{"problems": problems, "wrong": wrong, "final": verify(idx)}}))
    """, timeout=300)
    assert report["problems"] == []
    assert report["wrong"] == []
    assert report["final"] == ""


@measures_memory
def test_long_query_names_are_not_kept(run_python):
    report = child_report(run_python, helpers=[RSS_HELPER], code="""
        from Vantorelle import Index, Indexable
        idx = Index()
        idx.add_object(Indexable(a=1))
        for i in range(1000):
            idx.get_by_attribute(**{("w%d" % i) + "x" * 200: 1})
        before = rss()
        found = 0
        for i in range(100_000):
            found += len(idx.get_by_attribute(**{("n%d" % i) + "x" * 200: 1}))
        print(json.dumps({"growth": rss() - before, "found": found}))
    """)
    assert report["found"] == 0
    assert report["growth"] < 10 * MB, f"grew {report['growth'] / MB:.1f} MB"


class Payload:
    pass


@pytest.mark.parametrize("hold", [
    lambda o, idx: setattr(o, "idx", idx),
    lambda o, idx: setattr(o, "cb", idx.collect),
], ids=["index_attribute", "bound_method"])
def test_an_index_in_a_reference_cycle_is_collected(hold):
    o, idx, payload = Indexable(), Index(), Payload()
    o.payload = payload
    watched = weakref.ref(payload)
    hold(o, idx)
    idx.add_object(o)
    del o, idx, payload
    gc.collect()
    assert watched() is None


def test_a_cycle_is_freed_by_the_collection_that_finds_it():
    a, b, payload = Indexable(), Indexable(), Payload()
    watched = weakref.ref(payload)
    a.n, b.n, b.payload = b, a, payload
    del a, b, payload
    gc.collect()
    assert watched() is None  # not parked until the next call into the module


def test_a_cycle_through_an_equal_value_left_by_its_first_holder_is_freed():
    idx, payload = Index(), Payload()
    watched = weakref.ref(payload)
    a, b = Indexable(x=(idx,), p=payload), Indexable(x=(idx,))
    idx.add_object_many([a, b])
    a.x = 1  # b's equal tuple, which refers to the index, now keys the value's entry
    a.p = None
    b.p = payload
    del a, b, idx, payload
    gc.collect()
    assert watched() is None


@pytest.mark.parametrize("start", [2**64 - 1, 2**32])
def test_exhausted_ids_stay_exhausted(run_python, start):
    report = child_report(run_python, f"""
        import json
        import Vantorelle
        Vantorelle._advance_id_counter({start})
        outcomes = []
        for _ in range(5):
            try:
                Vantorelle.Indexable(a=1)
                outcomes.append("created")
            except OverflowError:
                outcomes.append("overflow")
        print(json.dumps(outcomes))
    """, timeout=60)
    assert report == ["overflow"] * 5


class BadHash:
    def __init__(self, error):
        self.error = error

    def __hash__(self):
        raise self.error("from __hash__")


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_hash_raising_a_base_exception_propagates(error):
    bad = BadHash(error)
    with pytest.raises(error):
        Indexable(v=bad)
    obj = Indexable(v="old")
    idx = Index()
    idx.add_object(obj)
    with pytest.raises(error):
        obj.v = bad
    assert obj.v == "old" and idx.get_by_attribute(v="old") == [obj]
    with pytest.raises(error):
        idx.get_by_attribute(v=bad)


def test_hash_raising_an_ordinary_exception_matches_only_itself():
    bad = BadHash(RuntimeError)
    obj = Indexable(v=bad)
    other = Indexable(v=1)
    idx = Index()
    idx.add_object_many([obj, other])
    other.v = BadHash(RuntimeError)
    assert obj.v is bad
    assert idx.get_by_attribute(v=bad) == [obj]
    assert idx.get_by_attribute(v=BadHash(RuntimeError)) == []


def test_long_chain_added_at_once(run_python):
    report = child_report(run_python, helpers=[VERIFY_HELPER], code="""
        import json
        from Vantorelle import Index, Indexable
        objs = [Indexable(n=i) for i in range(300)]
        for a, b in zip(objs, objs[1:]):
            a.next = b
        idx = Index()
        idx.add_object_many(objs)
        linked = all(idx.get_by_attribute(next=objs[k]) == [objs[k - 1]] for k in range(1, 300))
        print(json.dumps({"held": len(idx.collect()), "linked": linked, "verify": verify(idx)}))
    """, timeout=60)
    assert report["held"] == 300 and report["linked"]
    assert report["verify"] == ""
