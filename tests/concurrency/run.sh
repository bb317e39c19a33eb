#!/usr/bin/env bash
# Runs of quillmark-sim at the same time and interrupted ones, with one state file, and the
# figures they give:
#  - 20 pairs of downloads started together into two drives: results lost (want 0);
#  - 20 pairs started together into one drive: exactly one downloads, the other ends with 2
#    having sent nothing; results lost (want 0);
#  - 80 segmented 8 MiB downloads, each sent SIGINT or SIGTERM at a random moment within times
#    measured on this build (16 runs to their end first): each judged by what happened to it (a
#    run that finished before its signal ends with 0 and the drive holds the image; a stopped one
#    ends with 1 and a line end, the state holding the old image or the new one); damaged state
#    files, images the drive took but the state forgot, output not ended by a newline, wrong
#    exit codes, temporary files left (all want 0).
# Usage: tests/concurrency/run.sh [build-dir]   (default build-asan; QM_KEEP=1 keeps the work
# folder, each run's output, exit code and signal moment in it)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-asan}
sim=$(realpath "$build/quillmark-sim")
make_image=$(realpath "$build/make-sim-image")
work=$(mktemp -d /tmp/qm-concurrency-XXXXXX)
if [ -n "${QM_KEEP:-}" ]; then echo "work folder: $work"; else trap 'rm -rf "$work"' EXIT; fi

drive0='\\.\PhysicalDrive0'
drive2='\\.\PhysicalDrive2'
"$make_image" "$work/fw1.bin" 1048576 SIM2.00 >/dev/null
"$make_image" "$work/fw8.bin" 8388608 SIM8.00 >/dev/null
failures=0

# The running revision of a drive as the state file keeps it ("-" without a file).
revision() {
  local state=$1 drive=$2
  [ -f "$state" ] || { echo -; return; }
  QUILLMARK_SIM_STATE=$state "$sim" "$drive" /i 2>"$state.err" | sed -n 's/^  FW: //p'
  # A damaged file is reported on the error stream and ignored.
  if [ -s "$state.err" ]; then echo DAMAGED; fi
}

# One pair started together; $3 and $4 are the drives.
pair() {
  local dir=$1/pair$2
  mkdir -p "$dir"
  QUILLMARK_SIM_STATE=$dir/state "$sim" "$3" "/D:$work/fw1.bin" /s >"$dir/a.out" 2>&1 &
  local a=$!
  QUILLMARK_SIM_STATE=$dir/state "$sim" "$4" "/D:$work/fw1.bin" /s >"$dir/b.out" 2>&1 &
  local b=$!
  wait $a; echo $? >"$dir/a.rc"
  wait $b; echo $? >"$dir/b.rc"
}

echo "== 20 pairs into two drives, one state file"
lost=0
for i in $(seq 1 20); do pair "$work/two" "$i" "$drive0" "$drive2" & done
wait
for i in $(seq 1 20); do
  dir=$work/two/pair$i
  for d in "$drive0" "$drive2"; do
    [ "$(revision "$dir/state" "$d")" = SIM2.00 ] || lost=$((lost + 1))
  done
  [ "$(cat "$dir/a.rc") $(cat "$dir/b.rc")" = "0 0" ] || { echo "pair $i: exit codes $(cat "$dir/a.rc") $(cat "$dir/b.rc")"; failures=$((failures + 1)); }
done
echo "results lost: $lost of 40"
[ "$lost" -eq 0 ] || failures=$((failures + 1))

echo "== 20 pairs into one drive, one state file"
lost=0; one_each=0
for i in $(seq 1 20); do pair "$work/same" "$i" "$drive0" "$drive0" & done
wait
for i in $(seq 1 20); do
  dir=$work/same/pair$i
  codes="$(cat "$dir/a.rc") $(cat "$dir/b.rc")"
  refused=$dir/a.out; [ "$codes" = "0 2" ] && refused=$dir/b.out
  if { [ "$codes" = "0 2" ] || [ "$codes" = "2 0" ]; } &&
     [ "$(cat "$refused")" = "$(grep -E '^Drive .* is in use by another run \(process [0-9]+\); nothing was sent to it\.$' "$refused")" ]; then
    one_each=$((one_each + 1))
  else
    echo "pair $i: exit codes $codes"; cat "$dir/a.out" "$dir/b.out" | tail -n 4
  fi
  [ "$(revision "$dir/state" "$drive0")" = SIM2.00 ] || lost=$((lost + 1))
