"""The avirec module end to end: frames written through it are decoded back
with ffmpeg and compared."""

import os
import signal
import subprocess
import sys
import time

import pytest

np = pytest.importorskip("numpy")
import avirec  # noqa: E402
from movies import decode, random_frames  # noqa: E402


@pytest.mark.parametrize("codec", ["full", "ffv1", None])
def test_frames_come_back_exactly(tmp_path, codec):
    frames = random_frames(5, 17, 33)  # odd width: rows are padded in the movie
    path = str(tmp_path / "out.avi")
    with avirec.Writer(path, size=(33, 17), fps=25, codec=codec) as movie:
        for frame in frames:
            movie.write(frame)
    decoded, stream = decode(path)
    assert np.array_equal(decoded, frames)
    assert stream["r_frame_rate"] == "25/1"
    assert stream["nb_read_packets"] == "5"
    assert stream["codec_name"] == ("ffv1" if codec == "ffv1" else "rawvideo")


def test_grey_frames_and_views(tmp_path):
    grey = random_frames(3, 8, 6, channels=0, seed=2)
    path = str(tmp_path / "grey.avi")
    with avirec.Writer(path, fps=12, codec="ffv1", name="grey take") as movie:
        for frame in grey:
            movie.write(frame)
    decoded, stream = decode(path)
    assert np.array_equal(decoded, np.repeat(grey[..., None], 3, axis=3))
    assert stream["r_frame_rate"] == "12/1"
    assert stream["tags"]["title"] == "grey take"

    # A colour movie takes grey frames and strided views of bigger arrays.
    colour = random_frames(1, 8, 12, seed=3)[0]
    path = str(tmp_path / "mixed.avi")
    with avirec.Writer(path, size=(6, 8), codec="ffv1") as movie:
        movie.write(colour[:, ::2])
        movie.write(grey[0])
    decoded, _ = decode(path)
    assert np.array_equal(decoded[0], colour[:, ::2])
    assert np.array_equal(decoded[1], np.repeat(grey[0][..., None], 3, axis=2))


@pytest.mark.parametrize("frame, error, words", [
    (np.zeros((8, 6, 3), np.float32), TypeError, "uint8"),
    (np.zeros((8, 6, 4), np.uint8), ValueError, "H x W x 3"),
    (np.zeros((6, 8, 3), np.uint8), ValueError, "but the movie is 6x8"),
    (np.zeros(48, np.uint8), ValueError, "H x W x 3"),
])
def test_wrong_frames_are_refused(tmp_path, frame, error, words):
    path = str(tmp_path / "bad.avi")
    with avirec.Writer(path, size=(6, 8), codec="full") as movie:
        movie.write(np.zeros((8, 6, 3), np.uint8))
        with pytest.raises(error, match=words):
            movie.write(frame)
    decoded, _ = decode(path)
    assert len(decoded) == 1, "the good frame was kept"


def test_failed_recordings_raise_with_avirecs_reason(tmp_path):
    path = str(tmp_path / "x.avi")
    with pytest.raises(avirec.AvirecError, match="cannot create the movie"):
        with avirec.Writer(path, size=(4, 4), codec="no-such-codec") as movie:
            for _ in range(50):
                movie.write(np.zeros((4, 4, 3), np.uint8))

    with open(path, "wb") as existing:
        existing.write(b"keep")
    with pytest.raises(avirec.AvirecError, match="never to overwrite"):
        with avirec.Writer(path, size=(4, 4), overwrite=False) as movie:
            movie.write(np.zeros((4, 4, 3), np.uint8))
    with open(path, "rb") as existing:
        assert existing.read() == b"keep"

    with pytest.raises(avirec.AvirecError, match="no frames"):
        with avirec.Writer(str(tmp_path / "empty.avi"), size=(4, 4)):
            pass
    with pytest.raises(avirec.AvirecError, match="not found"):
        avirec.Writer(path, size=(4, 4), avirec=str(tmp_path / "none"))


def test_an_error_in_the_block_keeps_the_frames_and_propagates(tmp_path):
    path = str(tmp_path / "cut.avi")
    frames = random_frames(2, 4, 4, seed=4)
    with pytest.raises(KeyError):
        with avirec.Writer(path, size=(4, 4), codec="ffv1") as movie:
            movie.write(frames[0])
            movie.write(frames[1])
            raise KeyError("the caller's own error")
    decoded, _ = decode(path)
    assert np.array_equal(decoded, frames)


