#!/usr/bin/env bash
# The main job: build quillsim and run the demo, a whole simulated update of
# a Q417 with the bundled sample firmware, ending with the device's flash
# checked against the image. Extra arguments go to `quillsim demo`
# (-v: the driver's trace, IRPs and URBs; --json FILE; --snapshots DIR).
# quillsim is the optimised build (preset `release`: -O2, in build/release);
# the tests run the Debug and sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j 2 >/dev/null
build/release/tools/quillsim/quillsim demo "$@"
