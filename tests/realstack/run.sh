#!/usr/bin/env bash
# Real-stack test: the Linux quillmark against a storage stack nobody on this project wrote,
# Debian's kernel under qemu-system-x86_64 software emulation, booted twice:
#  1. libata's SCSI/ATA translation, sd and sg in front of QEMU's emulated AHCI SATA disk, which
#     aborts DOWNLOAD MICROCODE; smartctl runs beside it as the independent peer, and a small
#     probe records the raw sense bytes the kernel returns;
#  2. the simulated drive (quillmark-tcmu-drive) behind a real sd disk through LIO's TCM-User
#     backstore and the tcm_loop fabric: whole downloads in every mode and path, the drive's
#     faults (abort, BUSY, a slow reply, fixed-format sense, a locked drive), smartctl and
#     hdparm's own segmented download as peers, and the time per DOWNLOAD MICROCODE of the tool,
#     a bare SG_IO loop and hdparm, printed as figures (not judged).
#
# Needs: apt-get and dpkg-deb (packages are downloaded, never installed), qemu-system-x86_64,
# cpio, gzip, cmake, a C++ compiler with static libraries, smartctl.
#
# Environment:
#   QM_REALSTACK_CACHE  downloads and extracted packages (default ~/.cache/quillmark-realstack)
#   QM_REALSTACK_BUILD  static build directory (default <repo>/build-realstack)
#   QM_REALSTACK_KEEP   set to keep the work directory (guest transcript, results)
#   QM_JOBS             build parallelism (default 2)
#
# Prints one line per check and "N passed, M failed"; exits 0 only when nothing failed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
CACHE=${QM_REALSTACK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmark-realstack}
BUILD=${QM_REALSTACK_BUILD:-$ROOT/build-realstack}
JOBS=${QM_JOBS:-2}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qm-realstack.XXXXXX")
if [[ -n ${QM_REALSTACK_KEEP:-} ]]; then
  echo "work directory: $WORK"
else
  trap 'rm -rf "$WORK"' EXIT
fi

# What the script tells QEMU the disk is; every identity check compares against these.
MODEL="QM REALSTACK SATA DISK"
SERIAL="QMRS-20260001"
FWVER="QM1.23"
# A download image larger than one 32 KiB segment.
IMAGE_BYTES=65536
# What quillmark-tcmu-drive reports before any download (its defaults).
T_MODEL="QM TCMU SATA DRIVE"
T_SERIAL="QMTCMU0000000001"
T_FWVER="TC1.00"

log() { echo "realstack [${SECONDS}s]: $*" >&2; }
die() {
  log "$*"
  exit 2
}

for tool in apt-get apt-cache dpkg-deb qemu-system-x86_64 cpio gzip cmake smartctl; do
  command -v "$tool" >/dev/null || die "missing tool: $tool"
done
CXX=${CXX:-c++}
command -v "$CXX" >/dev/null || die "missing C++ compiler: $CXX"

# --- Packages --------------------------------------------------------------------------------

mkdir -p "$CACHE/debs" "$CACHE/extract"

# The kernel package that linux-image-amd64 currently depends on; the newest cached one when
# the package lists cannot tell (offline).
kernel_package() {
  local name
  name=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }') || true
  if [[ -z $name ]]; then
    name=$(ls -1 "$CACHE/debs" 2>/dev/null | sed -n 's/^\(linux-image-[0-9][^_]*\)_.*\.deb$/\1/p' |
      sort -V | tail -n 1)
  fi
  [[ -n $name ]] || die "cannot resolve linux-image-amd64 (run apt-get update first)"
  echo "$name"
}

