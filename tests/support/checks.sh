# Check and report helpers of the shell test suites (bash; source this file). Every check
# prints one line, "PASS  <what>" or "FAIL  <what>  (<detail>)", and is counted, never fatal;
# report closes the suite with "N passed, M failed" and fails when any check failed.

passed=0
failed=0

# result <what> <status, 0 passes> [<detail shown on failure>]
result() {
  if [[ $2 == 0 ]]; then
    echo "PASS  $1"
    passed=$((passed + 1))
  else
    echo "FAIL  $1${3:+  ($3)}"
    failed=$((failed + 1))
  fi
}

# check <what> <command...>: the command's status is the verdict.
check() {
  local what=$1
  shift
  "$@"
  result "$what" $?
}

# Standard input as one line, for a failure's detail.
oneline() { tr '\n' '|' | cut -c1-300; }

report() {
  echo "$passed passed, $failed failed"
  [[ $failed == 0 ]]
}
