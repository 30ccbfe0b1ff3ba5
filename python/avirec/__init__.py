"""Record numpy frames as AVI movies through the ``avirec`` program.

    import numpy as np
    import avirec

    with avirec.Writer("out.avi", size=(320, 240), fps=25, codec="ffv1") as movie:
        for i in range(100):
            frame = np.zeros((240, 320, 3), np.uint8)   # height x width x RGB
            frame[:, i] = 255
            movie.write(frame)

Frames are ``H x W x 3`` (red, green, blue) or ``H x W`` (grey) arrays of
``uint8``; ``pixel_format`` takes BGR and four-byte layouts as they are. The
module is pure Python: it starts ``avirec`` and pipes the frames into it.
Importing it also offers the same recorder where Python code already writes
movies, each where its library is installed:

- ``avirec.VideoWriter``, OpenCV's writer interface (BGR frames, four-character
  codes), which raises where a wrong frame or codec would go unnoticed;
- the imageio format ``"AVIREC"``:
  ``imageio.mimwrite("out.avi", frames, format="AVIREC", fps=25, codec="ffv1")``;
- the matplotlib movie writer ``"avirec"``:
  ``animation.save("out.avi", writer="avirec", fps=25, codec="ffv1")``.

``record_parallel`` and ``save_parallel`` draw the frames of one movie in
several processes, or on a Dask cluster, and join the pieces (see parallel.py).
"""

import collections
import contextlib
import importlib.util
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

__all__ = ["Writer", "AvirecError", "Progress", "find_avirec", "PIXEL_FORMATS",
           "VideoWriter", "VideoWriter_fourcc", "record_parallel", "save_parallel"]


class AvirecError(RuntimeError):
    """The recording failed; the message is avirec's own."""


# avirec's raw layouts that frames can come in: the bytes of one pixel.
PIXEL_FORMATS = {"rgb24": 3, "bgr24": 3, "rgba": 4, "bgra": 4, "gray": 1}

# One of avirec's --progress reports: the frames recorded, the recording's
# speed in frames per second, the movie's size in bytes, and whether it is
# the last report (the movie closed).
Progress = collections.namedtuple("Progress", "frames fps bytes done")


def _program_candidates():
    """Where avirec may be, in the order looked at (see find_avirec)."""
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.environ.get("AVIREC"), shutil.which("avirec")]
    # Installed beside the module: PREFIX/lib/python3/dist-packages/avirec
    # (Debian's layout, as CMake installs it) or a virtual environment's bin.
    candidates += [os.path.join(here, "..", "..", "..", "..", "bin", "avirec"),
                   os.path.join(sys.prefix, "bin", "avirec")]
    # Built in the checkout the module is in, or that pip installed it from.
    checkouts = [os.path.join(here, "..", "..")]
    try:
        from ._checkout import CHECKOUT
        checkouts.append(CHECKOUT)
    except ImportError:
        pass
    for checkout in checkouts:
        candidates += [os.path.join(checkout, "build", "bin", "avirec"),
                       os.path.join(checkout, "bin", "avirec")]
    return candidates


def find_avirec(path=None):
    """The avirec program to run, as an absolute path: `path` if given (an
    AvirecError when it is not a program), else the AVIREC environment
    variable, else ``avirec`` on PATH, else the one installed with this
    module, else the one built in the checkout the module comes from. None
    when there is none."""
    if path:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
        raise AvirecError("avirec program not found at %s" % path)
    for candidate in _program_candidates():
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    return None


def require_avirec(path=None):
    """find_avirec's program; AvirecError when there is none."""
    program = find_avirec(path)
    if program is None:
        raise AvirecError("the avirec program was not found: put it on PATH, set AVIREC, "
                          "or pass avirec=PATH")
    return program


