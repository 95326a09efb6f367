"""The whole public API driven at random against a plain Python model, with values that misbehave.

Objects, indexes, views and query trees are made, changed, narrowed, united, copied and dropped in
random order. Some attribute and filter values are hostile: their `__hash__` or `__eq__` raises (an
ordinary exception or `KeyboardInterrupt`), sleeps, or re-enters the module (queries an index, adds
to it, withdraws from it, assigns to an object, possibly the one being assigned, or collects
garbage). Whatever they do, the module must not crash, must raise what the README promises, and
must answer afterwards as the model says: a call that fails changes nothing, and what a hostile
value did from inside a call happened before the call's own change (values are converted first).

The model keeps, per index, the stored objects and the names `reduce` hid them under (as in
test_index_model.py), and whether the index was made by `rebase` (whose own level indexes names
beginning with `_`). Re-entrant work done by a hostile value is logged in order, with its outcome,
and replayed into the model after the call; a re-entrant call is refused exactly when the outer
call holds the same index ("Already borrowed" / "Already mutably borrowed").

Dotted answers that go round a cycle of objects through two or more levels depend on the order
the objects arrived in (README, `union_with`); there the model only checks that the answer is part
of the plain reading.

VANTORELLE_MODEL_EXAMPLES and VANTORELLE_MODEL_STEPS raise the number of runs (default 80) and of
steps per run (default 30) for a longer hunt.
"""
import copy
import faulthandler
import gc
import itertools
import os
import threading
import time
import weakref

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from Vantorelle import FilteredIndex, Index, Indexable, PyQueryExpr as Q, _verify_index


class Node(Indexable):
    pass


class Keyed(Indexable):
    """Hashes by its attribute `a`, which changes while it is stored: still matched by identity."""

    def __hash__(self):
        return hash(repr(self.__getstate__().get("a")))


class Hooks:
    """What hostile values may do now: nothing but raise while the model reads (quiet), and the
    re-entrant work they did during the current call, in order."""

    def __init__(self):
        self.quiet = False
        self.log = []

    def behave(self, mode, action):
        if self.quiet:
            return
        if mode == "slow":
            time.sleep(0.001)
        elif mode == "act" and action is not None:
            self.log.append(action.run())


HOOKS = Hooks()



class Hostile:
    """Equal to the Hostiles of its key. Key 1's `__eq__` raises RuntimeError, key 2's
    KeyboardInterrupt (so those match only themselves, and converting a key-2 value next to another
    one of its hash may fail); `hash_mode` "raise" makes it match only itself, "kbd" makes every
    conversion of it fail. Ordering is never asked for."""

    def __init__(self, key, hash_mode, eq_mode, action, run):
        self.key, self.hash_mode, self.eq_mode, self.action = key, hash_mode, eq_mode, action
        # Hostiles of earlier runs may still be alive in garbage: they never meet this run's.
        self.hash = 0x5EED5EED00 + 4 * run + key

    def __hash__(self):
        if self.hash_mode == "raise":
            raise RuntimeError("hostile __hash__")
        if self.hash_mode == "kbd":
            raise KeyboardInterrupt("hostile __hash__")
        if self.hash_mode == "sleep":
            time.sleep(0.002)  # even while the model reads: another thread runs meanwhile
        HOOKS.behave(self.hash_mode, self.action)
        return self.hash

    def __eq__(self, other):
        if self.key == 1:
            raise RuntimeError("hostile __eq__")
        if self.key == 2:
            raise KeyboardInterrupt("hostile __eq__")
        HOOKS.behave(self.eq_mode, self.action)
        if not isinstance(other, Hostile):
            return NotImplemented
        return self.hash == other.hash

    def __lt__(self, other):
        raise RuntimeError("hostile values are never ordered")

    def __deepcopy__(self, memo):
        # A copy would join this value's class and run its action on copies the model never sees.
        return self

    __le__ = __gt__ = __ge__ = __lt__

    def __repr__(self):
        return f"Hostile(key={self.key}, hash={self.hash_mode}, eq={self.eq_mode}, {self.action})"


class Values:
    """A filter value that is a sequence of values, iterated with a misbehaving `__iter__`."""

    def __init__(self, items, mode, action):
        self.items, self.mode, self.action = list(items), mode, action

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.mode == "kbd":
            raise KeyboardInterrupt("hostile __iter__")
        HOOKS.behave(self.mode, self.action)
        return self._items()

    def _items(self):
        for i, item in enumerate(self.items):
            if self.mode == "raise" and i == 1:
                raise RuntimeError("hostile iteration")
            yield item
        if self.mode == "raise" and len(self.items) <= 1:
            raise RuntimeError("hostile iteration")

    def __repr__(self):
        return f"Values({self.items!r}, {self.mode})"


