"""Wine's AVIFile reading files that our layer wrote on Linux: Full Frames
files of several sizes, a file of several OpenDML segments, recordings killed
and then repaired, and our Cinepak and Video 1 encoders' files through Wine's
decoders."""
import subprocess

import pytest

from conftest import size_of


# ---- Full Frames files ------------------------------------------------------------------

@pytest.fixture(scope="module", params=[("ours_odd", "33x7", 10), ("ours_even", "64x48", 6),
                                        ("ours_vga", "320x240", 5)], ids=lambda p: p[0])
def ours(request, wine, linux):
    name, size, frames = request.param
    status, output = linux.record("-y", "--size", size, "--frames", str(frames), "--fps", "25",
                                  "--name", f"ours {name}", "--codec", "full",
                                  str(wine.path(f"{name}.avi")))
    assert status == 0, output
    return name, size, frames, wine.run(f"{name}.read", "avi_read", f"{name}.avi")


def test_wine_reads_the_header_of_our_file(ours):
    name, size, frames, read = ours
    width, height = size_of(size)
    assert (read.status, read.field("stream.rate"), read.field("stream.scale"),
            read.field("stream.length"), read.field("stream.rcFrame"), read.field("stream.name"),
            read.field("format.biWidth"), read.field("format.biHeight"),
            read.field("format.biBitCount")) == (
        0, "25", "1", str(frames), f"0,0,{width},{height}", f"ours {name}", str(width),
        str(height), "24"), read


def test_wine_reads_every_sample_of_our_file(ours, wine, facts):
    name, size, frames, read = ours
    expected = facts.dib_checksums(wine.path(f"{name}.avi"), *size_of(size))
    assert len(expected) == frames and read.frame_checksums() == expected


# ---- Several RIFF segments ----------------------------------------------------------------

SEGMENTED_FRAMES = 70


@pytest.fixture(scope="module")
def segmented(wine, linux, facts):
    """About 20 frames of 64x48 to a segment: four RIFF segments. Wine's
    AVIFile reads the first segment's index (idx1) only and skips the OpenDML
    indexes, so it reads the frames of the first segment and no more."""
    name = "ours_segments"
    path = wine.path(f"{name}.avi")
    status, output = linux.record("-y", "--size", "64x48", "--frames", str(SEGMENTED_FRAMES),
                                  "--fps", "25", "--name", f"ours {name}", "--codec", "full",
                                  str(path), env={"AVIFILE_RIFF_LIMIT": "200000"})
    assert status == 0, output
    read = wine.run(f"{name}.read", "avi_read", f"{name}.avi")
    print(f"note: Wine's AVIFile sees {read.field('frames read')} of {SEGMENTED_FRAMES} frames; "
          f"{read.field('frames not indexed')} lie in the OpenDML segments it does not index")
    return dict(headers=linux.headers(path), checksums=facts.dib_checksums(path, 64, 48),
                read=read, name=name)


def test_segmented_file_has_several_segments(segmented):
    assert segmented["headers"]["riff.segments"].split()[:2] == ["AVI", "AVIX"]


def test_segmented_file_decodes_whole_with_ffmpeg(segmented):
    assert len(segmented["checksums"]) == SEGMENTED_FRAMES


def test_wine_reads_the_segmented_files_header(segmented):
    read = segmented["read"]
    assert (read.field("stream.rate"), read.field("stream.scale"), read.field("stream.length"),
            read.field("stream.rcFrame"), read.field("stream.name")) == (
        "25", "1", str(SEGMENTED_FRAMES), "0,0,64,48", f"ours {segmented['name']}"), read


def test_first_segment_holds_some_but_not_all_frames(segmented):
    assert 0 < int(segmented["headers"]["idx1.entries"]) < SEGMENTED_FRAMES


def test_wine_reads_the_first_segments_frames(segmented):
    first = int(segmented["headers"]["idx1.entries"])
    assert first > 0
    assert segmented["read"].frame_checksums() == segmented["checksums"][:first]


# ---- Killed, then repaired ------------------------------------------------------------------

@pytest.fixture(scope="module")
def killed_one(wine, linux, facts):
    """30 frames in one segment; killed while it waits for more."""
    status, output = linux.killed_and_repaired("killed_one", "64x48", 30, 1 << 30)
    assert status == 0, output
    path = wine.path("killed_one.avi")
    return facts.dib_checksums(path, 64, 48), wine.run("killed_one.read", "avi_read",
                                                       "killed_one.avi")


def test_repaired_file_has_every_frame_for_ffmpeg_and_wine(killed_one):
    checksums, read = killed_one
    assert (len(checksums), read.status, read.field("stream.length")) == (30, 0, "30"), read


def test_wine_reads_every_sample_of_the_repaired_file(killed_one):
    checksums, read = killed_one
    assert checksums and read.frame_checksums() == checksums


