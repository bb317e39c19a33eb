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
# The guest's count of DOWNLOAD MICROCODE commands at the drive before and after a run.
counts() { sed -n "s/^@@QM-COUNT $1 //p" "$TC" | head -n 1; }
report_is() { # run, exit code, revision: the drive's model and serial, and this revision
  [[ $(rc "$1") == "$2" ]] && has_line "$1" "  MN: $T_MODEL" && has_line "$1" "  SN: $T_SERIAL" &&
    has_line "$1" "  FW: $3"
}
smart_is() { # run, revision
  [[ $(smart_field "Device Model" "$1") == "$T_MODEL" &&
    $(smart_field "Serial Number" "$1") == "$T_SERIAL" &&
    $(smart_field "Firmware Version" "$1") == "$2" ]]
}
smart_seen() { echo "$(smart_field "Device Model" "$1")/$(smart_field "Serial Number" "$1")/$(smart_field "Firmware Version" "$1")"; }

report_is t-i-before 10 "$T_FWVER" && smart_is t-smart-before "$T_FWVER"
result "TCM-User: before any download, /i and smartctl -i agree: $T_MODEL, $T_SERIAL, $T_FWVER" $? \
  "smartctl $(smart_seen t-smart-before); /i exit $(rc t-i-before): $(out t-i-before | oneline)"

# The list names the one drive once, by its disk node and its sg node.
list_line=$(grep -F ' # ' "$(res t-list)")
[[ $(rc t-list) == 0 && $(grep -c . <<<"$list_line") == 1 &&
  $list_line == "/dev/sda (also /dev/sg0) # SCSI pass-through | MN $T_MODEL | SN $T_SERIAL | FW $T_FWVER | SEC1 | "* ]]
result "TCM-User: --list: exit 0, the drive once as /dev/sda (also /dev/sg0), $T_MODEL $T_SERIAL" $? \
  "exit $(rc t-list): $(out t-list | oneline)"

smart_is t-smart-12 "$T_FWVER"
result "TCM-User: smartctl -d sat,12 (ATA PASS-THROUGH (12)) reads the same identity" $? \
  "smartctl $(smart_seen t-smart-12)"

for c in "s|/s over /dev/sda" "ea|/e /a over /T:/dev/sda" "g1|/s /g 1 over /dev/sg0" \
  "1m|immediate (0x07), 1 MiB in one command, over /dev/sda"; do
  name=${c%%|*}
  want=$(revision_of "$name")
  [[ $(rc "t-dl-$name") == 0 && $(rc "t-img-$name") == 0 ]] && report_is "t-i-$name" 10 "$want"
  result "TCM-User: ${c#*|}: exit 0, the drive holds the file byte for byte, /i shows $want" $? \
    "exit $(rc "t-dl-$name"), cmp $(rc "t-img-$name"): $(out "t-img-$name" | oneline); /i: $(grep '^  FW' "$(res "t-i-$name")")"
done

# (Titles are worked out first: a command substitution among result's arguments resets $?.)
want=$(revision_of s)
smart_is t-smart-after "$want" && report_is t-i-s 10 "$want"
result "TCM-User: after the download smartctl -i shows the new revision $want, as /i does" $? \
  "smartctl $(smart_seen t-smart-after)"

read -r before after <<<"$(counts t-dl-2m)"
[[ $(rc t-dl-2m) == 10 && -n $before && $before == "$after" ]] && grep -qF 'IO Error [87]' "$(res t-dl-2m)"
result "TCM-User: a 2 MiB immediate download, which SG_IO will not carry: IO error 87, exit 10, nothing sent" $? \
  "exit $(rc t-dl-2m), commands $before -> $after: $(grep -a 'Error' "$(res t-dl-2m)" | oneline)"

[[ $(rc t-abort) == 1 && $(out t-abort-rev) == "$T_FWVER" ]] && report_is t-abort-i 10 "$T_FWVER"
result "TCM-User: the drive aborts the third segment: exit 1, it keeps $T_FWVER" $? \
  "exit $(rc t-abort), revision '$(out t-abort-rev)'"
