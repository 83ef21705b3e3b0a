#!/usr/bin/env python3
"""Writes the header-claim files of the limit test (tests/reliability/test_read_limits.cpp).

Each file is a valid header claiming an image far larger than its few bytes of
data can fill (or than any pixmap may be), followed by a little data. Readers
must refuse every one with a message before allocating. Run from this folder;
the files are checked in, so this only needs to run when a case is added.
A new format adds its cases as files in a folder named by its lower-case main
extension (no change to the test).
"""
import os
import struct
import zlib


def save(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def tga(width, height, image_type, depth, data):
    descriptor = 8 if depth == 32 else 0
    return struct.pack("<BBBHHBHHHHBB", 0, 0, image_type, 0, 0, 0, 0, 0, width, height, depth, descriptor) + data


def sgi(width, height, channels, bpc, storage, data):
    header = struct.pack(">HBBHHHH", 474, storage, bpc, 2 if channels == 1 else 3, width, height, channels)
    header += struct.pack(">III", 0, 255, 0)
    return header.ljust(512, b"\0") + data


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, depth, colour_type):
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", zlib.compress(b"\0" * 16))
            + png_chunk(b"IEND", b""))


def jpeg(width, height, components):
    app0 = b"\xff\xe0" + struct.pack(">H", 16) + b"JFIF\0\x01\x01\0\0\x01\0\x01\0\0"
    sof = struct.pack(">HBHHB", 8 + 3 * components, 8, height, width, components)
    sof = b"\xff\xc0" + sof + b"".join(bytes([i + 1, 0x11, 0]) for i in range(components))
    sos = struct.pack(">HB", 6 + 2 * components, components)
    sos = b"\xff\xda" + sos + b"".join(bytes([i + 1, 0]) for i in range(components)) + b"\0\x3f\0"
    return b"\xff\xd8" + app0 + sof + sos + b"\0\0" + b"\xff\xd9"


def bmp(width, height, bits, compression, data):
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, len(data), 0, 0, 0, 0)
    size = 14 + len(info) + len(data)
    return b"BM" + struct.pack("<IHHI", size, 0, 0, 14 + len(info)) + info + data


def tiff(width, height, bits, samples):
    """Little-endian, one strip of two bytes, uncompressed RGB(A)."""
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, bits), (262, 3, 1, 2),
               (273, 4, 1, 0), (277, 3, 1, samples), (279, 4, 1, 2)]
    ifd_size = 2 + 12 * len(entries) + 4
    strip = 8 + ifd_size
    out = b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        if tag == 273:
            value = strip
        packed = struct.pack("<H", value) + b"\0\0" if kind == 3 else struct.pack("<I", value)
        out += struct.pack("<HHI", tag, kind, count) + packed
    return out + struct.pack("<I", 0) + b"\x01\x02"


def opt(image_type, width, height, channels, data):
    header = struct.pack(">IHHIB3xI", image_type, width, height, 0, channels, 0x3F800000).ljust(32, b"\0")
    return header + data


def var(image_type, width, height, bits, data):
    """VAR and SCAN: the header, the string block, the planes."""
    return struct.pack(">IHHB3x", image_type, width, height, bits) + b">>STRLEN:6<<Stage\0" + data


def psd(version, width, height, channels, depth, compression, data):
    """PSD (version 1) or PSB (2): header, empty colour mode, resources and layers, image data."""
    header = b"8BPS" + struct.pack(">H6xHIIHH", version, channels, height, width, depth, 3)
    layers = struct.pack(">I", 0) if version == 1 else struct.pack(">Q", 0)
    return header + struct.pack(">II", 0, 0) + layers + struct.pack(">H", compression) + data


def dat(width, height):
    """Raw 16-bit pixmap: a canvas pixmap whose pixel count matches its size, a few pixels there."""
    header = struct.pack("<iiQii", 6, 8, width * height, width, height) + bytes(32)
    return header + bytes(16)