class Writer:
    """A movie being recorded; use it in a ``with`` block, or call close().

    path          the movie file
    size          (width, height) of the frames; None takes the first frame's
    fps           frames per second (stored rounded to whole frames)
    codec         avirec's --codec choice, e.g. "full", "ffv1", "mjpeg,quality=9000";
                  None for the compression dialog's stand-in: the VFW_COMPRESSOR
                  environment variable, else Full Frames (uncompressed)
    name          the stream's name, or None for the host's preference
    overwrite     replace an existing file (True) or raise (False)
    avirec        the program to run (see find_avirec)
    pixel_format  None: H x W x 3 RGB or H x W grey frames, as the first one is;
                  or one of avirec's raw layouts, which every frame must have:
                  "rgb24", "bgr24" (H x W x 3), "rgba", "bgra" (H x W x 4, the
                  alpha dropped) or "gray" (H x W)
    progress      None, or a callable given a Progress after frames are
                  recorded (at most about twice a second) and when the movie
                  is closed; it is called from write() and close()

    A recording that fails raises AvirecError with avirec's reason at the next
    write() or at close(). An exception in the ``with`` block, KeyboardInterrupt
    included, closes the movie with every frame written so far and is raised.
    """

    def __init__(self, path, size=None, fps=25, codec=None, name=None, overwrite=True,
                 avirec=None, pixel_format=None, progress=None):
        self.path = os.fspath(path)
        if size is not None:
            if len(size) != 2 or not all(int(v) == v and v > 0 for v in size):
                raise ValueError("size must be (width, height) in whole pixels, got %r" % (size,))
            size = (int(size[0]), int(size[1]))
        if pixel_format is not None and pixel_format not in PIXEL_FORMATS:
            raise ValueError("pixel_format must be None or one of %s, got %r"
                             % (", ".join(PIXEL_FORMATS), pixel_format))
        if progress is not None and not callable(progress):
            raise TypeError("progress must be a callable, got %r" % (progress,))
        self.size = size
        self.fps = fps
        self.codec = codec
        self.name = name
        self.overwrite = overwrite
        self.pixel_format = pixel_format
        self.progress = progress
        self.program = require_avirec(avirec)
        self.frames = 0
        self._layout = pixel_format  # the raw layout sent, once the first frame is known
        self._process = None
        self._log = None
        self._reports = None
        self._reader = None
        self._closed = False

    # -- frames ---------------------------------------------------------------

    def write(self, frame):
        """Appends one frame (see pixel_format). Raises AvirecError when the
        recording has failed."""
        if self._closed:
            raise ValueError("the movie %s is closed" % self.path)
        frame, layout = self._checked(frame)
        if self._process is None:
            self._start(layout)
        elif self._process.poll() is not None:
            self._stopped("avirec stopped taking frames")
        self._deliver_progress()
        if layout == "gray" and self._layout != "gray":
            import numpy as np
            frame = np.repeat(frame[:, :, None], 3, axis=2)
        with _interrupts_deferred():
            self._send(frame)
            self.frames += 1

    def close(self):
        """Finishes the movie; raises AvirecError when the recording failed."""
        if self._closed:
            return
        self._closed = True
        if self._process is None:
            raise AvirecError("no frames were written to %s" % self.path)
        status = self._finish()
        self._deliver_progress()
        if status != 0:
            raise AvirecError(self._failure("avirec failed (exit status %d)" % status))

    @property
    def started(self):
        """Whether avirec has been started, at the first frame."""
        return self._process is not None

    @property
    def recording(self):
        """Whether frames can be written: not closed, and avirec not gone."""
        return not self._closed and (self._process is None or self._process.poll() is None)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.close()
        else:
            # The frames written so far are kept; the caller's error is the one raised.
            self._abandon()
        return False

    def __del__(self):
        try:
            self._abandon()
        except Exception:  # noqa: BLE001  (nothing to tell at collection)
            pass

    def _checked(self, frame):
        """The frame as an array and its raw layout; TypeError or ValueError
        with the reason and the conversion when it cannot be recorded."""
        import numpy as np

        frame = np.asarray(frame)
        if frame.dtype != np.uint8:
            raise TypeError("frames must be uint8 arrays, got %s (convert with e.g. "
                            "(frame * 255).clip(0, 255).astype(np.uint8))" % frame.dtype)
        if self.pixel_format is None:
            if frame.ndim == 3 and frame.shape[2] == 3:
                layout = "rgb24"
            elif frame.ndim == 2:
                layout = "gray"
            else:
                raise ValueError("frames must be H x W x 3 (RGB) or H x W (grey), got shape %s"
                                 % (frame.shape,))
        else:
            layout = self.pixel_format
            channels = PIXEL_FORMATS[layout]
            if channels == 1 and frame.ndim == 3 and frame.shape[2] == 1:
                frame = frame[:, :, 0]
            if not ((channels == 1 and frame.ndim == 2) or
                    (channels > 1 and frame.ndim == 3 and frame.shape[2] == channels)):
                wanted = "H x W" if channels == 1 else "H x W x %d" % channels
                raise ValueError("%s frames must be %s, got shape %s"
                                 % (layout, wanted, frame.shape))
        height, width = frame.shape[:2]
        if self.size is None:
            self.size = (width, height)
        if (width, height) != self.size:
            raise ValueError("frame is %dx%d (shape %s), but the movie is %dx%d"
                             % (width, height, frame.shape, self.size[0], self.size[1]))
        if self._layout == "gray" and layout != "gray":
            raise ValueError("this movie was started with grey frames; a colour frame cannot "
                             "follow (write colour frames from the first one)")
        return frame, layout

    def _send(self, frame):
        import numpy as np

        data = memoryview(np.ascontiguousarray(frame)).cast("B")
        done = 0
        try:
            while done < len(data):
                done += os.write(self._process.stdin.fileno(), data[done:])
        except OSError:
            self._stopped("avirec stopped taking frames")

    # -- the process ------------------------------------------------------------

    def _command(self, progress_fd):
        command = [self.program, "-y" if self.overwrite else "-n", "--raw", self._layout,
                   "--size", "%dx%d" % self.size, "--fps", str(self.fps)]
        if self.codec is not None:
            command += ["--codec", str(self.codec)]
        if self.name is not None:
            command += ["--name", str(self.name)]
        if progress_fd is not None:
            command += ["--progress", "fd:%d" % progress_fd]
        return command + ["--", self.path, "-"]

    def _start(self, layout):
        if self._layout is None:
            self._layout = layout
        self._log = tempfile.TemporaryFile()
        progress_read = progress_write = None
        if self.progress is not None:
            progress_read, progress_write = os.pipe()
        # avirec runs in a session of its own: a Ctrl-C on the terminal
        # reaches only this program, whose KeyboardInterrupt closes the movie
        # after every frame written so far.
        try:
            self._process = subprocess.Popen(
                self._command(progress_write), stdin=subprocess.PIPE, bufsize=0,
                stdout=subprocess.DEVNULL, stderr=self._log, start_new_session=True,
                pass_fds=() if progress_write is None else (progress_write,))
        except BaseException:
            if progress_read is not None:
                os.close(progress_read)
            raise
        finally:
            if progress_write is not None:
                os.close(progress_write)
        if progress_read is not None:
            self._reports = queue.SimpleQueue()
            self._reader = threading.Thread(target=_read_progress,
                                            args=(progress_read, self._reports), daemon=True)
            self._reader.start()

    def _deliver_progress(self):
        while self._reports is not None and not self._reports.empty():
            self.progress(self._reports.get())

    def _finish(self):
        try:
            self._process.stdin.close()
        except OSError:
            pass
        status = self._process.wait()
        if self._reader is not None:
            self._reader.join()
        return status

    def _abandon(self):
        """Closes the movie, if open, without raising for avirec's status."""
        if not self._closed:
            self._closed = True
            if self._process is not None:
                self._finish()

    def _stopped(self, headline):
        self._closed = True
        status = self._finish()
        raise AvirecError(self._failure("%s (exit status %d)" % (headline, status))) from None

    def _failure(self, headline):
        self._log.seek(0)
        text = self._log.read().decode("utf-8", "replace").strip()
        return "%s: %s" % (headline, text) if text else headline


