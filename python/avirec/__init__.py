"""Record numpy frames as AVI movies through the ``avirec`` program.

    import numpy as np
    import avirec

    with avirec.Writer("out.avi", size=(320, 240), fps=25, codec="ffv1") as movie:
        for i in range(100):
            frame = np.zeros((240, 320, 3), np.uint8)   # height x width x RGB
            frame[:, i] = 255
            movie.write(frame)

Frames are ``H x W x 3`` (red, green, blue) or ``H x W`` (grey) arrays of
``uint8``. The module is pure Python: it starts ``avirec`` and pipes the
frames into it. Importing it also registers a matplotlib movie writer named
``"avirec"`` when matplotlib is installed::

    animation.save("out.avi", writer="avirec", fps=25, codec="ffv1")
"""

import os
import shutil
import subprocess
import tempfile

__all__ = ["Writer", "AvirecError", "find_avirec"]


class AvirecError(RuntimeError):
    """The recording failed; the message is avirec's own."""


def find_avirec(path=None):
    """The avirec program to run: `path` if given, else the AVIREC
    environment variable, else ``avirec`` on PATH, else the one built in
    this checkout. None when there is none."""
    if path:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
        raise AvirecError("avirec program not found at %s" % path)
    candidates = [os.environ.get("AVIREC"), shutil.which("avirec")]
    here = os.path.dirname(os.path.abspath(__file__))
    candidates += [os.path.join(here, "..", "..", "bin", "avirec"),
                   os.path.join(here, "..", "..", "build", "bin", "avirec")]
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    return None


class Writer:
    """A movie being recorded; use it in a ``with`` block, or call close().

    path       the movie file
    size       (width, height) of the frames; None takes the first frame's
    fps        frames per second (stored rounded to whole frames)
    codec      avirec's --codec choice, e.g. "full", "ffv1", "mjpeg,quality=9000";
               None for Full Frames (uncompressed)
    name       the stream's name, or None for the host's preference
    overwrite  replace an existing file (True) or raise (False)
    avirec     the program to run (see find_avirec)
    """

    def __init__(self, path, size=None, fps=25, codec=None, name=None, overwrite=True,
                 avirec=None):
        self.path = os.fspath(path)
        if size is not None:
            if len(size) != 2 or not all(int(v) == v and v > 0 for v in size):
                raise ValueError("size must be (width, height) in whole pixels, got %r" % (size,))
            size = (int(size[0]), int(size[1]))
        self.size = size
        self.fps = fps
        self.codec = codec
        self.name = name
        self.overwrite = overwrite
        self.program = find_avirec(avirec)
        if self.program is None:
            raise AvirecError("the avirec program was not found: put it on PATH, set AVIREC, "
                              "or pass avirec=PATH")
        self.frames = 0
        self._grey = None
        self._process = None
        self._log = None
        self._closed = False

    # -- frames ---------------------------------------------------------------

    def write(self, frame):
        """Appends one frame: an H x W x 3 (RGB) or H x W (grey) uint8 array."""
        import numpy as np

        if self._closed:
            raise ValueError("the movie %s is closed" % self.path)
        frame = np.asarray(frame)
        if frame.dtype != np.uint8:
            raise TypeError("frames must be uint8 arrays, got %s (convert with e.g. "
                            "(frame * 255).clip(0, 255).astype(np.uint8))" % frame.dtype)
        if frame.ndim == 3 and frame.shape[2] == 3:
            grey = False
        elif frame.ndim == 2:
            grey = True
        else:
            raise ValueError("frames must be H x W x 3 (RGB) or H x W (grey), got shape %s"
                             % (frame.shape,))
        height, width = frame.shape[:2]
        if self.size is None:
            self.size = (width, height)
        if (width, height) != self.size:
            raise ValueError("frame is %dx%d (shape %s), but the movie is %dx%d"
                             % (width, height, frame.shape, self.size[0], self.size[1]))
        if self._process is None:
            self._start(grey)
        if grey and not self._grey:
            frame = np.repeat(frame[:, :, None], 3, axis=2)
        elif not grey and self._grey:
            raise ValueError("this movie was started with grey frames; a colour frame cannot "
                             "follow (write colour frames from the first one)")
        try:
            self._process.stdin.write(memoryview(np.ascontiguousarray(frame)).cast("B"))
        except (BrokenPipeError, OSError):
            self._finish()
            raise AvirecError(self._failure("avirec stopped taking frames")) from None
        self.frames += 1

    def close(self):
        """Finishes the movie; raises AvirecError when the recording failed."""
        if self._closed:
            return
        self._closed = True
        if self._process is None:
            raise AvirecError("no frames were written to %s" % self.path)
        status = self._finish()
        if status != 0:
            raise AvirecError(self._failure("avirec failed (exit status %d)" % status))

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.close()
        elif not self._closed:
            # The frames written so far are kept; the caller's error is the one raised.
            self._closed = True
            if self._process is not None:
                self._finish()
        return False

    # -- the process ------------------------------------------------------------

    def _command(self, grey):
        command = [self.program, "-y" if self.overwrite else "-n",
                   "--raw", "gray" if grey else "rgb24",
                   "--size", "%dx%d" % self.size, "--fps", str(self.fps)]
        if self.codec is not None:
            command += ["--codec", str(self.codec)]
        if self.name is not None:
            command += ["--name", str(self.name)]
        return command + ["--", self.path, "-"]

    def _start(self, grey):
        self._grey = grey
        self._log = tempfile.TemporaryFile()
        self._process = subprocess.Popen(self._command(grey), stdin=subprocess.PIPE,
                                         stdout=subprocess.DEVNULL, stderr=self._log)

    def _finish(self):
        try:
            self._process.stdin.close()
        except (BrokenPipeError, OSError):
            pass
        return self._process.wait()

    def _failure(self, headline):
        self._log.seek(0)
        text = self._log.read().decode("utf-8", "replace").strip()
        return "%s: %s" % (headline, text) if text else headline


try:
    from . import matplotlib_writer  # noqa: F401  (registers writer="avirec")
except ImportError:
    pass
