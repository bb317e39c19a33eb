# Checks of the libata stage (bash; sourced by run.sh after the boots): QEMU's AHCI disk, whose
# identity the script gave QEMU, through libata's translation, smartctl beside the tool.

grep -q '^@@QM-GUEST-UP' "$WORK/console-ahci.txt"
result "guest boots the kernel ($KVER)" $? \
  "saw: $(head -n 5 "$WORK/console-ahci.txt" | oneline) qemu: $(head -n 3 "$WORK/qemu-ahci.err" | oneline)"
! grep -q '^@@QM-NO-DISK\|^@@QM-MODPROBE-FAILED' "$WORK/console-ahci.txt" &&
  grep -q '^@@QM-GUEST-DONE' "$WORK/console-ahci.txt"
result "ahci, sd_mod and sg load, /dev/sda and /dev/sg0 appear, every command ran" $? \
  "$(grep '^@@QM' "$WORK/console-ahci.txt" | tail -n 3 | oneline)"

# The peer: smartctl must see what the script gave QEMU, or nothing below means anything.
sm_model=$(smart_field "Device Model")
sm_serial=$(smart_field "Serial Number")
sm_fw=$(smart_field "Firmware Version")
[[ $sm_model == "$MODEL" && $sm_serial == "$SERIAL" && $sm_fw == "$FWVER" ]]
result "smartctl -i reports the model, serial and firmware given to QEMU" $? \
  "smartctl: '$sm_model' '$sm_serial' '$sm_fw'"

# The raw stack, without the tool's logic.
probe_field() { sed -n "s/^$2 .*$3=\([^ ]*\).*/\1/p" "$(res "$1")" | head -n 1; }
probe_sense() { sed -n "s/^$2 status=.* sense=//p" "$(res "$1")" | head -n 1; }
for dev in sda sg0; do
  [[ $(probe_field probe-$dev identify status) == 00 &&
    $(probe_field probe-$dev identify moved) == 512 ]] &&
    has_line probe-$dev "identify model=$MODEL"
  result "raw SG_IO IDENTIFY on /dev/$dev: GOOD, 512 bytes, the model" $? \
    "$(out probe-$dev | oneline)"
  grep -q '^address port=' "$(res probe-$dev)"
  result "SCSI address query on /dev/$dev" $? "$(out probe-$dev | head -n 1)"
done
# The disk node and the sg node of one drive are asked differently and must agree.
address_of() { grep -m 1 '^address port=' "$(res "$1")"; }
[[ -n $(address_of probe-sda) && $(address_of probe-sda) == "$(address_of probe-sg0)" ]]
result "/dev/sda and /dev/sg0 report the same SCSI address" $? \
  "sda: $(address_of probe-sda); sg0: $(address_of probe-sg0)"
dl_sense=$(probe_sense probe-sda download)
[[ $(probe_field probe-sda download status) == 02 && -n $dl_sense ]]
result "raw DOWNLOAD MICROCODE is refused with CHECK CONDITION and sense data" $? \
  "$(grep '^download' "$(res probe-sda)" | oneline)"
[[ $(probe_field probe-sda readlog status) == 02 ]]
result "raw READ LOG EXT is refused with CHECK CONDITION" $? \
  "$(grep '^readlog' "$(res probe-sda)" | oneline)"

# The tool's device information report on every way of naming the drive.
report_matches() { # name
  [[ $(rc "$1") == 10 ]] && has_line "$1" "  MN: $MODEL" && has_line "$1" "  SN: $SERIAL" &&
    has_line "$1" "  FW: $FWVER" && has_line "$1" "  MN: $sm_model" &&
    has_line "$1" "  SN: $sm_serial" && has_line "$1" "  FW: $sm_fw"
}
for c in "qm-sda-i|quillmark /dev/sda /i" \
  "qm-pd0-i|quillmark '\\\\.\\PhysicalDrive0' /i" \
  "qm-ata-i|quillmark /T:/dev/sda /i (ATA pass-through)" \
  "qm-sg0-i|quillmark /dev/sg0 /i" \
  "qm-sg0-ata-i|quillmark /T:/dev/sg0 /i (ATA pass-through)"; do
  name=${c%%|*}
  report_matches "$name"
  result "${c#*|}: exit 10, MN/SN/FW as given to QEMU and as smartctl reports" $? \
    "exit $(rc "$name"): $(out "$name" | oneline)"
done

# Security state and versions, against smartctl's reading of the same IDENTIFY data.
sm_sec=$(smart_field "ATA Security is")
case $sm_sec in
  *"[SEC"[0-9]"]"*) want_sec="  SEC$(sed 's/.*\[SEC\([0-9]\)\].*/\1/' <<<"$sm_sec")" ;;
  Unavailable*) want_sec="  SEC1" ;; # no security feature set: disabled, not frozen
  *) want_sec="(smartctl: $sm_sec)" ;;
esac
has_line qm-sda-iv "$want_sec"
result "verbose report shows the security state smartctl reports ($sm_sec)" $? \
  "want '$want_sec'; got: $(grep '^  SEC' "$(res qm-sda-iv)" | oneline)"