# Path of the cached .deb of a package, downloading it when it is not cached yet.
fetch() {
  local pkg=$1 deb
  deb=$(ls -1 "$CACHE/debs/${pkg}_"*.deb 2>/dev/null | sort -V | tail -n 1) || true
  if [[ -z $deb ]]; then
    log "downloading $pkg"
    (cd "$CACHE/debs" && apt-get download -o APT::Sandbox::User=root "$pkg" >&2) ||
      die "apt-get download $pkg failed"
    deb=$(ls -1 "$CACHE/debs/${pkg}_"*.deb | sort -V | tail -n 1)
  fi
  echo "$deb"
}

# Extracts a .deb once into the cache; prints the directory.
extract() {
  local deb=$1 dir
  dir="$CACHE/extract/$(basename "$deb" .deb)"
  if [[ ! -e $dir/.done ]]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    dpkg-deb -x "$deb" "$dir"
    touch "$dir/.done"
  fi
  echo "$dir"
}

# The modules both stages load: ahci, sd_mod and sg; the LIO target core, its TCM-User
# backstore and the loopback fabric.
MODULE_ROOTS="ahci sd_mod sg configfs target_core_mod target_core_user tcm_loop"

# The modules that $MODULE_ROOTS need in the module directory $1, resolved through its
# modules.dep to a fixpoint (a root built into the kernel needs nothing).
module_closure() {
  awk -v roots="$MODULE_ROOTS" '
    FILENAME ~ /modules\.builtin$/ {
      base = $1; sub(/^.*\//, "", base); sub(/\.ko$/, "", base); gsub(/-/, "_", base)
      builtin[base] = 1; next
    }
    {
      key = $1; sub(/:$/, "", key); deps[key] = ""
      for (i = 2; i <= NF; i++) deps[key] = deps[key] " " $i
      base = key; sub(/^.*\//, "", base); sub(/\.ko(\.[a-z]+)?$/, "", base)
      gsub(/-/, "_", base); path[base] = key
    }
    END {
      n = split(roots, r, " ")
      for (i = 1; i <= n; i++) {
        if (r[i] in builtin) continue
        if (!(r[i] in path)) { print "missing:" r[i]; continue }
        want[path[r[i]]] = 1
      }
      do {
        changed = 0
        for (m in want) {
          k = split(deps[m], d, " ")
          for (j = 1; j <= k; j++) if (!(d[j] in want)) { want[d[j]] = 1; changed = 1 }
        }
      } while (changed)
      for (m in want) print m
    }' "$1/modules.builtin" "$1/modules.dep"
}

log "resolving the kernel package"
KPKG=$(kernel_package)
KDEB=$(fetch "$KPKG")
BBDIR=$(extract "$(fetch busybox-static)")
BUSYBOX=$BBDIR/bin/busybox
[[ -x $BUSYBOX ]] || die "no busybox in busybox-static"

# The cache keeps the kernel image and only the modules the guest loads; the full extraction
# and the depmod over it happen once per kernel package.
KDIR=$CACHE/kernel/$(basename "$KDEB" .deb)
if [[ $(cat "$KDIR/.done" 2>/dev/null) != "$MODULE_ROOTS" ]]; then
  log "extracting $KPKG and resolving its modules"
  rm -rf "$KDIR" "$WORK/kx"
  mkdir -p "$WORK/kx"
  dpkg-deb -x "$KDEB" "$WORK/kx"
  kver=$(ls -1 "$WORK/kx/lib/modules" | head -n 1)
  full=$WORK/kx/lib/modules/$kver
  # The package ships no modules.dep; busybox makes one.
  "$BUSYBOX" depmod -b "$WORK/kx" "$kver"
  closure=$(module_closure "$full")
  if grep -q '^missing:' <<<"$closure"; then
    die "modules not in $KPKG: $(grep '^missing:' <<<"$closure" | tr '\n' ' ')"
  fi
  mkdir -p "$KDIR/lib/modules/$kver"
  cp "$WORK/kx/boot/vmlinuz-$kver" "$KDIR/" || die "no kernel image in $KPKG"
  cp "$full/modules.builtin" "$full/modules.order" "$full/modules.dep" "$KDIR/lib/modules/$kver/"
  while read -r m; do
    [[ -n $m ]] || continue
    mkdir -p "$KDIR/lib/modules/$kver/$(dirname "$m")"
    cp "$full/$m" "$KDIR/lib/modules/$kver/$m"
  done <<<"$closure"
  rm -rf "$WORK/kx"
  echo "$MODULE_ROOTS" >"$KDIR/.done"
fi
KVER=$(ls -1 "$KDIR/lib/modules" | head -n 1)
VMLINUZ=$KDIR/vmlinuz-$KVER

# --- The tool, built static ------------------------------------------------------------------

log "building the static Linux quillmark and quillmark-tcmu-drive in $BUILD"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -e $BUILD/CMakeCache.txt ]]; then
  cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQM_TESTS=OFF \
    -DQM_SANITIZE=OFF -DCMAKE_EXE_LINKER_FLAGS=-static >"$WORK/cmake.log" 2>&1 ||
    { cat "$WORK/cmake.log" >&2; die "cmake failed"; }
