import datetime
from typing import Optional

from tessora_cn0.tessora_cn0 import NavigationData, RinexObsData

class RtcmRecording:
    obs: RinexObsData
    nav: Optional[NavigationData]
    message_counts: dict[int, int]
    skipped_bytes: int
    crc_failures: int
    malformed: int
    week_source: str
    def __init__(
        self,
        obs: RinexObsData,
        nav: Optional[NavigationData],
        message_counts: dict[int, int],
        skipped_bytes: int,
        crc_failures: int,
        malformed: int,
        week_source: str,
    ) -> None: ...
    def __reduce__(self) -> tuple[type[RtcmRecording], tuple[object, ...]]: ...

def read_rtcm3(source: str | bytes, *, date: Optional[datetime.date | str] = None) -> RtcmRecording: ...
