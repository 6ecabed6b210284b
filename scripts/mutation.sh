#!/usr/bin/env bash
# Mutation check: applies each small fault of scripts/mutations.txt to the
# product code (app/, afx/, driver/, include/), to the simulated PC the
# tests run it on (winsim/) or to the tools (tools/) one at a time, rebuilds the host preset
# incrementally, runs the host suite (ctest -j2, the product's labels first)
# and reports whether the suite failed ("killed") or passed ("SURVIVED").
#
#   scripts/mutation.sh [--list FILE] [N...]
#
# The mutants live in a scratch copy of the tree, build/mutation/tree, with
# its own host build (build/mutation/tree/build/host): the working tree and
# its build stay untouched, so work can go on while a run takes its time.
# The copy is brought up to date at the start (changed files only) and the
# mutated file restored after every mutant, also on error or interrupt.
# N selects entries by number (1-based, as printed); without any, all run.
# MUTATION_REVISION=REV runs the list against the tree of a commit (git
# archive) instead of the working tree, e.g. to measure before a change.
# MUTATION_CTEST_ARGS adds ctest arguments (e.g. "-L app" while writing a new
# entry); the recorded figures come from runs without it.
# Exits nonzero when an entry's snippet does not occur exactly once, a mutant
# does not build, or a mutant survives without an "explained:" reason.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/mutations.txt
selected=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --list) list=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) selected+=("$1"); shift ;;
  esac
done

work=$root/build/mutation
tree=$work/tree
mkdir -p "$work"
exec 9>"$work/lock"
flock -n 9 || { echo "another mutation run holds $work/lock" >&2; exit 1; }
backup=$work/original
restore_file=$work/restore_to
# The run reads its own copy of the list, so that the list can be edited
# while a run takes its time.
cp "$list" "$work/list.txt"
list=$work/list.txt