fi
cmake --build "$BUILD" -j "$JOBS" --target quillmark qm_platform_native quillmark-tcmu-drive \
  make-sim-image >"$WORK/build.log" 2>&1 ||
  { tail -n 40 "$WORK/build.log" >&2; die "build failed"; }
"$CXX" -std=c++20 -O2 -Wall -Wextra -Werror -static -I"$ROOT/src" \
  "$ROOT/tests/realstack/sg_probe.cpp" "$BUILD/libqm_platform_native.a" -o "$WORK/sg_probe" ||
  die "sg_probe build failed"
"$CXX" -std=c++20 -O2 -Wall -Wextra -Werror -static "$ROOT/tests/realstack/sg_loop.cpp" \
  -o "$WORK/sg_loop" || die "sg_loop build failed"

# --- The initramfs ---------------------------------------------------------------------------

log "assembling the initramfs"
IR=$WORK/initramfs
mkdir -p "$IR"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,lib/modules/"$KVER"}
cp "$BUSYBOX" "$IR/bin/busybox"
cp "$BUILD/quillmark" "$IR/bin/quillmark"
cp "$WORK/sg_probe" "$IR/bin/sg_probe"
cp "$BUILD/quillmark-tcmu-drive" "$WORK/sg_loop" "$IR/bin/"

cp -a "$KDIR/lib" "$IR/"
"$BUSYBOX" depmod -b "$IR" "$KVER"

# smartctl and hdparm (from its Debian package) with the shared libraries they were linked
# with, at the same paths.
HDPARM=$(extract "$(fetch hdparm)")/sbin/hdparm
[[ -x $HDPARM ]] || die "no hdparm in the hdparm package"
for prog in "$(command -v smartctl)" "$HDPARM"; do
  cp -L "$prog" "$IR/usr/sbin/"
  ldd "$prog" | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^\//) print $i }' | sort -u |
    while read -r lib; do
      mkdir -p "$IR$(dirname "$lib")"
      cp -L "$lib" "$IR$lib"
    done
done

# The firmware image the download checks send (QEMU aborts DOWNLOAD MICROCODE anyway).
head -c "$IMAGE_BYTES" /dev/zero | tr '\0' '\132' >"$IR/fw.bin"

# The simulated images of the TCM-User stage, each with a revision of its own: name, size,
# revision. Sizes off the block size check the padding; 2 MiB is more than SG_IO carries at once.
mkdir -p "$IR/img"
T_IMAGES="s:100000:TC-S ea:70000:TC-EA g1:20000:TC-G1 1m:1048576:TC-1M 2m:2097152:TC-2M
  hd:1048576:TC-HD bench:1048576:TC-BN tr:1048576:TC-TR"
for entry in $T_IMAGES; do
  IFS=: read -r name size revision <<<"$entry"
  "$BUILD/make-sim-image" "$IR/img/$name.bin" "$size" "$revision" >/dev/null ||
    die "make-sim-image $name failed"
