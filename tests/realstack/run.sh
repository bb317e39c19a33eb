#!/usr/bin/env bash
# Real-stack test: the Linux quillmark against a storage stack nobody on this project wrote,
# Debian's kernel under qemu-system-x86_64 software emulation, booted twice with the host's root
# shared read-only (the guest runs the host's programs in place, nothing is copied in):
#  1. libata's SCSI/ATA translation, sd and sg in front of QEMU's emulated AHCI SATA disk, which
#     aborts DOWNLOAD MICROCODE; smartctl runs beside it as the independent peer, and a small
#     probe records the raw sense bytes the kernel returns;
#  2. the simulated drive (quillmark-tcmu-drive) behind a real sd disk through LIO's TCM-User
#     backstore and the tcm_loop fabric: whole downloads in every mode and path, the drive's
#     faults (abort, BUSY, a slow reply, fixed-format sense, a locked drive), smartctl and
#     hdparm's own segmented download as peers, and the time per DOWNLOAD MICROCODE of the tool,
#     a bare SG_IO loop and hdparm, printed as figures (not judged); then, on the same disk, the
#     Windows build (Quillmark.exe) under the host's wine, whose SCSI pass-through hands the
#     request to SG_IO: each case against the Linux build's exit code, text and the drive's
#     record, and its time per command against the Linux build's and the bare loop's.
#
# The guest's side is in guest/ (init, one file per stage), the package cache in packages.sh,
# the boot in guest.sh, the checks in checks_<stage>.sh.
#
# Needs: apt-get and dpkg-deb (packages are downloaded, never installed), qemu-system-x86_64,
# cpio, gzip, cmake, a C++ compiler with static libraries, smartctl, and for the wine stage wine
# and the Windows build (cmake --preset windows && cmake --build --preset windows).
#
# Environment:
#   QM_REALSTACK_CACHE  downloads and extracted packages (default ~/.cache/quillmark-realstack)
#   QM_REALSTACK_BUILD  static build directory (default <repo>/build-realstack)
#                       (the cache must lie outside /tmp, which the guest replaces with its own)
#   QM_REALSTACK_EXE    the Windows build (default <repo>/build-win/Quillmark.exe)
#   QM_REALSTACK_KEEP   set to keep the work directory (guest transcript, results)
#   QM_REALSTACK_STAGES the stages to run, separated by commas (default ahci,tcmu,wine): ahci
#                       (libata), tcmu (the TCM-User drive), wine (Quillmark.exe on the TCM-User
#                       stage's disk, so it brings that stage's boot along); wine and the Windows
#                       build are needed only for the wine stage
#   QM_JOBS             build parallelism (default 2)
#
# Prints one line per check and "N passed, M failed"; exits 0 only when nothing failed.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${QM_REALSTACK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmark-realstack}
BUILD=${QM_REALSTACK_BUILD:-$ROOT/build-realstack}
EXE=${QM_REALSTACK_EXE:-$ROOT/build-win/Quillmark.exe}
JOBS=${QM_JOBS:-2}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qm-realstack.XXXXXX")
if [[ -n ${QM_REALSTACK_KEEP:-} ]]; then
  echo "work directory: $WORK"
else
  trap 'rm -rf "$WORK"' EXIT
fi
source "$ROOT/tests/support/checks.sh"
source "$HERE/packages.sh"
source "$HERE/guest.sh"

# What the script tells QEMU the disk is; every identity check compares against these.
MODEL="QM REALSTACK SATA DISK"
SERIAL="QMRS-20260001"
FWVER="QM1.23"
# A download image larger than one 32 KiB segment.
IMAGE_BYTES=65536
# The simulated images of the TCM-User stage, each with a revision of its own: name, size,
# revision. Sizes off the block size check the padding; 2 MiB is more than SG_IO carries at once.
T_IMAGES="s:100000:TC-S ea:70000:TC-EA g1:20000:TC-G1 1m:1048576:TC-1M 2m:2097152:TC-2M
  hd:1048576:TC-HD bench:1048576:TC-BN"
# The modules the guest may load: the disk drivers, the LIO target core, its TCM-User backstore
# and the loopback fabric, and the host's root over virtio-9p with an overlay on it.
MODULE_ROOTS="ahci sd_mod sg configfs target_core_mod target_core_user tcm_loop virtio_pci
  9pnet_virtio 9p overlay"

log() { echo "realstack [${SECONDS}s]: $*" >&2; }
die() {
  log "$*"
  exit 2
}

STAGES=" $(tr ',' ' ' <<<"${QM_REALSTACK_STAGES:-ahci,tcmu,wine}" | xargs) "
for stage in $STAGES; do
  case $stage in ahci | tcmu | wine) ;; *) die "unknown stage '$stage' (known: ahci, tcmu, wine)" ;; esac
done
# staged <name>: whether the stage runs.
staged() { [[ $STAGES == *" $1 "* ]]; }
# The wine stage downloads into the TCM-User stage's disk.
staged wine && ! staged tcmu && STAGES+="tcmu "

