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

# Identity before any download, by both.
run t-smart-before smartctl -i /dev/sda
run t-smart-12 smartctl -d sat,12 -i /dev/sda
run t-i-before quillmark /dev/sda /i
run t-list quillmark --list

# Downloads that succeed, each followed by the drive's image and /i.
run t-dl-s quillmark /dev/sda /D:$IMG/s.bin /s
run t-img-s cmp $H/image $IMG/s.bin
run t-i-s quillmark /dev/sda /i
run t-smart-after smartctl -i /dev/sda
run t-dl-ea quillmark /T:/dev/sda /D:$IMG/ea.bin /e /a
run t-img-ea cmp $H/image $IMG/ea.bin
run t-i-ea quillmark /dev/sda /i
run t-dl-g1 quillmark /dev/sg0 /D:$IMG/g1.bin /s /g 1
run t-img-g1 cmp $H/image $IMG/g1.bin
run t-i-g1 quillmark /dev/sg0 /i
run t-dl-1m quillmark /dev/sda /D:$IMG/1m.bin
run t-img-1m cmp $H/image $IMG/1m.bin
run t-i-1m quillmark /dev/sda /i
# Twice the most SG_IO carries in one command: refused before anything reaches the drive.
before=$(downloads)
run t-dl-2m quillmark /dev/sda /D:$IMG/2m.bin /v
echo "@@QM-COUNT t-dl-2m $before $(downloads)"

# A segment the drive aborts, with and without a retry.
drive --abort-download 3
run t-abort quillmark /dev/sda /D:$IMG/s.bin /s
run t-abort-rev cat $H/revision
run t-abort-i quillmark /dev/sda /i
drive --abort-download 3
run t-retry quillmark /dev/sda /D:$IMG/s.bin /s /r 1
run t-img-retry cmp $H/image $IMG/s.bin

# BUSY: once the kernel retries by itself; always, it gives up.
drive --busy 1
run t-busy1 quillmark /dev/sda /D:$IMG/s.bin /s
run t-img-busy1 cmp $H/image $IMG/s.bin
drive --busy always
run t-busy quillmark /dev/sda /D:$IMG/s.bin /s
run t-busy-rev cat $H/revision

# A reply slower than the tool's 5 s timeout, which /dev/sgN honours; the next run works. Twice the
# timeout, so that the kernel's abort, however late a loaded guest schedules it, still meets the
# command in flight.
drive --delay-download 10
run t-slow quillmark /dev/sg0 /D:$IMG/s.bin /s
run t-slow-next quillmark /dev/sg0 /D:$IMG/s.bin /s
run t-img-slow cmp $H/image $IMG/s.bin

# The same runs with descriptor and with fixed-format sense data.
for f in desc fixed; do
  opt=
  [ $f = fixed ] && opt=--fixed-sense
  drive $opt --abort-download 2
  run t-fmt-i-$f quillmark /T:/dev/sda /i /v
  run t-fmt-abort-$f quillmark /T:/dev/sda /D:$IMG/s.bin /s /v
  run t-fmt-ok-$f quillmark /T:/dev/sda /D:$IMG/s.bin /s
  run t-fmt-img-$f cmp $H/image $IMG/s.bin
done

# A locked drive is refused before any DOWNLOAD MICROCODE.
drive --security locked
run t-locked quillmark /dev/sda /D:$IMG/s.bin /s
echo "@@QM-COUNT t-locked 0 $(downloads)"

# hdparm's segmented download into a fresh drive whose minimum segment is the tool's default.
drive --segment-min 64 --segment-max 64
run t-hdparm hdparm --yes-i-know-what-i-am-doing --please-destroy-my-drive \
  --fwdownload-mode3 $IMG/hd.bin /dev/sda
run t-img-hdparm cmp $H/image $IMG/hd.bin
run t-hdparm-rev cat $H/revision

# A truncated image (the first 64 KiB of s.bin, whose header names 100,000 bytes): after its
# last segment the drive says it expects more. The tool refuses it on each path; the whole image
# still goes through on each path, with CK_COND on its 0x03 commands. hdparm is given the same
# cut, and the handler counts whether it asked for the registers.
for p in sda sg0 t; do
  dev=/dev/$p
  [ $p = t ] && dev=/T:/dev/sda
  drive
  run t-cut-$p quillmark $dev /D:$IMG/cut.bin /s
  run t-cut-rev-$p cat $H/revision
  drive
  run t-whole-$p quillmark $dev /D:$IMG/s.bin /s
  run t-whole-img-$p cmp $H/image $IMG/s.bin
  echo "@@QM-SEGMENTED t-whole-$p $(cat $H/segmented)"
done
drive
run t-cut-hdparm hdparm --yes-i-know-what-i-am-doing --please-destroy-my-drive \
  --fwdownload-mode3 $IMG/cut.bin /dev/sda
run t-cut-hdparm-rev cat $H/revision
echo "@@QM-SEGMENTED t-cut-hdparm $(cat $H/segmented)"

# One run per drive: two runs started together on the two nodes of one drive.
drive
( quillmark /dev/sda /D:$IMG/s.bin /s >/tmp/two-sd 2>&1; echo $? >/tmp/two-sd.rc ) &
two_sd=$!
( quillmark /dev/sg0 /D:$IMG/s.bin /s >/tmp/two-sg 2>&1; echo $? >/tmp/two-sg.rc ) &
two_sg=$!
wait $two_sd $two_sg
run t-two-sd sh -c 'cat /tmp/two-sd; exit $(cat /tmp/two-sd.rc)'
run t-two-sg sh -c 'cat /tmp/two-sg; exit $(cat /tmp/two-sg.rc)'
run t-img-two cmp $H/image $IMG/s.bin
echo "@@QM-COUNT t-two 0 $(downloads)"

# SIGINT in the middle of a 1 MiB download in one-block segments (a job started in the
# background ignores SIGINT unless told otherwise), then a run that downloads cleanly.
drive
env --default-signal=INT quillmark /dev/sg0 /D:$IMG/1m.bin /s /g 1 >/tmp/int 2>&1 &
int_pid=$!
i=0
while [ "$(downloads)" -lt 20 ] && [ $i -lt 600 ]; do
  sleep 0.05
  i=$((i + 1))
done
kill -INT $int_pid
wait $int_pid
echo $? >/tmp/int.rc
run t-int sh -c 'cat /tmp/int; exit $(cat /tmp/int.rc)'
echo "@@QM-COUNT t-int 0 $(downloads)"
run t-int-next quillmark /dev/sg0 /D:$IMG/s.bin /s
run t-img-int-next cmp $H/image $IMG/s.bin

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
