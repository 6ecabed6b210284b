#!/usr/bin/env python3
"""quillsim run PATH... as a suite: the example scenarios and the failing
ones run in one command, two at a time, writing one JUnit file and one HTML
report. Checks the runner's lines and summary, its exit status, the JUnit
file (a test case per scenario with its time and account, failures and the
unreadable scenario's error) and that the report holds every scenario and
refers to nothing outside itself.

usage: check_suite.py QUILLSIM EXAMPLE_SCENARIOS FAILING_SCENARIOS SCRATCH"""
import glob
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

quillsim, examples, failing, scratch = (os.path.abspath(path) for path in sys.argv[1:5])
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
junit = os.path.join(scratch, "suite.xml")
report = os.path.join(scratch, "suite.html")
run = subprocess.run([quillsim, "run", examples, failing, "-j", "2", "--junit", junit,
                      "--report", report], capture_output=True, text=True)
problems = []

def stem(path):
    return os.path.splitext(os.path.basename(path))[0]

passing = sorted(stem(path) for path in glob.glob(os.path.join(examples, "*.json")))
# What each failing scenario's first failure says, and the one that cannot be read.
failed = {
    "expect-step": 'status line was "Please Wait...", expected "Downloading..."',
    "impossible-step": "the device list has no such item",
    "wrong-message-boxes": '"Please select a device and file before programming!"], expected',
    "wrong-sequence": '"block 256", "block 256"',
    "wrong-status": 'status line was "Firmware Update Complete.", expected',
}
unreadable = {"unreadable": '/script/1/press: expected "Enter", "Escape" or "Alt+F4"'}
total = len(passing) + len(failed) + len(unreadable)

if run.returncode != 1:
    problems.append(f"exit status {run.returncode}, expected 1")
lines = re.findall(r"^\[ *(\d+)/(\d+)\] (PASSED|FAILED|ERROR) +([^\s:]+)(.*)$", run.stdout, re.M)
verdicts = {name: verdict for _, _, verdict, name, _ in lines}
if len(lines) != total or sorted(int(n) for n, _, _, _, _ in lines) != list(range(1, total + 1)):
    problems.append(f"{len(lines)} scenario lines numbered {[n for n, *_ in lines]}, expected {total}")
expected_verdicts = {**{name: "PASSED" for name in passing}, **{name: "FAILED" for name in failed},
                     **{name: "ERROR" for name in unreadable}}
if verdicts != expected_verdicts:
    wrong = {name: (verdicts.get(name), verdict) for name, verdict in expected_verdicts.items()
             if verdicts.get(name) != verdict}
    problems.append(f"verdicts (seen, expected): {wrong}")
summary = f"{total} scenarios in "
if summary not in run.stdout or f": {len(passing)} passed, {len(failed)} failed, 1 could not be read" not in run.stdout:
    problems.append("no summary line: " + run.stdout[-400:])

suites = ElementTree.parse(junit).getroot()
suite = suites.find("testsuite")
counts = {key: suite.get(key) for key in ("tests", "failures", "errors")}
if counts != {"tests": str(total), "failures": str(len(failed)), "errors": "1"}:
    problems.append(f"the test suite counts {counts}")
cases = {case.get("name"): case for case in suite.iter("testcase")}
if sorted(cases) != sorted(expected_verdicts):
    problems.append(f"test cases {sorted(cases)}")
for name, case in cases.items():
    time = case.get("time")
    if time is None or float(time) <= 0:
        problems.append(f"{name}: time {time!r}")
    output = case.findtext("system-out") or ""
    failure, error = case.find("failure"), case.find("error")
    if name in passing:
        if failure is not None or error is not None or "PASSED: the script ran" not in output:
            problems.append(f"{name}: not a passed test case with its account")
    elif name in failed:
        if failure is None or failed[name] not in failure.get("message") + failure.text:
            problems.append(f"{name}: failure {None if failure is None else failure.get('message')!r}")
        if "scenario: " not in output or "FAILED: " not in output:
            problems.append(f"{name}: the account is not its system-out")
    else:
        if error is None or unreadable[name] not in error.get("message"):
            problems.append(f"{name}: error {None if error is None else error.get('message')!r}")

with open(report, encoding="utf-8") as page:
    html = page.read()
sections = dict(re.findall(r'<section class="scenario" id="[^"]+" data-name="([^"]+)" data-verdict="(\w+)"', html))
if sections != {name: verdict.lower() for name, verdict in expected_verdicts.items()}:
    problems.append(f"the report's scenarios {sections}")
# Nothing from elsewhere: no external links, sources, styles or fonts (the
# only URL is the SVG namespace, a name that is never fetched).
outside = [url for url in re.findall(r"""(?:src|href|url)\s*[=(]\s*["']?([^"' )>]+)""", html)
           if not url.startswith(("#", "data:"))]
outside += [url for url in re.findall(r"https?://[^\"' <>]+", html) if url != "http://www.w3.org/2000/svg"]
if outside or "<link" in html or "@import" in html:
    problems.append(f"the report refers to {sorted(set(outside))[:5]}")

for problem in problems:
    print("FAILED:", problem)
if problems:
    print(run.stdout[-3000:], run.stderr[-2000:])
sys.exit(1 if problems else 0)
