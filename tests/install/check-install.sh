#!/bin/sh
# Build vantrel in a fresh tree with a non-default prefix, install it under
# a DESTDIR and check what lands there: exactly the program, its manual,
# the rc.d script, the client and its manual, with the right modes, the
# script naming the installed program and passing the right environment to
# it. Then scripts/release makes the distfile and its distinfo, and a build
# from the unpacked distfile, configured with the port's CMake options,
# installs exactly what the port's pkg-plist lists, without -Werror; and
# the port's copy of the rc.d script is the one cmake installs.
#
# usage: check-install.sh cmake source-dir [generator [c++-compiler]]

set -eu

if [ $# -lt 2 ]; then
	echo "usage: check-install.sh cmake source-dir [generator [c++-compiler]]" >&2
	exit 2
fi
cmake=$1
src=$2
generator=${3:-}
cxx=${4:-}

prefix=/opt/vtest
# The second prefix is the ports' one, to compare the port's rc.d script.
other_prefix=/usr/local

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM

failures=0
fail()
{
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}
pass()
{
	echo "ok: $*"
}

# Run a build command, showing its log only when it fails.
build_cmd()
{
	_what=$1
	shift
	if ! "$@" >"$work/build.log" 2>&1; then
		cat "$work/build.log" >&2
		echo "FAIL: $_what" >&2
		exit 1
	fi
	pass "$_what"
}

set -- -S "$src" -B "$work/build" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_SANITIZE=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
if [ -n "$generator" ]; then
	set -- "$@" -G "$generator"
fi
if [ -n "$cxx" ]; then
	set -- "$@" -DCMAKE_CXX_COMPILER="$cxx"
fi
build_cmd "configure with prefix $prefix" "$cmake" "$@"
build_cmd "build" "$cmake" --build "$work/build" \
    --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-4}"
build_cmd "install into DESTDIR" env DESTDIR="$work/root" \
    "$cmake" --install "$work/build"
build_cmd "install into a second DESTDIR with --prefix $other_prefix" \
    env DESTDIR="$work/other" \
    "$cmake" --install "$work/build" --prefix "$other_prefix"

# has_mode file mode: file is a regular file with exactly that mode.
has_mode()
{
	[ -f "$1" ] && [ ! -h "$1" ] &&
	    [ -n "$(find "$1" -prune -type f -perm "$2" -print)" ]
}

# check_tree destdir prefix
check_tree()
{
	_root=$1
	_prefix=$2
	_found=$(cd "$_root" && find . ! -type d -print | LC_ALL=C sort)
	_want=$(printf '%s\n' ".$_prefix/bin/vantrelctl" ".$_prefix/etc/rc.d/vantrel" \
	    ".$_prefix/sbin/vantrel" ".$_prefix/share/man/man1/vantrelctl.1" \
	    ".$_prefix/share/man/man8/vantrel.8")
	if [ "$_found" = "$_want" ]; then
		pass "$_prefix: exactly the programs, their manuals and the rc.d script"
	else
		fail "$_prefix: installed files differ; found:"
		printf '    %s\n' "$_found" >&2
	fi

	for _file in sbin/vantrel:0755 bin/vantrelctl:0755 share/man/man8/vantrel.8:0644 \
	    share/man/man1/vantrelctl.1:0644; do
		if has_mode "$_root$_prefix/${_file%:*}" "${_file#*:}"; then
			pass "$_prefix: ${_file%:*} has mode ${_file#*:}"
		else
			fail "$_prefix: ${_file%:*} is not a regular file of mode ${_file#*:}"
		fi
	done
	if has_mode "$_root$_prefix/etc/rc.d/vantrel" 0555; then
		pass "$_prefix: rc.d script has mode 0555"
	else
		fail "$_prefix: rc.d script is not a regular file of mode 0555"
	fi

	for _manual in man8/vantrel.8 man1/vantrelctl.1; do
		if cmp -s "$src/freebsd/${_manual#*/}" "$_root$_prefix/share/man/$_manual"
		then
			pass "$_prefix: installed $_manual is the source manual"
		else
			fail "$_prefix: installed $_manual differs from freebsd/${_manual#*/}"
		fi
	done
}

check_tree "$work/root" "$prefix"
check_tree "$work/other" "$other_prefix"

rc=$work/root$prefix/etc/rc.d/vantrel

if sh -n "$rc"; then
	pass "rc.d script passes sh -n"
else
	fail "rc.d script fails sh -n"
fi
if grep -En '@[A-Za-z_][A-Za-z_0-9]*@|%%[A-Za-z_][A-Za-z_0-9]*%%' "$rc" >&2; then
	fail "rc.d script keeps unsubstituted @VARIABLES@ or %%VARIABLES%%"
else
	pass "rc.d script has no @VARIABLE@ or %%VARIABLE%% left"
fi

