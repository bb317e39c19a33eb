# Checks and figures of the TCM-User stage (bash; sourced by run.sh after the boots): the
# simulated drive behind a real sd disk.

# What quillmark-tcmu-drive reports before any download (its defaults).
T_MODEL="QM TCMU SATA DRIVE"
T_SERIAL="QMTCMU0000000001"
T_FWVER="TC1.00"

TC=$WORK/console-tcmu.txt
grep -q '^@@QM-DISK-UP' "$TC" && grep -q '^@@QM-GUEST-DONE' "$TC" &&
  ! grep -q '^@@QM-NO-\|^@@QM-MODPROBE-FAILED' "$TC"
result "TCM-User: LIO modules load, the handler serves /dev/sda and /dev/sg0, every command ran" $? \
  "$(grep '^@@QM' "$TC" | grep -v BENCH | tail -n 3 | oneline)"

revision_of() { tr ' ' '\n' <<<"$T_IMAGES" | sed -n "s/^$1:[0-9]*://p"; }
smart_is() { # run, revision
  [[ $(smart_field "Device Model" "$1") == "$T_MODEL" &&
    $(smart_field "Serial Number" "$1") == "$T_SERIAL" &&
    $(smart_field "Firmware Version" "$1") == "$2" ]]
}

# What the drive held after a case: the DOWNLOAD MICROCODE commands before and after it, its
# revision, the checksum of its image, its segmented commands/those with CK_COND, what met a
# reset's unit attention, the case's seconds and the revision the drive had before it.
case_rec() { sed -n "s/^@@QM-REC $1 //p" "$TC" | head -n 1; }
image_sum() { cksum <"$WORK/img/$1.bin" | cut -d' ' -f1; }
# The register dump of a failed command; a progress line may precede it on its line.
ata_dump() { grep -aoE ' Status = 0x[0-9a-f]+ Error = 0x[0-9a-f]+ SC = .*' "$(res "$1")" | head -n 1; }
# The lines after "stderr:" in a case that keeps the two streams apart.
stderr_lines() { sed -n '/^stderr:$/,$p' "$(res "$1")" | tail -n +2 | grep -c .; }
# The system's log, one line per record the tool wrote: the case it came from (the qmcase line
# that follows it), a tab, the record's fields.
awk '
  / qmcase: / { sub(/.* qmcase: /, ""); for (i = 1; i <= n; i++) print $0 "\t" held[i]; n = 0; next }
  / quillmark\[[0-9]+\]: / { sub(/.* quillmark\[[0-9]+\]: /, ""); held[++n] = $0 }
' "$(res t-syslog)" >"$WORK/syslog-cases.txt"
log_records() { sed -n "s/^$1\t//p" "$WORK/syslog-cases.txt"; }
# The value of field $2 in record $1, its quotes taken off.
log_field() { sed -n "s/.* $2=\(\"\([^\"]*\)\"\|\([^ ]*\)\).*/\2\3/p" <<<" $1"; }
ONE_REFUSED='^Drive /dev/s[dg][a0] is in use by another run \(process [0-9]+\); nothing was sent to it\.$'

# expect <case> <word>: whether the case's record and output bear the word out (see tcase in
# guest/tcmu_stage.sh for the words).
expect() {
  local name=$1 word=$2 before after rev sum seg attention seconds rev_before value=${2#*=} codes
  local record result
  read -r before after rev sum seg attention seconds rev_before <<<"$(case_rec "$name")"
  case $word in
    exit=*) [[ $(rc "$name") == "$value" ]] ;;
    exit!=*) [[ $(rc "$name") != "$value" && $(rc "$name") != none ]] ;;
    image=*) [[ $sum == "$(image_sum "$value")" && $rev == "$(revision_of "$value")" ]] ;;
    kept) [[ -n $rev && $rev == "$T_FWVER" ]] ;;
    sent=*) [[ -n $before && $((after - before)) == "$value" ]] ;;
    fw=*) has_line "$name" "  MN: $T_MODEL" && has_line "$name" "  SN: $T_SERIAL" &&
      has_line "$name" "  FW: $value" ;;
    smart=*) smart_is "$name" "$value" ;;
    has=*) grep -qF -- "${value//_/ }" "$(res "$name")" ;;
    lines=*) [[ $(grep -c . "$(res "$name")") == "$value" ]] ;;
    same-as=*) cmp -s "$(res "$name")" "$(res "$value")" ;;
    regs=*) [[ $(ata_dump "$name") == *" Error = $value "* ]] ;;
    regs-as=*) [[ -n $(ata_dump "$name") && $(ata_dump "$name") == "$(ata_dump "$value")" ]] ;;
    ck-cond=all) [[ ${seg%/*} -gt 0 && ${seg#*/} == "${seg%/*}" ]] ;;
    ck-cond=*) [[ ${seg#*/} == "$value" ]] ;;
    segments=*) [[ ${seg%/*} == "$value" ]] ;;
    attention) [[ -n $attention && $attention != - ]] ;;
    stopped-as-sent)
      local done total
      read -r done total <<<"$(sed -n 's/^Download stopped after \([0-9]*\) of \([0-9]*\) transfers.*/\1 \2/p' "$(res "$name")")"
      [[ -n $done && $done == $((after - before)) && $done -lt $total ]] ;;
    one-refused)
      codes=$(sed -n 's/^codes //p' "$(res "$name")")
      [[ $codes == "0 2" || $codes == "2 0" ]] && grep -qE "$ONE_REFUSED" "$(res "$name")" ;;
    stderr-lines=*) [[ $(stderr_lines "$name") == "$value" ]] ;;
    within=*) [[ -n $seconds && $seconds -le $value ]] ;;
    logged | logged-unidentified)
      record=$(log_records "$name")
      [[ $word == logged-unidentified ]] && rev=
      result=failure
      [[ $(rc "$name") == 0 ]] && result=success
      [[ -n $record && $(grep -c . <<<"$record") == 1 && $(log_field "$record" serial) == "$T_SERIAL" &&
        $(log_field "$record" model) == "$T_MODEL" && $(log_field "$record" revision_before) == "$rev_before" &&
        $(log_field "$record" revision_after) == "$rev" && $(log_field "$record" result) == "$result" &&
        $(log_field "$record" exit_code) == "$(rc "$name")" ]] ;;
    unlogged) grep -q " qmcase: $name\$" "$(res t-syslog)" && [[ -z $(log_records "$name") ]] ;;
    *) false ;;
  esac
}

