"""Pictures for the test server: solid-colour JPEG, PNG and WebP images, H.264 streams cut into
access units, and the "draw" packets that carry them. Everything is made with Debian's tools
(ImageMagick's /usr/bin/convert, cwebp, ffmpeg with libx264), run as child processes."""

import os
import struct
import subprocess
import tempfile
import zlib

CONVERT = "/usr/bin/convert"


def _run(args, data=None):
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          check=True, timeout=60).stdout


def rgba_png(width, height, rgba):
    """An 8-bit RGBA PNG of the given pixels (width x height x 4 bytes, rows top down), written
    here without a child process, so thousands of them stay quick."""
    stride = width * 4
    raw = b"".join(b"\0" + rgba[y * stride:(y + 1) * stride] for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 1))
            + chunk(b"IEND", b""))


def solid_png(width, height, rgb):
    """An RGB PNG of one colour (rgb is 0xRRGGBB)."""
    return _run([CONVERT, "-size", f"{width}x{height}", f"xc:#{rgb:06x}", "PNG24:-"])


def solid_jpeg(width, height, rgb, quality=95):
    return _run([CONVERT, "-size", f"{width}x{height}", f"xc:#{rgb:06x}", "-quality",
                 str(quality), "jpg:-"])


def solid_webp(width, height, rgb):
    with tempfile.TemporaryDirectory() as d:
        png = os.path.join(d, "in.png")
        out = os.path.join(d, "out.webp")
        with open(png, "wb") as f:
            f.write(solid_png(width, height, rgb))
        _run(["cwebp", "-quiet", "-lossless", png, "-o", out])
        with open(out, "rb") as f:
            return f.read()


def picture(coding, width, height, rgb):
    """A solid picture in one of the still codings."""
    return {"jpeg": solid_jpeg, "png": solid_png, "webp": solid_webp}[coding](width, height, rgb)


def h264_access_units(lavfi_source, frames, full_range=False, chroma="yuv420p"):
    """An Annex-B H.264 stream (no frame delay; baseline profile for 4:2:0, else the profile
    the chroma format needs) of a lavfi source such as "color=c=0x123456:size=64x64:rate=30" or
    "testsrc2=size=640x360:rate=30", cut into access units: the first holds the stream headers
    and the IDR frame. x264 writes limited range unless full_range is set."""
    args = ["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", lavfi_source,
            "-frames:v", str(frames)]
    if full_range:
        args += ["-vf", "format=rgb24,scale=out_range=pc,format=yuvj420p", "-color_range", "pc"]
    else:
        args += ["-pix_fmt", chroma]
    profile = {"yuv420p": "baseline", "yuv422p": "high422", "yuv444p": "high444"}[chroma]
    args += ["-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
             "-profile:v", profile, "-x264-params", "aud=1", "-bsf:v", "h264_mp4toannexb",
             "-f", "h264", "-"]
    stream = _run(args)
    aud = b"\x00\x00\x00\x01\x09"
    units = [aud + part for part in stream.split(aud) if part]
    return units


def h264_headers_only(unit):
    """Only the SPS and PPS of an access unit: a draw that yields no picture."""
    out = b""
    for nal in unit.split(b"\x00\x00\x01")[1:]:
        if nal and nal[0] & 0x1F in (7, 8):
            out += b"\x00\x00\x00\x01" + nal.rstrip(b"\x00")
    return out


def jpeg_frames(lavfi_source, frames, quality=5):
    """JPEG pictures of a lavfi source, one per frame."""
    stream = _run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", lavfi_source,
                   "-frames:v", str(frames), "-c:v", "mjpeg", "-q:v", str(quality),
                   "-f", "image2pipe", "-"])
    soi = b"\xff\xd8"
    return [soi + part for part in stream.split(soi) if part]


def draw_items(wid, x, y, width, height, coding, sequence, options=None):
    """The items of a "draw" packet whose data (item 7) travels as raw chunk 7."""
    items = ["draw", wid, x, y, width, height, coding, "", sequence, 0]
    if options is not None:
        items.append(options)
    return items