done
echo "one run downloaded and the other ended with 2, sending nothing: $one_each of 20; results lost: $lost"
[ "$one_each" -eq 20 ] && [ "$lost" -eq 0 ] || failures=$((failures + 1))

echo "== 80 interrupts of a segmented 8 MiB download (/g 1), SIGINT and SIGTERM"
# Milliseconds since the epoch, of now or of a file's last change. The waits below fork
# nothing (bash's own clock and a read that times out on a pipe nobody writes): with 16 runs and
# their watchers on two cores, a forked sleep or date alone can take longer than the transfers.
now_ms() { local t=${EPOCHREALTIME/[.,]/}; echo "${t:0:-3}"; }
mtime_ms() { stat -c %.3Y "$1" | tr -d .; }
mkfifo "$work/never"
exec 7<>"$work/never"
nap() { read -rt "$1" -u 7 || true; }

# One run from its first drive claim (the lock file appears) on, sent $2 when $3 ms have passed
# since the claim; "none" lets it run to its end. Records its exit code, the moment of its end
# and how long after the claim the signal went.
interrupt() {
  local dir=$work/int$1 signal=$2 delay_ms=$3 left
  mkdir -p "$dir"
  # A job started in the background ignores SIGINT unless told otherwise, and the tool keeps a
  # signal it was started with ignored.
  QUILLMARK_SIM_STATE=$dir/state env --default-signal=INT,TERM \
    "$sim" "$drive0" "/D:$work/fw8.bin" /s /g 1 >"$dir/out" 2>"$dir/err" &
  local p=$!
  # The moment counts from the run's claim: a signal before the tool is under way ends the
  # process the default way, as it would any program.
  while [ ! -e "$dir/state.lock" ] && kill -0 $p 2>/dev/null; do nap 0.002; done
  if [ "$signal" != none ] && [ -e "$dir/state.lock" ]; then
    left=$(($(mtime_ms "$dir/state.lock") + delay_ms - $(now_ms)))
    [ "$left" -le 0 ] || nap "$(printf '%d.%03d' $((left / 1000)) $((left % 1000)))"
    kill -"$signal" $p 2>/dev/null
    echo $(($(now_ms) - $(mtime_ms "$dir/state.lock"))) >"$dir/sent"
  fi
  wait $p; echo $? >"$dir/rc"
  now_ms >"$dir/end"
}

# The median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR ? v[int((NR + 1) / 2)] : 0) }'; }

# The times come from this build on this machine: a batch run to its end, as many at once as
# the interrupted batches, gives how long the transfers take after the claim (until the drive
# took the image and the state file was saved) and how long the whole run takes.
for k in $(seq 0 15); do interrupt "calibrate$k" none 0 & done
wait
transfers_ms=$(for k in $(seq 0 15); do
  d=$work/intcalibrate$k
  [ -f "$d/state" ] && echo $(($(mtime_ms "$d/state") - $(mtime_ms "$d/state.lock")))
done | median)
whole_ms=$(for k in $(seq 0 15); do
  d=$work/intcalibrate$k
  echo $(($(cat "$d/end") - $(mtime_ms "$d/state.lock")))
done | median)
[ "$transfers_ms" -gt 0 ] || transfers_ms=1
echo "measured, 16 runs at once: transfers ${transfers_ms} ms after the claim, whole run ${whole_ms} ms"

# Half of the moments fall among the transfers, half after them, in the pause and up to a
# tenth past the measured end, where a run may have finished before its signal.
for batch in 0 1 2 3 4; do
  for k in $(seq 0 15); do
    i=$((batch * 16 + k))
    signal=INT; [ $((i % 2)) -eq 1 ] && signal=TERM
    late=$((whole_ms * 11 / 10 - transfers_ms))
    [ "$late" -gt 0 ] || late=1
    if [ $((i % 4)) -lt 2 ]; then
      delay=$(((RANDOM * 32768 + RANDOM) % transfers_ms))
    else
      delay=$((transfers_ms + (RANDOM * 32768 + RANDOM) % late))
    fi
    interrupt "$i" "$signal" "$delay" &
  done
  wait
