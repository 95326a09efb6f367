"""fork() while other threads use the indexes.

Each scenario runs in a fresh interpreter, so a hang fails through the parent's timeout instead of
stopping the run. There one thread keeps the indexes busy (adding, assigning or querying) while
another forks 50 times. Every child must answer as the parent did at the fork (a keyword filter, a
query tree of the kind the worker pool evaluates, group_by, each against a list comprehension over
the same objects), change indexed objects, add one, pass `_verify_index` and exit 0. A child that
does not finish in time gets SIGABRT (faulthandler prints where it is stuck) and fails the scenario.
"""
import os
import random
import signal
import sys
import threading
import time
import traceback

import pytest

from Vantorelle import Index, Indexable, PyQueryExpr as Q, _verify_index

# ThreadSanitizer stops a child of a multi-threaded process that starts a thread, as the worker
# pool does when the child is the first to use it.
UNDER_TSAN = "libtsan" in os.environ.get("LD_PRELOAD", "")
FORKS = 50
CHILD_SECONDS = 30
KS = list(range(6))
SS = ["red", "green", "blue"]
TREE = Q.or_(Q.and_(Q.eq("s", "red"), Q.lt("k", 3)), Q.and_(Q.eq("child.n", 1), Q.ge("k", 4)), Q.in_("k", [5]))


def in_tree(o):
    return (o.s == "red" and o.k < 3) or (o.child.n == 1 and o.k >= 4) or o.k == 5


def make_objects(n, seed=0):
    rng = random.Random(seed)
    kids = [Indexable(n=i % 3) for i in range(6)]
    return kids, [Indexable(k=rng.choice(KS), s=rng.choice(SS), child=rng.choice(kids)) for _ in range(n)]


def check_answers(index, members):
    """`members`: the objects the index stores, in creation order."""
    assert _verify_index(index) == ""
    for k in KS:
        assert index.get_by_attribute(k=k) == [o for o in members if o.k == k], k
    assert index.get_by_attribute(s=["red", "blue"], k=[0, 1]) == \
        [o for o in members if o.s in ("red", "blue") and o.k in (0, 1)]
    assert index.reduced_query(TREE).collect() == [o for o in members if in_tree(o)]
    view = index.reduced_query(Q.ne("s", "green"))
    assert view.reduced_query(TREE).collect() == [o for o in members if o.s != "green" and in_tree(o)]
    groups = {s: v.collect() for s, v in index.group_by("s").items()}
    assert groups == {s: [o for o in members if o.s == s] for s in SS if any(o.s == s for o in members)}


def check_child(index, kids):
    """What each child does: answer, change, add, answer again."""
    members = index.collect()
    check_answers(index, members)
    for o in members[:20]:
        o.k = (o.k + 1) % len(KS)
        o.child = kids[(kids.index(o.child) + 1) % len(kids)]
    kids[0].n = (kids[0].n + 1) % 3
    extra = Indexable(k=5, s="red", child=kids[1])
    index.add_object(extra)
    members.append(extra)
    check_answers(index, members)


