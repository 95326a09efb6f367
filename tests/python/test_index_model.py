"""Random sequences of adds, assignments, filters and reduces, checked against a plain Python model.

The model keeps, per index, the stored objects and which of their attribute names are currently
hidden from filters: `reduce(**kw)` hides every attribute of the objects it does not match (their
ids leave every value set) and re-indexes all attributes of the objects it does match; an
assignment makes that one name visible again in every index holding the object, and adding an
object again makes all of its names visible.
"""
import enum

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from Vantorelle import Index, Indexable, _verify_index


class BadHash:
    def __hash__(self):
        raise RuntimeError("no hash")


class Color(enum.IntEnum):
    RED = 1


class Node(Indexable):
    pass


NAMES = ["a", "b", "", "_p", "child"]
SCALARS = [0, 1, -1, -2, 1.0, True, False, 0.0, 2**64, 8, 2**70, "", "a", "1", None, (1, 2), [1], [1], BadHash(),
           float("nan"), Color.RED]
MAX_OBJECTS = 8


def same(a, b):
    """Value equality as the index sees it."""
    if a is b:
        return True
    if isinstance(a, Indexable) or isinstance(b, Indexable):
        return False
    try:
        hash(a), hash(b)
    except Exception:
        return False
    return a == b


def indexed(name):
    return not name.startswith("_")


class IndexModel(RuleBasedStateMachine):
    @initialize(count=st.integers(2, 3))
    def setup(self, count):
        self.objs = []
        self.attrs = {}  # id(obj) -> {name: value}
        self.indexes = [(Index(), {}) for _ in range(count)]  # (index, {id(obj): hidden names})

    def value(self, data):
        return self.pick(data, SCALARS + self.objs, "value")

    def pick(self, data, items, label):
        return items[data.draw(st.integers(0, len(items) - 1), label=label)]

    def query(self, data):
        names = data.draw(st.lists(st.sampled_from(NAMES), min_size=0, max_size=2, unique=True), label="names")
        values = SCALARS + self.objs  # drawn by position: sampled_from would hash them
        return {name: [values[i] for i in data.draw(st.lists(st.integers(0, len(values) - 1), max_size=3), label=name)]
                for name in names}

    def expected(self, hidden, query):
        if not query:
            return []
        return [o for o in self.objs if id(o) in hidden and all(
            indexed(name) and name not in hidden[id(o)] and name in self.attrs[id(o)]
            and any(same(self.attrs[id(o)][name], v) for v in values)
            for name, values in query.items())]

    @precondition(lambda self: len(self.objs) < MAX_OBJECTS)
    @rule(data=st.data(), subclass=st.booleans())
    def create(self, data, subclass):
        names = data.draw(st.lists(st.sampled_from(NAMES), max_size=4, unique=True), label="names")
        attrs = {name: self.value(data) for name in names}
        obj = (Node if subclass else Indexable)(**attrs)
        self.objs.append(obj)
        self.attrs[id(obj)] = attrs

    def stored(self, hidden, objs):
        for obj in objs:
            hidden[id(obj)] = set()

    @precondition(lambda self: self.objs)
    @rule(data=st.data())
    def add_one(self, data):
        index, hidden = self.pick(data, self.indexes, "index")
        obj = self.pick(data, self.objs, "obj")
        index.add_object(obj)
        self.stored(hidden, [obj])

    @precondition(lambda self: self.objs)
    @rule(data=st.data())
    def add_many(self, data):
        index, hidden = self.pick(data, self.indexes, "index")
        objs = [self.objs[i] for i in data.draw(st.lists(st.integers(0, len(self.objs) - 1), max_size=5), label="objs")]
        index.add_object_many(objs)
        self.stored(hidden, objs)

    def assign(self, obj, name, value):
        setattr(obj, name, value)
        self.attrs[id(obj)][name] = value
        for _, hidden in self.indexes:
            if id(obj) in hidden:
                hidden[id(obj)].discard(name)

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), name=st.sampled_from(NAMES))
    def assign_value(self, data, name):
        self.assign(self.pick(data, self.objs, "obj"), name, self.value(data))

    @precondition(lambda self: len(self.objs) >= 2)
    @rule(data=st.data())
    def swap_children(self, data):
        x, y = self.pick(data, self.objs, "x"), self.pick(data, self.objs, "y")
        cx, cy = self.attrs[id(x)].get("child", y), self.attrs[id(y)].get("child", x)
        self.assign(x, "child", cy)
        self.assign(y, "child", cx)

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), quiet=st.booleans())
    def remove(self, data, quiet):
        index, hidden = self.pick(data, self.indexes, "index")
        obj = self.pick(data, self.objs, "obj")
        if quiet:
            index.discard(obj)
        elif id(obj) in hidden:
            index.remove_object(obj)
        else:
            with pytest.raises(KeyError):
                index.remove_object(obj)
        hidden.pop(id(obj), None)

    @rule(data=st.data())
    def filter(self, data):
        index, hidden = self.pick(data, self.indexes, "index")
        query = self.query(data)
        assert index.get_by_attribute(**query) == self.expected(hidden, query)

    @rule(data=st.data())
    def reduce(self, data):
        index, hidden = self.pick(data, self.indexes, "index")
        query = self.query(data)
        matched = {id(o) for o in self.expected(hidden, query)}
        index.reduce(**query)
        for key in hidden:
            hidden[key] = set() if key in matched else {n for n in self.attrs[key] if indexed(n)}

    @invariant()
    def filters_agree_with_the_model(self):
        values = SCALARS + self.objs
        for index, hidden in self.indexes:
            assert _verify_index(index) == ""
            stored = [o for o in self.objs if id(o) in hidden]
            assert index.collect() == stored
            assert len(index) == len(stored) and list(index) == stored
            assert all((o in index) == (id(o) in hidden) for o in self.objs)
            for name in NAMES:
                for value in values:
                    query = {name: [value]}
                    assert index.get_by_attribute(**query) == self.expected(hidden, query), (name, value)


TestIndexModel = IndexModel.TestCase
TestIndexModel.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
