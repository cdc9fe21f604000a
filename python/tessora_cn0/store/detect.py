"""detect_interference with a station store: the recording is judged against the stored template
of its station and set-up, and the day is recorded.

``detect_interference`` here is the extension's function with one more keyword, ``store``; without
it every call goes to the extension unchanged (its errors included).
"""
import functools
import inspect
import os

from tessora_cn0 import tessora_cn0 as _ext
from tessora_cn0.network import station_name
from tessora_cn0.store.records import setup_of
from tessora_cn0.store.store import StationStore

_SIGNATURE = inspect.signature(_ext.detect_interference)
_STORE = inspect.Parameter("store", inspect.Parameter.KEYWORD_ONLY, default=None)
# Modes in which the detector sets CN0 against a template (and so learns one).
_TEMPLATE_MODES = ("elevation", "mixed")

_STORE_DOC = """

With `store` (a StationStore, or the path of one), the recording is judged against the stored
template of its station and set-up (receiver, antenna and firmware of its header) when the store
has one, and its day is recorded there; a clean day then enters the set-up's template. A
`template` given with `store` must be the station's own: one of another station raises
ValueError."""


class _Recording:
    """The name station_name needs of a recording not yet judged."""

    def __init__(self, obs, path):
        self.station = obs.marker_name
        self.filename = path or ""


def read_recording(path, nav):
    """(RinexObsData, nav) of a RINEX file or, recognised by its content, an RTCM 3 recording
    (whose own ephemerides stand in for a missing nav). Raises what the readers raise."""
    from tessora_cn0._rtcm import read_rtcm3

    try:
        return _ext.read_rinex_obs(path), nav
    except ValueError as exc:
        rtcm = read_rtcm3(path)
        if not rtcm.message_counts:
            raise exc from None
        return rtcm.obs, (nav if nav is not None else rtcm.nav)


def judge(store, obs, nav=None, *, path=None, template=None, **options):
    """(report, own_template, used_store) of a recording judged against store's template of its
    station and set-up (store may be None: no stored template), or against template, which must
    be the station's own. obs is the recording's RinexObsData (its header gives station and set-up),
    nav its navigation data (an object or a path) and path, when given, the file obs was read from
    (the report's filename). own_template is the day's own learned template: the report's, or,
    judged against a given template, the one the same run learned from the whole day when it was
    clean (else None)."""
    station = station_name(_Recording(obs, path))
    if isinstance(template, _ext.CN0Template) and template.station != station:
        raise ValueError(f"the template given is station {template.station!r}'s, not that of the recording "
                         f"({station!r}): a station is judged against its own template")
    stored = store.template(station, setup_of(obs)) if template is None and store is not None else None
    given = template if template is not None else stored
    # Judged against a given template, the report carries that template: the day's own curves, for
    # its set-up's template, are learned in the same run.
    report, own = _ext._detect_interference_learning(obs, nav, template=given, filename=path, **options)
    if given is None:
        own = report.template
    # Without elevations (no navigation data) the detector sets no CN0 against a template.
    return report, own, stored is not None and report.mode in _TEMPLATE_MODES


def judge_and_record(store, obs, nav=None, *, path=None, **options):
    """The InterferenceReport of judge(), with the day recorded in store (a StationStore)."""
    report, own, used_store = judge(store, obs, nav, path=path, **options)
    store.record(report, obs, path=path, used_store=used_store, own_template=own)
    return report


def _has_content(path):
    try:
        return os.path.getsize(path) > 0
    except OSError:
        return False


def _with_store(store, args, kwargs):
    try:
        bound = _SIGNATURE.bind(*args, **kwargs)
    except TypeError:
        return _ext.detect_interference(*args, **kwargs)  # the extension's own TypeError
    if not isinstance(store, (StationStore, str, os.PathLike)):
        raise TypeError(f"store must be a StationStore or the path of one, not {type(store).__name__}")
    options = dict(bound.arguments)
    obs, nav = options.pop("obs"), options.pop("nav", None)
    path = obs if isinstance(obs, str) else None
    if path is not None:
        try:
            obs, nav = read_recording(path, nav)
        except (OSError, ValueError):
            return _ext.detect_interference(*args, **kwargs)  # the extension's own error for the file
    elif not isinstance(obs, _ext.RinexObsData):
        return _ext.detect_interference(*args, **kwargs)
    if isinstance(store, StationStore):
        return judge_and_record(store, obs, nav, path=path, **options)
    # A store named by its path is opened for the call; a new one is created only once the
    # recording has been judged, so that bad arguments leave no file behind.
    opened = StationStore(store) if _has_content(store) else None
    try:
        report, own, used_store = judge(opened, obs, nav, path=path, **options)
        if opened is None:
            opened = StationStore(store)
        opened.record(report, obs, path=path, used_store=used_store, own_template=own)
        return report
    finally:
        if opened is not None:
            opened.close()


@functools.wraps(_ext.detect_interference)
def detect_interference(*args, store=None, **kwargs):
    if store is None:
        return _ext.detect_interference(*args, **kwargs)
    return _with_store(store, args, kwargs)


detect_interference.__signature__ = _SIGNATURE.replace(  # type: ignore[attr-defined]
    parameters=[*_SIGNATURE.parameters.values(), _STORE])
detect_interference.__doc__ = (_ext.detect_interference.__doc__ or "") + _STORE_DOC
