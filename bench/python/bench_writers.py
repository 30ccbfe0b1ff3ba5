#!/usr/bin/python3
"""Python movie writers side by side: the same 1920x1080 frames from numpy,
Motion JPEG in an AVI, through avirec.VideoWriter, avirec's imageio format,
OpenCV's cv2.VideoWriter and imageio's ffmpeg plug-in (where imageio finds
an ffmpeg program: IMAGEIO_FFMPEG_EXE, /usr/bin/ffmpeg by default here).

Each writer runs in a process of its own, one after another; the table gives
frames per second (from the first frame to the closed file), the peak
resident memory of the Python process and of the program it starts (avirec,
ffmpeg; sampled every 50 ms), and the movie's size. The frames come from a pool of 10 (about
60 MB, in every Python process alike), so that the memory is the writer's.

    bench/python/bench_writers.py [--frames 300] [--size 1920x1080] [--avirec PATH]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time

WRITERS = ["avirec.VideoWriter", "avirec imageio format", "cv2.VideoWriter",
           "imageio ffmpeg plug-in"]


def frame_pool(width, height, count=10):
    """Gradients, bars moving across and a little grain: neither flat nor noise."""
    import numpy as np

    rng = np.random.default_rng(1)
    ys, xs = np.mgrid[0:height, 0:width]
    pool = []
    for i in range(count):
        frame = np.empty((height, width, 3), np.uint8)
        frame[..., 0] = (xs * 255 // width + 8 * i) % 256
        frame[..., 1] = ys * 255 // height
        frame[..., 2] = np.where((xs // 80 + i) % 4 == 0, 230, 40)
        frame += rng.integers(0, 8, frame.shape, dtype=np.uint8)
        pool.append(frame)
    return pool


class ChildMemory:
    """The peak resident memory of the programs this process starts, read
    from /proc while they run (a child's own figure from getrusage would
    count the memory it shared with this process before it started its
    program)."""

    def __init__(self):
        self.peaks = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop.wait(0.05):
            for task in os.listdir("/proc/self/task"):
                try:
                    with open("/proc/self/task/%s/children" % task) as listing:
                        children = listing.read().split()
                except OSError:
                    continue
                for pid in children:
                    try:
                        with open("/proc/%s/status" % pid) as status:
                            for line in status:
                                if line.startswith("VmHWM:"):
                                    self.peaks[pid] = int(line.split()[1]) / 1024
                    except OSError:
                        pass

    def peak_mb(self):
        self._stop.set()
        self._thread.join()
        return max(self.peaks.values(), default=0.0)


def run_one(writer, frames, width, height, path):
    """Records with one writer in this process; its figures as a dict."""
    pool = frame_pool(width, height)
    children = ChildMemory()
    frames_out = (pool[i % len(pool)] for i in range(frames))
    started = time.perf_counter()
    if writer == "avirec.VideoWriter":
        import avirec
        out = avirec.VideoWriter(path, avirec.VideoWriter_fourcc(*"MJPG"), 25, (width, height))
        for frame in frames_out:
            out.write(frame)
        out.release()
    elif writer == "cv2.VideoWriter":
        import cv2
        out = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 25, (width, height))
        if not out.isOpened():
            raise RuntimeError("OpenCV cannot write MJPG")
        for frame in frames_out:
            out.write(frame)
        out.release()
    elif writer == "avirec imageio format":
        import avirec  # noqa: F401  (registers the format)
        import imageio
        imageio.mimwrite(path, frames_out, format="AVIREC", fps=25, codec="mjpeg")
    else:
        import imageio
        imageio.mimwrite(path, frames_out, format="FFMPEG", fps=25, codec="mjpeg",
                         macro_block_size=1)
    seconds = time.perf_counter() - started
    return {"fps": frames / seconds,
            "python_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
            "child_mb": children.peak_mb(),
            "movie_mb": os.path.getsize(path) / 1e6}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--avirec", help="the avirec program (default: see avirec.find_avirec)")
    parser.add_argument("--one", help=argparse.SUPPRESS)  # a child: the writer to run
    parser.add_argument("--path", help=argparse.SUPPRESS)
    options = parser.parse_args()
    width, height = (int(v) for v in options.size.lower().split("x"))
    if options.one:
        print(json.dumps(run_one(options.one, options.frames, width, height, options.path)))
        return

    here = os.path.dirname(os.path.abspath(__file__))
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.path.join(here, "..", "..", "python")
    environment.setdefault("IMAGEIO_FFMPEG_EXE", "/usr/bin/ffmpeg")
    if options.avirec:
        environment["AVIREC"] = os.path.abspath(options.avirec)
    print("%d frames of %dx%d, Motion JPEG; peak memory is the largest resident size"
          % (options.frames, width, height))
    print("%-24s %8s %12s %12s %9s" % ("writer", "fps", "Python MB", "program MB", "movie MB"))
    with tempfile.TemporaryDirectory() as work:
        for writer in WRITERS:
            path = os.path.join(work, writer.replace(" ", "_") + ".avi")
            done = subprocess.run([sys.executable, __file__, "--one", writer, "--path", path,
                                   "--frames", str(options.frames), "--size", options.size],
                                  env=environment, capture_output=True, text=True)
            if done.returncode != 0:
                reason = (done.stderr.strip().splitlines() or ["failed"])[-1]
                print("%-24s not run: %s" % (writer, reason))
                continue
            figures = json.loads(done.stdout.strip().splitlines()[-1])
            print("%-24s %8.1f %12.0f %12.0f %9.1f" % (
                writer, figures["fps"], figures["python_mb"], figures["child_mb"],
                figures["movie_mb"]))
            os.remove(path)


if __name__ == "__main__":
    main()
