"""Movies recorded by several workers and joined: the same frames as one
recording through Writer or matplotlib's Animation.save, and failures that
name the frame and leave nothing behind."""

import concurrent.futures
import logging
import multiprocessing
import os
import signal

import pytest

np = pytest.importorskip("numpy")
import avirec  # noqa: E402
from movies import decode, random_frames  # noqa: E402

FRAMES = random_frames(7, 9, 11, seed=11)  # 7 frames in 3 runs: 0-2, 3-4, 5-6


def kill_at_4(i):  # for a process pool, which pickles the functions by their name
    if i == 4:
        os.kill(os.getpid(), signal.SIGKILL)
    return FRAMES[i]


def recorded(path, frames, codec):
    with avirec.Writer(path, fps=25, codec=codec) as movie:
        for frame in frames:
            movie.write(frame)
    return decode(path)


@pytest.mark.parametrize("codec, workers, executor", [
    ("ffv1", 3, None),
    ("full", 1, None),
    ("ffv1", 7, "threads"),
])
def test_parallel_recording_decodes_as_the_sequential_one(tmp_path, codec, workers, executor):
    # Frame values that are not the frame numbers, and a grey frame among
    # colour ones (a run of its own when each frame is one).
    values = [("frame", i) for i in range(7)]

    def draw(value):
        i = value[1]
        return FRAMES[i][:, :, 1] if i == 3 else FRAMES[i]

    expected = [draw(value) for value in values]
    sequential, stream = recorded(str(tmp_path / "sequential.avi"), expected, codec)
    path = tmp_path / "parallel.avi"
    pool = concurrent.futures.ThreadPoolExecutor(workers) if executor == "threads" else None
    try:
        avirec.record_parallel(path, draw, values, fps=25, codec=codec, workers=workers,
                               executor=pool)
    finally:
        if pool is not None:
            pool.shutdown()
    decoded, parallel = decode(str(path))
    assert np.array_equal(decoded, sequential)
    for key in ("codec_name", "r_frame_rate", "nb_read_packets", "width", "height"):
        assert parallel[key] == stream[key], key
    assert sorted(os.listdir(tmp_path)) == ["parallel.avi", "sequential.avi"]


