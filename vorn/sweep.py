"""Parameter sweeps on dask.distributed (extra `sweep`): one independent task
per parameter set, each building its own scene from the picklable description
in its worker (native scenes never leave a process), results gathered into one
xarray.Dataset with a dimension per parameter."""
from __future__ import annotations

import itertools
import json
import os
import traceback
import warnings

import numpy as np

from ._extras import require


class SweepError(RuntimeError):
    """Some tasks failed; `failures` lists (parameters, error text) and
    `result` holds the dataset of the others (NaN where a task failed)."""

    def __init__(self, failures, result):
        self.failures, self.result = failures, result
        lines = [f"  {p}: {e.strip().splitlines()[-1]}" for p, e in failures]
        super().__init__(f"{len(failures)} of the sweep's tasks failed:\n" + "\n".join(lines))


def _host_slots(client):
    """Tasks that run at once on each worker host: {host: threads of its workers}."""
    slots = {}
    for w in client.scheduler_info().get("workers", {}).values():
        slots[w.get("host")] = slots.get(w.get("host"), 0) + int(w.get("nthreads", 1))
    return slots


def _engine_threads(threads):
    """The engine threads of a task: `threads` when given (an int), else this
    machine's cores shared among the tasks its workers run at once (`threads`
    is then {host: slots})."""
    if isinstance(threads, int):
        return threads
    try:
        from distributed import get_worker
        from distributed.comm import get_address_host
        worker = get_worker()
        slots = threads.get(get_address_host(worker.address)) or worker.state.nthreads
    except (ImportError, ValueError, AttributeError):
        slots = 1
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return max(1, (cores or 1) // max(1, slots))


def _task(scene_fn, run, run_kwargs, params, threads=None):
    """Runs in a worker: never raises, so one failure cannot hide the others.
    CPU simulations that name no num_threads use the task's share of cores."""
    from .simulate import engine_threads
    try:
        with engine_threads(_engine_threads(threads)):
            made = scene_fn(**params)
            result = made if run is None else run(made, **run_kwargs)
        return True, result
    except Exception:  # noqa: BLE001 - reported with the task's parameters
        return False, traceback.format_exc()


def _client(client, n_workers):
    """(client, owned): the given Client, one connected to a scheduler address,
    or a new local cluster of `n_workers` single-threaded processes."""
    distributed = require("distributed", "sweep", "Sweeps")
    if client is None:
        cluster = distributed.LocalCluster(n_workers=n_workers, threads_per_worker=1,
                                           processes=True, dashboard_address=":0")
        return distributed.Client(cluster), True
    if isinstance(client, str):
        return distributed.Client(client), True
    return client, False


def sweep(scene_fn, grid=None, cases=None, run=None, run_kwargs=None, client=None,
          n_workers=None, progress=True, errors="warn", num_threads=None):
    """Runs `run(scene_fn(**params), **run_kwargs)` for every parameter set and
    combines the results (xarray Datasets or DataArrays, e.g. from
    vorn.render, vorn.absorb or vorn.scan; with `run=None`, scene_fn's own
    result) into one Dataset.

    grid: {name: values}, every combination; the result has one dimension per
    name. cases: a list of {name: value} dicts; the result has a "case"
    dimension with the parameters as coordinates. `scene_fn` and `run` must be
    picklable (module-level functions or functools.partial of them).

    client: None for a local cluster of `n_workers` processes (default: this
    machine's cores), a dask.distributed Client, or a scheduler address.
    num_threads: the CPU engine threads of each task's simulations (those of
    vorn.render, vorn.absorb and vorn.scan that name none); default: a
    machine's cores divided by the tasks its workers run at once, so that
    the tasks do not oversubscribe it.
    progress: a tqdm bar while tasks finish. errors: "warn" (default) warns
    naming each failed task's parameters and returns the rest with NaN in
    the failed places (attribute "failures"); "raise" raises SweepError
    carrying the failures and that partial result."""
    xr = require("xarray", "io", "Sweeps")
    if (grid is None) == (cases is None):
        raise ValueError("give either grid (values per parameter) or cases (a list of dicts)")
    if errors not in ("warn", "raise"):
        raise ValueError("errors must be 'warn' or 'raise'")
    if grid is not None:
        names = list(grid)
        axes = [list(np.atleast_1d(grid[k]).tolist()) for k in names]
        params = [dict(zip(names, combo)) for combo in itertools.product(*axes)]
    else:
        params = [dict(c) for c in cases]
    if not params:
        raise ValueError("the sweep has no parameter sets")
    cl, owned = _client(client, n_workers)
    try:
        distributed = require("distributed", "sweep", "Sweeps")
        threads = int(num_threads) if num_threads is not None else _host_slots(cl)
        futures = [cl.submit(_task, scene_fn, run, run_kwargs or {}, p, threads, pure=False)
                   for p in params]
        index = {f.key: i for i, f in enumerate(futures)}
        results = [None] * len(futures)
        bar = require("tqdm", "sweep", "Sweeps").tqdm(total=len(futures), desc="sweep",
                                                      disable=not progress)
        for future in distributed.as_completed(futures):
            try:
                results[index[future.key]] = future.result()
            except Exception:  # noqa: BLE001 - a lost worker, say
                results[index[future.key]] = (False, traceback.format_exc())
            bar.update(1)
        bar.close()
    finally:
        if owned:
            cluster = getattr(cl, "cluster", None)
            cl.close()
            if cluster is not None:
                cluster.close()
    failures = [(p, r) for p, (ok, r) in zip(params, results) if not ok]
    done = [(p, r) for p, (ok, r) in zip(params, results) if ok]
    combined = _combine(xr, done, grid, axes if grid is not None else None, params)
    if failures:
        combined.attrs["failures"] = json.dumps(
            [{"parameters": p, "error": e.strip().splitlines()[-1]} for p, e in failures],
            default=str)
        if errors == "raise":
            raise SweepError(failures, combined)
        for p, e in failures:
            warnings.warn(f"sweep task {p} failed: {e.strip().splitlines()[-1]}", stacklevel=2)
    return combined


def _combine(xr, done, grid, axes, params):
    if not done:
        return xr.Dataset()
    items = []
    for _, r in done:
        if not isinstance(r, (xr.Dataset, xr.DataArray)):  # numbers and arrays
            r = xr.DataArray(np.asarray(r), name="result")
        items.append(r.to_dataset(name=r.name or "result") if isinstance(r, xr.DataArray) else r)

    def same(k, v):
        try:
            return all(bool(np.all(ds.attrs.get(k) == v)) for ds in items)
        except (TypeError, ValueError):
            return False
    attrs = {k: v for k, v in items[0].attrs.items() if same(k, v)}  # what all runs share
    if grid is not None:
        names = list(grid)
        parts = [ds.expand_dims({k: [p[k]] for k in names}) for (p, _), ds in zip(done, items)]
        out = xr.combine_by_coords(parts, combine_attrs="drop")
        out = out.reindex({k: v for k, v in zip(names, axes)})  # NaN where a task failed
    else:
        case = [i for i, p in enumerate(params) if any(p is q for q, _ in done)]
        out = xr.concat(items, dim="case", combine_attrs="drop").assign_coords(case=case)
        out = out.reindex(case=list(range(len(params))))  # NaN where a task failed
        for k in sorted({k for p in params for k in p}):
            out = out.assign_coords({k: ("case", [p.get(k) for p in params])})
    out.attrs.update(attrs)
    out.attrs["parameters"] = json.dumps(params, default=str)
    return out
