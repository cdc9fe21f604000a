"""Many analyses on a Dask cluster: ``analyze_many(client, obs_paths, nav_paths)``, or
``iter_analyze(client, obs_paths, nav_paths)`` for the results as they finish.

The files are split into batches, each batch is analysed on a Dask worker by
:func:`tessora_cn0.analyze_many`, and the results come back in the order of ``obs_paths``
(``analyze_many``) or batch by batch as the batches finish (``iter_analyze``, which never holds
more than the batch it is giving out on the client). The workers read the files themselves, so
the paths must name the same files on every machine (a shared or replicated file system).
Requires ``dask[distributed]`` (``pip install tessora_cn0[dask]``).
"""
import tessora_cn0 as _t
from tessora_cn0._summary import COLUMNS, summary_row

__all__ = ["analyze_many", "iter_analyze", "COLUMNS"]


def _analyze_batch(obs_paths, nav_paths, options, rows):
    results = _t.analyze_many(obs_paths, nav_paths, **options)
    if rows:
        return [summary_row(p, r) for p, r in zip(obs_paths, results)]
    return results


def _submit(client, obs_paths, nav_paths, rows, batch_size, threads_per_batch, options):
    """The batches' futures, each with the index of its first file."""
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
    return [(i, client.submit(_analyze_batch, obs_paths[i:i + batch_size], navs[i:i + batch_size], options, rows,
                              pure=False)) for i in starts]


def analyze_many(client, obs_paths, nav_paths=None, *, rows=False, batch_size=4, threads_per_batch=1, **options):
    """Analyse many observation files on the workers of a ``distributed.Client``.

    obs_paths, nav_paths and options (min_elevation, systems, config) mean what they mean for
    :func:`tessora_cn0.analyze_many`. Each task analyses ``batch_size`` files on
    ``threads_per_batch`` threads of its worker. Returns, in the order of obs_paths, one
    AnalysisResult or exception per file, or with ``rows=True`` one summary dict per file (the
    keys of :data:`COLUMNS`), which is all that crosses the network then.
    """
    futures = [f for _, f in _submit(client, obs_paths, nav_paths, rows, batch_size, threads_per_batch, options)]
    out = []
    for part in client.gather(futures):
        out.extend(part)
    return out


def iter_analyze(client, obs_paths, nav_paths=None, *, rows=False, batch_size=4, threads_per_batch=1, **options):
    """The streaming form of :func:`analyze_many`: yields ``(index, item)`` as batches finish.

    index is the file's position in obs_paths, item what analyze_many gives for it. The results
    are fetched one batch at a time, in the order the batches finish, and released on the cluster
    once fetched; the client holds only the batch being given out. Closing the generator early
    cancels the batches not yet fetched.
    """
    from distributed import as_completed

    submitted = _submit(client, obs_paths, nav_paths, rows, batch_size, threads_per_batch, options)
    remaining = {f.key: (i, f) for i, f in submitted}  # the batches not yet fetched
    pending = as_completed([f for _, f in submitted])
    del submitted
    try:
        for future in pending:
            start, _ = remaining.pop(future.key)
            part = future.result()
            future.release()
            del future
            for k, item in enumerate(part):
                yield start + k, item
            del part
    finally:
        if remaining:
            pending.clear()
            client.cancel([f for _, f in remaining.values()])
