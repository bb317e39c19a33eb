#!/usr/bin/env bash
# Every test: the native suites under AddressSanitizer + UndefinedBehaviorSanitizer (the
# include layering check among them), simulated runs at the same time and interrupted ones, the
# fleet rollout under Ansible, the Windows build under wine, the packages, the real-stack test
# against Debian's kernel and QEMU, and the fuzz targets for a bounded time.
#
# Every section runs, whatever became of the ones before it (a later one that needs an earlier
# one's build fails on its own), then one line per section gives its verdict and its time; the
# exit status is non-zero when any section failed.
#
# Environment:
#   QM_TEST_SECTIONS  the sections to run, separated by commas or blanks (default: all, in this
#                     order): native concurrency ansible windows packages realstack fuzz
#   (each section's own variables, such as QM_FUZZ_TARGETS or QM_REALSTACK_STAGES, pass through)
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export WINEDEBUG=-all
unset DISPLAY

# Configures, builds and tests one CMake preset.
build_and_test() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs" && ctest --preset "$1"
}

# One row per section: name|what it does|its command.
SECTIONS=(
  "native|native tests (asan + ubsan; the include layering among them)|build_and_test asan"
  "concurrency|runs at the same time and interrupted runs (quillmark-sim, one state file)|bash tests/concurrency/run.sh build-asan"
  "ansible|fleet rollout with Ansible (local hosts, quillmark-sim drives), ansible-lint in the production profile|python3 tests/ansible/test_rollout.py build-asan && (cd ansible && ansible-lint --offline --profile production rollout.yml roles)"
  "windows|Windows build under wine|build_and_test windows"
  "packages|packages (Debian package, Windows zip)|bash tests/packaging/run.sh build-win"
  "realstack|real stack (Debian kernel under QEMU: libata, the TCM-User drive, Quillmark.exe under wine)|bash tests/realstack/run.sh"
  "fuzz|fuzz targets (libFuzzer, clang; seeds, regression inputs, then ${QM_FUZZ_SECONDS:-20} s each)|bash fuzz/run.sh"
)

known=" "
for row in "${SECTIONS[@]}"; do known+="${row%%|*} "; done
selected=" $(tr ',' ' ' <<<"${QM_TEST_SECTIONS:-$known}" | xargs) "
for name in $selected; do
  [[ $known == *" $name "* ]] || { echo "run_all: unknown section '$name' (known:$known)" >&2; exit 2; }
done

summary=()
any_failed=0
for row in "${SECTIONS[@]}"; do
  IFS='|' read -r name title command <<<"$row"
  [[ $selected == *" $name "* ]] || continue
  echo "== $title"
  start=$SECONDS
  if eval "$command"; then verdict=passed; else verdict=failed; any_failed=1; fi
  summary+=("$(printf '%-12s %s  %d s' "$name" "$verdict" $((SECONDS - start)))")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit $any_failed
