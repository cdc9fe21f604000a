"""Many machines: the Dask helper on a real local cluster of two worker processes.

The cluster runs in a child interpreter, so that this test process keeps no worker, nanny or
resource-tracker processes of its own (other tests check that they leave no child behind).
"""
import json
import subprocess
import sys

import pytest

import tessora_cn0 as t
from conftest import DATA_DIR

SCRIPT = r"""
import json, sys
import distributed
import tessora_cn0.dask as td
obs, navs = json.loads(sys.argv[1])
with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
    with distributed.Client(cluster) as client:
        results = td.analyze_many(client, obs, navs, batch_size=3, min_elevation=10.0)
        rows = td.analyze_many(client, obs[:6], navs[:6], rows=True)
        streamed = list(td.iter_analyze(client, obs[:7], navs[:7], batch_size=2, min_elevation=10.0))
        try:
            td.analyze_many(client, obs[:2], [None])
            mismatch = None
        except ValueError as e:
            mismatch = str(e)
text = lambda r: r.to_json() if not isinstance(r, Exception) else [type(r).__name__, str(r)]
out = [text(r) for r in results]
streamed = [[i, text(r)] for i, r in streamed]
print(json.dumps({"results": out, "rows": rows, "columns": list(td.COLUMNS), "mismatch": mismatch,
                  "streamed": streamed}))
"""


def real_pairs(n):
    pairs, seen = [], set()
    path = DATA_DIR / "pairs.txt"
    if not path.exists():
        pytest.skip("real data folder not available")
    for line in path.read_text().splitlines():
        parts = line.split()
        if not parts or parts[0] in seen:
            continue
        seen.add(parts[0])
        pairs.append((str(DATA_DIR / parts[0]), str(DATA_DIR / parts[1]) if len(parts) > 1 else None))
    return pairs[:n]


def test_cluster_results_equal_serial_ones():
    pytest.importorskip("distributed")
    pairs = real_pairs(24)
    assert len(pairs) >= 20
    obs, navs = [p[0] for p in pairs], [p[1] for p in pairs]
    run = subprocess.run([sys.executable, "-c", SCRIPT, json.dumps([obs, navs])], capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout.splitlines()[-1])
    assert len(got["results"]) == len(obs)
    for o, n, r in zip(obs, navs, got["results"]):
        try:
            expected = t.analyze_cn0(o, n, 10.0).to_json()
        except (OSError, ValueError) as e:
            assert r == [type(e).__name__, str(e)], o
            continue
        assert r == expected, o

    assert [r["file"] for r in got["rows"]] == obs[:6]
    assert all(set(r) == set(got["columns"]) for r in got["rows"])
    for r, o, n in zip(got["rows"], obs, navs):
        result = t.analyze_cn0(o, n)
        assert r["grade"] == result.quality_grade and r["score"] == round(result.score, 1)
    assert got["mismatch"] == "nav_paths has 1 entries for 2 observation files"
    # The streaming form: every file once, as the batches finish, with the same items.
    assert sorted(i for i, _ in got["streamed"]) == list(range(7))
    assert all(r == got["results"][i] for i, r in got["streamed"])
