"""The module's registration, version, argument conventions and error mapping."""
import inspect
import os
import re

import pytest

import tessora_cn0 as t
from rinex_builder import f3, hl, v3_epoch, v3_header

SAMPLE = v3_header({"G": ["C1C", "S1C"]}) + v3_epoch((2024, 3, 5, 7, 4, 9.5), {"G01": ["20000000.000", "45.000"]})


def test_the_version_has_one_source():
    # The build takes the version from pyproject.toml; a second copy in the sources would drift.
    pyproject = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "pyproject.toml")
    if not os.path.exists(pyproject):
        pytest.skip("not run from a source tree")
    declared = re.search(r'^version = "([^"]+)"', open(pyproject).read(), re.M).group(1)
    assert t.VERSION == t.__version__ == t.version() == declared


def test_version_constants():
    assert t.VERSION == "0.3.5"
    assert t.__version__ == "0.3.5"
    assert t.version() == "0.3.5"
    names = [n for n in vars(t) if not n.startswith("__")]
    assert names.index("VERSION") < names.index("RinexObsData") < names.index("read_rinex_obs")
    assert names.index("read_rinex_obs") < names.index("read_rinex_obs_bytes") < names.index("parse_rinex")
    assert names.index("parse_rinex") < names.index("version")


def test_function_docstrings_and_signatures():
    assert t.read_rinex_obs.__doc__ == "Read RINEX observation file from path"
    assert t.read_rinex_obs.__text_signature__ == "(path)"
    assert t.read_rinex_obs_bytes.__text_signature__ == "(data, filename)"
    assert t.read_rinex_obs_bytes.__doc__ == "Read RINEX observation file from bytes"
    assert t.parse_rinex.__doc__ == "Alias for read_rinex_obs_bytes - parse RINEX from bytes"
    assert t.version.__doc__ == "Get library version"
    assert str(inspect.signature(t.parse_rinex)) == "(data, filename)"


def test_classes_without_constructor():
    with pytest.raises(TypeError) as e:
        t.RinexObsData()
    assert str(e.value) == "No constructor defined for RinexObsData"
    assert t.RinexObsData.__doc__ == "Python wrapper for RinexObsData"
    assert t.RinexObsData.__module__ == "tessora_cn0"


def test_file_errors(tmp_path):
    with pytest.raises(OSError) as e:
        t.read_rinex_obs(str(tmp_path / "missing.obs"))
    assert str(e.value) == "No such file or directory (os error 2)"
    assert type(e.value) is OSError
    with pytest.raises(OSError) as e:
        t.read_rinex_obs("a\0b")
    assert str(e.value) == "file name contained an unexpected NUL byte"
    with pytest.raises(OSError) as e:
        t.read_rinex_obs(str(tmp_path))
    assert str(e.value) == "Is a directory (os error 21)"


def test_file_name_of_path(tmp_path):
    # Without a marker name the file name of the path becomes the station name.
    text = v3_header({"G": ["S1C"]}, marker=None)
    d = tmp_path / "data"
    d.mkdir()
    (d / "site0010.24o").write_text(text)
    assert t.read_rinex_obs(str(d / "site0010.24o")).marker_name == "site0010.24o"
    assert t.read_rinex_obs(str(d) + "//site0010.24o").marker_name == "site0010.24o"
    (d / "sub").mkdir()
    (d / "x").write_text(text)
    assert t.read_rinex_obs(str(d / "sub" / ".." / "x")).marker_name == "x"
    # A path ending in ".." names no file: reading it fails, but a bytes call keeps any name whole.
    r = t.read_rinex_obs_bytes(text.encode(), "some/dir/name.obs")
    assert r.marker_name == "some/dir/name.obs"


def test_argument_conversion_errors():
    for bad in (bytearray(b"x"), memoryview(b"x"), "text", 5):
        with pytest.raises(TypeError) as e:
            t.read_rinex_obs_bytes(bad, "f")
        assert str(e.value).startswith("argument 'data': ")
    with pytest.raises(TypeError) as e:
        t.read_rinex_obs_bytes(b"", b"f")
    assert str(e.value).startswith("argument 'filename': ")
    with pytest.raises(TypeError) as e:
        t.read_rinex_obs(b"/tmp/x")
    assert str(e.value).startswith("argument 'path': ")
    with pytest.raises(TypeError):
        t.read_rinex_obs()
    with pytest.raises(TypeError):
        t.read_rinex_obs("a", "b")
    with pytest.raises(TypeError):
        t.read_rinex_obs(path="a", other=1)
    with pytest.raises(TypeError):
        t.read_rinex_obs_bytes(b"", "f", data=b"")
    with pytest.raises(TypeError):
        t.version(1)
    # Keywords work under the documented names.
    assert t.read_rinex_obs_bytes(filename="k.obs", data=SAMPLE.encode()).num_epochs == 1


def test_reader_error_is_value_error():
    for fn in (t.read_rinex_obs_bytes, t.parse_rinex):
        with pytest.raises(ValueError) as e:
            fn(b"no header here\n", "x.obs")
        assert str(e.value) == "No END OF HEADER found"
        assert type(e.value) is ValueError


def test_parse_rinex_is_an_alias():
    a = t.parse_rinex(SAMPLE.encode(), "a.obs")
    b = t.read_rinex_obs_bytes(SAMPLE.encode(), "a.obs")
    assert repr(a) == repr(b)
    assert a.debug_info() == b.debug_info()
    assert a.snr_stats_by_satellite() == b.snr_stats_by_satellite()


def test_internal_error_type_is_not_an_exception():
    # The dedicated type for internal failures must escape `except Exception`.
    import gc

    types = [o for o in gc.get_objects() if isinstance(o, type) and o.__name__ == "InternalError"
             and o.__module__ == "tessora_cn0"]
    assert types, "internal error type not found"
    assert issubclass(types[0], BaseException) and not issubclass(types[0], Exception)
