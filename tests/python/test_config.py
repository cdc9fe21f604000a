"""AnalysisConfig: defaults, threshold scaling, argument conversion and the read-only surface."""
import inspect
import math

import pytest

import tessora_cn0
from tessora_cn0 import AnalysisConfig

SIGNATURE = (
    "(min_elevation=5.0, min_cn0=0.0, max_cn0=60.0, time_bin_seconds=None, time_bin=None, systems=None, "
    "anomaly_threshold_low=3.0, anomaly_threshold_high=6.0, anomaly_threshold_critical=10.0, "
    "detect_anomalies=True, anomaly_sensitivity=0.5, interference_threshold_db=6.0, verbose=False, nav_file=None)"
)

FIELDS = [
    "min_elevation", "min_cn0", "max_cn0", "time_bin_seconds", "systems", "anomaly_threshold_low",
    "anomaly_threshold_high", "anomaly_threshold_critical", "detect_anomalies", "anomaly_sensitivity",
    "interference_threshold_db", "verbose", "nav_file",
]


def test_defaults():
    c = AnalysisConfig()
    expected = {
        "min_elevation": 5.0, "min_cn0": 0.0, "max_cn0": 60.0, "time_bin_seconds": 60, "systems": None,
        # 3.0 and 6.0 scaled by 1 - 0.5 * 0.5 = 0.75
        "anomaly_threshold_low": 2.25, "anomaly_threshold_high": 4.5,
        "anomaly_threshold_critical": 6.0, "detect_anomalies": True, "anomaly_sensitivity": 0.5,
        "interference_threshold_db": 6.0, "verbose": False, "nav_file": None,
    }
    for name, value in expected.items():
        got = getattr(c, name)
        assert got == value and type(got) is type(value), name


def test_docstring_and_text_signature():
    assert AnalysisConfig.__text_signature__ == SIGNATURE
    assert AnalysisConfig.__doc__ == "Python wrapper for AnalysisConfig"
    assert str(inspect.signature(AnalysisConfig)) == SIGNATURE
    names = list(vars(tessora_cn0))
    assert names.index("RinexObsData") < names.index("AnalysisConfig")


@pytest.mark.parametrize(
    "sensitivity, low, high, want_low, want_high",
    [
        (1.0, 4.0, 6.0, 2.0, 3.0),  # factor 0.5
        (0.0, 3.0, 6.0, 3.0, 6.0),  # factor 1: unchanged
        (2.0, 3.0, 6.0, 0.0, 0.0),  # factor 0
        (-1.0, 3.0, 6.0, 4.5, 9.0),  # factor 1.5: negative sensitivities enlarge
        (-2.0, 3.0, 6.0, 6.0, 12.0),  # factor 2
        (-0.5, 4.0, 8.0, 5.0, 10.0),  # factor 1.25
        (0.5, 10, 20, 7.5, 15.0),  # ints accepted as floats
    ],
)
def test_sensitivity_scales_low_and_high_once(sensitivity, low, high, want_low, want_high):
    c = AnalysisConfig(anomaly_sensitivity=sensitivity, anomaly_threshold_low=low, anomaly_threshold_high=high)
    assert c.anomaly_threshold_low == want_low
    assert c.anomaly_threshold_high == want_high
    assert c.anomaly_sensitivity == float(sensitivity)
    # Reading again gives the stored value, not a second scaling.
    assert c.anomaly_threshold_low == want_low


def test_critical_threshold_comes_from_interference_threshold():
    c = AnalysisConfig(anomaly_threshold_critical=12.0, interference_threshold_db=8.0)
    assert c.anomaly_threshold_critical == 8.0
    assert c.interference_threshold_db == 8.0
    assert AnalysisConfig(anomaly_threshold_critical=99.0).anomaly_threshold_critical == 6.0
    assert AnalysisConfig(interference_threshold_db=-3).anomaly_threshold_critical == -3.0
    # The critical argument is still converted.
    with pytest.raises(TypeError, match=r"^argument 'anomaly_threshold_critical'"):
        AnalysisConfig(anomaly_threshold_critical="high")


@pytest.mark.parametrize(
    "kwargs, want",
    [
        ({}, 60),
        ({"time_bin": 30}, 30),
        ({"time_bin_seconds": 15, "time_bin": 30}, 15),
        ({"time_bin_seconds": 15}, 15),
        ({"time_bin_seconds": None, "time_bin": 45}, 45),
        ({"time_bin": 0}, 0),
        ({"time_bin_seconds": 2**32 - 1}, 2**32 - 1),
    ],
)
def test_time_bin_precedence(kwargs, want):
    got = AnalysisConfig(**kwargs).time_bin_seconds
    assert got == want and type(got) is int
    assert not hasattr(AnalysisConfig(**kwargs), "time_bin")


