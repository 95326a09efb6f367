"""Objects with the same attribute names in the same order share one name table: random creations
and assignments against a dict model (order kept for __dir__ and __getstate__ while an object has
at most 8 attributes), and the shared tables leave with the last object using them."""
import gc

from hypothesis import given, settings
from hypothesis import strategies as st

import Vantorelle
from Vantorelle import Index, Indexable, _verify_index

NAMES = ["a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "a_name_longer_than_twenty_three_bytes", "_p"]
SMALL = 8  # the most attributes an object keeps in creation order

name_st = st.sampled_from(NAMES)
value_st = st.one_of(st.integers(-3, 3), st.sampled_from(["x", "y", None, 1.5]))
kwargs_st = st.lists(st.tuples(name_st, value_st), max_size=10, unique_by=lambda kv: kv[0]).map(dict)
step_st = st.one_of(st.tuples(st.just("new"), kwargs_st),
                    st.tuples(st.just("set"), st.integers(0, 15), name_st, value_st),
                    st.tuples(st.just("drop"), st.integers(0, 15)))


def check(obj, model):
    state = obj.__getstate__()
    assert state == model
    if len(model) <= SMALL:
        assert list(state) == list(model)
        assert obj.__dir__()[:len(model)] == list(model)
    for name, value in model.items():
        assert getattr(obj, name) == value
    assert repr(obj) == f"<Indexable with {len(model)} attributes>"


@settings(max_examples=150, deadline=None)
@given(steps=st.lists(step_st, max_size=30))
def test_attribute_maps_follow_a_dict_model(steps):
    objs, models = [], []
    indexed = []  # every other object goes into the index, and stays there when dropped
    index = Index()
    for step in steps:
        if step[0] == "new":
            obj = Indexable(**step[1])
            objs.append(obj)
            models.append(dict(step[1]))
            if len(objs) % 2:
                index.add_object(obj)
                indexed.append((obj, models[-1]))
        elif step[0] == "set" and objs:
            position = step[1] % len(objs)
            setattr(objs[position], step[2], step[3])
            models[position][step[2]] = step[3]
        elif step[0] == "drop" and objs:
            position = step[1] % len(objs)
            del objs[position], models[position]
        for obj, model in zip(objs, models):
            check(obj, model)
    assert _verify_index(index) == ""
    for name in NAMES:
        if not name.startswith("_"):
            want = [id(o) for o, m in indexed if m.get(name) == 1]
            assert sorted(id(o) for o in index.get_by_attribute(**{name: 1})) == sorted(want)


def test_name_tables_leave_with_their_last_object():
    gc.collect()
    before = Vantorelle._shape_count()
    # Every permutation prefix is a sequence of its own: thousands of distinct tables.
    objs = [Indexable(**{f"n{(k + j) % 50}": j for j in range(1 + k % 7)}) for k in range(3000)]
    for k, obj in enumerate(objs[::3]):
        obj.extra = k
    assert Vantorelle._shape_count() > before + 40
    shared = Indexable(**{f"n{j}": j for j in range(4)})
    same = Indexable(**{f"n{j}": -j for j in range(4)})
    assert shared.__getstate__() == {f"n{j}": j for j in range(4)}
    assert same.__getstate__() == {f"n{j}": -j for j in range(4)}
    del objs, obj, shared, same
    gc.collect()
    assert Vantorelle._shape_count() == before


def test_construction_from_call_sites_keeps_each_call_s_names_and_order():
    made = []

    class Evicting:
        """Its hash builds objects from many other keyword tuples while a construction runs."""

        def __hash__(self):
            for k in range(40):
                made.append(Indexable(**{f"e{k}": k, "z": k}))
            return 7

    for round_ in range(3):
        first = Indexable(a=round_, b=Evicting(), c="c")
        second = Indexable(c="c", a=round_, b=0)  # the same names in another order
        third = Indexable(a=round_, b=1, c="x")
        assert first.__getstate__().keys() == {"a", "b", "c"} and first.a == round_ and first.c == "c"
        assert list(second.__getstate__()) == ["c", "a", "b"] and second.b == 0
        assert list(third.__getstate__()) == ["a", "b", "c"] and (third.b, third.c) == (1, "x")
        assert isinstance(first.b, Evicting)
    assert all(list(o.__getstate__()) == [f"e{k % 40}", "z"] for k, o in enumerate(made))
    for bad in ({"\ud800": 1}, {"ok": 1, "\udc80": 2}):
        for _ in range(2):  # a refused set of names is never learned
            try:
                Indexable(**bad)
            except ValueError as e:
                assert "not valid text" in str(e)
            else:
                raise AssertionError("accepted a name with a lone surrogate")


def test_shape_tags_are_reused_and_objects_read_alike_once_they_run_out(run_python):
    # Reads and one-value assignments find a name's place by a tag of its name table. Tags of dead
    # tables come back into use: shapes born and dropped without end (temporary objects, an
    # __init__ that adds names one by one) never use them up. Only more live tables than tags
    # leave new ones untagged, and then names are found by text. Objects from before and after
    # must keep their values, in and out of an index. (A fresh interpreter: tags are process-wide.)
    result = run_python("""
        import gc
        import Vantorelle
        from Vantorelle import Index, Indexable, _shape_tag, _verify_index

        class Stepwise(Indexable):
            def __init__(self, i):
                super().__init__()
                self.a, self.b, self.c = i, i, i  # tables (a) and (a, b) die at once

        before = [Indexable(x=i, y=str(i)) for i in range(3)]
        for i in range(300_000):
            Indexable(**{f"t{i}": i})
            Stepwise(i)
        churned = Indexable(churned=1)
        assert _shape_tag(churned) != 0 and _shape_tag(Stepwise(0)) != 0

        held = [Indexable(**{f"h{i}": i}) for i in range(530_000)]  # more tables than tags, alive
        after = [Indexable(x=i, y=str(i)) if i % 2 else Indexable(y=str(i), x=i) for i in range(4)]
        assert _shape_tag(after[0]) == 0 and _shape_tag(after[1]) == _shape_tag(before[0]) != 0
        index = Index()
        index.add_object_many(before[:1] + after[:2])
        for k in range(3):
            for obj in before + after:
                assert obj.y == str(obj.x)
                obj.x = obj.x + 10
                obj.y = str(obj.x)
                setattr(obj, "x" + "", obj.x)
            fresh = Indexable(**{f"late{k}": k})
            fresh.__setattr__(f"late{k}", -k)
            assert getattr(fresh, f"late{k}") == -k
        assert [o.x for o in before + after] == [30, 31, 32, 30, 31, 32, 33]
        assert sorted(o.x for o in index.get_by_attribute(y="30")) == [30, 30]
        assert index.get_by_attribute(x=31) == [after[1]]
        _verify_index(index)

        del held
        gc.collect()
        for i in range(100):
            Indexable(**{f"r{i}": i})  # objects made while tags wait give them back
        again = Indexable(again=1)
        assert _shape_tag(again) != 0 and again.again == 1
        del before, after, index, again, churned
        gc.collect()
        print(Vantorelle._shape_count())
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 50


def test_a_reused_tag_never_finds_a_name_where_its_old_table_had_it():
    # The tables (p, q) and (q, p) die and come back in turn, so their tags pass from one to the
    # other; every read and assignment goes through the cached places of "p" and "q".
    for i in range(2000):
        first = Indexable(p=i, q=-i) if i % 2 else Indexable(q=-i, p=i)
        assert (first.p, first.q) == (i, -i)
        first.q = i + 1
        assert first.q == i + 1 and first.p == i
        del first
        for k in range(i % 3):
            Indexable(**{f"filler{k}": k})
