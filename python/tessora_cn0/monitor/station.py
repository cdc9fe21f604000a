"""One station of the live monitor: its stream's bytes decoded as they arrive (RtcmStream), every
completed epoch judged (LiveDetector), and what an operator watches of it: the event changes and
stream states as log lines, the latency, the observation rate, the CN0 per band over the last hour.

The client's thread calls `on_data` and `on_state`; `snapshot` and `close` come from others, so the
station's state is kept under one lock. Log lines go to `emit`, a callable that must not block."""
import collections
import datetime
import os
import sys
import threading
import time

import tessora_cn0 as _t
from tessora_cn0.monitor.corruption import CorruptionWatch
from tessora_cn0.monitor.memory import StationMemory
from tessora_cn0.monitor.timing import ObservationRate, latency

HOUR = 3600.0
# The CN0 per band kept for the status page: one point per this many seconds of the stream.
BAND_POINT_SECONDS = 10.0
# Judgement times kept for the percentiles (arrival of the bytes to the end of the judgement).
JUDGEMENT_SAMPLES = 4096


_GPS_ORIGIN = datetime.datetime(1980, 1, 6)


def _epoch_datetime(text):
    """The naive GPS datetime of an epoch text ("2024-03-05T07:09:03.500Z")."""
    return datetime.datetime.fromisoformat(text.rstrip("Z"))


