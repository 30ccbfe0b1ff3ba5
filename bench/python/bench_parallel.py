#!/usr/bin/python3
"""A matplotlib animation saved three ways, one after another in one run:
matplotlib's own FFMpegWriter, the avirec movie writer (one process, as
Animation.save draws and writes), and avirec.save_parallel with 1, 2 and 4
workers; the same codec (FFV1 by default) for all. Each frame has a few
hundred lines and a text that change, at 1280x720.

The table gives the seconds from the first frame to the closed file, frames
per second, the speed against the sequential avirec writer, and the
processor seconds spent (this process and every program it started: the
workers, avirec, ffmpeg), which other work on the machine does not change
much; the last
line says whether the parallel movies decode to the sequential movie's
frames (ffmpeg's framemd5 of each). On a machine shared with other work the
figures vary between runs: run it again on an idle one.

    bench/python/bench_parallel.py [--frames 300] [--size 1280x720] [--lines 300]
                                   [--workers 1,2,4] [--codec ffv1] [--avirec PATH]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import animation  # noqa: E402

import avirec  # noqa: E402


class Scene:
    """The figure and how frame i is drawn on it (a function of i alone)."""

    def __init__(self, width, height, lines):
        self.width, self.height, self.lines = width, height, lines
        self.xs = np.linspace(0, 4 * np.pi, 120)
        self.offsets = np.random.default_rng(1).uniform(0, 2 * np.pi, lines)

    def make_figure(self):
        fig, ax = plt.subplots(figsize=(self.width / 100, self.height / 100), dpi=100)
        ax.set_xlim(self.xs[0], self.xs[-1])
        ax.set_ylim(-1.6, 1.6)
        for _ in range(self.lines):
            ax.plot([], [], linewidth=0.6, alpha=0.7)
        ax.text(0.02, 0.95, "", transform=ax.transAxes, fontsize=14)
        return fig

    def update(self, fig, i):
        ax = fig.axes[0]
        phase = i / 15
        for k, line in enumerate(ax.lines):
            line.set_data(self.xs, np.sin(self.xs * (1 + k / self.lines) + self.offsets[k]
                                          + phase) * (0.5 + 0.5 * np.cos(phase + k)))
        ax.texts[0].set_text("frame %d   t = %.2f s   mean = %+.4f"
                             % (i, i / 25, np.cos(phase) * np.sin(2 * phase)))


def save_sequentially(scene, frames, path, writer, codec):
    fig = scene.make_figure()
    movie = animation.FuncAnimation(fig, lambda i: scene.update(fig, i), frames=frames)
    if writer == "ffmpeg":
        movie.save(path, writer=animation.FFMpegWriter(fps=25, codec=codec))
    else:
        movie.save(path, writer="avirec", fps=25, codec=codec)
    plt.close(fig)


def cpu_seconds():
    """Processor time of this process and of its children that have ended."""
    times = os.times()
    return times.user + times.system + times.children_user + times.children_system


def frame_digests(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-pix_fmt", "rgb24",
                          "-f", "framemd5", "-"], check=True, capture_output=True, text=True)
    return [line.rsplit(",", 1)[-1].strip() for line in out.stdout.splitlines()
            if line and not line.startswith("#")]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--size", default="1280x720")
    parser.add_argument("--lines", type=int, default=300)
    parser.add_argument("--workers", default="1,2,4")
    parser.add_argument("--codec", default="ffv1")
    parser.add_argument("--avirec", help="the avirec program (default: see avirec.find_avirec)")
    options = parser.parse_args()
    if options.avirec:
        os.environ["AVIREC"] = os.path.abspath(options.avirec)
    width, height = (int(v) for v in options.size.lower().split("x"))
    scene = Scene(width, height, options.lines)
    print("%d frames of %dx%d, %d lines and a text each, codec %s, %d processors"
          % (options.frames, width, height, options.lines, options.codec,
             len(os.sched_getaffinity(0))))
    print("%-34s %9s %8s %9s %9s" % ("writer", "seconds", "fps", "speed-up", "CPU s"))
    with tempfile.TemporaryDirectory(dir=".") as work:
        runs = [("matplotlib FFMpegWriter", "ffmpeg", None),
                ("avirec writer, sequential", "avirec", None)]
        runs += [("avirec.save_parallel, %s worker%s" % (n, "" if n == "1" else "s"),
                  "parallel", int(n)) for n in options.workers.split(",")]
        sequential = None
        paths = {}
        for label, how, workers in runs:
            path = os.path.join(work, "%s-%s.avi" % (how, workers))
            started, spent = time.perf_counter(), cpu_seconds()
            if how == "parallel":
                avirec.save_parallel(scene.make_figure, scene.update, options.frames, path,
                                     fps=25, codec=options.codec, workers=workers)
            else:
                save_sequentially(scene, options.frames, path, how, options.codec)
            seconds, spent = time.perf_counter() - started, cpu_seconds() - spent
            if how == "avirec":
                sequential = seconds
            paths[label] = path
            print("%-34s %9.1f %8.1f %9s %9.1f" % (
                label, seconds, options.frames / seconds,
                "%.2fx" % (sequential / seconds) if sequential else "", spent), flush=True)
        reference = frame_digests(paths["avirec writer, sequential"])
        same = all(frame_digests(path) == reference for label, path in paths.items()
                   if label.startswith("avirec.save_parallel"))
        print("parallel movies decode to the sequential movie's frames: %s"
              % ("yes" if same and len(reference) == options.frames else "NO"))


if __name__ == "__main__":
    main()
