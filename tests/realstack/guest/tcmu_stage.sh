# Guest side of the TCM-User stage: the simulated drive served by quillmark-tcmu-drive behind a
# tcm_loop SCSI disk, driven by quillmark, smartctl and hdparm.

H=/tmp/drive # the handler's record of what the drive holds
DRIVE_PID=
UIO=

# (Re)starts the handler with a fresh drive and the given options. The disk stays.
drive() {
  if [ -n "$DRIVE_PID" ]; then
    kill "$DRIVE_PID"
    wait "$DRIVE_PID"
  fi
  rm -rf $H
  mkdir -p $H
  quillmark-tcmu-drive --uio "$UIO" --record $H "$@" </dev/null >>/tmp/drive.log 2>&1 &
  DRIVE_PID=$!
  i=0
  while [ ! -e $H/ready ] && [ $i -lt 200 ]; do
    sleep 0.05
    i=$((i + 1))
  done
  [ -e $H/ready ] || echo "@@QM-NO-DRIVE $*"
}

downloads() { echo $(cat $H/downloads); }

# The system's log: busybox's syslogd takes /dev/log, as a booted system's daemon would, and
# keeps its lines in a file that the stage prints at its end. Each case ends with a line of its
# own there (tag qmcase), after whatever the case's runs logged, so the host can tell whose
# records are whose.
LOG=/tmp/syslog
busybox syslogd -n -O $LOG &
SYSLOGD_PID=$!
i=0
while [ ! -S /dev/log ] && [ $i -lt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done
[ -S /dev/log ] || echo "@@QM-NO-SYSLOGD"

grep -q ' /sys/kernel/config ' /proc/mounts || mount -t configfs configfs /sys/kernel/config
D=/sys/kernel/config/target/core/user_0/qmdev
mkdir -p $D
echo -n dev_config=qmsat/sim,dev_size=1048576 >$D/control
echo 1 >$D/enable
for u in /sys/class/uio/uio*; do
  case $(cat "$u/name") in
    tcm-user/*/qmdev/*) UIO=/dev/${u##*/} ;;
  esac
done
[ -n "$UIO" ] || echo "@@QM-NO-UIO"
# The handler answers the disk probe's INQUIRY, so it runs before the LUN is linked.
drive
W=/sys/kernel/config/target/loopback/naa.5001405000000001
mkdir -p $W/tpgt_1/lun/lun_0
echo naa.5001405000000002 >$W/tpgt_1/nexus
ln -s $D $W/tpgt_1/lun/lun_0/port
wait_for_disk
echo "@@QM-DISK-UP"

# Each case is one line here, its command and what the host is to find: tcase <name>
# "<expectations>" <command...> runs the command between markers, prints the expectations and
# records what the drive then holds; the host judges every case by that record alone
# (checks_tcmu.sh reads the words). Expectations, blank-separated:
#   exit=N, exit!=N       the command's exit status is (is not) N
#   image=NAME            the drive holds $IMG/NAME.bin byte for byte and reports its revision
#   kept                  the drive still reports the revision it started with
#   sent=N                N DOWNLOAD MICROCODE commands reached the drive during the command
#   fw=REV                the output is an identity report (model, serial) with revision REV
#   smart=REV             the output is smartctl's identity, the same drive with revision REV
#   has=TEXT              a line of the output holds TEXT (an underscore stands for a blank)
#   lines=N               the output has N lines that are not blank
#   same-as=CASE          the output is that of an earlier case, byte for byte
#   regs=ERR, regs-as=CASE the failed command's register dump shows Error = ERR (as CASE's)
#   ck-cond=all, ck-cond=N every segmented command (N of them) asked for the registers
#   segments=N            N segmented DOWNLOAD MICROCODE commands reached the drive
#   attention             the drive's reset met a command with its unit attention
#   stopped-as-sent       the stop line counts exactly the transfers the drive got
#   one-refused           of two runs at once, one downloaded, the other ended with 2, sending nothing
#   stderr-lines=N        the tool wrote N lines on standard error (cases that keep them apart)
#   within=S              the command ended within S seconds
#   logged                the system's log got one record from the case, with the drive's serial,
#                         its revisions before and after, and the case's result and exit status
#   logged-unidentified   as logged, with no revision after: the drive was not identified again
#                         (the run was stopped, or the drive was gone)
#   unlogged              the system's log got no record from the case
tcase() {
  tc_name=$1 tc_expect=$2
  shift 2
  tc_before=$(downloads)
  tc_revision=$(cat $H/revision)
  tc_start=$(date +%s)
  run "$tc_name" "$@"
  busybox logger -t qmcase "$tc_name"
  echo "@@QM-EXPECT $tc_name $tc_expect"
  echo "@@QM-REC $tc_name $tc_before $(downloads) $(cat $H/revision) $(cksum <$H/image | cut -d' ' -f1)" \
    "$(echo $(cat $H/segmented 2>/dev/null || echo 0 0) | tr ' ' /) $(cat $H/attention 2>/dev/null || echo -)" \
    "$(($(date +%s) - tc_start)) $tc_revision"
}