# The programs themselves run: without an argument each prints its usage
# and exits 1 (vantrel) or 2 (vantrelctl).
for _program in sbin/vantrel:1 bin/vantrelctl:2; do
	_name=${_program%:*}
	status=0
	"$work/root$prefix/$_name" >"$work/out" 2>"$work/err" || status=$?
	if [ "$status" -eq "${_program#*:}" ] &&
	    grep -q "^usage: ${_name#*/} " "$work/err"; then
		pass "installed $_name prints its usage"
	else
		fail "installed $_name: exit $status, stderr:"
		cat "$work/err" >&2
	fi
done

# Run the installed script against a stand-in for /etc/rc.subr that reports
# the variables rc.subr would act on and, for start, runs start_precmd and
# prints the environment the command would be started with.
stub=$work/rc.subr
cat >"$stub" <<'EOF'
load_rc_config()
{
	if [ -n "${STUB_RC_CONF:-}" ]; then
		. "$STUB_RC_CONF"
	fi
}
run_rc_command()
{
	case $1 in
	show)
		printf '%s=%s\n' name "$name" rcvar "$rcvar" \
		    enable "$vantrel_enable" pidfile "$pidfile" \
		    procname "$procname" command "$command" \
		    command_args "$command_args"
		;;
	start)
		if [ -n "${start_precmd:-}" ]; then
			eval "$start_precmd" || exit 3
		fi
		env
		;;
	esac
}
EOF

if [ "$(grep -c '^\. /etc/rc\.subr$' "$rc")" -eq 1 ]; then
	pass "rc.d script sources /etc/rc.subr once"
else
	fail "rc.d script does not source /etc/rc.subr exactly once"
fi
harnessed=$work/rc.d-vantrel
sed "s|^\. /etc/rc\.subr\$|. $stub|" "$rc" >"$harnessed"

# run_rc rc.conf-text action: run the harnessed script in an environment as
# bare as service(8) gives, with rc.conf-text as its rc.conf.
run_rc()
{
	printf '%s\n' "$1" >"$work/rc.conf"
	env -i PATH=/usr/bin:/bin STUB_RC_CONF="$work/rc.conf" \
	    sh "$harnessed" "$2"
}

# expect_line output line what
expect_line()
{
	if printf '%s\n' "$1" | grep -qxF -- "$2"; then
		pass "$3"
	else
		fail "$3: no line '$2' in:"
		printf '    %s\n' "$1" >&2
	fi
}

shown=$(run_rc "" show) || fail "rc.d script: show failed"
expect_line "$shown" "name=vantrel" "name is vantrel"
expect_line "$shown" "rcvar=vantrel_enable" "rcvar is vantrel_enable"
expect_line "$shown" "enable=NO" "vantrel_enable defaults to NO"
expect_line "$shown" "pidfile=/var/run/vantrel.pid" "pid file"
expect_line "$shown" "procname=$prefix/sbin/vantrel" \
    "procname is the installed program"
expect_line "$shown" "command=/usr/sbin/daemon" "command is daemon(8)"
expect_line "$shown" \
    "command_args=-S -T vantrel -p /var/run/vantrel.pid $prefix/sbin/vantrel start" \
    "daemon(8) writes the pid file and starts the installed program"

shown=$(run_rc "vantrel_enable=YES" show) || fail "rc.d script: show failed"
expect_line "$shown" "enable=YES" "rc.conf's vantrel_enable is kept"

other_rc=$work/other$other_prefix/etc/rc.d/vantrel
if grep -qxF "procname=\"$other_prefix/sbin/\${name}\"" "$other_rc" &&
    [ -x "$work/other$other_prefix/sbin/vantrel" ]; then
	pass "--prefix at install time reaches the rc.d script"
else
	fail "rc.d script installed with --prefix $other_prefix names:"
	grep -n 'procname=' "$other_rc" >&2 || true
fi

# service_env rc.conf-text: the service's settings in the environment the
# start command gets, one per line, sorted; "start_precmd failed" if rc.subr
# would not start the command at all.
service_env()
{
	if ! run_rc "$1" start >"$work/env"; then
		echo "start_precmd failed"
		return 0
	fi
	grep -E '^vantrel_(socket|group|switch_state|on_ac|on_battery|battery_floor|on_docked|resume_holdoff)=' "$work/env" |
	    LC_ALL=C sort || true
}

got=$(service_env "")
if [ -z "$got" ]; then
	pass "nothing set in rc.conf: no setting exported"
else
	fail "nothing set in rc.conf, yet exported: $got"
fi

