#!/bin/sh
# Shows that every rule of the simulated kernel's verifier, and every place
# that reports one, is needed by some test: each in turn is switched off
# (QUILLAN_VERIFIER_SILENCE, which makes the verifier drop exactly those
# reports) and the whole test binary is run; some test must then fail.
# A rule or report site whose silencing fails no test is listed as SURVIVED.
#
# Not run by CI (a few minutes: one run of the tests per rule and per site).
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

# Runs the tests with one rule or site silenced; stops at the first failure.
run() {
  QUILLAN_VERIFIER_SILENCE="$1" "$tests" --gtest_brief=1 --gtest_fail_fast >/dev/null 2>&1
}

if ! run ""; then
  echo "the tests fail with nothing silenced: fix that first" >&2
  exit 2
fi

# Rule identifiers, in the order the verifier declares them.
rules=$(sed -n '/^enum class Rule {/,/^};/p' sim/verifier/verifier.h | grep -o '^  [A-Za-z]*' | tr -d ' ')
# Report sites: file:line of every call of the verifier's Report.
sites=$(grep -rn 'verifier::Report(' sim --include='*.cpp' | grep -v '^sim/verifier/' | cut -d: -f1,2)

total=0
caught=0
survived=""
for rule in $rules; do
  total=$((total + 1))
  if run "rule:$rule"; then
    survived="$survived rule:$rule"
    echo "SURVIVED rule:$rule"
  else
    caught=$((caught + 1))
    echo "caught   rule:$rule"
  fi
done
for site in $sites; do
  total=$((total + 1))
  if run "site:$site"; then
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
