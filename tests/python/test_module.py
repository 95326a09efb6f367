import importlib.util
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import Vantorelle
from Vantorelle import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string

CLASSES = [Index, Indexable, FilteredIndex, PyQueryExpr]


def test_reimport_returns_the_same_module(run_python):
    result = run_python("""
        import importlib, sys
        import Vantorelle as first
        del sys.modules["Vantorelle"]
        second = importlib.import_module("Vantorelle")
        print(second is first, second.Indexable is first.Indexable)
    """)
    assert (result.returncode, result.stdout) == (0, "True True\n"), result.stderr


def test_import_into_a_second_interpreter_is_refused(run_python):
    # A legacy sub-interpreter (the only kind before 3.12) reaches the module's own refusal; an
    # isolated one (the default from 3.12) is turned away by the interpreter before the module
    # runs, since the module is initialised in a single phase. The private module that makes them
    # is `_xxsubinterpreters` up to 3.12 and `_interpreters` from 3.13, which reports a failure
    # instead of raising it.
    result = run_python("""
        import re, sys
        import Vantorelle
        try:
            import _interpreters as raw

            def attempt(config):
                interp = raw.create(config)
                try:
                    failure = raw.run_string(interp, "import Vantorelle")
                finally:
                    raw.destroy(interp)
                return "imported" if failure is None else f"{failure.type.__name__}: {failure.msg}"
        except ImportError:
            try:
                import _xxsubinterpreters as raw
            except ImportError:
                print("unavailable")
                raise SystemExit

            def attempt(config):
                interp = raw.create(isolated=config == "isolated")
                try:
                    raw.run_string(interp, "import Vantorelle")
                    return "imported"
                except raw.RunFailedError as error:
                    return re.sub(r"^<class '(\\w+)'>", r"\\1", str(error))
                finally:
                    raw.destroy(interp)
        for config in ["legacy"] + (["isolated"] if sys.version_info >= (3, 12) else []):
            print(f"{config}: {attempt(config)}")
        print(Vantorelle.sum_as_string(1, 1))
    """)
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("unavailable"):
        pytest.skip("this interpreter cannot create sub-interpreters")
    *attempts, last = result.stdout.splitlines()
    assert attempts[0].startswith("legacy: ImportError: Vantorelle does not support sub-interpreters"), attempts
    assert all(line.startswith("isolated: ImportError: ") for line in attempts[1:]), attempts
    assert last == "2"  # the first interpreter keeps working


def test_module_namespace():
    assert Vantorelle.__doc__
    assert [n for n in vars(Vantorelle) if n in {c.__name__ for c in CLASSES}] == [c.__name__ for c in CLASSES]


@pytest.mark.parametrize("args, kwargs, expected", [
    ((2, 3), {}, "5"), ((), {"a": 1, "b": 2}, "3"), ((1,), {"b": 2}, "3"), ((4294967295, 1), {}, "0"),
    ((4294967295, 4294967295), {}, "4294967294"), ((0, 0), {}, "0"), ((True, True), {}, "2"),
])
def test_sum_as_string(args, kwargs, expected):
    assert sum_as_string(*args, **kwargs) == expected


RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("args, message", [
    ((-1, 0), None), ((0, -1), None), ((2**64, 0), None), ((2**32, 0), RANGE), ((0, 2**64 - 1), RANGE),
])
def test_sum_as_string_overflow(args, message):
    with pytest.raises(OverflowError) as info:
        sum_as_string(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("args, name", [((1.5, 2), "a"), ((1, "2"), "b"), ((None, 1), "a")])
def test_sum_as_string_conversion_error_names_the_argument(args, name):
    with pytest.raises(TypeError) as info:
        sum_as_string(*args)
    cause = info.value.__cause__
    assert isinstance(cause, TypeError)
    assert str(info.value) == f"argument '{name}': {cause}"


class Indexish:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


def test_sum_as_string_goes_through_index():
    assert sum_as_string(Indexish(7), Indexish(2**32 - 7)) == "0"
    with pytest.raises(TypeError, match=r"^argument 'b': nope$"):
        sum_as_string(1, Indexish(TypeError("nope")))
    with pytest.raises(ValueError, match=r"^other$"):  # not a TypeError: passes through as it is
        sum_as_string(Indexish(ValueError("other")), 1)


@pytest.mark.parametrize("call, message", [
    (lambda: sum_as_string(1), "sum_as_string() missing 1 required positional argument: 'b'"),
    (lambda: sum_as_string(), "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: sum_as_string(b=1), "sum_as_string() missing 1 required positional argument: 'a'"),
    (lambda: sum_as_string(1, 2, 3), "sum_as_string() takes 2 positional arguments but 3 were given"),
    (lambda: sum_as_string(1, 2, c=3), "sum_as_string() got an unexpected keyword argument 'c'"),
    (lambda: sum_as_string(1, a=2), "sum_as_string() got multiple values for argument 'a'"),
    (lambda: Index(1), "Index() takes 0 positional arguments but 1 was given"),
    (lambda: Index(x=1), "Index() got an unexpected keyword argument 'x'"),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).endswith(message)


def test_text_signatures_and_docs():
    assert sum_as_string.__text_signature__ == "(a, b)"
    assert list(inspect.signature(sum_as_string).parameters) == ["a", "b"]
    assert sum_as_string.__doc__ == "Formats the sum of two numbers as string."
    assert Indexable.__text_signature__ == "(*_args, **kwargs)"
    assert Index.__text_signature__ == "()"


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_types_named_in_builtins(cls):
    assert isinstance(cls, type) and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    assert getattr(Vantorelle, cls.__name__) is cls


@pytest.mark.parametrize("cls", [Index, FilteredIndex, PyQueryExpr])
def test_other_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [FilteredIndex, PyQueryExpr])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"x": 2})])
def test_view_and_query_classes_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == f"No constructor defined for {cls.__name__}"


