"""The Dask recipe in examples/: records parsed in the workers of a local cluster
of two processes come back as the same table as a serial run, and the script
pointed at the cluster's address writes that table to Parquet."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest
from dask.distributed import Client, LocalCluster, get_task_stream

REPO = Path(__file__).resolve().parents[1]
RECIPE = REPO / "examples" / "dask_records.py"


def load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def recipe():
    # Importable by name, so that the workers (started with the parent's
    # sys.path) find the functions the tasks refer to.
    sys.path.insert(0, str(RECIPE.parent))
    try:
        yield __import__(RECIPE.stem)
    finally:
        sys.path.remove(str(RECIPE.parent))


@pytest.fixture(scope="module")
def catalogs(tmp_path_factory):
    gen = load_module("bench_gen", REPO / "bench" / "gen.py")
    root = tmp_path_factory.mktemp("catalogs")
    (root / "more").mkdir()
    paths = []
    for n in range(8):
        path = root / ("more" if n % 2 else ".") / f"part-{n}.xml"
        path.write_text(gen.catalog(20_000 + 5_000 * n, seed=n), encoding="utf-8")
        paths.append(str(path.resolve()))
    return root, sorted(paths)


@pytest.fixture(scope="module")
def cluster(recipe):
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        yield cluster


def test_cluster_table_is_the_serial_table(recipe, catalogs, cluster):
    _, paths = catalogs
    serial = recipe.records_table(paths)
    with Client(cluster) as client:
        with get_task_stream(client) as stream:
            parallel = recipe.records_table(paths, client)
        workers = {task["worker"] for task in stream.data}
        assert workers and workers <= set(client.scheduler_info()["workers"])
    pd.testing.assert_frame_equal(parallel, serial)
    assert len(serial) == sum(Path(p).read_text(encoding="utf-8").count("<record ") for p in paths)
    assert list(serial["file"].unique()) == paths
    assert serial[["id", "price", "stock"]].dtypes.tolist() == ["int64", "float64", "int64"]
    assert (serial["sku"] == serial["id"].map("SKU-{:08d}".format)).all()
    assert serial["title"].str.len().min() > 0 and serial["vendor"].str.len().min() > 0


def test_script_on_the_cluster_address_writes_parquet(recipe, catalogs, cluster, tmp_path):
    root, paths = catalogs
    out = tmp_path / "records.parquet"
    result = subprocess.run(
        [sys.executable, "-P", RECIPE, "--scheduler", cluster.scheduler_address,
         "--output", out, root], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    serial = recipe.records_table(paths)
    assert result.stdout == f"{len(serial)} records from {len(paths)} files written to {out}\n"
    pd.testing.assert_frame_equal(pd.read_parquet(out), serial)