done
# A truncated download: the first 64 KiB of an image whose header names 1 MiB.
head -c 65536 "$IR/img/tr.bin" >"$IR/img/trunc.bin"
cp "$ROOT/tests/realstack/tcmu_stage.sh" "$IR/tcmu_stage.sh"

# Each guest command runs with its output between two markers; the host judges afterwards.
cat >"$IR/checks.sh" <<'EOF'
run smartctl-i smartctl -i -g security /dev/sda
run probe-sda sg_probe /dev/sda
run probe-sg0 sg_probe /dev/sg0
run qm-sda-i quillmark /dev/sda /i
run qm-pd0-i quillmark '\\.\PhysicalDrive0' /i
run qm-ata-i quillmark /T:/dev/sda /i
run qm-sg0-i quillmark /dev/sg0 /i
run qm-sg0-ata-i quillmark /T:/dev/sg0 /i
run qm-sda-iv quillmark /dev/sda /i /v
run qm-ata-iv quillmark /T:/dev/sda /i /v
run qm-dl quillmark /dev/sda /D:/fw.bin /s
run qm-dl-v quillmark /dev/sda /D:/fw.bin /s /v
run qm-ata-dl-v quillmark /T:/dev/sda /D:/fw.bin /s /v
run qm-missing quillmark /dev/sdq /i
run qm-missing-pd quillmark '\\.\PhysicalDrive7' /i
EOF

cat >"$IR/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s
export PATH=/sbin:/usr/sbin:/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The archive holds no device nodes: take the console from devtmpfs, and keep line ends as
# the programs wrote them.
exec </dev/null >/dev/console 2>&1
stty -onlcr </dev/console 2>/dev/null
# The firmware leaves its last line open (a carriage return, no line feed): end it, so that the
# first marker starts a line of its own.
echo
echo "@@QM-GUEST-UP $(uname -r)"
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
cd /tmp
if grep -q qmstage=tcmu /proc/cmdline; then
  . /tcmu_stage.sh
else
  for m in ahci sd_mod sg; do
    modprobe "$m" || grep -q "/$m.ko\$" /lib/modules/*/modules.builtin ||
      echo "@@QM-MODPROBE-FAILED $m"
  done
  wait_for_disk
  . /checks.sh
fi
echo "@@QM-GUEST-DONE"
poweroff -f
EOF
chmod +x "$IR/init"

log "packing the initramfs"
(cd "$IR" && find . | cpio --quiet -o -H newc -R 0:0 | gzip -1) >"$WORK/initramfs.gz"

# --- The run ---------------------------------------------------------------------------------

# One guest boot: $1 names the transcript (console-$1.txt), $2 is added to the kernel command
# line, the rest goes to QEMU.
boot() {
  local name=$1 extra=$2 start
  shift 2
  log "booting $KVER under QEMU (TCG): $name"
  start=$(date +%s)
  timeout 900 qemu-system-x86_64 -M q35 -accel tcg -m 512 -nographic -no-reboot -nic none \
    -kernel "$VMLINUZ" -initrd "$WORK/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init $extra" "$@" \
    </dev/null >"$WORK/console-$name.raw" 2>"$WORK/qemu-$name.err" ||
    log "qemu ended with status $?"
  log "guest $name ran $(($(date +%s) - start)) s"
  # The firmware's screen-control sequences go; a marker that a carriage return (or anything
  # else) left inside a line is moved to a line of its own; then the carriage returns that end
  # lines go.
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' -e 's/\r*\(@@QM-\)/\n\1/g' -e 's/^\n//' \
    "$WORK/console-$name.raw" | sed -e 's/\r$//' >"$WORK/console-$name.txt"
}

truncate -s 64M "$WORK/disk.img"
boot ahci "" -drive "if=none,id=d0,file=$WORK/disk.img,format=raw" \
  -device "ide-hd,drive=d0,bus=ide.0,model=$MODEL,serial=$SERIAL,ver=$FWVER"
tcmu_start=$(date +%s)
boot tcmu qmstage=tcmu
TCMU_SECONDS=$(($(date +%s) - tcmu_start))

# Split the transcripts into one output file and one exit-status file per command.
mkdir -p "$WORK/res"
awk -v dir="$WORK/res" '
  /^@@QM-BEGIN / { name = $2; file = dir "/" name ".out"; printf "" > file; held = ""; inside = 1; next }
  /^@@QM-END / {
    # The last line before the marker is the newline the guest added.
    split($3, kv, "="); print kv[2] > (dir "/" name ".rc"); close(file); inside = 0; next }
  inside { if (started[name]) print held > file; held = $0; started[name] = 1 }
' "$WORK/console-ahci.txt" "$WORK/console-tcmu.txt"

# --- Checks ----------------------------------------------------------------------------------

# Every check below may fail; the verdict is counted, not fatal.
set +e +o pipefail
passed=0
failed=0
result() { # name, status (0 passes), detail shown on failure
  if [[ $2 == 0 ]]; then
    echo "PASS  $1"
    passed=$((passed + 1))
  else
    echo "FAIL  $1${3:+  ($3)}"
    failed=$((failed + 1))
  fi
}
res() { echo "$WORK/res/$1.out"; }
out() { cat "$(res "$1")" 2>/dev/null; }
rc() { cat "$WORK/res/$1.rc" 2>/dev/null || echo none; }
has_line() { grep -qxF -- "$2" "$(res "$1")" 2>/dev/null; }
oneline() { tr '\n' '|' | cut -c1-300; }
# The value after "Label:" in smartctl's output (of run $2, by default smartctl-i), blanks
# trimmed.
smart_field() {
  sed -n "s/^$1:[[:space:]]*//p" "$(res "${2:-smartctl-i}")" | sed 's/[[:space:]]*$//' | head -n 1
}

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

