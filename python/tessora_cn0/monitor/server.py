"""The monitor's HTTP side: a status page, the snapshot as JSON, Prometheus metrics and the events.

    server = MonitorServer("127.0.0.1", 8080, snapshot=monitor.snapshot, events=monitor.events)
    server.start()          # serves on a daemon thread; server.address is "127.0.0.1:8080"
    ...
    server.stop()

Routes (GET and HEAD):

``/``             the status page (``page.PAGE``), which fetches ``/status.json?points=150`` every 2 s.
``/status.json``  the snapshot as JSON. ``?points=N`` thins every band series to at most N points
                  (the first and latest epochs, and (N - 2) // 3 stretches of equal length, each giving
                  its lowest and highest CN0 and, when it holds one, an epoch without CN0, so that a dip
                  or a loss still shows).
``/metrics``      ``metrics_text(snapshot)`` (``monitor.metrics``), the Prometheus text exposition.
``/events``       the events as a JSON array; ``?since=ISO`` keeps the lines whose time is at or
                  after it (see ``event_time``).

Anything else is 404. A snapshot or events callable that raises gives 500 with a one-line message,
and the server goes on serving. Every request runs on a thread of its own, so a slow snapshot holds
up no other request; nothing is logged per request. Bodies over 1 KiB go out gzip-compressed when
the client accepts it (a snapshot of 200 stations is megabytes of JSON).
"""
import gzip
import http.server
import json
import math
import operator
import re
import socket
import threading
import urllib.parse
from datetime import datetime, timedelta, timezone
from typing import Callable, Optional

from tessora_cn0.monitor.metrics import METRICS_CONTENT_TYPE, metrics_text
from tessora_cn0.monitor.page import PAGE

__all__ = ["MonitorServer", "metrics_text", "thin_snapshot", "event_time", "parse_time"]

PAGE_POINTS = 150          # points per band the page asks for (its charts are 300 px wide)
REQUEST_TIMEOUT = 30.0     # seconds a client may take to send its request
_GZIP_MIN = 1024

# The page runs no code and loads nothing but its own, and fetches only from this server.
_PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                               "img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}
_JSON = "application/json; charset=utf-8"
_TEXT = "text/plain; charset=utf-8"


class MonitorServer:
    """An HTTP server of a monitor's snapshot and events, bound when made, serving once started.

    snapshot() gives the monitor's state as a JSON-ready dict, events() its recent event lines; both
    are called on the request threads, once per request that needs them, and must be thread-safe."""

    def __init__(self, host: str, port: int, snapshot: Callable[[], dict], events: Callable[[], list]):
        host = host.strip("[]")  # "[::1]" as written in HOST:PORT
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        handler = type("Handler", (_Handler,), {"snapshot": staticmethod(snapshot),
                                                "events": staticmethod(events)})
        server_class = type("Server", (_Server,), {"address_family": family})
        self._httpd = server_class((host, port), handler)
        self._thread: Optional[threading.Thread] = None
        self._lock = threading.Lock()

    @property
    def address(self) -> str:
        host, port = self._httpd.server_address[:2]
        return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"

    def start(self) -> None:
        with self._lock:
            if self._thread is not None:
                raise RuntimeError("MonitorServer already started")
            self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                            name=f"monitor-http-{self.address}", daemon=True)
            self._thread.start()

    def stop(self) -> None:
        """Stops serving and closes the listening socket (within a second: the loop polls every
        0.1 s). Requests being answered finish on their own daemon threads."""
        with self._lock:
            thread, self._thread = self._thread, None
            if thread is not None:
                self._httpd.shutdown()
                thread.join(1.0)
            self._httpd.server_close()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def handle_error(self, request, client_address):
        # Only connection failures reach here (a client gone mid-response); the handler answers
        # every other failure with a 500 itself. Neither is worth a traceback per request.
        pass


class _Handler(http.server.BaseHTTPRequestHandler):
    snapshot: Callable[[], dict]
    events: Callable[[], list]
    timeout = REQUEST_TIMEOUT
    server_version = "tessora-cn0-monitor"
    sys_version = ""

    def log_message(self, format, *args):  # noqa: A002 - the base class's signature
        pass

    def do_GET(self):
        self._answer(body=True)

    def do_HEAD(self):
        self._answer(body=False)

    def _answer(self, body):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        route = {"/": self._page, "/status.json": self._status, "/metrics": self._metrics,
                 "/events": self._events}.get(url.path)
        try:
            if route is None:
                status, ctype, data, headers = 404, _TEXT, b"not found\n", {}
            else:
                status, ctype, data, headers = route(query)
        except _Failed as failed:
            status, ctype, data, headers = failed.status, _TEXT, (str(failed) + "\n").encode(), {}
        except Exception as exc:  # a fault of ours: answered, never fatal to the server
            status, ctype, data, headers = 500, _TEXT, f"internal error: {_short(exc)}\n".encode(), {}
        self._send(status, ctype, data, headers, body)

    def _send(self, status, ctype, data, headers, body):
        if len(data) > _GZIP_MIN and "gzip" in self.headers.get("Accept-Encoding", ""):
            data = gzip.compress(data, compresslevel=5)
            headers = {**headers, "Content-Encoding": "gzip"}
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("Vary", "Accept-Encoding")
        for key, value in headers.items():
            self.send_header(key, value)
        self.end_headers()
        if body:
            self.wfile.write(data)

    def _call(self, which):
        try:
            return getattr(self, which)()
        except Exception as exc:
            raise _Failed(500, f"{which} failed: {_short(exc)}") from None

    def _page(self, query):
        return 200, "text/html; charset=utf-8", PAGE.encode(), _PAGE_HEADERS

    def _status(self, query):
        points = _int_arg(query, "points")
        snap = self._call("snapshot")
        if points is not None:
            snap = thin_snapshot(snap, points)
        return 200, _JSON, _json_bytes(snap), {}

    def _metrics(self, query):
        return 200, METRICS_CONTENT_TYPE, metrics_text(self._call("snapshot")).encode(), {}

    def _events(self, query):
        since = query.get("since", [None])[-1]
        bound = None
        if since is not None:
            bound = parse_time(since)
            if bound is None:
                raise _Failed(400, "since: expected an ISO 8601 time such as 2024-03-05T07:10:03Z, "
                                   f"not {since[:40]!r}")
        lines = self._call("events")
        if not isinstance(lines, list):
            lines = list(lines or ())
        if bound is not None:
            lines = [e for e in lines if (t := event_time(e)) is not None and t >= bound]
        return 200, _JSON, _json_bytes(lines), {}


