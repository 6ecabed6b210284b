#!/usr/bin/env python3
"""quillsim run --junit: a run with a disabled click and a failing expect
step writes well-formed JUnit XML, one test case per expectation, the failing
ones with their messages (markup in them escaped), and the script goes on
past the disabled click to its end.

usage: check_junit.py QUILLSIM EXAMPLES SCRATCH"""
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

quillsim, examples, scratch = (os.path.abspath(path) for path in sys.argv[1:4])
os.makedirs(scratch, exist_ok=True)
scenario = os.path.join(scratch, "junit.json")
with open(scenario, "w") as out:
    json.dump({
        "machine": os.path.join(examples, "machines", "default-nt.json"),
        "files": {"sample.hex": os.path.join(examples, "firmware", "sample.hex")},
        "script": [{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"},
                   {"click": "Program"}, {"click": "Refresh"}, {"waitFor": "Complete!"},
                   {"answer": "OK"}, {"expect": {"status": "<&\"'>"}}, {"click": "Close"}],
        "expect": {"status": "Firmware Update Complete.", "applicationEnded": True},
    }, out)
report = os.path.join(scratch, "junit.xml")
run = subprocess.run([quillsim, "run", scenario, "--junit", report], capture_output=True, text=True)
problems = []
if run.returncode != 1:
    problems.append(f"exit status {run.returncode}, expected 1")
suite = ElementTree.parse(report).getroot().find("testsuite")
cases = {case.get("name"): case.find("failure") for case in suite.iter("testcase")}
failures = {name: failure.get("message") for name, failure in cases.items() if failure is not None}
expected_failures = {
    "step 4 (/script/4)": "Refresh is disabled",
    "step 7 (/script/7)": "status line was \"Firmware Update Complete.\", expected \"<&\"'>\"",
}
if suite.get("tests") != str(len(cases)) or len(cases) != 7:
    problems.append(f"{len(cases)} test cases ({suite.get('tests')} counted), expected 7: {sorted(cases)}")
if failures != expected_failures:
    problems.append(f"failures {failures}, expected {expected_failures}")
for held in ("/expect/status", "/expect/applicationEnded", "script"):
    if held not in cases or cases[held] is not None:
        problems.append(f"{held} did not hold")
for problem in problems:
    print("FAILED:", problem)
sys.exit(1 if problems else 0)
