"""Removing objects, sizes and iteration, pickling and copying, and subclasses with descriptors."""
import copy
import pickle
import textwrap

import pytest
from conftest import IN_USE, measures_memory

from Vantorelle import FilteredIndex, Index, Indexable, PyQueryExpr as Q, _verify_index


class Row(Indexable):
    pass


def index_of(*objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


def ids(objs):
    return [id(o) for o in objs]


def answers(index):
    return {"collect": ids(index.collect()),
            "kind": ids(index.get_by_attribute(kind=["a", "b"])),
            "n>1": ids(index.reduced_query(Q.gt("n", 1)).collect()),
            "owner": ids(index.reduced_query(Q.eq("owner.name", "acme")).collect()),
            "deep": ids(index.reduced_query(Q.eq("owner.site.city", "Oslo")).collect()),
            "groups": {k: ids(v.collect()) for k, v in index.group_by("owner.name").items()}}


# --- remove_object ---------------------------------------------------------------------------

def test_removal_withdraws_values_ranges_and_nested_objects_only_it_held():
    site = Row(city="Oslo")
    shared, alone = Row(name="acme", site=site), Row(name="acme", site=site)
    objs = [Row(kind="a", n=1, owner=shared), Row(kind="b", n=2, owner=shared), Row(kind="a", n=3, owner=alone)]
    index = index_of(*objs)
    index.remove_object(objs[2])
    assert answers(index) == answers(index_of(*objs[:2]))
    assert _verify_index(index) == ""
    index.remove_object(objs[0])  # the shared owner stays: objs[1] still holds it
    assert answers(index) == answers(index_of(objs[1]))
    index.remove_object(objs[1])
    assert answers(index) == answers(Index())
    assert _verify_index(index) == ""


def test_a_removed_object_is_no_longer_touched_by_its_assignments():
    owner = Row(name="acme")
    kept, removed = Row(kind="a", owner=owner), Row(kind="a", n=5, owner=owner)
    index, other = index_of(kept, removed), index_of(removed)
    index.remove_object(removed)
    removed.kind, removed.n, removed.owner = "b", 9, Row(name="zeta")
    owner.name = "apex"
    assert ids(index.get_by_attribute(kind=["a", "b"])) == ids([kept])
    assert ids(index.reduced_query(Q.eq("owner.name", "apex")).collect()) == ids([kept])
    assert index.reduced_query(Q.ge("n", 0)).collect() == []
    assert ids(other.get_by_attribute(kind="b")) == ids([removed])  # the other index still follows it
    assert _verify_index(index) == "" and _verify_index(other) == ""
    index.add_object(removed)  # and it can come back, with its current values
    assert ids(index.get_by_attribute(kind="b")) == ids([removed])
    assert _verify_index(index) == ""


@measures_memory
def test_an_index_emptied_by_removals_keeps_memory_for_what_it_still_holds(run_python):
    """Value tables, range trees, slots, parent links and id sets shrink as objects leave: what
    300,000 objects with unique ids and nested objects took must come back when all but ten are
    removed, and adding them again must cost about what it cost the first time."""
    result = run_python(IN_USE + textwrap.dedent("""
        from Vantorelle import Index, Indexable, PyQueryExpr as Q
        n = 300_000
        objs = [Indexable(uid=i, price=i * 0.5, kind=i % 7, owner=Indexable(n=i)) for i in range(n)]
        before = in_use()
        if before is None:
            print("None"); raise SystemExit
        index = Index()
        index.add_object_many(objs)
        assert len(index.reduced_query(Q.lt("price", 10**6))) == n  # builds the range trees
        assert len(index.reduced_query(Q.lt("owner.n", 10**6))) == n
        full = in_use() - before
        for obj in objs[10:]:
            index.remove_object(obj)
        assert sorted(o.uid for o in index.get_by_attribute(kind=[0, 1, 2, 3, 4, 5, 6])) == list(range(10))
        assert len(index.reduced_query(Q.lt("price", 10**6))) == 10
        assert len(index.reduced_query(Q.lt("owner.n", 10**6))) == 10
        left = in_use() - before
        index.add_object_many(objs[10:])
        again = in_use() - before
        print(full, left, again)
    """), timeout=300)
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("None"):
        pytest.skip("the C library does not report what its allocator has handed out")
    full, left, again = map(int, result.stdout.split())
    assert left < full / 100, (full, left)
    assert again < full * 1.5, (full, again)


def test_removing_what_the_index_does_not_hold():
    held, elsewhere = Row(a=1), Row(a=1)
    index, other = index_of(held), index_of(elsewhere)
    with pytest.raises(KeyError) as raised:
        index.remove_object(elsewhere)
    assert raised.value.args == (elsewhere,)
    index.discard(elsewhere)
    index.remove_object(held)
    with pytest.raises(KeyError):
        index.remove_object(held)
    index.discard(held)
    with pytest.raises(TypeError, match="argument 'obj'"):
        index.remove_object(3)
    with pytest.raises(TypeError, match="argument 'obj'"):
        index.discard("a")
    assert index.collect() == [] and ids(other.collect()) == ids([elsewhere])
    assert _verify_index(index) == "" and _verify_index(other) == ""


def test_removal_after_reduce_and_from_a_cycle():
    a, b = Row(v=1), Row(v=2)
    a.peer, b.peer = b, a
    index = index_of(a, b, Row(v=1))
    index.reduce(v=1)
    index.remove_object(a)
    assert _verify_index(index) == ""
    assert ids(index.reduced_query(Q.eq("peer.v", 1)).collect()) == ids([b])
    index.remove_object(b)
    assert _verify_index(index) == ""


# --- sizes, membership, iteration, reprs ------------------------------------------------------

def test_sizes_membership_and_iteration_of_indexes_and_views():
    objs = [Row(n=i, kind="a" if i % 2 else "b") for i in range(6)]
    index = index_of(*objs)
    view = index.reduced(kind="a")
    assert (len(index), len(view)) == (6, 3)
    assert list(index) == objs and list(view) == objs[1::2]
    assert repr(index) == "<Index with 6 objects>" and repr(view) == "<FilteredIndex with 3 objects>"
    assert objs[0] in index and objs[0] not in view and objs[1] in view
    assert Row() not in index and 3 not in index and "a" not in view
    iterator = iter(view)
    assert next(iterator) is objs[1]
    index.remove_object(objs[3])  # removed while iterated: skipped, as collect skips it
    assert list(iterator) == [objs[5]]
    assert len(view) == 2 and objs[3] not in view and view.collect() == [objs[1], objs[5]]
    assert repr(view) == "<FilteredIndex with 2 objects>" and len(index) == 5
    assert len(Index()) == 0 and list(Index()) == [] and isinstance(view, FilteredIndex)


# --- pickling and copying ---------------------------------------------------------------------

def test_base_indexables_pickle_and_copy():
    inner = Indexable(x=1)
    obj = Indexable(a=1, b="two", inner=inner, _private=[3])
    again = pickle.loads(pickle.dumps(obj))
    assert type(again) is Indexable and again.a == 1 and again.inner.x == 1 and again._private == [3]
    deep = copy.deepcopy(obj)
    assert deep.inner is not inner and deep.inner.x == 1
    assert copy.copy(obj).inner is inner
    assert type(pickle.loads(pickle.dumps(Row(a=1)))) is Row


def test_an_index_pickles_with_its_objects_and_its_narrowing():
    owner = Indexable(name="acme")
    objs = [Indexable(kind=k, n=i, owner=owner) for i, k in enumerate("abab")]
    index = index_of(*objs)
    index.reduce(kind="a")
    loaded = pickle.loads(pickle.dumps(index))
    assert [o.n for o in loaded] == [0, 1, 2, 3]
    for query in ({"kind": "a"}, {"kind": "b"}, {"n": [0, 1, 2, 3]}):
        assert [o.n for o in loaded.get_by_attribute(**query)] == [o.n for o in index.get_by_attribute(**query)]
    assert [o.n for o in loaded.reduced_query(Q.eq("owner.name", "acme")).collect()] == [0, 1, 2, 3]
    assert len({id(o.owner) for o in loaded}) == 1  # shared nested objects stay shared
    assert _verify_index(loaded) == ""


def test_deep_and_shallow_copies_of_an_index():
    objs = [Indexable(kind="a", n=i) for i in range(3)]
    index = index_of(*objs)
    deep = copy.deepcopy(index)
    assert [o.n for o in deep] == [0, 1, 2] and all(a is not b for a, b in zip(deep, index))
    next(iter(deep)).kind = "z"  # independent: the original neither holds nor sees the copy
    assert len(index.get_by_attribute(kind="a")) == 3 and len(deep.get_by_attribute(kind="z")) == 1
    shallow = copy.copy(index)
    assert list(shallow) == objs and shallow is not index
    objs[0].kind = "y"
    assert shallow.get_by_attribute(kind="y") == [objs[0]]


def test_a_rebased_index_keeps_indexing_underscore_names_when_copied_or_pickled():
    objs = [Indexable(_tag=t, n=i) for i, t in enumerate("xyx")]
    rebased = index_of(*objs).reduced(n=[0, 1, 2]).rebase()
    rebased.reduce(n=[0, 1])
    for again in (copy.copy(rebased), copy.deepcopy(rebased), pickle.loads(pickle.dumps(rebased))):
        assert [o.n for o in again.get_by_attribute(_tag="x")] == [0]
        assert _verify_index(again) == ""
    assert index_of(*objs).get_by_attribute(_tag="x") == []  # a plain index still leaves them out
    state = rebased.__reduce__()[2]
    assert state[2] is True and len(index_of().__reduce__()[2]) == 2
    full = index_of(objs[0])
    with pytest.raises(ValueError, match="only an empty index"):
        full.__setstate__(state)
    assert full.get_by_attribute(_tag="x") == [] and list(full) == [objs[0]]
    with pytest.raises(TypeError, match="bool"):
        Index().__setstate__((objs, [], 1))


def test_restoring_reads_a_state_that_changes_under_it(run_python):
    result = run_python('''
        from Vantorelle import Index, Indexable
        objs = [Indexable(a=1), Indexable(a=2)]
        hidden = []
        class Position:
            def __index__(self):
                hidden.clear()
                junk = [("x" * 40,) for _ in range(1000)]
                return 0
        hidden.append((Position(), ["a", "b"]))
        index = Index()
        try:
            index.__setstate__((objs, hidden))
        except TypeError as error:
            print("refused", len(index))
    ''', timeout=60)
    assert (result.returncode, result.stdout) == (0, "refused 0\n"), result.stderr[-2000:]


def test_pickling_a_narrowed_index_while_its_objects_change(run_python):
    # An object moving between value sets must not look hidden to the pickler.
    result = run_python('''
        import sys, threading, time
        sys.setswitchinterval(1e-5)
        from Vantorelle import Index, Indexable
        objs = [Indexable(k=1, s=i % 3) for i in range(200)]
        index = Index()
        index.add_object_many(objs)
        index.reduce(k=1)  # keeps every object
        stop = time.monotonic() + 2
        def assign():
            i = 0
            while time.monotonic() < stop:
                objs[i % 200].s = i % 3
                i += 1
        worker = threading.Thread(target=assign, daemon=True)
        worker.start()
        spurious = 0
        while time.monotonic() < stop:
            spurious += bool(index.__reduce__()[2][1])
        worker.join(30)
        print(spurious, worker.is_alive())
    ''', timeout=90)
    assert (result.returncode, result.stdout) == (0, "0 False\n"), result.stderr[-2000:]


def test_restoring_refuses_bad_state_and_keeps_cycles():
    index = Index()
    with pytest.raises(TypeError):
        index.__setstate__([1])
    with pytest.raises(TypeError):
        index.__setstate__(([1], []))
    with pytest.raises(TypeError):  # refused before anything is stored
        index.__setstate__(([Indexable(a=1)], [(0, "a")]))
    assert len(index) == 0
    with pytest.raises(ValueError, match="position"):
        index.__setstate__(([Indexable(a=1)], [(5, ["a"])]))
    with pytest.raises(TypeError):
        index.__setstate__(([Indexable(a=1)], [("x", ["a"])]))
    # An index held by its own objects, and an object holding itself, copy and pickle whole.
    obj = Indexable(kind="a")
    obj.me = obj
    holder = index_of(obj)
    obj.index = holder
    for clone in (copy.deepcopy(holder), pickle.loads(pickle.dumps(holder))):
        (only,) = list(clone)
        assert only.me is only and only.index is clone and clone.get_by_attribute(kind="a") == [only]
        assert _verify_index(clone) == ""


# --- subclasses with descriptors --------------------------------------------------------------

class Person(Indexable):
    @property
    def age(self):
        return self._age

    @age.setter
    def age(self, value):
        if value < 0:
            raise ValueError("age must not be negative")
        self._age = value
        self.age_years = value

    @property
    def label(self):  # read-only: assignment refused as for any object
        return f"person {self.name}"


class Point(Indexable):
    __slots__ = ("x",)


class Validated(Person):
    """A slot beside the property and the __dict__ every subclass without __slots__ has."""
    __slots__ = ("x",)


def test_data_descriptors_of_subclasses_take_precedence():
    person = Person(name="ada")
    person.age = 36
    with pytest.raises(ValueError, match="negative"):
        person.age = -5
    assert person.age == 36 and person.__getstate__() == {"name": "ada", "_age": 36, "age_years": 36}
    assert person.label == "person ada"
    with pytest.raises(AttributeError):
        person.label = "x"
    index = index_of(person)
    assert index.get_by_attribute(age_years=36) == [person]
    assert index.get_by_attribute(age=36) == []  # a property's own name is indexed only if stored
    point = Point(y=2)
    point.x = 1
    assert point.x == 1 and point.__getstate__() == {"y": 2, "x": 1}  # the slot too, for copies
    del point.x
    with pytest.raises(AttributeError):
        point.x
    assert _verify_index(index) == ""


def test_descriptors_take_constructor_keywords_and_survive_copies():
    with pytest.raises(ValueError, match="negative"):
        Validated(age=-5)
    obj = Validated(x=1, age=3, kind="a")
    assert (obj.x, obj.age) == (1, 3) and obj.__getstate__()["x"] == 1
    index = index_of(obj)
    assert index.get_by_attribute(x=1) == [] and index.get_by_attribute(kind="a") == [obj]
    obj.__dict__["extra"] = 7  # kept by the interpreter, not stored
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(obj, protocol))
        assert type(again) is Validated and (again.x, again.age, again.kind, again.extra) == (1, 3, "a", 7)
    clone = copy.deepcopy(obj)
    assert (clone.x, clone.age, clone.extra) == (1, 3, 7)
    assert pickle.loads(pickle.dumps(Row(a=1), 0)).a == 1