@contextlib.contextmanager
def _interrupts_deferred():
    """A Ctrl-C while a frame is on its way raises KeyboardInterrupt once the
    frame is whole and counted, so that the movie can be closed with whole
    frames only; a second one raises at once. Only where Python's own handler would raise
    (in the main thread, the handler not replaced)."""
    if (threading.current_thread() is not threading.main_thread() or
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return
    pending = []

    def defer(signum, frame):
        if pending:
            raise KeyboardInterrupt
        pending.append(signum)

    signal.signal(signal.SIGINT, defer)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if pending:
        raise KeyboardInterrupt


def _read_progress(fd, reports):
    """Turns avirec's --progress blocks of key=value lines into Progress
    reports, until avirec closes its end."""
    block = {}
    with open(fd, "r", encoding="ascii", errors="replace") as lines:
        for line in lines:
            key, _, value = line.strip().partition("=")
            block[key] = value
            if key == "progress":
                reports.put(Progress(frames=int(block.get("frame", 0)),
                                     fps=float(block.get("fps", 0.0)),
                                     bytes=int(block.get("total_size", 0)),
                                     done=value == "end"))
                block = {}


from .video_writer import VideoWriter, VideoWriter_fourcc  # noqa: E402
from .parallel import record_parallel, save_parallel  # noqa: E402

# The front ends for other libraries, each where its library is installed.
if importlib.util.find_spec("imageio") is not None:
    from . import imageio  # noqa: F401,E402  (registers format="AVIREC")
if importlib.util.find_spec("matplotlib") is not None:
    from . import matplotlib_writer  # noqa: F401,E402  (registers writer="avirec")
