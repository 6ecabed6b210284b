#!/usr/bin/env bash
# The main job: build quillsim and build the firmware image of the bundled
# sample Flash ROM file, exactly as the Program button does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target quillsim -j "$(nproc)" >/dev/null
build/host/tools/quillsim/quillsim image examples/firmware/sample.hex "$@"