# The list: the disk once, by both its nodes, with what smartctl reads; QEMU aborts READ LOG
# EXT, so no deferred downloads.
list_line=$(grep -F ' # ' "$(res qm-list)")
[[ $(rc qm-list) == 0 && $(grep -c . <<<"$list_line") == 1 &&
  $list_line == "/dev/sda (also /dev/sg0) # SCSI pass-through | MN $sm_model | SN $sm_serial | FW $sm_fw | ${want_sec#  } | mode 3 "*" | deferred no | "* ]]
result "--list: exit 0, /dev/sda with /dev/sg0 once, the model, serial and firmware smartctl reports" $? \
  "exit $(rc qm-list): $(out qm-list | oneline)"

sm_ver=$(smart_field "ATA Version is")
# The report lists ATA8-ACS and ACS-2..4 only; smartctl names the newest major version.
case $sm_ver in
  ACS-[234]*) want_last="${sm_ver%% *}" ;;
  ATA8-ACS*) want_last="ATA8-ACS" ;;
  *) want_last="" ;;
esac
versions=$(awk '/^  FW: /{ getline; print; exit }' "$(res qm-sda-iv)")
if [[ -z $want_last ]]; then [[ $versions == "  " ]]; else [[ $versions == *" $want_last " ]]; fi
result "verbose report's versions agree with smartctl ($sm_ver)" $? "versions line '$versions'"

# QEMU aborts READ LOG EXT: no DM lines, and each path reports the abort it saw.
sense_line() { # command hex, probe name: the CHECK CONDITION line for the probe's sense bytes
  local s0 s1 s2 rest
  read -r s0 s1 s2 rest <<<"$(probe_sense probe-sda "$2")"
  printf 'CHECK CONDITION ERROR for CMD: %sSense Buffer: %x%x%x' "$1" "0x${s0:-0}" "0x${s1:-0}" "0x${s2:-0}"
}
for name in qm-sda-iv qm-ata-iv; do
  [[ $(rc $name) == 10 ]] &&
    ! grep -qE 'DM OFFSETS DEFERRED SUPPORTED|DM CLEARS NONACTIVATED DEFERRED DATA SUPPORTED' \
      "$(res $name)"
  result "$name: exit 10 and no DM lines" $? "$(out $name | oneline)"
done
want_cc=$(sense_line 2f readlog)
has_line qm-sda-iv "$want_cc"
result "READ LOG EXT under /v: '$want_cc'" $? "$(grep 'CHECK CONDITION' "$(res qm-sda-iv)" | oneline)"
# On the ATA path the aborted data-in command must not count as delivered (libata leaves
# resid at 0): its registers and "Data Transfered = 0" are printed.
ata_regs() { grep -E '^ Status = 0x[0-9a-f]+ Error = 0x[0-9a-f]+ SC = ' "$(res "$1")" | head -n 1; }
regs=$(ata_regs qm-ata-iv)
[[ $regs == " Status = 0x"*" Error = 0x4 SC = 0x1 LBA Low = 0x30 "* ]] &&
  has_line qm-ata-iv " Data Transfered = 0 [io=48, req=512]"
result "/T: READ LOG EXT under /v: aborted registers (Error 0x4, LBA Low 0x30), 0 bytes" $? \
  "$(grep -E '^ (Status|Data)' "$(res qm-ata-iv)" | oneline)"

# Downloads: QEMU aborts DOWNLOAD MICROCODE.
[[ $(rc qm-dl) == 1 ]]
result "download /D: /s ends with exit 1" $? "exit $(rc qm-dl): $(out qm-dl | oneline)"
# The expected line, from the first three sense bytes the kernel returned to the probe.
want_cc=$(sense_line 92 download)
[[ $(rc qm-dl-v) == 1 ]] && has_line qm-dl-v "$want_cc"
result "download /v: exit 1 and '$want_cc'" $? \
  "exit $(rc qm-dl-v): $(grep 'CHECK CONDITION' "$(res qm-dl-v)" | oneline)"

# The ATA path: the registers that came back are the aborted command's.
regs=$(ata_regs qm-ata-dl-v)
st=$(sed -n 's/^ Status = 0x\([0-9a-f]*\) .*/\1/p' <<<"$regs")
er=$(sed -n 's/.* Error = 0x\([0-9a-f]*\) .*/\1/p' <<<"$regs")
[[ $(rc qm-ata-dl-v) == 1 && $er == 4 && -n $st ]] && (((0x$st & 0x01) == 1)) &&
  has_line qm-ata-dl-v " Data Transfered = 0 [io=48, req=32768]"
result "/T: download: exit 1, Error 0x4 and ERR in Status, 0 bytes" $? \
  "exit $(rc qm-ata-dl-v): $(grep -E '^ (Status|Data)' "$(res qm-ata-dl-v)" | oneline)"

[[ $(rc qm-missing) == 2 && $(out qm-missing) == "Cannot open /dev/sdq: no such device (system error 2)" ]]
result "missing device /dev/sdq: exit 2, only the cause on the error stream" $? \
  "exit $(rc qm-missing): $(out qm-missing | oneline)"
[[ $(rc qm-missing-pd) == 2 ]]
result "missing device \\\\.\\PhysicalDrive7: exit 2" $? "exit $(rc qm-missing-pd)"