@pytest.fixture(scope="module")
def killed_segments(wine, linux, facts):
    """About 20 frames of 64x48 to a segment: the kill falls in the fourth."""
    status, output = linux.killed_and_repaired("killed_segments", "64x48", 70, 200000)
    assert status == 0, output
    path = wine.path("killed_segments.avi")
    # avi_read ends with a failure at the first frame past the first
    # segment's index, which Wine does not read.
    return dict(headers=linux.headers(path), checksums=facts.dib_checksums(path, 64, 48),
                read=wine.run("killed_segments.read", "avi_read", "killed_segments.avi"))


def test_repaired_file_has_three_segments_or_more_and_every_size_fits(killed_segments):
    headers = killed_segments["headers"]
    assert len(headers["riff.segments"].split()) >= 3, headers["riff.segments"]
    assert headers["riff.sizesAgree"] == "1"


def test_repaired_segmented_file_has_every_frame_in_the_header(killed_segments):
    assert (len(killed_segments["checksums"]),
            killed_segments["read"].field("stream.length")) == (70, "70")


def test_wine_reads_the_repaired_files_first_segment(killed_segments):
    first = int(killed_segments["headers"]["idx1.entries"])
    assert first > 0
    assert killed_segments["read"].frame_checksums() == killed_segments["checksums"][:first]


# ---- Wine's Cinepak and Video 1 decoders --------------------------------------------------------

@pytest.fixture(scope="module", params=[(codec, size) for codec in ("cvid", "msvc")
                                        for size in ("64x48", "320x240")],
                ids=lambda p: f"{p[0]}_{p[1]}")
def own_encoder(request, wine, linux, facts):
    codec, size = request.param
    name = f"own_{codec}_{size}"
    path = wine.path(f"{name}.avi")
    # Key frames every fifth: key and inter frames both.
    status, output = linux.record("-y", "-q", "--size", size, "--frames", "12", "--fps", "15",
                                  "--codec", f"{codec},keyframes=5", str(path))
    assert status == 0, output
    read = wine.run(f"{name}.read", "avi_read", "--pictures", f"{name}.wine.rgb", f"{name}.avi")
    return dict(read=read, ffmpeg=facts.decode_rgb24(path),
                wine=wine.path(f"{name}.wine.rgb").read_bytes() if read.status == 0 else b"")


def test_wine_decodes_every_key_and_inter_frame(own_encoder):
    read = own_encoder["read"]
    keys = sum(" key=1 " in line for line in read.lines)
    inter = sum(" key=0 " in line for line in read.lines)
    assert (read.status, read.field("frames decoded"), keys > 0, inter > 0) == (
        0, "12 of 12", True, True), read


def test_wines_pictures_are_ffmpegs_within_1_per_sample(own_encoder, facts):
    wine_rgb, ffmpeg_rgb = own_encoder["wine"], own_encoder["ffmpeg"]
    assert wine_rgb and len(wine_rgb) == len(ffmpeg_rgb), (len(wine_rgb), len(ffmpeg_rgb))
    worst, first = facts.largest_difference(wine_rgb, ffmpeg_rgb)
    assert worst <= 1, f"samples differ by up to {worst}, first at byte {first}"


# ---- Other writers' files, cut off and repaired -------------------------------------------

OTHER_WRITERS = {
    "ffmpeg_mjpeg": "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 40 "
                    "-c:v mjpeg {out}",
    "ffmpeg_rawvideo": "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 40 "
                       "-c:v rawvideo -pix_fmt bgr24 {out}",
    "gstreamer_avimux": "gst-launch-1.0 -q videotestsrc num-buffers=40 ! "
                        "video/x-raw,width=64,height=48 ! jpegenc ! avimux ! filesink location={out}",
}


def video_packet_sizes(path):
    """The sizes of the video samples as ffprobe finds them, in file order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=size", "-of", "csv=p=0", str(path)],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    return [int(line) for line in out.split()]


@pytest.mark.parametrize("writer", sorted(OTHER_WRITERS))
def test_wine_reads_every_frame_of_another_writers_repaired_file(wine, linux, writer):
    """A file cut two thirds of the way has no index, which Wine's AVIFile
    needs; after avirec --repair it reads every whole frame, each at the
    size the writer gave it."""
    complete = wine.path(f"{writer}.complete.avi")
    subprocess.run(OTHER_WRITERS[writer].format(out=complete), shell=True, check=True)
    sizes = video_packet_sizes(complete)
    data = complete.read_bytes()
    cut = wine.path(f"{writer}.avi")
    cut.write_bytes(data[:len(data) * 2 // 3])
    status, output = linux.record("--repair", str(cut))
    assert status == 0, output
    whole = video_packet_sizes(cut)
    assert 10 < len(whole) < len(sizes) and whole == sizes[:len(whole)]
    read = wine.run(f"{writer}.read", "avi_read", cut.name)
    assert (read.status, read.field("stream.length")) == (0, str(len(whole))), read
    read_sizes = [int(line.split("bytes=")[1].split()[0]) for line in read.lines
                  if line.startswith("frame ")]
    assert read_sizes == whole