class _Failed(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def _short(exc):
    text = str(exc).splitlines()[0] if str(exc) else ""
    return f"{type(exc).__name__}: {text[:200]}" if text else type(exc).__name__


def _int_arg(query, name):
    if name not in query:
        return None
    text = query[name][-1]
    if not text.isdigit() or not 3 <= int(text) <= 100000:
        raise _Failed(400, f"{name}: expected a whole number from 3 to 100000, not {text[:20]!r}")
    return int(text)


def _json_bytes(value):
    try:
        text = json.dumps(value, allow_nan=False, separators=(",", ":"), ensure_ascii=False, default=str)
    except ValueError:  # NaN or an infinity somewhere: null in JSON (browsers refuse NaN)
        text = json.dumps(_finite(value), allow_nan=False, separators=(",", ":"), ensure_ascii=False, default=str)
    return text.encode("utf-8", "replace")  # an unpaired surrogate (a bad decode) becomes '?'


def _finite(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


# ----------------------------------------------------------------------------------------------
# Times

_ISO = re.compile(r"(\d{4})-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d)(\.\d+)?)?)?\s*(Z|[+-]\d\d:?\d\d)?",
                  re.IGNORECASE)


def parse_time(text) -> Optional[datetime]:
    """An ISO 8601 time ("2024-03-05T07:10:03Z", fractions, offsets, a date alone) as an aware
    datetime; a time without a zone is taken as UTC, the monitor's times all being UTC. None when
    text is not such a time."""
    if not isinstance(text, str):
        return None
    m = _ISO.fullmatch(text.strip())
    if not m:
        return None
    year, month, day, hour, minute, second, fraction, zone = m.groups()
    tz = timezone.utc
    if zone and zone.upper() != "Z":
        sign = -1 if zone[0] == "-" else 1
        digits = zone[1:].replace(":", "")
        tz = timezone(sign * timedelta(hours=int(digits[:2]), minutes=int(digits[2:])))
    try:
        return datetime(int(year), int(month), int(day), int(hour or 0), int(minute or 0), int(second or 0),
                        round(float(fraction or 0) * 1e6) if fraction else 0, tzinfo=tz)
    except ValueError:  # month 13, a fraction rounding to a whole second, ...
        return None


def event_time(line) -> Optional[datetime]:
    """The time of an event line: its own "time" when it has one, else the latest of its end, peak
    and start (an open line speaks of the event up to its peak, a close line up to its end)."""
    if not isinstance(line, dict):
        return None
    own = parse_time(line.get("time"))
    if own is not None:
        return own
    times = [t for t in map(parse_time, (line.get("end"), line.get("peak_time"), line.get("start"))) if t]
    return max(times) if times else None


# ----------------------------------------------------------------------------------------------
# Thinning the band series for the page


def thin_snapshot(snapshot, points):
    """A copy of snapshot with every station's band series cut to at most points points (see the
    module's text). The snapshot itself is left as it is."""
    if not isinstance(snapshot, dict) or not isinstance(snapshot.get("stations"), list):
        return snapshot
    stations = []
    for st in snapshot["stations"]:
        if isinstance(st, dict) and isinstance(st.get("bands"), dict):
            st = {**st, "bands": {band: _thin(series, points) if isinstance(series, list) else series
                                  for band, series in st["bands"].items()}}
        stations.append(st)
    return {**snapshot, "stations": stations}


_second = operator.itemgetter(1)


def _cn0(point):
    v = point[1] if isinstance(point, (list, tuple)) and len(point) > 1 else None
    return v if isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) else None


def _thin(series, points):
    n = len(series)
    if n <= points:
        return series
    try:
        return _thin_fast(series, points, list(map(_second, series)))
    except (TypeError, IndexError, KeyError):  # odd points (texts, too short): each one judged
        return _thin_fast(series, points, [_cn0(p) for p in series])


def _thin_fast(series, points, values):
    # The scans are list operations (min, max and index on slices), not Python loops: the page of
    # 200 stations of an hour at 1 s is 2 million points every 2 s. A NaN among the values may be
    # kept as an extreme; it goes out as null, the same gap as None.
    n = len(series)
    buckets = max(1, (points - 2) // 3)
    keep = {0, n - 1}  # the first and the latest epoch always (the page shows the latest CN0)
    for b in range(buckets):
        lo, hi = b * n // buckets, (b + 1) * n // buckets
        stretch = values[lo:hi]
        try:
            keep.update((lo + stretch.index(min(stretch)), lo + stretch.index(max(stretch))))
        except TypeError:  # epochs without CN0 (None) in the stretch
            known = [v for v in stretch if v is not None]
            if known:
                keep.update((lo + stretch.index(min(known)), lo + stretch.index(max(known))))
            keep.add(lo + stretch.index(None))
    return [series[i] for i in sorted(keep)]
