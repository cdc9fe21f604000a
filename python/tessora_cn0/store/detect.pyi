"""Type stubs of tessora_cn0.store.detect."""
import os
from typing import Any, Optional, Sequence

from tessora_cn0.store.store import StationStore
from tessora_cn0.tessora_cn0 import CN0Template, InterferenceReport, NavigationData, RinexObsData

def read_recording(
    path: str, nav: Optional[str | NavigationData]
) -> tuple[RinexObsData, Optional[str | NavigationData]]: ...
def judge(
    store: Optional[StationStore],
    obs: RinexObsData,
    nav: Optional[str | NavigationData] = None,
    *,
    path: Optional[str] = None,
    source: Optional[tuple[Any, Any]] = None,
    template: Optional[CN0Template] = None,
    **options: Any,
) -> tuple[InterferenceReport, Optional[CN0Template], bool]: ...
def judge_and_record(
    store: StationStore,
    obs: RinexObsData,
    nav: Optional[str | NavigationData] = None,
    *,
    path: Optional[str] = None,
    source: Optional[tuple[Any, Any]] = None,
    **options: Any,
) -> InterferenceReport: ...
def detect_interference(
    obs: str | RinexObsData,
    nav: Optional[str | NavigationData] = None,
    *,
    min_elevation: float = 5.0,
    systems: Optional[Sequence[str]] = None,
    template: Optional[CN0Template] = None,
    threshold_db: Optional[float] = None,
    false_alarms_per_day: float = 0.002,
    store: Optional[StationStore | str | os.PathLike[str]] = None,
) -> InterferenceReport: ...