@pytest.mark.parametrize("name", ["time_bin_seconds", "time_bin"])
def test_time_bin_range_and_type(name):
    with pytest.raises(OverflowError):
        AnalysisConfig(**{name: 2**32})
    with pytest.raises(OverflowError):
        AnalysisConfig(**{name: -1})
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        AnalysisConfig(**{name: 30.0})
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        AnalysisConfig(**{name: "30"})


@pytest.mark.parametrize(
    "name, bad",
    [
        ("min_elevation", "x"),
        ("min_cn0", None),
        ("max_cn0", [60.0]),
        ("anomaly_threshold_low", "3"),
        ("anomaly_threshold_high", object()),
        ("anomaly_sensitivity", "0.5"),
        ("interference_threshold_db", b"6"),
        ("detect_anomalies", 1),
        ("verbose", "yes"),
        ("nav_file", 3),
        ("nav_file", b"nav.rnx"),
        ("systems", 5),
        ("systems", ["G", 1]),
    ],
)
def test_argument_errors_name_the_parameter(name, bad):
    with pytest.raises(TypeError) as err:
        AnalysisConfig(**{name: bad})
    assert str(err.value).startswith(f"argument '{name}': ")


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match=r"^argument 'min_cn0'"):
        AnalysisConfig(verbose="no", min_cn0="low", nav_file=1)
    with pytest.raises(TypeError, match=r"^argument 'systems'"):
        AnalysisConfig(systems="G", detect_anomalies=None)


def test_float_conversion_uses_float_protocol():
    class Deg:
        def __float__(self):
            return 12.5

    class Broken:
        def __float__(self):
            raise ValueError("no angle here")

    c = AnalysisConfig(min_elevation=Deg(), min_cn0=10, max_cn0=True)
    assert c.min_elevation == 12.5 and type(c.min_cn0) is float and c.min_cn0 == 10.0
    assert c.max_cn0 == 1.0
    with pytest.raises(ValueError, match="^no angle here$"):
        AnalysisConfig(max_cn0=Broken())
    assert math.isnan(AnalysisConfig(min_cn0=float("nan")).min_cn0)


def test_systems():
    with pytest.raises(TypeError, match=r"^argument 'systems': "):
        AnalysisConfig(systems="GE")
    c = AnalysisConfig(systems=("G", "E"))
    assert c.systems == ["G", "E"] and type(c.systems) is list
    assert AnalysisConfig(systems=[]).systems == []
    assert AnalysisConfig(systems=None).systems is None
    # Each read builds a new list; changing it leaves the record alone.
    got = c.systems
    got.append("R")
    assert c.systems == ["G", "E"]
    assert c.systems is not c.systems


def test_flags_and_nav_file():
    c = AnalysisConfig(detect_anomalies=False, verbose=True, nav_file="brdc0650.24p")
    assert c.detect_anomalies is False and c.verbose is True
    assert c.nav_file == "brdc0650.24p"
    assert AnalysisConfig(nav_file=None).nav_file is None


def test_positional_arguments_follow_the_signature():
    c = AnalysisConfig(10, 20, 50, None, 30, ["G"], 4.0, 8.0, 12.0, False, 1.0, 9.0, True, "n.rnx")
    assert (c.min_elevation, c.min_cn0, c.max_cn0, c.time_bin_seconds) == (10.0, 20.0, 50.0, 30)
    assert c.systems == ["G"]
    assert (c.anomaly_threshold_low, c.anomaly_threshold_high, c.anomaly_threshold_critical) == (2.0, 4.0, 9.0)
    assert (c.detect_anomalies, c.anomaly_sensitivity, c.interference_threshold_db) == (False, 1.0, 9.0)
    assert (c.verbose, c.nav_file) == (True, "n.rnx")
    with pytest.raises(TypeError):
        AnalysisConfig(*range(15))
    with pytest.raises(TypeError):
        AnalysisConfig(5.0, min_elevation=6.0)
    with pytest.raises(TypeError):
        AnalysisConfig(elevation=5.0)


@pytest.mark.parametrize("name", FIELDS)
def test_attributes_are_read_only(name):
    c = AnalysisConfig()
    before = getattr(c, name)
    with pytest.raises(AttributeError):
        setattr(c, name, before)
    with pytest.raises(AttributeError):
        delattr(c, name)
    assert getattr(c, name) == before


def test_no_new_attributes():
    with pytest.raises(AttributeError):
        AnalysisConfig().time_bin = 30
