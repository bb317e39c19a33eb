# Guest side of the wine stage: Quillmark.exe under wine, whose SCSI pass-through hands the
# caller's structure to SG_IO, into the TCM-User stage's disk (\\.\PhysicalDrive0 is /dev/sda
# and \\.\PhysicalDrive1 /dev/sg0 in the prefix's dosdevices). Each case runs the Linux build
# and Quillmark.exe with the same arguments, each on a fresh drive; the host compares them.

export WINEPREFIX=/tmp/wine WINEDEBUG=-all
# The prefix was made on the host; wine writes its registry into an overlay over it.
mkdir -p $WINEPREFIX /tmp/wine-upper /tmp/wine-work
mount -t overlay overlay -o \
  lowerdir="$QM_WINE_LOWER",upperdir=/tmp/wine-upper,workdir=/tmp/wine-work $WINEPREFIX ||
  echo "@@QM-NO-PREFIX"
# One server for the whole stage: wine's session start is paid once, here, not by a case.
wineserver -p
start=$(date +%s)
run w-start wine "$QM_EXE" /h
echo "@@QM-WINE-START $(($(date +%s) - start))"
run w-list wine "$QM_EXE" --list

# What the drive holds after run $1, which began with $2 commands at the drive and had the
# arguments $3...: the count after, the revision and whether the image equals the file sent.
record() {
  rec_run=$1 rec_before=$2 image=
  shift 2
  for a; do case $a in /D:*) image=${a#/D:} ;; esac; done
  same=-
  [ -z "$image" ] || { cmp -s $H/image "$image"; same=$?; }
  echo "@@QM-REC $rec_run $rec_before $(downloads) $(cat $H/revision) $same"
}

# cases <builds> <case> [drive options] -- <arguments>: each build (elf: quillmark, exe:
# Quillmark.exe, event: Quillmark.exe with the event log's calls traced) on a fresh drive with
# those options.
cases() {
  builds=$1 case_name=$2 opts=
  shift 2
  while [ "$1" != -- ]; do
    opts="$opts $1"
    shift
  done
  shift
  for b in $builds; do
    drive $opts
    before=$(downloads)
    case $b in
      elf) run w-$case_name-elf quillmark "$@" ;;
      exe) run w-$case_name-exe wine "$QM_EXE" "$@" ;;
      # wine's ReportEventW is a stub that shows its call (and the event's type) on advapi's
      # fixme channel and each string on the eventlog channel: a trace for an information
      # event, an err for an error event.
      event) run w-$case_name-event env WINEDEBUG=-all,+eventlog,fixme+advapi wine "$QM_EXE" "$@" ;;
    esac
    record w-$case_name-$b "$before" "$@"
  done
}

P='\\.\PhysicalDrive0'
cases "elf exe" i -- "$P" /i
cases "elf exe" s -- "$P" /D:$IMG/s.bin /s
cases "elf exe" ea -- "$P" /D:$IMG/ea.bin /e /a
cases "elf exe" g1 -- "$P" /D:$IMG/g1.bin /s /g 1
cases "elf exe" 1m -- "$P" /D:$IMG/1m.bin
cases "elf exe" 2m -- "$P" /D:$IMG/2m.bin /v
cases "elf exe" abort --abort-download 3 -- "$P" /D:$IMG/s.bin /s /v
cases "elf exe" busy1 --busy 1 -- "$P" /D:$IMG/s.bin /s
cases "elf exe" locked --security locked -- "$P" /D:$IMG/s.bin /s
cases "elf exe" trunc -- "$P" /D:$IMG/trunc.bin /s
cases "elf exe" json -- "$P" /D:$IMG/s.bin /s --json
# The record in the Application event log, of a success, of a refused truncated image, and none
# for a run that sent nothing.
cases event log-s -- "$P" /D:$IMG/s.bin /s
cases event log-trunc -- "$P" /D:$IMG/trunc.bin /s
cases event log-locked --security locked -- "$P" /D:$IMG/s.bin /s
# Where wine itself stops the request: no ATA pass-through; no SCSI address for a char device.
cases exe ata -- "/T:$P" /D:$IMG/s.bin /s
cases exe sg -- '\\.\PhysicalDrive1' /D:$IMG/s.bin /s

# Two processes on one drive at once; the first command is held long enough for both to open.
drive --delay-download 4
before=$(downloads)
wine "$QM_EXE" "$P" /D:$IMG/s.bin /s </dev/null >/tmp/two-a 2>&1 &
two=$!
run w-two-b wine "$QM_EXE" "$P" /D:$IMG/s.bin /s
wait $two
two=$?
echo "@@QM-BEGIN w-two-a"
cat /tmp/two-a
echo
echo "@@QM-END w-two-a rc=$two"
record w-two "$before" /D:$IMG/s.bin

# Figures: the same 1 MiB image in 32 KiB segments by Quillmark.exe under wine, the Linux build
# and the bare SG_IO loop, timed at the drive, in rounds whose order turns.
drive --segment-min 64 --segment-max 64
ranges=
for round in 1 2 3 4; do
  order="exe elf sg_loop"
  [ $((round % 2)) = 0 ] && order="sg_loop elf exe"
  for client in $order; do
    a=$(downloads)
    case $client in
      exe) wine "$QM_EXE" "$P" /D:$IMG/bench.bin /s ;;
      elf) quillmark "$P" /D:$IMG/bench.bin /s ;;
      sg_loop) sg_loop /dev/sda $IMG/bench.bin 64 ;;
    esac </dev/null >/dev/null 2>&1
    echo "@@QM-WBENCH-RC $client $?"
    ranges="$ranges $round:$client:$a:$(downloads)"
  done
done
wineserver -k
# The drive writes its arrival times when it stops.
kill "$DRIVE_PID"
wait "$DRIVE_PID"
DRIVE_PID=
for r in $ranges; do
  IFS=: read -r round client a b <<EOF
$r
EOF
  gaps "@@QM-WBENCH $round $client" "$a" "$b"
done
