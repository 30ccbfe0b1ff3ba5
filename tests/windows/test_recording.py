"""The host program avirec_win under Wine: its command line, recordings
through the real dialog with Full Frames, raw frames through a pipe and from
a file, Ctrl-C, and an existing output."""
import shutil
import subprocess
import threading
import time

import pytest

from conftest import PROGRAM_SECONDS, interrupt, size_of

NAME70 = "N" * 70


# ---- The command line ----------------------------------------------------------

@pytest.mark.parametrize("name, args, status, messages", [
    ("bad_size", ["--size", "0x48"], 2, ["--size needs"]),
    ("unknown", ["--frobnicate"], 2,
     ["unknown option '--frobnicate'", "Try 'avirec_win --help'"]),
    ("codec", ["--codec", "mjpeg"], 2, ["--codec does not apply"]),
    ("no_plugin", ["--plugin", "missing.dll"], 1, ["cannot load the plug-in missing.dll"]),
])
def test_refused_before_anything_opens(wine, name, args, status, messages):
    """Bad arguments (exit status 2) and a missing plug-in (1) are reported
    on standard error, and no movie is started."""
    run = wine.run(name, "avirec_win", *args, f"{name}.avi")
    assert run.status == status, run
    assert [m for m in messages if m not in run.err] == [], run.err
    assert run.out == ""
    assert not wine.path(f"{name}.avi").exists()


def test_help_and_version_answer_on_standard_output(wine):
    usage = wine.run("help", "avirec_win", "-h")
    version = wine.run("version", "avirec_win", "--version")
    assert (usage.status, usage.lines[:1]) == (0, ["Usage: avirec_win [options] OUTPUT.avi"])
    assert version.status == 0
    words = version.out.split()
    assert len(words) == 2 and words[0] == "avirec_win", version.out
    assert all(part.isdigit() for part in words[1].split(".")), version.out


# ---- Recordings through the real dialog ------------------------------------------

# name, size, frames, --fps, --name; the rate and name the file must carry.
RECORDINGS = [
    ("full_odd", "31x17", 12, "24", "Wine odd", 24, "Wine odd"),
    # 14.5 frames per second rounds to 15; a 70-character name keeps 63.
    ("full_even", "64x48", 8, "14.5", NAME70, 15, NAME70[:63]),
    # Rows wide enough for the vector row converters, with a tail after them.
    ("full_wide", "643x41", 3, "30", "wide rows", 30, "wide rows"),
]


@pytest.fixture(scope="module", params=RECORDINGS, ids=[r[0] for r in RECORDINGS])
def recording(request, wine):
    name, size, frames, fps, stream, rate, title = request.param
    recorded, read = wine.record_full(name, size, frames, fps, stream)
    return dict(name=name, size=size, frames=frames, rate=rate, title=title,
                recorded=recorded, read=read)


def test_every_frame_written(recording):
    r = recording["recorded"]
    frames = recording["frames"]
    assert (r.status, r.field("frames written")) == (0, f"{frames} of {frames}"), r


def test_host_heap_empty_after_close(recording):
    assert recording["recorded"].heap_is_empty(), recording["recorded"].out


def test_ffmpeg_decodes_exactly_the_frames_put_in(recording, wine, facts):
    name = recording["name"]
    put_in = wine.path(f"{name}.rgb").read_bytes()
    assert put_in and facts.decode_rgb24(wine.path(f"{name}.avi")) == put_in


def test_ffprobe_sees_the_size_rate_and_name(recording, wine, facts):
    width, height = size_of(recording["size"])
    assert facts.probe_stream(wine.path(f"{recording['name']}.avi")) == (
        f"width={width} height={height} r_frame_rate={recording['rate']}/1 "
        f"nb_frames={recording['frames']} TAG:title={recording['title']} ")


def test_wine_reads_back_rate_length_frame_and_name(recording):
    read = recording["read"]
    width, height = size_of(recording["size"])
    assert (read.status, read.field("stream.rate"), read.field("stream.scale"),
            read.field("stream.length"), read.field("stream.rcFrame"),
            read.field("stream.name")) == (
        0, str(recording["rate"]), "1", str(recording["frames"]), f"0,0,{width},{height}",
        recording["title"]), read


def test_wines_samples_are_the_decoded_frames_as_dibs(recording, wine, facts):
    width, height = size_of(recording["size"])
    expected = facts.dib_checksums(wine.path(f"{recording['name']}.avi"), width, height)
    assert expected and recording["read"].frame_checksums() == expected


def test_without_preferences_15_frames_per_second_and_the_default_name(wine, facts):
    run = wine.run("defaults", "avirec_win", "--size", "16x16", "--frames", "2", "defaults.avi",
                   keys="Return")
    assert (run.status, facts.probe_stream(wine.path("defaults.avi"))) == (
        0, "width=16 height=16 r_frame_rate=15/1 nb_frames=2 TAG:title=BRELK "), run


# ---- Raw frames ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def piped(wine, facts):
    frames = facts.raw_frames("rgb24", "32x24", 4)
    wine.path("piped.rgb").write_bytes(frames)
    run = wine.run("piped", "avirec_win", "--raw", "rgb24", "--size", "32x24", "piped.avi", "-",
                   keys="Return", feed=frames)
    return run, frames


