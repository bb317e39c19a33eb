#!/usr/bin/env bash
# Quillmark.exe under wine, end to end: each case is one command line typed into a batch
# file, so that the program receives the raw command line and splits it itself, exactly as
# from a Windows prompt. Standard output, the error stream and the exit code are compared
# whole. One line per case, "N passed, M failed" at the end.
#
# usage: quillmark_exe.sh <Quillmark.exe> <eula.txt> <LGPL-3 text> <version> <wine> [wine args...]
set -uo pipefail
source "$(cd "$(dirname "$0")/../support" && pwd)/checks.sh"
# English month names for the build date, and UTF-8 arguments for wine to pass on.
export LC_ALL=C.UTF-8

exe=$(realpath "$1") eula=$(realpath "$2") lgpl=$(realpath "$3") version=$4
usage_golden=$(realpath "$(dirname "${BASH_SOURCE[0]}")/../golden/usage.txt")
schema=$(realpath "$(dirname "${BASH_SOURCE[0]}")/../../packaging/quillmark-report.schema.json")
shift 4
wine=("$@")
export WINEDEBUG=-all
unset DISPLAY

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/Quillmark.exe"
cd "$work"

# Runs one command line ($1, as typed after the program name) through cmd.exe; leaves the
# outputs in out.txt and err.txt and the exit code in $rc.
run() {
  printf '@Quillmark.exe%s\r\n' "${1:+ $1}" >case.bat
  "${wine[@]}" cmd.exe /c case.bat >out.txt 2>err.txt
  rc=$?
}

# expect <name> <expected exit code> <expected stdout file> [<expected error output file>]
expect() {
  local name=$1 want_rc=$2 want=$3 want_err=${4:-} problems=()
  [ "$rc" -eq "$want_rc" ] || problems+=("exit code $rc, expected $want_rc")
  if ! cmp -s out.txt "$want"; then
    problems+=("standard output differs (expected, then actual)")
    diff <(od -c "$want") <(od -c out.txt) | head -20
  fi
  if [ -n "$want_err" ]; then
    cmp -s err.txt "$want_err" || problems+=("error output: $(head -5 err.txt | oneline)")
  elif [ -s err.txt ]; then
    problems+=("unexpected error output: $(head -5 err.txt | oneline)")
  fi
  result "$name" "${#problems[@]}" "$(IFS=';'; echo "${problems[*]}")"
}

eq74=$(printf '=%.0s' {1..74})
eq69=$(printf '=%.0s' {1..69})
eq47=$(printf '=%.0s' {1..47})

usage() {  # $1: the invocation name as typed; the golden text is Quillmark.exe's
  local line
  head -n 1 "$usage_golden"
  line=$(sed -n 2p "$usage_golden")
  printf '%s\n' "${line/Quillmark.exe/"$1"}"
  tail -n +3 "$usage_golden"
}

cause() {  # every exit 8 names its cause on the error stream: the expected line
  printf '%s\n' "$1" >cause.txt
}

scan_hint() {
  printf 'To Scan the system for Physical Devices please use the following:\n'
  printf '\t wmic diskdrive get DeviceID,model,FirmwareRevision,InterfaceType\n\n'
}

# --- No argument: the banner, then the usage ----------------------------------------------
run ""
head -n 4 out.txt >banner.txt
# The banner's rules and version are fixed; its date is the day the program was built (the
# day of the executable's timestamp, or the one before for a build across midnight).
built=$(date -r "$exe" '+%b %e %Y')
built_before=$(date -d "$(date -r "$exe" '+%F') -1 day" '+%b %e %Y')
mapfile -t b <banner.txt
[ "${#b[@]}" -eq 4 ] && [ "${b[0]}" == "$eq74" ] && [ "${b[3]}" == "$eq74" ] && [ -n "${b[2]}" ]
result "banner: two rules around two lines" $?
case "${b[1]}" in
  "Tolvane Utility. Version: $version-L Build Date: $built" | \
    "Tolvane Utility. Version: $version-L Build Date: $built_before") result "banner: version and build date" 0 ;;
  *) result "banner: version and build date" 1 "second line is '${b[1]}', built $built" ;;
esac
{ cat banner.txt; usage Quillmark.exe; } >help.txt
cause 'No drive was named: the usage says how'
expect "no argument" 8 help.txt cause.txt

# --- Help and licence ----------------------------------------------------------------------
cause 'The usage was asked for: nothing was run'
for first in /h /H /help; do
  run "$first"
  expect "$first" 8 help.txt cause.txt
done

{ cat banner.txt "$eula"; printf '%s\n\n' "$eq69"; cat "$lgpl"; } >license.txt
cause 'The licence texts were asked for: nothing was run'
for first in --license /L; do
  run "$first"
  expect "$first" 8 license.txt cause.txt
done
[ "$(tail -n 1 out.txt)" == "$(tail -n 1 "$lgpl")" ]
result "--license: ends with the LGPL's last line" $?

# --- Command-line errors: the message, the usage, no banner --------------------------------
error_at() {  # the element as the program should echo it
  { printf '\nError in command line at %s\n' "$1"; usage Quillmark.exe; } >expected.txt
  cause "Error in command line at $1"
}
run '\\.\PhysicalDrive0 /D:fw.LOD /x'
error_at '/x'
expect "unknown option" 8 expected.txt cause.txt

