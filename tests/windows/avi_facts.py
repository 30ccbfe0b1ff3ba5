#!/usr/bin/env python3
"""Facts about AVI files for the Windows tests, worked out on Linux.

  avi_facts.py checksums FILE.avi WIDTH HEIGHT
      Decodes FILE with ffmpeg and prints, for every frame, the FNV-1a
      checksum of the frame as a 24-bit bottom-up DIB (blue, green, red; rows
      padded with zeros to whole 32-bit words): the bytes a reader of a Full
      Frames file gets for each sample. One line "frame I: fnv1a=XXXXXXXX".

  avi_facts.py headers FILE.avi
      Walks the file's RIFF chunks and prints its headers as "name: value"
      lines (main header, stream header, format, stream name, segments and
      indexes), and "riff.sizesAgree: 1" when every RIFF and LIST size fits
      the file.
"""
import struct
import subprocess
import sys


def fnv1a32(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def dib_checksums(path, width, height):
    decoded = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", path, "-vf", "vflip", "-f", "rawvideo",
         "-pix_fmt", "bgr24", "-"], check=True, stdout=subprocess.PIPE).stdout
    row = width * 3
    stride = (width * 24 + 31) // 32 * 4
    frame_bytes = row * height
    if frame_bytes == 0 or len(decoded) % frame_bytes != 0:
        raise SystemExit(f"decoded {len(decoded)} bytes, not whole {width}x{height} frames")
    padding = bytes(stride - row)
    for i in range(len(decoded) // frame_bytes):
        frame = decoded[i * frame_bytes:(i + 1) * frame_bytes]
        dib = b"".join(frame[y * row:(y + 1) * row] + padding for y in range(height))
        print(f"frame {i}: fnv1a={fnv1a32(dib):08x}")


def fourcc(raw):
    return raw.decode("latin-1").replace("\0", " ")


class Walker:
    def __init__(self, data):
        self.data = data
        self.facts = {}
        self.sizes_agree = True
        self.segments = []
        self.index_entries = 0
        self.super_indexes = 0
        self.movi_chunks = 0

    def walk(self, start, end, inside):
        pos = start
        while pos + 8 <= end:
            tag = self.data[pos:pos + 4]
            size = struct.unpack_from("<I", self.data, pos + 4)[0]
            body = pos + 8
            if body + size > end:
                self.sizes_agree = False
                size = max(0, end - body)
            if tag in (b"RIFF", b"LIST"):
                kind = self.data[body:body + 4]
                if tag == b"RIFF":
                    self.segments.append(fourcc(kind).strip())
                self.walk(body + 4, body + size, kind)
            else:
                self.chunk(tag, body, size, inside)
            pos = body + size + (size & 1)

    def chunk(self, tag, body, size, inside):
        d = self.data
        if tag == b"avih" and size >= 40:
            names = ["dwMicroSecPerFrame", "dwMaxBytesPerSec", "dwPaddingGranularity",
                     "dwFlags", "dwTotalFrames", "dwInitialFrames", "dwStreams",
                     "dwSuggestedBufferSize", "dwWidth", "dwHeight"]
            for name, value in zip(names, struct.unpack_from("<10I", d, body)):
                self.facts["avih." + name] = value
        elif tag == b"strh" and size >= 48:
            self.facts["strh.fccType"] = fourcc(d[body:body + 4])
            self.facts["strh.fccHandler"] = fourcc(d[body + 4:body + 8])
            (flags, priority, language, initial, scale, rate, start, length, suggested,
             quality, sample_size) = struct.unpack_from("<IHHIIIIIIiI", d, body + 8)
            for name, value in [("dwFlags", flags), ("wPriority", priority),
                                ("wLanguage", language), ("dwInitialFrames", initial),
                                ("dwScale", scale), ("dwRate", rate), ("dwStart", start),
                                ("dwLength", length), ("dwSuggestedBufferSize", suggested),
                                ("dwQuality", quality), ("dwSampleSize", sample_size)]:
                self.facts["strh." + name] = value
            if size >= 56:
                self.facts["strh.rcFrame"] = ",".join(
                    str(v) for v in struct.unpack_from("<4h", d, body + 48))
        elif tag == b"strf":
            self.facts["strf.bytes"] = size
            if size >= 40:
                fields = struct.unpack_from("<IiiHHIIiiII", d, body)
                names = ["biSize", "biWidth", "biHeight", "biPlanes", "biBitCount",
                         "biCompression", "biSizeImage", "biXPelsPerMeter",
                         "biYPelsPerMeter", "biClrUsed", "biClrImportant"]
                for name, value in zip(names, fields):
                    self.facts["strf." + name] = value
        elif tag == b"strn":
            self.facts["strn"] = d[body:body + size].split(b"\0")[0].decode("latin-1")
            self.facts["strn.bytes"] = size
        elif tag == b"dmlh" and size >= 4:
            self.facts["dmlh.dwTotalFrames"] = struct.unpack_from("<I", d, body)[0]
        elif tag == b"indx":
            self.super_indexes += 1
        elif tag == b"idx1":
            self.index_entries += size // 16
        elif inside == b"movi" and tag[2:4] in (b"db", b"dc"):
            self.movi_chunks += 1


def headers(path):
    with open(path, "rb") as f:
        data = f.read()
    w = Walker(data)
    w.walk(0, len(data), b"")
    for name in sorted(w.facts):
        print(f"{name}: {w.facts[name]}")
    print(f"riff.segments: {' '.join(w.segments)}")
    print(f"riff.sizesAgree: {1 if w.sizes_agree else 0}")
    print(f"idx1.entries: {w.index_entries}")
    print(f"indx.count: {w.super_indexes}")
    print(f"movi.frameChunks: {w.movi_chunks}")


def main(argv):
    if len(argv) == 5 and argv[1] == "checksums":
        dib_checksums(argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) == 3 and argv[1] == "headers":
        headers(argv[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
