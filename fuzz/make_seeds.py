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


def explainer_seeds():
    """One file per reason quillsim image gives, and one just under the
    record limit (the fuzzer's inputs may then grow to cross it)."""
    data = record(0, 0, b"\x01\x02")
    seeds = {
        "mark.hex": b";" + data[1:] + EOF_RECORD,
        "lowercase-digit.hex": data.lower() + EOF_RECORD,
        "length-33.hex": b":21" + data[3:] + EOF_RECORD,
        "checksum.hex": data[:-4] + b"00\r\n" + EOF_RECORD,
        "lf-line-end.hex": data.replace(b"\r\n", b"\n") + EOF_RECORD,
        "ends-inside.hex": data + EOF_RECORD[:6],
        "no-end-of-file.hex": data,
        "overlap.hex": data + record(0, 1, b"\x03") + EOF_RECORD,
        "segment-address.hex": record(2, 0, b"\x10\x00") + data + EOF_RECORD,
        "unknown-type.hex": record(6, 0) + EOF_RECORD,
        "past-64k.hex": record(0, 0xFFF0, b"\xAA" * 32) + EOF_RECORD,
        "1999-records.hex": record(0, 0) * 1998 + EOF_RECORD,
    }
    for name, text in seeds.items():
        write("flash_file_explainer", name, text)


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


# ---- transfer_request: control code, input and output length, buffer --------

WRITE, READ = 0x222000, 0x222004


def control(code, in_length, out_length, buffer=b""):
    return struct.pack("<III", code, in_length, out_length) + buffer


def envelope(count, payload=None, reserved=4):
    payload = bytes((7 * i + 1) & 0xFF for i in range(count)) if payload is None else payload
    return struct.pack("<I", count) + payload + b"\xA5" * reserved


def transfer_seeds():
    write("transfer_request", "write-16.bin", control(WRITE, 24, 0, envelope(16)))
    write("transfer_request", "write-empty.bin", control(WRITE, 8, 0, envelope(0)))
    write("transfer_request", "write-two-pieces.bin",
          control(WRITE, 0x1000 + 13, 0, envelope(0x1000 + 5)))
    write("transfer_request", "write-count-over-envelope.bin",
          control(WRITE, 24, 0, envelope(16)[:0] + struct.pack("<I", 17) + b"\0" * 20))
    write("transfer_request", "write-shorter-than-envelope.bin", control(WRITE, 7, 0, b"\0" * 7))
    write("transfer_request", "read-16.bin", control(READ, 24, 24, envelope(16)))
    write("transfer_request", "read-output-too-short.bin", control(READ, 24, 8, envelope(16)))
    write("transfer_request", "other-buffered-code.bin", control(0x222008, 16, 16, b"\x10" * 16))
    write("transfer_request", "neither-method-code.bin", control(0x22200B, 8, 8, envelope(0)))


# ---- hub_answers: the controller's and the hubs' answers, in walk order -------

OK, OVERFLOW, UNSUCCESSFUL = 0, 4, 7


def answer(data, status=OK, length=None):
    length = len(data) if length is None else length
    return bytes([status]) + struct.pack("<H", length) + data


def name_answers(offset, name, prefix=b""):
    """The probe (fixed part) and the fetch of a name answer: ActualLength,
    then the UTF-16 name and its NUL, after `prefix` (the port)."""
    text = (name + "\0").encode("utf-16-le")
    actual = offset + len(text)
    whole = prefix + struct.pack("<I", actual) + text
    return answer(whole[:offset + 2]) + answer(whole)


def node_information(ports):
    data = bytearray(76)
    data[6] = ports
    return answer(bytes(data))


def connection(port, connected=True, hub=False):
    data = bytearray(35)
    data[0:4] = struct.pack("<I", port)
    data[24] = 1 if hub else 0
    data[31:35] = struct.pack("<I", 1 if connected else 0)
    return answer(bytes(data))


def port_name(port, name):
    return name_answers(8, name, struct.pack("<I", port))


def hub_seeds():
    controller = name_answers(4, "K") + name_answers(4, "H")
    write("hub_answers", "one-device.bin",
          controller + node_information(1) + connection(1) + port_name(1, "KEY"))
    write("hub_answers", "hub-then-device.bin",
          controller + node_information(2)
          + connection(1, hub=True) + port_name(1, "H")
          + node_information(1) + connection(1) + port_name(1, "A")
          + connection(2) + port_name(2, "B"))
    write("hub_answers", "hub-naming-itself.bin",
          controller + (node_information(1) + connection(1, hub=True) + port_name(1, "H")) * 7)
    write("hub_answers", "huge-actual-length.bin",
          answer(struct.pack("<I", 0xFFFFFFF0) + b"K\0") + name_answers(4, "H")
          + node_information(1) + connection(1)
          + answer(struct.pack("<II", 1, 0xFFFFFFF0) + b"K\0"))
    write("hub_answers", "overflow-and-failures.bin",
          answer(b"\x08\0\0\0K\0", OVERFLOW) + answer(b"", UNSUCCESSFUL) + name_answers(4, "H")
          + node_information(3) + connection(1, connected=False) + answer(b"", UNSUCCESSFUL)
          + connection(3) + answer(b"\x03\0\0\0\x0c\0\0\0K\0", OVERFLOW))
    write("hub_answers", "eleven-devices.bin",
          controller + node_information(11)
          + b"".join(connection(p) + port_name(p, "D%d" % p) for p in range(1, 12)))


# ---- scenario: quillsim scenarios with everything inline ----------------------

def scenario_seeds():
    hub_machine = ('{"usb": {"controllers": [{"ports": [{"status": "connected", '
                   '"device": {"kind": "hub"}, "ports": [{}, {"status": "connected", '
                   '"device": {"kind": "q417"}}]}]}]}}')
    write("scenario", "minimal.json", b'{"machine": {}, "script": []}')
    write("scenario", "inline-file-and-actions.json", (
        '{"name": "n", "description": "d", "machine": ' + hub_machine + ',\n'
        ' "files": {"a.hex": {"text": ":00000001FF\\r\\n"}},\n'
        ' "script": [{"answer": "OK"}, {"select": 0}, {"select": "Q417"}, {"type": "a.hex"},\n'
        '  {"browse": "a.hex", "timeoutMs": 1000}, {"cancelBrowse": true}, {"click": "Program"},\n'
        '  {"press": "Alt+F4"}, {"closeBox": true}, {"about": true}, {"waitFor": "Complete!"},\n'
        '  {"waitIdle": true}, {"wait": 5000, "comment": "c"}, {"unplug": "0/1/2"}],\n'
        ' "expect": {"messageBoxes": ["Complete!"], "status": "Ready", "flash": "image",\n'
        '  "deviceList": ["Q417"], "trace": ["x"], "findings": ["pool-leak"],\n'
        '  "applicationEnded": true}}').encode())
    write("scenario", "two-files-and-image.json", (
        '{"machine": {}, "device": "0/1", "image": "b.hex", "files": {"a.hex": {"text": ""}, '
        '"b.hex": {"text": "x"}}, "script": [], "expect": {"flash": "untouched"}}').encode())
    write("scenario", "machine-by-path.json", b'{"machine": "missing.json", "script": []}')


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    flash_seeds()
    explainer_seeds()
    avi_seeds()
    resource_seeds(sys.argv[1])
    transfer_seeds()
    hub_seeds()
    scenario_seeds()
