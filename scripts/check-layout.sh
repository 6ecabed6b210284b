#!/usr/bin/env bash
# Checks the include directions of docs/architecture.md's layout:
#   - product code (app/, afx/, driver/) includes nothing of winsim but its
#     SDK headers (winsim/include), as it would see only the SDK on Windows;
#   - no header of winsim's kernel includes usb, pnp or a DLL folder, so the
#     kernel stays below everything that is built on it;
#   - winsim/usb's own files (the bus) and winsim/machine (the description
#     parser) know the device models only through their registry
#     (usb/models/models.h): they include no other header of usb/models/
#     and name no model;
#   - no two folders of winsim include each other, nor include each other
#     round a longer loop: each folder is built only on those below it
#     (the ground at the bottom, the machine's assembly and the harness on
#     top);
#   - the program's C heap calls reach winsim's counted heap: no product
#     library links malloc, calloc or free under their own names (only
#     static libraries are renamed after archiving, see
#     cmake/Warnings.cmake).
# BUILD is a built host tree (default build/host): the product's includes are
# read from the compiler's own dependency records there, so headers reached
# through other headers count too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
root=$PWD
status=0

[ -f "$build/build.ninja" ] || { echo "check-layout: $build is not a configured host build" >&2; exit 2; }

# ninja -t deps: "OBJECT: #deps N, ..." then one indented line per input, the
# source first. Only the objects of the current build graph (the log keeps
# records of removed ones); objects not built yet have no record, so build
# first.
mapfile -t objects < <(ninja -C "$build" -t targets all | sed -n 's/^\(.*\.o\): .*/\1/p')
records=$(ninja -C "$build" -t deps "${objects[@]}" 2>/dev/null)
# Inputs are named from the build directory, relative or absolute.
rel=$(realpath --relative-to="$build" "$root")/
product=$(awk -v root="$root/" -v rel="$rel" '
  /^[^ ].*: #deps/ { first = 1; next }
  /^    / {
    path = $1
    if (index(path, root) == 1) path = substr(path, length(root) + 1)
    else if (index(path, rel) == 1) path = substr(path, length(rel) + 1)
    if (first) { first = 0; source = path }
    if (source !~ /^(app|afx|driver)\//) next
    if (path ~ /^winsim\// && path !~ /^winsim\/include\//) print source " includes " path
  }' <<<"$records" | sort -u)
if [ -n "$product" ]; then
  echo "check-layout: product code includes winsim beyond its SDK headers:" >&2
  echo "$product" >&2
  status=1
fi
checked=$(grep -cE "^    ($root/|$rel)(app|afx|driver)/.*\.(cpp|c)\$" <<<"$records" || true)
[ "$checked" -gt 0 ] || { echo "check-layout: no product object has dependency records in $build" >&2; exit 2; }

kernel=""
for header in winsim/kernel/*.h; do
  deps=$(g++ -std=c++20 -fshort-wchar -Iinclude -Iwinsim -Iwinsim/include -x c++ -MM "$header" |
         tr ' \\' '\n\n' | grep . | xargs realpath -m --relative-to=. | grep -E '^winsim/(usb|pnp|kernel32|user32|setupapi|resources|harness)/' || true)
  for dep in $deps; do kernel+="$header includes $dep"$'\n'; done
done
if [ -n "$kernel" ]; then
  echo "check-layout: winsim's kernel headers include what is built on the kernel:" >&2
  printf '%s' "$kernel" >&2
  status=1
fi

bus_files=(winsim/usb/*.h winsim/usb/*.cpp winsim/machine/*.h winsim/machine/*.cpp)
models=$(awk -v root="$root/" -v rel="$rel" '
  /^[^ ].*: #deps/ { first = 1; next }
  /^    / {
    path = $1
    if (index(path, root) == 1) path = substr(path, length(root) + 1)
    else if (index(path, rel) == 1) path = substr(path, length(rel) + 1)
    if (first) { first = 0; source = path }
    if (source !~ /^winsim\/(usb\/[^\/]*|machine\/.*)$/) next
    if (path ~ /^winsim\/usb\/models\// && path != "winsim/usb/models/models.h") print source " includes " path
  }' <<<"$records" | sort -u)
# A model is named by its own header's name (q417), its registered name as a
# string ("mouse"; not "generic", UsbDevice itself, nor "hub", which is also
# the bus's word for its hubs), or the constant that holds it (kMouseModel).
for header in winsim/usb/models/*.h; do
  stem=$(basename "$header" .h)
  [ "$stem" = models ] && continue
  models+=$'\n'$(grep -n -i -H "$stem" "${bus_files[@]}" || true)
done
for name in $(sed -n 's/^inline constexpr char k[A-Za-z0-9]*Model\[\] = "\([a-z0-9]*\)";.*/\1/p' winsim/usb/models/*.h); do
  case $name in generic | hub) continue ;; esac
  models+=$'\n'$(grep -n -F -H "\"$name\"" "${bus_files[@]}" || true)
done
models+=$'\n'$(grep -n -E -H '\bk[A-Za-z0-9]+Model\b' "${bus_files[@]}" || true)
models=$(grep . <<<"$models" | sort -u || true)
if [ -n "$models" ]; then
  echo "check-layout: the bus or the description parser names a device model:" >&2
  echo "$models" >&2
  status=1
fi

# winsim's folders, one edge per folder that a file's own #include "..."
# lines reach (relative to the file, then to winsim/; usb/models counts as
# usb). Direct includes suffice: a loop of folders shows in them whenever it
# shows through headers that include others.
edges=""
while IFS= read -r line; do
  file=${line%%:*}
  [[ ${line#*:} =~ \"([^\"]*)\" ]] && included=${BASH_REMATCH[1]}
  if [ -f "$(dirname "$file")/$included" ]; then
    target=$(realpath -m --relative-to=. "$(dirname "$file")/$included")
  elif [ -f "winsim/$included" ]; then
    target=winsim/$included
  else
    continue  # the product's headers (the harness), or the system's
  fi
  from=${file#winsim/} to=${target#winsim/}
  from=${from%%/*} to=${to%%/*}
  [[ $target == winsim/* && $from != "$to" && $to != include ]] && edges+="$from $to $file $target"$'\n'
done < <(grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' winsim --include='*.h' --include='*.cpp')
mutual=$(awk '{ edge[$1 " " $2] = $3 " includes " $4 }
  END { for (e in edge) { split(e, p, " "); back = p[2] " " p[1]
          if (p[1] < p[2] && back in edge) print p[1] " and " p[2] ": " edge[e] "; " edge[back] } }' <<<"$edges" | sort)
if [ -n "$mutual" ]; then
  echo "check-layout: two winsim folders include each other:" >&2
  echo "$mutual" >&2
  status=1
fi
# tsort names the folders of any loop, of two folders or more.
loop=$(awk 'NF { print $1, $2 }' <<<"$edges" | sort -u | tsort 2>&1 >/dev/null |
  sed -n '/loop/d; s/^tsort: //p' | tr '\n' ' ' || true)
if [ -n "$loop" ] && [ -z "$mutual" ]; then
  echo "check-layout: winsim's folders include each other round a loop through: $loop" >&2
  status=1
fi
folders=$(awk 'NF { print $1; print $2 }' <<<"$edges" | sort -u | wc -l)

# The linked forms of the product: its archives and the objects of its
# object libraries (linked as they are).
heap=""
for target_dir in $(ninja -C "$build" -t targets all | sed -n 's/^\(.*\/CMakeFiles\/[^/]*\.dir\)\/.*\.o: .*/\1/p' | sort -u); do
  archive="$build/${target_dir%/CMakeFiles/*}/lib$(basename "$target_dir" .dir).a"
  case $target_dir in app/* | afx/* | driver/*) ;; *) continue ;; esac
  objs=$(find "$build/$target_dir" -name '*.o')
  if [ -f "$archive" ]; then linked=$archive; else linked=$objs; fi
  # shellcheck disable=SC2086
  heap+=$(nm -u $linked 2>/dev/null | grep -E '^ +U (malloc|calloc|free)$' | sed "s|^ *U |$target_dir: |" | sort -u || true)
done
if [ -n "$heap" ]; then
  echo "check-layout: product code calls the C heap past winsim's count:" >&2
  echo "$heap" >&2
  status=1
fi

[ "$status" = 0 ] && echo "check-layout: $checked product sources and $(ls winsim/kernel/*.h | wc -l) kernel headers hold the layout; the bus and the description parser name no model; $folders winsim folders include one another in one direction only; the C heap calls reach winsim"
exit $status
