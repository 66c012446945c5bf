"""The kernels under threads: independent work stays independent, other threads
run while a frame loop runs, and one decoder shared by threads refuses rather
than corrupts.  No test measures time: each waits for what it must observe,
within a generous bound of attempts."""

import threading
from collections import Counter

import numpy as np
import pytest
from bad_inputs import U32
from graphs import chunk, decode_args, decoder_args

from plintor.model import _kernels
from plintor.model._kernels import ForwardDecoder, decode

NOT_WRITTEN = np.iinfo(U32).max  # no state, and no back-pointer, has this value
# Frames of a long call: long enough that, on a loaded machine too, this thread
# is scheduled again before the frame loop has finished.
LONG = 200_000
LANES = (40, 17, 33, 25, 9)


def run_threads(targets):
    barrier = threading.Barrier(len(targets))
    errors = []

    def run(target):
        try:
            barrier.wait()
            target()
        except BaseException as exc:  # reported below, in the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def test_separate_work_on_several_threads_matches_sequential_work():
    jobs = []
    for seed in range(4):
        args = decode_args(LANES, num_frames=300, num_cols=2, seed=seed)
        chunks = np.array_split(chunk(300, seed=seed), [1, 50, 51, 200])
        jobs.append((args, chunks))

    def work(args, chunks):
        decoder = ForwardDecoder(**decoder_args(LANES))
        steps = [decoder.step(c).tolist() for c in chunks]
        path, log_probability = decode(**args)
        return steps, path.tolist(), log_probability

    expected = [work(*job) for job in jobs]
    results = [None] * len(jobs)

    def target(i):
        return lambda: results.__setitem__(i, [work(*jobs[i]) for _ in range(3)])

    run_threads([target(i) for i in range(len(jobs))])
    assert results == [[e] * 3 for e in expected]


class Watching:
    """Stands in for the module's np and hands out uint32 buffers marked as
    not written, so that another thread can watch a frame loop fill them."""

    def __init__(self):
        self.buffers = []

    def __getattr__(self, name):
        return getattr(np, name)

    def empty(self, shape, dtype=float):
        if np.dtype(dtype) != U32:
            return np.empty(shape, dtype)
        buffer = np.full(shape, NOT_WRITTEN, U32)
        self.buffers.append(buffer.reshape(-1))
        return buffer


def observed_mid_loop(call, watching):
    """Runs `call` on a worker thread and watches, from this thread, the
    buffer its frame loop fills front to back: seeing it partly filled means
    this thread ran while the loop did."""
    worker = threading.Thread(target=call)
    worker.start()
    seen = False
    while worker.is_alive() and not seen:
        if watching.buffers:
            buffer = watching.buffers[-1]
            seen = buffer[0] != NOT_WRITTEN and buffer[-1] == NOT_WRITTEN
    worker.join()
    return seen


@pytest.mark.parametrize("entry", ["decode", "step"])
def test_other_threads_run_while_a_frame_loop_runs(monkeypatch, entry):
    args = decode_args(LANES, num_frames=LONG)
    decoder = ForwardDecoder(**decoder_args(LANES))
    dens = chunk(LONG)
    if entry == "decode":
        expected = decode(**args)[0].tolist()
    else:
        expected = ForwardDecoder(**decoder_args(LANES)).step(dens).tolist()
    watching = Watching()
    monkeypatch.setattr(_kernels, "np", watching)
    results = []

    def call():
        results.append(decode(**args)[0] if entry == "decode" else decoder.step(dens))

    for _attempt in range(50):
        decoder.reset()
        seen = observed_mid_loop(call, watching)
        assert results.pop().tolist() == expected
        if seen:
            return
    pytest.fail("no other thread ran while the frame loop ran")


def test_one_decoder_shared_by_threads_refuses_and_never_corrupts():
    """Steps of one chunk commute, so whatever order the accepted steps ran
    in, their outputs and the final belief are those of as many steps of a
    fresh decoder; the refused ones must have changed nothing."""
    decoder, dens = ForwardDecoder(**decoder_args(LANES)), chunk(2_000)
    outputs, refusals = [], []

    def hammer():
        for _ in range(30):
            try:
                outputs.append(tuple(decoder.step(dens).tolist()))
            except RuntimeError as exc:
                refusals.append(str(exc))
                assert str(exc).startswith("step(): another step() is running")

    for _attempt in range(20):
        run_threads([hammer] * 4)
        if refusals:
            break
    assert refusals, "the threads never met"
    fresh = ForwardDecoder(**decoder_args(LANES))
    expected = Counter(tuple(fresh.step(dens).tolist()) for _ in outputs)
    assert Counter(outputs) == expected
    probe = chunk(5, seed=1)
    assert decoder.step(probe).tolist() == fresh.step(probe).tolist()
