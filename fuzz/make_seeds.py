#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus.

Usage: fuzz/make_seeds.py BUILD_DIR   (a host build, for quillprog.res)

Seeds are small and each reaches a different part of its parser; the
fuzzer finds the rest. Run again after a format change and commit the result.
"""
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


# ---- flash_file: Intel HEX -------------------------------------------------

def record(rtype, address, data=b""):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return (":" + (body + bytes([checksum])).hex().upper() + "\r\n").encode()


EOF_RECORD = record(1, 0)


def flash_seeds():
    write("flash_file", "one-record.hex", record(0, 0, bytes(range(16))) + EOF_RECORD)
    write("flash_file", "eof-only.hex", EOF_RECORD)
    write("flash_file", "eof-without-line-end.hex",
          record(0, 0, b"\x01\x02") + EOF_RECORD.rstrip(b"\r\n"))
    write("flash_file", "out-of-order-with-gap.hex",
          record(0, 0x0120, b"\xAA" * 32) + record(0, 0x0000, b"\x55" * 32)
          + record(0, 0x00F8, b"\x11" * 8) + EOF_RECORD)
    write("flash_file", "address-records.hex",
          record(2, 0, b"\x00\x00") + record(4, 0, b"\x00\x00") + record(0, 0x10, b"\x42" * 4)
          + record(3, 0, b"\x00\x00\x01\x00") + record(5, 0, b"\x00\x00\x01\x00") + EOF_RECORD)
    write("flash_file", "top-of-image.hex",
          record(0, 0xFFE0, bytes(range(32))) + record(0, 0x0000, b"\x01") + EOF_RECORD)
    write("flash_file", "empty-record-past-end.hex",
          record(0, 0, b"\x01\x02") + record(0, 0x0300) + EOF_RECORD)


# ---- avi_clip: RIFF 'AVI ' ---------------------------------------------------

def chunk(fourcc, data):
    padding = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + padding


def riff_list(kind, fourcc, chunks):
    return chunk(kind, fourcc + b"".join(chunks))


def avi(width, height, compression, frames, index_from_movi=True):
    avih = struct.pack("<10I4I", 100000, 0, 0, 0x10, len(frames), 0, 1, 0,
                       width, height, 0, 0, 0, 0)
    strh = b"vids" + (b"mrle" if compression else b"DIB ") + struct.pack(
        "<IHHI8I4h", 0, 0, 0, 0, 1, 10, 0, len(frames), 0, 0xFFFFFFFF, 0, 0, 0, 0, width, height)
    palette = b"".join(struct.pack("<4B", i * 60, 255 - i * 60, i * 30, 0) for i in range(4))
    strf = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, compression, 0, 0, 0, 4, 0)
    hdrl = riff_list(b"LIST", b"hdrl", [chunk(b"avih", avih),
                                        riff_list(b"LIST", b"strl",
                                                  [chunk(b"strh", strh),
                                                   chunk(b"strf", strf + palette)])])
    frame_chunks = [chunk(b"00dc", f) for f in frames]
    movi = riff_list(b"LIST", b"movi", frame_chunks)
    movi_code = 12 + len(hdrl) + 8
    index = b""
    offset = 4
    for f, c in zip(frames, frame_chunks):
        base = offset if index_from_movi else movi_code + offset
        index += b"00dc" + struct.pack("<III", 0x10, base, len(f))
        offset += len(c)
    body = b"AVI " + hdrl + movi + chunk(b"idx1", index)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def avi_seeds():
    rgb = [bytes([0, 1, 2, 3, 3, 2, 1, 0]), bytes([1] * 8)]  # 3 x 2, rows padded to 4
    write("avi_clip", "rgb-3x2.avi", avi(3, 2, 0, rgb))
    rle = [bytes([4, 1, 0, 0, 0, 3, 2, 3, 1, 0, 0, 1]),  # run, end of line, literal 3
           bytes([0, 2, 1, 1, 1, 3, 0, 1])]              # move, run, end of bitmap
    write("avi_clip", "rle8-4x2.avi", avi(4, 2, 1, rle))
    write("avi_clip", "rle8-index-from-file.avi", avi(4, 2, 1, rle, index_from_movi=False))


# ---- resource_file: .res ---------------------------------------------------------

def res_entries(data):
    entries = []
    position = 0
    while position < len(data):
        data_size, header_size = struct.unpack_from("<II", data, position)
        end = position + header_size + data_size
        entries.append(data[position:end])
        position = (end + 3) & ~3
    return entries


def resource_seeds(build_dir):
    res = (pathlib.Path(build_dir) / "app/res/quillprog.res").read_bytes()
    entries = res_entries(res)
    empty = entries[0]
    for number, entry in enumerate(entries[1:], start=1):
        _, _, type_mark, type_id = struct.unpack_from("<IIHH", entry)
        kind = f"type{type_id}" if type_mark == 0xFFFF else "named-type"
        padding = b"\0" * (-len(entry) % 4)
        write("resource_file", f"quillprog-{number:02d}-{kind}.res", empty + entry + padding)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    flash_seeds()
    avi_seeds()
    resource_seeds(sys.argv[1])
