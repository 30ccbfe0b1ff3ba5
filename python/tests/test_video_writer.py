"""avirec.VideoWriter against OpenCV's own writer: every four-character code
it takes, a script in OpenCV's style run through both, and the mistakes that
OpenCV's writer lets pass."""

import os
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
import avirec  # noqa: E402
from avirec.video_writer import FOURCC_CODECS  # noqa: E402
from movies import decode  # noqa: E402

MODULE_FOLDER = os.path.dirname(os.path.dirname(os.path.abspath(avirec.__file__)))

# The decoder ffmpeg names for each compressor, and whether it is exact.
DECODED_AS = {"mjpeg": ("mjpeg", False), "mpeg4": ("mpeg4", False), "h264": ("h264", False),
              "ffv1": ("ffv1", True), "huffyuv": ("huffyuv", True), "png": ("png", True),
              "zmbv": ("zmbv", True), "utvideo": ("utvideo", True),
              "msvc": ("msvideo1", False), "cinepak": ("cinepak", False),
              "full": ("rawvideo", True)}


def smooth_bgr_frames(count, height, width):
    """Red across, blue down, green in time: a lossy codec keeps them close,
    and red and blue swapped are far apart."""
    ys, xs = np.mgrid[0:height, 0:width]
    frames = np.empty((count, height, width, 3), np.uint8)
    for i in range(count):
        frames[i, ..., 2] = 255 * xs // (width - 1)
        frames[i, ..., 0] = 255 - 255 * ys // (height - 1)
        frames[i, ..., 1] = 60 + 40 * i
    return frames


@pytest.mark.parametrize("code", sorted(FOURCC_CODECS) + [0, -1],
                         ids=lambda code: repr(code).replace(" ", "_"))
def test_every_code_records_with_its_compressor(tmp_path, monkeypatch, code):
    monkeypatch.delenv("VFW_COMPRESSOR", raising=False)
    fourcc = code if isinstance(code, int) else avirec.VideoWriter_fourcc(*code.lower())
    codec = {0: "full", -1: "full"}.get(code) or FOURCC_CODECS[code]  # -1: the dialog's default
    frames = smooth_bgr_frames(3, 24, 32)
    path = str(tmp_path / "code.avi")
    out = avirec.VideoWriter(path, fourcc, 30.0, (32, 24))
    assert out.isOpened()
    for frame in frames:
        out.write(frame)
    out.release()
    assert not out.isOpened()

    decoded, stream = decode(path)
    name, exact = DECODED_AS[codec]
    assert stream["codec_name"] == name
    assert stream["r_frame_rate"] == "30/1"
    assert len(decoded) == 3
    rgb = frames[..., ::-1]
    if exact:
        assert np.array_equal(decoded, rgb)
    else:
        error = np.abs(decoded.astype(int) - rgb).mean()
        assert error < 16, "mean error %.1f" % error


# A script as OpenCV's tutorials write it; only its import line changes.
OPENCV_SCRIPT = textwrap.dedent("""\
    import sys
    import numpy as np
    {import_line}

    fourcc = cv2.VideoWriter_fourcc(*sys.argv[1])
    out = cv2.VideoWriter('colour.avi', fourcc, 20.0, (34, 18))
    if not out.isOpened():
        print("Cannot open the movie")
        sys.exit(1)
    rng = np.random.default_rng(7)
    for i in range(6):
        frame = rng.integers(0, 256, (18, 34, 3), dtype=np.uint8)
        out.write(frame)
    out.release()

    grey = cv2.VideoWriter('grey.avi', cv2.VideoWriter.fourcc(*sys.argv[1]), 20.0, (34, 18),
                           False)
    for i in range(4):
        grey.write(rng.integers(0, 256, (18, 34), dtype=np.uint8))
    grey.release()
    """)


def read_with_opencv(path):
    cv2 = pytest.importorskip("cv2")
    capture = cv2.VideoCapture(path)
    frames = []
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        frames.append(frame)
    capture.release()
    return np.array(frames)


