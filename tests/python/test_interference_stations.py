"""The interference detector on station-days it was not developed on (the data folder's stations/),
on the real event of AJAC 2024-210 with and without its Galileo-only navigation, and on jammers that
must never be called spoofing. Skips without the data folder."""
import datetime

import pytest

import tessora_cn0 as t
from conftest import data_path

AJAC_209 = "rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx"
AJAC_209_NAV = "rinex/NAV/V3/GRAS00FRA_R_20242090000_01D_EN.rnx"
AJAC_210 = "compressed/rinex/CRNX/V3/AJAC00FRA_R_20242100000_01D_30S_MO.crx.gz"
AJAC_210_NAV = "stations/nav-solutions/GRAS00FRA_R_20242100000_01D_EN.rnx.gz"

# Clean station-days, with their navigation data where they have some.
STATION_DAYS = [
    ("stations/orekit/DJIG00DJI_R_20191820000_01D_30S_MO.crx.gz", None),
    ("stations/pytecgg/ASIR00ITA_R_20242810000_01D_30S_MO.crx.gz", None),
    ("stations/orekit/tlse0440.16d.Z", None),
    ("stations/orekit/tow20440.16d.Z", None),
    ("stations/orekit/lhaz0440.16d.Z", None),  # CN0 in whole dB-Hz, data gaps
    ("stations/orekit/suth0440.16d.Z", None),
    ("stations/orekit/hnpt0440.16d.Z", None),
    ("stations/orekit/badg0440.16d.Z", None),
    ("stations/pygnss-tec/BELE00BRA_R_20240110000_01D_30S_MO.crx.gz",
     "stations/pygnss-tec/BRDC00IGS_R_20240110000_01D_MN.rnx.gz"),  # near the magnetic equator
    ("stations/gogps/zimm0970.17o", None),
    ("stations/georust-hist/eijs0010.21d", "stations/georust-hist/AMEL00NLD_R_20210010000_01D_MN.rnx"),
    ("stations/georust-hist/delf0010.21d", "stations/georust-hist/AMEL00NLD_R_20210010000_01D_MN.rnx"),
    ("stations/georust-hist/wsra0010.21d", "stations/georust-hist/AMEL00NLD_R_20210010000_01D_MN.rnx"),
]


def seconds(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


def describe(report):
    return [(e.kind, e.start, e.end, e.bands, round(e.peak_degradation_db, 2)) for e in report.events]


@pytest.mark.parametrize("obs,nav", STATION_DAYS, ids=[o.split("/")[-1] for o, _ in STATION_DAYS])
def test_clean_station_days_raise_nothing(obs, nav):
    record = t.read_rinex_obs(str(data_path(obs)))
    navs = [None] + ([t.read_navigation(str(data_path(nav)))] if nav else [])
    for n in navs:
        report = t.detect_interference(record, n)
        assert report.reason == "" and report.events == [], (n is not None, describe(report))
        assert report.spoofing_judged == (report.mode != "baseline")


@pytest.fixture(scope="module")
def ajac_210():
    return t.read_rinex_obs(str(data_path(AJAC_210))), t.read_navigation(str(data_path(AJAC_210_NAV)))


@pytest.mark.parametrize("with_nav", [False, True])
def test_ajac_1_27_ghz_event_is_found_with_and_without_navigation(ajac_210, with_nav):
    # At 17:15 E6 on nine Galileo satellites, B3I on thirteen BeiDou and G2 on eight GLONASS fall
    # 1.5-1.8 dB together while L1, L2, E5a and B1I stay flat. With the Galileo-only navigation
    # file Galileo has templates and the others their own levels: neither may lose the event.
    obs, nav = ajac_210
    report = t.detect_interference(obs, nav if with_nav else None)
    assert report.mode == ("mixed" if with_nav else "baseline")
    assert len(report.events) == 1, describe(report)
    e = report.events[0]
    assert e.kind == "band-limited" and e.start == "2024-07-28T17:15:00.000Z"
    assert {"E6", "G2"} <= set(e.bands) and not {"L1", "L5", "B1I"} & set(e.bands)
    assert 1.2 <= e.peak_degradation_db <= 2.2
    assert e.duration <= 300.0


@pytest.fixture(scope="module")
def ajac_209():
    return t.read_rinex_obs(str(data_path(AJAC_209))), t.read_navigation(str(data_path(AJAC_209_NAV)))


@pytest.mark.parametrize("start", [30000.0, 61000.0])
def test_jammers_at_ajac_are_jamming_not_spoofing(ajac_209, start):
    obs, nav = ajac_209
    t0 = seconds(t.detect_interference(obs, nav).timestamps[0])
    # A jammer driven past the antenna: 25 dB at its closest, two minutes above half power.
    passing = t._inject_interference(obs, [dict(kind="jammer", start=start, end=start + 480.0, db=25.0,
                                                 profile="pass")])
    # A weak one held for half an hour.
    weak = t._inject_interference(obs, [dict(kind="jammer", start=start, end=start + 1800.0, db=3.0)])
    for rec, peak in ((passing, 10.0), (weak, 2.0)):
        for n in (nav, None):
            report = t.detect_interference(rec, n)
            assert all(e.kind != "spoofing-like" for e in report.events), describe(report)
            [e] = report.events
            assert e.kind == "wideband" and e.peak_degradation_db > peak
            # The onset within an epoch of the jammer's (the weak one's in the first epoch it is on).
            assert abs(seconds(e.start) - (t0 + start)) <= 30.0 + (150.0 if rec is passing else 0.0)