class Action:
    """One piece of re-entrant work; idempotent, so the number of times a hook runs never matters,
    only the order of what ran."""

    def __init__(self, kind, entry=None, obj=None, name=None, value=None, other=None):
        self.kind, self.entry, self.obj, self.name, self.value = kind, entry, obj, name, value
        self.other = other

    def run(self):
        try:
            if self.kind == "add":
                result = self.entry.index.add_object(self.obj)
            elif self.kind == "discard":
                result = self.entry.index.discard(self.obj)
            elif self.kind == "assign":
                result = setattr(self.obj, self.name, self.value)
            elif self.kind == "query":
                result = self.entry.index.get_by_attribute(**{self.name: [self.value]})
            elif self.kind == "reduce":
                result = self.entry.index.reduce(**{self.name: [self.value]})
            elif self.kind == "union":
                result = self.entry.index.union_with(self.other.index)
            else:
                result = gc.collect()
        except Exception as error:  # noqa: BLE001 - the outcome is the model's to judge
            return self, error, None
        return self, None, result

    def __repr__(self):
        return f"Action({self.kind}, {self.name!r}, {self.value!r})"


class Entry:
    """An index and its model: stored objects (by id) with the names reduce hid them under."""

    def __init__(self, index, private=False, origin="Index()"):
        self.index, self.private, self.hidden, self.origin = index, private, {}, origin

    def __repr__(self):
        return f"<Entry {self.origin}, {len(self.hidden)} objects>"

    def indexes(self, name):
        return self.private or not name.startswith("_")


class View:
    def __init__(self, entry, view, ids):
        self.entry, self.view, self.ids = entry, view, ids


class Mortal:
    """A value whose finalizer reads the indexes and assigns to an object of its own: it runs
    whenever the value's last reference goes, wherever the module lets it go, and must find no
    native lock held (a lock held there would deadlock or hand back half-made data)."""

    entries = []  # the current run's own list of entries, so that dropped indexes can go
    scratch = Indexable(n=0)
    scratch_index = Index()
    scratch_index.add_object(scratch)
    errors = []

    def __del__(self):
        try:
            for index in [entry.index for entry in Mortal.entries]:
                len(index), list(index), index.get_by_attribute(a=[0, 1])
                index.reduced_query(Q.or_(Q.gt("a", 0), Q.eq("child.a", 1))).collect()
            Mortal.scratch.n = Mortal.scratch.n + 1
            assert _verify_index(Mortal.scratch_index) == ""
        except RuntimeError as error:
            if "borrowed" not in str(error):
                Mortal.errors.append(error)
        except Exception as error:  # noqa: BLE001 - reported by the invariant
            Mortal.errors.append(error)


class BadEq:
    """Equal to nothing, and says so by raising."""

    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = object.__hash__


NAN = float("nan")
SCALARS = [0, 1, -1, -2, 1.0, 2.5, -0.0, True, False, 2**63 - 1, -2**63, 2**64, "", "a", "1", b"a", None,
           (1, 2), (1.0, 2), [1], NAN, float("nan"), float("inf"), BadEq()]
BOUNDS = [0, 1, -1, 1.5, -0.5, 2.5, 2**63 - 1, -2**63, float("inf"), float("-inf"), NAN, True, "a", None]
NAMES = ["a", "b", "", "_p", "child"]
PATHS = NAMES + ["child.a", "child.b", "child.child", "child.child.a", "child._p", "_p.a", "a.b", "child."]
MAX_OBJECTS = 8
RUNS = itertools.count()
MAX_HOSTILES = 6
MAX_INDEXES = 5


def numeric(value):
    return type(value) is float or (type(value) is int and -2**63 <= value < 2**63)


def same(a, b):
    """Value equality as the index sees it."""
    if a is b:
        return True
    if isinstance(a, (Indexable, BadEq, Mortal)) or isinstance(b, (Indexable, BadEq, Mortal)):
        return False
    if isinstance(a, Hostile) or isinstance(b, Hostile):
        return (isinstance(a, Hostile) and isinstance(b, Hostile) and a.hash == b.hash and a.key == 0
                and "raise" not in (a.hash_mode, b.hash_mode))
    try:
        hash(a), hash(b)
    except TypeError:
        return False
    return a == b


def compare(kind, value, bound):
    if not (numeric(value) and numeric(bound)):
        return False
    if kind == "gt":
        return value > bound
    if kind == "ge":
        return value >= bound
    if kind == "lt":
        return value < bound
    return value <= bound


def conversion_errors(values):
    """(errors a conversion of `values` must raise one of, errors it may raise). Lists are
    iterated, each item converted."""
    must, may = set(), set()
    for value in values:
        if isinstance(value, (list, tuple)):
            inner_must, inner_may = conversion_errors(value)
            must |= inner_must
            may |= inner_may
        elif isinstance(value, Values):
            inner_must, inner_may = conversion_errors(value.items)
            if value.mode in ("kbd", "raise"):
                must.add(KeyboardInterrupt if value.mode == "kbd" else RuntimeError)
                may |= inner_must | inner_may
            else:
                must |= inner_must
                may |= inner_may
        elif isinstance(value, Hostile):
            if value.hash_mode == "kbd":
                must.add(KeyboardInterrupt)
            elif value.key == 2 and value.hash_mode != "raise":
                may.add(KeyboardInterrupt)
    return must, may


