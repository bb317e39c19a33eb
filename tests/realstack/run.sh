#!/usr/bin/env bash
# Real-stack test: the Linux quillmark against a storage stack nobody on this project wrote,
# Debian's kernel (libata's SCSI/ATA translation, sd and sg) in front of QEMU's emulated AHCI
# SATA disk, under qemu-system-x86_64 software emulation. smartctl runs beside it as the
# independent peer, and a small probe records the raw sense bytes the kernel returns.
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

# The modules that ahci, sd_mod and sg need in the module directory $1, resolved through its
# modules.dep to a fixpoint (a root built into the kernel needs nothing).
module_closure() {
  awk -v roots="ahci sd_mod sg" '
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
if [[ ! -e $KDIR/.done ]]; then
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
  touch "$KDIR/.done"
fi
KVER=$(ls -1 "$KDIR/lib/modules" | head -n 1)
VMLINUZ=$KDIR/vmlinuz-$KVER

# --- The tool, built static ------------------------------------------------------------------

log "building the static Linux quillmark in $BUILD"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -e $BUILD/CMakeCache.txt ]]; then
  cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQM_TESTS=OFF \
    -DQM_SANITIZE=OFF -DCMAKE_EXE_LINKER_FLAGS=-static >"$WORK/cmake.log" 2>&1 ||
    { cat "$WORK/cmake.log" >&2; die "cmake failed"; }
fi
cmake --build "$BUILD" -j "$JOBS" --target quillmark qm_platform_native >"$WORK/build.log" 2>&1 ||
  { tail -n 40 "$WORK/build.log" >&2; die "build failed"; }
"$CXX" -std=c++20 -O2 -Wall -Wextra -Werror -static -I"$ROOT/src" \
  "$ROOT/tests/realstack/sg_probe.cpp" "$BUILD/libqm_platform_native.a" -o "$WORK/sg_probe" ||
  die "sg_probe build failed"

# --- The initramfs ---------------------------------------------------------------------------

log "assembling the initramfs"
IR=$WORK/initramfs
mkdir -p "$IR"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,lib/modules/"$KVER"}
cp "$BUSYBOX" "$IR/bin/busybox"
cp "$BUILD/quillmark" "$IR/bin/quillmark"
cp "$WORK/sg_probe" "$IR/bin/sg_probe"

cp -a "$KDIR/lib" "$IR/"
"$BUSYBOX" depmod -b "$IR" "$KVER"

# smartctl with the shared libraries it was linked with, at the same paths.
SMARTCTL=$(command -v smartctl)
cp -L "$SMARTCTL" "$IR/usr/sbin/smartctl"
ldd "$SMARTCTL" | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^\//) print $i }' | sort -u |
  while read -r lib; do
    mkdir -p "$IR$(dirname "$lib")"
    cp -L "$lib" "$IR$lib"
  done

# The firmware image the download checks send (QEMU aborts DOWNLOAD MICROCODE anyway).
head -c "$IMAGE_BYTES" /dev/zero | tr '\0' '\132' >"$IR/fw.bin"

# Each guest command runs with its output between two markers; the host judges afterwards.
cat >"$IR/checks.sh" <<'EOF'
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
echo "@@QM-GUEST-UP $(uname -r)"
for m in ahci sd_mod sg; do
  modprobe "$m" || grep -q "/$m.ko\$" /lib/modules/*/modules.builtin ||
    echo "@@QM-MODPROBE-FAILED $m"
done
i=0
while [ $i -lt 300 ] && ! { [ -b /dev/sda ] && [ -c /dev/sg0 ]; }; do
  sleep 0.1
  i=$((i + 1))
done
[ -b /dev/sda ] || echo "@@QM-NO-DISK"
cd /tmp
. /checks.sh
echo "@@QM-GUEST-DONE"
poweroff -f
EOF
chmod +x "$IR/init"

log "packing the initramfs"
(cd "$IR" && find . | cpio --quiet -o -H newc -R 0:0 | gzip -1) >"$WORK/initramfs.gz"

# --- The run ---------------------------------------------------------------------------------

truncate -s 64M "$WORK/disk.img"
log "booting $KVER under QEMU (TCG)"
start=$(date +%s)
timeout 900 qemu-system-x86_64 -M q35 -accel tcg -m 512 -nographic -no-reboot -nic none \
  -kernel "$VMLINUZ" -initrd "$WORK/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init" \
  -drive "if=none,id=d0,file=$WORK/disk.img,format=raw" \
  -device "ide-hd,drive=d0,bus=ide.0,model=$MODEL,serial=$SERIAL,ver=$FWVER" \
  </dev/null >"$WORK/console.raw" 2>"$WORK/qemu.err" || log "qemu ended with status $?"
log "guest ran $(($(date +%s) - start)) s"
# Carriage returns of the serial line and the firmware's screen-control sequences go.
sed -e 's/\r$//' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' "$WORK/console.raw" >"$WORK/console.txt"

# Split the transcript into one output file and one exit-status file per command.
mkdir -p "$WORK/res"
awk -v dir="$WORK/res" '
  /^@@QM-BEGIN / { name = $2; file = dir "/" name ".out"; printf "" > file; held = ""; inside = 1; next }
  /^@@QM-END / {
    # The last line before the marker is the newline the guest added.
    split($3, kv, "="); print kv[2] > (dir "/" name ".rc"); close(file); inside = 0; next }
  inside { if (started[name]) print held > file; held = $0; started[name] = 1 }
' "$WORK/console.txt"

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
# The value after "Label:" in smartctl's output, blanks trimmed.
smart_field() { sed -n "s/^$1:[[:space:]]*//p" "$(res smartctl-i)" | sed 's/[[:space:]]*$//' | head -n 1; }

grep -q '^@@QM-GUEST-UP' "$WORK/console.txt"
result "guest boots the kernel ($KVER)" $? "$(tail -n 5 "$WORK/console.txt" "$WORK/qemu.err" | oneline)"
! grep -q '^@@QM-NO-DISK\|^@@QM-MODPROBE-FAILED' "$WORK/console.txt" &&
  grep -q '^@@QM-GUEST-DONE' "$WORK/console.txt"
result "ahci, sd_mod and sg load, /dev/sda and /dev/sg0 appear, every command ran" $? \
  "$(grep '^@@QM' "$WORK/console.txt" | tail -n 3 | oneline)"

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

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