[[ $(rc qm-missing) == 2 && ! -s $(res qm-missing) ]]
result "missing device /dev/sdq: exit 2, silent" $? "exit $(rc qm-missing): $(out qm-missing | oneline)"
[[ $(rc qm-missing-pd) == 2 ]]
result "missing device \\\\.\\PhysicalDrive7: exit 2" $? "exit $(rc qm-missing-pd)"

# --- The TCM-User stage ----------------------------------------------------------------------

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

# The truncated image and the whole one, on each path; hdparm reads the same verdict.
for p in sda sg0 t; do
  [[ $(rc t-trunc-$p) == 1 && $(out t-trunc-rev-$p) == "$T_FWVER" ]]
  result "TCM-User: a truncated image over $p: the drive expects more, exit 1, it keeps $T_FWVER" $? \
    "exit $(rc t-trunc-$p), revision '$(out t-trunc-rev-$p)': $(out t-trunc-$p | oneline)"
  read -r segments ck_cond <<<"$(sed -n "s/^@@QM-SEGMENTED t-whole-$p //p" "$TC" | head -n 1)"
  [[ $(rc t-whole-$p) == 0 && $(rc t-whole-img-$p) == 0 && ${segments:-0} -gt 0 &&
    $ck_cond == "$segments" ]]
  result "TCM-User: the whole image over $p: exit 0, the same bytes, CK_COND on every 0x03 command" $? \
    "exit $(rc t-whole-$p), cmp $(rc t-whole-img-$p), 0x03 commands/with CK_COND '$segments/$ck_cond'"
done
code=$(rc t-trunc-hdparm)
[[ $code != 0 && $code != none && $(out t-trunc-hdparm-rev) == "$T_FWVER" ]]
result "TCM-User: hdparm --fwdownload-mode3 refuses the truncated image too (exit $code)" $? \
  "revision '$(out t-trunc-hdparm-rev)': $(out t-trunc-hdparm | oneline)"

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
echo "TCM-User stage: the guest ran ${TCMU_SECONDS} s"

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