# two_at_once [--no-lock-folder] <device> <device> <arguments...>: two runs on the two devices
# started together; their outputs, then "codes A B". Without a lock folder, /run is an empty
# tmpfs for the two runs (as in an initramfs or a minimal container).
two_at_once() {
  hide=
  [ "$1" = --no-lock-folder ] && { hide=1; shift; }
  dev_a=$1 dev_b=$2
  shift 2
  [ -z "$hide" ] || mount -t tmpfs -o mode=755 tmpfs /run
  [ -e /run/lock ] && [ -n "$hide" ] && echo "/run/lock is still there"
  ( quillmark "$dev_a" "$@" >/tmp/two-a 2>&1; echo $? >/tmp/two-a.rc ) &
  two_a=$!
  ( quillmark "$dev_b" "$@" >/tmp/two-b 2>&1; echo $? >/tmp/two-b.rc ) &
  two_b=$!
  wait $two_a $two_b
  [ -z "$hide" ] || umount /run
  cat /tmp/two-a /tmp/two-b
  echo "codes $(cat /tmp/two-a.rc) $(cat /tmp/two-b.rc)"
}

# after_downloads <count> <action> <command...>: the command in the background; once the
# drive has had that many DOWNLOAD MICROCODE commands, the action (a signal, or "vanish":
# the disk's LUN is removed, so that the drive is gone from the kernel); then the command's
# output, its standard error after a line "stderr:", and its exit status as this one's.
after_downloads() {
  count=$1 action=$2
  shift 2
  env --default-signal=INT "$@" >/tmp/bg.out 2>/tmp/bg.err &
  bg_pid=$!
  i=0
  while [ "$(downloads)" -lt "$count" ] && [ $i -lt 600 ]; do
    sleep 0.05
    i=$((i + 1))
  done
  case $action in
    vanish) rm $W/tpgt_1/lun/lun_0/port ;;
    *) kill -"$action" $bg_pid ;;
  esac
  wait $bg_pid
  bg_rc=$?
  cat /tmp/bg.out
  echo
  echo "stderr:"
  cat /tmp/bg.err
  return $bg_rc
}

# Identity before any download, by both.
tcase t-smart-before "smart=TC1.00" smartctl -i /dev/sda
tcase t-smart-12 "smart=TC1.00" smartctl -d sat,12 -i /dev/sda
tcase t-i-before "exit=10 fw=TC1.00 unlogged" quillmark /dev/sda /i
# The list: the drive once, by its disk node and its sg node, asked without a download.
tcase t-list "exit=0 sent=0 unlogged lines=1 has=/dev/sda_(also_/dev/sg0)_#_SCSI_pass-through_|_MN_QM_TCMU_SATA_DRIVE_|_SN_QMTCMU0000000001_|_FW_TC1.00_|_SEC1_|" \
  quillmark --list

# Downloads that succeed, each followed by /i.
tcase t-dl-s "exit=0 image=s logged" quillmark /dev/sda /D:$IMG/s.bin /s
tcase t-i-s "exit=10 fw=TC-S" quillmark /dev/sda /i
# The run report of a download through the real kernel (checks_tcmu.sh reads the document).
tcase t-json-s "exit=0 image=s" quillmark /dev/sda /D:$IMG/s.bin /s --json
tcase t-smart-after "smart=TC-S" smartctl -i /dev/sda
tcase t-dl-ea "exit=0 image=ea logged" quillmark /T:/dev/sda /D:$IMG/ea.bin /e /a
tcase t-i-ea "exit=10 fw=TC-EA" quillmark /dev/sda /i
tcase t-dl-g1 "exit=0 image=g1 logged" quillmark /dev/sg0 /D:$IMG/g1.bin /s /g 1
tcase t-i-g1 "exit=10 fw=TC-G1" quillmark /dev/sg0 /i
tcase t-dl-1m "exit=0 image=1m logged" quillmark /dev/sda /D:$IMG/1m.bin
tcase t-i-1m "exit=10 fw=TC-1M" quillmark /dev/sda /i
# Twice the most SG_IO carries in one command: refused before anything reaches the drive. The
# command was issued all the same, so the attempt is in the system's log.
tcase t-dl-2m "exit=10 sent=0 logged has=IO_Error_[87]" quillmark /dev/sda /D:$IMG/2m.bin /v

