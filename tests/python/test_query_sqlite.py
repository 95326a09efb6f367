"""Query evaluation checked against sqlite3: random objects (with shared nested owners), random
expression trees, on the index, on views (fresh and stale), on rebased indexes, before and after
reassignments and `reduce`s. (Refused range bounds are covered in test_query.py.)

The model keeps every value in a column with a kind column beside it ('num', 'bool', 'str',
'none', 'ind' for an Indexable, NULL when the attribute is missing), because SQLite alone would
let bools and text take part in ranges. Each expression becomes `o.id IN (SELECT ...)` predicates,
negations complement against the universe. `reduce` narrows only the top-level value sets: an
undotted equality leaf (eq, in_, the positive part of ne, keyword filters) sees an object under a
name only while that pair is shown: `reduce` shows every name of the objects it matches and hides
all others, an assignment shows its name again. Ranges and dotted paths see every object.
"""
import sqlite3
from dataclasses import dataclass

from hypothesis import given, settings
from hypothesis import strategies as st

from Vantorelle import Index, Indexable, PyQueryExpr as Q, _verify_index

INF = float("inf")
# Exact comparison across ints and floats matters at 2**53 and at the ends of 64 bits.
VALUES = [0, 1, -1, 2, 1.0, 0.5, -0.0, 2.5, 2**53 + 1, float(2**53), 2**63 - 1, float(2**63), -2**63, INF, -INF,
          True, False, "1", "p", None]
BOUNDS = [-1, 0, 1, 2, 0.5, -0.0, 2.5, 2**53, float(2**53), 2**63 - 1, float(-2**63), INF, -INF]
N_OWNERS, N_LEAVES = 3, 2
# Per tier: the table and its columns; a path's n-th name is looked up in tier n.
TIERS = [("objs", ["a", "b", "c", "_h", "owner"]), ("owners", ["x", "y", "inner"]), ("leaves", ["z"])]
# Paths that can match come twice, to select neither nothing nor everything more often.
PATHS = ["a", "b", "c", "owner.x", "owner.y", "owner.inner.z"] * 2 + ["_h", "owner", "zz", "owner.inner", "owner.zz",
                                                                      "a.x", "a.inner.z"]


@dataclass(frozen=True)
class Ref:
    """An owner (tier 1) or leaf (tier 2) object, by position."""
    tier: int
    pos: int


val = st.sampled_from(VALUES)
bound = st.one_of(st.sampled_from(BOUNDS), st.floats(-3, 3, allow_nan=False))
# Plain attributes may hold owners too, so a path can reach one owner under several names.
obj_val = st.sampled_from(VALUES + [Ref(1, j) for j in range(N_OWNERS)])
owner_val = st.one_of(st.integers(0, N_OWNERS - 1).map(lambda j: Ref(1, j)), st.just(5))
eq_val = st.sampled_from(VALUES + [Ref(1, j) for j in range(N_OWNERS)] + [Ref(2, m) for m in range(N_LEAVES)])
obj_st = st.fixed_dictionaries({}, optional={"a": obj_val, "b": val, "c": val, "_h": val, "owner": owner_val})
owner_st = st.fixed_dictionaries({}, optional={"x": val, "y": val,
                                               "inner": st.integers(0, N_LEAVES - 1).map(lambda m: Ref(2, m))})
leaf_st = st.fixed_dictionaries({}, optional={"z": val})

path = st.sampled_from(PATHS)
leaf_expr = st.one_of(
    st.tuples(st.sampled_from(["eq", "ne"]), path, eq_val),
    st.tuples(st.sampled_from(["gt", "ge", "lt", "le"]), path, bound),
    st.tuples(st.just("bt"), path, bound, bound),
    st.tuples(st.just("in"), path, st.lists(eq_val, max_size=3)),
)
expr_st = st.recursive(leaf_expr, lambda kids: st.one_of(
    st.tuples(st.sampled_from(["and", "or"]), st.lists(kids, max_size=3)),
    st.tuples(st.just("not"), kids)), max_leaves=8)
narrow_st = st.one_of(st.tuples(st.just("kw"), st.sampled_from(["a", "b", "c", "_h"]), st.lists(val, max_size=3)),
                      st.tuples(st.just("expr"), expr_st))
mutation_st = st.one_of(
    st.tuples(st.just("obj"), st.integers(0, 29), st.sampled_from(["a", "b", "c", "_h"]), obj_val),
    st.tuples(st.just("obj"), st.integers(0, 29), st.just("owner"), owner_val),
    st.tuples(st.just("owner"), st.integers(0, N_OWNERS - 1), st.sampled_from(["x", "y"]), val),
    st.tuples(st.just("owner"), st.integers(0, N_OWNERS - 1), st.just("inner"),
              st.integers(0, N_LEAVES - 1).map(lambda m: Ref(2, m))),
    st.tuples(st.just("leaf"), st.integers(0, N_LEAVES - 1), st.just("z"), val))


