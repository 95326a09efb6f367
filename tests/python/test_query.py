"""Query expressions: builders and their errors, repr, evaluation against an index and a view
(universes), dotted paths, and views narrowed, collected and rebased."""
import enum
import re
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Vantorelle import FilteredIndex, Index, Indexable, PyQueryExpr as Q, _verify_index


def ids(objs):
    return [o.n for o in objs]


@pytest.fixture
def people():
    owners = [Indexable(city=c, alt=a) for c, a in [("A", 10), ("B", 1500), ("C", 1200)]]
    objs = [Indexable(n=i, age=i * 1.5 if i % 4 == 0 else i, name=f"n{i % 3}", owner=owners[i % 3]) for i in range(12)]
    objs.append(Indexable(n=12, name="n0"))  # no age, no owner
    index = Index()
    index.add_object_many(objs)
    return index, objs, owners


def run(index, expr):
    return ids(index.reduced_query(expr).collect())


def test_repr_shows_the_tree_and_the_values_debug_text():
    text = repr(Q.and_(Q.gt("age", 30), Q.not_(Q.eq("name", "x"))))
    assert re.fullmatch(r'<QueryExpr: And\(\[Gt\("age", PyValue \{ obj: Py\(0x[0-9a-f]+\), primitave: Int\(30\), '
                        r'hash: 30 \}\), Not\(Eq\("name", PyValue \{ obj: Py\(0x[0-9a-f]+\), primitave: Str\("x"\), '
                        r'hash: \d+ \}\)\)\]\)>', text), text
    assert repr(Q.and_()) == "<QueryExpr: And([])>" and repr(Q.or_()) == "<QueryExpr: Or([])>"
    assert repr(Q.in_("a", [])) == '<QueryExpr: In("a", [])>'
    assert "Float(1e16)" in repr(Q.eq("a", 1e16)) and "Float(NaN)" in repr(Q.eq("a", float("nan")))
    assert 'Bt("owner.alt", ' in repr(Q.bt("owner.alt", 1, 2.5)) and "Float(2.5)" in repr(Q.bt("a", 1, 2.5))
    assert repr(Q.eq('q"\\', None)).startswith('<QueryExpr: Eq("q\\"\\\\", PyValue')