got=$(service_env 'vantrel_socket="/tmp/lid control.sock"
vantrel_group=operator
vantrel_switch_state=s3
vantrel_on_ac=awake
vantrel_on_battery=s0ix
vantrel_battery_floor=10
vantrel_on_docked=awake
vantrel_resume_holdoff=0')
want=$(printf '%s\n' "vantrel_battery_floor=10" "vantrel_group=operator" \
    "vantrel_on_ac=awake" "vantrel_on_battery=s0ix" "vantrel_on_docked=awake" \
    "vantrel_resume_holdoff=0" \
    "vantrel_socket=/tmp/lid control.sock" "vantrel_switch_state=s3")
if [ "$got" = "$want" ]; then
	pass "all eight settings from rc.conf reach the service"
else
	fail "settings from rc.conf: got '$got', want '$want'"
fi

got=$(service_env 'vantrel_group=wheel')
if [ "$got" = "vantrel_group=wheel" ]; then
	pass "only the setting given is exported"
else
	fail "only vantrel_group set, exported: '$got'"
fi

got=$(service_env 'vantrel_socket=
vantrel_group=""
vantrel_switch_state=
vantrel_on_ac=
vantrel_on_battery=""
vantrel_battery_floor=
vantrel_on_docked=
vantrel_resume_holdoff=""')
if [ -z "$got" ]; then
	pass "empty settings are not exported"
else
	fail "empty settings exported: '$got'"
fi

# werror build-dir: whether the program's compile commands hold -Werror.
werror()
{
	grep -q -- '-Werror' "$1/compile_commands.json"
}
if werror "$work/build"; then
	pass "the default build treats warnings as errors"
else
	fail "the default build compiles without -Werror"
fi

# The distfile and its distinfo, as make makesum would write it.
port=$src/freebsd/port
build_cmd "scripts/release" sh "$src/scripts/release" "$work/dist" "$work/distinfo"
version=$(sed -n 's/^DISTVERSION=[[:space:]]*//p' "$port/Makefile")
distfile=$work/dist/vantrel-$version.tar.gz
want=$(printf '%s\n' "SHA256 (vantrel-$version.tar.gz) = $(sha256sum "$distfile" | cut -d' ' -f1)" \
    "SIZE (vantrel-$version.tar.gz) = $(wc -c <"$distfile" | tr -d ' ')")
if grep -Eqx 'TIMESTAMP = [0-9]+' "$work/distinfo" &&
    [ "$(grep -v '^TIMESTAMP ' "$work/distinfo")" = "$want" ] &&
    [ "$(wc -l <"$work/distinfo")" -eq 3 ]; then
	pass "distinfo records the distfile of the port's DISTVERSION"
else
	fail "distinfo does not match $distfile:"
	sed 's/^/    /' "$work/distinfo" >&2
fi
tar -xzf "$distfile" -C "$work/dist"
unpacked=$work/dist/vantrel-$version

# The port: its CMAKE_OFF options on the unpacked distfile, the build
# installs the files pkg-plist lists, the manuals compressed as the ports
# framework leaves them; the framework installs and lists the rc.d script
# itself.
set -- -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
# shellcheck disable=SC2013 # the options are words on one line
for _option in $(sed -n 's/^CMAKE_OFF=//p' "$port/Makefile"); do
	set -- "$@" "-D$_option:BOOL=OFF"
done
if [ -n "$generator" ]; then
	set -- "$@" -G "$generator"
fi
if [ -n "$cxx" ]; then
	set -- "$@" -DCMAKE_CXX_COMPILER="$cxx"
fi
build_cmd "configure the unpacked distfile with the port's options: $*" \
    "$cmake" -S "$unpacked" -B "$work/port-build" -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
build_cmd "build the unpacked distfile" "$cmake" --build "$work/port-build" \
    --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-4}"
build_cmd "install with the port's options" env DESTDIR="$work/port" \
    "$cmake" --install "$work/port-build"
if werror "$work/port-build"; then
	fail "the port's build still treats warnings as errors"
else
	pass "the port's build compiles without -Werror"
fi
got=$(cd "$work/port" && find . ! -type d -print |
    sed -e "s|^\.$prefix/||" -e 's|^share/man/man[1-9]/.*|&.gz|' | LC_ALL=C sort)
want=$(LC_ALL=C sort "$port/pkg-plist")
if [ "$got" = "$want" ]; then
	pass "pkg-plist lists exactly what the port's build installs"
else
	fail "pkg-plist differs from the install with the port's options; installed:"
	printf '%s\n' "$got" | sed 's/^/    /' >&2
fi

# The port's copy of the rc.d script, as the ports framework fills it in
# for PREFIX /usr/local, is the script cmake installs there.
sed 's|%%PREFIX%%|/usr/local|g' "$port/files/vantrel.in" >"$work/port-rc"
if sh -n "$work/port-rc" && cmp -s "$work/port-rc" "$work/other/usr/local/etc/rc.d/vantrel"
then
	pass "the port's rc.d script is the one cmake installs"
else
	fail "the port's rc.d script, filled in for /usr/local, fails sh -n or differs:"
	diff "$work/other/usr/local/etc/rc.d/vantrel" "$work/port-rc" >&2 || true
fi

if [ "$failures" -ne 0 ]; then
	echo "check-install: $failures check(s) failed" >&2
	exit 1
fi
echo "check-install: all checks passed"