done

# Each run is judged by what happened to it. One that finished before its signal (and each
# calibration run) must end with 0 and leave the drive holding the image; one that was stopped
# must end with 1, its output ending with a line end and the state holding the old or the new
# image, the new one only when every transfer went out.
ended() { [ ! -s "$1" ] || [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ]; }
damaged=0; forgotten=0; unended=0; other_exit=0; temporaries=0
finished=0; mid_transfers=0; after_transfers=0
for i in $(seq 0 79) $(printf 'calibrate%d ' $(seq 0 15)); do
  dir=$work/int$i
  rev=$(revision "$dir/state" "$drive0")
  code=$(cat "$dir/rc")
  at="signal at $(cat "$dir/sent" 2>/dev/null || echo -) ms"
  [ "$rev" = DAMAGED ] && damaged=$((damaged + 1))
  temporaries=$((temporaries + $(find "$dir" -name 'state.tmp*' | wc -l)))
  ended "$dir/out" && ended "$dir/err" || unended=$((unended + 1))
  if [ "$code" = 0 ]; then
    finished=$((finished + 1))
    [ "$rev" = SIM8.00 ] || { echo "run $i ($at): exit 0, but the drive holds '$rev'"; forgotten=$((forgotten + 1)); }
    continue
  fi
  case $i in calibrate*) other_exit=$((other_exit + 1)); echo "run $i (not interrupted): exit $code"; continue ;; esac
  [ "$code" = 1 ] || { other_exit=$((other_exit + 1)); echo "run $i ($at): exit $code"; }
  [ "$rev" = - ] || [ "$rev" = SIM8.00 ] || [ "$rev" = DAMAGED ] ||
    { echo "run $i ($at): stopped, the drive holds '$rev'"; failures=$((failures + 1)); }
  # The stop line says how far the download got: some transfers, none, or all of them and
  # whether the drive took the last one (older builds: "after N of N").
  stopped=$(sed -n -e 's/.*Download stopped after \([0-9]*\) of \([0-9]*\) transfers.*/\1 \2/p' \
    -e 's/.*Stopped before any download command was sent.*/0 -/p' \
    -e 's/.*Stopped after all \([0-9]*\) transfers were sent; the drive took the last one.*/\1 \1/p' \
    -e 's/.*Stopped after all \([0-9]*\) transfers were sent; the drive refused.*/refused -/p' "$dir/err")
  if [ -n "$stopped" ]; then
    set -- $stopped
    if [ "$1" = "$2" ]; then
      after_transfers=$((after_transfers + 1))
      # Every transfer went out and the drive took the last, so it took the image: the state
      # must say so.
      [ "$rev" = SIM8.00 ] || forgotten=$((forgotten + 1))
    else
      [ "$1" = refused ] && after_transfers=$((after_transfers + 1)) || mid_transfers=$((mid_transfers + 1))
      [ "$rev" = SIM8.00 ] && { echo "run $i ($at): the state holds an image the drive never took"; failures=$((failures + 1)); }
    fi
  fi
done
echo "finished before the signal (or not sent one): $finished; stopped mid-transfers: $mid_transfers, after the last transfer: $after_transfers"
echo "damaged state files: $damaged; forgotten images: $forgotten; output not ended by a newline: $unended; exit code not 0 or 1 as it should be: $other_exit; temporary files left: $temporaries"
[ $((damaged + forgotten + unended + other_exit + temporaries)) -eq 0 ] || failures=$((failures + 1))
# Signals that all came too late would test nothing.
[ "$((mid_transfers + after_transfers))" -ge 20 ] ||
  { echo "fewer than 20 of the 80 runs were stopped by their signal"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  echo "FAILED ($failures)"
  exit 1
fi
echo "all figures as they should be"