def kind(v):
    if v is None:
        return "none"
    if isinstance(v, bool):
        return "bool"
    if isinstance(v, Ref):
        return "ind"
    return "str" if isinstance(v, str) else "num"


def stored(v):
    # Each tier's ids start at a multiple of 100, so an owner and a leaf never share one.
    return 100 * v.tier + v.pos if isinstance(v, Ref) else v


def value_cond(col, v):
    """SQL for 'the column holds a value equal to v' (Python equality, identity for objects)."""
    if v is None:
        return f"{col}_k = 'none'", []
    if isinstance(v, Ref):
        return f"{col}_k = 'ind' AND {col} = ?", [stored(v)]
    return f"{col}_k IN ('num', 'bool', 'str') AND {col} = ?", [v]


def leaf_cond(op, col, args):
    if op in ("eq", "ne"):
        return value_cond(col, args[0])
    if op == "in":
        parts = [value_cond(col, v) for v in args[0]]
        if not parts:
            return "0", []
        return " OR ".join(f"({s})" for s, _ in parts), [p for _, ps in parts for p in ps]
    if op == "bt":
        return f"{col}_k = 'num' AND {col} BETWEEN ? AND ?", list(args)
    sign = {"gt": ">", "ge": ">=", "lt": "<", "le": "<="}[op]
    return f"{col}_k = 'num' AND {col} {sign} ?", [args[0]]


def to_sql(e, private):
    """A predicate on `o.id` for expression e, and its parameters."""
    op = e[0]
    if op in ("and", "or"):
        parts = [to_sql(k, private) for k in e[1]]
        if not parts:
            return "0", []
        return "(" + f" {op.upper()} ".join(s for s, _ in parts) + ")", [p for _, ps in parts for p in ps]
    if op == "not":
        s, ps = to_sql(e[1], private)
        return f"NOT ({s})", ps
    names = e[1].split(".")
    cond, params = "0", []
    cols = TIERS[min(len(names) - 1, 2)][1]
    if names[-1] in cols and (private or len(names) > 1 or not names[0].startswith("_")):
        cond, params = leaf_cond(op, names[-1], e[2:])
    for depth in range(len(names) - 2, -1, -1):  # lift the matches to their holders
        cols = TIERS[depth][1]
        col, inner = names[depth], TIERS[depth + 1][0]
        cond = f"{col}_k = 'ind' AND {col} IN (SELECT id FROM {inner} WHERE {cond})" if col in cols else "0"
    if len(names) == 1 and op in ("eq", "ne", "in"):
        cond = f"({cond}) AND id IN (SELECT id FROM shown WHERE name = '{names[0]}')"
    pred = f"o.id IN (SELECT id FROM objs WHERE {cond})"
    return (f"NOT ({pred})" if op == "ne" else pred), params


def to_q(e, real):
    op = e[0]
    if op in ("and", "or"):
        return getattr(Q, op + "_")(*[to_q(k, real) for k in e[1]])
    if op == "not":
        return Q.not_(to_q(e[1], real))
    if op == "in":
        return Q.in_(e[1], [real(v) for v in e[2]])
    return getattr(Q, op)(e[1], *[real(v) for v in e[2:]])


class Model:
    def __init__(self, objs, owners, leaves, shown=None):
        self.db = sqlite3.connect(":memory:")
        for tier, ((table, cols), rows) in enumerate(zip(TIERS, (objs, owners, leaves))):
            self.db.execute(f"CREATE TABLE {table} (id PRIMARY KEY, " + ", ".join(f"{c}, {c}_k" for c in cols) + ")")
            for i, row in enumerate(rows, start=100 * tier):
                cells = [x for c in cols for x in ((stored(row[c]), kind(row[c])) if c in row else (None, None))]
                self.db.execute(f"INSERT INTO {table} VALUES ({', '.join('?' * (1 + 2 * len(cols)))})", [i, *cells])
        self.db.execute("CREATE TABLE u (id)")
        self.db.execute("CREATE TABLE shown (id, name)")
        if shown is None:
            shown = [(i, c) for i in range(len(objs)) for c in TIERS[0][1]]
        self.db.executemany("INSERT INTO shown VALUES (?, ?)", shown)

    # Closed on leaving, not when collected: an unclosed connection warns (3.13 on), and the
    # warning would surface, as an error, in whichever later test happens to collect it.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.db.close()

    def select(self, e, universe, private=False):
        self.db.execute("DELETE FROM u")
        self.db.executemany("INSERT INTO u VALUES (?)", [(i,) for i in universe])
        s, ps = to_sql(e, private)
        return {i for (i,) in self.db.execute(f"SELECT id FROM objs o WHERE o.id IN (SELECT id FROM u) AND {s}", ps)}


