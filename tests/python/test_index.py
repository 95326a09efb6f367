import enum
import itertools
import threading

import pytest

from Vantorelle import Index, Indexable, _verify_index


class BadHash:
    def __hash__(self):
        raise RuntimeError("no hash")


class IntSub(int):
    pass


class StrSub(str):
    pass


class Color(enum.IntEnum):
    RED = 1


class Node(Indexable):
    def describe(self):
        return "node"


def positions(found, objs):
    """Where each found object sits in `objs`, by identity."""
    return [next(i for i, o in enumerate(objs) if o is f) for f in found]


def test_collect_returns_each_stored_object_once_in_creation_order():
    assert Index().collect() == []
    objs = [Indexable(k=i % 3) for i in range(5)] + [Node(k=0), Node(k=1)]
    index = Index()
    index.add_object(objs[4])
    index.add_object_many([objs[6], objs[0], objs[6]])
    index.add_object_many((objs[2], objs[5], objs[1]))
    assert positions(index.collect(), objs) == [0, 1, 2, 4, 5, 6]
    before = positions(index.get_by_attribute(k=[0, 1]), objs)
    index.add_object(objs[4])
    index.add_object_many(objs[:3] * 2)
    index.add_object_many([])
    assert positions(index.collect(), objs) == [0, 1, 2, 4, 5, 6]
    assert positions(index.get_by_attribute(k=[0, 1]), objs) == before == [0, 1, 4, 5, 6]
    assert type(index.collect()[-1]) is Node and index.collect()[-1].describe() == "node"


def test_underscore_names_are_never_indexed_but_the_empty_name_is():
    hidden = Indexable(_a=1, _b=2)
    empty = Indexable(**{"": 5, "_": 5})
    index = Index()
    index.add_object_many([hidden, empty])
    assert index.collect() == [hidden, empty]
    assert index.get_by_attribute(_a=1) == index.get_by_attribute(**{"_": 5}) == []
    assert index.get_by_attribute(**{"": 5}) == [empty]
    hidden._a = 3
    hidden._c = 4
    assert index.get_by_attribute(_a=3) == index.get_by_attribute(_c=4) == []
    setattr(empty, "", 6)
    assert index.get_by_attribute(**{"": 5}) == [] and index.get_by_attribute(**{"": 6}) == [empty]


def test_assignment_reindexes_every_index_holding_the_object():
    obj, other = Indexable(v=1), Indexable(v=1)
    first, second, bystander = Index(), Index(), Index()
    first.add_object(obj)
    first.add_object(obj)
    second.add_object_many([obj, other])
    bystander.add_object(other)
    obj.v = 2
    obj.w = "new"
    for index in (first, second):
        assert index.get_by_attribute(v=1) == ([] if index is first else [other])
        assert index.get_by_attribute(v=2) == index.get_by_attribute(w="new") == [obj]
    assert bystander.get_by_attribute(v=2) == []
    obj.v = 2.0  # an equal value replaces the old one without leaving it behind
    obj.v = 3
    assert first.get_by_attribute(v=[1, 2, 3]) == [obj]


def test_argument_errors_name_the_argument_and_change_nothing():
    a = Indexable(x=1)
    index = Index()
    for bad in (5, None, "x", Index(), [a]):
        with pytest.raises(TypeError, match="^argument 'py_ref': '.*' object cannot be converted to 'Indexable'$") as info:
            index.add_object(bad)
        assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError) as info:
        index.add_object_many("abc")
    assert str(info.value) == "argument 'objs': Can't extract `str` to `Vec`"
    for bad in ([a, 5], (a, None), [a, Index()], 5, None, iter([a]), {a: 1}):
        with pytest.raises(TypeError, match="^argument 'objs': "):
            index.add_object_many(bad)
    assert index.collect() == [] and index.get_by_attribute(x=1) == []
    calls = [
        (Index, (1,), {}, r"^Index\(\) takes 0 positional arguments but 1 was given"),
        (index.add_object, (a,), {"py_ref": a}, r"^Index\.add_object\(\) got multiple values for argument 'py_ref'"),
        (index.add_object_many, (), {}, r"^Index\.add_object_many\(\) missing 1 required positional argument: 'objs'"),
        (index.collect, (), {"x": 1}, r"^Index\.collect\(\) got an unexpected keyword argument 'x'"),
        (index.get_by_attribute, ({"x": 1},), {}, r"^Index\.get_by_attribute\(\) takes 0 positional arguments"),
        (index.reduce, ({"x": 1},), {}, r"^Index\.reduce\(\) takes 0 positional arguments"),
    ]
    for call, args, kwargs, message in calls:
        with pytest.raises(TypeError, match=message):
            call(*args, **kwargs)
    index.add_object(py_ref=a)
    index.add_object_many(objs=[a])
    assert index.collect() == [a]


