"""What the Python tests share: decoding a movie with ffmpeg, random frames."""

import json
import subprocess

import numpy as np


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                          "-show_streams", "-of", "json", path],
                         check=True, capture_output=True).stdout
    return json.loads(out)["streams"][0]


def decode(path):
    stream = probe(path)
    width, height = stream["width"], stream["height"]
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt",
                          "rgb24", "-vsync", "passthrough", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, height, width, 3), stream


def random_frames(count, height, width, channels=3, seed=1):
    shape = (count, height, width, channels) if channels else (count, height, width)
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)
