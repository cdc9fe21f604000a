"""LiveDetector from Python: its arguments, and the fast judge's alarms on real days fed as a stream
(the stream's epochs in order, through RtcmStream as the monitor feeds them)."""
import datetime
import math

import pytest

import tessora_cn0 as t
from conftest import data_path

ESBC = ("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx", "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx")
NYA1 = ("rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx", "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx")


def day(files):
    return t.read_rinex_obs(str(data_path(files[0]))), t.read_navigation(str(data_path(files[1])))


def streamed(rec, nav, keep=lambda when: True):
    """The day as the stream's record, without the epochs keep() refuses."""
    stream = t.RtcmStream()
    for when, data in rec._rtcm3_epochs(nav):
        if keep(when):
            stream.feed(data)
    stream.finish()
    return stream.take()


def changes_of(rec, nav):
    live = t.LiveDetector(nav=nav)
    return live.push(rec) + live.finish()


def test_arguments_are_checked_with_their_bounds():
    for name, most in (("false_alarms_per_day", "1000"), ("window_hours", "48"), ("recheck_minutes", "1440")):
        for bad in (0.0, -1.0, math.nan, math.inf, 1e7):
            with pytest.raises(ValueError, match=f"^{name} must be a positive number of at most {most}$"):
                t.LiveDetector(**{name: bad})
    with pytest.raises(TypeError, match="at most 1 positional argument"):
        t.LiveDetector(None, None)


@pytest.mark.parametrize("gaps", [[], [("09:30", "10:03"), ("10:03:30", "10:06:30")]])
def test_a_clean_day_raises_no_alarm_even_across_outages(gaps):
    # After a long outage every signal starts a new level: one value, minutes of silence again and
    # a second value make no level yet (the case of a station that came back for a moment).
    rec, nav = day(ESBC)
    at = lambda text: datetime.datetime.combine(datetime.date(2020, 6, 25), datetime.time.fromisoformat(text))  # noqa: E731
    keep = lambda when: not any(at(a) <= when < at(b) for a, b in gaps)  # noqa: E731
    assert changes_of(streamed(rec, nav, keep), nav) == []


def test_brief_common_dips_of_a_polar_station_raise_no_alarm():
    # Ny-Alesund's bands dip together by 1.5 to 3 dB for an epoch or two a few times a day: beyond
    # its quiet hours, within its day.
    rec, nav = day(NYA1)
    assert changes_of(streamed(rec, nav), nav) == []


def test_a_6_db_step_is_told_at_its_second_epoch_and_closed_as_the_file_detector_has_it():
    rec, nav = day(ESBC)
    jammed = t._inject_interference(rec, [dict(db=6.0, start=12 * 3600.0, end=12 * 3600.0 + 1200.0, bands=["L1"])])
    stream = streamed(jammed, nav)
    (reference,) = t.detect_interference(stream, nav).events
    live, feed, told = t.LiveDetector(nav=nav), t.RtcmStream(), []
    for when, data in jammed._rtcm3_epochs(nav):  # an epoch's messages at a time, as they arrive
        feed.feed(data)
        epochs = feed.take()
        if epochs is not None:
            told += [(live.last_epoch, c) for c in live.push(epochs)]
    told += [(None, c) for c in live.finish()]
    at, first = told[0]
    assert first["action"] == "open" and first["start"] == "2020-06-25T12:00:00.000Z"
    assert at == "2020-06-25T12:00:30.000Z"  # the second epoch of the jammer
    last = told[-1][1]
    assert last["action"] == "close" and (last["start"], last["end"], last["bands"], last["kind"]) == (
        reference.start, reference.end, reference.bands, reference.kind)


@pytest.mark.parametrize("hours_after", [0.3, 0.5, 1.0])
def test_a_jammer_in_the_last_hour_of_a_recording_is_found(hours_after):
    # The last hour's noise is measured apart; a 20-minute jammer fills a third of it and must not
    # widen that noise enough to hide itself (a live window ends just after every jammer).
    rec, nav = day(ESBC)
    onset = datetime.datetime(2020, 6, 25, 12, 42)
    jammed = t._inject_interference(rec, [dict(db=6.0, start=(onset - datetime.datetime(2020, 6, 25)).total_seconds(),
                                               end=(onset - datetime.datetime(2020, 6, 25)).total_seconds() + 1200.0)])
    end = onset + datetime.timedelta(minutes=20, hours=hours_after)
    window = streamed(jammed, nav, lambda when: end - datetime.timedelta(hours=3) <= when <= end)
    (event,) = t.detect_interference(window, nav).events
    assert (event.start, event.kind, len(event.bands)) == ("2020-06-25T12:42:00.000Z", "wideband", 9)
    assert event.end == "2020-06-25T13:01:30.000Z" and event.peak_degradation_db == pytest.approx(6.0, abs=1.0)