def test_index_constructs_empty():
    assert type(Index()) is Index and Index() is not Index()


def test_panic_exception_is_not_an_exception():
    panic = Vantorelle.PanicException
    assert panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    with pytest.raises(panic, match="broken invariant"):
        try:
            raise panic("broken invariant")
        except Exception:  # must not catch it
            pass


def test_type_stub_matches_the_module():
    import ast
    import pathlib

    import Vantorelle

    stub = pathlib.Path(__file__).resolve().parents[2] / "python" / "Vantorelle.pyi"
    tree = ast.parse(stub.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            assert callable(getattr(Vantorelle, node.name)), node.name
        elif isinstance(node, ast.ClassDef):
            cls = getattr(Vantorelle, node.name)
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and member.name not in ("__getattr__", "__init__"):
                    assert hasattr(cls, member.name), f"{node.name}.{member.name}"


SOURCE_STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "Vantorelle.pyi"


def _named_parameters():
    """Every public or private callable of the module whose text signature names parameters that
    can be passed by keyword, bound as callers reach it."""
    index = Index()
    holders = [(Vantorelle, Vantorelle), (Index, index), (FilteredIndex, index.reduced()), (PyQueryExpr, PyQueryExpr),
               (Indexable, Indexable())]
    found = []
    for owner, holder in holders:
        for name in vars(owner):
            function = getattr(holder, name)
            if isinstance(function, type) or not callable(function):
                continue
            try:
                parameters = inspect.signature(function).parameters.values()
            except (TypeError, ValueError):
                continue
            names = [p.name for p in parameters if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
            if names:
                found.append(pytest.param(function, names, id=function.__qualname__))
    return found


# The docstring's signature and the argument binder's parameter list are written separately in the
# method tables; inspect, help() and the stub checks below trust the docstring.
@pytest.mark.parametrize("function, names", _named_parameters())
def test_text_signatures_name_the_parameters_the_binder_takes(function, names):
    quoted = [f"'{n}'" for n in names]
    listed = quoted[0] if len(quoted) == 1 else (
        " and ".join(quoted) if len(quoted) == 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
    plural = "" if len(names) == 1 else "s"
    with pytest.raises(TypeError) as info:
        function()
    assert str(info.value) == (f"{function.__qualname__}() missing {len(names)} required positional "
                               f"argument{plural}: {listed}")
    # Every documented name is accepted as a keyword: whatever fails now is the value, not the binding.
    try:
        function(**dict.fromkeys(names))
    except TypeError as error:
        assert not re.search(r"\(\) (missing|got|takes) ", str(error)), error


def _mypy_or_skip():
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (make installs it into .venv)")


def _run_mypy_tool(args, cwd, env):
    try:
        return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                              timeout=300)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"{' '.join(args)} did not finish within 300s:\n{expired.stdout}\n{expired.stderr}")


def test_stubtest_finds_no_difference_between_the_stub_and_the_module(tmp_path):
    """stubtest imports the module this interpreter imports and compares it with the source tree's
    stub: every public name, each signature (parameter names, kinds, defaults) and final classes."""
    _mypy_or_skip()
    # Run outside the source tree so the imported module is the installed one, with the stub's
    # folder named explicitly: mypy does not read a top-level .pyi from site-packages.
    env = {**os.environ, "MYPYPATH": str(SOURCE_STUB.parent), "MYPY_CACHE_DIR": str(tmp_path / "cache")}
    result = _run_mypy_tool(["mypy.stubtest", "Vantorelle"], tmp_path, env)
    assert result.returncode == 0 and "Success: no issues found in 1 module" in result.stdout, (
        result.stdout + result.stderr)


def test_installed_stubs_are_the_source_stub_and_mypy_finds_them(tmp_path):
    _mypy_or_skip()
    folder = pathlib.Path(Vantorelle.__file__).parent
    source = SOURCE_STUB.read_bytes()
    for installed in (folder / "Vantorelle.pyi", folder / "Vantorelle-stubs" / "__init__.pyi"):
        assert installed.is_file(), f"{installed} is not installed beside {Vantorelle.__file__}"
        assert installed.read_bytes() == source, f"{installed} differs from {SOURCE_STUB}: reinstall the module"
    (tmp_path / "use.py").write_text(
        "from Vantorelle import Index, Indexable\n"
        "reveal_type(Indexable(name='a').name)\n"
        "reveal_type(Index().collect())\n"
        "Index().add_object(3)\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env["MYPY_CACHE_DIR"] = str(tmp_path / "cache")
    result = _run_mypy_tool(["mypy", "--no-incremental", "--no-error-summary", "use.py"], tmp_path, env)
    # Without the stubs the import fails and every type is Any; mypy versions differ in spelling
    # builtins, not in what they find.
    expected = [
        r'use.py:2: note: Revealed type is "Any"',
        r'use.py:3: note: Revealed type is "(builtins\.)?list\[Vantorelle\.Indexable\]"',
        r'use.py:4: error: Argument 1 to "add_object" of "Index" has incompatible type "int"; expected "Indexable" .*',
    ]
    lines = result.stdout.splitlines()
    assert len(lines) == len(expected) and all(map(re.fullmatch, expected, lines)), result.stdout + result.stderr