def _utc_text(posix):
    return datetime.datetime.fromtimestamp(posix, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def event_line(station, change):
    """The log line of an event change."""
    return {"type": "event", "action": change["action"], "station": station, "start": change["start"],
            "peak_time": change["peak_time"], "end": change["end"] if change["action"] == "close" else None,
            "peak_degradation_db": round(change["peak_degradation_db"], 2), "bands": change["bands"],
            "kind": change["kind"], "confirmed": change["confirmed"]}


class Station:
    """The pipeline of one mountpoint (or raw TCP source)."""

    def __init__(self, source, emit, *, template=None, false_alarms_per_day=0.002, clock=time.time, record=None,
                 store=None):
        self.source = source
        self.name = source.name
        self.emit = emit
        self.clock = clock
        self.lock = threading.Lock()
        # The stream's ephemerides date its epochs; before any, the host's clock does.
        self.stream = _t.RtcmStream(name=self.name, clock=clock())
        # --store: the station's template by its set-up (unless --templates gave one), its days recorded.
        self.memory = StationMemory(store, self.name, source.url()) if store is not None else None
        self.given = template is not None
        if template is None and self.memory is not None:
            template = self.memory.template
        self.template, self.false_alarms_per_day = template, false_alarms_per_day
        self.detector = self._new_detector()
        self.corruption = CorruptionWatch()
        self.rate = ObservationRate()
        self.state = "disconnected"
        self.ephemerides = 0
        self.latency = None
        self.last_epoch = None
        self.satellites = 0
        self.outages = self.reconnects = self.connects = 0
        self.events = collections.deque(maxlen=200)   # this station's recent event lines
        self.open = {}                                  # start -> latest line of each open event
        self.bands = collections.deque()                # (stream seconds, epoch text, band points)
        self.latest = ()                                # (band, cn0, degradation) of the last epoch
        self.judgement = collections.deque(maxlen=JUDGEMENT_SAMPLES)
        # --record: the same bytes decoded a second time, taken an hour at a time into RINEX 3 files.
        self.recorder = _HourlyFiles(record, self.name, clock) if record else None

    def _new_detector(self):
        return _t.LiveDetector(self.template, false_alarms_per_day=self.false_alarms_per_day)

    # --- the client's callbacks -----------------------------------------------------------
    def on_state(self, source, state, host_time, detail):
        with self.lock:
            if state == "outage":
                self.outages += 1
            if state == "connected":
                self.connects += 1
                self.reconnects += self.connects > 1
            self.state = "connected" if state == "recovered" else state
        self._stream_line(state, host_time, detail)

    def on_data(self, source, data, host_time):
        lines = []
        with self.lock:
            self.stream.feed(data)
            if self.recorder:
                self.recorder.feed(data)
            stats = self.stream.stats
            change = self.corruption.update(stats["frames"], stats["crc_failures"])
            epochs = self.stream.take()
            if epochs is not None:
                lines = self._judge(epochs, host_time)
            if change == "corrupted":
                self.state = "corrupted"
            elif change == "recovered" and self.state == "corrupted":
                self.state = "connected"
        if change:
            self._stream_line(change, host_time, f"{stats['crc_failures']} checksum failures so far")
        for line in lines:
            self.emit(line)

    def _judge(self, epochs, host_time):
        lines = []
        if self.memory is not None and not self.given and self.memory.new_setup(epochs):
            # Another set-up has another template (or none yet): the judging starts again with it.
            closed = self.detector.finish(interrupted=True)
            self.memory.keep(closed)
            lines = [self._event(c) for c in closed]
            self.template = self.memory.template
            self.detector = self._new_detector()
            self.ephemerides = 0
        if self.stream.ephemerides != self.ephemerides:
            self.ephemerides = self.stream.ephemerides
            nav = self.stream.nav
            if nav is not None:
                self.detector.set_navigation(nav)
        changes = self.detector.push(epochs)
        if self.recorder and self.detector.last_epoch:
            self.recorder.reached(self.detector.last_epoch)
        if self.memory is not None and self.detector.last_epoch:
            self.memory.judged(self.detector.last_epoch, changes)
        done = self.clock()
        self.judgement.append(done - host_time)
        self.last_epoch = self.detector.last_epoch
        self.satellites = epochs.num_satellites
        if self.last_epoch:
            when = _epoch_datetime(self.last_epoch)
            self.latency = latency(when, host_time)
            self.rate.add(when)
            point = tuple((b["band"], b["cn0"], b["degradation"]) for b in self.detector.bands)
            self.latest = point
            # The history a point per BAND_POINT_SECONDS of the stream's own time, for an hour of it.
            at = (when - _GPS_ORIGIN).total_seconds()
            if self.bands and at < self.bands[-1][0]:  # re-dated by the stream's first ephemeris
                self.bands.clear()
            if not self.bands or at - self.bands[-1][0] >= BAND_POINT_SECONDS:
                self.bands.append((at, self.last_epoch, point))
            while self.bands and at - self.bands[0][0] > HOUR:
                self.bands.popleft()
        return lines + [self._event(c) for c in changes]

    def _event(self, change):
        line = event_line(self.name, change)
        line["time"] = _utc_text(self.clock())
        if line["action"] == "close":
            self.open.pop(line["start"], None)
        else:
            self.open[line["start"]] = line
        self.events.append(line)
        return line

    def _stream_line(self, state, host_time, detail):
        self.emit({"type": "stream", "mount": self.name, "state": state, "time": _utc_text(host_time),
                   "detail": detail})

    # --- the monitor's side -------------------------------------------------------------------
    def close(self, interrupted=True):
        """The end: every open event closed (marked interrupted) and logged."""
        with self.lock:
            self.stream.finish()
            epochs = self.stream.take()
            lines = self._judge(epochs, self.clock()) if epochs is not None else []
            if self.recorder:
                self.recorder.close()
            changes = self.detector.finish(interrupted=interrupted)
            for change in changes:
                line = self._event(change)
                if interrupted:
                    line["interrupted"] = True
                lines.append(line)
            if self.memory is not None:
                self.memory.close(changes)
        for line in lines:
            self.emit(line)

    def snapshot(self):
        """The station's part of the status snapshot (see monitor.server)."""
        with self.lock:
            series = collections.defaultdict(list)
            for _, when, point in self.bands:
                for band, cn0, degradation in point:
                    series[band].append([when, cn0, degradation])
            latest = {band: degradation for band, _, degradation in self.latest}
            return {"station": self.name, "mount": self.name, "state": self.state,
                    "latency_s": None if self.latency is None else round(self.latency, 3),
                    "rate_s": self.rate.interval, "satellites": self.satellites, "epochs": self.detector.epochs,
                    "last_epoch": self.last_epoch, "outages": self.outages, "reconnects": self.reconnects,
                    "crc_failures": self.stream.stats["crc_failures"], "degradation_db": latest,
                    "bands": dict(series), "open_events": list(self.open.values())}

    def judgement_times(self):
        """Seconds from the arrival of each recent piece with epochs to the end of their judgement."""
        with self.lock:
            return list(self.judgement)


class _HourlyFiles:
    """A station's epochs as hourly RINEX 3 files, DIR/<station>/<station>_R_<YYYYDDDHH>00_01H_MO.rnx:
    each hour is written once the stream has passed it."""

    def __init__(self, folder, name, clock):
        safe = "".join(c if c.isalnum() or c in "-_" else "_" for c in name) or "station"
        self.folder = os.path.join(folder, safe)
        self.safe = safe
        os.makedirs(self.folder, exist_ok=True)
        self.stream = _t.RtcmStream(name=name, clock=clock())
        self.hour = None  # the hour being gathered (naive GPS datetime)

    def feed(self, data):
        self.stream.feed(data)

    def reached(self, epoch_text):
        hour = _epoch_datetime(epoch_text).replace(minute=0, second=0, microsecond=0)
        if self.hour is None or hour < self.hour:  # the first, or a stream re-dated by its ephemerides
            self.hour = hour
        elif hour > self.hour:
            self._write(self.stream.take_before(hour.strftime("%Y-%m-%dT%H:%M:%S.000Z")), self.hour)
            self.hour = hour

    def close(self):
        self.stream.finish()
        if self.hour is not None:
            self._write(self.stream.take(), self.hour)

    def _write(self, rec, hour):
        if rec is None:
            return
        path = os.path.join(self.folder, f"{self.safe}_R_{hour:%Y}{hour.timetuple().tm_yday:03d}{hour:%H}00_01H_MO.rnx")
        try:
            rec.to_rinex(path)
        except (OSError, ValueError) as exc:
            sys.stderr.write(f"tessora-cn0 monitor: {path}: {exc}\n")
