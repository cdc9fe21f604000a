"""The NTRIP protocol as a client speaks it: connecting (TCP, TLS), the request (NTRIP 2 or 1), the
caster's answer, and the decoding of HTTP chunked transfer.

Casters answer in one of these ways:
- ``ICY 200 OK``: NTRIP 1; the data follows the status line (RTKLIB's caster sends no header
  lines and no blank line at all, and answers NTRIP 2 requests so too);
- ``HTTP/1.x 200`` and header lines: NTRIP 2, the data usually in chunks;
- ``SOURCETABLE 200 OK`` (NTRIP 1), or ``HTTP/1.x 200`` with ``Content-Type: gnss/sourcetable``:
  the caster's list of mountpoints; to a request for a mountpoint it means "not served here";
- ``HTTP/1.x 401``: the credentials were refused; any other status: refused for its reason.
"""
import base64
import errno
import os
import re
import select
import socket
import ssl
import time

import tessora_cn0

SLICE = 0.25           # seconds a blocking step waits before looking whether the caller gave up
MAX_HEAD = 16384       # bytes of a response's status and header lines
_HEADER_LINE = re.compile(rb"[A-Za-z0-9-]+:[^\r\n]*\r?\n")


class NtripError(OSError):
    """A caster's answer that is no stream (refused credentials, a sourcetable, a bad status), or a
    failed TLS handshake. The message is the reason, as the monitor's log shows it."""


class Stopped(Exception):
    """The caller gave up (StreamClient.stop) while a step waited."""


def user_agent():
    return f"NTRIP tessora-cn0/{tessora_cn0.__version__}"


def build_request(source, version, path=None):
    """The request for source's mountpoint (or path, "/" for the sourcetable) in NTRIP 2 (HTTP/1.1)
    or NTRIP 1 (HTTP/1.0) form, with Basic authentication when a user is given."""
    path = path if path is not None else "/" + (source.mount or "")
    lines = [f"GET {path} HTTP/1.1" if version == 2 else f"GET {path} HTTP/1.0"]
    if version == 2:
        lines += [f"Host: {source.address}", "Ntrip-Version: Ntrip/2.0"]
    lines += [f"User-Agent: {user_agent()}", "Accept: */*"]
    if source.user is not None:
        token = base64.b64encode(f"{source.user}:{source.password or ''}".encode()).decode("ascii")
        lines.append(f"Authorization: Basic {token}")
    lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8")


