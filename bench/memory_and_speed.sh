#!/usr/bin/env bash
# Runs vexo over generated DFT files of 2,000 and 200,000 records (8 MB and 800 MB) and reports
# the time and the peak memory of each run. The peak memory must not grow with the file.
#   bench/memory_and_speed.sh [BUILD_DIR]     (default: build, configured as Release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

peak_kib() {  # peak resident memory of a command, in KiB
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t = time.perf_counter()
with open(sys.argv[-1] + ".out", "w") as out:
    status = subprocess.call(sys.argv[1:-1], stdout=out)
elapsed = time.perf_counter() - t
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, f"{elapsed:.2f}", status)
PY
}

for mode in 1 2; do
  printf 'Listing file name\n%s/out.lst\nmode\n%s\nheader\n1\nsubblock\n1\ncorrection\n0\nfreq\n-1\nheight\n-1\npol\n-1\nantenna\n-1\nscale\n0\nstep\n-1\nrecord frequency\n0\nconvert\n1\n' \
    "$work" "$mode" > "$work/mode$mode.set"
done

printf '%-10s %-6s %12s %10s %10s %s\n' records mode bytes seconds "MB/s" "peak KiB"
for records in 2000 200000; do
  "$build/make_dft" "$work/in.dft" "$records"
  bytes=$(stat -c %s "$work/in.dft")
  for mode in 1 2; do
    read -r kib seconds status < <(peak_kib "$build/vexo" "$work/in.dft" "$work/mode$mode.set" "$work/run")
    [ "$status" = 0 ] || { echo "vexo ended with status $status" >&2; exit 1; }
    mbps=$(python3 -c "print(f'{$bytes / 1e6 / max($seconds, 1e-9):.0f}')")
    printf '%-10s %-6s %12s %10s %10s %s\n' "$records" "$mode" "$bytes" "$seconds" "$mbps" "$kib"
  done
  rm -f "$work/in.dft"
done