run '/C:SCSI3'
{ printf 'Invalid Command Line Option: /C:SCSI3\n'; usage Quillmark.exe; } >expected.txt
cause 'Invalid Command Line Option: /C:SCSI3'
expect "CSMI target without colon or comma" 8 expected.txt cause.txt

# Quotes group blanks into one element wherever they stand in it, and go away.
run '\\.\PhysicalDrive0 /D:"my fw.bin" /bad"arg with blanks"tail'
error_at '/badarg with blankstail'
expect "quoted blanks inside an element" 8 expected.txt cause.txt

# A backslash before a quote makes it literal; "a\\" is a followed by one backslash.
run '"\\.\PhysicalDrive0" "a\\" /x\"y'
error_at 'a\'
expect "escaped backslash before a closing quote" 8 expected.txt cause.txt
run '"\\.\PhysicalDrive0" /s /x\"y "a\\"'
error_at '/x"y'
expect "escaped quote" 8 expected.txt cause.txt

# --json: the same texts on the error stream, and on standard output one document that the
# schema's validator accepts, with the exit code and the cause.
report_is() {  # <name> <exit code> <cause>
  local problems=()
  [ "$rc" -eq "$2" ] || problems+=("exit code $rc, expected $2")
  cmp -s err.txt expected.txt || problems+=("error output: $(head -5 err.txt | oneline)")
  python3 - "$schema" out.txt "$2" "$3" <<'EOF' || problems+=("document: $(head -c 300 out.txt | oneline)")
import json, sys, jsonschema
schema, doc = (json.load(open(p, encoding="utf-8")) for p in sys.argv[1:3])
jsonschema.Draft202012Validator(schema).validate(doc)
sys.exit(doc["exit"]["code"] != int(sys.argv[3]) or doc["cause"] != sys.argv[4])
EOF
  result "$1" "${#problems[@]}" "$(IFS=';'; echo "${problems[*]}")"
}
run '\\.\PhysicalDrive0 /q --json'
error_at '/q'
# Under --json the texts of standard output go to the error stream, ahead of the cause line.
cat cause.txt >>expected.txt
report_is "--json after a command-line error" 8 'Error in command line at /q'

run '--json \\.\PhysicalDrive7 /D:fw.bin'
printf 'Cannot open \\\\.\\PhysicalDrive7: no such device (system error 2)\n' >expected.txt
report_is "--json, a drive that cannot be opened" 2 'Cannot open \\.\PhysicalDrive7: no such device (system error 2)'

# --- A drive that cannot be opened ---------------------------------------------------------
run '\\.\PhysicalDrive7'
: >expected.txt
# The cause, on the error stream only; after the verbose line it starts a line of its own.
printf 'Cannot open \\\\.\\PhysicalDrive7: no such device (system error 2)\n' >expected_err.txt
expect "unopenable drive" 2 expected.txt expected_err.txt

# The quoted file name arrives whole; the system's code for a missing device is 2.
run '"\\.\PhysicalDrive7" /v /D:"my fw.bin" /s'
printf '  Device Path: \\\\.\\PhysicalDrive7\n  FileName: my fw.bin\n' >expected.txt
printf '  Segmented Immediate Mode Selected\nCreateFileW INVALID_HANDLE_VALUE Error: 2' >>expected.txt
{ printf '\n'; cat expected_err.txt; } >expected_err_v.txt
expect "unopenable drive, verbose" 2 expected.txt expected_err_v.txt

# --- The CSMI scan with no adapter ---------------------------------------------------------
run '--scan'
{ cat banner.txt; printf '\tScanning for CSMI Devices\n\n'; scan_hint; } >expected.txt
expect "--scan" 0 expected.txt

run '--scan /v'
{
  cat banner.txt
  printf '\tScanning for CSMI Devices\n\n'
  for n in $(seq 0 14); do printf '\\\\.\\SCSI%d:...NOT FOUND\n' "$n"; done
  printf '\n%s\n' "$eq47"
  printf "\nTested 0 valid controller(s) but didn't find any CSMI devices\n\n"
  scan_hint
} >expected.txt
expect "--scan /v" 0 expected.txt

# --- The drive list: wine's device installer presents no disk, and no adapter answers ------
run '--list'
: >expected.txt
printf 'No drive found.\n' >expected_err.txt
expect "--list: no drive, exit 10" 10 expected.txt expected_err.txt

# --- Text beyond the ANSI code page, started straight from Linux ---------------------------
# wine hands the program the name as a Windows path on drive Z:.
"${wine[@]}" "$work/Quillmark.exe" '\\.\PhysicalDrive0' '/Grüße-€-😀' >out.txt 2>err.txt
rc=$?
{
  printf '\nError in command line at /Grüße-€-😀\n'
  usage "Z:${work//\//\\}\\Quillmark.exe"
} >expected.txt
cause 'Error in command line at /Grüße-€-😀'
expect "non-ASCII element, redirected output is UTF-8" 8 expected.txt cause.txt

report