def test_save_parallel_is_what_animation_save_writes(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import animation

    def make_figure():
        fig, ax = plt.subplots(figsize=(1.7, 1.1), dpi=50)  # 85x55: odd sizes
        ax.set_xlim(0, 10)
        ax.set_ylim(-1, 1)
        ax.plot([], [])
        ax.set_title(" ")
        return fig

    def update(fig, phase):
        ax = fig.axes[0]
        xs = np.linspace(0, 10, 40)
        ax.lines[0].set_data(xs, np.sin(xs + phase))
        ax.set_title("%.1f" % phase, fontsize=6)

    phases = [0.5 * i for i in range(7)]
    fig = make_figure()
    anim = animation.FuncAnimation(fig, lambda phase: update(fig, phase), frames=phases)
    anim.save(str(tmp_path / "save.avi"), writer="avirec", fps=10, codec="ffv1", dpi=60,
              savefig_kwargs={"facecolor": "#fe8"})
    plt.close(fig)
    avirec.save_parallel(make_figure, update, phases, str(tmp_path / "parallel.avi"), fps=10,
                         codec="ffv1", workers=3, dpi=60, savefig_kwargs={"facecolor": "#fe8"})
    expected, stream = decode(str(tmp_path / "save.avi"))
    decoded, parallel = decode(str(tmp_path / "parallel.avi"))
    assert (stream["width"], stream["height"], len(expected)) == (102, 66, 7)
    assert len(np.unique(expected.reshape(7, -1), axis=0)) == 7, "the frames differ"
    assert np.array_equal(decoded, expected)
    assert parallel["r_frame_rate"] == stream["r_frame_rate"] == "10/1"


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_a_dask_cluster_records_through_a_shared_folder(tmp_path):
    distributed = pytest.importorskip("distributed")
    shared = tmp_path / "shared"
    shared.mkdir()

    def draw(i):  # a closure: cloudpickle sends it by value
        return np.random.default_rng(i).integers(0, 256, (12, 10, 3), dtype=np.uint8)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        avirec.record_parallel(tmp_path / "dask.avi", draw, 5, fps=5, codec="ffv1",
                               executor=client.get_executor(), segments=shared)
        # A worker killed at frame 7, and again on each worker the task is
        # given to (the first run's result is lost with its worker, and
        # computed again), until the cluster gives the task up.
        with pytest.raises(avirec.AvirecError,
                           match=r"^frames 5 to 9 were not recorded: .*KilledWorker"):
            avirec.record_parallel(tmp_path / "killed.avi", kill_at_7, 10, codec="ffv1",
                                   executor=client.get_executor(), segments=shared)
    decoded, stream = decode(str(tmp_path / "dask.avi"))
    assert np.array_equal(decoded, [draw(i) for i in range(5)])
    assert stream["r_frame_rate"] == "5/1"
    assert os.listdir(shared) == []
    assert sorted(os.listdir(tmp_path)) == ["dask.avi", "shared"]


def kill_at_7(i):
    if i == 7:
        os.kill(os.getpid(), signal.SIGKILL)
    return np.zeros((12, 10, 3), np.uint8)


def draw_raising_at_4(i):
    if i == 4:
        raise KeyError("no data for this frame")
    return FRAMES[i]


FAILURES = {
    # case: (draw, executor, the error's words, the frame named, or those it may be)
    "draw raises": (draw_raising_at_4, None, r"^frame 4 could not be drawn: KeyError", 4),
    "another size in a run": (lambda i: FRAMES[i][:, :5] if i == 4 else FRAMES[i], None,
                              r"^frame 4 is 5x9, but frame 3 is 11x9$", 4),
    # Frame 6 is then of another size than its run's first; told against frame 0's.
    "another size at a run's start": (lambda i: FRAMES[i][:5] if i == 5 else FRAMES[i], None,
                                      r"^frame 5 is 11x5, but frame 0 is 11x9$", 5),
    "killed worker": (kill_at_4, None,
                      r"^frame 4 was not recorded: the worker recording frames 3 to 4 was "
                      "killed by SIGKILL$", 4),
    # The pool fails every run it has, and cannot tell whose worker died; the
    # first run may have ended before.
    "killed worker of a process pool": (kill_at_4, "fork pool",
                                        r"^a worker of the pool died while recording "
                                        r"(frames 0 to 2, )?frames 3 to 4, frames 5 to 6 "
                                        r"\(BrokenProcessPool", (0, 3)),
}


@pytest.mark.parametrize("case", FAILURES)
def test_a_failure_names_the_frame_and_leaves_nothing(tmp_path, case):
    draw, executor, words, frame = FAILURES[case]
    segments = tmp_path / "segments"
    segments.mkdir()

    def record(path):
        pool = None
        if executor:
            pool = concurrent.futures.ProcessPoolExecutor(
                3, mp_context=multiprocessing.get_context("fork"))
        try:
            with pytest.raises(avirec.AvirecError, match=words) as caught:
                avirec.record_parallel(path, draw, 7, codec="ffv1", workers=3, executor=pool,
                                       segments=segments)
        finally:
            if pool is not None:
                pool.shutdown()
        return caught.value

    movie = tmp_path / "movie.avi"
    movie.write_bytes(b"keep")
    assert record(movie).frame in (frame if isinstance(frame, tuple) else (frame,))
    assert movie.read_bytes() == b"keep"
    assert sorted(os.listdir(tmp_path)) == ["movie.avi", "segments"]
    assert os.listdir(segments) == []
    # Where no movie was, none is left, nor anything beside it.
    record(tmp_path / "new.avi")
    assert sorted(os.listdir(tmp_path)) == ["movie.avi", "segments"]


def test_overwrite_false_refuses_an_existing_movie_before_drawing(tmp_path):
    movie = tmp_path / "movie.avi"
    movie.write_bytes(b"keep")
    drawn = []
    with pytest.raises(avirec.AvirecError, match="never to overwrite"):
        avirec.record_parallel(movie, drawn.append, 3, overwrite=False)
    assert drawn == [] and movie.read_bytes() == b"keep"
    assert os.listdir(tmp_path) == ["movie.avi"]
