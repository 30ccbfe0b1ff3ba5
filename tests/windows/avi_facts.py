"""Facts about AVI files for the Windows checks, worked out on Linux with
ffmpeg: the decoded frames, what ffprobe sees, and the checksums a reader of
a Full Frames file gets for each sample."""
import subprocess


def fnv1a32(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def decode_rgb24(path):
    """The frames of a movie as ffmpeg decodes them, raw rgb24."""
    return subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
        check=True, stdout=subprocess.PIPE).stdout


def dib_checksums(path, width, height):
    """For every frame ffmpeg decodes, "frame I: fnv1a=XXXXXXXX": the FNV-1a
    checksum of the frame as a 24-bit bottom-up DIB (blue, green, red; rows
    padded with zeros to whole 32-bit words)."""
    decoded = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(path), "-vf", "vflip", "-f", "rawvideo",
         "-pix_fmt", "bgr24", "-"], check=True, stdout=subprocess.PIPE).stdout
    row = width * 3
    stride = (width * 24 + 31) // 32 * 4
    frame_bytes = row * height
    if frame_bytes == 0 or len(decoded) % frame_bytes != 0:
        raise ValueError(f"decoded {len(decoded)} bytes, not whole {width}x{height} frames")
    padding = bytes(stride - row)
    lines = []
    for i in range(len(decoded) // frame_bytes):
        frame = decoded[i * frame_bytes:(i + 1) * frame_bytes]
        dib = b"".join(frame[y * row:(y + 1) * row] + padding for y in range(height))
        lines.append(f"frame {i}: fnv1a={fnv1a32(dib):08x}")
    return lines


def probe_stream(path):
    """ffprobe's view of the video stream: "width=W height=H r_frame_rate=R
    nb_frames=N TAG:title=T " (each field and a space)."""
    text = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0",
         "-show_entries", "stream=width,height,r_frame_rate,nb_frames",
         "-show_entries", "stream_tags=title", "-of", "default=noprint_wrappers=1", str(path)],
        stdout=subprocess.PIPE, text=True).stdout
    return "".join(line + " " for line in text.splitlines())


def raw_frames(pix_fmt, size, frames, rate=5):
    """Frames of ffmpeg's testsrc2 picture, raw in the given layout."""
    return subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
         "-frames:v", str(frames), "-pix_fmt", pix_fmt, "-f", "rawvideo", "-"],
        check=True, stdout=subprocess.PIPE).stdout


def convert_raw(data, size, from_fmt, to_fmt):
    """Raw frames converted from one pixel layout to another."""
    return subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "rawvideo", "-pix_fmt", from_fmt, "-s", size, "-i", "-",
         "-f", "rawvideo", "-pix_fmt", to_fmt, "-"],
        input=data, check=True, stdout=subprocess.PIPE).stdout


def largest_difference(a, b):
    """The largest difference between two pictures' samples, and the first
    byte where it exceeds 1 (None when none does)."""
    worst = 0
    first = None
    for i, (x, y) in enumerate(zip(a, b)):
        d = abs(x - y)
        if d > worst:
            worst = d
        if d > 1 and first is None:
            first = i
    return worst, first
