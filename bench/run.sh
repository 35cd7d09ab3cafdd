#!/bin/bash
# make bench: times velmora-cli merge, the read floor, RenderImage and (when
# installed) Siril and Gnuastro on generated frame sets; prints a Markdown
# table, then the quality table of the specified and the Robust merge against
# Siril's stacks. usage: bench/run.sh BUILD_DIR   (RUNS=3 by default;
# ONLY_ALIGN=1 runs the alignment part alone)
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
RUNS=${RUNS:-3}
HERE=$(cd "$(dirname "$0")" && pwd)
DATA=$HERE/data
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# name count width height planes
SETS=("A 16 1024 1024 1" "B 32 2048 2048 1" "C 16 2048 1536 3")

make_set() {  # name count width height planes
    [ -f "$DATA/$1/done" ] && return
    rm -rf "${DATA:?}/$1"
    "$BUILD/make-frames" --out "$DATA/$1" --count "$2" --width "$3" --height "$4" --planes "$5" \
        --type uint --seed 7 --prefix "${1,,}_" >/dev/null
    touch "$DATA/$1/done"
}

# Runs the command RUNS times; prints "median-seconds peak-MiB".
measure() {
    local times=() peak=0
    for ((r = 0; r < RUNS; ++r)); do
        [ -n "${BEFORE:-}" ] && eval "$BEFORE"
        /usr/bin/time -v -o "$TMP/time" "$@" >/dev/null 2>"$TMP/err" || { cat "$TMP/err" >&2; return 1; }
        times+=("$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0;
                   for (i = 1; i <= n; ++i) s = s * 60 + t[i]; print s}' "$TMP/time")")
        local kb
        kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$TMP/time")
        ((kb > peak)) && peak=$kb
    done
    printf '%s\n' "${times[@]}" | sort -g | awk -v peak="$peak" '{t[NR] = $1} END {printf "%.2f %.0f\n", t[int((NR + 1) / 2)], peak / 1024}'
}

# Runs the command RUNS times; prints the median of its user + system CPU seconds,
# which a busy machine disturbs less than the wall time.
measure_cpu() {
    local cpu=()
    for ((r = 0; r < RUNS; ++r)); do
        [ -n "${BEFORE:-}" ] && eval "$BEFORE"
        /usr/bin/time -f '%U %S' -o "$TMP/cpu" "$@" >/dev/null 2>"$TMP/err" || { cat "$TMP/err" >&2; return 1; }
        cpu+=("$(awk '{print $1 + $2}' "$TMP/cpu")")
    done
    printf '%s\n' "${cpu[@]}" | sort -g | awk '{t[NR] = $1} END {printf "%.2f\n", t[int((NR + 1) / 2)]}'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf (b > 0 ? "%.2f" : "-"), a / b}'; }

mkdir -p "$DATA"
have_siril=$(command -v siril-cli >/dev/null && echo 1 || echo 0)
have_gnuastro=$(command -v astarithmetic >/dev/null && echo 1 || echo 0)
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo); $RUNS runs each, median; warm page cache; load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "${ONLY_ALIGN:-0}" != 1 ]; then
for s in "${SETS[@]}"; do make_set $s; done
[ -f "$DATA/render/done" ] || { "$BUILD/make-frames" --out "$DATA/render" --count 1 --width 6000 --height 4000 \
    --planes 3 --type uint --seed 7 --prefix r_ >/dev/null && touch "$DATA/render/done"; }


