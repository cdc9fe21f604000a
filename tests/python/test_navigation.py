import warnings

import pytest

import tessora_cn0 as t
from conftest import data_path


def header(version="3.04", kind="N: GNSS NAV DATA    M: MIXED"):
    first = f"     {version}".ljust(20) + kind
    return (first.ljust(60) + "RINEX VERSION / TYPE\n" + "".ljust(60) + "END OF HEADER\n").encode()


def kepler_v3(sat):
    return (
        f"{sat} 2022 06 08 10 00 00-6.528543308377E-04 3.410605131648E-13 0.000000000000E+00\n"
        "     9.600000000000E+01 3.384375000000E+01 4.106242470052E-09-2.157708626665E+00\n"
        "     1.812353730202E-06 2.041313482914E-02 9.221956133842E-06 5.153679471970E+03\n"
        "     2.952000000000E+05 3.594905138016E-07 2.277502707678E+00 2.756714820862E-07\n"
        "     9.659928182326E-01 2.033437500000E+02-1.414485730254E+00-7.679605600684E-09\n"
        "     5.857386840816E-11 1.000000000000E+00 2.213000000000E+03 0.000000000000E+00\n"
        "     2.800000000000E+00 0.000000000000E+00-1.769512891769E-08 9.600000000000E+01\n"
        "     2.880180000000E+05 4.000000000000E+00\n"
    ).encode()


def glonass_v3(sat, channel=" 1.000000000000E+00"):
    return (
        f"{sat} 2022 06 08 09 45 00 5.807634443045E-05 9.094947017729E-13 2.934000000000E+05\n"
        "    -1.158823828125E+04-5.671300888062E-01 0.000000000000E+00 0.000000000000E+00\n"
        f"    -1.108993261719E+04-2.651433944702E+00 9.313225746155E-10{channel}\n"
        "     1.986426855469E+04-1.820190429688E+00-2.793967723846E-09 0.000000000000E+00\n"
    ).encode()


def test_class_and_function_surface():
    assert t.NavigationData.__doc__ == "Python wrapper for NavigationData"
    assert t.read_navigation.__doc__ == "Read navigation file from path"
    assert t.read_navigation.__text_signature__ == "(path)"
    assert t.read_navigation_bytes.__doc__ == "Read navigation file from bytes"
    assert t.read_navigation_bytes.__text_signature__ == "(data)"
    assert t.NavigationData.has_data.__doc__ == "Check if navigation data is available"
    assert t.NavigationData.has_data.__text_signature__ == "($self)"
    docs = {
        "satellite_count": "Get satellite count",
        "gps_count": "Get GPS satellite count",
        "glonass_count": "Get GLONASS satellite count",
        "galileo_count": "Get Galileo satellite count",
        "beidou_count": "Get BeiDou satellite count",
    }
    for name, doc in docs.items():
        assert getattr(t.NavigationData, name).__doc__ == doc
    with pytest.raises(TypeError, match="No constructor defined for NavigationData"):
        t.NavigationData()
    names = list(vars(t))
    assert names.index("NavigationData") == names.index("RinexObsData") + 1
    assert names.index("read_navigation") == names.index("parse_rinex") + 1
    assert names.index("read_navigation_bytes") == names.index("parse_rinex") + 2


def test_counts_repr_and_has_data():
    data = header() + kepler_v3("G02") + kepler_v3("J01") + kepler_v3("G02") + kepler_v3("E11") + kepler_v3("C07")
    data += glonass_v3("R03") + glonass_v3("R04", " 0.000000000000E+00")
    nav = t.read_navigation_bytes(data)
    assert (nav.gps_count, nav.glonass_count, nav.galileo_count, nav.beidou_count) == (2, 2, 1, 1)
    assert nav.satellite_count == 6
    assert nav.has_data() is True
    assert repr(nav) == "NavigationData(GPS=2, GLONASS=2, Galileo=1, BeiDou=1)"
    with pytest.raises(AttributeError):
        nav.gps_count = 3

    empty = t.read_navigation_bytes(header())
    assert empty.has_data() is False
    assert repr(empty) == "NavigationData(GPS=0, GLONASS=0, Galileo=0, BeiDou=0)"


def test_errors():
    with pytest.raises(ValueError, match="^No END OF HEADER found$"):
        t.read_navigation_bytes(b"     3.04           N: GNSS NAV DATA")
    with pytest.raises(TypeError, match="^argument 'data': "):
        t.read_navigation_bytes("not bytes")
    with pytest.raises(TypeError, match="^argument 'data': "):
        t.read_navigation_bytes(bytearray(header()))
    with pytest.raises(TypeError, match="^argument 'path': "):
        t.read_navigation(b"/tmp/x")
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        t.read_navigation("/nonexistent/dir/brdc0010.24n")
    # Garbage after a valid header never fails.
    nav = t.read_navigation_bytes(header() + b"\xff\xfe G01 \xc3\n" * 20 + kepler_v3("G0\xe9")[:100])
    assert nav.has_data() is False


def test_read_navigation_from_path(tmp_path):
    p = tmp_path / "mixed.rnx"
    p.write_bytes(header() + kepler_v3("E05") + kepler_v3("E06"))
    nav = t.read_navigation(str(p))
    assert repr(nav) == "NavigationData(GPS=0, GLONASS=0, Galileo=2, BeiDou=0)"
    assert nav.galileo_count == 2


def _georinex_counts(path):
    gr = pytest.importorskip("georinex")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = gr.load(path)
    svs = {str(s).split("_")[0] for s in ds.sv.values}
    count = lambda letters: len({s for s in svs if s[0] in letters})
    return count("GJ"), count("R"), count("E"), count("C")


@pytest.mark.parametrize(
    "rel",
    [
        "georinex/ab422100.18n",
        "georinex/p1462100.18g",
        "GNSS_Multipath_Analysis_Software/NavigationFiles/OPEC00NOR_S_20220010000_01D_EN.rnx",
        "rinex/NAV/V3/AMEL00NLD_R_20210010000_01D_MN.rnx",
        "gnss_lib_py/BRDM00DLR_S_20230730000_01D_MN.rnx",
    ],
)
def test_real_files_against_a_peer_reader(rel):
    path = data_path(rel)
    nav = t.read_navigation(str(path))
    g, r, e, c = _georinex_counts(path)
    assert (nav.gps_count, nav.glonass_count, nav.galileo_count, nav.beidou_count) == (g, r, e, c)
    assert nav.satellite_count == g + r + e + c
    assert repr(nav) == f"NavigationData(GPS={g}, GLONASS={r}, Galileo={e}, BeiDou={c})"
    assert t.read_navigation_bytes(path.read_bytes()).satellite_count == nav.satellite_count
