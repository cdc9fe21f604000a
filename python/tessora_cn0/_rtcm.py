"""RTCM 3 recordings: the messages that reference stations stream, read into the same records as
RINEX files give, so that every analysis, detector and table takes them."""
import datetime

from tessora_cn0 import tessora_cn0 as _extension


class RtcmRecording:
    """An RTCM 3 recording decoded: its observations and the ephemerides it carried."""

    __slots__ = ("obs", "nav", "message_counts", "skipped_bytes", "crc_failures", "malformed", "week_source")

    def __init__(self, obs, nav, message_counts, skipped_bytes, crc_failures, malformed, week_source):
        self.obs = obs                        # RinexObsData
        self.nav = nav                        # NavigationData, or None without ephemerides
        self.message_counts = message_counts  # message number -> frames with a good checksum
        self.skipped_bytes = skipped_bytes    # bytes outside good frames (garbage, cut frames)
        self.crc_failures = crc_failures      # candidate frames whose checksum failed
        self.malformed = malformed            # frames with a good checksum whose message did not decode
        self.week_source = week_source        # where the GPS week came from: "date", "ephemeris", "file time"

    def __reduce__(self):
        return (RtcmRecording, tuple(getattr(self, n) for n in self.__slots__))

    def __repr__(self):
        return (f"RtcmRecording(epochs={self.obs.num_epochs}, messages={sum(self.message_counts.values())}, "
                f"nav={'yes' if self.nav is not None else 'no'}, week_source={self.week_source!r}, "
                f"skipped_bytes={self.skipped_bytes}, crc_failures={self.crc_failures})")


def read_rtcm3(source, *, date=None):
    """Read an RTCM 3 recording: a path (compressed files too, recognised by their content) or bytes.

    MSM4 to MSM7 of every constellation and the legacy 1002/1004/1010/1012 give the observations,
    1005/1006 and 1007/1008/1033 the station, 1019/1020/1042/1044/1045/1046 the ephemerides (nav).
    The messages carry only the time of the week: the week comes from `date` (a datetime.date or
    "YYYY-MM-DD", a day of the recording), else from the ephemerides of the stream, else from the
    file's modification time; `week_source` says which. Frames that fail their checksum or their
    own structure are skipped and counted, never half-decoded. The interpreter lock is released.
    """
    if isinstance(date, datetime.datetime):
        date = date.date()
    if isinstance(date, datetime.date):
        date = date.isoformat()
    elif date is not None and not isinstance(date, str):
        raise TypeError(f"argument 'date': expected datetime.date or str, got {type(date).__name__}")
    return RtcmRecording(*_extension._read_rtcm3(source, date))
