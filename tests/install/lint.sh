#!/bin/sh
# Lint the FreeBSD packaging: run sh -n and shellcheck on the configured
# rc.d script and any further shell scripts given, mandoc on the manual.
# A missing tool is a failure, not a skip.
#
# usage: lint.sh rc.d-script manual [shell-script ...]

set -u

if [ $# -lt 2 ]; then
	echo "usage: lint.sh rc.d-script manual [shell-script ...]" >&2
	exit 2
fi
rc=$1
manual=$2
shift 2

failures=0
fail()
{
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}

for tool in sh shellcheck mandoc; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "lint.sh: $tool not found; install it to run this test" >&2
		exit 1
	fi
done

for file in "$rc" "$manual" "$@"; do
	if [ ! -r "$file" ]; then
		echo "lint.sh: cannot read $file" >&2
		exit 1
	fi
done

# check_shell file: sh -n and shellcheck, reporting every finding.
check_shell()
{
	if sh -n "$1"; then
		echo "ok: sh -n $1"
	else
		fail "sh -n $1"
	fi
	if shellcheck "$1"; then
		echo "ok: shellcheck $1"
	else
		fail "shellcheck $1"
	fi
}

check_shell "$rc"
if grep -n '@[A-Za-z_][A-Za-z_0-9]*@' "$rc" >&2; then
	fail "$rc keeps unsubstituted @VARIABLES@"
fi

# Both mandoc's exit status and its output must be clean.
out=$(mandoc -Tlint -Wwarning "$manual" 2>&1)
status=$?
if [ "$status" -eq 0 ] && [ -z "$out" ]; then
	echo "ok: mandoc -Tlint -Wwarning $manual"
else
	printf '%s\n' "$out" >&2
	fail "mandoc -Tlint -Wwarning $manual (exit $status)"
fi

for script in "$@"; do
	check_shell "$script"
done

if [ "$failures" -ne 0 ]; then
	echo "lint.sh: $failures check(s) failed" >&2
	exit 1
fi
echo "lint.sh: all checks passed"
