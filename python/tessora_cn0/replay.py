"""``tessora-cn0 replay``: a recording sent again as a reference station's RTCM 3 stream, into a file
or to every TCP client that connects (a caster's feed, such as RTKLIB's ``str2str -in tcpcli://``).
The recording is encoded first (``RinexObsData._rtcm3_epochs``, one bytes per epoch), then epoch k
goes out at wall time t0 + (time_k - time_0) / speed, so that gaps stay gaps."""
import argparse
import collections
import datetime
import signal
import socket
import sys
import threading
import time

import tessora_cn0 as _t
from tessora_cn0.cli import PROG, _Failure, _read_any

MAX_LAG = 10.0            # seconds of wall time a TCP client may fall behind before it is dropped
MAX_BACKLOG = 64 << 20    # bytes a TCP client may hold unsent, whatever the pace
LINGER = 2.0              # seconds a client has, after the last epoch, to read the end and close


def speed(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not value > 0.0:  # NaN fails too
        raise argparse.ArgumentTypeError(f"must be a number > 0, not {text}")
    return value


def epoch_time(text):
    try:
        value = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected an ISO 8601 time such as 2024-05-07T09:00:00, not {text!r}") from None
    if value.tzinfo is not None:
        raise argparse.ArgumentTypeError(
            f"give the time without a zone, in the recording's own GPS time (such as 2024-05-07T09:00:00), "
            f"not {text!r}")
    return value


def tcp_address(text):
    host, colon, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):  # [::1]:2101
        host = host[1:-1]
    if not colon or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(
            f"expected HOST:PORT such as 127.0.0.1:2101 (port 0 picks a free one), not {text!r}")
    return host, int(port)



def _epochs(args):
    """[(GPS time, bytes)] of the selected epochs; the navigation file's ephemerides, or an RTCM 3
    recording's own, go into the stream."""
    try:
        obs, rtcm = _read_any(args.obs)
    except (OSError, ValueError) as exc:
        raise _Failure(args.obs, str(exc)) from None
    nav = rtcm.nav if rtcm is not None else None
    if args.nav is not None:
        try:
            nav = _t.read_navigation(args.nav)
        except (OSError, ValueError) as exc:
            raise _Failure(args.nav, str(exc)) from None
    try:
        return obs._rtcm3_epochs(nav=nav, msm=args.msm, start=args.start, end=args.end)
    except ValueError as exc:
        raise _Failure(args.obs, str(exc)) from None


def _pace(epochs, speed_factor, send, sleep, sent):
    """send(data, due) for each epoch at its due time on the monotonic clock; sent gets each time."""
    t0 = time.monotonic()
    for when, data in epochs:
        due = t0 + (when - epochs[0][0]).total_seconds() / speed_factor
        sleep(due - time.monotonic())
        send(data, due)
        sent.append(when)


class _FileSink:
    """The stream into a file, or standard output for '-', flushed after every epoch."""

    def __init__(self, path):
        self.path = path
        if path == "-":
            self.file = sys.stdout.buffer
            return
        try:
            self.file = open(path, "wb")
        except OSError as exc:
            raise _Failure(path, exc.strerror or str(exc)) from None

    def send(self, data, due):
        try:
            self.file.write(data)
            self.file.flush()
        except BrokenPipeError:  # `... --out - | head -c 100`: the command line's own handling
            raise
        except OSError as exc:
            raise _Failure(self.path, exc.strerror or str(exc)) from None

    def close(self, drain):
        if self.path != "-":
            self.file.close()

    def summary(self):
        return "" if self.path == "-" else f" into {self.path}"


class _Client:
    """One connection: a queue of epochs and the thread that sends them, so that a slow client only
    ever holds up itself."""

    def __init__(self, sock):
        self.sock = sock
        self.items = collections.deque()  # (due, data), oldest first
        self.backlog = 0                  # bytes queued or being sent
        self.cond = threading.Condition()
        self.finishing = False            # no more epochs: send what is queued, then close
        self.dead = False
        self.thread = threading.Thread(target=self._run, daemon=True)

    def offer(self, data, due):
        """Queue an epoch; False when the client is gone or too far behind to keep."""
        with self.cond:
            if self.dead or self.backlog > MAX_BACKLOG or (self.items and due - self.items[0][0] > MAX_LAG):
                return False
            self.items.append((due, data))
            self.backlog += len(data)
            self.cond.notify()
            return True

    def stop(self, at_once):
        """Close after what is queued, or at once: then a send blocked on a stalled peer fails."""
        with self.cond:
            self.finishing = True
            self.dead = self.dead or at_once
            self.cond.notify()
        if at_once:
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _next(self):
        with self.cond:
            while not (self.items or self.finishing or self.dead):
                self.cond.wait()
            return None if self.dead or not self.items else self.items.popleft()[1]

    def _run(self):
        try:
            while (data := self._next()) is not None:
                self.sock.sendall(data)
                with self.cond:
                    self.backlog -= len(data)
            if not self.dead:
                self._linger()
        except OSError:  # the peer went away or was dropped
            pass
        finally:
            self.dead = True
            self.sock.close()

    def _linger(self):
        """End of stream: half-close, then read until the peer closes (or LINGER passes), so that
        closing never resets a connection whose peer has not read everything yet."""
        self.sock.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + LINGER
        while (left := deadline - time.monotonic()) > 0.0:
            self.sock.settimeout(left)
            if not self.sock.recv(4096):
                return


