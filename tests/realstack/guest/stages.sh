# Runs the guest's stages named in its arguments, in order, in one shell (a later stage may use
# what an earlier one set up), inside the host's root (sourced by init; the host's /bin/sh).
# Each command runs with its output between two markers; the host judges afterwards.

run() {
  name=$1
  shift
  echo "@@QM-BEGIN $name"
  "$@" </dev/null >/tmp/out 2>&1
  rc=$?
  cat /tmp/out
  echo
  echo "@@QM-END $name rc=$rc"
}

# Up to 30 s for /dev/sda and /dev/sg0, which appear once the disk's probe has finished.
wait_for_disk() {
  i=0
  while [ $i -lt 300 ] && ! { [ -b /dev/sda ] && [ -c /dev/sg0 ]; }; do
    sleep 0.1
    i=$((i + 1))
  done
  [ -b /dev/sda ] || echo "@@QM-NO-DISK"
}

# gaps <label> <commands before> <commands after>: one line, the label and the gaps between the
# arrivals of those DOWNLOAD MICROCODE commands at the drive, in microseconds.
gaps() {
  awk -v label="$1" -v a="$2" -v b="$3" '
    { t[NR] = $1 }
    END {
      line = label
      for (i = a + 2; i <= b; i++) line = line " " int((t[i] - t[i - 1]) / 1000)
      print line
    }' $H/download-times
}

for stage in "$@"; do
  stage_start=$(date +%s)
  . "$QM_GUEST/${stage}_stage.sh"
  echo "@@QM-STAGE-TIME $stage $(($(date +%s) - stage_start))"
done
