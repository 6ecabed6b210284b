#!/usr/bin/env python3
"""winsim held against Wine: the Wine run's four updates (tests/wine/quill_wine_update.cpp
on Wine's kernel, against tests/wine-kernel/quillbus.sys) and the same machine and file
on winsim (examples/scenarios/wine-kernel-updates.json for updates 1 and 2,
wine-kernel-block-failure.json for updates 3 and 4), compared update by update:

  - the device list before Program;
  - the trigger: the header read and the 0x55 requests, their buffers' sizes, fields
    and outcomes;
  - the header transfer;
  - every OUT transfer (the blocks): length, bytes and outcome; pipe resets;
  - the dialog's message boxes and status-line texts, each in order.

  scripts/wine-compare.py WINE-OUT-DIR QUILLSIM [--firmware FILE] [--scenario FILE]...
                          [--device NAME=VALUE]...

WINE-OUT-DIR holds observed.txt and bus.log of quill-wine-update.exe. Each difference
is printed; one listed in KNOWN_WINE_GAPS (documented in docs/windows.md, "winsim held
against Wine") is reported as such. Exit status 1 on any other difference.

--scenario names the winsim scenarios to play, in order, each with its Program presses
(default: the two above, two presses each); --firmware FILE puts FILE in place of every
file a scenario names; --device NAME=VALUE gives the Q417 the test bus's setting NAME
(tests/wine-kernel/quillbus_protocol.h, QuillbusSettings), as quill-wine-update.exe gave
it to the bus: ReturnDelayMs, TriggerError (31 or 23), TriggersToLeave, EndpointLayout
(1: the IN endpoint first) and FailBlock (the failing block of a scenario whose update-mode
device fails a transfer). The scenarios actually played are kept in WINE-OUT-DIR/winsim/.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCENARIOS = [
    "examples/scenarios/wine-kernel-updates.json",
    "examples/scenarios/wine-kernel-block-failure.json",
]
DEVICE_SETTINGS = ("ReturnDelayMs", "TriggerError", "TriggersToLeave", "EndpointLayout",
                   "FailBlock")

# Differences that are Wine's, documented in docs/windows.md.
KNOWN_WINE_GAPS = {
    "device list texts": "Wine 8.0's cfgmgr32 devnode functions are stubs: quillprog cannot look "
                         "descriptions up and lists every device as \"Unknown USB Device\"",
}

UNKNOWN = "Unknown USB Device"


def unquote(text):
    text = text.strip()
    if text.startswith('"') and text.endswith('"'):
        text = text[1:-1]
    return text.replace('\\n', '\n').replace('\\r', '\r').replace('\\"', '"').replace('\\\\', '\\')


# --- The Wine side -----------------------------------------------------------------

def wine_dialog(path):
    """observed.txt: per update (split at 'program'), the device list read before it,
    then the message boxes and status texts up to the next Program press."""
    updates, devices, pending = [], None, None
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("device-list "):
            devices = [unquote(item) for item in line[len("device-list "):].split(" | ")] \
                if line[len("device-list "):] else []
        elif line == "program":
            pending = {"devices": devices, "messages": [], "status": []}
            updates.append(pending)
        elif pending is not None and line.startswith("message "):
            pending["messages"].append(unquote(line[len("message "):]))
        elif pending is not None and line.startswith("status "):
            pending["status"].append(unquote(line[len("status "):]))
    return updates


def field(line, name):
    m = re.search(r"(?:^| )" + re.escape(name) + r"=(\S*)", line)
    return m.group(1) if m else None


def wine_bus(path):
    """bus.log, as uniform events: ('header-read'|'trigger', wLength, buffer, status),
    ('bulk', endpoint, length, data, status), ('reset', endpoint, status)."""
    events = []
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        # A request to the port while it is empty carries no setup packet; the
        # device never sees it (winsim's requests list the device's only).
        if line.startswith("hub descriptor ") and field(line, "port") == "2" \
                and field(line, "wValue"):
            value = field(line, "wValue").upper()
            kind = {"0X0200": "header-read", "0X0255": "trigger"}.get(value)
            if kind:
                events.append((kind, int(field(line, "wLength")), int(field(line, "out")),
                               field(line, "status").upper()))
        elif line.startswith("urb bulk ") and field(line, "endpoint") == "0x01":
            events.append(("bulk", "0x01", int(field(line, "length")), field(line, "data"),
                           field(line, "status").upper()))
        elif line.startswith("urb reset-pipe "):
            events.append(("reset", field(line, "endpoint"), field(line, "status").upper()))
    return events


# --- The winsim side ---------------------------------------------------------------

def q417_devices(node):
    """Every Q417 device object in a machine description."""
    if isinstance(node, dict):
        if node.get("kind") == "q417":
            yield node
        for value in node.values():
            yield from q417_devices(value)
    elif isinstance(node, list):
        for value in node:
            yield from q417_devices(value)


def prepare_scenario(scenario, firmware, device, work):
    """The scenario with its machine inline, FILE for its files and the Q417 set up as
    the test bus was; written to WORK, returned as its path."""
    path = scenario if os.path.isabs(scenario) else os.path.join(ROOT, scenario)
    with open(path) as f:
        text = json.load(f)
    folder = os.path.dirname(os.path.abspath(path))
    machine = text.get("machine")
    if isinstance(machine, str):
        with open(os.path.join(folder, machine)) as f:
            text["machine"] = json.load(f)
    text["files"] = {name: os.path.abspath(firmware) if firmware else os.path.join(folder, value)
                     for name, value in text.get("files", {}).items()}
    for q417 in q417_devices(text["machine"]):
        settings = q417.setdefault("q417", {})
        if "ReturnDelayMs" in device:
            settings["returnDelayMs"] = device["ReturnDelayMs"]
        if "TriggerError" in device:
            settings["triggerReplies"] = [{31: "stall", 23: "crc"}[device["TriggerError"]]]
        if "TriggersToLeave" in device:
            settings["leaveAfterTriggers"] = device["TriggersToLeave"]
        if device.get("EndpointLayout") == 1:
            settings.setdefault("updateMode", {})["configuration"] = {"interfaces": [{
                "class": 255, "endpoints": [{"address": "0x82", "type": "bulk"},
                                            {"address": "0x01", "type": "bulk"}]}]}
        failures = settings.get("updateMode", {}).get("faults", {}).get("failTransfers", [])
        if device.get("FailBlock") and failures:
            failures[0]["transfer"] = device["FailBlock"] + 1  # the header is transfer 1
    # The device leaves, then comes back after its return delay: wait that long too.
    delay = device.get("ReturnDelayMs", 2000)
    for step in text.get("script", []):
        if "wait" in step:
            step["wait"] = max(step["wait"], delay + 3000)
    out = os.path.join(work, os.path.basename(path))
    with open(out, "w") as f:
        json.dump(text, f, indent=2)
    return out


def run_quillsim(quillsim, scenario, work):
    base = os.path.join(work, os.path.basename(scenario).replace(".json", ""))
    result = subprocess.run([quillsim, "run", scenario, "--json",
                             base + ".jsonl", "--requests", base + ".requests"],
                            capture_output=True, text=True)
    with open(base + ".out", "w") as out:
        out.write(result.stdout + result.stderr)
    if result.returncode != 0:
        raise SystemExit("quillsim run %s failed (exit %d): %s" % (
            scenario, result.returncode, result.stdout.strip().splitlines()[-1:]))
    return base


def winsim_dialog(base):
    updates, devices, pending = [], None, None
    for line in open(base + ".out"):
        m = re.match(r"\[\s*[\d.]+ s\] (.*)$", line.rstrip("\n"))
        if not m:
            continue
        text = m.group(1)
        if text.startswith("device list:"):
            rest = text[len("device list:"):].strip()
            devices = [] if rest == "(empty)" else re.findall(r'\d+ "((?:[^"\\]|\\.)*)"', rest)
        elif text == "user: clicks Program":
            pending = {"devices": devices, "messages": [], "status": []}
            updates.append(pending)
        elif pending is not None and text.startswith("message box: "):
            pending["messages"].append(unquote(text[len("message box: "):]))
        elif pending is not None and text.startswith("status line: "):
            pending["status"].append(unquote(text[len("status line: "):]))
    return updates


def winsim_bus(base):
    """The device's requests (every mode, in order) and the hub's trigger buffers."""
    buffers = []
    for line in open(base + ".jsonl"):
        event = json.loads(line)
        f = event.get("fields", {})
        if event.get("kind") == "User" and event.get("text", "").startswith("DeviceIoControl") \
                and f.get("ioctl", "").upper().endswith("220410"):
            buffers.append(int(f.get("out", "0")))
    events, i = [], 0
    for line in open(base + ".requests"):
        line = line.rstrip("\n")
        if line.startswith("descriptor type=2 index=0 ") or line.startswith("descriptor type=2 index=85 "):
            # Hub requests (the header read and the trigger) are the ones quillprog sent;
            # quillfw's configuration reads come as URBs after select-configuration, never
            # right before an index 85 request.
            kind = "trigger" if " index=85 " in line else "header-read"
            events.append([kind, int(field(line, "length")), None, field(line, "status").upper()])
        elif line.startswith("bulk endpoint=0x01 "):
            events.append(("bulk", "0x01", int(field(line, "length")), field(line, "data"),
                           field(line, "status").upper()))
        elif line.startswith("reset-pipe "):
            events.append(("reset", field(line, "endpoint"), field(line, "status").upper()))
    # Buffers in order of the hub descriptor requests quillprog made.
    hub = [e for e in events if e[0] in ("header-read", "trigger")]
    trigger_like = [e for k, e in enumerate(hub)
                    if e[0] == "trigger" or (k + 1 < len(hub) and hub[k + 1][0] == "trigger")]
    for e, size in zip(trigger_like, buffers):
        e[2] = size
    return [tuple(e) for e in events]


def split_updates(events):
    """An update begins at a header read followed by a trigger request."""
    updates = []
    for k, e in enumerate(events):
        starts = e[0] == "header-read" and k + 1 < len(events) and events[k + 1][0] == "trigger"
        if starts:
            updates.append([])
        if starts or (updates and e[0] != "header-read"):
            updates[-1].append(e)
    return updates


# --- Comparing ---------------------------------------------------------------------

class Report:
    def __init__(self):
        self.differences = 0
        self.gaps = 0
        self.same = 0

    def compare(self, what, wine, winsim, gap=None):
        if wine == winsim:
            self.same += 1
            print("same      %s" % what)
        elif gap:
            self.gaps += 1
            print("Wine gap  %s: Wine %s, winsim %s (%s)" % (what, short(wine), short(winsim),
                                                             KNOWN_WINE_GAPS[gap]))
        else:
            self.differences += 1
            print("DIFFERENT %s: Wine %s, winsim %s" % (what, short(wine), short(winsim)))


def short(value, limit=300):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def device_setting(text):
    name, _, value = text.partition("=")
    if name not in DEVICE_SETTINGS:
        raise argparse.ArgumentTypeError("not a setting the comparison follows: %s (%s)" % (
            name, ", ".join(DEVICE_SETTINGS)))
    number = int(value, 0)
    if name == "TriggerError" and number not in (31, 23):
        raise argparse.ArgumentTypeError("TriggerError is 31 or 23")
    return name, number


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("wine_dir")
    parser.add_argument("quillsim")
    parser.add_argument("--firmware")
    parser.add_argument("--scenario", action="append")
    parser.add_argument("--device", action="append", type=device_setting, default=[])
    args = parser.parse_args()
    wine_dir, quillsim = args.wine_dir, args.quillsim
    device = dict(args.device)
    wine_updates = wine_dialog(os.path.join(wine_dir, "observed.txt"))
    wine_events = split_updates(wine_bus(os.path.join(wine_dir, "bus.log")))

    sim_updates, sim_events = [], []
    played = os.path.join(wine_dir, "winsim")
    os.makedirs(played, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for scenario in args.scenario or SCENARIOS:
            base = run_quillsim(quillsim, prepare_scenario(scenario, args.firmware, device, played),
                                work)
            dialog, events = winsim_dialog(base), split_updates(winsim_bus(base))
            if len(dialog) != len(events):
                raise SystemExit("%s: %d Program presses but %d triggers" % (
                    scenario, len(dialog), len(events)))
            sim_updates += dialog
            sim_events += events

    report = Report()
    report.compare("number of updates", len(wine_updates), len(sim_updates))
    for n, (wine, sim, wine_bus_events, sim_bus_events) in enumerate(
            zip(wine_updates, sim_updates, wine_events, sim_events), 1):
        name = "update %d: " % n
        report.compare(name + "device list length", len(wine["devices"] or []),
                       len(sim["devices"] or []))
        all_unknown = all(d == UNKNOWN for d in wine["devices"] or [])
        report.compare(name + "device list texts", wine["devices"], sim["devices"],
                       gap="device list texts" if all_unknown else None)
        report.compare(name + "message boxes", wine["messages"], sim["messages"])
        report.compare(name + "status-line texts", wine["status"], sim["status"])
        pick = lambda events, kinds: [e for e in events if e[0] in kinds]
        report.compare(name + "header read (wLength, buffer, status)",
                       pick(wine_bus_events, ("header-read",)), pick(sim_bus_events, ("header-read",)))
        report.compare(name + "trigger requests (wLength, buffer, status)",
                       pick(wine_bus_events, ("trigger",)), pick(sim_bus_events, ("trigger",)))
        wine_out = pick(wine_bus_events, ("bulk", "reset"))
        sim_out = pick(sim_bus_events, ("bulk", "reset"))
        report.compare(name + "OUT transfers and pipe resets (count)", len(wine_out), len(sim_out))
        header_w = [e for e in wine_out if e[0] == "bulk"][:1]
        header_s = [e for e in sim_out if e[0] == "bulk"][:1]
        report.compare(name + "the header transfer", header_w, header_s)
        for k, (w, s) in enumerate(zip(wine_out, sim_out)):
            label = "transfer %d" % (k + 1) if w[0] == "bulk" else "reset %d" % (k + 1)
            report.compare(name + label + " (kind, length, bytes, status)", w, s)
    print("wine-compare: %d the same, %d documented Wine gaps, %d differences" % (
        report.same, report.gaps, report.differences))
    return 1 if report.differences else 0


if __name__ == "__main__":
    sys.exit(main())