def query_values(tree):
    kind = tree[0]
    if kind in ("and", "or"):
        return [v for child in tree[1] for v in query_values(child)]
    if kind == "not":
        return query_values(tree[1])
    if kind == "in":
        return [tree[2]]
    return list(tree[2:])


def overflows(tree):
    """Whether a range bound of the tree is an int beyond 64 bits (refused when it is built)."""
    kind = tree[0]
    if kind in ("and", "or"):
        return any(overflows(child) for child in tree[1])
    if kind == "not":
        return overflows(tree[1])
    return kind in ("gt", "ge", "lt", "le", "bt") and any(type(v) is int and not numeric(v) for v in tree[2:])


def build(tree):
    kind = tree[0]
    if kind in ("and", "or"):
        return getattr(Q, kind + "_")(*[build(child) for child in tree[1]])
    if kind == "not":
        return Q.not_(build(tree[1]))
    if kind == "in":
        return Q.in_(tree[1], tree[2])
    if kind == "bt":
        return Q.bt(tree[1], tree[2], tree[3])
    return getattr(Q, kind)(tree[1], tree[2])


class ApiModel(RuleBasedStateMachine):
    @initialize(count=st.integers(1, 3), palette=st.lists(st.sampled_from(SCALARS), min_size=2, max_size=7,
                                                          unique_by=id),
                bounds=st.lists(st.sampled_from(BOUNDS), min_size=1, max_size=4, unique_by=id), data=st.data())
    def setup(self, count, palette, bounds, data):
        # Each run draws from a few scalars, so that values meet again in later steps.
        self.palette, self.bounds = palette, bounds
        self.run = next(RUNS)
        self.objs = []
        self.attrs = {}
        self.entries = [Entry(Index()) for _ in range(count)]  # the first is never dropped
        self.every_entry = weakref.WeakSet(self.entries)
        self.views = []
        self.hostiles = []
        self.borrowed = None  # (entry, "shared" | "exclusive") while a call holds an index
        Mortal.entries = self.entries
        for _ in range(data.draw(st.integers(2, 5), label="objects")):
            names = data.draw(st.lists(st.sampled_from(NAMES), max_size=3, unique=True), label="names")
            attrs = {name: self.pick(data, self.palette + self.objs, "value") for name in names}
            obj = Indexable(**attrs)
            self.objs.append(obj)
            self.attrs[id(obj)] = attrs
            for entry in self.entries:
                if data.draw(st.booleans(), label="stored"):
                    entry.index.add_object(obj)
                    entry.hidden[id(obj)] = set()

    def teardown(self):
        HOOKS.quiet, HOOKS.log = False, []
        Mortal.entries = []

    # --- drawing ----------------------------------------------------------------------------

    def pick(self, data, items, label):
        return items[data.draw(st.integers(0, len(items) - 1), label=label)]

    def pool(self):
        return self.palette + self.objs + self.hostiles + [e.index for e in self.entries[:1]]

    def value(self, data):
        if data.draw(st.integers(0, 9), label="mortal") == 9:
            return Mortal()
        return self.pick(data, self.pool(), "value")

    def probe(self, data):
        """A value to look for: often one that some object carries, so that answers are not empty."""
        carried = list({id(v): v for attrs in self.attrs.values() for v in attrs.values()}.values())
        if carried and data.draw(st.booleans(), label="carried"):
            return self.pick(data, carried, "carried value")
        return self.value(data)

    def filter_value(self, data):
        """A keyword filter value: one value, a list (any of its items) or a misbehaving sequence."""
        how = data.draw(st.sampled_from(["one", "list", "list", "values"]), label="how")
        items = [self.probe(data) for _ in range(data.draw(st.integers(0, 3), label="n"))]
        if how == "one":
            value = self.probe(data)
            return value if not isinstance(value, (list, tuple, bytes, Index)) else [value]
        if how == "list":
            return items
        return Values(items, data.draw(st.sampled_from(["ok", "raise", "kbd", "act"]), label="mode"),
                      self.action(data))

    def keywords(self, data):
        names = data.draw(st.lists(st.sampled_from(NAMES), max_size=2, unique=True), label="names")
        return {name: self.filter_value(data) for name in names}

    def action(self, data):
        kind = data.draw(st.sampled_from(["add", "discard", "assign", "query", "reduce", "union", "gc"]),
                         label="action")
        if kind == "gc":
            return Action(kind)
        entry = self.pick(data, self.entries, "target index")
        plain = [v for v in self.palette if not isinstance(v, (BadEq, list))] or [0]
        value = self.pick(data, plain, "target value")
        name = data.draw(st.sampled_from(NAMES), label="target name")
        if kind in ("query", "reduce"):
            return Action(kind, entry, name=name, value=value)
        if kind == "union":
            return Action(kind, entry, other=self.pick(data, self.entries, "other index"))
        if not self.objs:
            return Action("gc")
        return Action(kind, entry, self.pick(data, self.objs, "target obj"), name, value)

    def query_tree(self, data, depth=0):
        kind = data.draw(st.sampled_from(["gt", "eq", "lt", "in", "ne", "ge", "le", "bt"]
                                         + (["and", "or", "not"] if depth < 3 else [])), label="kind")
        if kind in ("and", "or"):
            return (kind, [self.query_tree(data, depth + 1) for _ in range(data.draw(st.integers(0, 3)))])
        if kind == "not":
            return (kind, self.query_tree(data, depth + 1))
        path = data.draw(st.sampled_from(PATHS[:1] * 4 + PATHS[:5] + PATHS), label="path")
        if kind in ("eq", "ne"):
            return (kind, path, self.probe(data))
        if kind == "in":
            values = [self.probe(data) for _ in range(data.draw(st.integers(0, 3)))]
            if data.draw(st.integers(0, 3), label="hostile sequence") == 3:
                values = Values(values, data.draw(st.sampled_from(["ok", "raise", "kbd", "act"]), label="mode"),
                                self.action(data))
            return (kind, path, values)
        if kind == "bt":
            numbers = [b for b in self.bounds + self.palette if numeric(b)] or [0]
            return (kind, path, self.pick(data, numbers, "lower"), self.pick(data, numbers, "upper"))
        bound = data.draw(st.sampled_from(["bound", "bound", "hostile", "big"]), label="bound kind")
        if bound == "hostile" and self.hostiles:
            return (kind, path, self.pick(data, self.hostiles, "bound"))
        return (kind, path, 2**64 if bound == "big" else self.pick(data, self.bounds + self.palette, "bound"))

    # --- the model --------------------------------------------------------------------------

    def stored(self, entry):
        return [o for o in self.objs if id(o) in entry.hidden]

    def visible(self, entry, obj, name):
        return entry.indexes(name) and name in self.attrs[id(obj)] and name not in entry.hidden[id(obj)]

    def keyword_ids(self, entry, query):
        if not query:
            return set()
        found = set()
        for obj in self.stored(entry):
            if all(self.visible(entry, obj, name)
                   and any(same(self.attrs[id(obj)][name], v) for v in self.items_of(values))
                   for name, values in query.items()):
                found.add(id(obj))
        return found

    @staticmethod
    def items_of(value):
        if isinstance(value, (list, tuple, Values)):
            return list(value.items if isinstance(value, Values) else value)
        if isinstance(value, bytes):
            return list(value)
        return [value]

    def has_cycle(self):
        state = {}

        def walk(obj):
            state[id(obj)] = 1
            for value in self.attrs[id(obj)].values():
                if isinstance(value, Indexable) and id(value) in self.attrs:
                    mark = state.get(id(value))
                    if mark == 1 or (mark is None and walk(value)):
                        return True
            state[id(obj)] = 2
            return False

        return any(state.get(id(o)) is None and walk(o) for o in self.objs)

    def follow(self, entry, obj, path):
        """The value at `path` below a stored object, or a reason there is none."""
        parts = path.split(".")
        if not entry.indexes(parts[0]):
            return None, False
        current = obj
        for depth, part in enumerate(parts):
            if depth > 0 and part.startswith("_"):
                return None, False
            attrs = self.attrs.get(id(current))
            if attrs is None or part not in attrs:
                return None, False
            if depth == len(parts) - 1:
                return attrs[part], True
            current = attrs[part]
            if not isinstance(current, Indexable):
                return None, False
        return None, False

    def leaf(self, entry, universe, kind, path, args):
        """(ids, certain) of one leaf."""
        dotted = "." in path
        certain = path.count(".") < 2 or not self.has_cycle()
        found = set()
        for obj in self.stored(entry):
            value, present = self.follow(entry, obj, path)
            if not present:
                continue
            if kind == "eq":
                if (dotted or path not in entry.hidden[id(obj)]) and same(value, args[0]):
                    found.add(id(obj))
            elif kind == "in":
                wanted = self.items_of(args[0])
                if (dotted or path not in entry.hidden[id(obj)]) and any(same(value, v) for v in wanted):
                    found.add(id(obj))
            elif kind == "bt":
                if compare("ge", value, args[0]) and compare("le", value, args[1]):
                    found.add(id(obj))
            elif compare(kind, value, args[0]):
                found.add(id(obj))
        return found & universe, certain

    def evaluate(self, entry, universe, tree):
        kind = tree[0]
        if kind in ("and", "or"):
            parts = [self.evaluate(entry, universe, child) for child in tree[1]]
            if not parts:
                return set(), True
            sets = [p[0] for p in parts]
            result = set.intersection(*sets) if kind == "and" else set.union(*sets)
            return result, all(p[1] for p in parts)
        if kind == "not":
            inner, certain = self.evaluate(entry, universe, tree[1])
            return universe - inner, certain
        if kind == "ne":
            inner, certain = self.leaf(entry, universe, "eq", tree[1], tree[2:])
            return universe - inner, certain
        return self.leaf(entry, universe, kind, tree[1], tree[2:])

    def ordered(self, ids):
        return [o for o in self.objs if id(o) in ids]

    # --- calling the module -----------------------------------------------------------------

    def call(self, fn, values=(), borrowed=None, also=(), must=False):
        """Runs `fn`, replays what hostile values did meanwhile, and checks any error it raised
        against what converting `values` may raise, or `also` may (must, if `must`). Returns
        (result, error)."""
        must_raise, may = conversion_errors(values)
        may |= set(also)
        if must:
            must_raise |= set(also)
        must = must_raise
        HOOKS.log = []
        self.borrowed = borrowed
        try:
            result, error = fn(), None
        except (Exception, KeyboardInterrupt) as raised:
            result, error = None, raised
        log, HOOKS.log = HOOKS.log, []
        self.replay(log)
        self.borrowed = None
        if error is not None:
            if not isinstance(error, tuple(must | may)):
                raise error
        else:
            assert not must, f"expected one of {must}"
        return result, error

    def replay(self, log):
        for action, error, result in log:
            refused = self.refusal(action)
            if refused:
                assert isinstance(error, RuntimeError) and str(error) == refused, (action, error)
                continue
            assert error is None, (action, error)
            if action.kind == "add":
                action.entry.hidden[id(action.obj)] = set()
            elif action.kind == "discard":
                action.entry.hidden.pop(id(action.obj), None)
            elif action.kind == "assign":
                self.assigned(action.obj, action.name, action.value)
            elif action.kind == "reduce":
                self.reduced_model(action.entry, {action.name: [action.value]})
            elif action.kind == "union":
                self.united_model(action.entry, action.other)
            elif action.kind == "query" and action.entry in self.entries:
                expected = self.ordered(self.keyword_ids(action.entry, {action.name: [action.value]}))
                assert result == expected, action

    def refusal(self, action):
        """The RuntimeError a re-entrant call meets while the outer call holds an index, if any."""
        held, mode = self.borrowed or (None, None)
        if action.kind in ("add", "discard", "reduce", "union") and held is action.entry:
            return "Already borrowed"
        if action.kind == "union" and action.entry is action.other:
            return "Already mutably borrowed"
        if action.kind == "query" and held is action.entry and mode == "exclusive":
            return "Already mutably borrowed"
        if action.kind == "union" and held is action.other and mode == "exclusive":
            return "Already mutably borrowed"
        return None

    def reduced_model(self, entry, query):
        matched = self.keyword_ids(entry, query)
        for key in entry.hidden:
            entry.hidden[key] = set() if key in matched else {n for n in self.attrs[key] if entry.indexes(n)}

    def united_model(self, entry, other):
        for key in other.hidden:
            entry.hidden.setdefault(key, set())

    def assigned(self, obj, name, value):
        self.attrs[id(obj)][name] = value
        for entry in self.all_entries():
            if id(obj) in entry.hidden:
                entry.hidden[id(obj)].discard(name)

    def all_entries(self):
        return list(self.every_entry)

    def new_entry(self, entry):
        self.entries.append(entry)
        self.every_entry.add(entry)

    # --- objects ----------------------------------------------------------------------------

    @precondition(lambda self: len(self.objs) < MAX_OBJECTS)
    @rule(data=st.data(), subclass=st.sampled_from([Indexable, Node, Keyed]))
    def create(self, data, subclass):
        names = data.draw(st.lists(st.sampled_from(NAMES), max_size=3, unique=True), label="names")
        attrs = {name: self.value(data) for name in names}
        obj, error = self.call(lambda: subclass(**attrs), attrs.values())
        if error is None:
            assert obj.__getstate__() .keys() == attrs.keys()
            self.objs.append(obj)
            self.attrs[id(obj)] = dict(attrs)

    @precondition(lambda self: len(self.hostiles) < MAX_HOSTILES)
    @rule(data=st.data(), key=st.sampled_from([0, 0, 0, 1, 2]),
          hash_mode=st.sampled_from(["ok", "raise", "kbd", "slow", "act", "act"]),
          eq_mode=st.sampled_from(["ok", "slow", "act"]))
    def make_hostile(self, data, key, hash_mode, eq_mode):
        self.hostiles.append(Hostile(key, hash_mode, eq_mode, self.action(data), self.run))

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), name=st.sampled_from(NAMES))
    def assign(self, data, name):
        obj = self.pick(data, self.objs, "obj")
        value = self.value(data)
        old = self.attrs[id(obj)].get(name, self)
        _, error = self.call(lambda: setattr(obj, name, value), [value])
        if error is None:
            self.assigned(obj, name, value)
            assert getattr(obj, name) is value
        elif id(obj) in self.attrs:
            current = self.attrs[id(obj)].get(name, self)
            assert (getattr(obj, name, self) is current), (old, current)

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), name=st.sampled_from(NAMES))
    def assign_while_reading(self, data, name):
        """Another thread assigns a value whose __hash__ and __eq__ sleep, while this one asks the
        index again and again: each answer is the one before the assignment or the one after."""
        obj = self.pick(data, self.objs, "obj")
        entry = self.pick(data, self.entries, "index")
        value = Hostile(0, "sleep", "ok", None, self.run)
        current = self.attrs[id(obj)].get(name)
        looked_for = [v for v in [current] + self.palette if not isinstance(v, Hostile)][:2]
        query = {name: looked_for}
        before = self.ordered(self.keyword_ids(entry, query))
        failures = []

        def assign():
            try:
                setattr(obj, name, value)
            except BaseException as error:  # noqa: BLE001 - reported below
                failures.append(error)

        HOOKS.quiet = True
        try:
            thread = threading.Thread(target=assign, daemon=True)
            thread.start()
            answers = []
            while thread.is_alive() and len(answers) < 100:
                answers.append(entry.index.get_by_attribute(**query))
            thread.join(30)
            assert not thread.is_alive(), "the assignment never finished"
        finally:
            HOOKS.quiet = False
        assert not failures, failures
        self.assigned(obj, name, value)
        after = self.ordered(self.keyword_ids(entry, query))
        assert all(answer in (before, after) for answer in answers), (before, after, answers)

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), name=st.sampled_from(NAMES))
    def delete(self, data, name):
        obj = self.pick(data, self.objs, "obj")
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(obj, name)

    @precondition(lambda self: len(self.objs) >= 2)
    @rule(data=st.data())
    def link(self, data):
        """Nests one object in another under `child`, often closing a cycle."""
        x, y = self.pick(data, self.objs, "x"), self.pick(data, self.objs, "y")
        self.call(lambda: setattr(x, "child", y))
        self.assigned(x, "child", y)

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), count=st.integers(6, 12))
    def widen(self, data, count):
        """Gives an object more attributes than the small map holds, then asks for each of them."""
        obj = self.pick(data, self.objs, "obj")
        state = {f"w{i}": self.value(data) for i in range(count)}
        _, error = self.call(lambda: obj.__setstate__(state), state.values())
        if error is not None:
            return
        for name, value in state.items():
            self.assigned(obj, name, value)
        HOOKS.quiet = True
        try:
            for entry in self.entries:
                for name, value in state.items():
                    if not (isinstance(value, Hostile) and (value.hash_mode == "kbd" or value.key == 2)):
                        query = {name: [value]}
                        assert entry.index.get_by_attribute(**query) == self.ordered(self.keyword_ids(entry, query))
        finally:
            HOOKS.quiet = False

    @precondition(lambda self: self.objs)
    @rule(data=st.data())
    def setstate(self, data):
        obj = self.pick(data, self.objs, "obj")
        state = {name: self.value(data) for name in data.draw(st.lists(st.sampled_from(NAMES), max_size=2,
                                                                        unique=True), label="names")}
        _, error = self.call(lambda: obj.__setstate__(state), state.values())
        if error is None:
            for name, value in state.items():
                self.assigned(obj, name, value)

    # --- storing ----------------------------------------------------------------------------

    @precondition(lambda self: self.objs)
    @rule(data=st.data())
    def add_one(self, data):
        entry = self.pick(data, self.entries, "index")
        obj = self.pick(data, self.objs, "obj")
        self.call(lambda: entry.index.add_object(obj))
        entry.hidden[id(obj)] = set()

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), bad=st.booleans(), how=st.sampled_from(["list", "values"]))
    def add_many(self, data, bad, how):
        entry = self.pick(data, self.entries, "index")
        objs = [self.pick(data, self.objs, "obj") for _ in range(data.draw(st.integers(0, 4)))]
        if how == "values" and not bad:
            # A sequence with a misbehaving __iter__, read while the index is held: all or nothing.
            mode = data.draw(st.sampled_from(["ok", "raise", "kbd", "act"]), label="mode")
            sequence = Values(objs, mode, self.action(data))
            _, error = self.call(lambda: entry.index.add_object_many(sequence), [sequence], (entry, "exclusive"))
            if error is None:
                for obj in objs:
                    entry.hidden[id(obj)] = set()
            return
        if bad:
            # One item that is not an Indexable: nothing is stored.
            objs.insert(data.draw(st.integers(0, len(objs))), self.value(data))
            if not all(isinstance(o, Indexable) for o in objs):
                with pytest.raises(TypeError, match="argument 'objs'"):
                    entry.index.add_object_many(objs)
                return
        self.call(lambda: entry.index.add_object_many(tuple(objs) if bad else objs))
        for obj in objs:
            entry.hidden[id(obj)] = set()

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), quiet=st.booleans())
    def remove(self, data, quiet):
        entry = self.pick(data, self.entries, "index")
        obj = self.pick(data, self.objs, "obj")
        if quiet:
            entry.index.discard(obj)
        elif id(obj) in entry.hidden:
            entry.index.remove_object(obj)
        else:
            with pytest.raises(KeyError):
                entry.index.remove_object(obj)
        entry.hidden.pop(id(obj), None)

    @rule(data=st.data())
    def reduce(self, data):
        entry = self.pick(data, self.entries, "index")
        query = self.keywords(data)
        _, error = self.call(lambda: entry.index.reduce(**query), list(query.values()), (entry, "exclusive"))
        if error is None:
            self.reduced_model(entry, query)

    @rule(data=st.data())
    def union(self, data):
        entry, other = self.pick(data, self.entries, "index"), self.pick(data, self.entries, "other")
        if entry is other:
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                entry.index.union_with(other.index)
            return
        entry.index.union_with(other.index)
        self.united_model(entry, other)

    # --- asking -----------------------------------------------------------------------------

    @rule(data=st.data())
    def get_by_attribute(self, data):
        entry = self.pick(data, self.entries, "index")
        query = self.keywords(data)
        result, error = self.call(lambda: entry.index.get_by_attribute(**query), list(query.values()),
                                  (entry, "shared"))
        if error is None:
            assert result == self.ordered(self.keyword_ids(entry, query))

    @rule(data=st.data())
    def reduced(self, data):
        entry = self.pick(data, self.entries, "index")
        query = self.keywords(data)
        view, error = self.call(lambda: entry.index.reduced(**query), list(query.values()), (entry, "shared"))
        if error is None:
            ids = self.keyword_ids(entry, query)
            assert view.collect() == self.ordered(ids)
            self.views.append(View(entry, view, ids))

    @rule(data=st.data())
    def reduced_query(self, data):
        entry = self.pick(data, self.entries, "index")
        tree = self.query_tree(data)
        values = query_values(tree)
        expr, error = self.call(lambda: build(tree), values, also=[OverflowError], must=overflows(tree))
        if error is not None:
            return
        view, error = self.call(lambda: entry.index.reduced_query(expr), (), (entry, "shared"))
        assert error is None
        ids, certain = self.evaluate(entry, set(entry.hidden), tree)
        got = {id(o) for o in view.collect()}
        if certain:
            assert got == ids, tree
            self.views.append(View(entry, view, ids))
        else:
            assert got <= set(entry.hidden)

    @precondition(lambda self: self.views)
    @rule(data=st.data(), keyword=st.booleans())
    def narrow_view(self, data, keyword):
        base = self.pick(data, self.views, "view")
        entry = base.entry
        if keyword:
            query = self.keywords(data)
            view, error = self.call(lambda: base.view.reduced(**query), list(query.values()))
            if error is not None:
                return
            ids = self.keyword_ids(entry, query) & base.ids
        else:
            tree = self.query_tree(data)
            expr, error = self.call(lambda: build(tree), query_values(tree), also=[OverflowError],
                                    must=overflows(tree))
            if error is not None:
                return
            view = base.view.reduced_query(expr)
            ids, certain = self.evaluate(entry, base.ids, tree)
            if not certain:
                return
        assert type(view) is FilteredIndex
        assert view.collect() == self.ordered(ids & set(entry.hidden))
        self.views.append(View(entry, view, ids))

    @precondition(lambda self: self.views and len(self.entries) < MAX_INDEXES)
    @rule(data=st.data())
    def rebase(self, data):
        base = self.pick(data, self.views, "view")
        index = base.view.rebase()
        entry = Entry(index, private=True, origin="rebase")
        for obj in self.ordered(base.ids & set(base.entry.hidden)):
            entry.hidden[id(obj)] = set()
        self.new_entry(entry)

    @rule(data=st.data(), path=st.sampled_from(PATHS))
    def group_by(self, data, path):
        entry = self.pick(data, self.entries, "index")
        members = []
        for obj in self.stored(entry):
            value, present = self.follow(entry, obj, path)
            if present and ("." in path or path not in entry.hidden[id(obj)]):
                members.append((obj, value))
        classes = []
        for obj, value in members:
            for cls in classes:
                if same(cls[0], value):
                    cls[1].add(id(obj))
                    break
            else:
                classes.append((value, {id(obj)}))
        must = set()
        for key, _ in classes:
            if isinstance(key, list):
                must.add(TypeError)
            elif isinstance(key, Hostile) and key.hash_mode == "raise":
                must.add(RuntimeError)
        for bad_key, error in ((1, RuntimeError), (2, KeyboardInterrupt)):
            if sum(isinstance(k, Hostile) and k.key == bad_key for k, _ in classes) > 1:  # one run's hash
                must.add(error)
        groups, error = self.call(lambda: entry.index.group_by(path), borrowed=(entry, "shared"), also=must)
        if must:
            assert error is not None, must
            return
        certain = path.count(".") < 2 or not self.has_cycle()
        if certain:
            assert len(groups) == len(classes), (groups, classes)
        for key, view in groups.items():
            got = {id(o) for o in view.collect()}
            match = [ids for value, ids in classes if same(value, key)]
            assert len(match) == 1, key
            assert got == match[0] if certain else got <= match[0]
            # Keyed by a value that a stored object carries now, not one that left.
            assert any(self.follow(entry, obj, path)[0] is key for obj in self.stored(entry)), key

    @precondition(lambda self: self.objs)
    @rule(data=st.data())
    def membership(self, data):
        entry = self.pick(data, self.entries, "index")
        probe = self.value(data)
        assert (probe in entry.index) == (isinstance(probe, Indexable) and id(probe) in entry.hidden)
        for view in self.views:
            if view.entry is entry:
                assert (probe in view.view) == (isinstance(probe, Indexable) and id(probe) in view.ids
                                                and id(probe) in entry.hidden)

    # --- copies and references ----------------------------------------------------------------

    @precondition(lambda self: len(self.entries) < MAX_INDEXES)
    @rule(data=st.data())
    def shallow_copy(self, data):
        entry = self.pick(data, self.entries, "index")
        HOOKS.quiet = True
        try:
            index = copy.copy(entry.index)
        finally:
            HOOKS.quiet = False
        copied = Entry(index, entry.private, origin=f"copy of {entry.origin}")
        copied.hidden = {key: set(names) for key, names in entry.hidden.items()}
        self.new_entry(copied)

    @rule(data=st.data())
    def deep_copy(self, data):
        entry = self.pick(data, self.entries, "index")
        HOOKS.quiet = True
        try:
            clone = copy.deepcopy(entry.index)
        except KeyboardInterrupt:
            return  # a key-2 value's __eq__ met another value of its hash while copies were made
        finally:
            HOOKS.quiet = False
        assert _verify_index(clone) == ""
        assert len(clone) == len(entry.hidden)
        assert not any(o in clone for o in self.objs)
        # Copies of immutable scalars are the scalars themselves, so they answer as the original.
        for name in NAMES:
            for value in SCALARS:
                if isinstance(value, (list, BadEq)):
                    continue
                query = {name: [value]}
                assert len(clone.get_by_attribute(**query)) == len(self.keyword_ids(entry, query)), query

    @precondition(lambda self: len(self.entries) > 1 or self.views)
    @rule(data=st.data())
    def drop(self, data):
        """Drops an index or a view; the objects stay with the model."""
        if self.views and data.draw(st.booleans(), label="view"):
            self.views.pop(data.draw(st.integers(0, len(self.views) - 1)))
        elif len(self.entries) > 1:
            self.entries.pop(data.draw(st.integers(1, len(self.entries) - 1)))
        gc.collect()

    @precondition(lambda self: self.objs)
    @rule(data=st.data())
    def forget(self, data):
        """Forgets an object nothing in the model holds and checks that it goes."""
        if data.draw(st.integers(0, 3), label="forget") < 3:
            return
        obj = self.pick(data, self.objs, "obj")
        key = id(obj)
        held = any(key in e.hidden for e in self.every_entry) or any(key in v.ids for v in self.views)
        held = held or any(value is obj for attrs in self.attrs.values() for value in attrs.values())
        held = held or any(h.action.obj is obj for h in self.hostiles if h.action is not None)
        if held:
            return
        self.objs.remove(obj)
        del self.attrs[key]
        ref = weakref.ref(obj)
        del obj
        gc.collect()
        assert ref() is None

    # --- after every step -------------------------------------------------------------------

    @invariant()
    def answers_agree_with_the_model(self):
        if not hasattr(self, "entries"):
            return
        HOOKS.quiet = True
        try:
            self.check_answers()
        finally:
            HOOKS.quiet = False

    def check_answers(self):
        assert not Mortal.errors, Mortal.errors
        for obj in self.objs:
            state = obj.__getstate__()
            attrs = self.attrs[id(obj)]
            assert state.keys() == attrs.keys() and all(state[n] is v for n, v in attrs.items())
        probes = [v for v in self.pool() if not (isinstance(v, Hostile) and (v.hash_mode == "kbd" or v.key == 2))]
        for entry in self.entries:
            index = entry.index
            assert _verify_index(index) == ""
            stored = self.stored(entry)
            assert index.collect() == stored
            assert len(index) == len(stored) and list(index) == stored
            for name in NAMES:
                for value in probes:
                    query = {name: [value]}
                    assert index.get_by_attribute(**query) == self.ordered(self.keyword_ids(entry, query)), (
                        entry, name, value)
        for view in self.views:
            expected = self.ordered(view.ids & set(view.entry.hidden))
            assert view.view.collect() == expected and list(view.view) == expected and len(view.view) == len(expected)


@pytest.fixture(autouse=True)
def watchdog():
    """A deadlock fails the run with every thread's traceback instead of hanging it."""
    faulthandler.dump_traceback_later(900, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


TestApiModel = ApiModel.TestCase
TestApiModel.settings = settings(max_examples=int(os.environ.get("VANTORELLE_MODEL_EXAMPLES", "80")),
                                 stateful_step_count=int(os.environ.get("VANTORELLE_MODEL_STEPS", "30")), deadline=None,
                                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
