"""The station store: what a judged day leaves in it, the set-ups' templates combined from clean
days, detect_interference(store=...), and the files it refuses without touching them."""
import hashlib
import inspect
import json
import sqlite3

import pytest

import combine_reference as reference
import tessora_cn0 as t
from conftest import data_path
from store_days import STATION, day_of, sample_day
from tessora_cn0.store import StoreError

CLEAN = {"threshold_db": 100.0}  # a fixed threshold no drop of the sample reaches: a clean day


def judged(folder, weeks=0, clean=False, **header):
    obs, nav = sample_day(folder, weeks, **header)
    return t.detect_interference(obs, nav, **(CLEAN if clean else {})), t.read_rinex_obs(obs)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def column(table, name):
    return table.to_numpy()[name].tolist()


def test_rerun_replaces_the_day_and_its_events(tmp_path):
    noisy, obs = judged(tmp_path)
    clean, _ = judged(tmp_path, clean=True)
    assert noisy.events and not clean.events
    with t.StationStore(tmp_path / "s.db") as store:
        for _ in range(2):
            assert store.record(noisy, obs) == day_of(0)
        days, events = store.days(), store.events()
        assert days.num_rows == 1 and events.num_rows == len(noisy.events)
        assert column(days, "verdict") == ["events"] and column(days, "events") == [len(noisy.events)]
        e, row = noisy.events[0], {k: v[0] for k, v in events.to_numpy().items()}
        assert (row["station"], row["kind"], row["bands"]) == (STATION, e.kind, ";".join(e.bands))
        assert row["peak_degradation_db"] == e.peak_degradation_db and row["duration"] == e.duration
        assert json.loads(row["degradation_db"]) == e.degradation_db
        assert (row["latitude"], row["longitude"]) == (noisy.latitude, noisy.longitude)
        assert store.template(STATION) is None  # a day with events gives none
        # The same day judged clean replaces it: no event is left, and its template is the set-up's.
        store.record(clean, obs)
        assert store.events().num_rows == 0 and column(store.days(), "verdict") == ["clean"]
        signals = json.loads(clean.template.to_json())["signals"]
        assert json.loads(store.template(STATION).to_json())["signals"] == signals
        # And judged with events again, it leaves the template.
        store.record(noisy, obs)
        assert store.template(STATION) is None and store.setups(STATION)[0]["template_days"] is None


def test_clean_days_combine_and_days_with_events_stay_out(tmp_path, monkeypatch):
    with t.StationStore(tmp_path / "s.db") as store:
        own = []
        for weeks in range(4):
            report, obs = judged(tmp_path, weeks, clean=True)
            store.record(report, obs)
            own.append(report.template.to_json())
        noisy, obs = judged(tmp_path, 4)
        store.record(noisy, obs)
        setup = store.setups(STATION)[0]
        assert setup["template_days"] == [day_of(w) for w in range(4)] and setup["days"] == 5
        stored = json.loads(store.template(STATION).to_json())
        expected = json.loads(reference.combine(own, STATION))
        for a, b in zip(stored["signals"], expected["signals"]):
            assert (a["system"], a["code"], a["counts"]) == (b["system"], b["code"], b["counts"])
            assert a["cn0"] == pytest.approx(b["cn0"], abs=1e-9)
        first, last = json.loads(own[0]), json.loads(own[-1])
        assert (stored["start_time"], stored["end_time"]) == (first["start_time"], last["end_time"])
        # Only the latest days count: with room for two, the first two weeks drop out.
        monkeypatch.setattr("tessora_cn0.store.store.TEMPLATE_DAYS", 2)
        report, obs = judged(tmp_path, 5, clean=True)
        store.record(report, obs)
        assert store.setups(STATION)[0]["template_days"] == [day_of(3), day_of(5)]
        # The curves of twice as many days are kept; older clean days stay learned, without them.
        conn = sqlite3.connect(tmp_path / "s.db")
        kept = conn.execute("SELECT day, json != '' FROM day_templates ORDER BY day").fetchall()
        conn.close()
        assert kept == [(day_of(0), 0), (day_of(1), 1), (day_of(2), 1), (day_of(3), 1), (day_of(5), 1)]
        assert column(store.days(), "learned") == [True, True, True, True, False, True]
        # Days kept before their binary form was (a store of schema version 1) combine from their JSON.
        before = store.template(STATION).to_json()
        conn = sqlite3.connect(tmp_path / "s.db")
        with conn:
            conn.execute("UPDATE day_templates SET state = NULL")
        conn.close()
        store.record(report, obs)
        assert store.template(STATION).to_json() == before


