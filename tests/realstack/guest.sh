# The host's side of the guest (bash; sourced by run.sh): the initramfs that boots it, one
# boot under QEMU, and the transcripts split into one output and one exit status per command.

# make_initramfs <kernel tree> <busybox> <archive>: busybox, the kernel's modules and the
# guest's init; everything else the guest reaches through the host's root.
make_initramfs() {
  local ir=$WORK/initramfs kver
  kver=$(ls -1 "$1/lib/modules" | head -n 1)
  rm -rf "$ir"
  mkdir -p "$ir"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev}
  cp "$2" "$ir/bin/busybox"
  cp -a "$1/lib" "$ir/"
  "$2" depmod -b "$ir" "$kver"
  cp "$HERE/guest/init" "$ir/init"
  chmod +x "$ir/init"
  (cd "$ir" && find . | cpio --quiet -o -H newc -R 0:0 | gzip -1) >"$3"
}

# boot <name> <stages> [QEMU arguments...]: one guest boot running the stages (comma-separated),
# its transcript in console-<name>.txt.
boot() {
  local name=$1 stages=$2 start
  shift 2
  log "booting $KVER under QEMU (TCG): $name"
  start=$(date +%s)
  timeout 900 qemu-system-x86_64 -M q35 -accel tcg -m 1024 -nographic -no-reboot -nic none \
    -kernel "$VMLINUZ" -initrd "$WORK/initramfs.gz" \
    -virtfs local,path=/,mount_tag=qmroot,security_model=none,readonly=on,multidevs=remap \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init qmstages=$stages qmwork=$WORK" \
    "$@" </dev/null >"$WORK/console-$name.raw" 2>"$WORK/qemu-$name.err" ||
    log "qemu ended with status $?"
  log "guest $name ran $(($(date +%s) - start)) s"
  # The firmware's screen-control sequences go; a marker that a carriage return (or anything
  # else) left inside a line is moved to a line of its own; then the carriage returns that end
  # lines go.
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' -e 's/\r*\(@@QM-\)/\n\1/g' -e 's/^\n//' \
    "$WORK/console-$name.raw" | sed -e 's/\r$//' >"$WORK/console-$name.txt"
}

# split_transcripts <transcript...>: res/<command>.out and res/<command>.rc per command.
split_transcripts() {
  mkdir -p "$WORK/res"
  awk -v dir="$WORK/res" '
    /^@@QM-BEGIN / { name = $2; file = dir "/" name ".out"; printf "" > file; held = ""; inside = 1; next }
    /^@@QM-END / {
      # The last line before the marker is the newline the guest added.
      split($3, kv, "="); print kv[2] > (dir "/" name ".rc"); close(file); inside = 0; next }
    inside { if (started[name]) print held > file; held = $0; started[name] = 1 }
  ' "$@"
}

# What the checks read of one command: its output file, its output, its exit status ("none"
# when it did not run), whether a line of its output is exactly $2.
res() { echo "$WORK/res/$1.out"; }
out() { cat "$(res "$1")" 2>/dev/null; }
rc() { cat "$WORK/res/$1.rc" 2>/dev/null || echo none; }
has_line() { grep -qxF -- "$2" "$(res "$1")" 2>/dev/null; }
# The value after "Label:" in smartctl's output (of run $2, by default smartctl-i), blanks
# trimmed.
smart_field() {
  sed -n "s/^$1:[[:space:]]*//p" "$(res "${2:-smartctl-i}")" | sed 's/[[:space:]]*$//' | head -n 1
}

# A wine prefix for the wine stage, made on the host (in the guest, under TCG, it takes minutes)
# and cached per wine version, with \\.\PhysicalDrive0 as the guest's /dev/sda and
# \\.\PhysicalDrive1 as its /dev/sg0; prints the directory. The guest writes only to an overlay.
wine_prefix() {
  local dir tmp
  dir=$CACHE/wine/$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' _)
  if [[ ! -e $dir ]]; then
    mkdir -p "$CACHE/wine"
    tmp=$(mktemp -d "$CACHE/wine/.new.XXXXXX")
    { WINEPREFIX=$tmp WINEDEBUG=-all env -u DISPLAY wineboot --init && WINEPREFIX=$tmp wineserver -w; } \
      >"$WORK/wineboot.log" 2>&1 || { tail -n 20 "$WORK/wineboot.log" >&2; rm -rf "$tmp"; die "wineboot failed"; }
    ln -s /dev/sda "$tmp/dosdevices/physicaldrive0"
    ln -s /dev/sg0 "$tmp/dosdevices/physicaldrive1"
    publish "$tmp" "$dir"
  fi
  echo "$dir"
}