echo
echo "| set | merge | wall s | peak MiB | input MP/s | read floor s | x floor | Siril s | Siril / ours | Gnuastro s | Gnuastro / ours |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for s in "${SETS[@]}"; do
    read -r name count width height planes <<<"$s"
    frames=("$DATA/$name"/*.fit)
    mp=$(awk -v n="$count" -v w="$width" -v h="$height" -v p="$planes" 'BEGIN {print n * w * h * p / 1e6}')
    # The background in a corner, the signal over the object near the centre.
    rects="--background 40,40,200,200 --signal $((width / 2 - 64)),$((height / 2 - 64)),128,128"
    siril="-" siril_ratio="-" gnu="-" gnu_ratio="-"
    if [ "$have_siril" = 1 ]; then
        mkdir -p "$TMP/siril-$name"
        ln -sf "${frames[@]}" "$TMP/siril-$name/"
        printf 'requires 1.0.0\nsetext fit\nstack %s_ rej s 3 3 -norm=addscale -out=%s/siril-out\n' \
            "${name,,}" "$TMP" >"$TMP/siril-$name/stack.ssf"
        # The sequence file is removed each time so that the statistics are recomputed.
        read -r siril _ < <(BEFORE="rm -f $TMP/siril-$name/*.seq $TMP/siril-out.fit" \
            measure siril-cli -d "$TMP/siril-$name" -s "$TMP/siril-$name/stack.ssf")
    fi
    if [ "$have_gnuastro" = 1 ]; then
        read -r gnu _ < <(BEFORE="rm -f $TMP/gnu.fits" measure astarithmetic "${frames[@]}" "$count" 3 0.2 \
            sigclip-mean -g0 --numthreads="$(nproc)" --quiet -o "$TMP/gnu.fits")
    fi
    for config in "sigma 3, area 0|3|--sigma 3 --fade 0 --normalize-area 0" \
                  "sigma 3, area 32|3|--sigma 3 --fade 0 --normalize-area 32" \
                  "robust sigma 3, area 0|3|--robust --sigma 3 --fade 0 --normalize-area 0" \
                  "average|1|"; do
        IFS='|' read -r label passes options <<<"$config"
        read -r floor _ < <(measure "$BUILD/bench/read-floor" "$passes" "${frames[@]}")
        # shellcheck disable=SC2086
        read -r wall peak < <(BEFORE="rm -f $TMP/out.fit" measure "$BUILD/velmora-cli" merge -q $rects $options \
            -o "$TMP/out.fit" "${frames[@]}")
        mps=$(awk -v mp="$mp" -v t="$wall" 'BEGIN {printf "%.0f", mp / t}')
        s_col="-" s_ratio="-" g_col="-" g_ratio="-"
        if [ "$passes" = 3 ]; then  # the others stack with sigma clipping
            [ "$siril" != "-" ] && s_col=$siril && s_ratio=$(ratio "$siril" "$wall")
            [ "$gnu" != "-" ] && g_col=$gnu && g_ratio=$(ratio "$gnu" "$wall")
        fi
        echo "| $name: $count x ${width}x${height}x$planes | $label | $wall | $peak | $mps | $floor | $(ratio "$wall" "$floor") | $s_col | $s_ratio | $g_col | $g_ratio |"
    done
done
# The desktop program's Create on set B against the batch tool, same frames,
# rectangles and parameters: the GUI shows every frame of the clipping pass.
read -r name count width height planes <<<"${SETS[1]}"
frames=("$DATA/$name"/*.fit)
rects_b="40,40,200,200 $((width / 2 - 64)),$((height / 2 - 64)),128,128"
read -r cli_wall _ < <(BEFORE="rm -f $TMP/out.fit" measure "$BUILD/velmora-cli" merge -q \
    --background "${rects_b% *}" --signal "${rects_b#* }" --sigma 3 --fade 0 --normalize-area 0 \
    -o "$TMP/out.fit" "${frames[@]}")
# shellcheck disable=SC2086
read -r gui_wall gui_peak < <(BEFORE="rm -f $TMP/gui.fit" measure env QT_QPA_PLATFORM=offscreen \
    "$BUILD/bench/gui-create-bench" "$TMP/gui.fit" 3 0 $rects_b "${frames[@]}")
cmp -s "$TMP/out.fit" "$TMP/gui.fit" && same=yes || same=NO
cli_cpu=$(BEFORE="rm -f $TMP/out.fit" measure_cpu "$BUILD/velmora-cli" merge -q \
    --background "${rects_b% *}" --signal "${rects_b#* }" --sigma 3 --fade 0 --normalize-area 0 \
    -o "$TMP/out.fit" "${frames[@]}")
# shellcheck disable=SC2086
gui_cpu=$(BEFORE="rm -f $TMP/gui.fit" measure_cpu env QT_QPA_PLATFORM=offscreen \
    "$BUILD/bench/gui-create-bench" "$TMP/gui.fit" 3 0 $rects_b "${frames[@]}")
# The program prints the seconds of Create alone (passes, pictures, titles, result).
create=()
for ((r = 0; r < RUNS; ++r)); do
    rm -f "$TMP/gui.fit"
    # shellcheck disable=SC2086
    create+=("$(QT_QPA_PLATFORM=offscreen "$BUILD/bench/gui-create-bench" "$TMP/gui.fit" 3 0 $rects_b "${frames[@]}" 2>/dev/null)")
done
create_s=$(printf '%s\n' "${create[@]}" | sort -g | awk '{t[NR] = $1} END {printf "%.2f", t[int((NR + 1) / 2)]}')
echo
echo "| set | GUI Create s | GUI whole run s | peak MiB | velmora-cli merge s | Create / batch | whole run / batch | CPU s GUI / batch | same bytes |"
echo "|---|---|---|---|---|---|---|---|---|"
echo "| $name: $count x ${width}x${height}x$planes, sigma 3 | $create_s | $gui_wall | $gui_peak | $cli_wall | $(ratio "$create_s" "$cli_wall") | $(ratio "$gui_wall" "$cli_wall") | $gui_cpu / $cli_cpu = $(ratio "$gui_cpu" "$cli_cpu") | $same |"
echo
[ "$have_siril" = 1 ] || echo "Siril: not installed (apt-get install siril)"
[ "$have_gnuastro" = 1 ] || echo "Gnuastro: not installed (apt-get install gnuastro)"
echo
read -r _ read _ render < <("$BUILD/bench/render-bench" "$DATA/render/r_001.fit" 5)
echo "RenderImage of a 6000x4000x3 frame: render $render s, CFITSIO read $read s, ratio $(ratio "$render" "$read")"

fi

# Alignment: frames moved by up to +-25 px and turned by up to +-3 degrees.
# Accuracy against make-frames' true moves (largest error at an image corner),
# velmora-cli align and merge --align against Siril's register + stack.
[ -f "$DATA/D/done" ] || { rm -rf "$DATA/D" && "$BUILD/make-frames" --out "$DATA/D" --count 16 --width 1024 \
    --height 1024 --type uint --seed 7 --prefix d_ --dither 25,3 >/dev/null && touch "$DATA/D/done"; }
dithered=("$DATA/D"/d_*.fit)
"$BUILD/velmora-cli" align "${dithered[@]}" >"$TMP/moves.txt" 2>/dev/null || true
accuracy=$(awk -F'\t' -v W=1024 -v H=1024 '
    function corner(m, x, y, axis,   a, cx, cy) {
        cx = (W - 1) / 2; cy = (H - 1) / 2; a = m[3] * 3.14159265358979 / 180
        if (axis == 0) return cx + m[1] + m[4] * (cos(a) * (x - cx) - sin(a) * (y - cy))
        return cy + m[2] + m[4] * (sin(a) * (x - cx) + cos(a) * (y - cy))
    }
    /^#/ {next}
    FNR == NR {truth[$1] = $2 "\t" $3 "\t" $4 "\t" $5; next}
    $2 == "failed" {failed++; next}
    {
        aligned++; split(truth[$1], t, "\t"); f[1] = $2; f[2] = $3; f[3] = $4; f[4] = $5
        for (x = 0; x < W; x += W - 1) for (y = 0; y < H; y += H - 1) {
            e = sqrt((corner(t, x, y, 0) - corner(f, x, y, 0)) ^ 2 + (corner(t, x, y, 1) - corner(f, x, y, 1)) ^ 2)
            if (e > worst) worst = e
        }
        if (min == "" || $6 < min) min = $6; if ($6 > max) max = $6
    }
    END {printf "%d of %d aligned, worst corner error %.3f px, %d-%d stars matched\n", aligned, aligned + failed, worst, min, max}
' "$DATA/D/d_moves.txt" "$TMP/moves.txt")
read -r align_wall align_peak < <(measure "$BUILD/velmora-cli" align "${dithered[@]}")
read -r merge_wall merge_peak < <(BEFORE="rm -f $TMP/out.fit" measure "$BUILD/velmora-cli" merge -q --align --sigma 3 \
    --fade 0 -o "$TMP/out.fit" "${dithered[@]}")
read -r plain_wall _ < <(BEFORE="rm -f $TMP/out.fit" measure "$BUILD/velmora-cli" merge -q --sigma 3 --fade 0 \
    -o "$TMP/out.fit" "${dithered[@]}")
echo
echo "Alignment, D: 16 x 1024x1024, moved up to 25 px, turned up to 3 degrees: $accuracy"
echo
echo "| step | wall s | peak MiB |"
echo "|---|---|---|"
echo "| velmora-cli align | $align_wall | $align_peak |"
echo "| velmora-cli merge --align --sigma 3 | $merge_wall | $merge_peak |"
echo "| velmora-cli merge --sigma 3 (unaligned) | $plain_wall | - |"
if [ "$have_siril" = 1 ]; then
    mkdir -p "$TMP/siril-D"
    ln -sf "${dithered[@]}" "$TMP/siril-D/"
    printf 'requires 1.0.0\nsetext fit\nregister d_\n' >"$TMP/siril-D/register.ssf"
    printf 'requires 1.0.0\nsetext fit\nregister d_\nstack r_d_ rej w 3 3 -norm=addscale -out=%s/siril-out\n' \
        "$TMP" >"$TMP/siril-D/both.ssf"
    clean="rm -f $TMP/siril-D/*.seq $TMP/siril-D/r_* $TMP/siril-out.fit"
    read -r reg _ < <(BEFORE="$clean" measure siril-cli -d "$TMP/siril-D" -s "$TMP/siril-D/register.ssf")
    read -r both _ < <(BEFORE="$clean" measure siril-cli -d "$TMP/siril-D" -s "$TMP/siril-D/both.ssf")
    eval "$clean"
    stacked=$(siril-cli -d "$TMP/siril-D" -s "$TMP/siril-D/both.ssf" 2>&1 | sed -n 's/.*\b\([0-9]\+\) images have been stacked.*/\1/p')
    echo "| Siril register | $reg | - |"
    echo "| Siril register + winsorized stack ($stacked of 16 frames stacked) | $both | - |"
    echo
    echo "Siril register + stack / velmora-cli merge --align: $(ratio "$both" "$merge_wall")"
fi

if [ "${ONLY_ALIGN:-0}" != 1 ]; then
# Quality: sets of 1024x1024 16-bit frames with cosmic rays and a trail in
# the middle frame, merged at sigma 3 and measured against the noise-free
# field: residual noise in units of the reference frame's noise and pixels
# beyond 6 sigma (bench/Quality.cpp). The background rectangle lies above the
# object, where the sky gradient between it and the signal rectangle is small.
echo
echo "Quality at sigma 3 (noise: residual noise in units of one frame's noise; leaked: pixels beyond 6 sigma)"
echo
echo "| frames | specified | Robust | Siril sigma | Siril winsorized |"
echo "|---|---|---|---|---|"
quality_rects="--background 448,120,128,128 --signal 448,448,128,128"
for count in 5 8 16 32; do
    set_dir="$DATA/q$count"
    if [ ! -f "$set_dir/done" ]; then
        rm -rf "$set_dir"
        "$BUILD/make-frames" --out "$set_dir" --count "$count" --width 1024 --height 1024 --type uint --seed 7 \
            --prefix "q${count}_" --truth "$set_dir/truth.fits" >/dev/null
        touch "$set_dir/done"
    fi
    frames=("$set_dir"/q"${count}"_*.fit)
    row="| $count"
    for options in "" "--robust"; do
        rm -f "$TMP/q.fit"
        # shellcheck disable=SC2086
        "$BUILD/velmora-cli" merge -q $quality_rects --sigma 3 --fade 0 $options -o "$TMP/q.fit" "${frames[@]}"
        read -r noise leaked < <("$BUILD/bench/quality" "$TMP/q.fit" "$set_dir/truth.fits" "${frames[0]}")
        row="$row | $noise / $leaked"
    done
    for rejection in s w; do
        cell="-"
        if [ "$have_siril" = 1 ]; then
            work="$TMP/siril-q$count"
            rm -rf "$work" && mkdir -p "$work"
            ln -sf "${frames[@]}" "$work/"
            rm -f "$TMP/siril-q.fit"
            printf 'requires 1.0.0\nsetext fit\nstack q%s_ rej %s 3 3 -norm=addscale -out=%s/siril-q\n' \
                "$count" "$rejection" "$TMP" >"$work/stack.ssf"
            siril-cli -d "$work" -s "$work/stack.ssf" >/dev/null 2>&1
            read -r noise leaked < <("$BUILD/bench/quality" "$TMP/siril-q.fit" "$set_dir/truth.fits" "${frames[0]}")
            cell="$noise / $leaked"
        fi
        row="$row | $cell"
    done
    echo "$row |"
done
fi

# Star residuals: the aligned merge of D and the merge of the same field's
# unmoved frames 1-16 (set U, same seed) each against a merge of U's frames
# 17-32 (the same field, other noise), by the same parameters.
[ -f "$DATA/U/done" ] || { rm -rf "$DATA/U" && "$BUILD/make-frames" --out "$DATA/U" --count 32 --width 1024 \
    --height 1024 --type uint --seed 7 --prefix u_ >/dev/null && touch "$DATA/U/done"; }
unmoved=("$DATA/U"/u_*.fit)
same="-q --sigma 3 --fade 0 --background 40,40,200,200 --signal 448,448,128,128"
# shellcheck disable=SC2086
"$BUILD/velmora-cli" merge $same -o "$TMP/other.fit" "${unmoved[@]:16}"
# shellcheck disable=SC2086
"$BUILD/velmora-cli" merge $same -o "$TMP/still.fit" "${unmoved[@]:0:16}"
# shellcheck disable=SC2086
"$BUILD/velmora-cli" merge --align $same -o "$TMP/aligned.fit" "${dithered[@]}"
read -r still_px _ < <("$BUILD/bench/residuals" "$TMP/still.fit" "$TMP/other.fit")
read -r aligned_px _ < <("$BUILD/bench/residuals" "$TMP/aligned.fit" "$TMP/other.fit")
echo
echo "Residuals (pixels beyond 6 sigma of the difference to another merge of the field): aligned D $aligned_px," \
    "unmoved U $still_px, ratio $(ratio "$aligned_px" "$still_px")"
