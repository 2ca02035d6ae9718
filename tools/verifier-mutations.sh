#!/bin/sh
# Shows that every rule of the simulated kernel's verifier, and every place
# that reports one, is needed by some test: each in turn is switched off
# (QUILLAN_VERIFIER_SILENCE, which makes the verifier drop exactly those
# reports) and the tests that reach it are run again; one of them must then
# fail. Which tests reach a rule or a site is read from one full run, whose
# verifier reports name both. A rule or report site that no test reaches, or
# whose silencing fails no test, is listed as SURVIVED.
#
# Not run by CI (a few minutes).
#
#   tools/verifier-mutations.sh [BUILD_DIR]     (default build/host64)
#
# Exits 0 when every rule and every site is caught.
set -u
cd "$(dirname "$0")/.."
build=${1:-build/host64}
tests="$build/tests/quillan_tests"
if [ ! -x "$tests" ]; then
  echo "no $tests: build it first (ninja -C $build quillan_tests)" >&2
  exit 2
fi

# Runs the given tests with one rule or site silenced; stops at the first failure.
run() {
  QUILLAN_VERIFIER_SILENCE="$1" "$tests" --gtest_brief=1 --gtest_fail_fast --gtest_filter="$2" >/dev/null 2>&1
}

# One full run: which test reached which rule and site. A report reads
# "VERIFIER: ... [Rule sim/file.cpp:line]".
log=$(mktemp)
reached=$(mktemp)
trap 'rm -f "$log" "$reached"' EXIT
if ! "$tests" >"$log" 2>&1; then
  echo "the tests fail with nothing silenced: fix that first" >&2
  exit 2
fi
awk '
  /^\[ RUN      \] / { test = $4 }
  /^VERIFIER: / && match($0, /\[[A-Za-z]+ sim\/[^]]*\]$/) {
    split(substr($0, RSTART + 1, RLENGTH - 2), part, " ")
    print "rule:" part[1], test
    print "site:" part[2], test
  }' "$log" | sort -u >"$reached"

# The tests that reached a rule or site, as a --gtest_filter.
tests_reaching() {
  awk -v key="$1" '$1 == key { print $2 }' "$reached" | paste -sd: -
}

# Rule identifiers, in the order the verifier declares them.
rules=$(sed -n '/^enum class Rule {/,/^};/p' sim/verifier/verifier.h | grep -o '^  [A-Za-z]*' | tr -d ' ')
# Report sites: file:line of every call of the verifier's Report.
sites=$(grep -rn 'verifier::Report(' sim --include='*.cpp' | grep -v '^sim/verifier/' | cut -d: -f1,2)

total=0
caught=0
survived=""
for rule in $rules; do
  total=$((total + 1))
  filter=$(tests_reaching "rule:$rule")
  if [ -z "$filter" ] || run "rule:$rule" "$filter"; then
    survived="$survived rule:$rule"
    echo "SURVIVED rule:$rule"
  else
    caught=$((caught + 1))
    echo "caught   rule:$rule"
  fi
done
for site in $sites; do
  total=$((total + 1))
  filter=$(tests_reaching "site:$site")
  if [ -z "$filter" ] || run "site:$site" "$filter"; then
    survived="$survived site:$site"
    echo "SURVIVED site:$site: $(sed -n "${site##*:}p" "${site%:*}" | sed 's/^ *//')"
  else
    caught=$((caught + 1))
    echo "caught   site:$site"
  fi
done

echo
echo "$caught of $total mutations (rules and report sites silenced) broke a test"
[ -z "$survived" ]