# Every case of the stage, judged by its expectations; a failure shows the words that did not
# hold, the record and the output's end.
while read -r name words; do
  missed=
  for word in $words; do expect "$name" "$word" || missed+=" $word"; done
  [[ -z $missed ]]
  result "TCM-User: $name: $words" $? "not so:$missed; exit $(rc "$name"), drive (before after revision sum segmented attention seconds): $(case_rec "$name"); $(tail -c 400 "$(res "$name")" | oneline); log: $(log_records "$name" | oneline)"
done < <(sed -n 's/^@@QM-EXPECT //p' "$TC")
(($(grep -c '^@@QM-EXPECT ' "$TC") > 0))
result "TCM-User: the guest ran its cases ($(grep -c '^@@QM-EXPECT ' "$TC"))" $?

# Figures: the gaps between DOWNLOAD MICROCODE arrivals at the drive. The guest shares a busy
# host, whose bursts of load show as gaps several times the usual: the median says what a
# command takes, the lower quartile what it takes undisturbed.
! grep '^@@QM-BENCH-RC ' "$TC" | grep -qv ' 0$' && (($(grep -c '^@@QM-BENCH-RC ' "$TC") == 15))
result "TCM-User: the timed runs (5 rounds of quillmark, the SG_IO loop and hdparm) all succeed" $? \
  "$(grep '^@@QM-BENCH-RC ' "$TC" | oneline)"
# Prints the median and the lower quartile of the client's gaps.
quartiles() {
  sed -n "s/^@@QM-BENCH $1 //p" "$TC" | tr ' ' '\n' | grep . | sort -n |
    awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)], v[int((NR + 3) / 4)], NR }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "?" }'; }
read -r q_med q_low n <<<"$(quartiles quillmark)"
read -r l_med l_low _ <<<"$(quartiles sg_loop)"
read -r h_med h_low _ <<<"$(quartiles hdparm)"
echo "figures: time per DOWNLOAD MICROCODE at the drive, 1 MiB image in 32 KiB segments, ${n:-0}" \
  "gaps each, median (lower quartile) in us: quillmark /s over /dev/sda ${q_med:-?} (${q_low:-?})," \
  "bare SG_IO loop ${l_med:-?} (${l_low:-?}), hdparm --fwdownload-mode3 ${h_med:-?} (${h_low:-?})"
echo "figures: quillmark / bare loop $(ratio "$q_med" "$l_med") ($(ratio "$q_low" "$l_low")), quillmark" \
  "/ hdparm $(ratio "$q_med" "$h_med") ($(ratio "$q_low" "$h_low"))"
echo "TCM-User boot$(staged wine && echo " (with the wine stage)"): the guest ran ${TCMU_SECONDS} s, the TCM-User stage" \
  "$(sed -n 's/^@@QM-STAGE-TIME tcmu //p' "$TC") s"

# The run report of a download through the real kernel, read by the schema's validator.
problem=$(python3 "$ROOT/tests/report/check_documents.py" "$ROOT/packaging/quillmark-report.schema.json" \
  0 "$(res t-json-s)")
result "TCM-User: /D: /s --json: a document the schema accepts, exit code 0" $? "$problem"