# A segment the drive aborts, with and without a retry.
drive --abort-download 3
tcase t-abort "exit=1 kept logged" quillmark /dev/sda /D:$IMG/s.bin /s
tcase t-abort-i "exit=10 fw=TC1.00" quillmark /dev/sda /i
drive --abort-download 3
tcase t-retry "exit=0 image=s logged" quillmark /dev/sda /D:$IMG/s.bin /s /r 1

# BUSY: once the kernel retries by itself; always, it gives up.
drive --busy 1
tcase t-busy1 "exit=0 image=s" quillmark /dev/sda /D:$IMG/s.bin /s
drive --busy always
tcase t-busy "exit!=0 kept logged" quillmark /dev/sda /D:$IMG/s.bin /s

# A reply slower than the tool's 5 s timeout, which /dev/sgN honours; the next run works. Twice the
# timeout, so that the kernel's abort, however late a loaded guest schedules it, still meets the
# command in flight.
drive --delay-download 10
tcase t-slow "exit!=0 logged" quillmark /dev/sg0 /D:$IMG/s.bin /s
tcase t-slow-next "exit=0 image=s" quillmark /dev/sg0 /D:$IMG/s.bin /s

# The same runs with descriptor and with fixed-format sense data: the same text, the same
# registers decoded from either.
drive --abort-download 2
tcase t-fmt-i-desc "exit=10 fw=TC1.00" quillmark /T:/dev/sda /i /v
tcase t-fmt-abort-desc "exit=1 regs=0x4" quillmark /T:/dev/sda /D:$IMG/s.bin /s /v
tcase t-fmt-ok-desc "exit=0 image=s" quillmark /T:/dev/sda /D:$IMG/s.bin /s
drive --fixed-sense --abort-download 2
tcase t-fmt-i-fixed "exit=10 fw=TC1.00 same-as=t-fmt-i-desc" quillmark /T:/dev/sda /i /v
tcase t-fmt-abort-fixed "exit=1 regs-as=t-fmt-abort-desc" quillmark /T:/dev/sda /D:$IMG/s.bin /s /v
tcase t-fmt-ok-fixed "exit=0 image=s" quillmark /T:/dev/sda /D:$IMG/s.bin /s

# A locked drive is refused before any DOWNLOAD MICROCODE.
drive --security locked
tcase t-locked "exit=6 sent=0 unlogged" quillmark /dev/sda /D:$IMG/s.bin /s

# hdparm's segmented download into a fresh drive whose minimum segment is the tool's default.
drive --segment-min 64 --segment-max 64
tcase t-hdparm "exit=0 image=hd" hdparm --yes-i-know-what-i-am-doing --please-destroy-my-drive \
  --fwdownload-mode3 $IMG/hd.bin /dev/sda

# A truncated image (the first 64 KiB of s.bin, whose header names 100,000 bytes): after its
# last segment the drive says it expects more. The tool refuses it on each path; the whole image
# still goes through on each path, with CK_COND on its 0x03 commands.
for p in sda sg0 t; do
  dev=/dev/$p
  [ $p = t ] && dev=/T:/dev/sda
  drive
  tcase t-cut-$p "exit=1 kept logged" quillmark $dev /D:$IMG/cut.bin /s
  drive
  tcase t-whole-$p "exit=0 image=s ck-cond=all logged" quillmark $dev /D:$IMG/s.bin /s
done
# hdparm is given the same cut and sends its segments without CK_COND, so over SAT no registers
# come back to it and it cannot hear the verdict: it reports success, and the drive keeps its
# revision all the same. Kept as seen, so that an hdparm that starts asking shows here.
drive
tcase t-cut-hdparm "exit=0 kept segments=128 ck-cond=0" hdparm --yes-i-know-what-i-am-doing \
  --please-destroy-my-drive --fwdownload-mode3 $IMG/cut.bin /dev/sda

