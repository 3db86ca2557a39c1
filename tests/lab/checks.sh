# Checks for the lab tests, sourced before each test with /lab/env and stacks.sh. A test is a
# bash script run with -e: the first failing check ends it, with its reason on standard error.

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# run_ok LABEL COMMAND...: COMMAND must succeed; its output goes to the log and to $OUT.
run_ok() {
    local label=$1
    shift
    echo "== $label: $*"
    if ! OUT=$("$@" 2>&1); then
        echo "$OUT"
        fail "$label: exit status not 0"
    fi
    echo "$OUT"
}

# run_fails LABEL COMMAND...: COMMAND must fail; output in $OUT.
run_fails() {
    local label=$1
    shift
    echo "== $label: $*"
    if OUT=$("$@" 2>&1); then
        echo "$OUT"
        fail "$label: succeeded"
    fi
    echo "$OUT"
}

# has TEXT: the last command's output holds TEXT (a fixed string); lacks TEXT: it does not.
has() { grep -qF -- "$1" <<<"$OUT" || fail "output lacks: $1"; }
lacks() { ! grep -qF -- "$1" <<<"$OUT" || fail "output holds: $1"; }
