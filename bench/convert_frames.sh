#!/usr/bin/env bash
# Whole-process batch conversion: FRAMES (default 200) frames of a panning HD
# cel, 1920 x 1080 32-bit RLE TGA, converted to PNG with alpha by
#   celtool convert --code PNG4 --threads 1 and 2 (one process for the batch),
#   a shell loop of single-file celtool convert,
#   shell loops of ImageMagick's `convert F.tga F.png` and `vips copy F.tga F.png`,
#   and the same two under `xargs -P 2`.
# Prints each case's wall time, the CPU time of its processes (user + system:
# what a loaded machine cannot blur much) and the bytes of its PNG files.
#   bench/convert_frames.sh [BUILD_DIR]     (default build-bench; needs celtool and
#                                            celcore_bench_frames built there)
# Environment: FRAMES, CASES (names to run, default all), MAGICK (ImageMagick's
# convert program), VIPS (the vips program). Peers that are missing are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
celtool=$build/bin/celtool
frames=${FRAMES:-200}
magick=${MAGICK:-$(command -v convert-im6.q16 || command -v convert || true)}
vips=${VIPS:-$(command -v vips || true)}
cases=${CASES:-"celtool-1 celtool-2 celtool-loop magick-loop vips-loop magick-xargs vips-xargs"}

for p in "$celtool" "$build/bin/celcore_bench_frames"; do
  [ -x "$p" ] || { echo "convert_frames: $p is not built" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bin/celcore_bench_frames" "$work/in" "$frames"
cat "$work"/in/*.tga > /dev/null # into the page cache
export celtool magick vips work

one() { # one single-file conversion, for the loops: one TOOL IN
  local out
  out=$work/out/$(basename "$2" .tga).png
  case $1 in
    celtool) "$celtool" convert --code PNG4 "$2" "$out" ;;
    magick) "$magick" "$2" "$out" ;;
    vips) "$vips" copy "$2" "$out" ;;
  esac
}
export -f one

# shellcheck disable=SC2016 # $1 and $2 belong to the inner shells
convert_case() { # convert_case NAME: the conversions of one case
  local name=$1
  case $name in
    celtool-1) "$celtool" convert --code PNG4 --threads 1 --quiet "$work/in/f.####.tga" "$work/out/f.####.png" ;;
    celtool-2) "$celtool" convert --code PNG4 --threads 2 --quiet "$work/in/f.####.tga" "$work/out/f.####.png" ;;
    *-loop) for f in "$work"/in/*.tga; do one "${name%-loop}" "$f"; done ;;
    *-xargs) printf '%s\n' "$work"/in/*.tga | xargs -P 2 -I{} bash -c 'one "$1" "$2"' _ "${name%-xargs}" {} ;;
  esac
}
export -f convert_case

# shellcheck disable=SC2016 # $1 belongs to the inner shell
run() { # run NAME: prints NAME, seconds, CPU seconds and the outputs' bytes
  local name=$1 start end cpu
  rm -rf "$work/out" && mkdir -p "$work/out"
  start=$(date +%s.%N)
  # getrusage of the waited-for children: every process the case ran
  cpu=$( { /usr/bin/time -f '%U %S' bash -c 'convert_case "$1"' _ "$name" 2>&1 >/dev/null | tail -1; } )
  end=$(date +%s.%N)
  local n bytes
  n=$(find "$work/out" -name '*.png' | wc -l)
  bytes=$(find "$work/out" -name '*.png' -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  awk -v name="$name" -v s="$start" -v e="$end" -v c="$cpu" -v b="$bytes" -v n="$n" \
    'BEGIN { split(c, t, " "); printf "%-14s %7.1f s wall %7.1f s CPU %7.1f MB  (%d files)\n", name, e - s, t[1] + t[2], b / 1e6, n }'
}

for c in $cases; do
  case $c in
    magick-*) [ -n "$magick" ] || { echo "$c: ImageMagick not found, skipped"; continue; } ;;
    vips-*) [ -n "$vips" ] || { echo "$c: vips not found, skipped"; continue; } ;;
  esac
  run "$c"
done
