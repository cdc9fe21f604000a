"""Records cross process boundaries: every class with a record pickles under every protocol, and a
damaged or hostile state is a ValueError."""
import copy
import pickle
import random

import pytest

import tessora_cn0 as t
from analysis_files import flat_file
from test_navigation import glonass_v3, header, kepler_v3

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    d = tmp_path_factory.mktemp("pickle")
    obs_path, nav_path = d / "a.obs", d / "a.nav"
    obs_path.write_bytes(flat_file(n_epochs=40, drop_at=20, drop_sats=("G01", "G02", "E11"), second_signal=True))
    nav_path.write_bytes(header() + kepler_v3("G01") + kepler_v3("E11") + glonass_v3("R05"))
    obs = t.read_rinex_obs(str(obs_path))
    nav = t.read_navigation(str(nav_path))
    config = t.AnalysisConfig(min_elevation=2.5, systems=["G", "E"], time_bin=30, anomaly_sensitivity=0.3,
                              verbose=False, nav_file=str(nav_path))
    result = t.analyze_cn0(str(obs_path), str(nav_path))
    plain = t.analyze_cn0(str(obs_path))  # no visibility block
    return {"obs": obs, "nav": nav, "config": config, "result": result, "plain": plain,
            "quality": result.quality_score}


def views(o):
    """Everything an object shows, as plain values."""
    if isinstance(o, t.RinexObsData):
        return (repr(o), o.version, o.interval, o.num_epochs, o.num_satellites, o.marker_name, o.receiver_type,
                o.satellites_by_system(), o.obs_types_by_system(), o.snr_availability(), o.debug_info(),
                o.snr_stats_by_satellite())
    if isinstance(o, t.NavigationData):
        return (repr(o), o.satellite_count, o.gps_count, o.glonass_count, o.galileo_count, o.beidou_count, o.has_data())
    if isinstance(o, t.AnalysisConfig):
        return tuple(getattr(o, n) for n in ("min_elevation", "min_cn0", "max_cn0", "time_bin_seconds", "systems",
                                             "anomaly_threshold_low", "anomaly_threshold_high",
                                             "anomaly_threshold_critical", "detect_anomalies", "anomaly_sensitivity",
                                             "interference_threshold_db", "verbose", "nav_file"))
    if isinstance(o, t.QualityScore):
        return (repr(o),) + tuple(getattr(o, n) for n in ("overall", "rating", "cn0_quality", "availability",
                                                          "continuity", "stability", "diversity",
                                                          "post_processing_suitable"))
    return (o.to_json(), o.to_json_pretty(), repr(o), o.get_timeseries_data(), o.visibility_debug(),
            o.jamming_detected, o.spoofing_detected, o.interference_detected, views(o.quality_score))


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", ["obs", "nav", "config", "result", "plain", "quality"])
def test_round_trip_under_every_protocol(objects, name, protocol):
    o = objects[name]
    back = pickle.loads(pickle.dumps(o, protocol=protocol))
    assert type(back) is type(o)
    assert views(back) == views(o)
    assert views(copy.deepcopy(o)) == views(o)


def test_unpickled_records_analyse_as_the_originals(objects):
    obs, nav = pickle.loads(pickle.dumps((objects["obs"], objects["nav"])))
    analyzer = t.CN0Analyzer.from_obs(obs)
    analyzer.set_navigation(nav)
    direct = t.CN0Analyzer.from_obs(objects["obs"])
    direct.set_navigation(objects["nav"])
    assert analyzer.analyze().to_json() == direct.analyze().to_json()
    config = pickle.loads(pickle.dumps(objects["config"]))
    assert t.CN0Analyzer(config).analyze_with_nav  # usable as a configuration
    # Equal records give equal states, whatever the order of their hash maps.
    assert pickle.dumps(nav) == pickle.dumps(objects["nav"])


@pytest.mark.parametrize("name", ["obs", "nav", "config", "result", "quality"])
def test_damaged_or_hostile_states_are_value_errors(objects, name):
    o = objects[name]
    cls = type(o)
    restore, (state,) = o.__reduce__()
    assert restore == cls._from_state and isinstance(state, bytes)
    kind = cls.__name__
    rng = random.Random(len(state))
    bad = [state[:-1], state[:10], state[: len(state) // 2], state + b"\0", b"", b"TCN0", state[:4] + b"\x09" + state[5:]]
    for _ in range(40):
        s = bytearray(state)
        s[rng.randrange(len(s))] ^= 1 << rng.randrange(8)
        bad.append(bytes(s))
    bad += [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200))) for _ in range(20)]
    for s in bad:
        with pytest.raises(ValueError, match=f"^invalid {kind} state: "):
            cls._from_state(s)
    other = objects["quality" if name != "quality" else "config"].__reduce__()[1][0]
    with pytest.raises(ValueError, match=f"^invalid {kind} state: the state of another kind of object$"):
        cls._from_state(other)
    with pytest.raises(TypeError, match="^argument 'state': "):
        cls._from_state(bytearray(state))


def test_a_well_formed_state_with_bad_indices_is_refused(objects):
    # The checksum covers the bytes, not their meaning: a state written by someone else with a
    # correct checksum but an index beyond its tables must still be refused.
    import struct
    import zlib

    state = objects["obs"].__reduce__()[1][0]
    body = bytearray(state[:-4])
    # The indicator array is followed by three texts (time system, file name, receiver firmware),
    # each after an 8-byte length: replace the array's last byte with an invalid indicator.
    meta = objects["obs"].observations().metadata
    texts = (meta["time_system"], meta["filename"], meta["receiver_firmware"])
    body[-1 - (24 + sum(len(x.encode()) for x in texts))] = 0xAA
    forged = bytes(body) + struct.pack("<I", zlib.crc32(bytes(body)))
    with pytest.raises(ValueError, match="^invalid RinexObsData state: an invalid indicator$"):
        t.RinexObsData._from_state(forged)


def test_a_state_with_its_map_keys_out_of_order_is_refused(objects):
    # One record has one state: maps are written in key order, so a state listing the per-system
    # blocks as Galileo before GLONASS (checksum recomputed) is not one we wrote.
    import struct
    import zlib

    result = objects["result"]
    state = result.__reduce__()[1][0]
    body = state[:-4]
    assert body.count(b"GLONASS") and body.count(b"Galileo")
    swapped = body.replace(b"GLONASS", b"\xff" * 7).replace(b"Galileo", b"GLONASS").replace(b"\xff" * 7, b"Galileo")
    forged = swapped + struct.pack("<I", zlib.crc32(swapped))
    with pytest.raises(ValueError, match="^invalid AnalysisResult state: map keys out of order$"):
        t.AnalysisResult._from_state(forged)
    # The untouched state, checksum recomputed the same way, is accepted.
    assert t.AnalysisResult._from_state(body + struct.pack("<I", zlib.crc32(body))).to_json() == result.to_json()


def test_batch_results_pickle(tmp_path):
    p = tmp_path / "a.obs"
    p.write_bytes(flat_file())
    results = t.analyze_many([str(p), str(tmp_path / "none.obs")])
    back = pickle.loads(pickle.dumps(results))
    assert back[0].to_json() == results[0].to_json()
    assert type(back[1]) is type(results[1]) and str(back[1]) == str(results[1])
