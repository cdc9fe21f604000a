"""GNSS signal-quality grading of RINEX recordings (CN0 analysis).

The engine is the extension module ``tessora_cn0.tessora_cn0``; everything it registers is
offered here under the same names and in the same order.
"""
from . import tessora_cn0 as _extension

for _name, _value in vars(_extension).items():
    if not _name.startswith("_") or _name == "__version__":
        globals()[_name] = _value
__all__ = [n for n in vars(_extension) if not n.startswith("_")]
# The injector of the detector's evaluation harness stays private but within reach.
_inject_interference = _extension._inject_interference
# The submodule is reached through _extension; the package's own names are the extension's.
del tessora_cn0, _name, _value

# The package's own Python: the network view of the detector's events.
from tessora_cn0.network import network_events  # noqa: E402

__all__.append("network_events")

# One row per file of a batch, as a Table.
from tessora_cn0._columns import summary_table  # noqa: E402

__all__.append("summary_table")

# RTCM 3 recordings read into the same records.
from tessora_cn0._rtcm import RtcmRecording, read_rtcm3  # noqa: E402

__all__ += ["RtcmRecording", "read_rtcm3"]

# The station store, and the detector judging against it: detect_interference keeps its place
# among the extension's names and gains the store keyword.
from tessora_cn0.store import StationStore  # noqa: E402
from tessora_cn0.store.detect import detect_interference  # noqa: E402

__all__.append("StationStore")