def connect(source, timeout, stopping=lambda: False):
    """A connected socket to source (TLS-wrapped and verified for ntrips), in non-blocking steps of
    SLICE seconds so that stopping() can end the wait. Raises OSError, TimeoutError, NtripError (TLS)
    or Stopped."""
    deadline = time.monotonic() + timeout
    last = None
    for family, kind, proto, _, address in socket.getaddrinfo(source.host, source.port, type=socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        try:
            _connect_one(sock, address, deadline, stopping)
            if source.tls:
                sock = _tls(sock, source.host, deadline, stopping)
            sock.settimeout(max(SLICE, deadline - time.monotonic()))  # blocking again, within the timeout
            return sock
        except (Stopped, NtripError):
            sock.close()
            raise
        except OSError as exc:
            sock.close()
            last = exc
    raise last if last is not None else OSError(f"no address for {source.host}")


def _connect_one(sock, address, deadline, stopping):
    sock.setblocking(False)
    err = sock.connect_ex(address)
    if err in (errno.EINPROGRESS, errno.EWOULDBLOCK, errno.EALREADY):
        _wait(sock, False, deadline, stopping, "connect")  # writable once connected or failed
        err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
    if err:
        raise OSError(err, os.strerror(err))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def _tls(sock, host, deadline, stopping):
    context = ssl.create_default_context()
    tls = context.wrap_socket(sock, server_hostname=host, do_handshake_on_connect=False)
    while True:
        try:
            tls.do_handshake()
            return tls
        except ssl.SSLWantReadError:
            _wait(tls, True, deadline, stopping, "TLS handshake")
        except ssl.SSLWantWriteError:
            _wait(tls, False, deadline, stopping, "TLS handshake")
        except ssl.SSLCertVerificationError as exc:
            raise NtripError(f"TLS failure: certificate verify failed ({exc.verify_message})") from None
        except ssl.SSLError as exc:
            raise NtripError(f"TLS failure: {exc.reason or exc}") from None


def _wait(sock, readable, deadline, stopping, what):
    while True:
        if stopping():
            raise Stopped
        left = deadline - time.monotonic()
        if left <= 0.0:
            raise TimeoutError(f"{what} timed out")  # "connect timed out", "TLS handshake timed out"
        ready = select.select([sock] if readable else [], [] if readable else [sock], [], min(SLICE, left))
        if ready[0] or ready[1]:
            return


def recv(sock, deadline, stopping=lambda: False, size=65536):
    """Bytes from sock (b"" at the end of the stream), waiting until deadline at most."""
    while True:
        if stopping():
            raise Stopped
        left = deadline - time.monotonic()
        if left <= 0.0:
            raise TimeoutError("no answer in time")
        sock.settimeout(min(SLICE, left))
        try:
            return sock.recv(size)
        except (TimeoutError, ssl.SSLWantReadError):
            continue


class Response:
    """A caster's status line and header lines. kind: "icy", "http", "sourcetable" or "unknown";
    body: the bytes read after the head."""

    def __init__(self, kind, status, reason, headers, body, first_line):
        self.kind, self.status, self.reason = kind, status, reason
        self.headers, self.body, self.first_line = headers, body, first_line

    @property
    def chunked(self):
        return "chunked" in self.headers.get("transfer-encoding", "").lower()

    @property
    def is_sourcetable(self):
        return self.kind == "sourcetable" or (
            self.kind == "http" and "sourcetable" in self.headers.get("content-type", "").lower())

    @property
    def protocol(self):
        if self.kind in ("icy", "sourcetable"):
            return "Ntrip/1.0"
        return self.headers.get("ntrip-version", "HTTP")


def read_response(sock, deadline, stopping=lambda: False):
    """The head of the caster's answer. An ICY answer ends with its status line (what follows is
    data); an HTTP or SOURCETABLE answer at its blank line, or where the caster closed."""
    buffer = b""
    while b"\n" not in buffer:
        piece = _recv_head(sock, deadline, stopping, buffer)
        if not piece:
            return _parse_head(buffer, b"")
        buffer += piece
    if buffer.startswith(b"ICY"):
        line, _, rest = buffer.partition(b"\n")
        return _parse_head(line + b"\n", rest)
    while not re.search(rb"\r?\n\r?\n", buffer):
        piece = _recv_head(sock, deadline, stopping, buffer)
        if not piece:  # RTKLIB's caster closes right after its "HTTP/1.0 401 Unauthorized" line
            return _parse_head(buffer, b"")
        buffer += piece
    end = re.search(rb"\r?\n\r?\n", buffer).end()
    return _parse_head(buffer[:end], buffer[end:])


def _recv_head(sock, deadline, stopping, buffer):
    if len(buffer) > MAX_HEAD:
        raise NtripError(f"unrecognised answer: no end of the header within {MAX_HEAD} bytes")
    return recv(sock, deadline, stopping)


def _parse_head(head, body):
    lines = head.decode("latin-1").splitlines()
    first = lines[0].strip() if lines else ""
    headers = {}
    for line in lines[1:]:
        key, colon, value = line.partition(":")
        if colon:
            headers[key.strip().lower()] = value.strip()
    words = first.split(None, 2)
    kind, status, reason = "unknown", 0, first
    if len(words) >= 2 and words[1].isdigit():
        status, reason = int(words[1]), words[2] if len(words) > 2 else ""
        if words[0] == "ICY":
            kind = "icy"
        elif words[0] == "SOURCETABLE":
            kind = "sourcetable"
        elif words[0].startswith("HTTP/"):
            kind = "http"
    return Response(kind, status, reason, headers, body, first)


class ChunkedDecoder:
    """HTTP/1.1 chunked transfer decoding, fed with pieces cut anywhere. feed() gives the payload
    bytes the pieces complete; `finished` turns true at the last (empty) chunk. A size line that is
    no hexadecimal number raises ValueError."""

    def __init__(self):
        self._buffer = b""
        self._left = 0           # payload bytes still due in the current chunk
        self._state = "size"     # "size", "data", "crlf" (after a chunk's data), "trailer", "done"

    @property
    def finished(self):
        return self._state == "done"

    def feed(self, data):
        self._buffer += data
        out = []
        while self._buffer and self._state != "done":
            if not getattr(self, "_" + self._state)(out):
                break
        if self._state == "done":
            self._buffer = b""
        return b"".join(out)

    def _size(self, out):
        line, found, rest = self._buffer.partition(b"\n")
        if not found:
            if len(self._buffer) > 1024:
                raise ValueError("chunk size line longer than 1024 bytes")
            return False
        text = line.split(b";", 1)[0].strip()
        if not text or not re.fullmatch(rb"[0-9A-Fa-f]+", text):
            raise ValueError(f"bad chunk size line {line[:40]!r}")
        self._buffer, self._left = rest, int(text, 16)
        self._state = "data" if self._left else "trailer"
        return True

    def _data(self, out):
        take = self._buffer[:self._left]
        out.append(take)
        self._buffer, self._left = self._buffer[len(take):], self._left - len(take)
        if self._left == 0:
            self._state = "crlf"
        return True

    def _crlf(self, out):
        if self._buffer.startswith(b"\r\n"):
            self._buffer = self._buffer[2:]
        elif self._buffer.startswith(b"\n"):
            self._buffer = self._buffer[1:]
        elif self._buffer == b"\r":
            return False
        else:
            raise ValueError("chunk data not followed by CRLF")
        self._state = "size"
        return True

    def _trailer(self, out):
        line, found, rest = self._buffer.partition(b"\n")
        if not found:
            return False
        self._buffer = rest
        if not line.strip():
            self._state = "done"
        return True


class IcyHeaderSkipper:
    """What follows an ``ICY 200 OK`` line: some casters send header lines and a blank line before
    the data, RTKLIB's sends the data at once. Header-like lines at the very start are dropped; the
    first byte that cannot begin one makes the rest pass untouched (RTCM 3 frames begin with 0xD3)."""

    def __init__(self):
        self._buffer = b""
        self._done = False

    def feed(self, data):
        if self._done:
            return data
        self._buffer += data
        while True:
            for blank in (b"\r\n", b"\n"):
                if self._buffer.startswith(blank):  # the blank line that ends the header lines
                    self._buffer = self._buffer[len(blank):]
                    return self._release()
            match = _HEADER_LINE.match(self._buffer)
            if match:
                self._buffer = self._buffer[match.end():]
                continue
            if self._could_be_header() and len(self._buffer) < 1024:
                return b""
            return self._release()

    def _could_be_header(self):
        head = self._buffer
        return not head or head == b"\r" or re.fullmatch(rb"[A-Za-z0-9-]+(:[^\r\n]*\r?)?", head) is not None

    def _release(self):
        self._done = True
        out, self._buffer = self._buffer, b""
        return out


def fault_reason(response):
    """Why an answer to a mountpoint's request is no stream, or None when it is one."""
    if response.is_sourcetable:
        return "mountpoint not served (sourcetable returned)"
    if response.kind in ("icy", "http") and response.status == 200:
        return None
    if response.kind == "unknown" and not response.first_line:
        return "closed by the caster without an answer"
    if response.kind == "unknown":
        return f"unrecognised answer {response.first_line[:60]!r}"
    if response.status == 401:
        return "unauthorized (401)"
    if response.status == 403:
        return "forbidden (403)"
    if response.status == 404:
        return "mountpoint not found (404)"
    return f"refused: {response.status} {response.reason}".rstrip()


def speaks_only_v1(response):
    """A caster's answer to an NTRIP 2 request that says it understood none of it: nothing at all,
    no status line of a known kind, or HTTP 400/501/505 (an HTTP/1.1 request refused)."""
    return response.kind == "unknown" or (response.kind == "http" and response.status in (400, 501, 505))

