"""Grouping an index by an attribute or a dotted path, and the union of one index into another.

The union is checked against the one meaning it has: for indexes never narrowed by `reduce`, the
result answers every query exactly as an index built by adding the objects of both. The nested
objects form no cycles there: a cycle is indexed once around from where it was entered, so answers
that go round one depend on the order objects arrived in, for separate adds as for a union.
"""
import enum
import gc
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Vantorelle import FilteredIndex, Index, Indexable, PyQueryExpr as Q, _verify_index


class Row(Indexable):
    pass


def index_of(*objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


def partition(groups):
    """{key: [object ids in id order]} of a group_by result."""
    return {key: [id(obj) for obj in view.collect()] for key, view in groups.items()}


def ids(objs):
    return [id(obj) for obj in objs]


# --- group_by -------------------------------------------------------------------------------

def test_groups_partition_the_objects_that_carry_the_attribute():
    objs = [Row(color=c) for c in ["red", "blue", "red", "green", "blue", "red"]] + [Row(size=1), Row()]
    index = index_of(*objs)
    groups = index.group_by("color")
    assert set(groups) == {"red", "blue", "green"}
    assert all(type(view) is FilteredIndex for view in groups.values())
    assert {key: len(members) for key, members in partition(groups).items()} == {"red": 3, "blue": 2, "green": 1}
    for key, view in groups.items():
        assert all(obj.color == key for obj in view.collect())
    assert sorted(sum(partition(groups).values(), [])) == sorted(ids(objs[:6]))


def test_group_by_of_nothing_gives_an_empty_dict():
    inner = Row(b=1)
    index = index_of(Row(a=1), Row(a="text"), Row(n=inner))
    assert index.group_by("missing") == {}
    assert index.group_by("a.b") == {}  # below values that are not Indexable
    assert index.group_by("n.missing") == {}
    assert index.group_by("n.b.c") == {}
    assert index.group_by("n.") == {} and index.group_by(".n") == {} and index.group_by("") == {}
    assert Index().group_by("a") == {}


def test_group_by_rejects_a_path_that_is_not_text():
    index = index_of(Row(a=1))
    with pytest.raises(TypeError, match="argument 'attr'"):
        index.group_by(3)
    with pytest.raises(TypeError):
        index.group_by()
    with pytest.raises(ValueError, match="not valid text"):
        index.group_by("\ud800")


def test_dotted_paths_group_the_holders_level_by_level():
    boeing, airbus = Row(maker="Boeing"), Row(maker="Airbus")
    planes = [Row(model=boeing, seats=180), Row(model=boeing, seats=200), Row(model=airbus, seats=150)]
    flights = [Row(plane=planes[0]), Row(plane=planes[0]), Row(plane=planes[1]), Row(plane=planes[2]),
               Row(plane="unknown"), Row()]
    index = index_of(*flights)
    assert partition(index.group_by("plane.model.maker")) == {
        "Boeing": ids(flights[:3]), "Airbus": ids(flights[3:4])}
    # Two holders of one nested object both land in its group.
    assert partition(index.group_by("plane.seats")) == {
        180: ids(flights[:2]), 200: ids(flights[2:3]), 150: ids(flights[3:4])}
    # A change on the shared nested object moves every holder at once.
    boeing.maker = "Airbus"
    assert partition(index.group_by("plane.model.maker")) == {"Airbus": ids(flights[:4])}
    assert _verify_index(index) == ""


def test_values_equal_under_python_equality_form_one_group_keyed_by_the_first():
    class Color(enum.Enum):
        RED = "RED"

    objs = [Row(v=1), Row(v=1.0), Row(v=True), Row(v=-1), Row(v=-2), Row(v=Color.RED), Row(v="RED"),
            Row(v=2**64), Row(v=float(2**64))]
    groups = index_of(*objs).group_by("v")
    assert partition(groups) == {1: ids(objs[:3]), -1: ids(objs[3:4]), -2: ids(objs[4:5]),
                                 Color.RED: ids(objs[5:6]), "RED": ids(objs[6:7]), 2**64: ids(objs[7:9])}
    assert [type(key) for key in groups if key == 1] == [int]  # hash(-1) == hash(-2), yet two groups


def test_an_unhashable_value_fails_the_grouping_and_leaves_no_view_behind():
    index = index_of(Row(v=1), Row(v=[1, 2]), Row(v=2))

    def views_alive():
        gc.collect()
        return sum(1 for obj in gc.get_objects() if type(obj) is FilteredIndex)

    before = views_alive()
    for _ in range(50):
        with pytest.raises(TypeError, match="unhashable"):
            index.group_by("v")
    assert views_alive() == before
    assert _verify_index(index) == ""


def test_keys_that_python_finds_equal_do_not_drop_a_group():
    class Loose:
        """Equal to every other Loose; the index cannot know it and keeps them apart."""
        def __eq__(self, other):
            return isinstance(other, Loose)

        def __hash__(self):
            return 7

    objs = [Row(v=Loose()), Row(v=Loose()), Row(v=Loose())]
    groups = index_of(*objs).group_by("v")
    assert len(groups) == 1
    assert sorted(sum(partition(groups).values(), [])) == sorted(ids(objs))


def test_a_key_whose_eq_rewrites_the_result_dict_does_not_crash(run_python):
    result = run_python('''
        import gc
        from Vantorelle import Index, Indexable
        armed = [False]
        class K:
            def __hash__(self):
                return 42
            def __eq__(self, other):
                if armed[0] and isinstance(other, K):
                    armed[0] = False
                    for holder in gc.get_referrers(self):
                        if isinstance(holder, dict) and holder and all(isinstance(k, K) for k in holder):
                            for k in list(holder):
                                holder[k] = object()
                    return True
                return self is other
        index = Index()
        index.add_object_many([Indexable(a=K()), Indexable(a=K())])
        armed[0] = True
        print(sorted(type(v).__name__ for v in index.group_by("a").values()))
    ''', timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout in ("['FilteredIndex']\n", "['FilteredIndex', 'object']\n"), result.stdout


def test_a_path_near_the_nesting_limit_groups_on_a_small_thread_stack(run_python):
    result = run_python('''
        import threading
        from Vantorelle import Index, Indexable
        leaf = Indexable(v=1)
        for _ in range(998):
            leaf = Indexable(n=leaf)
        index = Index()
        index.add_object(leaf)
        out = []
        threading.stack_size(448 * 1024)
        t = threading.Thread(target=lambda: out.append(len(index.group_by("n." * 998 + "v"))))
        t.start(); t.join()
        print(out)
    ''', timeout=120)
    assert (result.returncode, result.stdout) == (0, "[1]\n"), result.stderr[-2000:]


def test_groups_are_views_that_narrow_and_follow_reduce():
    objs = [Row(color=c, size=s) for c, s in [("red", 1), ("red", 2), ("blue", 1), ("blue", 3)]]
    index = index_of(*objs)
    red = index.group_by("color")["red"]
    assert ids(red.reduced(size=2).collect()) == ids(objs[1:2])
    assert ids(red.reduced_query(Q.gt("size", 1)).collect()) == ids(objs[1:2])
    assert ids(red.rebase().collect()) == ids(objs[:2])
    index.reduce(size=1)  # value sets narrowed to the objects of size 1
    assert partition(index.group_by("color")) == {"red": ids(objs[:1]), "blue": ids(objs[2:3])}


def test_groups_kept_on_their_own_objects_are_collected():
    # The views share the index's objects; a cycle through several of them must still be found.
    for groups in (1, 2, 5):
        objs = [Row(a=n % groups, payload=[n]) for n in range(10)]
        index = index_of(*objs)
        objs[0].groups = index.group_by("a")
        objs[1].index = index
        probe = weakref.ref(objs[0])
        del objs, index
        gc.collect()
        assert probe() is None, f"{groups} groups"


@pytest.mark.parametrize("second_index", ["rebase", "union_with"])
def test_an_object_in_two_indexes_keeps_its_attributes_through_a_collection(second_index):
    # Two indexes over one object, both garbage; the object itself is still in use. The collector
    # must count the two indexes' references as two, or it takes the object for garbage too and
    # clears its attributes.
    def scenario():
        obj = Row(v=[1], w=2)  # holds a list: tracked by the collector
        first = index_of(obj)
        if second_index == "rebase":
            second = first.reduced(w=2).rebase()
        else:
            second = Index()
            second.union_with(first)
        holder = Row(first=first, second=second)
        first.add_object(holder)
        del first, second, holder
        gc.collect()
        return obj

    assert scenario().__getstate__() == {"v": [1], "w": 2}


# --- union_with -----------------------------------------------------------------------------

def test_union_brings_every_object_with_its_ranges_nested_values_and_later_assignments():
    owner = Row(name="acme", rank=3)
    mine = [Row(kind="a", n=1), Row(kind="b", n=5)]
    theirs = [Row(kind="a", n=10, owner=owner), Row(kind="c", n=20)]
    this, other = index_of(*mine), index_of(*theirs)
    assert this.union_with(other) is None
    assert ids(this.collect()) == ids(mine + theirs)
    assert ids(this.get_by_attribute(kind="a")) == ids([mine[0], theirs[0]])
    assert ids(this.reduced_query(Q.gt("n", 4)).collect()) == ids([mine[1]] + theirs)
    assert ids(this.reduced_query(Q.bt("n", 9, 21)).collect()) == ids(theirs)
    assert ids(this.reduced_query(Q.eq("owner.name", "acme")).collect()) == ids(theirs[:1])
    assert ids(this.reduced(kind="c").collect()) == ids(theirs[1:])
    assert partition(this.group_by("owner.rank")) == {3: ids(theirs[:1])}
    # Newcomers are this index's members now: assignments reach it, and it keeps them without `other`.
    theirs[1].kind = "z"
    owner.name = "apex"
    del other
    gc.collect()
    assert ids(this.get_by_attribute(kind="z")) == ids(theirs[1:])
    assert ids(this.reduced_query(Q.eq("owner.name", "apex")).collect()) == ids(theirs[:1])
    assert _verify_index(this) == ""


def test_union_keeps_shared_objects_once_and_leaves_the_other_index_unchanged():
    shared = Row(kind="s", n=2)
    this, other = index_of(Row(kind="a"), shared), index_of(shared, Row(kind="b"))
    before = (ids(other.collect()), partition(other.group_by("kind")))
    this.union_with(other)
    assert len(this.collect()) == 3
    assert ids(this.get_by_attribute(kind="s")) == ids([shared])
    assert (ids(other.collect()), partition(other.group_by("kind"))) == before
    assert _verify_index(this) == "" and _verify_index(other) == ""


def test_union_with_empty_indexes():
    objs = [Row(a=1), Row(a=2)]
    index = index_of(*objs)
    index.union_with(Index())
    assert ids(index.collect()) == ids(objs)
    empty = Index()
    empty.union_with(Index())
    assert empty.collect() == [] and empty.group_by("a") == {}
    assert _verify_index(empty) == ""


def test_union_refuses_itself_and_non_indexes_changing_nothing():
    objs = [Row(a=1), Row(a=2)]
    index = index_of(*objs)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        index.union_with(index)
    with pytest.raises(TypeError, match="argument 'other'"):
        index.union_with([Row(a=3)])
    with pytest.raises(TypeError):
        index.union_with()
    assert ids(index.collect()) == ids(objs)
    assert ids(index.get_by_attribute(a=[1, 2])) == ids(objs)  # the borrow was released
    assert _verify_index(index) == ""


def test_union_with_narrowed_indexes_indexes_newcomers_in_full():
    mine = [Row(color="red"), Row(color="blue")]
    theirs = [Row(color="red"), Row(color="blue")]
    this, other = index_of(*mine), index_of(*theirs)
    this.reduce(color="red")
    other.reduce(color="red")
    this.union_with(other)
    # This index's own objects keep their narrowed sets; the newcomers arrive as add_object_many
    # would bring them, every attribute indexed.
    assert ids(this.get_by_attribute(color="blue")) == ids(theirs[1:])
    assert ids(this.get_by_attribute(color="red")) == ids([mine[0], theirs[0]])
    assert ids(this.collect()) == ids(mine + theirs)
    assert _verify_index(this) == ""


# --- the union answers as a fresh index of both -----------------------------------------------

VALUES = [0, 1, 1.0, True, -1, -2, 2.5, "x", "y", None, 2**64]
N_OWNERS = 4

value_st = st.sampled_from(VALUES)
owner_ref = st.integers(0, N_OWNERS - 1)
# An owner by position, or a plain value: under "alt" a path may reach an owner or stop short.
owner_or_value = st.one_of(owner_ref.map(lambda j: ("owner", j)), value_st)
obj_st = st.fixed_dictionaries({}, optional={"a": value_st, "b": value_st, "owner": owner_ref,
                                             "alt": owner_or_value})
owner_st = st.fixed_dictionaries({}, optional={"x": value_st, "inner": owner_ref})


def answers(index):
    """Every answer compared: collect, keyword filters, ranges, dotted paths and groupings."""
    result = {"collect": ids(index.collect())}
    for name in ("a", "b"):
        for value in VALUES:
            result[f"kw {name}={value!r}"] = ids(index.get_by_attribute(**{name: value}))
    result["kw any"] = ids(index.get_by_attribute(a=[1, "x"], b=[None, 2.5]))
    queries = [Q.gt("a", 0), Q.bt("b", -1, 1.0), Q.le("a", 2.0**64), Q.eq("owner.x", 1), Q.ne("owner.x", "x"),
               Q.gt("owner.inner.x", -1), Q.eq("alt.inner.x", 0), Q.and_(Q.eq("a", 1), Q.not_(Q.eq("owner.x", 1))),
               Q.in_("alt.x", [1, "y", None])]
    for n, query in enumerate(queries):
        result[f"query {n}"] = ids(index.reduced_query(query).collect())
    for path in ("a", "b", "owner.x", "owner.inner.x", "alt.x", "alt.inner.inner.x", "owner"):
        try:
            result[f"group {path}"] = partition(index.group_by(path))
        except TypeError:  # keys that are Indexable objects hash by identity; others may not hash
            result[f"group {path}"] = "unhashable"
    return result


@settings(max_examples=200, deadline=None)
@given(objs=st.lists(obj_st, min_size=0, max_size=14),
       owners=st.lists(owner_st, min_size=N_OWNERS, max_size=N_OWNERS),
       sides=st.lists(st.sampled_from(["this", "other", "both"]), min_size=14, max_size=14),
       changes=st.lists(st.tuples(st.integers(0, 13), st.sampled_from(["a", "owner"]), st.integers(0, 3)),
                        max_size=4))
def test_union_answers_as_a_fresh_index_of_both(objs, owners, sides, changes):
    owner_objs = [Row() for _ in owners]
    for position, (owner, attrs) in enumerate(zip(owner_objs, owners)):
        for name, value in attrs.items():
            if name == "inner":  # owners hold only later owners: no cycles (see the module docstring)
                if value <= position:
                    continue
                value = owner_objs[value]
            setattr(owner, name, value)
    rows = []
    for attrs in objs:
        row = Row()
        for name, value in attrs.items():
            if name == "owner":
                value = owner_objs[value]
            elif isinstance(value, tuple):
                value = owner_objs[value[1]]
            setattr(row, name, value)
        rows.append(row)
    this, other = Index(), Index()
    this.add_object_many([row for row, side in zip(rows, sides) if side != "other"])
    other.add_object_many([row for row, side in zip(rows, sides) if side != "this"])
    other_before = answers(other)
    this.union_with(other)
    fresh = index_of(*rows)
    assert answers(this) == answers(fresh)
    assert answers(other) == other_before
    assert _verify_index(this) == ""
    for position, name, value in changes:  # later assignments reach the union as they reach the fresh one
        if position < len(rows):
            setattr(rows[position], name, owner_objs[value] if name == "owner" else value)
    assert answers(this) == answers(fresh)
    assert _verify_index(this) == ""
