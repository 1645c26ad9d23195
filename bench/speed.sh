#!/usr/bin/env bash
# Listing speed and memory of vexo on generated DFT files.
#   bench/speed.sh [SIZE_MIB [BUILD_DIR]]      (default 256 MiB; build, configured as Release)
# Every timed case runs with the default threads (up to one for each core, used where the
# records' work pays for them) and in one thread (-j 1), the two in turn (which goes first
# alternates), three times each; each time shown is the median of its three, and the last line
# names every case where the default took longer than -j 1: its median above all three runs of
# -j 1.
# The file's records take the shapes N/A = 5/4, 3/4 and 7/2 in turn. Each case lists it once;
# the table shows both times, the default's input and listing MB/s, the peak resident memory of
# both, and the ratio of the default's time to the time of copying its own listing into a new
# file on the same disk (what writing that listing costs at least). Then: the progress display on
# a terminal (case a, standard output on a pseudo-terminal through `script`, less what `script`
# itself costs) against standard output to a file, and the peak memory of case a for 64 MiB and
# 1 GiB of input. Last, the phase listing with the correction (case a) on files whose instrument
# program changes (PROGRAM_MIB, default 32 MiB each): each of five shapes alone, the five in turn
# (which should cost what the shapes cost alone), the program changing every record, and a
# program drawn at random for every record among a thousand (make_dft ... random: shapes of 1 to
# 512 samples a line, and parameters that put many values outside 0..360 degrees).
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
median() { python3 -c "import statistics, sys; print(f'{statistics.median(map(float, sys.argv[1:])):.3f}')" "$@"; }
slower=()  # the cases where the default took longer than -j 1, with the ratio of the medians
# compare LABEL DEFAULT_S ONE_RUN... : notes the case when the default's median is above every
# run of -j 1 (where both list in one thread, their medians differ by the noise alone).
compare() {
  local label=$1 default_s=$2
  shift 2
  if python3 -c "import sys; sys.exit(0 if $default_s > max(map(float, sys.argv[1:])) else 1)" "$@"; then
    slower+=("$label ($(ratio "$default_s" "$(median "$@")")x)")
  fi
}
# in_turn RUN: which goes first in run RUN (1, 2, 3): the default, then -j 1 in odd runs, the other
# way round in even ones, so that neither gains from coming second.
in_turn() { if [ $(($1 % 2)) = 1 ]; then echo default one; else echo one default; fi; }
# timed VAR COMMAND... : runs the command with standard output to the console file, the listing
# removed and synced before; appends the seconds to the array VAR.
timed() {
  local var=$1 t0 t1
  shift
  rm -f "$work/out.lst"; sync
  t0=$(now)
  "$@" > "$work/console"
  t1=$(now)
  eval "$var+=(\"\$(seconds $t0 $t1)\")"
}

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
echo "input: $records records ($shapes), $((input / 1048576)) MiB; $(nproc) cores"
echo "median of 3 runs each, the default and -j 1 in turn; peak memory the largest of the 3"
printf '%-5s %8s %8s %7s %8s %10s %12s %8s %8s %8s\n' case seconds "-j 1 s" def/-j1 "cat s" \
  "input MB/s" "listing MB/s" "peak MiB" "-j 1 MiB" vexo/cat
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
floor_runs=()
for c in a b c d e; do
  vexo_runs=() one_runs=() cat_runs=() rss=0 one_rss=0
  for run in 1 2 3; do
    for threads in $(in_turn "$run"); do
      if [ "$threads" = one ]; then
        timed one_runs /usr/bin/time -f %M -o "$work/rss" "$build/vexo" -j 1 "$work/in.dft" "$work/$c.set"
        one_rss=$(python3 -c "print(max($one_rss, $(cat "$work/rss")))")
        continue
      fi
      rm -f "$work/copy.lst"
      timed vexo_runs /usr/bin/time -f %M -o "$work/rss" "$build/vexo" "$work/in.dft" "$work/$c.set"
      rss=$(python3 -c "print(max($rss, $(cat "$work/rss")))")
      sync
      t2=$(now)
      cat "$work/out.lst" > "$work/copy.lst"
      t3=$(now)
      cat_runs+=("$(seconds "$t2" "$t3")")
      rm -f "$work/copy.lst"
      if [ "$c" = a ]; then
        rm -f "$work/floor.lst"; sync
        floor_runs+=("$(io_floor "$(stat -c %s "$work/out.lst")")")
        rm -f "$work/floor.lst"
      fi
      listing=$(stat -c %s "$work/out.lst")
    done
  done
  vexo_s=$(median "${vexo_runs[@]}") one_s=$(median "${one_runs[@]}") cat_s=$(median "${cat_runs[@]}")
  if [ "$c" = a ]; then a_s=$vexo_s a_one_s=$one_s; fi
  compare "$c" "$vexo_s" "${one_runs[@]}"
  printf '%-5s %8s %8s %7s %8s %10s %12s %8s %8s %8s\n' "$c" "$vexo_s" "$one_s" \
    "$(ratio "$vexo_s" "$one_s")" "$cat_s" "$(ratio "$input / 1e6" "$vexo_s" 0)" \
    "$(ratio "$listing / 1e6" "$vexo_s" 0)" "$(ratio "$rss" 1024 1)" "$(ratio "$one_rss" 1024 1)" \
    "$(ratio "$vexo_s" "$cat_s")"
