"""``tessora-cn0 monitor``: many reference-station streams watched at once. Every stream's epochs are
judged as they arrive (monitor.station); event changes and stream states go out as JSON lines, to a
hook command, and to the status page and metrics of ``--serve``. Ctrl-C or SIGTERM closes the open
events as interrupted, flushes the log and exits 0."""
import json
import os
import shlex
import signal
import subprocess
import sys
import threading
import time

import tessora_cn0 as _t
from tessora_cn0.monitor.client import StreamClient
from tessora_cn0.monitor.sources import parse_sources
from tessora_cn0.monitor.sourcetable import fetch_sourcetable
from tessora_cn0.monitor.station import Station

RECENT_EVENTS = 500


class _Log:
    """JSON lines to a file (or standard output), one write and flush per line, from any thread."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = sys.stdout if path in (None, "-") else open(path, "a", encoding="utf-8")

    def write(self, line):
        text = json.dumps(line, separators=(", ", ": ")) + "\n"
        with self.lock:
            self.file.write(text)
            self.file.flush()

    def close(self):
        if self.file is not sys.stdout:
            self.file.close()


class _Hook:
    """Runs the operator's command for every event line, its fields as arguments and environment;
    never waits for it (finished ones are reaped at the next event)."""

    FIELDS = ("action", "station", "start", "peak_time", "end", "peak_degradation_db", "bands", "kind")

    def __init__(self, command):
        self.argv = shlex.split(command)
        self.running = []

    def __call__(self, line):
        values = ["" if line.get(k) is None else ",".join(line[k]) if k == "bands" else str(line[k])
                  for k in self.FIELDS]
        env = dict(os.environ, **{f"TESSORA_EVENT_{k.upper()}": v for k, v in zip(self.FIELDS, values)})
        self.running = [p for p in self.running if p.poll() is None]
        try:
            self.running.append(subprocess.Popen(self.argv + values, env=env, stdin=subprocess.DEVNULL))
        except OSError as exc:
            sys.stderr.write(f"tessora-cn0 monitor: --on-event {self.argv[0]}: {exc.strerror or exc}\n")


class Monitor:
    """The stations, their clients and what they tell."""

    def __init__(self, sources, log, *, templates=None, hook=None, false_alarms_per_day=0.002, record=None,
                 store=None):
        self.log, self.hook = log, hook
        self.lock = threading.Lock()
        self.recent = []
        self.stations = [Station(s, self._emit, template=(templates or {}).get(s.name),
                                 false_alarms_per_day=false_alarms_per_day, record=record, store=store)
                         for s in sources]
        self.clients = [StreamClient(st.source, st.on_data, st.on_state) for st in self.stations]

    def _emit(self, line):
        self.log.write(line)
        if line["type"] == "event":
            with self.lock:
                self.recent.append(line)
                del self.recent[:-RECENT_EVENTS]
            if self.hook:
                self.hook(line)

    def start(self):
        for c in self.clients:
            c.start()

    def stop(self):
        for c in self.clients:
            c.stop()
        for st in self.stations:
            st.close(interrupted=True)

    def judgement_summary(self):
        """One line on the time from a piece's arrival to the end of its judgement, over all stations."""
        values = sorted(v for st in self.stations for v in st.judgement_times())
        if not values:
            return "no epoch judged"
        q = lambda p: values[min(len(values) - 1, int(p * len(values)))] * 1000.0  # noqa: E731
        return f"{len(values)} judgements, time from arrival: median {q(0.5):.1f} ms, 99th percentile {q(0.99):.1f} ms"

    def events(self):
        with self.lock:
            return list(self.recent)

    def snapshot(self):
        stations = [st.snapshot() for st in self.stations]
        open_events = sum(len(s["open_events"]) for s in stations)
        return {"time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "stations": stations,
                "events": self.events(), "counts": {"events": len(self.events()), "open": open_events}}


def _sources(args):
    sources = []
    for text in args.sources:
        try:
            found = parse_sources(text)
        except ValueError as exc:
            args.parser.error(str(exc))
        for s in found:
            if s.mount is None and s.scheme != "tcp" and args.all:
                try:
                    sources += [s.with_mount(r.mountpoint) for r in fetch_sourcetable(s)]
                except (OSError, ValueError) as exc:
                    raise SystemExit(f"tessora-cn0 monitor: {s.url()}: sourcetable: {exc}")
            elif s.mount is None and s.scheme != "tcp":
                args.parser.error(f"{s.url()}: name the mountpoints (HOST:PORT/MOUNT,...) or give --all")
            else:
                sources.append(s)
    # A station's name keys its log lines, its metrics and its --record folder: one stream each.
    seen = {}
    for s in sources:
        if s.name in seen:
            args.parser.error(f"{s.url()}: station {s.name} is given twice (also {seen[s.name].url()})")
        seen[s.name] = s
    return sources


def _templates(folder, sources):
    """`<station>.template.json` of every station that has one in the folder."""
    out = {}
    for s in sources:
        path = os.path.join(folder, f"{s.name}.template.json")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                out[s.name] = _t.CN0Template.from_json(f.read())
    return out


def run(args):
    sources = _sources(args)
    templates = _templates(args.templates, sources) if args.templates else None
    store = None
    if args.store:
        from tessora_cn0.store.cli import open_store
        store = open_store(args.store)
    log = _Log(args.events)
    monitor = Monitor(sources, log, templates=templates, hook=_Hook(args.on_event) if args.on_event else None,
                      record=args.record, store=store)
    server = None
    if args.serve:
        from tessora_cn0.monitor.server import MonitorServer
        server = MonitorServer(args.serve[0], args.serve[1], monitor.snapshot, monitor.events)
        server.start()
        sys.stderr.write(f"tessora-cn0 monitor: serving on http://{server.address}/\n")
        sys.stderr.flush()
    stop = threading.Event()
    previous = {s: signal.signal(s, lambda *_: stop.set()) for s in (signal.SIGINT, signal.SIGTERM)}
    monitor.start()
    try:
        while not stop.wait(0.5):
            pass
    finally:
        monitor.stop()
        sys.stderr.write(f"tessora-cn0 monitor: {monitor.judgement_summary()}\n")
        if server:
            server.stop()
        log.close()
        if store is not None:
            store.close()
        for s, handler in previous.items():
            signal.signal(s, handler)
    return 0
