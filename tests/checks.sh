# What the shell-scripted checks share (sourced): one line per check, "NAME: CHECK: ok" or "NAME: CHECK: FAIL: WHY",
# counted in $passed and $failed. The sourcing script sets $checks to its NAME first.
passed=0 failed=0
ok() { echo "$checks: $1: ok"; passed=$((passed + 1)); }
fail() { echo "$checks: $1: FAIL: $2"; failed=$((failed + 1)); }

# same CHECK EXPECTED ACTUAL: that two texts are the same, line by line; the lines that differ when not
same() {
  if [ "$2" = "$3" ]; then
    ok "$1"
  else
    fail "$1" "expected <, got >: $(diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | grep '^[<>]' | tr '\n' ' ')"
  fi
}

# summary: the counts, and a status that fails when a check did
summary() {
  echo "$checks: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
