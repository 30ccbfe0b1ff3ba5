"""OpenCV's movie-writer interface over avirec: code written for
``cv2.VideoWriter`` runs with ``avirec.VideoWriter`` in its place.

    fourcc = avirec.VideoWriter_fourcc(*"MJPG")
    out = avirec.VideoWriter("out.avi", fourcc, 25.0, (640, 480))
    while ...:
        out.write(frame)          # 480 x 640 x 3, blue, green, red
    out.release()

Where OpenCV's writer drops a frame or leaves an empty file without a word,
this one raises with the reason: a frame of another size, shape or dtype
(ValueError, TypeError), a code it has no compressor for (ValueError), a
folder that does not exist (FileNotFoundError), a recording that failed
(AvirecError, with avirec's reason).
"""

import numbers
import os
import subprocess

from . import AvirecError, Writer, require_avirec

# The properties of OpenCV's writer that are taken, by OpenCV's numbers.
VIDEOWRITER_PROP_QUALITY = 1
VIDEOWRITER_PROP_IS_COLOR = 4

# Four-character codes and the compressors that write them, by avirec's
# short names. Codes are matched without regard to case.
FOURCC_CODECS = {
    "MJPG": "mjpeg",
    "XVID": "mpeg4", "DIVX": "mpeg4", "FMP4": "mpeg4", "MP4V": "mpeg4",
    "H264": "h264", "X264": "h264", "AVC1": "h264",
    "FFV1": "ffv1",
    "HFYU": "huffyuv",
    "MPNG": "png", "PNG ": "png",
    "ZMBV": "zmbv",
    "ULRG": "utvideo",
    "MSVC": "msvc", "CRAM": "msvc",
    "CVID": "cinepak",
    "DIB ": "full",
}


def VideoWriter_fourcc(c1, c2, c3, c4):  # noqa: N802  (OpenCV's name)
    """The code of four characters, as OpenCV packs it: VideoWriter_fourcc(*"MJPG")."""
    chars = (c1, c2, c3, c4)
    if not all(isinstance(c, str) and len(c) == 1 and ord(c) < 128 for c in chars):
        raise ValueError("VideoWriter_fourcc takes four ASCII characters, got %r" % (chars,))
    return ord(c1) | ord(c2) << 8 | ord(c3) << 16 | ord(c4) << 24


def fourcc_text(fourcc):
    """The four characters of a packed code."""
    return "".join(chr(fourcc >> shift & 0xFF) for shift in (0, 8, 16, 24))


def codec_for_fourcc(fourcc):
    """avirec's compressor for an OpenCV code: "full" for 0, None for -1
    (the compression dialog's stand-in chooses); ValueError for a code
    without one."""
    if fourcc == -1:
        return None
    if fourcc == 0:
        return "full"
    if not isinstance(fourcc, numbers.Integral) or not 0 < fourcc <= 0xFFFFFFFF:
        raise ValueError("fourcc must be a code from VideoWriter_fourcc, 0 or -1, got %r"
                         % (fourcc,))
    text = fourcc_text(int(fourcc))
    codec = FOURCC_CODECS.get(text.upper())
    if codec is None:
        raise ValueError("no compressor writes the code %r; avirec writes %s, 0 (Full Frames) "
                         "and -1 (the compression dialog's choice)"
                         % (text, ", ".join(sorted(FOURCC_CODECS))))
    return codec


_offered = {}


def offered_codecs(program):
    """The short names of the compressors that `program` offers."""
    if program not in _offered:
        listing = subprocess.run([program, "--list-codecs"], capture_output=True, text=True)
        if listing.returncode != 0:
            raise AvirecError("%s --list-codecs failed: %s" % (program, listing.stderr.strip()))
        # Rows of: name 'code' kind description, under a heading.
        _offered[program] = {line.split()[0] for line in listing.stdout.splitlines()
                             if line.count("'") >= 2 and not line.startswith(" ")}
    return _offered[program]


def _is_size(value):
    return isinstance(value, (tuple, list)) and len(value) == 2