@pytest.mark.parametrize("code", ["FFV1", "MPNG"])
def test_opencv_code_runs_unchanged_and_gives_opencvs_pixels(tmp_path, code):
    pytest.importorskip("cv2")
    movies = {}
    for library, import_line in (("opencv", "import cv2"), ("avirec", "import avirec as cv2")):
        folder = tmp_path / library
        folder.mkdir()
        (folder / "script.py").write_text(OPENCV_SCRIPT.format(import_line=import_line))
        subprocess.run([sys.executable, "script.py", code], cwd=folder, check=True,
                       env=dict(os.environ, PYTHONPATH=MODULE_FOLDER))
        movies[library] = [read_with_opencv(str(folder / name))
                           for name in ("colour.avi", "grey.avi")]

    rng = np.random.default_rng(7)
    colour = rng.integers(0, 256, (6, 18, 34, 3), dtype=np.uint8)
    grey = np.stack([rng.integers(0, 256, (18, 34), dtype=np.uint8) for _ in range(4)])
    for library in movies:
        assert np.array_equal(movies[library][0], colour), library
        assert np.array_equal(movies[library][1], np.repeat(grey[..., None], 3, axis=3)), library
    ours, _ = decode(str(tmp_path / "avirec" / "colour.avi"))
    assert np.array_equal(ours, colour[..., ::-1]), "ffmpeg reads the same"


def write_after_good_frame(tmp_path, frame, size=(8, 6), is_color=True):
    path = str(tmp_path / "kept.avi")
    with avirec.VideoWriter(path, avirec.VideoWriter_fourcc(*"FFV1"), 10, size,
                            is_color) as out:
        out.write(np.zeros((size[1], size[0], 3) if is_color else size[::-1], np.uint8))
        try:
            out.write(frame)
        finally:
            out.release()
            assert len(decode(path)[0]) == 1, "the good frame was kept"


@pytest.mark.parametrize("case, error, words", [
    ("size as numpy's shape", ValueError, r"frameSize is \(width, height\)"),
    ("frame of another size", ValueError, "frame is 4x6 .* but the movie is 8x6"),
    ("grey frame to a colour movie", ValueError, "bgr24 frames must be H x W x 3"),
    ("colour frame to a grey movie", ValueError, "gray frames must be H x W"),
    ("floating-point frame", TypeError, r"uint8 .*astype\(np.uint8\)"),
    ("code without a compressor", ValueError, "no compressor writes the code 'I420'"),
    ("not an AVI name", ValueError, "name the file .avi"),
    ("folder that does not exist", FileNotFoundError, "does not exist"),
    ("the recorder gone", avirec.AvirecError, "H.264 needs an even width and height"),
])
def test_what_opencv_lets_pass_raises_with_the_reason(tmp_path, case, error, words):
    def open_writer(name="out.avi", code="FFV1", size=(8, 6)):
        return avirec.VideoWriter(str(tmp_path / name), avirec.VideoWriter_fourcc(*code), 10,
                                  size)

    with pytest.raises(error, match=words):
        if case == "size as numpy's shape":
            write_after_good_frame(tmp_path, np.zeros((8, 6, 3), np.uint8))
        elif case == "frame of another size":
            write_after_good_frame(tmp_path, np.zeros((6, 4, 3), np.uint8))
        elif case == "grey frame to a colour movie":
            write_after_good_frame(tmp_path, np.zeros((6, 8), np.uint8))
        elif case == "colour frame to a grey movie":
            write_after_good_frame(tmp_path, np.zeros((6, 8, 3), np.uint8), is_color=False)
        elif case == "floating-point frame":
            write_after_good_frame(tmp_path, np.zeros((6, 8, 3), np.float32))
        elif case == "code without a compressor":
            open_writer(code="I420")
        elif case == "not an AVI name":
            open_writer(name="out.mp4")
        elif case == "folder that does not exist":
            open_writer(name="none/out.avi")
        elif case == "the recorder gone":
            out = open_writer(code="H264", size=(7, 5))
            for _ in range(50):
                out.write(np.zeros((5, 7, 3), np.uint8))
            out.release()
    assert not os.path.exists(str(tmp_path / "out.mp4"))