# Parses the list; "check" validates every entry, "field N KEY" prints one
# field, "apply N" writes the mutant (the original goes to $backup first).
helper() {
  python3 - "$list" "$root" "$@" <<'PY'
import sys

list_path, root, command = sys.argv[1], sys.argv[2], sys.argv[3]
KEYS = ("file", "find", "replace", "fault", "explained")

def parse():
    entries, current = [], {}
    with open(list_path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                if current:
                    entries.append(current)
                    current = {}
                continue
            key, sep, value = line.partition(":")
            if not sep or key not in KEYS or key in current:
                sys.exit(f"{list_path}:{number}: expected one of {', '.join(KEYS)} once per entry")
            current[key] = value[1:] if value.startswith(" ") else value
            current.setdefault("line", number)
    if current:
        entries.append(current)
    return entries

def text_of(entry, key):
    # {NL} stands for a line break inside a snippet.
    return entry.get(key, "").replace("{NL}", "\n")

def problem(entry):
    for key in ("file", "find", "replace", "fault"):
        if key not in entry:
            return f"no {key}:"
    if not entry["file"].startswith(("app/", "afx/", "driver/", "include/", "winsim/", "tools/")):
        return "not a product, winsim or tools file"
    try:
        with open(f"{root}/{entry['file']}", encoding="utf-8") as f:
            source = f.read()
    except OSError as error:
        return str(error)
    found = source.count(text_of(entry, "find"))
    if found != 1:
        return f"snippet occurs {found} times in {entry['file']}"
    if text_of(entry, "find") == text_of(entry, "replace"):
        return "replacement equals the snippet"
    return None

if command == "sync":
    # Copies what differs into the scratch tree, so that unchanged files keep
    # their time stamps (and objects) and changed ones get new ones.
    import os, shutil
    tree = sys.argv[4]
    def wanted(rel):
        top = rel.split(os.sep, 1)[0]
        return top not in ("build", ".git")
    present = set()
    for folder, dirs, files in os.walk(root):
        rel_folder = os.path.relpath(folder, root)
        dirs[:] = [d for d in dirs if wanted(os.path.normpath(os.path.join(rel_folder, d)))]
        for name in files:
            rel = os.path.normpath(os.path.join(rel_folder, name))
            present.add(rel)
            source, target = os.path.join(root, rel), os.path.join(tree, rel)
            with open(source, "rb") as f:
                data = f.read()
            try:
                with open(target, "rb") as f:
                    if f.read() == data:
                        continue
            except OSError:
                pass
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
            shutil.copymode(source, target)
    for folder, dirs, files in os.walk(tree):
        rel_folder = os.path.relpath(folder, tree)
        dirs[:] = [d for d in dirs if wanted(os.path.normpath(os.path.join(rel_folder, d)))]
        for name in files:
            rel = os.path.normpath(os.path.join(rel_folder, name))
            if rel not in present:
                os.remove(os.path.join(tree, rel))
    sys.exit(0)

entries = parse()
if command == "check":
    bad = 0
    for i, entry in enumerate(entries, 1):
        why = problem(entry)
        if why:
            bad += 1
            print(f"entry {i} ({list_path}:{entry['line']}): {why}", file=sys.stderr)
    print(len(entries))
    sys.exit(1 if bad else 0)
elif command == "field":
    print(entries[int(sys.argv[4]) - 1].get(sys.argv[5], ""))
elif command == "apply":
    entry = entries[int(sys.argv[4]) - 1]
    path = f"{sys.argv[6]}/{entry['file']}"
    with open(path, encoding="utf-8") as f:
        source = f.read()
    with open(sys.argv[5], "w", encoding="utf-8") as f:
        f.write(source)
    with open(path, "w", encoding="utf-8") as f:
        f.write(source.replace(text_of(entry, "find"), text_of(entry, "replace"), 1))
PY
}

# Puts the mutated file back. A plain copy, so that its time stamp is new and
# the next build recompiles it.
restore() {
  if [[ -f $restore_file ]]; then
    cp "$backup" "$(cat "$restore_file")"
    rm -f "$restore_file" "$backup"
  fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

# A run killed hard leaves its mutant in place: undo it first (the sync
# below would too).
if [[ -f $restore_file ]]; then
  echo "restoring $(cat "$restore_file") from an interrupted run"
  restore
fi

source_root=$root
if [[ -n ${MUTATION_REVISION:-} ]]; then
  source_root=$work/revision
  rm -rf "$source_root" && mkdir -p "$source_root"
  git -C "$root" archive "$MUTATION_REVISION" | tar -x -C "$source_root"
fi
root=$source_root helper sync "$tree"

# Every snippet must occur exactly once in the tree the mutants come from.
count=$(root=$tree helper check)
if [[ ${#selected[@]} -eq 0 ]]; then
  selected=($(seq 1 "$count"))
fi
if [[ ! -f $tree/build/host/CMakeCache.txt ]]; then
  # The same compiler cache entries serve the working tree's build when it is
  # configured the same way (see docs/reliability.md).
  launcher=
  if command -v ccache >/dev/null; then
    launcher="env;CCACHE_BASEDIR=$tree;CCACHE_NOHASHDIR=1;ccache"
  fi
  # Every mutant relinks a dozen programs with debug information: lld does
  # that several times faster than the default linker.
  linker=
  if command -v ld.lld >/dev/null; then
    linker=-fuse-ld=lld
  fi
  (cd "$tree" && cmake --preset host -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" \
     -DCMAKE_C_COMPILER_LAUNCHER="$launcher" -DCMAKE_EXE_LINKER_FLAGS="$linker" \
     >"$work/configure.log" 2>&1) ||
    { echo "configuring $tree failed (see $work/configure.log)" >&2; exit 1; }
fi

build_tree() { (cd "$tree" && cmake --build --preset host -j2 >"$1" 2>&1); }

first_labels=${MUTATION_FIRST_LABELS:-image|usb|app|driver|dialog|quillsim}
ctest_run() {
  (cd "$tree" && timeout 1800 ctest --preset host -j2 --stop-on-failure --timeout 300 "$@" \
     ${MUTATION_CTEST_ARGS:-})
}
suite() {
  ctest_run -L "$first_labels" >"$1" 2>&1 && ctest_run -LE "$first_labels" >>"$1" 2>&1
}

echo "building the unmutated tree"
if ! build_tree "$work/build.log"; then
  echo "the unmutated tree does not build (see $work/build.log)" >&2
  exit 1
fi

killed=0 survived=0 explained=0 unbuilt=0
started=$(date +%s)
for n in "${selected[@]}"; do
  file=$(helper field "$n" file)
  fault=$(helper field "$n" fault)
  reason=$(helper field "$n" explained)
  echo "$tree/$file" >"$restore_file"
  helper apply "$n" "$backup" "$tree"
  t0=$(date +%s)
  if ! build_tree "$work/mutant-$n.build.log"; then
    result="NOT BUILT (see $work/mutant-$n.build.log)"
    unbuilt=$((unbuilt + 1))
  # The whole host suite, in two passes so that most mutants fall early: the
  # product's own labels first, then everything else. Timeouts count as
  # failures: a mutant that hangs the suite is caught.
  elif ! suite "$work/mutant-$n.ctest.log"; then
    first=$(grep -m1 -E '\((Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception)\)' \
              "$work/mutant-$n.ctest.log" | sed -E 's/^[[:space:]]*[0-9]+ - //' || true)
    result="killed${first:+ by $first}"
    killed=$((killed + 1))
  elif [[ -n $reason ]]; then
    result="SURVIVED (explained: $reason)"
    survived=$((survived + 1))
    explained=$((explained + 1))
  else
    result="SURVIVED"
    survived=$((survived + 1))
  fi
  restore
  printf '%3d %-34s %s (%ss)\n    %s\n' "$n" "$file" "$result" $(($(date +%s) - t0)) "$fault"
done

echo "rebuilding the unmutated tree"
build_tree "$work/build.log" || echo "warning: the restored tree did not rebuild" >&2

total=${#selected[@]}
echo "summary: $killed of $total killed, $survived survived ($explained explained)," \
     "$unbuilt not built, $(($(date +%s) - started))s"
if [[ $((survived - explained)) -gt 0 || $unbuilt -gt 0 ]]; then
  exit 1
fi
