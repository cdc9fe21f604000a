"""The station store's SQLite schema, its versions and the opening checks.

A store is one SQLite file in WAL mode (so that several writers and readers share it), marked as
ours by SQLite's application id and by a ``meta`` table holding the application name and the
schema version. Migrations form an ordered list: migration k takes a store from version k to
k + 1 and runs in one transaction, so a store is always at a whole version.

Opening checks the file before anything is written: an absent or empty file is a new store, a
file that is not SQLite, an SQLite database of another application, a corrupt file and a store of
a newer schema version are each refused with a ``StoreError`` naming the path and the reason.
"""
import os
import sqlite3

# "TCN0" as a big-endian 32-bit integer: SQLite's application id of a station store.
APPLICATION_ID = 0x54434E30
APPLICATION = "tessora_cn0 station store"
# Seconds a writer waits for another's transaction to finish before giving up.
BUSY_TIMEOUT = 60.0
_SQLITE_MAGIC = b"SQLite format 3\x00"


class StoreError(ValueError):
    """A station store that cannot be opened or used: the message is "PATH: reason"."""

    def __init__(self, path, reason):
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


# Version 1: stations, their set-ups (receiver, antenna, firmware) and set-up templates, the
# judged station-days with each clean day's own template, the events of the days, and network
# events with the stations that took part.
_V1 = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE stations (
    id INTEGER PRIMARY KEY,
    marker TEXT NOT NULL UNIQUE,
    x REAL, y REAL, z REAL,                -- APPROX POSITION XYZ (ECEF, m) of the latest day
    latitude REAL, longitude REAL,         -- WGS 84 degrees of the latest day
    first_day TEXT, last_day TEXT          -- YYYY-MM-DD of the days kept
);
CREATE TABLE setups (
    id INTEGER PRIMARY KEY,
    station_id INTEGER NOT NULL REFERENCES stations(id) ON DELETE CASCADE,
    receiver TEXT NOT NULL,                -- REC # / TYPE / VERS, receiver type
    antenna TEXT NOT NULL,                 -- ANT # / TYPE, antenna type and radome
    firmware TEXT NOT NULL,                -- REC # / TYPE / VERS, firmware version
    first_day TEXT, last_day TEXT,
    UNIQUE (station_id, receiver, antenna, firmware)
);
CREATE TABLE templates (
    setup_id INTEGER PRIMARY KEY REFERENCES setups(id) ON DELETE CASCADE,
    json TEXT NOT NULL,                    -- the combined CN0Template
    days TEXT NOT NULL,                    -- JSON list of the days it was combined from
    first_day TEXT NOT NULL, last_day TEXT NOT NULL,
    updated_at TEXT NOT NULL               -- UTC time of the combination
);
CREATE TABLE days (
    id INTEGER PRIMARY KEY,
    station_id INTEGER NOT NULL REFERENCES stations(id) ON DELETE CASCADE,
    day TEXT NOT NULL,                     -- YYYY-MM-DD
    setup_id INTEGER NOT NULL REFERENCES setups(id) ON DELETE CASCADE,
    path TEXT NOT NULL,
    verdict TEXT NOT NULL,                 -- "clean", "events" or "not judged"
    mode TEXT NOT NULL, reason TEXT NOT NULL,
    used_store INTEGER NOT NULL,           -- judged against the stored template
    events INTEGER NOT NULL,
    start_time TEXT, end_time TEXT,        -- first and last epoch of the recording
    judged_at TEXT NOT NULL,
    UNIQUE (station_id, day)
);
CREATE INDEX days_setup ON days(setup_id, day);
CREATE TABLE day_templates (
    day_id INTEGER PRIMARY KEY REFERENCES days(id) ON DELETE CASCADE,
    setup_id INTEGER NOT NULL REFERENCES setups(id) ON DELETE CASCADE,
    day TEXT NOT NULL,
    json TEXT NOT NULL                     -- the clean day's own learned CN0Template
);
CREATE INDEX day_templates_setup ON day_templates(setup_id, day);
CREATE TABLE events (
    id INTEGER PRIMARY KEY,
    day_id INTEGER NOT NULL REFERENCES days(id) ON DELETE CASCADE,
    station_id INTEGER NOT NULL REFERENCES stations(id) ON DELETE CASCADE,
    start TEXT NOT NULL, end TEXT NOT NULL, peak_time TEXT NOT NULL,
    duration REAL NOT NULL, peak_degradation_db REAL NOT NULL,
    degradation_db TEXT NOT NULL,          -- JSON object, band -> dB
    bands TEXT NOT NULL, systems TEXT NOT NULL,
    satellites_affected TEXT NOT NULL, satellites_lost TEXT NOT NULL,   -- JSON lists
    kind TEXT NOT NULL, statistic REAL NOT NULL,
    latitude REAL, longitude REAL
);
CREATE INDEX events_day ON events(day_id);
CREATE INDEX events_time ON events(start, end);
CREATE INDEX events_station ON events(station_id, start);
CREATE INDEX events_place ON events(longitude, latitude);
CREATE TABLE network_events (
    id INTEGER PRIMARY KEY,
    start TEXT NOT NULL, end TEXT NOT NULL,
    kind TEXT NOT NULL, bands TEXT NOT NULL,   -- JSON list
    onset_spread REAL NOT NULL,
    recorded_at TEXT NOT NULL
);
CREATE INDEX network_events_time ON network_events(start, end);
CREATE TABLE network_event_stations (
    network_event_id INTEGER NOT NULL REFERENCES network_events(id) ON DELETE CASCADE,
    position INTEGER NOT NULL,             -- onset order within the network event
    station TEXT NOT NULL,
    onset TEXT NOT NULL, end TEXT NOT NULL,
    peak_degradation_db REAL NOT NULL, bands TEXT NOT NULL, kind TEXT NOT NULL,
    latitude REAL, longitude REAL, file TEXT NOT NULL,
    PRIMARY KEY (network_event_id, station)
);
"""

# Version 2: each clean day's template also in the core's binary form, which a set-up's template is
# combined from without parsing the JSON of its days (NULL in the rows of version 1: their JSON
# serves).
_V2 = """
ALTER TABLE day_templates ADD COLUMN state BLOB;
"""

# MIGRATIONS[k] takes a store from version k to version k + 1.
MIGRATIONS = [_V1, _V2]
LATEST = len(MIGRATIONS)


def _check_header(path):
    """Refuses a non-empty file that is not an SQLite database, reading its first bytes only.
    Returns whether the file holds anything (False: absent or empty, a new store)."""
    try:
        size = os.stat(path).st_size
    except FileNotFoundError:
        return False
    except OSError as exc:
        raise StoreError(path, exc.strerror or str(exc)) from None
    if os.path.isdir(path):
        raise StoreError(path, "is a directory, not a station store")
    if size == 0:
        return False
    try:
        with open(path, "rb") as f:
            head = f.read(len(_SQLITE_MAGIC))
    except OSError as exc:
        raise StoreError(path, exc.strerror or str(exc)) from None
    if head != _SQLITE_MAGIC:
        raise StoreError(path, "not a station store (not an SQLite database)")
    return True


def _inspect(conn, path):
    """The store's schema version, 0 for an empty database; refuses anything else. Reads only."""
    try:
        app_id = conn.execute("PRAGMA application_id").fetchone()[0]
        tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if app_id != APPLICATION_ID:
            if app_id == 0 and not tables:
                return 0
            raise StoreError(path, "not a station store (an SQLite database of another application)")
        meta = dict(conn.execute("SELECT key, value FROM meta")) if "meta" in tables else {}
    except sqlite3.DatabaseError as exc:
        raise StoreError(path, f"corrupt or unreadable station store ({exc})") from None
    if meta.get("application") != APPLICATION or not meta.get("schema_version", "").isdigit():
        raise StoreError(path, "corrupt station store (its meta table is missing or damaged)")
    version = int(meta["schema_version"])
    if version > LATEST:
        raise StoreError(path, f"station store of schema version {version}, newer than this "
                               f"tessora_cn0 reads (up to {LATEST}); upgrade tessora_cn0")
    return version


