"""The station store: judged station-days, their events and each station set-up's CN0 template,
in one SQLite file (``StationStore``), and ``detect_interference`` that judges against it."""
from tessora_cn0.store.records import Setup
from tessora_cn0.store.schema import StoreError
from tessora_cn0.store.store import TEMPLATE_DAYS, StationStore

__all__ = ["StationStore", "StoreError", "Setup", "TEMPLATE_DAYS"]
