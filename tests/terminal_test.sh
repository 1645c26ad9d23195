#!/usr/bin/env bash
# The console on a real terminal (a tmux pane): while the run is held up the screen holds just
# the progress line, top left; at the end the last progress line and the stop message. Listed
# in one thread, the run is held up in the first record; in several, in the listing of the
# first records listed together.
#   terminal_test.sh VEXO MAKE_DFT
set -euo pipefail
vexo=$1 make_dft=$2
work=$(mktemp -d)
session=vexo-terminal-$$
trap 'tmux kill-session -t "$session" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
"$make_dft" in.dft 20
mkfifo listing
printf 'l\nlisting\nm\n1\nh\n1\ns\n1\nc\n1\nf\n-1\nh\n-1\np\n-1\na\n-1\ns\n0\ns\n-1\nr\n0\nc\n1\n' > in.set
# The listing is a pipe that is opened at once but read only after a while: the run stops when
# the pipe is full, early in the first record.
run() {  # run THREADS
  sh -c 'exec 3<listing; sleep 3; cat <&3 > /dev/null' &
  tmux new-session -d -s "$session" -x 80 -y 12 "'$vexo' -j $1 in.dft in.set; sleep 30"
}

pane() { tmux capture-pane -p -t "$session" | sed -e 's/ *$//' | sed -e '/^$/d'; }
expect() {  # expect PATTERN SECONDS: the whole pane matches the extended regular expression
  for _ in $(seq $(( $2 * 10 ))); do
    pane | tr '\n' '|' | grep -Eqx "$1\|" && return 0
    sleep 0.1
  done
  echo "the pane shows:"; tmux capture-pane -p -t "$session"
  echo "expected only: $1"
  exit 1
}
run 1
expect "342 12:00:00" 3
expect "342 12:00:19Incorrect file structure or end of file" 10
tmux kill-session -t "$session"
run 2
expect "342 12:00:[01][0-9]" 3
expect "342 12:00:19Incorrect file structure or end of file" 10
echo "terminal display as expected"
