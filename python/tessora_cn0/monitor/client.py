"""A live connection to one stream (an NTRIP mountpoint or a raw RTCM 3 TCP server) that keeps
itself up: it reconnects after every loss, waiting longer after each failure, and reports the
stream's state as the monitor's log words.

States (``on_state``):
- "connected": payload flows, at the first piece after a connection opened (not at the caster's
  200: a caster may answer 200 and then send nothing, or a sourcetable);
- "outage": connected, and no payload for ``outage_after`` seconds (reported once);
- "recovered": the first payload after an outage;
- "disconnected": the stream was lost (a drop, a failed connection, a refusal), reported once per
  loss with its reason; the retries that fail after it report nothing until "connected".
An outage that lasts 3 × ``outage_after`` closes the connection and opens a new one: a connection
whose peer vanished without a word never fails by itself.

Retries wait 1, 2, 4, ... seconds, at most ``max_backoff``. The wait starts again from 1 s once a
connection has delivered payload for ``stable_after`` (60) seconds, so that a caster that accepts and
drops at once is not hammered, while a stream that ran for a while is retried quickly.
"""
import dataclasses
import logging
import socket
import threading
import time

from tessora_cn0.monitor import protocol
from tessora_cn0.monitor.protocol import NtripError, Stopped

STABLE_AFTER = 60.0    # seconds of payload after which a connection counts as good (backoff to 1 s)
DROP_FACTOR = 3.0      # an outage of DROP_FACTOR × outage_after drops and reopens the connection
MAX_GAPS = 100         # gaps kept in the statistics (the latest)
MAX_DELAYS = 32        # retry delays kept in the statistics (the latest)
FLOWING = ("connected", "recovered")   # the states in which payload flows

log = logging.getLogger(__name__)


@dataclasses.dataclass
class ClientStats:
    """A snapshot of a StreamClient's counters. Host times are the client's clock (time.time: UTC
    seconds); durations are measured on the monotonic clock."""

    state: str = "starting"             # the last state reported, "starting" before any, "stopped" at the end
    bytes_received: int = 0             # payload bytes (after chunk decoding)
    attempts: int = 0                   # connections tried
    connects: int = 0                   # connections whose answer opened a stream
    reconnects: int = 0                 # connects after the first
    last_data_time: float | None = None  # host time of the latest payload
    longest_gap: float = 0.0            # longest time between two payload pieces, in seconds
    gaps: list = dataclasses.field(default_factory=list)   # (host time the gap began, seconds), >= outage_after
    retry_delays: list = dataclasses.field(default_factory=list)  # the waits before retries, in seconds
    last_error: str | None = None       # the reason of the latest loss or failed attempt
    protocol: str | None = None         # "Ntrip/2.0", "Ntrip/1.0", "HTTP" or "tcp", of the latest stream

    def copy(self):
        return dataclasses.replace(self, gaps=list(self.gaps), retry_delays=list(self.retry_delays))