# One run per drive: two runs started together on the two nodes of one drive, with the lock
# folder and without one; the drive aborts a segment out of order, so its record is that one
# download, in order, and the system's log has the one record of the run that downloaded.
drive
tcase t-two "one-refused image=s sent=4 logged" two_at_once /dev/sda /dev/sg0 /D:$IMG/s.bin /s
drive
tcase t-two-no-lock "one-refused image=s sent=4 logged" two_at_once --no-lock-folder /dev/sda /dev/sg0 \
  /D:$IMG/s.bin /s

# SIGINT in the middle of a 1 MiB download in one-block segments (a job started in the
# background ignores SIGINT unless told otherwise), then a run that downloads cleanly.
drive
tcase t-int "exit=1 stopped-as-sent logged-unidentified" after_downloads 20 INT quillmark /dev/sg0 /D:$IMG/1m.bin /s /g 1
tcase t-int-next "exit=0 image=s" quillmark /dev/sg0 /D:$IMG/s.bin /s

# Standard output closed early (a pager, a log collector or an ssh session gone): the download
# goes on to its end without it.
drive
tcase t-pipe "exit=0 image=s logged" sh -c \
  '{ quillmark /dev/sda /D:$IMG/s.bin /s /g 1; echo $? >/tmp/pipe.rc; } | head -c 100 >/dev/null; exit $(cat /tmp/pipe.rc)'

# The drive resets after the activation: the next command waits 3 s and meets UNIT ATTENTION;
# the quiet re-identify rides it out and the run ends as the activation did.
drive --reset-after-activate 3
tcase t-reset "exit=0 image=ea attention within=60 logged" quillmark /dev/sda /D:$IMG/ea.bin /e /a
tcase t-reset-i "exit=10 fw=TC-EA" quillmark /dev/sda /i

# The drive vanishes in the middle of a segmented download (its LUN is removed): the run ends
# on its own within the command timeouts with one line, and the next run finds no drive. The
# LUN then comes back for what follows.
drive
tcase t-vanish "exit!=0 stderr-lines=1 within=60 logged-unidentified" after_downloads 20 vanish \
  timeout 300 quillmark /dev/sda /D:$IMG/1m.bin /s /g 1
tcase t-vanish-next "exit=2" quillmark /dev/sda /i
ln -s $D $W/tpgt_1/lun/lun_0/port
wait_for_disk

# The system's log as it stands once a last line of its own is in it; the daemon then stops, and
# the runs that follow (the figures, the wine stage) log into a socket nobody reads.
busybox logger -t qmcase end-of-cases
i=0
while ! grep -q ' qmcase: end-of-cases$' $LOG 2>/dev/null && [ $i -lt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done
run t-syslog cat $LOG
kill $SYSLOGD_PID
wait $SYSLOGD_PID

# Figures: the same 1 MiB image in 32 KiB segments by the tool, a bare SG_IO loop and hdparm,
# timed at the drive (the arrival of each DOWNLOAD MICROCODE), in rounds whose order turns so
# that no client always follows the same one.
drive --segment-min 64 --segment-max 64
ranges=
for round in 1 2 3 4 5; do
  order="quillmark sg_loop hdparm"
  [ $((round % 2)) = 0 ] && order="hdparm sg_loop quillmark"
  for client in $order; do
    a=$(downloads)
    case $client in
      quillmark) quillmark /dev/sda /D:$IMG/bench.bin /s ;;
      sg_loop) sg_loop /dev/sda $IMG/bench.bin 64 ;;
      hdparm) hdparm --yes-i-know-what-i-am-doing --please-destroy-my-drive \
        --fwdownload-mode3 $IMG/bench.bin /dev/sda ;;
    esac </dev/null >/dev/null 2>&1
    echo "@@QM-BENCH-RC $client $?"
    ranges="$ranges $client:$a:$(downloads)"
  done
done
drive_stop=$DRIVE_PID
kill "$drive_stop"
wait "$drive_stop"
DRIVE_PID=
for r in $ranges; do
  client=${r%%:*}
  a=${r#*:}
  b=${a#*:}
  gaps "@@QM-BENCH $client" "${a%%:*}" "$b"
done
