# Checks and figures of the wine stage (bash; sourced by run.sh after checks_tcmu.sh, whose
# helpers it uses): Quillmark.exe under wine against the Linux build on the same disk.

# Cases not judged yet, each with the reason; they run and are shown as SKIP, not counted.
declare -A WINE_PENDING=()

# What the drive held after a run: the commands at the drive before and after it, the revision,
# and whether the image equals the file sent (0), differs (1), is missing (2) or none was sent (-).
wine_rec() { sed -n "s/^@@QM-REC $1 //p" "$TC" | head -n 1; }

grep -q '^@@QM-WINE-START' "$TC" && ! grep -q '^@@QM-NO-PREFIX' "$TC" && [[ $(rc w-start) == 8 ]]
result "wine: the prefix mounts over the host's, Quillmark.exe /h starts under wine (exit 8)" $? \
  "exit $(rc w-start): $(out w-start | head -n 3 | oneline) $(grep '^@@QM-NO' "$TC" | oneline)"

# One row per case run by both builds: case, exit code, what the drive then holds (image <name>:
# that file byte for byte and its revision; kept: the old revision; none: no DOWNLOAD
# MICROCODE reached it), title.
for row in "i|10|none|/i" \
  "s|0|image s|/D: /s" \
  "ea|0|image ea|/D: /e /a" \
  "g1|0|image g1|/D: /s /g 1, an image not a multiple of the segment" \
  "1m|0|image 1m|/D: 1 MiB immediate (0x07) in one command" \
  "2m|10|none|/D: /v of 2 MiB, more than SG_IO maps: 'IO Error [87]', nothing sent" \
  "abort|1|kept|/D: /s /v, the drive aborts the third segment" \
  "busy1|0|image s|/D: /s, BUSY once" \
  "locked|6|none|/D: /s into a locked drive" \
  "trunc|1|kept|/D: /s of a truncated image"; do
  IFS='|' read -r name want drive_holds title <<<"$row"
  title="wine: Quillmark.exe $title: exit $want, the Linux build's text, the drive's record"
  if [[ -n ${WINE_PENDING[$name]:-} ]]; then
    echo "SKIP  $title (${WINE_PENDING[$name]})"
    continue
  fi
  read -r e_before e_after e_rev e_same <<<"$(wine_rec "w-$name-exe")"
  read -r l_before l_after l_rev l_same <<<"$(wine_rec "w-$name-elf")"
  case $drive_holds in
    image*) holds() { [[ $1 == 0 && $2 == "$(revision_of "${drive_holds#image }")" ]]; } ;;
    kept) holds() { [[ $2 == "$T_FWVER" ]]; } ;;
    none) holds() { [[ -n $3 && $3 == "$4" ]]; } ;;
  esac
  [[ $(rc "w-$name-exe") == "$want" && $(rc "w-$name-elf") == "$want" ]] &&
    cmp -s "$(res "w-$name-exe")" "$(res "w-$name-elf")" &&
    holds "$e_same" "$e_rev" "$e_before" "$e_after" && holds "$l_same" "$l_rev" "$l_before" "$l_after" &&
    { [[ $name != 2m ]] || grep -qF 'IO Error [87]' "$(res w-2m-exe)"; }
  result "$title" $? "exit $(rc "w-$name-exe") (Linux $(rc "w-$name-elf")); drive: $(wine_rec "w-$name-exe")\
 (Linux $(wine_rec "w-$name-elf")); text: $(diff "$(res "w-$name-elf")" "$(res "w-$name-exe")" | head -n 8 | oneline)"
done

# The value of the record's field $1 among the strings of the event in $log.
field() { sed -n "s/^[0-9a-f]*:\(trace\|err\):eventlog:ReportEventW L\"$1=\(.*\)\"\$/\2/p" "$log"; }
# The Application event log under wine: one ReportEventW call of the event's type (information
# 0x0004, error 0x0001) from source Quillmark, whose strings are the record's fields, or no call
# for a run that sent nothing. A row: case, exit code, type, revision after, title.
for row in "log-s|0|0x0004|TC-S|/D: /s: an information event" \
  "log-trunc|1|0x0001|$T_FWVER|/D: /s of a truncated image: an error event" \
  "log-locked|6||-|/D: /s into a locked drive: no event"; do
  IFS='|' read -r name want type revision title <<<"$row"
  log=$(res "w-$name-event")
  calls=$(grep -c ':fixme:advapi:ReportEventW ' "$log")
  if [[ -z $type ]]; then
    [[ $(rc "w-$name-event") == "$want" && $calls == 0 ]]
  else
    class=trace result=success
    [[ $type == 0x0001 ]] && class=err result=failure
    # The call line: handle, type, category, event 1, no user, the number of strings, ...
    strings=$(sed -n "s/.*:fixme:advapi:ReportEventW ([0-9A-F]*,$type,0x0000,0x00000001,0*,0x\([0-9a-f]*\),.*/\1/p" "$log")
    [[ $(rc "w-$name-event") == "$want" && $calls == 1 && -n $strings &&
      $(grep -c "^[0-9a-f]*:$class:eventlog:ReportEventW L\"" "$log") == $((16#$strings)) &&
      $(field event) == firmware_download && $(field serial) == "$T_SERIAL" &&
      $(field model) == "$T_MODEL" && $(field revision_before) == "$T_FWVER" &&
      $(field revision_after) == "$revision" && $(field result) == "$result" &&
      $(field exit_code) == "$want" && -n $(field user) ]]
  fi
  result "wine: Quillmark.exe $title, as WINEDEBUG=+eventlog shows it" $? \
    "exit $(rc "w-$name-event"), $calls calls: $(grep 'ReportEventW\|RegisterEventSource' "$log" | oneline)"
done

# The list goes by the system's device installer, which knows only the disks a driver announced:
# wine's knows none (its PhysicalDrive0 is a name in the prefix), so wine 8.0 lists nothing.
[[ $(rc w-list) == 10 && $(out w-list) == "No drive found." ]]
result "wine: Quillmark.exe --list: wine 8.0 presents no disk interface, exit 10 'No drive found.'" $? \
  "exit $(rc w-list): $(out w-list | oneline)"

# Where wine stops a request itself; the exit codes are what wine 8.0 gives, recorded so that a
# change in wine or in the tool is seen.
for row in "ata|10|/T: (wine has no ATA pass-through)" \
  "sg|2|\\\\.\\PhysicalDrive1 linked to /dev/sg0 (no SCSI address for a character device)"; do
  IFS='|' read -r name want title <<<"$row"
  read -r before after _ <<<"$(wine_rec "w-$name-exe")"
  [[ $(rc "w-$name-exe") == "$want" && -n $before && $before == "$after" ]]
  result "wine: Quillmark.exe $title: exit $want, no DOWNLOAD MICROCODE sent" $? \
    "exit $(rc "w-$name-exe"), commands $before -> $after: $(out "w-$name-exe" | oneline)"
done

read -r _ _ two_rev two_same <<<"$(wine_rec w-two)"
title="wine: two Quillmark.exe on one drive at once: one exits 2, the other delivers the image"
if [[ -n ${WINE_PENDING[two]:-} ]]; then
  echo "SKIP  $title (${WINE_PENDING[two]}: exits $(rc w-two-a) and $(rc w-two-b))"
else
  [[ "$(echo "$(rc w-two-a) $(rc w-two-b)" | tr ' ' '\n' | sort | tr '\n' ' ')" == "0 2 " &&
    $two_same == 0 && $two_rev == "$(revision_of s)" ]]
  result "$title" $? "exits $(rc w-two-a) and $(rc w-two-b), drive: $(wine_rec w-two)"
fi

# The run report: the same document from both builds, field for field (times and the program's
# name aside), each accepted by the schema's validator.
problem=$(python3 "$ROOT/tests/report/check_documents.py" "$ROOT/packaging/quillmark-report.schema.json" \
  0 "$(res w-json-elf)" "$(res w-json-exe)")
result "wine: --json: Quillmark.exe's document equals the Linux build's, both schema-valid" $? "$problem"

# Figures: per round, each client's median gap between DOWNLOAD MICROCODE arrivals; the ratios
# of Quillmark.exe under wine to the Linux build and to the bare loop, as the median over the
# rounds and their spread (the host's bursts of load fall on single rounds).
! grep '^@@QM-WBENCH-RC ' "$TC" | grep -qv ' 0$' && (($(grep -c '^@@QM-WBENCH-RC ' "$TC") == 12))
result "wine: the timed runs (4 rounds of Quillmark.exe, quillmark and the SG_IO loop) all succeed" $? \
  "$(grep '^@@QM-WBENCH-RC ' "$TC" | oneline)"
# The median of the numbers on standard input, one per line or blank-separated.
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
# A round's median gap for one client.
round_median() { sed -n "s/^@@QM-WBENCH $1 $2 //p" "$TC" | median; }
# "median (min-max)" of the ratios client $1 / client $2 over the rounds.
ratio_spread() {
  local r a b
  for r in 1 2 3 4; do
    a=$(round_median $r "$1") b=$(round_median $r "$2")
    [[ -n $a && -n $b && $b != 0 ]] && awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f\n", a / b }'
  done | sort -n | awk '{ v[NR] = $1 } END { if (NR) printf "%s (%s-%s)", v[int((NR + 1) / 2)], v[1], v[NR]; else print "?" }'
}
overall() { for r in 1 2 3 4; do round_median $r "$1"; done | median; }
w_exe=$(overall exe) w_elf=$(overall elf) w_loop=$(overall sg_loop)
echo "figures: wine stage, time per DOWNLOAD MICROCODE at the drive, 1 MiB in 32 KiB segments, 4" \
  "rounds, median of the rounds' medians in us: Quillmark.exe under wine ${w_exe:-?}, quillmark" \
  "${w_elf:-?}, bare SG_IO loop ${w_loop:-?}; wine adds $((${w_exe:-0} - ${w_elf:-0})) us per command"
echo "figures: ratios per round, median (min-max): Quillmark.exe / quillmark $(ratio_spread exe elf)," \
  "Quillmark.exe / bare loop $(ratio_spread exe sg_loop)"
echo "wine stage: $(sed -n 's/^@@QM-STAGE-TIME wine //p' "$TC") s, of which wine's session start" \
  "$(sed -n 's/^@@QM-WINE-START //p' "$TC") s"
