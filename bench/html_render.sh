#!/usr/bin/env bash
# Render time of a page in headless Chromium: the median wall time of --dump-dom on the page,
# beside the same on an empty page in the same run (the browser's own start-up and exit).
#   PM_BENCH_PAGE=/tmp/page.html build-bench/bench/bench_log_html   # the page of a 1000-line log
#   bench/html_render.sh /tmp/page.html [runs]
set -euo pipefail
page=$(realpath "$1")
runs=${2:-7}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '<!DOCTYPE html><title>empty</title>\n' >"$work/empty.html"

render() { # render FILE -> seconds
    local start end
    start=$(date +%s.%N)
    timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$work/profile" --dump-dom "file://$1" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f\n", e - s}'
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

render "$work/empty.html" >/dev/null # a first run creates the profile
empty=$(for _ in $(seq "$runs"); do render "$work/empty.html"; done | median)
full=$(for _ in $(seq "$runs"); do render "$page"; done | median)
echo "page: $(stat -c %s "$page") bytes, $(grep -c '<li' "$page") timeline and list rows"
echo "median of $runs runs: empty page ${empty} s, this page ${full} s;" \
     "the page's own share $(awk -v f="$full" -v e="$empty" 'BEGIN {printf "%.3f", f - e}') s"