tools="apt-get apt-cache dpkg-deb qemu-system-x86_64 cpio gzip cmake smartctl"
staged wine && tools+=" wine wineserver"
for tool in $tools; do
  command -v "$tool" >/dev/null || die "missing tool: $tool"
done
if staged wine; then
  [[ -f $EXE ]] || die "no Windows build at $EXE (cmake --preset windows && cmake --build --preset windows)"
fi

# --- Packages: the kernel, busybox for the initramfs, hdparm as a peer -------------------------

mkdir -p "$CACHE/debs" "$CACHE/extract"
log "resolving the kernel package"
KDEB=$(fetch "$(kernel_package)")
BUSYBOX=$(extract "$(fetch busybox-static)")/bin/busybox
[[ -x $BUSYBOX ]] || die "no busybox in busybox-static"
KDIR=$(kernel_tree "$KDEB" $MODULE_ROOTS)
KVER=$(ls -1 "$KDIR/lib/modules" | head -n 1)
VMLINUZ=$KDIR/vmlinuz-$KVER
HDPARM_DIR=$(extract "$(fetch hdparm)")/sbin
[[ -x $HDPARM_DIR/hdparm ]] || die "no hdparm in the hdparm package"
WINEPREFIX_DIR=
if staged wine; then
  log "making the wine prefix (once per wine version)"
  WINEPREFIX_DIR=$(wine_prefix)
fi

# --- The tool, its simulated drive and the probes, built static --------------------------------

log "building the static Linux quillmark, quillmark-tcmu-drive and the probes in $BUILD"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -e $BUILD/CMakeCache.txt ]]; then
  cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQM_TESTS=OFF \
    -DQM_SANITIZE=OFF -DCMAKE_EXE_LINKER_FLAGS=-static >"$WORK/cmake.log" 2>&1 ||
    { cat "$WORK/cmake.log" >&2; die "cmake failed"; }
fi
cmake --build "$BUILD" -j "$JOBS" --target quillmark quillmark-tcmu-drive make-sim-image \
  sg_probe sg_loop >"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log" >&2; die "build failed"; }

# --- What the guest reads from the work directory: images and its environment -----------------

mkdir -p "$WORK/img"
# The image the libata stage sends (QEMU aborts DOWNLOAD MICROCODE anyway).
head -c "$IMAGE_BYTES" /dev/zero | tr '\0' '\132' >"$WORK/img/fw.bin"
for entry in $T_IMAGES; do
  IFS=: read -r name size revision <<<"$entry"
  "$BUILD/make-sim-image" "$WORK/img/$name.bin" "$size" "$revision" >/dev/null ||
    die "make-sim-image $name failed"
done
# An image cut short of the length its header gives.
head -c 60000 "$WORK/img/s.bin" >"$WORK/img/trunc.bin"
# The same cut at a whole number of blocks, as hdparm takes an image.
head -c 65536 "$WORK/img/s.bin" >"$WORK/img/cut.bin"
# The guest sees the work directory at /tmp/qm, everything else but /tmp at the host's paths.
# Its side of the test and the programs it runs are copied there: an edit or a build during the
# run does not reach a running guest, and a checkout under /tmp works as well as any other.
cp -r "$HERE/guest" "$WORK/guest"
if staged wine; then cp "$EXE" "$WORK/Quillmark.exe"; fi
mkdir "$WORK/bin"
cp "$BUILD"/{quillmark,quillmark-tcmu-drive,sg_probe,sg_loop} "$HDPARM_DIR/hdparm" "$WORK/bin/"
# busybox again for the TCM-User stage's syslogd and logger: the stages run in the host's root.
cp "$BUSYBOX" "$WORK/bin/busybox"
cat >"$WORK/guest.env" <<EOF2
QM_GUEST=/tmp/qm/guest
IMG=/tmp/qm/img
QM_EXE=/tmp/qm/Quillmark.exe
QM_WINE_LOWER='$WINEPREFIX_DIR'
PATH='/tmp/qm/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
export QM_GUEST IMG QM_EXE QM_WINE_LOWER PATH
EOF2

# --- The boots ---------------------------------------------------------------------------------

log "packing the initramfs"
make_initramfs "$KDIR" "$BUSYBOX" "$WORK/initramfs.gz"
transcripts=()
if staged ahci; then
  truncate -s 64M "$WORK/disk.img"
  boot ahci ahci -drive "if=none,id=d0,file=$WORK/disk.img,format=raw" \
    -device "ide-hd,drive=d0,bus=ide.0,model=$MODEL,serial=$SERIAL,ver=$FWVER"
  transcripts+=("$WORK/console-ahci.txt")
fi
if staged tcmu; then
  tcmu_start=$(date +%s)
  boot tcmu "tcmu$(staged wine && echo ,wine)"
  TCMU_SECONDS=$(($(date +%s) - tcmu_start))
  transcripts+=("$WORK/console-tcmu.txt")
fi
split_transcripts "${transcripts[@]}"

# --- The checks: each may fail; the verdict is counted, not fatal ------------------------------

set +e +o pipefail
staged ahci && source "$HERE/checks_ahci.sh"
staged tcmu && source "$HERE/checks_tcmu.sh"
staged wine && source "$HERE/checks_wine.sh"
report
