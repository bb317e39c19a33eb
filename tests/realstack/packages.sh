# The real-stack test's package cache (bash; sourced by run.sh): Debian packages downloaded with
# apt-get, never installed, and extracted once into $CACHE. Several test runs may share the cache
# at once: every download and extraction is made under a temporary name and renamed into place,
# and a finished entry is never changed again.

# publish <temporary directory> <final directory>: moves a finished directory into place; when
# another run was first, its copy is kept and ours goes.
publish() {
  mv -T "$1" "$2" 2>/dev/null || rm -rf "$1"
}

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
  local pkg=$1 deb tmp
  deb=$(ls -1 "$CACHE/debs/${pkg}_"*.deb 2>/dev/null | sort -V | tail -n 1) || true
  if [[ -z $deb ]]; then
    log "downloading $pkg"
    tmp=$(mktemp -d "$CACHE/debs/.fetch.XXXXXX")
    (cd "$tmp" && apt-get download -o APT::Sandbox::User=root "$pkg" >&2) ||
      { rm -rf "$tmp"; die "apt-get download $pkg failed"; }
    deb=$(ls -1 "$tmp/${pkg}_"*.deb | head -n 1)
    mv -n "$deb" "$CACHE/debs/"
    rm -rf "$tmp"
    deb=$(ls -1 "$CACHE/debs/${pkg}_"*.deb | sort -V | tail -n 1)
  fi
  echo "$deb"
}

# Extracts a .deb once into the cache; prints the directory. A directory without its .done
# mark is another run's extraction under way (or one that died): this run waits a minute for
# it, then extracts a copy of its own into the work directory.
extract() {
  local deb=$1 dir tmp i
  dir="$CACHE/extract/$(basename "$deb" .deb)"
  for ((i = 0; i < 60; i++)); do
    [[ -e $dir && ! -e $dir/.done ]] || break
    sleep 1
  done
  if [[ ! -e $dir ]]; then
    tmp=$(mktemp -d "$CACHE/extract/.new.XXXXXX")
    dpkg-deb -x "$deb" "$tmp" && touch "$tmp/.done" || { rm -rf "$tmp"; die "dpkg-deb -x $deb failed"; }
    publish "$tmp" "$dir"
  fi
  if [[ ! -e $dir/.done ]]; then
    dir=$(mktemp -d "$WORK/extract.XXXXXX")
    dpkg-deb -x "$deb" "$dir" || die "dpkg-deb -x $deb failed"
  fi
  echo "$dir"
}

# The modules that the roots ($2...) need in the module directory $1, resolved through its
# modules.dep to a fixpoint (a root built into the kernel needs nothing).
module_closure() {
  local dir=$1
  shift
  awk -v roots="$*" '
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
    }' "$dir/modules.builtin" "$dir/modules.dep"
}

# kernel_tree <kernel .deb> <module roots...>: the kernel image and only the modules the roots
# need, cached once per kernel package and set of roots (the full extraction and the depmod
# over it happen then); prints the directory.
kernel_tree() {
  local deb=$1 dir kx tmp kver full closure m
  shift
  dir=$CACHE/kernel/$(basename "$deb" .deb).$(echo "$*" | cksum | cut -d ' ' -f 1)
  [[ -e $dir/.done ]] && { echo "$dir"; return; }
  log "extracting $(basename "$deb") and resolving its modules"
  kx=$WORK/kx
  rm -rf "$kx"
  mkdir -p "$kx" "$CACHE/kernel"
  dpkg-deb -x "$deb" "$kx"
  kver=$(ls -1 "$kx/lib/modules" | head -n 1)
  full=$kx/lib/modules/$kver
  # The package ships no modules.dep; busybox makes one.
  "$BUSYBOX" depmod -b "$kx" "$kver"
  closure=$(module_closure "$full" "$@")
  if grep -q '^missing:' <<<"$closure"; then
    die "modules not in $(basename "$deb"): $(grep '^missing:' <<<"$closure" | tr '\n' ' ')"
  fi
  tmp=$(mktemp -d "$CACHE/kernel/.new.XXXXXX")
  mkdir -p "$tmp/lib/modules/$kver"
  cp "$kx/boot/vmlinuz-$kver" "$tmp/" || die "no kernel image in $(basename "$deb")"
  cp "$full/modules.builtin" "$full/modules.order" "$full/modules.dep" "$tmp/lib/modules/$kver/"
  while read -r m; do
    [[ -n $m ]] || continue
    mkdir -p "$tmp/lib/modules/$kver/$(dirname "$m")"
    cp "$full/$m" "$tmp/lib/modules/$kver/$m"
  done <<<"$closure"
  rm -rf "$kx"
  echo "$*" >"$tmp/.done"
  publish "$tmp" "$dir"
  echo "$dir"
}