class StreamClient:
    """One source's connection, run on a daemon thread by start() until stop().

    on_data(source, data, host_time) gets each piece of payload, on_state(source, state,
    host_time, detail) each state change (see the module's text), both called from the client's
    thread; an exception they raise is logged and the client goes on. Every socket operation has a
    timeout; nothing is raised out of the thread."""

    def __init__(self, source, on_data, on_state, *, clock=time.time, outage_after=20.0, max_backoff=256.0,
                 connect_timeout=10.0, stable_after=STABLE_AFTER):
        if source.scheme != "tcp" and source.mount is None:
            raise ValueError(f"{source.url()}: no mountpoint to connect to (a caster's address gives its sourcetable)")
        if not (outage_after > 0.0 and connect_timeout > 0.0 and stable_after > 0.0 and max_backoff >= 1.0):
            raise ValueError("outage_after, connect_timeout and stable_after must be > 0, max_backoff >= 1")
        self.source = source
        self.on_data, self.on_state, self.clock = on_data, on_state, clock
        self.outage_after, self.max_backoff, self.connect_timeout = outage_after, max_backoff, connect_timeout
        self.stable_after = stable_after
        self.drop_after = DROP_FACTOR * outage_after
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._stats = ClientStats()
        self._sock = None
        self._thread = None
        self._state = None        # the last state reported (None before any)
        self._failures = 0        # losses and failed attempts since the last good connection
        self._version = 2         # the NTRIP version asked in first; 1 once only that opened a stream
        self._last_data = None    # monotonic time of the latest payload

    # The caller's side.

    def start(self):
        if self._thread is not None:
            raise RuntimeError(f"{self.source.name}: the client was started already")
        self._thread = threading.Thread(target=self._run, name=f"stream {self.source.name}", daemon=True)
        self._thread.start()

    def stop(self, timeout=2.0):
        """Close the connection and end the thread; True when it ended within timeout seconds."""
        self._stop.set()
        with self._lock:
            if self._sock is not None:
                try:
                    self._sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        if self._thread is not None:
            self._thread.join(timeout)
            return not self._thread.is_alive()
        return True

    @property
    def stats(self):
        with self._lock:
            return self._stats.copy()

    @property
    def running(self):
        return self._thread is not None and self._thread.is_alive()

    # The thread.

    def _run(self):
        while not self._stop.is_set():
            try:
                reason = self._session()
            except Stopped:
                break
            except Exception as exc:  # every failure of a connection is a loss, never the thread's end
                reason = _describe(exc, self._peer)
            if self._stop.is_set():
                break
            self._lost(reason)
            self._wait_before_retry()
        with self._lock:
            self._stats.state = "stopped"

    @property
    def _peer(self):
        return "server" if self.source.scheme == "tcp" else "caster"

    def _session(self):
        """One connection, from connecting to its loss; the reason of the loss. An NTRIP 2 request
        the caster did not understand is asked again at once in NTRIP 1; the version that opened a
        stream is the one the next connections ask in."""
        version = self._version
        while True:
            sock = self._connect()
            try:
                if self.source.scheme == "tcp":
                    return self._stream(sock, None, b"", "tcp")
                response = self._ask(sock, version)
                if version == 2 and protocol.speaks_only_v1(response):
                    log.info("%s: no NTRIP 2 (%r); asking in NTRIP 1", self.source.name, response.first_line[:60])
                    version = 1
                    continue
                reason = protocol.fault_reason(response)
                if reason is not None:
                    raise NtripError(reason)
                self._version = version
                decoder = protocol.ChunkedDecoder() if response.chunked else (
                    protocol.IcyHeaderSkipper() if response.kind == "icy" else None)
                return self._stream(sock, decoder, response.body, response.protocol)
            finally:
                with self._lock:
                    self._sock = None
                sock.close()

    def _connect(self):
        with self._lock:
            self._stats.attempts += 1
        sock = protocol.connect(self.source, self.connect_timeout, self._stop.is_set)
        with self._lock:
            self._sock = sock
        if self._stop.is_set():  # stop() came between connecting and keeping the socket
            sock.close()
            raise Stopped
        return sock

    def _ask(self, sock, version):
        sock.settimeout(self.connect_timeout)
        sock.sendall(protocol.build_request(self.source, version))
        try:
            return protocol.read_response(sock, time.monotonic() + self.connect_timeout, self._stop.is_set)
        except TimeoutError:
            raise TimeoutError(f"no answer from the caster within {self.connect_timeout:g} s") from None

    def _stream(self, sock, decoder, first, protocol_name):
        with self._lock:
            self._stats.connects += 1
            self._stats.reconnects = self._stats.connects - 1
            self._stats.protocol = protocol_name
        opened = time.monotonic()
        first_data = None
        pending = first
        while True:
            if pending:
                piece, pending = pending, b""
            else:
                piece = self._recv(sock)
            now = time.monotonic()
            if piece is None:  # a quiet slice
                reason = self._quiet(now - max(opened, self._last_data or opened))
                if reason is not None:
                    return reason
                continue
            if not piece:
                return f"closed by the {self._peer}"
            payload = self._decode(decoder, piece)
            if payload:
                first_data = first_data if first_data is not None else now
                self._deliver(payload, now, protocol_name)
                if now - first_data >= self.stable_after:
                    self._failures = 0
            if getattr(decoder, "finished", False):
                return f"stream ended by the {self._peer} (last chunk)"

    def _quiet(self, quiet):
        """The outage that quiet seconds without payload make, or the reason to drop the connection."""
        if quiet >= self.drop_after:
            return f"no data for {quiet:.0f} s"
        if quiet >= self.outage_after and self._state in FLOWING:
            self._report("outage", f"no data for {quiet:.0f} s")
        return None

    def _recv(self, sock):
        """A piece of bytes, b"" at the end of the stream, None after SLICE seconds of nothing."""
        if self._stop.is_set():
            raise Stopped
        sock.settimeout(protocol.SLICE)
        try:
            return sock.recv(65536)
        except TimeoutError:
            return None
        except OSError:
            if self._stop.is_set():
                raise Stopped from None
            raise

    @staticmethod
    def _decode(decoder, piece):
        if decoder is None:
            return piece
        try:
            return decoder.feed(piece)
        except ValueError as exc:
            raise NtripError(f"bad chunked transfer: {exc}") from None

    def _deliver(self, payload, now, protocol_name):
        host = self.clock()
        quiet = None if self._last_data is None else now - self._last_data
        with self._lock:
            stats = self._stats
            stats.bytes_received += len(payload)
            if quiet is not None:
                stats.longest_gap = max(stats.longest_gap, quiet)
                if quiet >= self.outage_after:
                    stats.gaps = (stats.gaps + [(host - quiet, quiet)])[-MAX_GAPS:]
            stats.last_data_time = host
        self._last_data = now
        if self._state == "outage":
            self._report("recovered", f"after {quiet:.1f} s without data")
        elif self._state not in FLOWING:
            self._report("connected", protocol_name)
        try:
            self.on_data(self.source, payload, host)
        except Exception:
            log.exception("%s: on_data failed", self.source.name)

    def _lost(self, reason):
        with self._lock:
            self._stats.last_error = reason
        if self._state != "disconnected":
            self._report("disconnected", reason)
        else:
            log.debug("%s: retry failed: %s", self.source.name, reason)
        self._failures += 1

    def _wait_before_retry(self):
        delay = float(min(self.max_backoff, 2.0 ** min(self._failures - 1, 62)))
        with self._lock:
            self._stats.retry_delays = (self._stats.retry_delays + [delay])[-MAX_DELAYS:]
        self._stop.wait(delay)

    def _report(self, state, detail):
        self._state = state
        with self._lock:
            self._stats.state = state
        try:
            self.on_state(self.source, state, self.clock(), detail)
        except Exception:
            log.exception("%s: on_state failed", self.source.name)


def _describe(exc, peer):
    """The reason of a failed connection as the log shows it."""
    if isinstance(exc, NtripError):
        return str(exc)
    if isinstance(exc, ConnectionRefusedError):
        return "connection refused"
    if isinstance(exc, ConnectionResetError):
        return f"connection reset by the {peer}"
    if isinstance(exc, BrokenPipeError):
        return f"closed by the {peer}"
    if isinstance(exc, socket.gaierror):
        return f"host not found ({exc.strerror})"
    if isinstance(exc, TimeoutError):
        return str(exc) if str(exc) else "timed out"
    if isinstance(exc, OSError):
        return exc.strerror or str(exc)
    log.error("stream client: unexpected failure", exc_info=exc)
    return f"internal error: {exc!r}"