def test_matplotlib_animation_saves_through_avirec(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import animation

    assert animation.writers.is_available("avirec")
    fig, ax = plt.subplots(figsize=(2, 1.5), dpi=40)
    line, = ax.plot([], [])
    ax.set_xlim(0, 10)
    ax.set_ylim(-1, 1)

    def draw(i):
        xs = np.linspace(0, 10, 50)
        line.set_data(xs, np.sin(xs + i))
        return (line,)

    anim = animation.FuncAnimation(fig, draw, frames=6, blit=False)
    path = str(tmp_path / "anim.avi")
    anim.save(path, writer="avirec", fps=10, codec="ffv1", dpi=40)

    decoded, stream = decode(path)
    assert stream["codec_name"] == "ffv1"
    assert stream["r_frame_rate"] == "10/1"
    assert (stream["width"], stream["height"]) == (80, 60)
    assert len(decoded) == 6
    # Each frame is the figure as matplotlib renders it.
    for i in (0, 5):
        draw(i)
        fig.canvas.draw()
        rendered = np.asarray(fig.canvas.buffer_rgba())[:, :, :3]
        assert np.array_equal(decoded[i], rendered)
    plt.close(fig)


def test_found_through_the_environment(tmp_path, monkeypatch):
    program = os.environ["AVIREC"]
    monkeypatch.setenv("PATH", "")
    assert avirec.find_avirec() == os.path.abspath(program)
    # On PATH when the environment names none.
    monkeypatch.delenv("AVIREC")
    os.symlink(os.path.abspath(program), str(tmp_path / "avirec"))
    monkeypatch.setenv("PATH", str(tmp_path))
    assert avirec.find_avirec() == str(tmp_path / "avirec")


@pytest.mark.parametrize("pixel_format", ["bgr24", "rgba", "bgra", "gray"])
def test_pixel_formats_go_straight_to_avirec(tmp_path, pixel_format):
    channels = avirec.PIXEL_FORMATS[pixel_format]
    frames = random_frames(3, 9, 7, channels=channels if channels > 1 else 0, seed=5)
    # What the movie holds: RGB, the alpha dropped, grey in every band.
    expected = {"bgr24": lambda f: f[..., ::-1], "rgba": lambda f: f[..., :3],
                "bgra": lambda f: f[..., 2::-1],
                "gray": lambda f: np.repeat(f[..., None], 3, axis=-1)}[pixel_format](frames)
    path = str(tmp_path / "layout.avi")
    with avirec.Writer(path, codec="ffv1", pixel_format=pixel_format) as movie:
        for frame in frames:
            movie.write(frame)
        with pytest.raises(ValueError, match="%s frames must be" % pixel_format):
            movie.write(random_frames(1, 9, 7)[0] if channels != 3 else frames[0][..., :2])
    decoded, _ = decode(path)
    assert np.array_equal(decoded, expected)


def test_progress_comes_as_frames_are_recorded_and_failures_at_the_next_call(tmp_path):
    path = tmp_path / "progress.avi"
    reports = []
    frames = random_frames(4, 8, 8, seed=6)
    with avirec.Writer(str(path), codec="ffv1", progress=reports.append) as movie:
        for i in range(12):
            movie.write(frames[i % 4])
            time.sleep(0.1)  # avirec reports at most twice a second
        during = list(reports)
    assert during, "reports came while frames were written, not only at the end"
    assert all(not report.done for report in during)
    counts = [report.frames for report in reports]
    assert counts == sorted(counts) and 0 < counts[0] < 12
    last = reports[-1]
    assert last.done and last.frames == 12 and last.bytes == path.stat().st_size
    assert last.fps > 0

    # avirec refuses the first frame (H.264 needs even sizes) and exits; the
    # next write says why, and so does close() when no write comes.
    odd = np.zeros((5, 5, 3), np.uint8)
    movie = avirec.Writer(str(tmp_path / "odd.avi"), codec="h264")
    movie.write(odd)
    movie._process.wait()
    with pytest.raises(avirec.AvirecError, match="H.264 needs an even width and height"):
        movie.write(odd)
    movie = avirec.Writer(str(tmp_path / "odd.avi"), codec="h264")
    movie.write(odd)
    with pytest.raises(avirec.AvirecError, match="H.264 needs an even width and height"):
        movie.close()


def test_ctrl_c_closes_the_movie_with_every_frame_written(tmp_path):
    # A program writing frames in a loop gets Ctrl-C as a terminal sends it:
    # SIGINT to its whole process group, mostly while a frame is on its way;
    # it closes the movie, which then holds every frame written (avirec gets
    # no SIGINT of its own, and a frame cut short is finished).
    script = tmp_path / "loop.py"
    script.write_text(
        "import sys, numpy as np, avirec\n"
        "movie = avirec.Writer(sys.argv[1], size=(640, 480), codec='full')\n"
        "try:\n"
        "    while True:\n"
        "        movie.write(np.full((480, 640, 3), movie.frames % 256, np.uint8))\n"
        "        if movie.frames == 20:\n"
        "            print('ready', flush=True)\n"
        "except KeyboardInterrupt:\n"
        "    movie.close()\n"
        "    print(movie.frames, flush=True)\n")
    path = str(tmp_path / "stopped.avi")
    child = subprocess.Popen([sys.executable, str(script), path], stdout=subprocess.PIPE,
                             text=True, start_new_session=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.3)
    os.killpg(child.pid, signal.SIGINT)
    written = int(child.stdout.readline())
    assert child.wait(timeout=60) == 0
    decoded, _ = decode(path)
    assert written > 20 and len(decoded) == written
    assert all((decoded[i] == i % 256).all() for i in range(written))
