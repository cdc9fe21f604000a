"""Many analyses on a Dask cluster: ``analyze_many(client, obs_paths, nav_paths)``.

The files are split into batches, each batch is analysed on a Dask worker by
:func:`tessora_cn0.analyze_many`, and the results come back in the order of ``obs_paths``. The
workers read the files themselves, so the paths must name the same files on every machine (a
shared or replicated file system). Requires ``dask[distributed]`` (``pip install tessora_cn0[dask]``).
"""
import tessora_cn0 as _t
from tessora_cn0._summary import COLUMNS, summary_row

__all__ = ["analyze_many", "COLUMNS"]


def _analyze_batch(obs_paths, nav_paths, options, rows):
    results = _t.analyze_many(obs_paths, nav_paths, **options)
    if rows:
        return [summary_row(p, r) for p, r in zip(obs_paths, results)]
    return results


def analyze_many(client, obs_paths, nav_paths=None, *, rows=False, batch_size=4, threads_per_batch=1, **options):
    """Analyse many observation files on the workers of a ``distributed.Client``.

    obs_paths, nav_paths and options (min_elevation, systems, config) mean what they mean for
    :func:`tessora_cn0.analyze_many`. Each task analyses ``batch_size`` files on
    ``threads_per_batch`` threads of its worker. Returns, in the order of obs_paths, one
    AnalysisResult or exception per file, or with ``rows=True`` one summary dict per file (the
    keys of :data:`COLUMNS`), which is all that crosses the network then.
    """
    obs_paths = list(obs_paths)
    if nav_paths is None or isinstance(nav_paths, str):
        navs = [nav_paths] * len(obs_paths)
    else:
        navs = list(nav_paths)
        if len(navs) != len(obs_paths):
            raise ValueError(f"nav_paths has {len(navs)} entries for {len(obs_paths)} observation files")
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    options = dict(options, workers=threads_per_batch)
    starts = range(0, len(obs_paths), batch_size)
    futures = [client.submit(_analyze_batch, obs_paths[i:i + batch_size], navs[i:i + batch_size], options, rows,
                             pure=False) for i in starts]
    out = []
    for part in client.gather(futures):
        out.extend(part)
    return out
