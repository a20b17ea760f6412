"""Many homes on a local Dask cluster of two worker processes, compared with
one Timeline per home."""

import os
import pathlib
import shutil
import sys

import pytest

pytest.importorskip("distributed")
import dask
import distributed
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

import tracequill
from tracequill.dask import UNREADABLE_HOME, read_timelines

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import generate_profiles  # noqa: E402

pytestmark = pytest.mark.cluster

DISTINCT = 10  # generated homes; each is linked into COPIES homes of the fleet
COPIES = 5


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    root = tmp_path_factory.mktemp("fleet")
    for seed in range(DISTINCT):
        made = root / f"made-{seed}"
        generate_profiles.generate(str(made), 0.02, seed=seed, quiet=True, big_lines=False)
        for copy in range(COPIES):
            shutil.copytree(made, root / f"home-{copy * DISTINCT + seed:02}", copy_function=os.link)
    return root


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def one_home(home):
    tl = tracequill.Timeline(home, workers=1)
    return pa.table(tl).to_pandas(types_mapper=pd.ArrowDtype), tl.diagnostics


def test_each_partition_is_one_homes_timeline(fleet, client):
    missing = str(fleet / "gone")
    events, diagnostics = read_timelines([str(fleet / "home-*"), missing, str(fleet / "home-07")])
    homes = [str(fleet / f"home-{i:02}") for i in range(DISTINCT * COPIES)] + [missing]
    assert events.npartitions == len(homes)
    got_events, got_diagnostics = dask.compute(events, diagnostics)
    assert list(got_events["home"].unique()) == homes[:-1]
    for home in homes[:-1]:
        expected, expected_diagnostics = one_home(home)
        part = got_events[got_events["home"] == home].drop(columns="home")
        pd.testing.assert_frame_equal(part.reset_index(drop=True), expected)
        found = got_diagnostics[got_diagnostics["home"] == home].drop(columns="home")
        assert found.to_dict("records") == expected_diagnostics
    unreadable = got_diagnostics[got_diagnostics["home"] == missing].to_dict("records")
    assert [(d["code"], d["severity"]) for d in unreadable] == [(UNREADABLE_HOME, "error")]
    assert unreadable[0]["message"].startswith(f"I/O error at {missing}: ")


def test_to_parquet_writes_a_dataset_of_the_homes(fleet, client, tmp_path):
    events, _ = read_timelines(str(fleet / "home-0*"))
    events.to_parquet(tmp_path / "fleet", write_index=False)
    table = pq.read_table(tmp_path / "fleet")
    assert len(list((tmp_path / "fleet").glob("*.parquet"))) == events.npartitions == 10
    assert table.num_rows == len(events)
    assert table.schema.field("timestamp").type == pa.timestamp("us", tz="UTC")
