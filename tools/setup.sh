#!/usr/bin/env bash
# Installs what building and testing Quillmark needs on a Debian 12 machine.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# The native build, the tests (python3 for the layering check) and the benchmark.
$SUDO apt-get install -y -qq --no-install-recommends \
  cmake ninja-build g++ python3 libgtest-dev libgmock-dev googletest libbenchmark-dev base-files >/dev/null
# The run report: the JSON library (header-only, also for the Windows build), nettle's SHA-256
# (linked statically) and the schema validator its test reads the documents with.
$SUDO apt-get install -y -qq --no-install-recommends nlohmann-json3-dev nettle-dev \
  python3-jsonschema >/dev/null
# The Windows build (cross compiler) and wine to run it.
$SUDO apt-get install -y -qq g++-mingw-w64-x86-64 wine64 >/dev/null
# The fuzz targets: clang 14 and its libFuzzer and sanitizer runtimes.
$SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev >/dev/null
# The real-stack test: QEMU, cpio for the initramfs, smartctl as the independent peer.
$SUDO apt-get install -y -qq --no-install-recommends qemu-system-x86 cpio smartmontools >/dev/null
# Packaging (dpkg-shlibdeps for the dependencies, lintian) and the fleet rollout (Ansible).
$SUDO apt-get install -y -qq --no-install-recommends dpkg-dev lintian ansible-core ansible-lint >/dev/null
echo "setup: packages installed"
