#!/usr/bin/env bash
# Times CI (.ci/run) from a clean clone on a machine that has never seen the
# project: every package the build and the tests need is downloaded and
# installed inside the timed run, as on a new CI machine.
#
#   scripts/fresh-ci.sh [COMMIT]     (default: HEAD of this repository)
#
# Needs root and debootstrap. Makes once, and keeps, a Debian bookworm root
# holding what a new C++ machine of our kind has out of the box (g++, cmake
# with CTest, GoogleTest, GoogleMock, Google Benchmark, clang-format,
# clang-tidy, cppcheck, clangd, bear, gdb, valgrind, heaptrack, git, python3)
# and nothing of ours: no i386 architecture, empty apt lists and cache. The
# base is debootstrap's minbase with those packages and this machine's apt
# settings, as the machine's own image is a minimal Debian. Each
# run mounts a throwaway copy of it (an overlay, or a copy where overlays do
# not work), clones COMMIT into it, runs `time .ci/run` there, and prints the
# run's wall and CPU time, the installs' and the stages' own lines, and the
# machine's load (uptime every 30 s). The copy is unmounted and removed
# however the run ends.
#
# QUILL_FRESH_DIR (default /var/tmp/quill-fresh) holds the base root and one
# folder of logs per run (run.log, load.log, the clone's build/*.log).
# QUILL_FRESH_REBUILD=1 makes the base again. QUILL_FRESH_MIRROR overrides
# the Debian mirror (default: the one this machine's apt uses).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$repo" rev-parse --verify "${1:-HEAD}^{commit}")
top=${QUILL_FRESH_DIR:-/var/tmp/quill-fresh}
base=$top/base
suite=bookworm

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-ci: run as root (debootstrap, chroot and mounts need it)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || {
  echo "fresh-ci: debootstrap is missing (apt-get install debootstrap)" >&2
  exit 1
}

