import gc
import sys
import weakref

import pytest

from Vantorelle import Index, Indexable


class Value:
    """An attribute value that weak references can watch."""

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return self.n

    def __eq__(self, other):
        return isinstance(other, Value) and other.n == self.n


def test_objects_and_values_are_freed_when_nothing_holds_them_any_more():
    obj = Indexable(v=Value(1), k=1)
    holder = Indexable(k=2)
    first, second, third = Index(), Index(), Index()
    first.add_object(obj)
    second.add_object_many([obj, obj])
    third.add_object(holder)
    holder.child = obj
    watched, value = weakref.ref(obj), weakref.ref(obj.v)
    second.reduce(k=2)
    del obj
    del first
    assert watched() is not None
    del second
    assert watched() is not None  # still the nested value of `holder` in `third`
    watched().v = Value(2)  # an attribute value is freed once no object or index holds it
    assert value() is None
    holder.child = None
    assert watched() is None
    third.add_object(Indexable(v=Value(3)))
    kept = weakref.ref(third.get_by_attribute(v=Value(3))[0])
    del third
    assert kept() is None


def test_failed_calls_keep_no_references():
    obj, probe = Indexable(k=1), Value(7)
    index = Index()
    index.add_object(obj)
    before = sys.getrefcount(obj), sys.getrefcount(probe)

    def failing():
        yield probe
        raise KeyError("stop")

    for _ in range(100):
        with pytest.raises(TypeError):
            index.add_object_many([obj, 5])
        with pytest.raises(TypeError):
            index.add_object(probe)
        with pytest.raises(KeyError):
            index.get_by_attribute(k=failing())
        with pytest.raises(KeyError):
            index.reduce(k=failing())
    assert (sys.getrefcount(obj), sys.getrefcount(probe)) == before


def test_reference_counts_stay_flat_over_many_add_assign_filter_cycles():
    values = [Value(1), "text", 10**30, 2.5, (1, 2), [3], Indexable(tag="nested")]
    kids = [Indexable(n=0), Indexable(n=1)]
    objs = [Indexable(v=values[0], child=kids[0]) for _ in range(3)]
    index, other = Index(), Index()
    other.add_object(objs[0])
    watched = values + kids + objs

    def cycle(i):
        obj = objs[i % 3]
        index.add_object(obj)
        index.add_object_many([obj, objs[(i + 1) % 3]])
        obj.v = values[i % len(values)]
        obj.child = kids[i % 2]
        obj._private = values[(i + 1) % len(values)]
        index.get_by_attribute(v=values[i % len(values)])
        index.get_by_attribute(v=[values[0], values[3]], child=kids[1])
        if i % 100 == 0:
            index.reduce(child=kids)

    period = 2100  # every object's values repeat after this many cycles
    for i in range(period):
        cycle(i)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    tracked = len(gc.get_objects())
    for i in range(period, 48 * period):  # about 10^5 cycles
        cycle(i)
    gc.collect()
    # A value may have become (or stopped being) the key of its class of equal values meanwhile,
    # which holds one reference; a leak would hold one per cycle.
    assert all(abs(sys.getrefcount(o) - r) <= 1 for o, r in zip(watched, refs)), (
        [sys.getrefcount(o) for o in watched], refs)
    assert len(gc.get_objects()) - tracked < 50


def test_cycles_of_objects_inside_indexes_are_freed_once_the_indexes_are_gone():
    p, q, me, boxed = Indexable(n=1), Indexable(n=2), Indexable(n=3), Indexable(n=4)
    p.next, q.next, me.next = q, p, me
    boxed.items = [boxed, p]
    first, second = Index(), Index()
    first.add_object_many([p, boxed])
    second.add_object_many([q, me])
    for obj, value in [(p, p), (q, me), (me, q), (p, q), (q, p), (me, me)]:  # re-assigned inside the cycles
        obj.next = value
    watched = [weakref.ref(o) for o in (p, q, me, boxed)]
    del p, q, me, boxed, obj, value
    gc.collect()
    assert all(w() is not None for w in watched)
    del first
    gc.collect()
    assert all(w() is not None for w in watched[:3])  # q and me are in second; p is q's next
    del second
    gc.collect()
    assert [w() for w in watched] == [None] * 4
