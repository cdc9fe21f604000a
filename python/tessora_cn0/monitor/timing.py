"""Time on a live stream: the latency of an epoch (the host's UTC clock against the epoch's GPS time)
and the rate of the observations (their usual interval, and the gaps in it)."""
import bisect
import datetime
import statistics

GPS_EPOCH = datetime.datetime(1980, 1, 6)
_GPS_EPOCH_POSIX = 315964800.0   # 1980-01-06 00:00:00 UTC in POSIX seconds

# (UTC day from which it holds, GPS − UTC in seconds): the leap seconds since the GPS epoch. None
# was added after 2017-01-01; a new one goes at the end.
LEAP_SECONDS = (
    ((1981, 7, 1), 1), ((1982, 7, 1), 2), ((1983, 7, 1), 3), ((1985, 7, 1), 4), ((1988, 1, 1), 5),
    ((1990, 1, 1), 6), ((1991, 1, 1), 7), ((1992, 7, 1), 8), ((1993, 7, 1), 9), ((1994, 7, 1), 10),
    ((1996, 1, 1), 11), ((1997, 7, 1), 12), ((1999, 1, 1), 13), ((2006, 1, 1), 14), ((2009, 1, 1), 15),
    ((2012, 7, 1), 16), ((2015, 7, 1), 17), ((2017, 1, 1), 18),
)
# The same steps in GPS seconds: the UTC midnight of the day, on the GPS time line.
_STEPS = [(datetime.datetime(*day) - GPS_EPOCH).total_seconds() + offset for day, offset in LEAP_SECONDS]


def gps_seconds(gps_time):
    """Seconds since the GPS epoch of a naive datetime in GPS time (a number is taken as such)."""
    if isinstance(gps_time, datetime.datetime):
        if gps_time.tzinfo is not None:
            raise ValueError(f"expected a GPS time without a zone, not {gps_time.isoformat()}")
        return (gps_time - GPS_EPOCH).total_seconds()
    if isinstance(gps_time, (int, float)) and not isinstance(gps_time, bool):
        return float(gps_time)
    raise TypeError(f"expected a datetime or GPS seconds, got {type(gps_time).__name__}")


def gps_minus_utc(gps_time):
    """GPS − UTC in whole seconds at a GPS time (datetime or GPS seconds): 0 before 1981-07-01,
    18 since 2017-01-01."""
    index = bisect.bisect_right(_STEPS, gps_seconds(gps_time))
    return LEAP_SECONDS[index - 1][1] if index else 0


def gps_to_posix(gps_time):
    """The UTC instant, in POSIX seconds (as time.time counts), of a GPS time."""
    seconds = gps_seconds(gps_time)
    return _GPS_EPOCH_POSIX + seconds - gps_minus_utc(seconds)


def gps_to_utc(gps_time):
    """The naive UTC datetime of a GPS time."""
    seconds = gps_seconds(gps_time)
    return GPS_EPOCH + datetime.timedelta(seconds=seconds - gps_minus_utc(seconds))


def latency(epoch_time, host_time):
    """Seconds from an epoch (its GPS time: naive datetime or GPS seconds) to its arrival at the host
    (host_time: POSIX seconds, UTC, as time.time gives). Negative when the host clock is behind."""
    return host_time - gps_to_posix(epoch_time)


class ObservationRate:
    """The rate of a stream's epochs, from their times one after the other (naive GPS datetimes or
    GPS seconds): ``interval`` is the median of the latest `history` intervals, and an interval
    more than `gap_factor` × that median (judged once `MIN_INTERVALS` intervals are known) is a gap.
    An epoch not later than the latest one (a repeat, or out of order) is counted and passed over."""

    MIN_INTERVALS = 3

    def __init__(self, history=64, gap_factor=1.5):
        self.history, self.gap_factor = history, gap_factor
        self.epochs = 0          # epochs taken
        self.repeated = 0        # epochs passed over: not later than the latest
        self.gaps = []           # (time before the gap, time after it, seconds)
        self._intervals = []
        self._last = None        # (time as given, GPS seconds)

    @property
    def interval(self):
        """The usual interval in seconds, None before two epochs."""
        return statistics.median(self._intervals) if self._intervals else None

    @property
    def rate(self):
        """Epochs per second, None before two epochs."""
        interval = self.interval
        return 1.0 / interval if interval else None

    def add(self, epoch_time):
        """Take the next epoch; its gap (time before, this time, seconds) when it ends one, else None."""
        seconds = gps_seconds(epoch_time)
        if self._last is not None and seconds <= self._last[1]:
            self.repeated += 1
            return None
        gap = None
        if self._last is not None:
            step = seconds - self._last[1]
            if len(self._intervals) >= self.MIN_INTERVALS and step > self.gap_factor * self.interval:
                gap = (self._last[0], epoch_time, step)
                self.gaps.append(gap)
            self._intervals = (self._intervals + [step])[-self.history:]
        self._last = (epoch_time, seconds)
        self.epochs += 1
        return gap