def test_a_changed_receiver_antenna_or_firmware_starts_a_new_setup(tmp_path):
    changes = [{}, {"receiver": "TRIMBLE ALLOY"}, {"receiver": "TRIMBLE ALLOY", "firmware": "6.10"},
               {"receiver": "TRIMBLE ALLOY", "firmware": "6.10", "antenna": "TRM59800.00     NONE"}]
    path = tmp_path / "s.db"
    with t.StationStore(path) as store:
        for weeks, change in enumerate(changes):
            obs, nav = sample_day(tmp_path, weeks, **change)
            report = t.detect_interference(obs, nav, store=store, **CLEAN)
            assert column(store.days(), "used_store")[-1] is False  # a new set-up has no template yet
        setups = store.setups(STATION)
        assert [(s["receiver"], s["firmware"], s["antenna"]) for s in setups] == [
            ("SEPT POLARX5", "5.4.0", "LEIAR25.R4      LEIT"), ("TRIMBLE ALLOY", "5.4.0", "LEIAR25.R4      LEIT"),
            ("TRIMBLE ALLOY", "6.10", "LEIAR25.R4      LEIT"), ("TRIMBLE ALLOY", "6.10", "TRM59800.00     NONE")]
        assert [s["template_days"] for s in setups] == [[day_of(w)] for w in range(4)]
        latest = store.template(STATION)
        assert latest.start_time == report.template.start_time
        first = store.template(STATION, ("SEPT POLARX5", "LEIAR25.R4      LEIT", "5.4.0"))
        assert first.start_time.startswith(day_of(0))
        # A later day of the latest set-up is judged against its template, and recorded as such.
        obs, nav = sample_day(tmp_path, 4, **changes[-1])
        report = t.detect_interference(obs, nav, store=store)
        expected = t.detect_interference(obs, nav, template=latest)
        assert report.to_json() == expected.to_json()
        assert column(store.days(), "used_store")[-1] is True
        assert column(store.days(), "verdict")[-1] == "events"
        assert store.setups(STATION)[-1]["template_days"] == [day_of(3)]


def test_detect_interference_keeps_its_face(tmp_path):
    from tessora_cn0 import tessora_cn0 as extension

    ext = extension.detect_interference
    assert t.detect_interference.__name__ == "detect_interference" and t.detect_interference.__module__ == "tessora_cn0"
    assert t.detect_interference.__doc__.startswith(ext.__doc__)
    params = list(inspect.signature(t.detect_interference).parameters.values())
    assert params[:-1] == list(inspect.signature(ext).parameters.values())
    assert (params[-1].name, params[-1].kind, params[-1].default) == ("store", inspect.Parameter.KEYWORD_ONLY, None)
    obs, nav = sample_day(tmp_path)
    assert t.detect_interference(obs, nav).to_json() == ext(obs, nav).to_json()
    calls = (lambda f, **k: f(obs, nav, 5.0, **k), lambda f, **k: f(obs, template="x", **k),
             lambda f, **k: f(3, **k), lambda f, **k: f(obs + ".x", **k), lambda f, **k: f(obs, threshold_db=-1, **k))
    for call in calls:
        failures = []
        new_store = {"store": str(tmp_path / "new.db")}
        for f, k in ((ext, {}), (t.detect_interference, {}), (t.detect_interference, new_store)):
            with pytest.raises(Exception) as e:
                call(f, **k)
            failures.append((type(e.value), str(e.value)))
        assert failures[0] == failures[1] == failures[2]
        assert not (tmp_path / "new.db").exists()  # a store named by its path is made only for a judged day
    t.detect_interference(obs, nav, store=str(tmp_path / "new.db"))
    with t.StationStore(tmp_path / "new.db") as store:
        assert column(store.days(), "day") == [day_of(0)]