class _Server:
    """Every client that connects gets the epochs from then on; one that falls MAX_LAG seconds or
    MAX_BACKLOG bytes behind is dropped."""

    def __init__(self, host, port):
        self.name = f"{host}:{port}"
        try:
            self.listener = self._listen(host, port)
        except OSError as exc:
            raise _Failure(self.name, exc.strerror or str(exc)) from None
        self.listener.settimeout(0.2)  # how soon the acceptor sees the end
        self.lock = threading.Lock()
        self.clients = []
        self.served = self.dropped = 0
        self.closed = False
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    @staticmethod
    def _listen(host, port):
        family, kind, proto, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                             flags=socket.AI_PASSIVE)[0]
        listener = socket.socket(family, kind, proto)
        try:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # a restart within TIME_WAIT
            listener.bind(address)
            listener.listen(16)
        except OSError:
            listener.close()
            raise
        return listener

    def address(self):
        host, port = self.listener.getsockname()[:2]
        return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"

    def _accept(self):
        while not self.closed:
            try:
                sock, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            sock.settimeout(None)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            client = _Client(sock)
            with self.lock:
                if self.closed:
                    sock.close()
                    return
                self.clients.append(client)
                self.served += 1
            client.thread.start()

    def send(self, data, due):
        with self.lock:
            clients = list(self.clients)
        for client in clients:
            if not client.offer(data, due):
                with self.lock:
                    self.clients.remove(client)
                    self.dropped += not client.dead
                client.stop(at_once=True)

    def close(self, drain):
        """drain: let every client take what it has queued (within MAX_LAG) and close cleanly;
        otherwise close every connection at once."""
        with self.lock:
            self.closed = True
            clients = list(self.clients)
        self.acceptor.join()
        self.listener.close()
        for client in clients:
            client.stop(at_once=not drain)
        deadline = time.monotonic() + (MAX_LAG + LINGER if drain else 1.0)
        for client in clients:
            client.thread.join(max(0.0, deadline - time.monotonic()))
            client.stop(at_once=True)  # a client still behind at the deadline

    def summary(self):
        dropped = f", {self.dropped} dropped as too slow" if self.dropped else ""
        return f" to {self.served} client{'' if self.served == 1 else 's'}{dropped}"


class _Stop(Exception):
    """SIGINT or SIGTERM, raised only between epochs (never inside the locks of the sending)."""


class _Signals:
    """SIGINT and SIGTERM stop the replay: at once while it waits for an epoch's time, else before
    the next epoch. Installed only on the main thread."""

    def __init__(self):
        self.received = None
        self.sleeping = False
        self.previous = {}
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self.previous[signum] = signal.signal(signum, self._handler)

    def _handler(self, signum, frame):
        self.received = signum
        if self.sleeping:
            self.sleeping = False
            raise _Stop

    def sleep(self, delay):
        self.sleeping = True
        try:
            if self.received is None and delay > 0.0:
                time.sleep(delay)
        finally:
            self.sleeping = False
        if self.received is not None:
            raise _Stop

    def restore(self):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)


def _open_sink(args):
    if args.tcp is None:
        return _FileSink(args.out)
    server = _Server(*args.tcp)
    sys.stderr.write(f"{PROG} replay: serving on {server.address()}\n")
    sys.stderr.flush()
    return server


def run(args):
    if args.start is not None and args.end is not None and args.start > args.end:
        args.parser.error(f"--from {args.start.isoformat()} is after --until {args.end.isoformat()}")
    epochs = _epochs(args)
    if not epochs:
        raise _Failure(args.obs, "no epoch in the selected time span")
    sink = _open_sink(args)
    signals = _Signals()
    sent = []
    try:
        _pace(epochs, args.speed, sink.send, signals.sleep, sent)
    except _Stop:
        pass
    finally:
        signals.restore()
        sink.close(drain=len(sent) == len(epochs))
    size = sum(len(data) for _, data in epochs[:len(sent)])
    span = f", {sent[0].isoformat(' ')} to {sent[-1].isoformat(' ')}" if sent else ""
    sys.stderr.write(f"{PROG} replay: {'stopped; ' if signals.received else ''}{len(sent)} of {len(epochs)} "
                     f"epochs ({size} bytes{span}){sink.summary()}\n")
    if signals.received == signal.SIGINT:
        raise KeyboardInterrupt  # the command line's exit status 130
    return 0
