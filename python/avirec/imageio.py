"""The imageio format "AVIREC": imageio's writing functions record .avi
movies through avirec.

    imageio.mimwrite("out.avi", frames, format="AVIREC", fps=25, codec="ffv1")
    with imageio.get_writer("out.avi", format="AVIREC", fps=25) as movie:
        movie.append_data(frame)

Importing avirec registers it with imageio's format list (the plug-in
interface of imageio 2). It is asked for by name: a name ending in .avi
without format= still goes to the formats registered before it.
"""

import imageio
import numpy as np

from . import Writer

# imageio's ffmpeg plug-in names some encoders by their library's name.
_CODEC_NAMES = {"libx264": "h264", "libxvid": "mpeg4", "msvideo1": "msvc",
                "rawvideo": "full"}


class AvirecFormat(imageio.core.Format):
    """Records a movie through avirec, frames exactly as given: any size
    the codec takes, never resized.

    Frames are H x W x 3 (RGB) or H x W (grey) uint8 arrays; a frame of
    another dtype or shape raises with the conversion to use.

    Parameters for saving
    ---------------------
    fps : float
        Frames per second (default 10), stored rounded to whole frames.
    codec : str
        avirec's --codec choice ("ffv1", "mjpeg", "h264", "full", ...;
        "libx264" and "libxvid" are taken for h264 and mpeg4). Default:
        the compression dialog's stand-in (VFW_COMPRESSOR, else Full Frames).
    quality : float
        0 to 10 (best), for the codecs that have a quality.
    bitrate : int
        Bits per second, for the codecs that keep a data rate.
    name : str
        The stream's name.
    progress : callable
        Given an avirec.Progress as the recording goes on.
    avirec : str
        The avirec program to run.
    macro_block_size : int
        Taken and not used: frames are never resized.
    """

    def _can_read(self, request):
        return False

    def _can_write(self, request):
        return request.extension == ".avi" and request.mode[1] in "I?"

    class Writer(imageio.core.Format.Writer):
        def _open(self, fps=10, codec=None, quality=None, bitrate=None, name=None,
                  progress=None, avirec=None, macro_block_size=None):
            choice = _CODEC_NAMES.get(codec, codec)
            settings = []
            if quality is not None:
                if not 0 <= quality <= 10:
                    raise ValueError("quality must be from 0 to 10, got %r" % (quality,))
                settings.append("quality=%d" % round(quality * 1000))
            if bitrate is not None:
                settings.append("datarate=%d" % max(1, int(bitrate) // 8))
            if settings:
                choice = ",".join([choice or "full"] + settings)
            self._movie = Writer(self.request.get_local_filename(), fps=fps, codec=choice,
                                 name=name, progress=progress, avirec=avirec)

        def _append_data(self, im, meta):
            if im.dtype != np.uint8:
                raise TypeError("frames must be uint8, got %s: convert with e.g. "
                                "(frame * 255).clip(0, 255).astype(np.uint8) for floats from "
                                "0 to 1, or (frame >> 8).astype(np.uint8) for 16 bits"
                                % im.dtype)
            if im.ndim == 3 and im.shape[2] == 1:
                im = im[:, :, 0]
            elif im.ndim == 3 and im.shape[2] == 4:
                raise ValueError("frames must be RGB or grey, got RGBA (shape %s): drop the "
                                 "alpha with frame[:, :, :3]" % (im.shape,))
            elif not (im.ndim == 2 or (im.ndim == 3 and im.shape[2] == 3)):
                raise ValueError("frames must be H x W x 3 (RGB) or H x W (grey), got shape %s"
                                 % (im.shape,))
            self._movie.write(np.asarray(im))

        def _close(self):
            self._movie.close()

        def _set_meta_data(self, meta):
            raise RuntimeError("the AVIREC format takes no meta data; name the stream "
                               "with name=...")


imageio.formats.add_format(
    AvirecFormat("AVIREC", "AVI movies recorded through avirec", ".avi", "I"), overwrite=True)