def rows(objs, pos):
    ids = [pos[id(o)] for o in objs]
    assert ids == sorted(ids)
    return set(ids)


def subtrees(e):
    yield e
    for kid in (e[1] if e[0] in ("and", "or") else [e[1]] if e[0] == "not" else []):
        yield from subtrees(kid)


def check(idx, model, tiers, exprs, real, pos, views):
    """Each expression and its parts on the index, on each view, and on an index rebased from the
    last view (a fresh core: nothing reduced, names beginning with '_' indexed)."""
    rebased = views[-1][0].rebase()
    with Model(*tiers) as fresh:
        for e in (part for whole in exprs for part in subtrees(whole)):
            q = to_q(e, real)
            assert rows(idx.reduced_query(q).collect(), pos) == model.select(e, range(len(pos))), e
            for view, universe in views:
                assert rows(view.reduced_query(q).collect(), pos) == model.select(e, universe), (e, universe)
            assert rows(rebased.reduced_query(q).collect(), pos) == fresh.select(e, views[-1][1], private=True), e
    assert _verify_index(rebased) == ""


def narrow(idx, model, how, real, pos):
    everything = range(len(pos))
    if how[0] == "kw":  # a keyword filter is an in_ on one undotted name
        view, expected = idx.reduced(**{how[1]: how[2]}), model.select(("in", how[1], how[2]), everything)
    else:
        view, expected = idx.reduced_query(to_q(how[1], real)), model.select(how[1], everything)
    assert rows(view.collect(), pos) == expected, how
    return view, expected


@settings(max_examples=150, deadline=None)
@given(objs=st.integers(3, 30).flatmap(lambda n: st.lists(obj_st, min_size=n, max_size=n)),
       owners=st.lists(owner_st, min_size=N_OWNERS, max_size=N_OWNERS),
       leaves=st.lists(leaf_st, min_size=N_LEAVES, max_size=N_LEAVES),
       exprs=st.lists(expr_st, min_size=1, max_size=3), narrowings=st.tuples(narrow_st, narrow_st),
       steps=st.lists(mutation_st | st.tuples(st.just("reduce"), st.lists(val, max_size=3)), max_size=8))
def test_query_evaluation_matches_sqlite(objs, owners, leaves, exprs, narrowings, steps):
    # Copies: the steps change the rows, and a failure should report the rows as generated.
    tiers = objs, owners, leaves = [[dict(d) for d in rows_of] for rows_of in (objs, owners, leaves)]
    real_leaves = [Indexable(**d) for d in leaves]
    real_owners = [Indexable(**{k: real_leaves[v.pos] if isinstance(v, Ref) else v for k, v in d.items()})
                   for d in owners]
    real = lambda v: ([None, real_owners, real_leaves][v.tier][v.pos] if isinstance(v, Ref) else v)
    items = [Indexable(**{k: real(v) for k, v in d.items()}) for d in objs]
    pos = {id(o): i for i, o in enumerate(items)}
    n = len(items)
    idx = Index()
    idx.add_object_many(items)
    with Model(*tiers) as model:
        first = narrow(idx, model, narrowings[0], real, pos)
        check(idx, model, tiers, exprs, real, pos, [first])

    shown = {(i, c) for i in range(n) for c in TIERS[0][1]}
    for what, *args in steps:
        if what == "reduce":
            with Model(*tiers, shown) as model:
                matched = model.select(("in", "a", args[0]), range(n))
            shown = {(i, c) for i in matched for c in TIERS[0][1]}
            idx.reduce(a=args[0])
            continue
        i, attr, v = args
        target, table = {"obj": (items, objs), "owner": (real_owners, owners), "leaf": (real_leaves, leaves)}[what]
        i %= len(target)
        setattr(target[i], attr, real(v))
        table[i][attr] = v
        if what == "obj":
            shown.add((i, attr))
    with Model(*tiers, shown) as model:
        second = narrow(idx, model, narrowings[1], real, pos)
        # Every value an object carries, looked up under every undotted name: what reduce and the
        # assignments after it left in the value sets.
        carried = {v for row in objs for v in row.values()}
        sweep = [("eq", name, v) for name in TIERS[0][1] for v in sorted(carried, key=repr)]
        check(idx, model, tiers, exprs + sweep, real, pos, [first, second])
    assert _verify_index(idx) == ""

