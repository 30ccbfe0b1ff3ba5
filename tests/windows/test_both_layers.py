"""The same calls on our layer and on Wine's: the frames of a recording made
through Wine's AVIFile are recorded again by the Linux avirec on our platform
layer, and the two files must agree where the format leaves no choice."""
import pytest

# Header fields that must agree between a file written by Wine's AVIFile and
# one written by our layer for the same calls. Any other difference is
# printed as a note.
MUST_AGREE = {
    "strh.fccType", "strh.dwScale", "strh.dwRate", "strh.dwStart", "strh.dwLength",
    "strh.rcFrame", "strh.dwSuggestedBufferSize", "strh.dwSampleSize", "strf.bytes",
    "strf.biSize", "strf.biWidth", "strf.biHeight", "strf.biPlanes", "strf.biBitCount",
    "strf.biCompression", "strf.biSizeImage", "strn", "avih.dwStreams", "avih.dwWidth",
    "avih.dwHeight", "avih.dwTotalFrames", "movi.frameChunks", "idx1.entries",
    "riff.sizesAgree"}

NAME70 = "N" * 70


@pytest.fixture(scope="module", params=[("full_odd", "31x17", 12, "24", "Wine odd"),
                                        ("full_even", "64x48", 8, "14.5", NAME70)],
                ids=lambda p: p[0])
def both(request, wine, linux, facts):
    name, size, frames, fps, stream = request.param
    recorded, wine_read = wine.record_full(name, size, frames, fps, stream)
    assert recorded.status == 0, recorded
    ours = f"linux_{name}"
    gbrp = facts.convert_raw(wine.path(f"{name}.rgb").read_bytes(), size, "rgb24", "gbrp")
    wine.path(f"{ours}.gbrp").write_bytes(gbrp)
    status, output = linux.record("-y", "--size", size, "--frames", str(frames), "--fps", fps,
                                  "--name", stream, "--codec", "full", "--raw-gbrp",
                                  str(wine.path(f"{ours}.gbrp")), str(wine.path(f"{ours}.avi")))
    assert status == 0, output
    return dict(frames=frames, wine_file=wine.path(f"{name}.avi"),
                our_file=wine.path(f"{ours}.avi"), wine_read=wine_read,
                our_read=wine.run(f"{ours}.read", "avi_read", f"{ours}.avi"))


def test_headers_of_wines_and_our_layers_files_agree(both, linux):
    theirs, mine = linux.headers(both["wine_file"]), linux.headers(both["our_file"])
    differing = {key: (theirs.get(key, "(none)"), mine.get(key, "(none)"))
                 for key in theirs.keys() | mine.keys() if theirs.get(key) != mine.get(key)}
    for key, (w, o) in sorted(differing.items()):
        if key not in MUST_AGREE:
            print(f"note: {key}: Wine '{w}', ours '{o}'")
    assert {key: value for key, value in differing.items() if key in MUST_AGREE} == {}


def frame_lines(run):
    return [line for line in run.lines if line.startswith("frame ")]


def test_wine_reads_the_same_samples_bytes_from_both_files(both):
    """The same size, key flag and checksum for every sample."""
    ours = frame_lines(both["our_read"])
    assert len([line for line in ours if "fnv1a=" in line]) == both["frames"], both["our_read"]
    assert ours == frame_lines(both["wine_read"])