# The mirror this machine's apt uses, so that the run downloads from the
# same place a new machine here would.
mirror_of() {
  local suite_pattern=$1
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk -v want="$suite_pattern" '/^URIs:/ {uri = $2} /^Suites:/ && $0 ~ want && !found {print uri; found = 1}'
}
mirror=${QUILL_FRESH_MIRROR:-$(mirror_of " $suite( |$)")}
security_mirror=$(mirror_of "$suite-security")
mirror=${mirror:-http://deb.debian.org/debian}
security_mirror=${security_mirror:-http://deb.debian.org/debian-security}

# What a new machine of this kind has, as Debian packages (ctest comes with
# cmake).
machine_packages=(
  g++ cmake libgtest-dev libgmock-dev libbenchmark-dev
  clang-format clang-tidy cppcheck clangd bear gdb valgrind heaptrack
  git python3 ca-certificates
)

make_base() {
  local new=$top/base.new start=$SECONDS
  rm -rf "$new"
  mkdir -p "$top"
  echo "fresh-ci: making the base root in $base from $mirror"
  debootstrap --variant=minbase "$suite" "$new" "$mirror" >"$top/debootstrap.log" 2>&1 || {
    tail -20 "$top/debootstrap.log" >&2
    return 1
  }
  cat >"$new/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security_mirror
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  rm -f "$new/etc/apt/sources.list"
  # This machine's image-wide apt settings (no index dates checked, no
  # AppStream data), which a new machine of the kind has too.
  local conf
  for conf in /etc/apt/apt.conf.d/99* /etc/apt/apt.conf.d/docker-*; do
    [ -f "$conf" ] && cp "$conf" "$new/etc/apt/apt.conf.d/"
  done
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  in_root "$new" apt-get update -qq
  in_root "$new" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq "${machine_packages[@]}" >>"$top/debootstrap.log" 2>&1
  # A new machine starts with nothing downloaded.
  in_root "$new" apt-get clean
  unmount_all "$new"
  find "$new/var/lib/apt/lists" -mindepth 1 -maxdepth 1 ! -name lock ! -name partial -exec rm -rf {} +
  rm -rf "$base"
  mv "$new" "$base"
  echo "fresh-ci: base root made in $((SECONDS - start)) s ($(du -sh "$base" | cut -f1))"
}

# Mounts the kernel's file systems into ROOT: /proc, /sys, /dev and its
# pseudo-terminals, a shared-memory tmpfs (Wine's wineserver, ccache-free
# builds' semaphores) and an empty /run, as a booted machine has them.
mounted=()
mount_kernel_fs() {
  local root=$1
  mount -t proc proc "$root/proc"
  mounted+=("$root/proc")
  mount -t sysfs sysfs "$root/sys"
  mounted+=("$root/sys")
  mount --bind /dev "$root/dev"
  mounted+=("$root/dev")
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  mounted+=("$root/dev/pts")
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  mounted+=("$root/dev/shm")
  mount -t tmpfs -o mode=0755 run "$root/run"
  mounted+=("$root/run")
  mkdir -p "$root/run/lock"
}
unmount_all() {
  local root=$1 i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    case ${mounted[i]} in
      "$root"/*) umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ;;
    esac
  done
  local kept=()
  for i in "${mounted[@]}"; do
    case $i in "$root"/*) ;; *) kept+=("$i") ;; esac
  done
  mounted=("${kept[@]}")
}
in_root() {
  local root=$1
  shift
  mountpoint -q "$root/proc" || mount_kernel_fs "$root"
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# shellcheck disable=SC2317 # called by the trap
# Ends the processes the run left behind in ROOT (wineserver, Xvfb), by id.
end_processes_in() {
  local root=$1 proc
  for proc in /proc/[0-9]*; do
    if [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ]; then
      kill -KILL "${proc#/proc/}" 2>/dev/null || true
    fi
  done
}

if [ "${QUILL_FRESH_REBUILD:-0}" = 1 ] || [ ! -d "$base" ]; then
  make_base
fi

scratch=$(mktemp -d "$top/run.XXXXXX")
root=$scratch/root
logs=$top/logs/$(date -u +%Y%m%dT%H%M%SZ)-${commit:0:10}
mkdir -p "$root" "$logs"
logger_pid=
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  local rc=$?
  # Every step of the clean-up runs, whatever failed before it.
  set +e
  [ -z "$logger_pid" ] || kill "$logger_pid" 2>/dev/null
  end_processes_in "$root"
  unmount_all "$root"
  if mountpoint -q "$root"; then umount "$root" || umount -l "$root"; fi
  rm -rf "$scratch"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$SECONDS
mkdir -p "$scratch/upper" "$scratch/work"
if mount -t overlay overlay -o "lowerdir=$base,upperdir=$scratch/upper,workdir=$scratch/work" "$root" 2>/dev/null; then
  how=overlay
else
  cp -a "$base/." "$root/"
  how=copy
fi
echo "fresh-ci: scratch root ($how of the base) in $((SECONDS - start)) s"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The fresh machine's state, checked rather than assumed.
debs=$(find "$root/var/cache/apt/archives" -name '*.deb' | wc -l)
lists=$(find "$root/var/lib/apt/lists" -maxdepth 1 -name '*Packages*' | wc -l)
arches=$(chroot "$root" dpkg --print-foreign-architectures | tr '\n' ' ')
if [ "$debs" != 0 ] || [ "$lists" != 0 ] || [ -n "$arches" ]; then
  echo "fresh-ci: the base is not fresh: $debs cached .deb files, $lists package lists, foreign architectures '$arches'" >&2
  exit 1
fi

git clone --quiet --no-checkout "$(git -C "$repo" rev-parse --path-format=absolute --git-common-dir)" "$root/root/quill"
git -C "$root/root/quill" checkout --quiet --detach "$commit"
echo "fresh-ci: $(git -C "$root/root/quill" log -1 --format='%h %s' "$commit")"

(while :; do
  uptime
  sleep 30
done) >"$logs/load.log" 2>&1 &
logger_pid=$!

echo "fresh-ci: .ci/run in the scratch root from $(date -u +%H:%M:%S) UTC; log in $logs/run.log"
rc=0
in_root "$root" bash -c 'cd /root/quill && time .ci/run' >"$logs/run.log" 2>&1 || rc=$?
kill "$logger_pid" 2>/dev/null
wait "$logger_pid" 2>/dev/null || true
logger_pid=
uptime >>"$logs/load.log"
cp "$root"/root/quill/build/*.log "$logs/" 2>/dev/null || true

echo "fresh-ci: .ci/run ended at $(date -u +%H:%M:%S) UTC with exit $rc"
echo "== installs"
grep -hE '^(setup|wine-setup): ' "$logs/run.log" "$logs/setup-test.log" 2>/dev/null || true
echo "== the whole run (bash's time: wall, then user and system CPU)"
grep -E '^(real|user|sys)[[:space:]]' "$logs/run.log" || true
echo "== stages"
sed -n '/^== steps/,$p' "$logs/run.log"
echo "== load (uptime every 30 s)"
awk '{print $1, $(NF-2), $(NF-1), $NF}' "$logs/load.log"
exit $rc
