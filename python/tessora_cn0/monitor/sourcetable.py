"""A caster's sourcetable: its ``STR;`` records, one per mountpoint, with the fields NTRIP gives
them (``CAS;`` and ``NET;`` records, and lines of no known kind, are passed over), up to
``ENDSOURCETABLE``."""
import dataclasses
import time

from tessora_cn0.monitor import protocol


@dataclasses.dataclass(frozen=True)
class StrRecord:
    """One mountpoint of a sourcetable. Fields missing from the record are "" (text) or None
    (numbers); ``misc`` keeps the rest of the line, semicolons included."""

    mountpoint: str
    identifier: str = ""
    format: str = ""
    format_details: str = ""
    carrier: int | None = None          # 0 none, 1 L1 phase, 2 L1 and L2
    nav_system: str = ""
    network: str = ""
    country: str = ""
    latitude: float | None = None
    longitude: float | None = None
    nmea: bool | None = None            # the caster wants the client's position as NMEA GGA
    solution: int | None = None         # 0 a single station, 1 a network solution
    generator: str = ""
    compression: str = ""
    authentication: str = ""            # N none, B Basic, D Digest
    fee: str = ""                       # N or Y
    bitrate: int | None = None
    misc: str = ""


def parse_sourcetable(text):
    """Every STR record of a sourcetable's text (bytes or str), in order. Tolerant: short records
    get their missing fields empty, numbers that do not parse become None, other lines are passed
    over, and the text may end without ENDSOURCETABLE."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", errors="replace")
    records = []
    for line in text.splitlines():
        line = line.strip()
        if line.upper().startswith("ENDSOURCETABLE"):
            break
        if line[:4].upper() == "STR;":
            record = _str_record(line[4:].split(";"))
            if record is not None:
                records.append(record)
    return records


def _str_record(fields):
    fields = [f.strip() for f in fields] + [""] * max(0, 18 - len(fields))
    if not fields[0]:
        return None
    return StrRecord(
        mountpoint=fields[0], identifier=fields[1], format=fields[2], format_details=fields[3],
        carrier=_int(fields[4]), nav_system=fields[5], network=fields[6], country=fields[7],
        latitude=_float(fields[8]), longitude=_float(fields[9]), nmea=_flag(fields[10]),
        solution=_int(fields[11]), generator=fields[12], compression=fields[13],
        authentication=fields[14], fee=fields[15], bitrate=_int(fields[16]), misc=";".join(fields[17:]))


def _int(text):
    try:
        return int(text)
    except ValueError:
        return None


def _float(text):
    try:
        value = float(text)
    except ValueError:
        return None
    return value if value == value and abs(value) != float("inf") else None


def _flag(text):
    value = _int(text)
    return None if value is None else value != 0


def fetch_sourcetable(source, timeout=10):
    """The STR records of the caster of source (its mountpoint, if any, is not used). Asks in
    NTRIP 2 first, then in NTRIP 1 when the caster shows it only speaks that. Raises NtripError
    (an OSError) when the caster refuses (401, another status), OSError or TimeoutError when it
    cannot be reached or does not answer within timeout seconds, ValueError for a tcp:// source."""
    if source.scheme == "tcp":
        raise ValueError(f"{source.url()}: a TCP server has no sourcetable")
    deadline = time.monotonic() + timeout
    for version in (2, 1):
        sock = protocol.connect(source, max(0.0, deadline - time.monotonic()))
        with sock:
            sock.sendall(protocol.build_request(source, version, path="/"))
            response = protocol.read_response(sock, deadline)
            if version == 2 and protocol.speaks_only_v1(response):
                continue
            return parse_sourcetable(_body(sock, response, deadline))


def _body(sock, response, deadline):
    if response.status != 200 or response.kind not in ("http", "sourcetable"):
        raise protocol.NtripError(protocol.fault_reason(response) or f"no sourcetable: {response.first_line}")
    decoder = protocol.ChunkedDecoder() if response.chunked else None
    length = _int(response.headers.get("content-length", ""))
    data = decoder.feed(response.body) if decoder else response.body
    while not _complete(data, decoder, length):
        piece = protocol.recv(sock, deadline)
        if not piece:
            break
        data += decoder.feed(piece) if decoder else piece
    return data


def _complete(data, decoder, length):
    if decoder is not None and decoder.finished:
        return True
    if decoder is None and length is not None and len(data) >= length:
        return True
    return b"ENDSOURCETABLE" in data[-64:]
