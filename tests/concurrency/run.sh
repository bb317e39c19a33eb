#!/usr/bin/env bash
# Runs of quillmark-sim at the same time and interrupted ones, with one state file, and the
# figures they give:
#  - 20 pairs of downloads started together into two drives: results lost (want 0);
#  - 20 pairs started together into one drive: exactly one downloads, the other ends with 2
#    having sent nothing; results lost (want 0);
#  - 80 segmented 8 MiB downloads, each sent SIGINT or SIGTERM at a random moment: damaged
#    state files, images the drive took but the state forgot, output not ended by a newline,
#    exit codes other than 1, temporary files left (all want 0).
# Usage: tests/concurrency/run.sh [build-dir]   (default build-asan)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-asan}
sim=$(realpath "$build/quillmark-sim")
make_image=$(realpath "$build/make-sim-image")
work=$(mktemp -d /tmp/qm-concurrency-XXXXXX)
trap 'rm -rf "$work"' EXIT

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
# Half of the moments fall in the first 0.4 s, where the segments go out, half in the 2 s after.
interrupt() {
  local dir=$work/int$1 signal=$2 delay_ms=$3
  mkdir -p "$dir"
  # A job started in the background ignores SIGINT unless told otherwise, and the tool keeps a
  # signal it was started with ignored.
  QUILLMARK_SIM_STATE=$dir/state env --default-signal=INT,TERM \
    "$sim" "$drive0" "/D:$work/fw8.bin" /s /g 1 >"$dir/out" 2>"$dir/err" &
  local p=$!
  # The moment counts from the run's start: a signal before the tool is under way ends the
  # process the default way, as it would any program.
  while [ ! -e "$dir/state.lock" ] && kill -0 $p 2>/dev/null; do sleep 0.005; done
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  kill -"$signal" $p 2>/dev/null
  wait $p; echo $? >"$dir/rc"
}
for batch in 0 1 2 3 4; do
  for k in $(seq 0 15); do
    i=$((batch * 16 + k))
    signal=INT; [ $((i % 2)) -eq 1 ] && signal=TERM
    if [ $((i % 4)) -lt 2 ]; then delay=$((RANDOM % 400)); else delay=$((400 + RANDOM % 2000)); fi
    interrupt "$i" "$signal" "$delay" &
  done
  wait
done
damaged=0; forgotten=0; unended=0; other_exit=0; temporaries=0; mid_transfers=0
for i in $(seq 0 79); do
  dir=$work/int$i
  rev=$(revision "$dir/state" "$drive0")
  [ "$rev" = DAMAGED ] && damaged=$((damaged + 1))
  # The drive took the image when every transfer went out.
  taken=no
  if grep -q '^Stopped after all [0-9]* transfers were sent; the drive took the last one\.$' "$dir/err"; then
    taken=yes
  elif grep -q 'Download stopped after [0-9]* of [0-9]* transfers' "$dir/err"; then
    mid_transfers=$((mid_transfers + 1))
  fi
  [ "$taken" = yes ] && [ "$rev" != SIM8.00 ] && forgotten=$((forgotten + 1))
  [ "$taken" = no ] && [ "$rev" = SIM8.00 ] && { echo "run $i: the state holds an image the drive never took"; failures=$((failures + 1)); }
  [ ! -s "$dir/out" ] || [ "$(tail -c 1 "$dir/out" | od -An -c | tr -d ' ')" = '\n' ] || unended=$((unended + 1))
  [ "$(cat "$dir/rc")" = 1 ] || { other_exit=$((other_exit + 1)); echo "run $i: exit $(cat "$dir/rc")"; }
  temporaries=$((temporaries + $(find "$dir" -name 'state.tmp*' | wc -l)))
done
echo "interrupted mid-transfers: $mid_transfers, after the last transfer: $((80 - mid_transfers))"
echo "damaged state files: $damaged; forgotten images: $forgotten; output not ended by a newline: $unended; exit code not 1: $other_exit; temporary files left: $temporaries"
[ $((damaged + forgotten + unended + other_exit + temporaries)) -eq 0 ] || failures=$((failures + 1))

if [ "$failures" -ne 0 ]; then
  echo "FAILED ($failures)"
  exit 1
fi
echo "all figures as they should be"
