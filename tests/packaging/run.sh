#!/usr/bin/env bash
# The packages as a user receives them: the Debian package built from a release build of its
# own (what it holds, what it depends on, lintian), and the Windows zip from a built Windows
# tree (what it holds, CRLF text files).
#
# usage: run.sh [<built Windows build directory>]
# Prints one line per check and "N passed, M failed"; exits 0 only when nothing failed.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${QM_PACKAGE_BUILD:-$ROOT/build-pkg}
WIN_BUILD=${1:-}
# The version project() in CMakeLists.txt gives the tool.
VERSION=$(sed -n 's/^project(Quillmark VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")

source "$ROOT/tests/support/checks.sh"

# --- Debian package ----------------------------------------------------------------------------
mkdir -p "$BUILD"
log=$BUILD/package-test.log
if ! { cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_TESTS=OFF &&
  cmake --build "$BUILD" -j "${QM_JOBS:-2}" &&
  (cd "$BUILD" && rm -f ./*.deb && cpack -G DEB); } >"$log" 2>&1; then
  tail -n 30 "$log"
  result "the Debian package is built" 1
  report
  exit
fi
deb=$BUILD/quillmark_${VERSION}_amd64.deb

expected_files="./usr/sbin/quillmark
./usr/share/doc/quillmark/LGPL-3
./usr/share/doc/quillmark/README.md
./usr/share/doc/quillmark/changelog.gz
./usr/share/doc/quillmark/copyright
./usr/share/doc/quillmark/eula.txt
./usr/share/doc/quillmark/quillmark-report.schema.json
./usr/share/man/man8/quillmark.8.gz"
deb_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
check "the package holds the tool, its manual page and its documents (the run report's schema among them)" \
  test "$deb_files" = "$expected_files"
[[ $deb_files == "$expected_files" ]] || diff <(echo "$expected_files") <(echo "$deb_files")

depends=$(dpkg-deb -f "$deb" Depends)
check "it depends on the C library only ($depends)" \
  bash -c '[[ $1 =~ ^libc6(\ \(\>=\ [0-9.]+\))?$ ]]' _ "$depends"

lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1)
lintian_rc=$?
check "lintian reports no error and no warning" test "$lintian_rc" -eq 0
[[ $lintian_rc -eq 0 ]] || echo "$lintian_out"

# --- Windows zip -------------------------------------------------------------------------------
if [[ -n $WIN_BUILD ]]; then
  zip=$WIN_BUILD/quillmark-$VERSION-win64.zip
  rm -f "$zip"
  (cd "$WIN_BUILD" && cpack -G ZIP) >>"$log" 2>&1 || tail -n 30 "$log"
  check "the zip holds Quillmark.exe, README.txt, the licence texts and the report's schema" python3 - "$zip" <<'EOF'
import sys, zipfile
names = sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist())
sys.exit(names != ["EULA.txt", "LGPL-3.txt", "Quillmark.exe", "README.txt",
                   "quillmark-report.schema.json"])
EOF
  check "README.txt and the licence texts have CRLF line ends" python3 - "$zip" <<'EOF'
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for n in z.namelist():
    if n.endswith(".txt"):
        text = z.read(n)
        if not text.endswith(b"\r\n") or text.count(b"\n") != text.count(b"\r\n"):
            sys.exit(1)
EOF
fi

report