@pytest.mark.parametrize("call, error, message", [
    (lambda: Q.eq(1, 2), TypeError, "argument 'attr': 'int' object cannot be converted to 'PyString'"),
    (lambda: Q.in_("a", "xy"), TypeError, "argument 'values': Can't extract `str` to `Vec`"),
    (lambda: Q.in_("a", {1, 2}), TypeError, "argument 'values': 'set' object cannot be converted to 'Sequence'"),
    (lambda: Q.not_(3), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.and_(Q.eq("a", 1), 3), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.and_([Q.eq("a", 1)]), TypeError, "argument 'exprs': 'list' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.bt("a", 1), TypeError, "PyQueryExpr.bt() missing 1 required positional argument: 'upper'"),
    (lambda: Q.and_(x=Q.eq("a", 1)), TypeError, "PyQueryExpr.and_() got an unexpected keyword argument 'x'"),
    (lambda: Q.eq("a", 1, 2), TypeError, "PyQueryExpr.eq() takes 2 positional arguments but 3 were given"),
    (lambda: Q(), TypeError, "No constructor defined for PyQueryExpr"),
    (lambda: FilteredIndex(), TypeError, "No constructor defined for FilteredIndex"),
    (lambda: Q.gt("a", 2**63), OverflowError, "argument 'value': int too large for a 64-bit range bound"),
    (lambda: Q.bt("a", 0, -(2**63) - 1), OverflowError, "argument 'upper': int too large for a 64-bit range bound"),
    (lambda: Q.eq("\ud800", 1), ValueError, "not valid text"),
])
def test_builder_errors_name_the_argument(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


def test_builders_accept_what_they_should():
    assert "Eq" in repr(Q.eq(attr="a", value=1))
    Q.in_("a", (1, 2)), Q.in_("a", range(3)), Q.bt("a", 5, 1), Q.gt("a", "x"), Q.gt("a", Indexable())
    big = Q.eq("a", 2**70)  # equality keeps big ints as values
    index = Index()
    obj = Indexable(a=2**70)
    index.add_object(obj)
    assert index.reduced_query(big).collect() == [obj]
    assert len(repr(Q.in_("a", list(range(100_000))))) > 100_000


def test_a_tree_is_a_copy_of_its_children():
    e = Q.eq("a", 1)
    both = Q.and_(e, e)
    text = repr(both)
    del e
    assert repr(both) == text


def test_iteration_errors_pass_through_and_type_errors_name_values():
    def broken():
        yield 1
        raise KeyError("boom")

    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise TypeError("bad item")

    with pytest.raises(KeyError):
        Q.in_("a", list(broken()) if False else _ListLike(broken))
    with pytest.raises(TypeError, match="argument 'values': bad item"):
        Q.in_("a", Seq())


class _ListLike:
    """A sequence whose iteration raises part-way."""

    def __init__(self, gen):
        self.gen = gen

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        return self.gen()


def test_comparisons_equality_and_complements(people):
    index, objs, _ = people
    assert run(index, Q.eq("name", "n1")) == [1, 4, 7, 10]
    assert run(index, Q.ne("name", "n1")) == [0, 2, 3, 5, 6, 8, 9, 11, 12]
    assert run(index, Q.ne("age", 3)) == [0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12]  # 12 has no age
    assert run(index, Q.gt("age", 9)) == [8, 10, 11]
    assert run(index, Q.ge("age", 6.0)) == [4, 6, 7, 8, 9, 10, 11]
    assert run(index, Q.lt("age", 2)) == [0, 1]
    assert run(index, Q.le("age", 2)) == [0, 1, 2]
    assert run(index, Q.bt("age", 3, 6)) == [3, 4, 5, 6]
    assert run(index, Q.bt("age", 6, 3)) == []
    assert run(index, Q.in_("age", [1, 3.0, True, 99])) == [1, 3]
    assert run(index, Q.in_("age", [])) == []
    assert run(index, Q.gt("name", "a")) == [] and run(index, Q.gt("age", None)) == []
    assert run(index, Q.and_()) == [] and run(index, Q.or_()) == []
    assert run(index, Q.not_(Q.and_())) == list(range(13))
    assert run(index, Q.and_(Q.eq("name", "n0"))) == run(index, Q.eq("name", "n0"))
    assert run(index, Q.or_(Q.eq("name", "n1"), Q.lt("age", 1))) == [0, 1, 4, 7, 10]
    assert run(index, Q.and_(Q.gt("age", 2), Q.not_(Q.eq("name", "n1")), Q.lt("age", 9))) == [3, 5, 6]
    assert run(index, Q.eq("missing", 1)) == [] and run(index, Q.ne("missing", 1)) == list(range(13))


def test_ranges_compare_nan_as_python_does():
    """A NaN is neither above nor below any number: no range selects it, a NaN bound selects
    nothing, and the complement of a range holds it, as `not (x > 0)` does."""
    values = [float("nan"), -float("nan"), float("-inf"), -1, 0.0, 2.5, float("inf"), 2**62]
    objs = [Indexable(n=i, x=v, holder=Indexable(x=v)) for i, v in enumerate(values)]
    index = Index()
    index.add_object_many(objs)
    nan = float("nan")
    for attr in ("x", "holder.x"):
        for build in (Q.gt, Q.ge, Q.lt, Q.le):
            for bound in (0, -1, 2.5, float("inf"), float("-inf"), nan):
                expected = [i for i, v in enumerate(values) if build is Q.gt and v > bound or build is Q.ge
                            and v >= bound or build is Q.lt and v < bound or build is Q.le and v <= bound]
                assert run(index, build(attr, bound)) == expected, (attr, build, bound)
        assert run(index, Q.bt(attr, float("-inf"), float("inf"))) == [2, 3, 4, 5, 6, 7]
        assert run(index, Q.bt(attr, nan, 1)) == [] and run(index, Q.bt(attr, -1, nan)) == []
        assert run(index, Q.not_(Q.gt(attr, 0))) == [0, 1, 2, 3, 4]
    assert run(index, Q.eq("x", objs[0].x)) == [0]  # the very same NaN still matches itself
    assert _verify_index(index) == ""


def test_dotted_paths_lift_nested_matches_to_their_holders(people):
    index, objs, owners = people
    assert run(index, Q.gt("owner.alt", 1000)) == [1, 2, 4, 5, 7, 8, 10, 11]
    assert run(index, Q.eq("owner.city", "A")) == [0, 3, 6, 9]
    assert run(index, Q.ne("owner.city", "A")) == [1, 2, 4, 5, 7, 8, 10, 11, 12]
    assert run(index, Q.eq("name.x", 1)) == [] and run(index, Q.ne("name.x", 1)) == list(range(13))
    owners[0].city = "Z"  # one assignment moves every holder at once
    assert run(index, Q.eq("owner.city", "Z")) == [0, 3, 6, 9]
    for path in ("a..b", ".", "", "owner.", ".owner"):
        assert run(index, Q.eq(path, 1)) == []
    assert _verify_index(index) == ""


def test_indexable_bounds_and_non_numeric_bt_bounds_raise_where_the_attribute_exists(people):
    index, objs, owners = people
    with pytest.raises(TypeError, match=r"^gt: cannot compare attribute 'owner' with a 'Indexable' bound$"):
        index.reduced_query(Q.gt("owner", owners[0]))
    with pytest.raises(TypeError, match=r"^bt: cannot compare attribute 'age' with a 'str' bound$"):
        index.reduced_query(Q.bt("age", "a", 3))
    with pytest.raises(TypeError, match=r"^bt: cannot compare attribute 'owner.alt' with a 'NoneType' bound$"):
        index.reduced_query(Q.or_(Q.eq("name", "n0"), Q.bt("owner.alt", 1, None)))
    assert run(index, Q.gt("nothing", owners[0])) == [] and run(index, Q.bt("nothing", "a", "b")) == []
    assert run(index, Q.eq("name", "n2")) == [2, 5, 8, 11]  # the index stays usable
    assert _verify_index(index) == ""


def test_views_narrow_within_their_own_ids(people):
    index, objs, _ = people
    view = index.reduced(name=["n0", "n1"])
    assert ids(view.collect()) == [0, 1, 3, 4, 6, 7, 9, 10, 12]
    assert ids(view.reduced_query(Q.not_(Q.eq("name", "n0"))).collect()) == [1, 4, 7, 10]
    assert ids(view.reduced_query(Q.ne("age", 3)).collect()) == [0, 1, 4, 6, 7, 9, 10, 12]
    assert ids(view.reduced(name="n2").collect()) == []
    assert ids(view.reduced().collect()) == [] and ids(index.reduced().collect()) == []
    twice = view.reduced(name="n1").reduced(owner=objs[1].owner)
    assert ids(twice.collect()) == ids(view.reduced(name="n1", owner=objs[1].owner).collect()) == [1, 4, 7, 10]
    with pytest.raises(TypeError, match="argument 'query': 'int' object cannot be converted to 'PyQueryExpr'"):
        view.reduced_query(3)
    with pytest.raises(TypeError, match="argument 'query': 'NoneType' object cannot be converted"):
        index.reduced_query(None)


def test_views_outlive_their_index_and_see_its_changes():
    objs = [Indexable(n=i, age=i) for i in range(6)]
    index = Index()
    index.add_object_many(objs)
    view = index.reduced_query(Q.lt("age", 5))
    objs[1].age = 50
    assert ids(view.reduced_query(Q.lt("age", 5)).collect()) == [0, 2, 3, 4]
    del index
    assert ids(view.collect()) == [0, 1, 2, 3, 4]
    assert ids(view.reduced_query(Q.ge("age", 4)).collect()) == [1, 4]


def test_rebase_indexes_current_values_and_names_beginning_with_an_underscore():
    objs = [Indexable(n=i, _secret=i % 2, tag="t") for i in range(6)]
    index = Index()
    index.add_object_many(objs)
    assert index.get_by_attribute(_secret=1) == []
    view = index.reduced_query(Q.lt("n", 4))
    objs[0].n = 100  # after the view was made: the rebased index sees the current value
    rebased = view.rebase()
    assert ids(rebased.collect()) == [100, 1, 2, 3]
    assert ids(rebased.get_by_attribute(_secret=1)) == [1, 3]
    objs[1]._secret = 0  # kept current in the rebased index only
    assert ids(rebased.get_by_attribute(_secret=1)) == [3] and index.get_by_attribute(_secret=0) == []
    objs[2].tag = "u"  # both indexes follow the objects
    assert ids(rebased.get_by_attribute(tag="u")) == ids(index.get_by_attribute(tag="u")) == [2]
    index.add_object(Indexable(n=7))  # the old index's additions do not reach the rebased one
    assert len(rebased.collect()) == 4
    assert _verify_index(rebased) == "" and _verify_index(index) == ""
    assert index.reduced().rebase().collect() == []


def test_deep_and_wide_trees():
    e = Q.eq("a", 1)
    for _ in range(998):
        e = Q.not_(e)
    index = Index()
    index.add_object(Indexable(a=1))
    assert len(index.reduced_query(e).collect()) == 1  # an even number of negations around eq
    with pytest.raises(RecursionError):
        for _ in range(10_000):
            e = Q.not_(e)
    wide = Q.and_(*[Q.ge("a", 0) for _ in range(2000)])
    assert len(index.reduced_query(wide).collect()) == 1
    assert len(index.reduced_query(Q.in_("a", list(range(100_000)))).collect()) == 1


# Values that share a value set while only some of them are range keys (exact ints within 64 bits
# and floats): True == 1 == 1.0, 2**70 == 2.0**70, Decimal(2) == 2, an IntEnum member == 3.
class Small(enum.IntEnum):
    THREE = 3


MIXED = [True, False, 1, 0, 1.0, 2, 2.5, Decimal(2), Fraction(5, 2), Small.THREE, 3, 2**70, 2.0**70, -1, "1", None]
RANGES = [Q.gt("a", 0), Q.ge("a", 1), Q.lt("a", 2.5), Q.le("a", 1), Q.bt("a", 0, 3), Q.bt("a", 2.0**69, 2.0**71),
          Q.gt("o.a", 0), Q.lt("o.a", 3)]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(steps=st.lists(st.tuples(st.sampled_from(["add", "add_many", "assign", "remove", "reduce", "query"]),
                                st.lists(st.integers(0, 11), min_size=1, max_size=6),
                                st.sampled_from(MIXED)), max_size=25))
def test_range_trees_built_late_answer_as_trees_built_early(steps):
    """The range tree of an attribute is built by its first range query. An index queried from the
    start and one queried only at the end go through the same changes and must answer alike."""
    objs = [Indexable(n=i) for i in range(12)]
    inner = [Indexable(a=v) for v in MIXED]
    early, late = Index(), Index()
    for query in RANGES:  # builds the trees of `early` (empty so far) ...
        early.reduced_query(query)
    stored = set()
    for kind, picks, value in steps:
        chosen = [objs[i] for i in picks]
        if kind == "add":
            for index in (early, late):
                for obj in chosen:
                    if obj.n not in stored:
                        index.add_object(obj)
            stored.update(o.n for o in chosen)
        elif kind == "add_many":
            fresh = list({o.n: o for o in chosen if o.n not in stored}.values())
            for index in (early, late):
                index.add_object_many(fresh)
            stored.update(o.n for o in fresh)
        elif kind == "assign":
            for obj in chosen:
                obj.a = value
                obj.o = inner[picks[0] % len(inner)]
        elif kind == "remove":
            for obj in chosen:
                if obj.n in stored:
                    early.remove_object(obj)
                    late.remove_object(obj)
                    stored.discard(obj.n)
        elif kind == "reduce":
            # Narrows value sets only; the range trees keep every stored number.
            early.reduce(a=value)
            late.reduce(a=value)
        else:
            early.reduced_query(RANGES[picks[0] % len(RANGES)])  # ... and keeps them built
        assert _verify_index(early) == "" and _verify_index(late) == ""
    for query in RANGES:
        expected = sorted(o.n for o in objs if o.n in stored and in_range(o, query))
        assert sorted(ids(early.reduced_query(query).collect())) == expected, query
        assert sorted(ids(late.reduced_query(query).collect())) == expected, query
    assert _verify_index(late) == ""


def in_range(obj, query):
    text = repr(query)
    holder = getattr(obj, "o", None) if "o.a" in text else obj
    value = getattr(holder, "a", None)
    if not (type(value) is float or (type(value) is int and -2**63 <= value < 2**63)):
        return False
    return eval(RANGE_MODEL[text], {"v": value})


RANGE_MODEL = {repr(q): m for q, m in zip(RANGES, [
    "v > 0", "v >= 1", "v < 2.5", "v <= 1", "0 <= v <= 3", "2.0**69 <= v <= 2.0**71", "v > 0", "v < 3"])}


@pytest.mark.parametrize("first", [1, True, 2.0**70, 2**70])
def test_a_set_shared_by_numbers_and_equal_non_numbers_answers_ranges_by_the_numbers(first):
    """The set of 1 also lists True (and that of 2.0**70 the int 2**70): only the numbers (exact
    ints within 64 bits, floats) are in range answers, whoever created the set or leaves it. The
    tree is built by the first range query, after each number of steps in turn."""
    twin = {1: True, True: 1, 2.0**70: 2**70, 2**70: 2.0**70}[first]
    query = Q.gt("a", 0)
    for built_at in range(7):
        objs = [Indexable(n=i, a=first if i % 2 == 0 else twin) for i in range(8)]
        index = Index()
        index.add_object(objs[0])  # creates the set: its key is `first`
        index.add_object_many(objs[1:6])
        index.add_object(objs[6])
        steps = [
            lambda: index.remove_object(objs[0]),  # the key's holder leaves: the key changes kind
            lambda: setattr(objs[1], "a", first),  # a member changes kind within the set
            lambda: index.remove_object(objs[3]),
            lambda: setattr(objs[2], "a", "other"),  # leaves the set
            lambda: index.add_object(objs[7]),
            lambda: index.remove_object(objs[4]),
        ]
        for number, step in enumerate(steps):
            if number == built_at:
                index.reduced_query(query)
            step()
            assert _verify_index(index) == ""
        stored = {o.n for o in index.collect()}
        numbers = [o.n for o in objs if o.n in stored and (type(o.a) is float or type(o.a) is int and o.a < 2**63)]
        assert sorted(ids(index.reduced_query(query).collect())) == sorted(numbers)
