"""What the plug-in keeps over the platform's AVIFile: the movie that was at
the path when a creation fails or the recorder dies before its first frame,
and a recording that reaches the largest file the platform writes
correctly (the plug-in built with that limit lowered to 8 MB)."""
import signal
import subprocess
import threading
import time

import pytest

from conftest import PROGRAM_SECONDS, interrupt

SMALL_LIMIT = 8_000_000  # avi_small_limit.dll's limit
SIZE = "160x120"
FRAME_BYTES = 160 * 120 * 3  # rows of 480 bytes need no padding


@pytest.fixture(scope="module")
def old_movie(wine):
    """A movie of 5 frames, written through the dialog with Full Frames."""
    run = wine.run("old", "avirec_win", "-y", "--size", "64x48", "--frames", "5", "old.avi",
                   keys="Return")
    assert run.status == 0, run
    return wine.path("old.avi").read_bytes()


@pytest.mark.parametrize("existing", [True, False], ids=["over_a_movie", "at_a_new_path"])
def test_cancelled_dialog_leaves_the_path_as_it_was(wine, old_movie, existing):
    path = wine.path("cancelled.avi")
    if existing:
        path.write_bytes(old_movie)
    else:
        path.unlink(missing_ok=True)
    run = wine.run("cancelled", "avirec_win", "-y", "--size", "64x48", "--frames", "3",
                   "cancelled.avi", keys="Escape")
    assert (run.status, run.field("created")) == (1, "no"), run
    if existing:
        assert path.read_bytes() == old_movie
    else:
        assert not path.exists()
    assert not wine.path("cancelled.avi.previous").exists()


def test_a_new_movie_replaces_the_old_one_once_its_first_frame_is_written(wine, old_movie, facts):
    path = wine.path("replaced.avi")
    path.write_bytes(old_movie)
    run = wine.run("replaced", "avirec_win", "-y", "--size", "16x16", "--frames", "2",
                   "replaced.avi", keys="Return")
    assert run.status == 0, run
    assert facts.probe_stream(path).startswith("width=16 height=16 ")
    assert not wine.path("replaced.avi.previous").exists()


def test_a_recorder_killed_before_its_first_frame_leaves_the_old_movie_beside(wine, old_movie):
    """Killed while the dialog is open: the platform has truncated the path,
    and the old movie waits as PATH.previous."""
    path = wine.path("killed.avi")
    path.write_bytes(old_movie)
    aside = wine.path("killed.avi.previous")
    aside.unlink(missing_ok=True)
    proc = wine.start("avirec_win", "-y", "--size", "64x48", "--frames", "3", "killed.avi",
                      out=subprocess.DEVNULL, err=subprocess.DEVNULL)
    found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                            "Video Compression"], stdout=subprocess.PIPE, timeout=60)
    assert found.stdout.split(), "no compression dialog appeared"
    assert interrupt(proc, "avirec_win.exe", signal.SIGKILL)
    proc.wait(PROGRAM_SECONDS)
    assert aside.read_bytes() == old_movie


@pytest.fixture(scope="module")
def limited(wine):
    run = wine.run("limited", "avirec_win", "-y", "--plugin", "avi_small_limit.dll", "--size", SIZE,
                   "--frames", "150", "--raw-out", "limited.rgb", "limited.avi", keys="Return")
    return run


def first_refused_frame():
    """The first frame that would take the closed file past the limit, as
    the plug-in counts it: 4 KiB of headers, each sample a chunk (an 8-byte
    header) and an index entry of 16 bytes."""
    frames = 0
    while 4096 + (frames + 1) * (8 + FRAME_BYTES) + 8 + 16 * (frames + 1) <= SMALL_LIMIT:
        frames += 1
    return frames


def test_frames_past_the_limit_are_refused_from_the_predicted_one(limited):
    first = first_refused_frame()
    results = [limited.field(f"frame {i}") for i in range(150)]
    assert results == ["1"] * first + ["0"] * (150 - first), limited
    assert limited.status == 1
    assert limited.err.count("was not written") == 1, limited.err
    assert f"frame {first} " in limited.err, limited.err


def test_every_frame_reported_written_is_in_a_movie_within_the_limit(limited, wine, facts):
    first = first_refused_frame()
    path = wine.path("limited.avi")
    assert path.stat().st_size <= SMALL_LIMIT
    put_in = wine.path("limited.rgb").read_bytes()
    assert facts.decode_rgb24(path) == put_in[:first * FRAME_BYTES]
    read = wine.run("limited.read", "avi_read", "limited.avi")
    assert (read.status, read.field("stream.length")) == (0, str(first)), read


# ---- A recording killed, then repaired on Linux -----------------------------------

KILLED_FRAMES = 40


@pytest.fixture(scope="module")
def killed(wine, facts):
    """40 frames piped into a Full Frames recording whose input then stays
    open, killed (SIGKILL) once each frame was reported written: the system
    writes the headers only at close, so the file holds zeros up to its
    first sample, then the samples."""
    frames = facts.raw_frames("rgb24", SIZE, KILLED_FRAMES)
    out_path = wine.path("killed_rec.out")
    with open(out_path, "wb") as out:
        proc = wine.start("avirec_win", "-y", "--raw", "rgb24", "--size", SIZE, "--fps", "15",
                          "killed_rec.avi", "-", stdin=subprocess.PIPE, out=out,
                          err=subprocess.DEVNULL)
        feeder = threading.Thread(target=lambda: (proc.stdin.write(frames), proc.stdin.flush()))
        feeder.start()
        dialog_failure = wine.answer_dialog("Return")
        for _ in range(300):
            if f"\nframe {KILLED_FRAMES - 1}: 1".encode() in out_path.read_bytes():
                break
            time.sleep(0.1)
        feeder.join()
        killed_it = interrupt(proc, "avirec_win.exe", signal.SIGKILL)
        proc.wait(PROGRAM_SECONDS)
        proc.stdin.close()
    assert dialog_failure is None and killed_it, out_path.read_text(errors="replace")
    cut = wine.path("killed_rec.avi").read_bytes()
    assert cut[:2048] == bytes(2048), "the headers were never written"
    return frames, cut


@pytest.fixture(scope="module")
def complete_like(wine):
    """A complete movie of the same settings, for --like."""
    run = wine.run("like", "avirec_win", "-y", "--size", SIZE, "--frames", "2", "--fps", "15",
                   "like.avi", keys="Return")
    assert run.status == 0, run
    return wine.path("like.avi")


@pytest.mark.parametrize("how", ["size_and_fps", "like"])
def test_a_killed_recording_is_repaired_with_every_frame(wine, linux, facts, killed,
                                                         complete_like, how):
    frames, cut = killed
    path = wine.path(f"repaired_{how}.avi")
    path.write_bytes(cut)
    settings = (["--size", SIZE, "--fps", "15"] if how == "size_and_fps"
                else ["--like", str(complete_like)])
    status, output = linux.record("--repair", str(path), *settings)
    assert status == 0, output
    assert facts.decode_rgb24(path) == frames
    read = wine.run(f"repaired_{how}.read", "avi_read", path.name)
    assert (read.status, read.field("stream.length"), read.field("stream.rate")) == (
        0, str(KILLED_FRAMES), "15"), read