done
rm -f "$work/out.lst" "$work/copy.lst"
floor_s=$(median "${floor_runs[@]}")
echo "case a against its I/O floor (reading the DFT file, writing as many bytes as its listing" \
  "from memory): $a_s s against $floor_s s: $(ratio "$a_s" "$floor_s")x; -j 1: $a_one_s s," \
  "$(ratio "$a_one_s" "$floor_s")x"

# The progress display: case a with standard output on a pseudo-terminal, against a file.
file_runs=() tty_runs=() one_file_runs=() one_tty_runs=() script_runs=()
for run in 1 2 3; do
  t0=$(now)
  script -qec true /dev/null > /dev/null  # what script itself costs
  t1=$(now)
  script_runs+=("$(seconds "$t0" "$t1")")
  for threads in $(in_turn "$run"); do
    option="" prefix=""
    if [ "$threads" = one ]; then option="-j 1" prefix=one_; fi
    timed ${prefix}file_runs "$build/vexo" $option "$work/in.dft" "$work/a.set"
    timed ${prefix}tty_runs script -qec "'$build/vexo' $option '$work/in.dft' '$work/a.set'" /dev/null
  done
done
file_s=$(median "${file_runs[@]}") tty_s=$(median "${tty_runs[@]}")
one_file_s=$(median "${one_file_runs[@]}") one_tty_s=$(median "${one_tty_runs[@]}")
script_s=$(median "${script_runs[@]}")
compare "a to a file" "$file_s" "${one_file_runs[@]}"
compare "a on a terminal" "$tty_s" "${one_tty_runs[@]}"
terminal_cost() { python3 -c "print(f'{(($1 - $script_s) / $2 - 1) * 100:+.1f}')"; }
echo "progress on a terminal: ${tty_s} s (of which ${script_s} s start and end of script itself)" \
  "against ${file_s} s to a file: $(terminal_cost "$tty_s" "$file_s")%; -j 1: ${one_tty_s} s" \
  "against ${one_file_s} s: $(terminal_cost "$one_tty_s" "$one_file_s")%"

# Peak memory does not grow with the input.
rm -f "$work/in.dft" "$work/out.lst"
for mib in 64 1024; do
  "$build/make_dft" "$work/mem.dft" $((mib * 256)) "$shapes"
  /usr/bin/time -f %M -o "$work/rss" "$build/vexo" "$work/mem.dft" "$work/null.set" > /dev/null
  /usr/bin/time -f %M -o "$work/rss1" "$build/vexo" -j 1 "$work/mem.dft" "$work/null.set" > /dev/null
  echo "peak memory, case a, $mib MiB of input: $(ratio "$(cat "$work/rss")" 1024 1) MiB" \
    "(-j 1: $(ratio "$(cat "$work/rss1")" 1024 1) MiB)"
  rm -f "$work/mem.dft"
done

# Changing programs: no parameter set may cost more than computing its fields directly.
program_case() {  # LABEL SHAPES|random [varied] NAME
  if [ "$2" = random ]; then
    "$build/make_dft" "$work/p.dft" $((program_mib * 256)) random
  else
    "$build/make_dft" "$work/p.dft" $((program_mib * 256)) "$2" ${3:-}
  fi
  local runs=() one_runs=() run rss=0
  for run in 1 2 3; do
    for threads in $(in_turn "$run"); do
      if [ "$threads" = one ]; then
        timed one_runs /usr/bin/time -f %M -o "$work/rss" "$build/vexo" -j 1 "$work/p.dft" "$work/a.set"
      else
        timed runs /usr/bin/time -f %M -o "$work/rss" "$build/vexo" "$work/p.dft" "$work/a.set"
        rss=$(python3 -c "print(max($rss, $(cat "$work/rss")))")
      fi
    done
  done
  local s one_s
  s=$(median "${runs[@]}") one_s=$(median "${one_runs[@]}")
  compare "$1" "$s" "${one_runs[@]}"
  printf '%-34s %7s s %7s MB/s input %6s MiB %7s s %7s\n' "$1" "$s" \
    "$(ratio "$program_mib * 1048576 / 1e6" "$s" 0)" "$(ratio "$rss" 1024 1)" "$one_s" \
    "$(ratio "$s" "$one_s")"
  rm -f "$work/p.dft"
  eval "program_$4=$one_s"
}
echo "phase listing with the correction, $program_mib MiB each: the default (its peak memory" \
  "shows whether it used threads), then -j 1, and the default's time over that of -j 1:"
alone=()
for shape in 5/4 3/4 7/2 4/4 6/2; do
  program_case "one shape ($shape)" "$shape" "" single
  alone+=("$program_single")
done
program_case "the five shapes in turn" 5/4,3/4,7/2,4/4,6/2 "" five
program_case "program changes every record" 5/4,3/4,7/2,4/4,6/2 varied varied
program_case "a program drawn at random a record" random "" random
mean_alone=$(python3 -c "import sys; print(sum(map(float, sys.argv[1:])) / 5)" "${alone[@]}")
echo "five shapes in turn against each shape alone (mean), both -j 1: $(python3 -c "print(f'{($program_five / $mean_alone - 1) * 100:+.0f}')")% time"
echo "default slower than -j 1: ${slower[*]:-none}"