def test_a_template_of_another_station_is_refused(tmp_path):
    path = tmp_path / "s.db"
    other, _ = judged(tmp_path, marker="OTHR00DNK", clean=True)
    with t.StationStore(path) as store:
        store.record(*judged(tmp_path, clean=True))
    before = digest(path)
    obs, nav = sample_day(tmp_path, 1)
    with t.StationStore(path) as store:
        with pytest.raises(ValueError, match="OTHR00DNK.*SMPL00DNK"):
            t.detect_interference(obs, nav, store=store, template=other.template)
        assert store.days().num_rows == 1
    assert digest(path) == before
    # Without a store the detector takes any template, as it always has.
    assert t.detect_interference(obs, nav, template=other.template).station == STATION


def _other_application(path):
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE notes (text TEXT)")
    conn.execute("INSERT INTO notes VALUES ('mine')")
    conn.commit()
    conn.close()


def _newer_schema(path):
    t.StationStore(path).close()
    conn = sqlite3.connect(path)
    conn.execute("UPDATE meta SET value = '99' WHERE key = 'schema_version'")
    conn.commit()
    conn.close()


def _filled(path, folder):
    with t.StationStore(path) as store:
        for weeks in range(3):
            store.record(*judged(folder, weeks, clean=True))
    conn = sqlite3.connect(path)
    conn.execute("PRAGMA journal_mode = DELETE")  # one file, nothing pending in a WAL
    conn.close()


def _scrambled(path, folder):
    _filled(path, folder)
    data = bytearray(path.read_bytes())
    page = int.from_bytes(data[16:18], "big")
    data[page:] = bytes((b * 7 + 13) & 0xFF for b in data[page:])  # every page but the first
    path.write_bytes(bytes(data))


