"""Type stubs of tessora_cn0.network."""
from dataclasses import dataclass
from typing import Iterable, Optional, Sequence, Union

from tessora_cn0.tessora_cn0 import InterferenceReport

__all__ = ["StationEvent", "StationRecording", "NetworkEvent", "recording", "network_events",
           "station_name", "render_html", "JAMMING_KINDS", "MAX_ZOOMED"]

JAMMING_KINDS: tuple[str, ...]
MAX_ZOOMED: int


@dataclass(frozen=True)
class StationEvent:
    station: str
    onset: str
    end: str
    peak_degradation_db: float
    degradation_db: dict[str, float]
    bands: tuple[str, ...]
    kind: str
    latitude: Optional[float]
    longitude: Optional[float]
    file: str


@dataclass(frozen=True)
class StationRecording:
    station: str
    file: str
    latitude: Optional[float]
    longitude: Optional[float]
    start: str
    end: str
    reason: str
    events: tuple[StationEvent, ...]


@dataclass(frozen=True)
class NetworkEvent:
    start: str
    end: str
    stations: tuple[StationEvent, ...]
    onset_order: tuple[str, ...]
    onset_spread: float
    bands: tuple[str, ...]
    kind: str


_Input = Union[InterferenceReport, StationRecording, tuple[str, Union[InterferenceReport, StationRecording]]]


def station_name(report: InterferenceReport) -> str: ...
def recording(report: Union[InterferenceReport, StationRecording], station: Optional[str] = ...) -> StationRecording: ...
def network_events(reports: Iterable[_Input], *, tolerance: float = ...) -> list[NetworkEvent]: ...
def render_html(reports: Iterable[_Input], events: Optional[Sequence[NetworkEvent]] = ..., *, tolerance: float = ...,
                errors: Iterable[tuple[str, str]] = ..., reports_dir: Optional[str] = ...,
                page_dir: Optional[str] = ..., title: Optional[str] = ...) -> str: ...