def _migrate(conn, path):
    """Brings the store up to LATEST, one transaction per migration. Writers racing to create or
    migrate the same store wait for one another: each migration re-reads the version under the
    write lock."""
    while True:
        conn.execute("BEGIN IMMEDIATE")
        try:
            version = _inspect(conn, path)
            if version >= LATEST:
                conn.execute("COMMIT")
                return
            # One by one: executescript would commit what came before.
            for statement in _statements(MIGRATIONS[version]):
                conn.execute(statement)
            if version == 0:
                conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                conn.execute("INSERT INTO meta VALUES ('application', ?)", (APPLICATION,))
            conn.execute("INSERT OR REPLACE INTO meta VALUES ('schema_version', ?)", (str(version + 1),))
            conn.execute("COMMIT")
        except sqlite3.Error as exc:
            conn.execute("ROLLBACK")
            raise StoreError(path, f"cannot bring the station store from schema version {version} to "
                                   f"{version + 1} ({exc})") from None
        except BaseException:
            conn.execute("ROLLBACK")
            raise


def _statements(script):
    """The statements of a migration script (comments dropped; no statement holds a ';')."""
    lines = [line.split("--", 1)[0] for line in script.splitlines()]
    return [s.strip() for s in "\n".join(lines).split(";") if s.strip()]


def _set_wal(conn, path):
    """WAL mode (persistent in the file). Switching needs a moment alone with the file; a writer
    that meets another switching retries within the busy timeout."""
    import time

    deadline = time.monotonic() + BUSY_TIMEOUT
    while True:
        try:
            if conn.execute("PRAGMA journal_mode").fetchone()[0].lower() != "wal":
                conn.execute("PRAGMA journal_mode = WAL")
            return
        except sqlite3.OperationalError as exc:
            if "locked" not in str(exc) and "busy" not in str(exc) or time.monotonic() > deadline:
                raise StoreError(path, f"cannot switch the store to WAL mode ({exc})") from None
            time.sleep(0.05)


def connect(path):
    """An open connection to the store at path, created or migrated as needed (autocommit mode:
    every write goes in an explicit transaction)."""
    path = os.fspath(path)
    existed = _check_header(path)
    try:
        conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None, check_same_thread=False)
    except sqlite3.Error as exc:
        raise StoreError(path, f"cannot open ({exc})") from None
    try:
        conn.execute("PRAGMA foreign_keys = ON")
        conn.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT * 1000)}")
        version = _inspect(conn, path) if existed else 0
        _set_wal(conn, path)
        if version < LATEST:
            _migrate(conn, path)
    except StoreError:
        conn.close()
        raise
    except sqlite3.Error as exc:
        conn.close()
        raise StoreError(path, f"corrupt or unusable station store ({exc})") from None
    except BaseException:
        conn.close()
        raise
    return conn
