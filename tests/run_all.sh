#!/usr/bin/env bash
# Every test: the native suites under AddressSanitizer + UndefinedBehaviorSanitizer (the
# include layering check among them), simulated runs at the same time and interrupted ones, the
# fleet rollout under Ansible, the Windows build under wine, the packages, the real-stack test
# against Debian's kernel and QEMU, and the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# Configures, builds and tests one CMake preset.
build_and_test() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1"
}

echo "== native tests (asan + ubsan; the include layering among them)"
build_and_test asan

echo "== runs at the same time and interrupted runs (quillmark-sim, one state file)"
bash tests/concurrency/run.sh build-asan

echo "== fleet rollout with Ansible (local hosts, quillmark-sim drives)"
python3 tests/ansible/test_rollout.py build-asan

echo "== Windows build under wine"
export WINEDEBUG=-all
unset DISPLAY
build_and_test windows

echo "== packages (Debian package, Windows zip)"
bash tests/packaging/run.sh build-win

echo "== real stack (Debian kernel under QEMU: libata, the TCM-User drive, Quillmark.exe under wine)"
bash tests/realstack/run.sh

echo "== fuzz targets (libFuzzer, clang; seeds, regression inputs, then ${QM_FUZZ_SECONDS:-20} s each)"
bash fuzz/run.sh
