#!/usr/bin/env python3
"""`quillsim demo --pcap`: tshark reads the capture without a malformed
packet or an expert error and finds the update in it: the trigger requests
(wValue 0x0255: configuration descriptor 0x55), each failed by the device,
and on the OUT endpoint the header EE 00 00 HH LL (the image length) and one
transfer per 256-byte block, each completed, with their URB function, bus,
address, endpoint and virtual times; and a run in which the device
leaves the bus in the middle of a transfer, whose capture stays whole; two
captures of the demo are the same bytes.
Usage: pcap_check.py QUILLSIM SCENARIO_FOLDER"""
import decimal
import os
import re
import shutil
import subprocess
import sys
import tempfile

FIELDS = ["frame.number", "frame.time_epoch", "usb.bus_id", "usb.device_address",
          "usb.endpoint_address", "usb.function", "usb.irp_info.direction", "usb.request_in",
          "usb.usbd_status", "usb.bDescriptorType", "usb.DescriptorIndex", "usb.transfer_type",
          "usb.endpoint_address.direction", "usb.capdata", "_ws.malformed",
          "_ws.expert.severity"]
EXPERT_ERROR = 0x00800000
USBD_STATUS_STALL_PID = 0xC0000004
USBD_STATUS_DEVICE_GONE = 0xC0007000


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def capture(quillsim, arguments):
    """Runs quillsim with --pcap; returns its output and the dissected frames,
    after checking that none is malformed or in error."""
    tshark = shutil.which("tshark")
    if tshark is None:
        fail("tshark is not installed (scripts/setup.sh installs it)")
    with tempfile.TemporaryDirectory() as folder:
        pcap = os.path.join(folder, "run.pcap")
        run = subprocess.run([quillsim, *arguments, "--pcap", pcap], capture_output=True,
                             text=True)
        if run.returncode != 0:
            fail(f"quillsim {arguments} failed:\n" + run.stdout + run.stderr)
        command = [tshark, "-r", pcap, "-T", "fields", "-E", "separator=/t"]
        for name in FIELDS:
            command += ["-e", name]
        out = subprocess.run(command, capture_output=True, text=True)
        # tshark warns when run as root; any other word on stderr is a fault.
        errors = [line for line in out.stderr.splitlines() if "Running as user" not in line]
        if out.returncode != 0 or errors:
            fail("tshark: " + out.stderr)
        with open(pcap, "rb") as file:
            content = file.read()
    frames = [dict(zip(FIELDS, line.split("\t"))) for line in out.stdout.splitlines()]
    bad = [f["frame.number"] for f in frames if f["_ws.malformed"] or any(
        int(severity) >= EXPERT_ERROR for severity in f["_ws.expert.severity"].split(",") if severity)]
    if not frames or bad:
        fail(f"{arguments}: {len(frames)} frames; malformed or in error: {bad}")
    return run.stdout, frames, content


def completions(frames):
    """Each submission's completion, by the submission's frame number."""
    return {f["usb.request_in"]: f for f in frames if int(f["usb.irp_info.direction"], 0) == 1}


def status(completion):
    return int(completion["usb.usbd_status"], 0) if completion else None


def main():
    quillsim, scenarios = sys.argv[1], sys.argv[2]
    # A device pulled while it holds a transfer: each submission still
    # completes (a transfer whose frames run is usb_bus_tests' case).
    for scenario in ["pulled-during-download.json"]:
        _, frames, _ = capture(quillsim, ["run", os.path.join(scenarios, scenario)])
        ended = completions(frames)
        open_ = [f["frame.number"] for f in frames
                 if int(f["usb.irp_info.direction"], 0) == 0 and f["frame.number"] not in ended]
        if open_ or USBD_STATUS_DEVICE_GONE not in map(status, ended.values()):
            fail(f"{scenario}: submissions without completion {open_}, or none ended with"
                 f" USBD_STATUS_DEVICE_GONE: {list(map(status, ended.values()))}")

    account, frames, content = capture(quillsim, ["demo"])
    if capture(quillsim, ["demo"])[2] != content:
        fail("two captures of the demo differ")
    length = re.search(r"image file \S+: (\d+) bytes", account)
    if length is None:
        fail("quillsim did not tell the image length")
    length = int(length.group(1))
    bus = re.search(r"^device (\d+)/", account, re.M).group(1)
    ended = completions(frames)
    submitted = [f for f in frames if int(f["usb.irp_info.direction"], 0) == 0]

    # tshark shows a GET_DESCRIPTOR's wValue as its two bytes.
    triggers = [f for f in submitted
                if f["usb.DescriptorIndex"] == "0x55" and f["usb.bDescriptorType"] == "0x02"]
    statuses = [status(ended.get(f["frame.number"])) for f in triggers]
    if len(triggers) != 10 or statuses != [USBD_STATUS_STALL_PID] * 10:
        fail(f"trigger requests {[f['frame.number'] for f in triggers]} ended with {statuses}")

    out = [f for f in submitted
           if int(f["usb.transfer_type"], 0) == 3 and f["usb.endpoint_address.direction"] == "0"]
    data = [bytes.fromhex(f["usb.capdata"].replace(":", "")) for f in out]
    header = bytes([0xEE, 0, 0, length >> 8, length & 0xFF])
    blocks = [len(block) for block in data[1:]]
    expected = [256] * (length // 256) + ([length % 256] if length % 256 else [])
    if not data or data[0] != header or blocks != expected:
        fail(f"OUT transfers {[d[:8].hex() for d in data]}: expected the header {header.hex()}"
             f" and blocks {expected}")
    failed = [f["frame.number"] for f in out if status(ended.get(f["frame.number"])) != 0]
    if failed:
        fail(f"OUT transfers not completed with success: frames {failed}")

    # Who and where: the hub's control transfers to the normal-mode device,
    # quillfw's bulk transfers to the update-mode device (a new address),
    # on the Q417's controller.
    def where(transfers):
        return {(f["usb.function"], f["usb.bus_id"], f["usb.device_address"],
                 f["usb.endpoint_address"]) for f in transfers}
    normal, update = where(triggers), where(out)
    if (len(normal) != 1 or len(update) != 1 or next(iter(normal))[:2] != ("0x0008", bus)
            or next(iter(update))[:2] != ("0x0009", bus) or next(iter(update))[3] != "0x01"
            or next(iter(normal))[2] in ("0", next(iter(update))[2])):
        fail(f"trigger requests as {normal}, OUT transfers as {update} (function, bus,"
             f" address, endpoint)")
    # On the virtual clock: the device is back 2 s after the trigger, and
    # each OUT transfer (up to 256 bytes) takes one 1 ms frame.
    def time(frame):
        return decimal.Decimal(frame["frame.time_epoch"])
    spans = {time(ended[f["frame.number"]]) - time(f) for f in out}
    if time(out[0]) - time(triggers[-1]) < 2 or spans != {decimal.Decimal("0.001")}:
        fail(f"OUT transfers from {time(out[0])} s, lasting {spans} s")
    print(f"{len(frames)} frames; 10 trigger requests stalled; header {header.hex(' ')};"
          f" {len(blocks)} blocks, {sum(blocks)} bytes")


main()