def _raising_generator(error):
    yield 1
    raise error


class _RaisingIter:
    def __init__(self, error):
        self.error = error

    def __iter__(self):
        raise self.error


class _RaisingNext:
    def __init__(self, error):
        self.error = error

    def __iter__(self):
        return self

    def __next__(self):
        raise self.error


@pytest.mark.parametrize("error", [KeyError("k"), ValueError("v"), TypeError("t"), RuntimeError("r")],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("source", [_raising_generator, _RaisingIter, _RaisingNext])
def test_keyword_value_iteration_errors_propagate_unchanged_and_change_nothing(source, error):
    objs = [Indexable(x=1, y="a"), Indexable(x=2, y="b")]
    index = Index()
    index.add_object_many(objs)
    for method in (index.get_by_attribute, index.reduce):
        with pytest.raises(type(error)) as info:
            method(y="a", x=source(error))
        assert info.value is error
    assert index.get_by_attribute(x=[1, 2]) == objs and index.get_by_attribute(y="b") == [objs[1]]


def _int_with_the_hash_of_a_str():
    text = next(s for s in (f"k{i}" for i in itertools.count()) if abs(hash(s)) < 2**61 - 1 and hash(s) != -1)
    return text, hash(text)


TEXT, TEXT_HASH = _int_with_the_hash_of_a_str()
UNHASHABLE = [1]
NO_HASH = BadHash()
ALONE = Indexable(a=1)
P = 2**61 - 1  # ints that differ by P hash alike
STORED = [0, False, "", 1, -1, -2, 97, 97 + P, 98, 8, 2**64, 2**70, -(2**70), 2**63, 2**63 - 1, "ab", "a", TEXT, TEXT_HASH,
          UNHASHABLE, NO_HASH, None, (1, 2), "\ud800", ALONE, 5]


def _same_entry(value, expected):
    if value is expected:
        return True
    if type(value) is not type(expected) or isinstance(value, (list, BadHash, Indexable)):
        return False
    return value == expected


@pytest.mark.parametrize("query, expected", [
    ("ab", ["ab"]), (StrSub("ab"), ["ab"]),  # a str is one value, not its characters
    (b"ab", [97, 98]),  # bytes are iterated: their items are ints
    (1.0, [1]), (True, [1]), (Color.RED, [1]), (IntSub(5), [5]), ([False], [0, False]), (0.0, [0, False]),
    (-1, [-1]), (-2, [-2]), ([-1, -2], [-1, -2]), (97, [97]), (97 + P, [97 + P]), (-0.0, [0, False]),
    (8, [8]), (2**64, [2**64]), (2**70, [2**70]), (float(2**70), [2**70]), (-(2**70), [-(2**70)]),
    (float(2**63), [2**63]), (2**63 - 1, [2**63 - 1]),
    (TEXT, [TEXT]), (TEXT_HASH, [TEXT_HASH]),
    ([UNHASHABLE], [UNHASHABLE]), ([[1]], []), ([NO_HASH], [NO_HASH]), ([BadHash()], []),
    (None, [None]), ([(1, 2)], [(1, 2)]), (chr(0xD800), ["\ud800"]), ("?", []),
    (ALONE, [ALONE]), (Indexable(a=1), []),
    ({97: "x", 5: "y"}, [97, 5]), ({"a", "ab"}, ["a", "ab"]), (range(96, 99), [97, 98]), ([], []), ((), []),
    ((v for v in ["a", 1]), ["a", 1]),
], ids=repr)
def test_keyword_values_match_by_value_equality(query, expected):
    objs = [Indexable(v=value) for value in STORED]
    index = Index()
    index.add_object_many(objs)
    want = [i for i, value in enumerate(STORED) if any(_same_entry(value, e) for e in expected)]
    assert positions(index.get_by_attribute(v=query), objs) == want


def test_keyword_names_intersect_and_values_of_one_name_unite():
    objs = [Indexable(color=c, size=s, **{"a.b": s}) for c in ("red", "blue", "green") for s in (1, 2)]
    index = Index()
    index.add_object_many(objs)
    assert positions(index.get_by_attribute(color=["red", "green"]), objs) == [0, 1, 4, 5]
    assert positions(index.get_by_attribute(color=["red", "green"], size=2), objs) == [1, 5]
    assert positions(index.get_by_attribute(size=1, color="blue"), objs) == [2]
    assert positions(index.get_by_attribute(**{"a.b": 2}), objs) == [1, 3, 5]
    assert index.get_by_attribute() == []
    assert index.get_by_attribute(color="red", missing=1) == index.get_by_attribute(missing=[1, 2]) == []
    assert index.get_by_attribute(color="red", size=3) == index.get_by_attribute(color="purple") == []
    assert Index().get_by_attribute(color="red") == []


def test_reduce_narrows_every_value_set_while_collect_keeps_everything():
    objs = [Indexable(color=c, size=s) for c, s in [("red", 1), ("blue", 1), ("red", 2), ("green", 2)]]
    index = Index()
    index.add_object_many(objs)
    index.reduce(color=["red", "blue"], size=1)  # names intersect here too: only objs[0] and objs[1]
    assert positions(index.get_by_attribute(color=["red", "blue", "green"]), objs) == [0, 1]
    assert positions(index.get_by_attribute(size=[1, 2]), objs) == [0, 1]
    assert index.collect() == objs
    objs[2].size = 3  # an assignment indexes that one attribute again
    assert positions(index.get_by_attribute(size=[1, 2, 3]), objs) == [0, 1, 2]
    assert index.get_by_attribute(color="red") == [objs[0]]
    index.reduce(missing=1)
    assert index.get_by_attribute(size=[1, 2, 3]) == [] and index.collect() == objs
    index.add_object(objs[3])  # adding again indexes all of an object's values again
    assert index.get_by_attribute(color="green") == index.get_by_attribute(size=2) == [objs[3]]
    index.reduce()
    assert index.get_by_attribute(color="green") == [] and index.collect() == objs


def test_nested_values_follow_reassignment_and_cycles_terminate():
    a, twin, b = Indexable(name="a"), Indexable(name="a"), Indexable(name="b")
    x, y = Indexable(k="x"), Node(k="y")
    index = Index()
    index.add_object_many([x, y])
    x.child = a
    y.child = a
    assert index.get_by_attribute(child=a) == [x, y] and index.get_by_attribute(child=twin) == []
    x.child = b
    assert index.get_by_attribute(child=a) == [y] and index.get_by_attribute(child=b) == [x]
    x.child, y.child = y.child, x.child  # swap between holders
    b.name = "renamed"
    a.child = b
    assert index.get_by_attribute(child=a) == [x] and index.get_by_attribute(child=b) == [y]
    # cycles and self references, held by several indexes and re-assigned inside the cycle
    p, q, r = Indexable(n=1), Indexable(n=2), Indexable(n=3)
    p.next, q.next, r.next = q, r, p
    holders = [Index() for _ in range(3)]
    for h, start in zip(holders, (p, q, r)):
        h.add_object(start)
    holders[0].add_object_many([p, q, r])
    for obj, value in [(p, p), (q, p), (r, r), (p, r), (q, q), (r, q), (p, q), (q, r), (r, p)]:
        obj.next = value
    assert positions(holders[0].get_by_attribute(next=[p, q, r]), [p, q, r]) == [0, 1, 2]
    assert holders[1].get_by_attribute(next=r) == [q] and holders[2].get_by_attribute(n=3) == [r]


def test_a_too_deep_chain_is_refused_with_nothing_indexed(run_python):
    result = run_python("""
from Vantorelle import Index, Indexable, _verify_index

def chain(n):
    nodes = [Indexable(i=k) for k in range(n)]
    for node, nxt in zip(nodes, nodes[1:]):
        node.next = nxt
    return nodes[0]

deep = chain(100_000)
holder = Indexable(child=None)
index = Index()
index.add_object(holder)
for attempt in (lambda: index.add_object(deep), lambda: index.add_object_many([Indexable(), deep]),
                lambda: setattr(holder, "child", deep)):
    try:
        attempt()
        print("no error")
    except RecursionError:
        print(index.collect() == [holder], index.get_by_attribute(i=0), holder.child)
shallow = chain(500)
index.add_object(shallow)
print(index.get_by_attribute(i=[0, 1]) == [shallow], len(index.collect()))
""")
    assert result.stdout == "True [] None\n" * 3 + "True 2\n", result.stderr
    assert result.returncode == 0, result.stderr


class Objects:
    """A sequence that add_object_many turns into a list through __iter__, which first calls `during`."""

    def __init__(self, objs, during):
        self.objs, self.during = objs, during

    def __len__(self):
        return len(self.objs)

    def __getitem__(self, i):
        return self.objs[i]

    def __iter__(self):
        self.during()
        return iter(self.objs)


def test_calls_made_from_inside_a_call_are_refused_not_deadlocked():
    obj = Indexable(x=1)
    index = Index()
    seen = []

    def try_all():
        for call in (lambda: index.add_object(obj), lambda: index.add_object_many([obj]), lambda: index.reduce(x=1),
                     index.collect, lambda: index.get_by_attribute(x=1)):
            try:
                seen.append(call())
            except RuntimeError as error:
                seen.append(str(error))

    def values():
        try_all()
        yield 1

    exclusive = ["Already borrowed"] * 3 + ["Already mutably borrowed"] * 2
    index.add_object_many(Objects([obj], try_all))
    assert seen == exclusive and index.collect() == [obj]
    seen.clear()
    assert index.get_by_attribute(x=values()) == [obj]
    assert seen == ["Already borrowed"] * 3 + [[obj], [obj]]
    seen.clear()
    index.reduce(x=values())
    assert seen == exclusive and index.get_by_attribute(x=1) == [obj]


def test_another_thread_is_refused_while_add_object_many_runs():
    obj = Indexable(x=1)
    index = Index()
    inside, done = threading.Event(), threading.Event()
    worker = threading.Thread(target=index.add_object_many, daemon=True,
                              args=(Objects([obj], lambda: inside.set() or done.wait(10)),))
    worker.start()
    try:
        assert inside.wait(10)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            index.add_object(Indexable())
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            index.get_by_attribute(x=1)
    finally:
        done.set()
        worker.join(10)
    assert not worker.is_alive()
    assert index.collect() == [obj] == index.get_by_attribute(x=1)


def chain_of(n):
    nodes = [Indexable(level=k) for k in range(n)]
    for node, nxt in zip(nodes, nodes[1:]):
        node.nx = nxt
    return nodes


def test_a_value_that_only_holds_its_holder_may_sit_at_the_deepest_level():
    nodes = chain_of(1000)
    index = Index()
    index.add_object(nodes[0])
    nodes[-1].child = Indexable(back=nodes[-1])  # level 1000; the cycle back is cut
    assert _verify_index(index) == ""
    with pytest.raises(RecursionError):
        nodes[-1].child = Indexable(down=Indexable())  # level 1001


def test_names_beginning_with_underscore_count_towards_the_limit_where_they_are_indexed():
    deep = chain_of(1001)
    root = Indexable(k=1, _p=deep[0])
    index = Index()
    index.add_object(root)  # "_p" is not indexed here
    with pytest.raises(RecursionError):
        index.reduced(k=1).rebase()
    other = Indexable(k=2)
    plain = Index()
    plain.add_object(other)
    rebased = plain.reduced(k=2).rebase()
    with pytest.raises(RecursionError):
        other._q = deep[0]
    assert not hasattr(other, "_q") and _verify_index(rebased) == ""
    other._q = deep[1]  # 1000 levels below the root: allowed
    assert _verify_index(rebased) == ""
    state = rebased.__reduce__()[2]
    with pytest.raises(RecursionError):
        Index().__setstate__((state[0] + [root], state[1], True))
