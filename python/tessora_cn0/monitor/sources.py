"""The streams a monitor follows, written as addresses:

- ``ntrip://[user:password@]host[:port]/MOUNT[,MOUNT...]``: mountpoints of an NTRIP caster (port 2101
  when left out, the port registered for NTRIP);
- ``ntrips://...``: the same over TLS, the caster's certificate verified against the system's
  certificates (port 443 when left out);
- ``ntrip://host:port`` (no mountpoint): the caster itself, for its sourcetable;
- ``tcp://host:port``: raw RTCM 3 from a TCP server (a receiver's port, ``tessora-cn0 replay --tcp``).

User and password may be percent-encoded (``%40`` for ``@``, ``%3A`` for ``:``).
"""
import dataclasses
import urllib.parse

NTRIP_PORT = 2101
NTRIPS_PORT = 443
SCHEMES = ("ntrip", "ntrips", "tcp")
# Characters a mountpoint may not hold: they would end or split the request line's path.
_MOUNT_FORBIDDEN = set("/?#%,") | {chr(c) for c in range(33)} | {chr(127)}


@dataclasses.dataclass(frozen=True)
class Source:
    """One stream: a caster's mountpoint (``mount`` None: the caster itself) or a TCP server."""

    scheme: str                  # "ntrip", "ntrips" or "tcp"
    host: str
    port: int
    mount: str | None = None     # None for tcp, and for a caster addressed without a mountpoint
    user: str | None = None
    password: str | None = dataclasses.field(default=None, repr=False)

    @property
    def name(self):
        """The mountpoint, or ``host:port`` for a TCP server or a caster without a mountpoint."""
        return self.mount if self.mount is not None else self.address

    @property
    def address(self):
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"

    @property
    def tls(self):
        return self.scheme == "ntrips"

    def url(self):
        """The address as given, without the password (for logs and pages)."""
        user = f"{urllib.parse.quote(self.user, safe='')}@" if self.user is not None else ""
        mount = f"/{self.mount}" if self.mount is not None else ""
        return f"{self.scheme}://{user}{self.address}{mount}"

    def with_mount(self, mount):
        """The same caster and credentials for another mountpoint (the sourcetable's, say)."""
        if self.scheme == "tcp":
            raise ValueError(f"{self.url()}: a TCP server has no mountpoints")
        return dataclasses.replace(self, mount=_check_mount(mount, self.url()))


def parse_sources(text):
    """Every Source named in text: one address, or several separated by white space; one Source per
    mountpoint. Raises ValueError with a one-line message naming the address at fault."""
    words = text.split()
    if not words:
        raise ValueError("no stream address given (expected ntrip://host:port/MOUNT or tcp://host:port)")
    sources = []
    for word in words:
        for source in _parse_one(word):
            if source in sources:
                raise ValueError(f"{word}: {source.name} is given twice")
            sources.append(source)
    return sources


def _parse_one(text):
    scheme, sep, _ = text.partition("://")
    if not sep or scheme.lower() not in SCHEMES:
        raise ValueError(f"{text}: expected ntrip://, ntrips:// or tcp:// at the start")
    try:
        parts = urllib.parse.urlsplit(text)
    except ValueError as exc:  # an unclosed "[" of an IPv6 host, say
        raise ValueError(f"{_hide(text)}: {exc}") from None
    if parts.query or parts.fragment or "?" in text or "#" in text:
        raise ValueError(f"{_hide(text)}: '?' and '#' have no meaning in a stream address")
    scheme = scheme.lower()
    host, port = _host_port(parts, scheme, text)
    user, password = _credentials(parts, text)
    mounts = _mounts(parts.path, text)
    if scheme == "tcp":
        if mounts or user is not None:
            raise ValueError(f"{_hide(text)}: a tcp:// address is only host:port (no user, no mountpoint)")
        return [Source("tcp", host, port)]
    if not mounts:
        return [Source(scheme, host, port, None, user, password)]
    return [Source(scheme, host, port, m, user, password) for m in mounts]


def _host_port(parts, scheme, text):
    host = parts.hostname
    if not host:
        raise ValueError(f"{_hide(text)}: no host")
    try:
        port = parts.port
    except ValueError:
        raise ValueError(f"{_hide(text)}: the port must be a number from 1 to 65535") from None
    if port is None:
        if scheme == "tcp":
            raise ValueError(f"{_hide(text)}: a tcp:// address needs a port (tcp://host:port)")
        port = NTRIPS_PORT if scheme == "ntrips" else NTRIP_PORT
    if port == 0:
        raise ValueError(f"{_hide(text)}: the port must be a number from 1 to 65535")
    return host, port


def _credentials(parts, text):
    if "@" not in parts.netloc:
        return None, None
    user = urllib.parse.unquote(parts.username or "")
    password = urllib.parse.unquote(parts.password) if parts.password is not None else None
    if not user:
        raise ValueError(f"{_hide(text)}: an empty user name before '@'")
    if ":" in user:
        raise ValueError(f"{_hide(text)}: a ':' in the user name must be written %3A")
    return user, password


def _mounts(path, text):
    path = path.removeprefix("/")
    if not path:
        return []
    return [_check_mount(m, _hide(text)) for m in path.split(",")]


def _check_mount(mount, where):
    if not mount:
        raise ValueError(f"{where}: an empty mountpoint name")
    bad = sorted(set(mount) & _MOUNT_FORBIDDEN)
    if bad:
        raise ValueError(f"{where}: mountpoint {mount!r} holds {bad[0]!r}, which a mountpoint name cannot hold")
    return mount


def _hide(text):
    """The address with its password replaced by ***, for messages."""
    scheme, sep, rest = text.partition("://")
    netloc, slash, path = rest.partition("/")
    user_info, at, host = netloc.rpartition("@")
    if not at or ":" not in user_info:
        return text
    return f"{scheme}{sep}{user_info.split(':', 1)[0]}:***@{host}{slash}{path}"
