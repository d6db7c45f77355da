# The outcome of each case of a shell test script: one line and one count
# each, the counts a script reports at its end, and the exit status of a
# script that cannot run here. Sourced.
#
#   pass TEXT, fail TEXT          "ok    TEXT", "FAIL  TEXT"
#   skip WHAT REASON [SUMMARY]    "SKIP  WHAT: REASON"
#   check WHAT COMMAND...         pass or fail on COMMAND's status
#   skip_all REASON               "SKIP: REASON", and exits with $SKIP
#   cases_counts FILE             "PASSED SKIPPED REASONS" into FILE
#
# A script sets cases_pass_word (ok) and cases_column (6, the width of the
# word's column) before sourcing to keep its own look.
# shellcheck shell=bash

SKIP=77
passed=0 failures=0 skipped=0
# What made cases skip, each once, separated by ", ".
reasons=''
cases_pass_word=${cases_pass_word:-ok}
cases_column=${cases_column:-6}

cases_line() {  # WORD TEXT
    printf '%-*s%s\n' "$cases_column" "$1" "$2"
}

pass() {
    cases_line "$cases_pass_word" "$*"
    passed=$((passed + 1))
}

# A script whose own fail means something else calls cases_fail.
cases_fail() {
    cases_line FAIL "$*"
    failures=$((failures + 1))
}
fail() {
    cases_fail "$@"
}

# skip WHAT REASON [SUMMARY]: a case that cannot run here. SUMMARY, "WHAT:
# REASON" unless given, joins $reasons unless it is there already.
skip() {
    local summary=${3:-$1: $2}
    cases_line SKIP "$1: $2"
    skipped=$((skipped + 1))
    case ", $reasons, " in
    *", $summary, "*) ;;
    *) reasons+="${reasons:+, }$summary" ;;
    esac
}

# check WHAT COMMAND...: runs COMMAND quietly in $work, shows its output if
# it fails.
check() {
    local what=$1 started=$SECONDS
    shift
    if "$@" >"${work:?}/out" 2>&1; then
        pass "$what ($((SECONDS - started)) s)"
    else
        fail "$what ($((SECONDS - started)) s)"
        sed 's/^/      | /' "$work/out"
    fi
}

skip_all() {
    echo "SKIP: $*"
    exit "$SKIP"
}

cases_counts() {  # FILE, or nothing
    [ -z "${1:-}" ] || echo "$passed $skipped $reasons" >"$1"
}