class VideoWriter:
    """OpenCV's writer: VideoWriter(filename, fourcc, fps, frameSize, isColor=True).

    Also VideoWriter(filename, apiPreference, fourcc, fps, frameSize[, isColor]),
    either with params=[VIDEOWRITER_PROP_QUALITY, q, ...] in place of isColor,
    and VideoWriter() followed by open(...). frameSize is (width, height); the
    frames are height x width x 3 arrays of blue, green and red (isColor) or
    height x width grey, of uint8. The movie is AVI, whatever the name says;
    a name not ending in .avi is refused. fps is stored rounded to whole
    frames. Pass avirec=PATH to choose the program (see find_avirec).
    """

    fourcc = staticmethod(VideoWriter_fourcc)

    def __init__(self, *args, **kwargs):
        self._movie = None
        self._codec = None
        self._quality = None
        if args or kwargs:
            self.open(*args, **kwargs)

    def open(self, filename, *args, apiPreference=None, fourcc=None, fps=None,  # noqa: N803
             frameSize=None, isColor=True, params=None, avirec=None):
        """Opens a new movie, releasing the one open before; True. Raises
        where it cannot record: a bad argument, a code without a compressor,
        a folder that does not exist."""
        self.release()
        args = list(args)
        if len(args) >= 4 and not _is_size(args[2]) and _is_size(args[3]):
            args.pop(0)  # apiPreference, the library OpenCV would use: avirec it is
        named = [fourcc, fps, frameSize]
        for i, value in enumerate(args[:3]):
            named[i] = value
        fourcc, fps, frameSize = named
        if len(args) > 3:
            if isinstance(args[3], (list, tuple)):
                params = args[3]
            else:
                isColor = args[3]
        if len(args) > 4 or None in (fourcc, fps, frameSize):
            raise TypeError("VideoWriter(filename, fourcc, fps, frameSize, isColor=True)")
        path = os.fspath(filename)
        if os.path.splitext(path)[1].lower() != ".avi":
            raise ValueError("avirec writes AVI movies; name the file .avi, not %s" % path)
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise FileNotFoundError("the folder %s does not exist" % folder)
        if not (isinstance(fps, numbers.Real) and fps > 0):
            raise ValueError("fps must be a number above 0, got %r" % (fps,))
        if not _is_size(frameSize) or not all(int(v) == v and v > 0 for v in frameSize):
            raise ValueError("frameSize must be (width, height) in whole pixels, got %r"
                             % (frameSize,))
        for prop, value in zip(params[::2], params[1::2]) if params else ():
            if prop == VIDEOWRITER_PROP_IS_COLOR:
                isColor = bool(value)
            elif not self.set(prop, value):
                raise ValueError("VideoWriter property %r is not one avirec takes (it takes "
                                 "VIDEOWRITER_PROP_QUALITY and VIDEOWRITER_PROP_IS_COLOR)"
                                 % (prop,))
        codec = codec_for_fourcc(fourcc)
        program = require_avirec(avirec)
        if codec is not None and codec not in offered_codecs(program):
            raise AvirecError("%s offers no compressor %s for the code %r (on offer: %s)"
                              % (program, codec, fourcc_text(fourcc),
                                 ", ".join(sorted(offered_codecs(program)))))
        self._codec = codec
        self._movie = Writer(path, size=(int(frameSize[0]), int(frameSize[1])), fps=fps,
                             codec=codec, avirec=program,
                             pixel_format="bgr24" if isColor else "gray")
        return True

    def isOpened(self):  # noqa: N802
        """True while frames can be written: open, and the recorder still running."""
        return self._movie is not None and self._movie.recording

    def write(self, image):
        """Appends one frame; raises where it cannot (see the class)."""
        if self._movie is None:
            raise ValueError("the VideoWriter is not open")
        shape, size = getattr(image, "shape", ()), self._movie.size
        if len(shape) >= 2 and shape[:2] == size and size[0] != size[1]:
            raise ValueError("frame is %dx%d (shape %s), but the movie is %dx%d: frameSize is "
                             "(width, height), numpy's shape (height, width)"
                             % (shape[1], shape[0], shape, size[0], size[1]))
        if not self._movie.started and self._quality is not None and self._codec is not None:
            # OpenCV's quality is 0-100, avirec's 0-10000.
            self._movie.codec = "%s,quality=%d" % (self._codec, round(self._quality * 100))
        self._movie.write(image)

    def release(self):
        """Closes the movie; raises AvirecError when the recording failed or
        no frame was written. Releasing again does nothing."""
        movie, self._movie = self._movie, None
        if movie is not None:
            movie.close()

    def set(self, propId, value):  # noqa: N803
        """VIDEOWRITER_PROP_QUALITY (0-100) before the first frame: True.
        Any other property, or later: False, as OpenCV answers."""
        if propId != VIDEOWRITER_PROP_QUALITY or not 0 <= value <= 100:
            return False
        if self._movie is not None and self._movie.started:
            return False
        self._quality = value
        return True

    def get(self, propId):  # noqa: N803
        """The quality set, for VIDEOWRITER_PROP_QUALITY; 0.0 otherwise, as OpenCV answers."""
        if propId == VIDEOWRITER_PROP_QUALITY and self._quality is not None:
            return float(self._quality)
        return 0.0

    def getBackendName(self):  # noqa: N802
        return "AVIREC"

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.release()
        elif self._movie is not None:
            movie, self._movie = self._movie, None
            movie.__exit__(kind, value, traceback)
        return False
