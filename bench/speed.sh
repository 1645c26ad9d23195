#!/usr/bin/env bash
# Listing speed and memory of vexo on generated DFT files.
#   bench/speed.sh [SIZE_MIB [BUILD_DIR]]      (default 256 MiB; build, configured as Release)
# The file's records take the shapes N/A = 5/4, 3/4 and 7/2 in turn. Each case lists it once;
# the table shows input and listing MB/s, peak resident memory, and the ratio of vexo's time to
# the time of copying its own listing into a new file on the same disk (what writing that
# listing costs at least). Then: the progress display on a terminal (case a, standard output on
# a pseudo-terminal through `script`, less what `script` itself costs) against standard output
# to a file, and the peak memory of case a for 64 MiB and 1 GiB of input. Last, the phase listing
# with the correction (case a) on files whose instrument program changes (PROGRAM_MIB, default
# 32 MiB each): each of five shapes alone, the five in turn (which should cost what the shapes
# cost alone), the program changing every record, and a program drawn at random for every record
# among a thousand (make_dft ... random: shapes of 1 to 512 samples a line, and parameters that
# put many values outside 0..360 degrees).
# vexo runs with its default threads (one for each core); case a and the random programs are
# also run in one thread (-j 1).
# Case a is also set against its I/O floor: what vexo's own input and output cost with nothing
# listed. A Python loop (timed inside the interpreter, so its start-up is left out) reads the DFT
# file in 4 MiB blocks, as vexo does, and writes a new file of the size of case a's listing on
# the same disk from a 1 MiB buffer in memory, as vexo writes its listing; both files as warm or
# cold as vexo has them (the DFT file in the page cache, the listing removed and synced before).
# Unlike `cat`, which copies inside the kernel, this pays for moving the bytes through user
# memory, which vexo cannot avoid.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-256}
build=${2:-$root/build}
program_mib=${PROGRAM_MIB:-32}
work=$(mktemp -d "${TMPDIR:-/tmp}/vexo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
shapes=5/4,3/4,7/2

now() { date +%s.%N; }
seconds() { python3 -c "print(f'{$2 - $1:.3f}')"; }
ratio() { python3 -c "print(f'{$1 / max($2, 1e-9):.${3:-2}f}')"; }

# settings NAME LISTING MODE CORRECTION FREQUENCY ANTENNA SCALE CONVERT
settings() {
  printf 'listing\n%s\nmode\n%s\nheader\n1\nsubblock\n1\ncorrection\n%s\nfrequency\n%s\nheight\n-1\npolarization\n-1\nantenna\n%s\nscale\n%s\nstep\n-1\nrecord frequency\n0\nconvert\n%s\n' \
    "$2" "$3" "$4" "$5" "$6" "$7" "$8" > "$work/$1.set"
}
settings a "$work/out.lst" 1 1 -1 -1 0 1   # phase in degrees with correction, everything
settings b "$work/out.lst" 2 0 -1 -1 0 1   # amplitude in dB, every antenna
settings c "$work/out.lst" 2 0 -1 0 1 1    # four-antenna mean as linear ratios
settings d "$work/out.lst" 1 0 -1 -1 0 0   # raw phase bytes
settings e "$work/out.lst" 1 1 3200 2 0 1  # one antenna of one frequency
settings null /dev/null 1 1 -1 -1 0 1      # case a, listing to /dev/null

records=$((size_mib * 256))
"$build/make_dft" "$work/in.dft" "$records" "$shapes"
input=$(stat -c %s "$work/in.dft")
echo "input: $records records ($shapes), $((input / 1048576)) MiB"
echo "median of 3 runs each; peak memory the largest of them"
printf '%-5s %9s %9s %11s %12s %9s %9s\n' case seconds "cat s" "input MB/s" "listing MB/s" "peak MiB" "vexo/cat"
# io_floor LISTING_BYTES: seconds of reading the DFT file and writing that many bytes.
io_floor() {
  python3 - "$work/in.dft" "$work/floor.lst" "$1" <<'EOF'
import sys, time
source, target, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
block = bytearray(4 << 20)
text = memoryview(b"\n" * (1 << 20))
start = time.perf_counter()
with open(source, "rb", buffering=0) as f:
    while f.readinto(block):
        pass
with open(target, "wb", buffering=0) as f:
    left = size
    while left > 0:
        left -= f.write(text[: min(left, len(text))])
print(f"{time.perf_counter() - start:.3f}")
EOF
}
median() { python3 -c "import statistics, sys; print(f'{statistics.median(map(float, sys.argv[1:])):.3f}')" "$@"; }
floor_runs=()
for c in a b c d e; do
  vexo_runs=() cat_runs=() rss=0
  for run in 1 2 3; do
    rm -f "$work/out.lst" "$work/copy.lst"
    sync
    t0=$(now)
    /usr/bin/time -f %M -o "$work/rss" "$build/vexo" "$work/in.dft" "$work/$c.set" > "$work/console"
    t1=$(now)
    sync
    t2=$(now)
    cat "$work/out.lst" > "$work/copy.lst"
    t3=$(now)
    vexo_runs+=("$(seconds "$t0" "$t1")") cat_runs+=("$(seconds "$t2" "$t3")")
    rss=$(python3 -c "print(max($rss, $(cat "$work/rss")))")
    if [ "$c" = a ]; then
      rm -f "$work/copy.lst" "$work/floor.lst"; sync
      floor_runs+=("$(io_floor "$(stat -c %s "$work/out.lst")")")
      rm -f "$work/floor.lst"
    fi
  done
  listing=$(stat -c %s "$work/out.lst")
  vexo_s=$(median "${vexo_runs[@]}"); cat_s=$(median "${cat_runs[@]}")
  if [ "$c" = a ]; then a_s=$vexo_s; fi
  printf '%-5s %9s %9s %11s %12s %9s %9s\n' "$c" "$vexo_s" "$cat_s" \
    "$(ratio "$input / 1e6" "$vexo_s" 0)" "$(ratio "$listing / 1e6" "$vexo_s" 0)" \
    "$(ratio "$rss" 1024 1)" "$(ratio "$vexo_s" "$cat_s")"
done
rm -f "$work/copy.lst"
floor_s=$(median "${floor_runs[@]}")
echo "case a against its I/O floor (reading the DFT file, writing as many bytes as its listing" \
  "from memory): $a_s s against $floor_s s: $(ratio "$a_s" "$floor_s")x"
one_runs=()
for run in 1 2 3; do
  rm -f "$work/out.lst"; sync
  t0=$(now)
  "$build/vexo" -j 1 "$work/in.dft" "$work/a.set" > "$work/console"
  t1=$(now)
  one_runs+=("$(seconds "$t0" "$t1")")
done
one_s=$(median "${one_runs[@]}")
echo "case a in one thread (-j 1): $one_s s, $(ratio "$one_s" "$floor_s")x its I/O floor;" \
  "$(nproc) cores here, $(ratio "$one_s" "$a_s")x the time of the default"

# The progress display: case a with standard output on a pseudo-terminal, against a file.
file_runs=() tty_runs=() script_runs=()
for run in 1 2 3; do
  t0=$(now)
  script -qec true /dev/null > /dev/null  # what script itself costs
  t1=$(now)
  script_runs+=("$(seconds "$t0" "$t1")")
  rm -f "$work/out.lst"; sync
  t0=$(now)
  "$build/vexo" "$work/in.dft" "$work/a.set" > "$work/console"
  t1=$(now)
  rm -f "$work/out.lst"; sync
  t2=$(now)
  script -qec "'$build/vexo' '$work/in.dft' '$work/a.set'" /dev/null > /dev/null
  t3=$(now)
  file_runs+=("$(seconds "$t0" "$t1")") tty_runs+=("$(seconds "$t2" "$t3")")
done
file_s=$(median "${file_runs[@]}"); tty_s=$(median "${tty_runs[@]}")
script_s=$(median "${script_runs[@]}")
echo "progress on a terminal: ${tty_s} s (of which ${script_s} s start and end of script itself)" \
  "against ${file_s} s to a file: $(python3 -c "print(f'{(($tty_s - $script_s) / $file_s - 1) * 100:+.1f}')")%"

# Peak memory does not grow with the input.
rm -f "$work/in.dft" "$work/out.lst"
for mib in 64 1024; do
  "$build/make_dft" "$work/mem.dft" $((mib * 256)) "$shapes"
  /usr/bin/time -f %M -o "$work/rss" "$build/vexo" "$work/mem.dft" "$work/null.set" > /dev/null
  echo "peak memory, case a, $mib MiB of input: $(ratio "$(cat "$work/rss")" 1024 1) MiB"
  rm -f "$work/mem.dft"
done

# Changing programs: no parameter set may cost more than computing its fields directly.
rm -f "$work/mem.dft"
program_case() {  # LABEL SHAPES|random [varied] NAME [VEXO_OPTION]
  if [ "$2" = random ]; then
    "$build/make_dft" "$work/p.dft" $((program_mib * 256)) random
  else
    "$build/make_dft" "$work/p.dft" $((program_mib * 256)) "$2" ${3:-}
  fi
  local runs=() run t0 t1
  for run in 1 2 3; do
    rm -f "$work/out.lst"; sync
    t0=$(now)
    "$build/vexo" ${5:-} "$work/p.dft" "$work/a.set" > "$work/console"
    t1=$(now)
    runs+=("$(seconds "$t0" "$t1")")
  done
  local s; s=$(median "${runs[@]}")
  printf '%-34s %7s s %7s MB/s input\n' "$1" "$s" "$(ratio "$program_mib * 1048576 / 1e6" "$s" 0)"
  rm -f "$work/p.dft"
  eval "program_$4=$s"
}
echo "phase listing with the correction, $program_mib MiB each:"
alone=()
for shape in 5/4 3/4 7/2 4/4 6/2; do
  program_case "one shape ($shape)" "$shape" "" single
  alone+=("$program_single")
done
program_case "the five shapes in turn" 5/4,3/4,7/2,4/4,6/2 "" five
program_case "program changes every record" 5/4,3/4,7/2,4/4,6/2 varied varied
program_case "a program drawn at random a record" random "" random
program_case "the same, in one thread (-j 1)" random "" random_one -j1
mean_alone=$(python3 -c "import sys; print(sum(map(float, sys.argv[1:])) / 5)" "${alone[@]}")
echo "five shapes in turn against each shape alone (mean): $(python3 -c "print(f'{($program_five / $mean_alone - 1) * 100:+.0f}')")% time"