ZIMM = ("goGPS_MATLAB/default/RINEX/zimm0010.21o", "rinex/NAV/V2/cbw10010.21n")


def fed_epoch_by_epoch(rec, nav):
    """The monitor's pipeline: the stream an epoch's bytes at a time into RtcmStream, what it
    completes pushed into a LiveDetector. (events closed confirmed, the detector, the stream's record)."""
    pieces = [data for _, data in rec._rtcm3_epochs(nav)]
    stream, live, closed = t.RtcmStream(), t.LiveDetector(window_hours=3.0), []
    for data in pieces:
        stream.feed(data)
        if stream.nav is not None:
            live.set_navigation(stream.nav)
        epochs = stream.take()
        if epochs is not None:
            closed += [c for c in live.push(epochs) if c["action"] == "close" and c["confirmed"]]
    closed += [c for c in live.finish() if c["action"] == "close" and c["confirmed"]]
    return closed, live, t.read_rtcm3(b"".join(pieces))


def test_a_short_pass_on_a_quiet_station_is_found_live_as_in_its_file():
    # A 10 dB drive-by of four minutes on L1 alone: in a quiet three-hour window its epochs are
    # nearly all of those beyond the reference, and a tail measured on the window alone hides it.
    rec, nav = day(ZIMM)
    start = (22 * 60 + 52) * 60.0
    jammed = t._inject_interference(rec, [dict(db=10.0, profile="pass", bands=["L1"], start=start, end=start + 240.0)])
    closed, _, recording = fed_epoch_by_epoch(jammed, nav)
    (reference,) = t.detect_interference(recording.obs, recording.nav).events
    assert [(c["start"], c["end"], c["bands"], c["kind"]) for c in closed] == \
        [(reference.start, reference.end, reference.bands, reference.kind)]
    assert reference.start == "2021-01-01T22:52:00.000Z" and reference.bands == ["L1"]


AJAC = ("rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx", "rinex/NAV/V3/GRAS00FRA_R_20242090000_01D_EN.rnx")


@pytest.mark.parametrize("files, onset, seconds, db", [
    # 3 dB on every band for half an hour: the windows that settle it hold it for a sixth of their
    # epochs, which widens their scales (half the central 68 % range) until it hides; the windows
    # before found it, and it is kept out of the later windows' scales.
    (ESBC, "2020-06-25T20:54:30.000Z", 1800.0, 3.0),
    # 10 dB for ten minutes: too short to widen the scales. Kept out of them all the same, it would
    # sharpen the window past the file and raise noise after it as two more events.
    (AJAC, "2024-07-27T07:29:00.000Z", 600.0, 10.0),
])
def test_an_event_seen_by_earlier_windows_is_judged_as_in_the_file(files, onset, seconds, db):
    rec, nav = day(files)
    hours, minutes, secs = (float(x) for x in onset[11:19].split(":"))
    start = hours * 3600 + minutes * 60 + secs
    jammed = t._inject_interference(rec, [dict(db=db, start=start, end=start + seconds)])
    closed, _, recording = fed_epoch_by_epoch(jammed, nav)
    (reference,) = t.detect_interference(recording.obs, recording.nav).events
    assert [(c["start"], c["end"], c["bands"], c["kind"]) for c in closed] == \
        [(reference.start, reference.end, reference.bands, reference.kind)]
    assert reference.start == onset and reference.kind == "wideband"


def test_the_stream_learns_its_template_over_the_whole_day():
    rec, nav = day(ZIMM)
    closed, live, _ = fed_epoch_by_epoch(rec, nav)
    assert closed == []
    # Combined from the clean windows of the day, not frozen after the first two hours.
    learned = live.template
    assert learned.start_time == "2021-01-01T00:00:00.000Z" and learned.end_time >= "2021-01-01T21:00:00.000Z"
    assert sorted(learned.signals) == sorted(t.detect_interference(rec, nav).template.signals)