[[ $(rc t-retry) == 0 && $(rc t-img-retry) == 0 ]]
result "TCM-User: the same one-shot abort with /r 1: exit 0, the whole image" $? \
  "exit $(rc t-retry), cmp $(rc t-img-retry)"

[[ $(rc t-busy1) == 0 && $(rc t-img-busy1) == 0 ]]
result "TCM-User: BUSY once: the kernel retries, exit 0, the whole image" $? \
  "exit $(rc t-busy1), cmp $(rc t-img-busy1): $(out t-busy1 | oneline)"
code=$(rc t-busy)
[[ $code != 0 && $code != none && $(out t-busy-rev) == "$T_FWVER" ]]
result "TCM-User: BUSY always: no exit 0 (exit $code), the drive keeps $T_FWVER" $? \
  "revision '$(out t-busy-rev)'"

code=$(rc t-slow)
[[ $code != 0 && $code != none ]]
result "TCM-User: a reply slower than the 5 s timeout over /dev/sg0: no exit 0 (exit $code)" $?
[[ $(rc t-slow-next) == 0 && $(rc t-img-slow) == 0 ]]
result "TCM-User: the next run on the same disk: exit 0, the whole image" $? \
  "exit $(rc t-slow-next), cmp $(rc t-img-slow)"

# The register dump of a failed command; a progress line may precede it on its line.
ata_dump() { grep -aoE ' Status = 0x[0-9a-f]+ Error = 0x[0-9a-f]+ SC = .*' "$(res "$1")" | head -n 1; }
cmp -s "$(res t-fmt-i-desc)" "$(res t-fmt-i-fixed)" && [[ $(rc t-fmt-i-fixed) == 10 ]] &&
  report_is t-fmt-i-fixed 10 "$T_FWVER"
result "TCM-User: /T: /i /v with fixed-format sense prints what it prints with descriptor sense" $? \
  "$(diff "$(res t-fmt-i-desc)" "$(res t-fmt-i-fixed)" | head -n 6 | oneline)"
regs=$(ata_dump t-fmt-abort-fixed)
[[ $(rc t-fmt-abort-desc) == 1 && $(rc t-fmt-abort-fixed) == 1 && $regs == *" Error = 0x4 "* &&
  $regs == "$(ata_dump t-fmt-abort-desc)" ]]
result "TCM-User: an aborted segment over /T: decodes to the same registers from either format" $? \
  "exit $(rc t-fmt-abort-desc)/$(rc t-fmt-abort-fixed): '$(ata_dump t-fmt-abort-desc)' vs '$regs'"
[[ $(rc t-fmt-ok-desc) == 0 && $(rc t-fmt-ok-fixed) == 0 && $(rc t-fmt-img-desc) == 0 &&
  $(rc t-fmt-img-fixed) == 0 ]]
result "TCM-User: /T: downloads with either format: exit 0, the whole image" $? \
  "exit $(rc t-fmt-ok-desc)/$(rc t-fmt-ok-fixed), cmp $(rc t-fmt-img-desc)/$(rc t-fmt-img-fixed)"

read -r before after <<<"$(counts t-locked)"
[[ $(rc t-locked) == 6 && $after == 0 ]]
result "TCM-User: a locked drive: exit 6, no DOWNLOAD MICROCODE reached it" $? \
  "exit $(rc t-locked), commands at the drive: '$after'"

want=$(revision_of hd)
[[ $(rc t-hdparm) == 0 && $(rc t-img-hdparm) == 0 && $(out t-hdparm-rev) == "$want" ]]
result "TCM-User: hdparm --fwdownload-mode3 into a fresh drive: exit 0, the same bytes, $want" $? \
  "exit $(rc t-hdparm), cmp $(rc t-img-hdparm), revision '$(out t-hdparm-rev)': $(out t-hdparm | oneline)"

