#!/usr/bin/env bash
# The main job: build quillsim and run the demo, a whole simulated update of
# a Q417 with the bundled sample firmware, ending with the device's flash
# checked against the image. Extra arguments go to `quillsim demo`
# (-v: the driver's trace, IRPs and URBs; --json FILE; --snapshots DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target quillsim -j 2 >/dev/null
build/host/tools/quillsim/quillsim demo "$@"
