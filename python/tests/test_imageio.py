"""The imageio format AVIREC, through Debian's imageio (the plug-in
interface of imageio 2): frames come back exactly, at sizes imageio's ffmpeg
plug-in would resize."""

import pytest

np = pytest.importorskip("numpy")
imageio = pytest.importorskip("imageio")
import avirec  # noqa: E402,F401  (registers the format)
from movies import decode, random_frames  # noqa: E402


def test_mimwrite_and_get_writer_keep_frames_as_given(tmp_path):
    # T x H x W x 3, at a size that is no multiple of 16.
    frames = random_frames(4, 17, 33, seed=8)
    path = str(tmp_path / "array.avi")
    imageio.mimwrite(path, frames, format="AVIREC", fps=25, codec="ffv1")
    decoded, stream = decode(path)
    assert np.array_equal(decoded, frames)
    assert (stream["codec_name"], stream["r_frame_rate"]) == ("ffv1", "25/1")

    # A list of grey frames, one of them H x W x 1.
    grey = list(random_frames(3, 10, 6, channels=0, seed=9))
    grey[1] = grey[1][..., None]
    path = str(tmp_path / "grey.avi")
    imageio.mimwrite(path, grey, format="avirec", codec="png")
    decoded, stream = decode(path)
    assert np.array_equal(decoded[..., 0], np.array([g.reshape(10, 6) for g in grey]))
    assert (stream["codec_name"], stream["r_frame_rate"]) == ("png", "10/1")

    # get_writer with append_data and progress; imageio's quality scale (0 to
    # 10) reaches the codec.
    ys, xs = np.mgrid[0:32, 0:48]
    smooth = np.stack([np.stack([xs * 5, ys * 7 + i, 255 - xs * 5], axis=-1)
                       for i in range(4)]).astype(np.uint8)
    errors = {}
    for quality in (0, 10):
        reports = []
        path = str(tmp_path / ("quality%d.avi" % quality))
        with imageio.get_writer(path, format="AVIREC", fps=5, codec="mjpeg", quality=quality,
                                name="take", progress=reports.append) as movie:
            for frame in smooth:
                movie.append_data(frame)
        decoded, stream = decode(path)
        assert stream["codec_name"] == "mjpeg" and stream["tags"]["title"] == "take"
        assert len(decoded) == 4 and reports[-1].done and reports[-1].frames == 4
        errors[quality] = np.abs(decoded.astype(int) - smooth).mean()
    assert errors[10] < 3 and errors[0] > 1.5 * errors[10], errors

@pytest.mark.parametrize("frame, error, words", [
    (np.zeros((6, 8, 3), np.float64), TypeError, r"\(frame \* 255\)"),
    (np.zeros((6, 8, 3), np.uint16), TypeError, r"frame >> 8"),
    (np.zeros((6, 8, 4), np.uint8), ValueError, r"frame\[:, :, :3\]"),
    (np.zeros((6, 8, 2), np.uint8), ValueError, "H x W x 3"),
], ids=["float", "16 bits", "RGBA", "two channels"])
def test_other_frames_raise_with_the_conversion(tmp_path, frame, error, words):
    path = str(tmp_path / "bad.avi")
    with imageio.get_writer(path, format="AVIREC", codec="ffv1") as movie:
        movie.append_data(np.zeros((6, 8, 3), np.uint8))
        with pytest.raises(error, match=words):
            movie.append_data(frame)
    assert len(decode(path)[0]) == 1
