import os
import resource
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from plintor.model.grid import GridConfig
from plintor.model.sizing import (
    DEFAULT_MAX_MEMORY,
    GridTooLarge,
    check_grid_size,
    grid_size,
    grids_size,
)
from plintor.model.tracking import BeatTracker, DownbeatTracker

configs = st.builds(
    GridConfig,
    fps=st.sampled_from([20.0, 50.0, 100.0, 172.27]),
    min_bpm=st.floats(30, 100),
    max_bpm=st.floats(100, 300),
    num_tempi=st.none() | st.integers(1, 80),
    transition_lambda=st.sampled_from([0.0, 0.5, 1.0, 36.04365338911715, 100.0, 1e4]),
)
meters = st.sampled_from([1, 2, (3, 4), (1, 5, 7)])


@given(configs, meters)
def test_counts_are_those_of_the_built_grid(config, beats_per_bar):
    grid = config.build(beats_per_bar)
    size = grid_size(config, beats_per_bar)
    assert (size.states, size.edges, size.lanes) == (
        grid.num_states,
        grid.pred.size,
        grid.num_lanes,
    )


@pytest.mark.parametrize(
    ("tracker", "num_frames"),
    [
        (BeatTracker(), 6000),
        (BeatTracker(GridConfig(fps=400)), 1000),
        (DownbeatTracker((3, 4), GridConfig(fps=200), threshold=0), 2000),
    ],
    ids=["beats", "beats-400fps", "bars"],
)
def test_estimate_bounds_the_peak_of_tracking(tracker, num_frames):
    columns = 2 if tracker.downbeats else 1
    act = np.random.default_rng(0).uniform(0, 0.5, (num_frames, columns))
    tracemalloc.start()
    try:
        tracker.track(act)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < grids_size(tracker.grids, tracker.meters, num_frames).bytes < 4 * peak


@pytest.mark.parametrize(
    "tracker",
    [
        BeatTracker(GridConfig(fps=44100)),
        DownbeatTracker(grid=GridConfig(fps=8000, num_tempi=None)),
    ],
    ids=["beats", "bars"],
)
@pytest.mark.parametrize("online", [False, True])
def test_trackers_refuse_before_building(tracker, online):
    act = np.full((100, 2 if tracker.downbeats else 1), 0.5)
    with pytest.raises(GridTooLarge, match="looks like an audio sample rate"):
        tracker.track_online(act) if online else tracker.track(act)
    assert not tracker._models


def test_a_long_sequence_is_refused_for_its_back_pointers():
    tracker = DownbeatTracker((3, 4), GridConfig(fps=400), threshold=0, max_memory=2**30)
    tracker.track(np.full((1000, 2), 0.3))  # the grids alone fit
    with pytest.raises(GridTooLarge, match="GiB of back-pointers for 400,000 frames"):
        tracker.track(np.broadcast_to(np.float32(0.3), (400_000, 2)))


def test_refusal_gives_the_figures_and_the_sample_rate_hint():
    size = grid_size(GridConfig(fps=44100), 1, 3000)
    with pytest.raises(GridTooLarge) as caught:
        check_grid_size(size)
    message = str(caught.value)
    assert message.startswith(
        f"the tempo grid is too large: {size.states:,} states and {size.edges:,} edges, and "
        f"410 MiB of back-pointers for 3,000 frames need about {size.bytes / 2**30:,.1f} GiB, "
        "above the limit of 4.0 GiB (raise max_memory, or --max-memory on the command line)"
    )
    assert message.endswith(
        "; fps=44,100 looks like an audio sample rate: give the frame rate of the activations "
        "(100 for most beat networks)"
    )


def test_the_limit_can_be_raised_and_an_ordinary_rate_gets_no_hint():
    size = grid_size(GridConfig(fps=400), (3, 4), 500_000)
    assert size.bytes > DEFAULT_MAX_MEMORY
    check_grid_size(size, max_memory=size.bytes)
    with pytest.raises(GridTooLarge) as caught:
        check_grid_size(size)
    assert "sample rate" not in str(caught.value)


#: AddressSanitizer reserves terabytes of shadow address space, which no such limit allows.
under_limit = pytest.mark.skipif(
    bool(os.environ.get("PLINTOR_SANITIZER")), reason="a sanitizer needs unlimited address space"
)


def _limit_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (2 * 2**30, 2 * 2**30))


LIBRARY = """
import numpy as np
from plintor.model import BeatTracker, GridConfig
BeatTracker(GridConfig(fps={fps})).track(np.full(3000, 0.5))
"""


@under_limit
@pytest.mark.parametrize("fps", ["44100", "20000", "1000000"])
def test_library_refuses_a_sample_rate_under_a_memory_limit(fps):
    done = subprocess.run(
        [sys.executable, "-c", LIBRARY.format(fps=fps)],
        capture_output=True,
        text=True,
        preexec_fn=_limit_address_space,
        timeout=60,
    )
    assert done.returncode == 1
    last = done.stderr.splitlines()[-1]
    assert last.startswith("plintor.model.sizing.GridTooLarge: the tempo grid is too large: ")
    assert "MemoryError" not in done.stderr


@under_limit
@pytest.mark.parametrize("fps", ["44100", "20000", "1000000"])
def test_command_line_refuses_a_sample_rate_under_a_memory_limit(tmp_path, fps):
    path = tmp_path / "act.npy"
    np.save(path, np.random.default_rng(0).uniform(0, 0.5, 3000))
    done = subprocess.run(
        [sys.executable, "-m", "plintor.model", str(path), "--fps", fps],
        capture_output=True,
        text=True,
        preexec_fn=_limit_address_space,
        timeout=60,
    )
    assert done.returncode == 2 and not done.stdout
    assert done.stderr.startswith("plintor-beats: error: the tempo grid is too large: ")
    assert "looks like an audio sample rate" in done.stderr
    assert "MemoryError" not in done.stderr and len(done.stderr.splitlines()) == 1