def fork_and_check(index_of, kids, exit_normally):
    """Forks once; the child checks `index_of()` and exits, the parent waits for it with a deadline."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            check_child(index_of(), kids)
            code = 0
        except BaseException:
            traceback.print_exc()
        if exit_normally and code == 0:
            sys.exit(0)  # through the interpreter's finalization and the libraries' exit code
        os._exit(code)
    until = time.monotonic() + CHILD_SECONDS
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            code = os.waitstatus_to_exitcode(status)
            assert code == 0, f"child exited with {code}"
            return
        if time.monotonic() > until:
            os.kill(pid, signal.SIGABRT)
            time.sleep(1)
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError(f"child {pid} hung (killed after {CHILD_SECONDS}s)")
        time.sleep(0.002)


def forking_under(load, index_of, kids, forks=FORKS):
    """Runs `load(stop)` in a thread while this thread forks `forks` times."""
    stop = threading.Event()
    errors = []

    def guard():
        try:
            load(stop)
        except BaseException as error:
            errors.append(error)

    worker = threading.Thread(target=guard, daemon=True)
    worker.start()
    try:
        for i in range(forks):
            time.sleep(random.random() * 0.01)
            fork_and_check(index_of, kids, exit_normally=i % 5 == 4)
    finally:
        stop.set()
        worker.join(30)
    assert not worker.is_alive(), "the loaded thread did not stop"
    if errors:
        raise errors[0]


def adding_scenario():
    """A thread fills fresh indexes with add_object_many: the child sees each all or nothing. The
    pool is first used by the children (they make their own), unless under ThreadSanitizer."""
    kids, objs = make_objects(3000)
    current = [Index()]
    if UNDER_TSAN:
        current[0].reduced_query(TREE)

    def load(stop):
        while not stop.is_set():
            index = Index()
            current[0] = index
            index.add_object_many(objs)

    def index_of():
        index = current[0]
        assert index.collect() in ([], objs)
        return index

    forking_under(load, index_of, kids)
    assert current[0].collect() == objs and _verify_index(current[0]) == ""


def assigning_scenario():
    """A thread assigns plain and nested values of indexed objects, and of the nested objects."""
    kids, objs = make_objects(1000)
    index = Index()
    index.add_object_many(objs)
    index.reduced_query(TREE)  # the pool's threads exist at every fork

    def load(stop):
        rng = random.Random(1)
        while not stop.is_set():
            o = rng.choice(objs)
            o.k = rng.choice(KS)
            o.s = rng.choice(SS)
            o.child = rng.choice(kids)
            rng.choice(kids).n = rng.randrange(3)

    forking_under(load, lambda: index, kids)
    check_answers(index, objs)


def querying_scenario():
    """A thread runs query trees (the worker pool), views of views and group_by."""
    kids, objs = make_objects(3000)
    index = Index()
    index.add_object_many(objs)

    def load(stop):
        while not stop.is_set():
            index.reduced_query(TREE)
            index.reduced_query(Q.ne("s", "blue")).reduced_query(TREE)
            index.group_by("child.n")

    forking_under(load, lambda: index, kids)
    check_answers(index, objs)


def thread_forking_scenario():
    """The fork comes from a thread other than the main one, while the main thread adds and assigns."""
    kids, objs = make_objects(1000)
    index = Index()
    index.add_object_many(objs[:300])
    index.reduced_query(TREE)
    done = threading.Event()
    errors = []

    def forker():
        try:
            for _ in range(10):
                fork_and_check(lambda: index, kids, exit_normally=False)
        except BaseException as error:
            errors.append(error)
        finally:
            done.set()

    thread = threading.Thread(target=forker, daemon=True)
    thread.start()
    rng = random.Random(2)
    while not done.is_set():
        index.add_object_many(objs[300:])
        for o in rng.sample(objs, 50):
            o.k = rng.choice(KS)
        index.remove_object(objs[-1])
        index.add_object(objs[-1])
    thread.join(30)
    assert not thread.is_alive()
    if errors:
        raise errors[0]
    check_answers(index, objs)


# No faulthandler.dump_traceback_later here: a child of a process that armed it hangs at exit
# (the interpreter waits for its watchdog thread, which the child lacks). An alarm is not inherited.
SCENARIO = """
import faulthandler, signal, sys, warnings
faulthandler.enable()
faulthandler.register(signal.SIGALRM, chain=True)
signal.alarm({hang})
warnings.filterwarnings("ignore", ".*multi-threaded.*fork", DeprecationWarning)
sys.setswitchinterval(1e-4)
sys.path.insert(0, {path!r})
import test_fork
test_fork.{scenario}()
print("ok")
"""


@pytest.mark.stress
@pytest.mark.parametrize("scenario", ["adding_scenario", "assigning_scenario", "querying_scenario",
                                      "thread_forking_scenario"])
def test_children_forked_under_load_answer_and_exit(run_python, scenario):
    code = SCENARIO.format(hang=240, path=os.path.dirname(os.path.abspath(__file__)), scenario=scenario)
    result = run_python(code, timeout=300)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-4000:]


@pytest.mark.stress
def test_forks_under_a_pool_wider_than_the_machine_park_the_threads_there_are(run_python):
    # Before a fork the pool's threads are parked away from the allocators. Here the pool has more
    # slots than oneTBB runs threads: parking waits for the threads that exist, and every child
    # still answers and exits.
    code = "import os\nos.environ['RAYON_NUM_THREADS'] = '8'\n" + SCENARIO.format(
        hang=240, path=os.path.dirname(os.path.abspath(__file__)), scenario="querying_scenario")
    result = run_python(code, timeout=300)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-4000:]


def test_code_run_while_the_fork_is_prepared_may_use_indexes(run_python):
    # A hook registered before the module runs after the module's own (at-fork `before` hooks run
    # last registered first), when the gate is closed: the forking thread passes it.
    code = """
        import os
        state = {}

        def busy():
            state["index"].add_object(state["extra"])
            state["objs"][0].k = 7

        os.register_at_fork(before=busy)
        from Vantorelle import Index, Indexable, _verify_index
        objs = [Indexable(k=i % 3) for i in range(100)]
        index = Index()
        index.add_object_many(objs)
        state.update(index=index, objs=objs, extra=Indexable(k=7))
        pid = os.fork()
        if pid == 0:
            ok = index.get_by_attribute(k=7) == [objs[0], state["extra"]] and _verify_index(index) == ""
            objs[1].k = 7
            os._exit(0 if ok and len(index.get_by_attribute(k=7)) == 3 else 1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        assert index.get_by_attribute(k=7) == [objs[0], state["extra"]]
        print("ok")
    """
    result = run_python(code, timeout=60)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-4000:]