def test_piped_frames_are_all_written(piped):
    run, _ = piped
    assert (run.status, run.field("frames written")) == (0, "4 of 4"), run


def test_piped_frames_decode_exactly(piped, wine, facts):
    _, frames = piped
    assert facts.decode_rgb24(wine.path("piped.avi")) == frames


@pytest.fixture(scope="module")
def short(wine, facts):
    """Two gray frames and 100 bytes of a third, from a file."""
    gray = facts.raw_frames("gray", "32x24", 2)
    wine.path("short.gray").write_bytes(gray + gray[:100])
    run = wine.run("short", "avirec_win", "--raw", "gray", "--size", "32x24", "short.avi",
                   "short.gray", keys="Return")
    return run, facts.convert_raw(gray, "32x24", "gray", "rgb24")


def test_a_partial_last_frame_is_an_error_naming_its_bytes(short):
    run, _ = short
    assert run.status == 1, run
    assert "short.gray ended in the middle of frame 2: 100 of its 768 bytes" in run.err


def test_the_frames_before_a_partial_one_are_a_complete_movie(short, wine, facts):
    _, whole = short
    assert facts.decode_rgb24(wine.path("short.avi")) == whole


# ---- Ctrl-C ---------------------------------------------------------------------------

FRAME_BYTES = 32 * 24 * 3
SLOW_FRAMES = 40


@pytest.fixture(scope="module")
def stopped(wine, facts):
    """A piped recording whose frames come slowly, so that it is in the
    middle of its input when one Ctrl-C comes (Wine turns SIGINT into the
    console's Ctrl-C event; a second one would end it at once)."""
    frames = facts.raw_frames("rgb24", "32x24", SLOW_FRAMES)
    out_path, err_path = wine.path("stopped.out"), wine.path("stopped.err")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        proc = wine.start("avirec_win", "--raw", "rgb24", "--size", "32x24", "stopped.avi", "-",
                          stdin=subprocess.PIPE, out=out, err=err)
        done = threading.Event()

        def feed():
            try:
                for i in range(SLOW_FRAMES):
                    if done.is_set():
                        break
                    proc.stdin.write(frames[i * FRAME_BYTES:(i + 1) * FRAME_BYTES])
                    proc.stdin.flush()
                    time.sleep(0.1)
                proc.stdin.close()
            except (BrokenPipeError, ValueError):
                pass

        feeder = threading.Thread(target=feed)
        feeder.start()
        dialog_failure = wine.answer_dialog("Return")
        for _ in range(100):
            if b"\nframe 4: 1" in out_path.read_bytes():
                break
            time.sleep(0.1)
        interrupted = interrupt(proc, "avirec_win.exe")
        try:
            status = proc.wait(PROGRAM_SECONDS)
        except subprocess.TimeoutExpired:
            proc.kill()
            status = proc.wait()
        done.set()
        feeder.join()
    err_text = err_path.read_text(errors="replace")
    written = None
    marker = "stopped by Ctrl-C; wrote "
    if marker in err_text:
        written = int(err_text.split(marker, 1)[1].split()[0])
    return dict(status=status, written=written, frames=frames, err=err_text,
                dialog_failure=dialog_failure, interrupted=interrupted)


def test_ctrl_c_ends_with_130_saying_how_many_frames_were_written(stopped):
    assert stopped["interrupted"] and stopped["dialog_failure"] is None, stopped["err"]
    assert stopped["status"] == 130, stopped["err"]
    assert stopped["written"] is not None and 5 <= stopped["written"] < SLOW_FRAMES, stopped["err"]


def test_ctrl_c_leaves_a_complete_movie_of_the_frames_reported(stopped, wine, facts):
    written = stopped["written"] or 0
    assert written > 0
    assert facts.decode_rgb24(wine.path("stopped.avi")) == stopped["frames"][:written * FRAME_BYTES]


# ---- An existing output -------------------------------------------------------------------

@pytest.fixture(scope="module")
def existing(wine, piped):
    shutil.copyfile(wine.path("piped.avi"), wine.path("existing.avi"))
    before = wine.path("existing.avi").read_bytes()
    args = ["--size", "16x16", "--frames", "2", "existing.avi"]
    refused = wine.run("exists", "avirec_win", *args)
    never = wine.run("never", "avirec_win", "-n", *args)
    after_refusals = wine.path("existing.avi").read_bytes()
    overwrite = wine.run("overwrite", "avirec_win", "-y", *args, keys="Return")
    return dict(before=before, refused=refused, never=never, after_refusals=after_refusals,
                overwrite=overwrite)


def test_existing_output_refused_without_y_naming_it_and_with_n(existing):
    refused, never = existing["refused"], existing["never"]
    assert (refused.status, "exists; pass -y to overwrite it" in refused.err) == (1, True), refused
    assert (never.status, "-n says never" in never.err) == (1, True), never


def test_existing_output_left_as_it_was_when_refused(existing):
    assert existing["after_refusals"] == existing["before"]


def test_existing_output_overwritten_with_y(existing, wine, facts):
    overwrite = existing["overwrite"]
    assert (overwrite.status, facts.probe_stream(wine.path("existing.avi"))) == (
        0, "width=16 height=16 r_frame_rate=15/1 nb_frames=2 TAG:title=BRELK "), overwrite