def _truncated(path, folder):
    _filled(path, folder)
    data = path.read_bytes()
    path.write_bytes(data[: int.from_bytes(data[16:18], "big") * 3 // 2])


@pytest.mark.parametrize("make, reason", [
    (lambda p, d: p.write_text("station,day\nNYA1,2024-05-03\n"), "not a station store (not an SQLite database)"),
    (lambda p, d: _other_application(p), "not a station store (an SQLite database of another application)"),
    (lambda p, d: _newer_schema(p), "station store of schema version 99, newer than"),
    (_scrambled, "corrupt"),
    (_truncated, "corrupt"),
], ids=["text", "other-application", "newer-schema", "scrambled", "truncated"])
def test_files_that_are_not_usable_stores_are_refused_untouched(tmp_path, make, reason):
    path = tmp_path / "s.db"
    make(path, tmp_path)
    before = digest(path)
    report, obs = judged(tmp_path, 7, clean=True)
    with pytest.raises(StoreError) as e:
        # A damaged page may only show when it is read: the first use fails then.
        with t.StationStore(path) as store:
            store.days(), store.events(), store.template(STATION)
            store.record(report, obs)
    assert isinstance(e.value, ValueError) and str(e.value).startswith(f"{path}: ") and "\n" not in str(e.value)
    assert reason in str(e.value)
    assert digest(path) == before
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("s.db")) == ["s.db"]


def test_an_empty_or_absent_file_is_a_new_store(tmp_path):
    (tmp_path / "empty.db").write_bytes(b"")
    for name in ("empty.db", "absent.db"):
        with t.StationStore(tmp_path / name) as store:
            assert store.stations() == [] and store.days().num_rows == 0
        with t.StationStore(tmp_path / name) as store:  # and opens again as a store
            assert store.template(STATION) is None
    with pytest.raises(StoreError, match="is a directory"):
        t.StationStore(tmp_path)
    store = t.StationStore(tmp_path / "absent.db")
    store.close()
    with pytest.raises(StoreError, match="closed"):
        store.days()


def test_an_older_store_is_migrated_in_one_transaction(tmp_path, monkeypatch):
    from tessora_cn0.store import schema

    path = tmp_path / "s.db"
    with t.StationStore(path) as store:
        store.record(*judged(tmp_path, clean=True))
    version = lambda: sqlite3.connect(path).execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone()
    assert version() == (str(schema.LATEST),)
    # A migration that fails half-way leaves the store at its version, with its rows.
    monkeypatch.setattr(schema, "MIGRATIONS", schema.MIGRATIONS + ["ALTER TABLE days ADD COLUMN note TEXT; "
                                                                   "ALTER TABLE nowhere ADD COLUMN x"])
    monkeypatch.setattr(schema, "LATEST", len(schema.MIGRATIONS))
    with pytest.raises(StoreError, match=f"from schema version {schema.LATEST - 1} to {schema.LATEST} "):
        t.StationStore(path)
    assert version() == (str(schema.LATEST - 1),)
    monkeypatch.setattr(schema, "MIGRATIONS", schema.MIGRATIONS[:-1] + ["ALTER TABLE days ADD COLUMN note TEXT"])
    with t.StationStore(path) as store:
        assert store.days().num_rows == 1 and store.template(STATION) is not None
    assert version() == (str(schema.LATEST),)
    assert "note" in [r[1] for r in sqlite3.connect(path).execute("PRAGMA table_info(days)")]


def test_forget_a_day_or_a_station(tmp_path):
    with t.StationStore(tmp_path / "s.db") as store:
        for weeks in range(3):
            store.record(*judged(tmp_path, weeks, clean=True))
        store.record(*judged(tmp_path, 0, marker="OTHR00DNK"))
        assert store.forget(f"{STATION}/{day_of(1)}") == 1
        assert store.setups(STATION)[0]["template_days"] == [day_of(0), day_of(2)]
        assert column(store.days(STATION), "day") == [day_of(0), day_of(2)]
        for bad, error in ((f"{STATION}/{day_of(1)}", LookupError), ("NOPE", LookupError),
                           (f"{STATION}/2024-02-30", ValueError), ("", ValueError)):
            with pytest.raises(error):
                store.forget(bad)
        assert store.forget(STATION) == 2
        assert [s["marker"] for s in store.stations()] == ["OTHR00DNK"] and store.template(STATION) is None
        assert store.events().num_rows == len(column(store.events(station="OTHR00DNK"), "start")) == 1


def test_event_queries(tmp_path):
    with t.StationStore(tmp_path / "s.db") as store:
        for weeks in range(3):
            store.record(*judged(tmp_path, weeks))
        lat, lon = store.stations()[0]["latitude"], store.stations()[0]["longitude"]
        assert store.events().num_rows == 3
        starts = column(store.events(since=day_of(1)), "day")
        assert starts == [day_of(1), day_of(2)]
        assert column(store.events(until=day_of(1)), "day") == [day_of(0), day_of(1)]  # the whole day
        assert store.events(since=f"{day_of(0)}T07:36:30", until=f"{day_of(1)}T07:34:00").num_rows == 0
        assert store.events(kind="wideband").num_rows == 3 and store.events(kind=["spoofing-like"]).num_rows == 0
        assert store.events(station="OTHR00DNK").num_rows == 0
        assert store.events(bbox=(lon - 1, lat - 1, lon + 1, lat + 1)).num_rows == 3
        assert store.events(bbox=(lon + 1, lat - 1, lon + 2, lat + 1)).num_rows == 0
        assert store.events(bbox=(lon + 1, lat - 1, lon - 1, lat + 1)).num_rows == 0  # across the antimeridian
        assert store.events(bbox=(lon - 1, lat - 1, -179, lat + 1)).num_rows == 3
        for bad in ((0, 0, 1), (0, 10, 1, 5), ("a", 0, 1, 1), (0, 0, 1, float("nan"))):
            with pytest.raises(ValueError, match="bbox"):
                store.events(bbox=bad)
        with pytest.raises(ValueError, match="not a time"):
            store.events(since="yesterday")


def test_network_events_are_kept_with_their_stations(tmp_path):
    reports = [judged(tmp_path, w, marker=m)[0] for w in (0, 1) for m in (STATION, "OTHR00DNK")]
    found = t.network_events(reports)
    assert [len(n.stations) for n in found] == [2, 2]
    with t.StationStore(tmp_path / "s.db") as store:
        for _ in range(2):  # a second run over the same span replaces the first
            assert store.record_network(found) == 2
        rows = store.network().to_numpy()
        assert rows["station"].tolist() == [s.station for n in found for s in n.stations]
        assert len(set(rows["network_event"].tolist())) == 2
        assert store.network(since=day_of(1)).num_rows == 2
        # A report and the record of another station's recording do not make a day.
        with pytest.raises(ValueError, match="OTHR00DNK"):
            store.record(reports[0], judged(tmp_path, 0, marker="OTHR00DNK")[1])
        assert store.days().num_rows == 0


def combined(days, station="X"):
    """The core's combination of day templates given as JSON texts, as JSON (a dict)."""
    from tessora_cn0 import tessora_cn0 as ext

    return json.loads(ext._combine_templates([t.CN0Template.from_json(d) for d in days], station).to_json())


def one_signal_day(cn0, counts, start, floor=20.0, offsets=()):
    signal = {"system": "G", "code": "S1C", "band": "L1", "cn0": cn0, "counts": counts, "floor": floor,
              "low_elevation": 5.0, "offsets": {s: [d, 100] for s, d in offsets}}
    return json.dumps({"station": "X", "start_time": start, "end_time": start, "bin_width": 2.0, "signals": [signal]})


def test_combining_day_templates():
    n = reference.BINS

    def first_bin(*pairs):  # days differing in their first bin only: (value, samples) each
        return combined([one_signal_day([v] + [40.0] * (n - 1), [c] + [10] * (n - 1), "") for v, c in pairs])["signals"][0]["cn0"][0]

    assert first_bin((1.0, 5), (2.0, 5), (3.0, 5)) == 2.0
    assert first_bin((1.0, 5), (2.0, 5)) == 1.5  # an even split takes the mean, as a plain median
    assert first_bin((1.0, 100), (5.0, 5), (9.0, 5)) == 1.0  # the day of many samples outweighs the others
    assert first_bin((3.0, 5), (1.0, 10), (2.0, 5)) == 1.5
    assert first_bin((3.0, 5), (1.0, 4), (2.0, 4)) == 3.0  # bins of fewer than five samples weigh nothing
    a = one_signal_day([40.0] * n, [10] * (n - 1) + [0], "2024-01-02T00:00:00.000Z", floor=19.0,
                       offsets=[("G01", 1.0), ("G02", -1.0)])
    b = one_signal_day([44.0] * n, [30] * (n - 1) + [2], "2024-01-01T00:00:00.000Z", offsets=[("G01", 2.0)])
    c = one_signal_day([50.0] * n, [1] * n, "2024-01-03T00:00:00.000Z",  # no bin of its own: it weighs nothing
                       offsets=[("G01", 6.0), ("G03", 0.5)])
    out = combined([a, b, c])
    # Each satellite's offset is the median of the days that give it, their samples summed.
    assert out["signals"][0]["offsets"] == {"G01": [2.0, 300], "G02": [-1.0, 100], "G03": [0.5, 100]}
    s = out["signals"][0]
    assert s["cn0"][:-1] == [44.0] * (n - 1) and s["cn0"][-1] == 44.0  # the unfilled bin: median of all
    assert s["counts"] == [41] * (n - 1) + [3] and s["floor"] == 20.0
    assert (out["start_time"], out["end_time"]) == ("2024-01-01T00:00:00.000Z", "2024-01-03T00:00:00.000Z")
    assert combined([a]) == dict(json.loads(a), station="X")  # one day gives its own curves back


def test_the_core_combines_as_the_rule_says(tmp_path):
    # Thirty noisy copies of a real day's template, with signals missing from some days: the core's
    # combination is the plain-Python rule's, value for value.
    import random

    obs = str(data_path("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"))
    nav = str(data_path("rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"))
    base = json.loads(t.detect_interference(obs, nav).template.to_json())
    rng = random.Random(7)
    days = []
    for i in range(30):
        d = json.loads(json.dumps(base))
        d["start_time"] = d["end_time"] = f"2024-01-{i + 1:02d}T00:00:00.000Z"
        d["signals"] = [dict(s, cn0=[v + rng.choice([0.0, 0.25, rng.gauss(0, 1)]) for v in s["cn0"]],
                             counts=[max(0, c + rng.randint(-6, 6)) for c in s["counts"]],
                             floor=s["floor"] + rng.choice([0.0, 0.5, 1.0]),
                             offsets={sat: [db + rng.choice([0.0, 0.5, rng.gauss(0, 0.3)]), n]
                                      for sat, (db, n) in s["offsets"].items() if rng.random() < 0.8})
                        for s in d["signals"] if rng.random() < 0.9]
        days.append(json.dumps(d))
    assert combined(days, "ESBC") == json.loads(reference.combine(days, "ESBC"))


def test_real_days_of_one_station(tmp_path):
    day209 = str(data_path("rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx"))
    nav209 = str(data_path("rinex/NAV/V3/GRAS00FRA_R_20242090000_01D_EN.rnx"))
    day210 = str(data_path("compressed/rinex/CRNX/V3/AJAC00FRA_R_20242100000_01D_30S_MO.crx.gz"))
    nav210 = str(data_path("stations/nav-solutions/GRAS00FRA_R_20242100000_01D_EN.rnx.gz"))
    with t.StationStore(tmp_path / "s.db") as store:
        first = t.detect_interference(day209, nav209, store=store)
        assert not first.events and store.template(first.station) is not None
        second = t.detect_interference(day210, nav210, store=store)
        # The real 17:15 event, band-limited in E6 and G2, is found against the stored template.
        assert any(e.start.startswith("2024-07-28T17:1") and set(e.bands) >= {"E6", "G2"} for e in second.events)
        days = store.days().to_numpy()
        assert days["day"].tolist() == ["2024-07-27", "2024-07-28"]
        assert days["used_store"].tolist() == [False, True] and days["learned"].tolist() == [True, False]
        assert store.setups(first.station)[0]["template_days"] == ["2024-07-27"]
        assert store.events(station=first.station).num_rows == len(second.events)


def test_a_day_without_navigation_is_kept_but_teaches_nothing(tmp_path):
    day124 = str(data_path("rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx"))
    nav124 = str(data_path("rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx"))
    day127 = str(data_path("compressed/rinex/CRNX/V3/NYA100NOR_S_20241270000_01D_30S_MO.crx.gz"))
    with t.StationStore(tmp_path / "s.db") as store:
        first = t.detect_interference(day124, nav124, store=store)
        learned = store.template(first.station).to_json()
        second = t.detect_interference(day127, store=store)  # no elevations: each satellite's own level
        assert first.mode in ("elevation", "mixed") and second.mode == "baseline" and not first.events
        days = store.days().to_numpy()
        assert days["day"].tolist() == ["2024-05-03", "2024-05-06"]
        assert days["used_store"].tolist() == [False, False] and days["learned"].tolist() == [True, False]
        assert store.template(first.station).to_json() == learned


def test_a_day_judged_against_its_template_learns_its_own_in_the_same_run(tmp_path):
    from tessora_cn0 import tessora_cn0 as ext

    obs = t.read_rinex_obs(str(data_path("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx")))
    nav = t.read_navigation(str(data_path("rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx")))
    fresh = t.detect_interference(obs, nav)
    assert not fresh.events and fresh.mode == "mixed"
    # Judged against a template of fewer signals (those of GPS alone, 1 dB higher: another day's
    # level), the day is still clean and learns every curve afresh, as the run without one did.
    gps = json.loads(fresh.template.to_json())
    gps["signals"] = [dict(s, cn0=[v + 1.0 for v in s["cn0"]]) for s in gps["signals"] if s["system"] == "G"]
    given = t.CN0Template.from_json(json.dumps(gps))
    report, own = ext._detect_interference_learning(obs, nav, template=given, filename="day.rnx")
    assert not report.events and report.filename == "day.rnx"
    assert report.template.to_json() != fresh.template.to_json() and own.to_json() == fresh.template.to_json()
    # A day with events, or one without elevations, learns nothing for its set-up.
    jammed = t._inject_interference(obs, [dict(db=10.0, start=36000.0, end=36600.0)])
    assert ext._detect_interference_learning(jammed, nav, template=given)[1] is None
    assert ext._detect_interference_learning(obs, template=given)[1] is None
    # And the store's record of a clean day carries that template into the set-up's.
    with t.StationStore(tmp_path / "s.db") as store:
        t.detect_interference(obs, nav, template=given, store=store)
        assert store.template(fresh.station).to_json() == fresh.template.to_json()


def test_days_judged_live_merge_and_yield_to_their_file(tmp_path):
    def live_event(start, end, kind="wideband"):
        return {"action": "close", "start": start, "end": end, "peak_time": start, "peak_degradation_db": 6.5,
                "bands": ["L1", "L2"], "kind": kind, "degradation_db": {"L1": 6.5, "L2": 6.1}, "confirmed": True}

    day = day_of(0)
    a = live_event(f"{day}T07:35:00.000Z", f"{day}T07:50:00.000Z")
    b = live_event(f"{day}T12:00:00.000Z", f"{day}T12:10:00.000Z", "band-limited")
    with t.StationStore(tmp_path / "s.db") as store:
        assert store.record_live(STATION, day, [a], first=f"{day}T00:00:00.000Z", last=f"{day}T09:00:00.000Z")
        # The monitor restarted within the day: the earlier event is kept, the new one added, the spans joined.
        assert store.record_live(STATION, day, [b, a], first=f"{day}T10:00:00.000Z", last=f"{day}T23:59:59.000Z")
        days = store.days().to_numpy()
        assert days["mode"].tolist() == ["live"] and days["events"].tolist() == [2] and not days["learned"][0]
        assert str(days["start_time"][0])[:19] == f"{day}T00:00:00" and str(days["end_time"][0])[:19] == f"{day}T23:59:59"
        events = store.events().to_numpy()
        assert events["kind"].tolist() == ["wideband", "band-limited"] and events["duration"].tolist() == [900.0, 600.0]
        # Bad days and open events are refused, and change nothing.
        for bad in (("2024-02-30", [a]), (day, [dict(a, end=None)]), (day, [{"start": a["start"]}])):
            with pytest.raises(ValueError):
                store.record_live(STATION, *bad)
        assert store.events().num_rows == 2
        # The day's file judged with the store replaces the live day; a live day recorded after it
        # leaves the file's verdict standing.
        report, obs = judged(tmp_path, 0)
        store.record(report, obs)
        assert not store.record_live(STATION, day, [b])
        days = store.days().to_numpy()
        assert days["mode"].tolist() == [report.mode] and days["events"].tolist() == [len(report.events)]
