#!/bin/bash
# Whole-process PNG conversion, side by side: `celtool convert IN.png OUT.png`
# against `vips copy`, ImageMagick's convert and oiiotool, on cel artwork and
# on a photo-like picture (4096 x 4096, made here by ImageMagick so that no
# writer of ours made the inputs), at 1 and 2 CPUs (taskset and each program's
# own thread setting). Prints hyperfine's table for each and the output sizes.
#   bench/png_process.sh CELTOOL [WORKDIR] [RUNS]
set -euo pipefail
celtool=$(realpath "$1")
work=${2:-/tmp/celcore-png-process}
runs=${3:-5}
convert=${CONVERT:-convert}
mkdir -p "$work"
cd "$work"

if [ ! -s cel.png ]; then
    # Flat colours with antialiased edges over transparency, two of them translucent.
    "$convert" -size 4096x4096 xc:none \
        -fill 'rgb(214,64,40)' -draw 'ellipse 1200,1300 700,500 0,360' \
        -fill 'rgb(40,120,200)' -draw 'ellipse 2600,2200 900,650 0,360' \
        -fill 'rgba(250,210,60,0.45)' -draw 'ellipse 2000,1700 800,800 0,360' \
        -fill 'rgb(30,30,30)' -draw 'ellipse 3300,900 300,420 0,360' \
        -fill 'rgb(90,180,90)' -draw 'ellipse 900,3200 600,300 0,360' \
        -fill 'rgba(255,255,255,0.6)' -draw 'ellipse 3000,3400 500,250 0,360' \
        PNG32:cel.png
fi
if [ ! -s photo.png ]; then
    # Smooth colour under per-pixel noise, opaque.
    "$convert" -seed 7 -size 4096x4096 plasma:steelblue-tan -attenuate 0.4 +noise Gaussian -alpha off \
        PNG24:photo.png
fi

for content in cel photo; do
    for cpus in 1 2; do
        if [ "$cpus" = 1 ]; then pin="taskset -c 0"; else pin=""; fi
        echo "== $content, $cpus CPU(s)"
        VIPS_CONCURRENCY=$cpus MAGICK_THREAD_LIMIT=$cpus hyperfine -N -w 1 -r "$runs" \
            --export-json "$content-$cpus.json" \
            "$pin $celtool convert $content.png ours-$content.png" \
            "$pin vips copy $content.png vips-$content.png" \
            "$pin $convert $content.png magick-$content.png" \
            "$pin oiiotool --threads $cpus $content.png -o oiio-$content.png"
    done
    ls -l ./*-"$content".png
done
