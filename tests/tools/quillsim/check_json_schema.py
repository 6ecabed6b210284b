#!/usr/bin/env python3
"""quillsim run --json against docs/quillsim-events.schema.json: every line of
real logs (the demo, a run that fails an expectation, planned allocation
failures, a device pulled during the download) is valid, the Run record comes
first, the Verdict last with each expectation's result before it, and the
verdict agrees with the exit status.

usage: check_json_schema.py QUILLSIM EXAMPLES SCHEMA SCRATCH"""
import json
import os
import subprocess
import sys

import jsonschema

quillsim, examples, schema_path, scratch = (os.path.abspath(path) for path in sys.argv[1:5])
os.makedirs(scratch, exist_ok=True)
with open(schema_path) as source:
    schema = json.load(source)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)

failing = os.path.join(scratch, "failing.json")
with open(failing, "w") as out:
    json.dump({
        "machine": os.path.join(examples, "machines", "default-nt.json"),
        "files": {"sample.hex": os.path.join(examples, "firmware", "sample.hex")},
        "script": [{"answer": "OK"}, {"select": 2}, {"browse": "sample.hex"},
                   {"click": "Program"}, {"waitFor": {"contains": "Complete"}}, {"answer": "OK"}],
        "expect": {"status": "Error", "applicationEnded": True},
    }, out)

runs = [(["demo"], 0), (["run", failing], 1),
        (["run", os.path.join(examples, "scenarios", "failed-allocations.json")], 0),
        (["run", os.path.join(examples, "scenarios", "pulled-during-download.json")], 0)]
problems = []
for number, (arguments, exit_status) in enumerate(runs):
    log = os.path.join(scratch, f"log{number}.jsonl")
    run = subprocess.run([quillsim, *arguments, "--json", log], capture_output=True, text=True)
    name = " ".join(arguments)
    if run.returncode != exit_status:
        problems.append(f"{name}: exit status {run.returncode}, expected {exit_status}")
    with open(log) as lines:
        records = [json.loads(line) for line in lines]
    for line, record in enumerate(records, 1):
        for error in validator.iter_errors(record):
            problems.append(f"{name}: line {line}: {error.message} at {list(error.absolute_path)}")
    kinds = [record["kind"] for record in records]
    if kinds[0] != "Run" or kinds[-1] != "Verdict" or kinds.count("Run") + kinds.count("Verdict") != 2:
        problems.append(f"{name}: expected one Run record first and one Verdict record last")
    outcomes = [record for record in records if record["kind"] == "Expectation"]
    if not outcomes or kinds[-1 - len(outcomes):-1] != ["Expectation"] * len(outcomes):
        problems.append(f"{name}: the expectations do not come just before the verdict")
    failed = sum(1 for record in outcomes if record["fields"]["result"] == "failed")
    verdict = records[-1]["fields"]
    if verdict["exitCode"] != str(run.returncode) or verdict["failed"] != str(failed) or \
            verdict["expectations"] != str(len(outcomes)):
        problems.append(f"{name}: verdict {verdict} disagrees with exit status {run.returncode} "
                        f"and {failed} of {len(outcomes)} expectations failed")
for problem in problems[:40]:
    print("FAILED:", problem)
sys.exit(1 if problems else 0)
