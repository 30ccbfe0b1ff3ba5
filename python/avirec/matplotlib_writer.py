"""The matplotlib movie writer "avirec": Animation.save(..., writer="avirec")
records the figure's frames through avirec."""

import io

import numpy as np
from matplotlib import animation

from . import AvirecError, Writer, find_avirec


@animation.writers.register("avirec")
class AvirecMovieWriter(animation.AbstractMovieWriter):
    """Records an animation through avirec.

    fps        frames per second
    codec      avirec's --codec choice ("full", "ffv1", ...); None for Full Frames
    metadata   {"title": ...} names the stream
    bitrate, extra_args are accepted for matplotlib's sake and not used.

    size       (width, height) of the frames recorded, once the movie is finished
    """

    def __init__(self, fps=5, codec=None, bitrate=None, extra_args=None, metadata=None,
                 avirec=None):
        super().__init__(fps=fps, metadata=metadata, codec=codec, bitrate=bitrate)
        # matplotlib fills in its own default codec name; only the caller's is passed on.
        self._codec = codec
        self._program = avirec
        self._movie = None
        self.size = None

    @classmethod
    def isAvailable(cls):  # the name matplotlib's registry asks for
        try:
            return find_avirec() is not None
        except AvirecError:
            return False

    def setup(self, fig, outfile, dpi=None):
        super().setup(fig, outfile, dpi=dpi)
        self._movie = Writer(outfile, size=None, fps=self.fps, codec=self._codec,
                             name=self.metadata.get("title"), avirec=self._program)

    def grab_frame(self, **savefig_kwargs):
        buffer = io.BytesIO()
        self.fig.savefig(buffer, format="rgba", dpi=self.dpi, **savefig_kwargs)
        data = buffer.getvalue()
        width, height = self.frame_size
        if width * height * 4 != len(data):
            # The renderer rounds the pixel size its own way.
            width, height = (int(round(v * self.dpi)) for v in self.fig.get_size_inches())
        if width * height * 4 != len(data):
            raise AvirecError("the figure rendered %d bytes, not %dx%d RGBA pixels"
                              % (len(data), width, height))
        frame = np.frombuffer(data, np.uint8).reshape(height, width, 4)[:, :, :3]
        self._movie.write(frame)

    def finish(self):
        if self._movie is not None:
            movie, self._movie = self._movie, None
            self.size = movie.size
            movie.close()
