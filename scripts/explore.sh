#!/usr/bin/env bash
# Schedule exploration for a given time: runs example scenarios under PCT
# schedules with quillsim (`run --schedules`), a batch per scenario in turn,
# each batch with the next seeds, until the time is up; then the explored
# hostile driver tests. Prints every distinct outcome with its first seed;
# exits nonzero when any schedule failed.
#
#   scripts/explore.sh [SECONDS] [SCENARIO...]
#
# SECONDS defaults to 300; scenarios default to examples/scenarios/*.json.
# EXPLORE_BATCH sets the schedules per batch (default 50). Needs the host
# build (cmake --preset host && cmake --build --preset host). The scenarios
# run with the release build's quillsim (preset release, built or brought up
# to date here: the same checks, several times the schedules in the time);
# QUILLSIM names another quillsim instead.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
shift || true
scenarios=("$@")
if [[ ${#scenarios[@]} -eq 0 ]]; then scenarios=("$root"/examples/scenarios/*.json); fi
batch=${EXPLORE_BATCH:-50}
[[ -x $root/build/host/tests/hostile_driver_tests ]] || { echo "build the host preset first" >&2; exit 2; }
if [[ -z ${QUILLSIM:-} ]]; then
  (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release >/dev/null)
fi
quillsim=${QUILLSIM:-$root/build/release/tools/quillsim/quillsim}
echo "== quillsim: $quillsim"

end=$((SECONDS + seconds))
seed=1
status=0
while ((SECONDS < end)); do
  for scenario in "${scenarios[@]}"; do
    ((SECONDS < end)) || break
    echo "== $(basename "$scenario"), seeds $seed to $((seed + batch - 1))"
    "$quillsim" run "$scenario" --schedules "$batch" --seed "$seed" || status=1
  done
  seed=$((seed + batch))
done
echo "== explored hostile driver tests"
"$root"/build/host/tests/hostile_driver_tests --gtest_filter='*Explored*' --gtest_brief=1 || status=1
exit $status
