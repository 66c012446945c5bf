import dataclasses
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from signals import clean_activations

from plintor.model.batch import activation_files, at_fps, track_files
from plintor.model.grid import GridConfig
from plintor.model.tracking import BeatTracker, DownbeatTracker

PERIODS = (40, 50, 60)


@pytest.fixture
def collection(tmp_path):
    """Three beat files of known period, a failing one and a file that is not activations."""
    for period in PERIODS:
        np.save(tmp_path / f"p{period}.npy", clean_activations(600, period, 20)[0][:, 0])
    (tmp_path / "broken.txt").write_text("0.1\nabc\n")
    (tmp_path / "notes.md").write_text("not taken: another suffix")
    (tmp_path / "sub").mkdir()
    return tmp_path


def expected_beats():
    return {f"p{p}.npy": clean_activations(600, p, 20)[1] / 100 for p in PERIODS}


def check(results, root):
    by_name = {r.path.removeprefix(f"{root}/"): r for r in results}
    assert sorted(by_name) == sorted([*expected_beats(), "broken.txt"])
    broken = by_name.pop("broken.txt")
    assert broken.beats is None and "line 2: 'abc' is not a number" in broken.error
    for name, times in expected_beats().items():
        assert by_name[name].error is None
        np.testing.assert_allclose(by_name[name].beats.times, times)


def test_directories_expand_to_their_activation_files(collection):
    files = activation_files([collection, collection / "p40.npy", "-"])
    names = [f.removeprefix(f"{collection}/") for f in files]
    assert names == ["broken.txt", "p40.npy", "p50.npy", "p60.npy", "p40.npy", "-"]


@pytest.mark.parametrize("jobs", [None, 2])
def test_in_the_calling_thread_and_on_threads(collection, jobs):
    executor = ThreadPoolExecutor(jobs) if jobs else None
    try:
        check(list(track_files([collection], BeatTracker(), executor)), collection)
    finally:
        if executor:
            executor.shutdown()


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def test_on_a_dask_cluster_of_processes(collection, dask_client):
    results = list(track_files([collection], BeatTracker(), dask_client.get_executor()))
    check(results, collection)
    workers = dask_client.run(lambda: __import__("os").getpid())
    assert len(set(workers.values())) == 2


@pytest.mark.parametrize(
    "tracker",
    [
        BeatTracker(GridConfig(min_bpm=60)),
        DownbeatTracker((3, 4), GridConfig(num_tempi=30)),
        DownbeatTracker((3, 4), (GridConfig(min_bpm=60), GridConfig(min_bpm=90))),
    ],
    ids=["beats", "one-grid", "grid-per-meter"],
)
def test_a_stored_frame_rate_changes_only_the_frame_rate(tracker):
    moved = at_fps(tracker, 50.0)
    assert [g.fps for g in moved.grids] == [50.0] * len(tracker.grids)
    assert [dataclasses.replace(g, fps=100.0) for g in moved.grids] == list(tracker.grids)
    assert dataclasses.replace(moved, grid=tracker.grid) == tracker
