#!/usr/bin/env python3
"""QUILL_SCENARIO_DIRS: a configure given a tester's folder registers each
scenario beneath it with ctest (label scenarios), named after its path in the
folder; a machine description there is no scenario, a file that is no JSON
is one (it fails when run, saying why).

usage: check_scenario_dirs.py SOURCE SCRATCH C_COMPILER CXX_COMPILER"""
import os
import shutil
import subprocess
import sys

source, scratch, c_compiler, cxx_compiler = sys.argv[1:5]
shutil.rmtree(scratch, ignore_errors=True)
tester = os.path.join(scratch, "my scenarios")
os.makedirs(os.path.join(tester, "updates"))
os.makedirs(os.path.join(tester, "machines"))
shutil.copy(os.path.join(source, "examples", "scenarios", "main-update.json"),
            os.path.join(tester, "updates", "main.json"))
shutil.copy(os.path.join(source, "examples", "machines", "default-nt.json"),
            os.path.join(tester, "machines", "pc.json"))
with open(os.path.join(tester, "broken.json"), "w") as out:
    out.write("{ not json")
build = os.path.join(scratch, "build")
configure = subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja",
                            f"-DCMAKE_C_COMPILER={c_compiler}", f"-DCMAKE_CXX_COMPILER={cxx_compiler}",
                            f"-DQUILL_SCENARIO_DIRS={tester}"], capture_output=True, text=True)
if configure.returncode != 0:
    sys.exit("FAILED: configure: " + configure.stdout[-2000:] + configure.stderr[-2000:])
listing = subprocess.run(["ctest", "--test-dir", build, "-N", "-L", "scenarios"],
                         capture_output=True, text=True).stdout
names = sorted(line.split(": ", 1)[1].strip() for line in listing.splitlines() if "Test #" in line)
mine = [name for name in names if name.startswith("scenario.my scenarios/")]
expected = ["scenario.my scenarios/broken", "scenario.my scenarios/updates/main"]
problems = []
if mine != expected:
    problems.append(f"the tester's tests {mine}, expected {expected}")
if "scenario.main-update" not in names:
    problems.append("the examples are no longer registered")
for problem in problems:
    print("FAILED:", problem)
shutil.rmtree(scratch, ignore_errors=True)
sys.exit(1 if problems else 0)