def iff(width, height, flags, sixteen):
    tbhd = struct.pack(">IIHHIHHI", width, height, 1, 1, flags, 1 if sixteen else 0, 1, 0)
    body = b"CIMG" + b"TBHD" + struct.pack(">I", len(tbhd)) + tbhd + b"FOR4" + struct.pack(">I", 4) + b"TBMP"
    return b"FOR4" + struct.pack(">I", len(body)) + body


def main():
    save("tga", "65535x65535-rgba-rle.tga", tga(65535, 65535, 10, 32, b"\xff\x01\x02\x03\x04"))
    save("tga", "65535x65535-grey-raw.tga", tga(65535, 65535, 3, 8, bytes(range(16))))
    save("sgi", "65535x65535-rgba-rle.sgi", sgi(65535, 65535, 4, 1, 1, bytes(16)))
    save("sgi", "65535x65535-rgba16-verbatim.sgi", sgi(65535, 65535, 4, 2, 0, bytes(16)))
    save("png", "100000x100000-rgba8.png", png(100000, 100000, 8, 6))
    save("png", "65535x65535-rgba16.png", png(65535, 65535, 16, 6))
    save("png", "1073741824x1-rgba8.png", png(1 << 30, 1, 8, 6))
    # 65500 is the largest side the JPEG codec accepts.
    save("jpg", "65500x65500-colour.jpg", jpeg(65500, 65500, 3))
    save("jpg", "65500x65500-grey.jpg", jpeg(65500, 65500, 1))
    save("bmp", "100000x100000-rgb24.bmp", bmp(100000, 100000, 24, 0, b"\x01\x02\x03\x04"))
    save("bmp", "100000x100000-rle8.bmp", bmp(100000, 100000, 8, 1, b"\x02\x01\x00\x01"))
    save("bmp", "1073741824x1-rgba32.bmp", bmp(1 << 30, 1, 32, 0, b"\x01\x02\x03\x04"))
    save("tif", "100000x100000-rgba8.tif", tiff(100000, 100000, 8, 4))
    save("tif", "65535x65535-rgba16.tif", tiff(65535, 65535, 16, 4))
    save("tif", "1073741824x1-rgba8.tif", tiff(1 << 30, 1, 8, 4))
    save("opt", "65535x65535-rgba-rle.opt", opt(5, 65535, 65535, 4, b"\x7f\xff\x01" * 4))
    save("opt", "65535x65535-rgb-verbatim.opt", opt(1, 65535, 65535, 3, bytes(range(16))))
    save("var", "65535x65535-matte-rle.var", var(6, 65535, 65535, 8, b"\x7f\xff\x01"))
    save("var", "65535x65535-rgba-verbatim.var", var(2, 65535, 65535, 32, bytes(range(16))))
    save("scan", "65535x65535-rgba-rle.scan", var(5, 65535, 65535, 32, b"\x7f\xff\x01" * 4))
    save("scan", "65535x65535-rgb-verbatim.scan", var(1, 65535, 65535, 24, bytes(range(16))))
    # PSD sides stop at 30000, PSB sides at 300000.
    save("psd", "30000x30000-rgb8-raw.psd", psd(1, 30000, 30000, 3, 8, 0, bytes(16)))
    save("psd", "30000x30000-rgba16-rle.psd", psd(1, 30000, 30000, 4, 16, 1, bytes(16)))
    save("psb", "100000x100000-rgb8-raw.psb", psd(2, 100000, 100000, 3, 8, 0, bytes(16)))
    save("psb", "65535x65535-rgba16-rle.psb", psd(2, 65535, 65535, 4, 16, 1, bytes(16)))
    save("dat", "100000x100000.dat", dat(100000, 100000))
    save("dat", "65535x65535.dat", dat(65535, 65535))
    save("dat", "536870912x1.dat", dat(1 << 29, 1))
    save("iff", "100000x100000-rgba8.iff", iff(100000, 100000, 3, False))
    save("iff", "65535x65535-rgba16.iff", iff(65535, 65535, 3, True))
    save("iff", "1073741824x1-rgba8.iff", iff(1 << 30, 1, 3, False))


if __name__ == "__main__":
    main()
