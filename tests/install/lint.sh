#!/bin/sh
# Lint the FreeBSD packaging: run sh -n and shellcheck on the configured
# rc.d script and any further shell scripts given, mandoc on the manuals
# (the files named like NAME.1 to NAME.9). A missing tool is a failure, not
# a skip.
#
# usage: lint.sh rc.d-script manual [manual | shell-script ...]

set -u

if [ $# -lt 2 ]; then
	echo "usage: lint.sh rc.d-script manual [manual | shell-script ...]" >&2
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

# check_manual file: both mandoc's exit status and its output must be clean.
check_manual()
{
	_out=$(mandoc -Tlint -Wwarning "$1" 2>&1)
	_status=$?
	if [ "$_status" -eq 0 ] && [ -z "$_out" ]; then
		echo "ok: mandoc -Tlint -Wwarning $1"
	else
		printf '%s\n' "$_out" >&2
		fail "mandoc -Tlint -Wwarning $1 (exit $_status)"
	fi
}

check_shell "$rc"
if grep -En '@[A-Za-z_][A-Za-z_0-9]*@|%%[A-Za-z_][A-Za-z_0-9]*%%' "$rc" >&2; then
	fail "$rc keeps unsubstituted @VARIABLES@ or %%VARIABLES%%"
fi
check_manual "$manual"

for file in "$@"; do
	case $file in
	*.[1-9]) check_manual "$file" ;;
	*) check_shell "$file" ;;
	esac
done

if [ "$failures" -ne 0 ]; then
	echo "lint.sh: $failures check(s) failed" >&2
	exit 1
fi
echo "lint.sh: all checks passed"