# A truncated image and the whole one, on each path.
for p in sda sg0 t; do
  [[ $(rc t-cut-$p) == 1 && $(out t-cut-rev-$p) == "$T_FWVER" ]]
  result "TCM-User: a truncated image over $p: the drive expects more, exit 1, it keeps $T_FWVER" $? \
    "exit $(rc t-cut-$p), revision '$(out t-cut-rev-$p)': $(out t-cut-$p | oneline)"
  read -r segments ck_cond <<<"$(sed -n "s/^@@QM-SEGMENTED t-whole-$p //p" "$TC" | head -n 1)"
  [[ $(rc t-whole-$p) == 0 && $(rc t-whole-img-$p) == 0 && ${segments:-0} -gt 0 &&
    $ck_cond == "$segments" ]]
  result "TCM-User: the whole image over $p: exit 0, the same bytes, CK_COND on every 0x03 command" $? \
    "exit $(rc t-whole-$p), cmp $(rc t-whole-img-$p), 0x03 commands/with CK_COND '$segments/$ck_cond'"
done
# hdparm sends its segments without CK_COND, so over SAT no registers come back to it and it
# cannot hear the verdict: it reports success. The drive keeps its revision all the same. Kept as
# seen, so that an hdparm that starts asking for the registers shows here.
read -r hd_segments hd_ck_cond <<<"$(sed -n "s/^@@QM-SEGMENTED t-cut-hdparm //p" "$TC" | head -n 1)"
[[ $(rc t-cut-hdparm) == 0 && $hd_segments == 128 && $hd_ck_cond == 0 &&
  $(out t-cut-hdparm-rev) == "$T_FWVER" ]]
result "TCM-User: hdparm --fwdownload-mode3 with the truncated image: 128 segments, none with CK_COND, so no verdict reaches it (exit 0); the drive keeps $T_FWVER" $? \
  "exit $(rc t-cut-hdparm), revision '$(out t-cut-hdparm-rev)', 0x03 commands/with CK_COND '$hd_segments/$hd_ck_cond': $(out t-cut-hdparm | oneline)"

# One run per drive, over the two nodes of one drive: one downloads, the other ends with 2
# having sent nothing; the drive's record is that one download, in order (the drive aborts a
# segment out of order).
two_codes="$(rc t-two-sd) $(rc t-two-sg)"
refused=t-two-sg
[[ $two_codes == "2 0" ]] && refused=t-two-sd
read -r _ two_after <<<"$(counts t-two)"
[[ ($two_codes == "0 2" || $two_codes == "2 0") && $(rc t-img-two) == 0 && $two_after == 4 ]] &&
  grep -qE '^Drive /dev/s[dg][a0] is in use by another run \(process [0-9]+\); nothing was sent to it\.$' "$(res $refused)"
result "TCM-User: two runs at once on /dev/sda and /dev/sg0: one exit 2 sending nothing, one download of 4 segments" $? \
  "exit codes $two_codes, commands at the drive '$two_after', cmp $(rc t-img-two): $(out $refused | oneline)"

# SIGINT mid-download: the segment in flight completes, nothing follows it, exit 1; the drive
# got exactly the transfers the tool counts; the next run downloads cleanly.
read -r _ int_after <<<"$(counts t-int)"
int_done=$(sed -n 's/^Download stopped after \([0-9]*\) of 2048 transfers; the drive may need the download again\.$/\1/p' "$(res t-int)")
[[ $(rc t-int) == 1 && -n $int_done && $int_done == "$int_after" && $int_done -lt 2048 &&
  $(rc t-int-next) == 0 && $(rc t-img-int-next) == 0 ]]
result "TCM-User: SIGINT during /g 1: exit 1 after a whole command ($int_done of 2048 sent, $int_after at the drive), the next run downloads cleanly" $? \
  "exit $(rc t-int), next exit $(rc t-int-next), cmp $(rc t-img-int-next): $(out t-int | tail -c 300 | oneline)"

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
echo "TCM-User boot (with the wine stage): the guest ran ${TCMU_SECONDS} s, the TCM-User stage" \
  "$(sed -n 's/^@@QM-STAGE-TIME tcmu //p' "$TC") s"
