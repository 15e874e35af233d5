// Bare "status" and "stop" against what the pid file holds: nothing, junk,
// processes of this and another user, ended ones and a real service. Only
// the service's lock counts: a pid file naming a live process that holds
// no lock is neither reported nor signalled.
//
// Every run happens in a private pid namespace and a session of its own, so
// that a wrong kill (of 0, -1, 1 or a wrapped number) can reach nothing but
// the processes the test made for it. Inside, the commands run under a
// nested namespace whose pid 1 is a shell trapping SIGTERM: a namespace's
// init only gets the signals it handles, and this way a stray one shows.

#include "harness.hpp"

#include <functional>

using harness::result;
using harness::run_options;
using harness::sim;
using harness::user;

namespace {

const char *const no_file = "<no pid file>";
const char *const lid_line = "hw.acpi.lid_switch_state=NONE\n";
const char *const not_running = "vantrel is not running.\n";

// $0 the program, $1 the pid file's content (@live@ and @dead@ stand for a
// running and an ended process, @wrap@ for a number that is the running one
// once cut down to 32 bits), $2 and $3 who runs the target and the
// commands. Prints the two pids first, then each command's exit status and
// how the target ended: by our SIGKILL when stop left it alone.
const char *const probe_script = R"sh(
bin=$0 content=$1 target_as=$2 as=$3
nobody='setpriv --reuid=65534 --regid=65534 --clear-groups --'
trap 'echo "pid 1 got SIGTERM"' TERM
if [ "$target_as" = nobody ]; then $nobody sleep 60 & else sleep 60 & fi
live=$!
sleep 0 & dead=$!
wait $dead
echo "$live $dead"
if [ "$content" != "<no pid file>" ]; then
    printf '%s' "$content" |
        sed "s/@live@/$live/g; s/@dead@/$dead/g; s/@wrap@/$((live + 4294967296))/g" >/var/run/vantrel.pid
fi
run() {
    if [ "$as" = nobody ]; then $nobody "$bin" "$1"; else "$bin" "$1"; fi
    echo "$1 exit $?"
}
run status
run stop
kill -9 $live 2>/dev/null
wait $live 2>/dev/null
echo "target ended by signal $(($? - 128))"

)sh";

struct pid_case {
    const char *name;
    std::string content; // of the pid file, or no_file
    std::string status;  // what status prints
    std::string err;     // of both commands
    int target_signal;   // what ended the target: 15 from stop, else our 9
    user target_as = user::root;
    user as = user::root;
    std::function<void(sim &)> setup = nullptr;
    std::map<std::string, std::string> env = {};
    bool locked = false; // a service holds the lock: stop leaves every socket
};

std::string
running(const char *pid) {
    return std::string("vantrel is running as pid ") + pid + ".\n";
}

const std::vector<pid_case> &
cases() {
    static const std::vector<pid_case> rows = {
        {"NoPidFile", no_file, not_running + std::string(lid_line), "", 9},
        {"Zero", "0\n", not_running + std::string(lid_line), "", 9},
        {"One", "1\n", not_running + std::string(lid_line), "", 9},
        {"MinusOne", "-1\n", not_running + std::string(lid_line), "", 9},
        {"Letters", "abc\n", not_running + std::string(lid_line), "", 9},
        {"Empty", "", not_running + std::string(lid_line), "", 9},
        {"TooBigForInt", "99999999999\n", not_running + std::string(lid_line), "", 9},
        // Would be 0 and the target if cut down to 32 bits.
        {"WrapsToZero", "4294967296\n", not_running + std::string(lid_line), "", 9},
        {"WrapsToLive", "@wrap@\n", not_running + std::string(lid_line), "", 9},
        {"Live", "@live@", not_running + std::string(lid_line), "", 9},
        {"BlanksAndTrailingText", "  @live@ abc\n", not_running + std::string(lid_line), "", 9},
        {"LetterBeforeNumber", "x@live@\n", not_running + std::string(lid_line), "", 9},
        {"Ended", "@dead@\n", not_running + std::string(lid_line), "", 9},
        {"OtherUsersProcess", "@live@\n", not_running + std::string(lid_line), "", 9, user::nobody},
        // The lock file is root's, and the socket does not let nobody in.
        {"RootProcessSeenByNobody", "@live@\n", lid_line,
         "vantrel: cannot tell whether the service runs: Permission denied\n"
         "vantrel: only root can stop the service\n",
         9, user::root, user::nobody},
        {"LidUnreadable", "@live@\n", not_running, "", 9, user::root, user::root,
         [](sim &s) { s.knob("hw.acpi.lid_switch_state.read.exit", "1"); }},
        // A service outside the commands' pid namespace: its lock shows no pid.
        // It runs, so no socket that fails to answer is taken for its
        // remains: a busy one refuses connections too.
        {"ServiceOutOfSight",
         no_file,
         "vantrel is running.\n" + std::string(lid_line),
         "vantrel: cannot tell the service's pid\n",
         9,
         user::root,
         user::root,
         [](sim &s) {
             s.start_server({{"vantrel_socket", "/var/run/svc.sock"}});
         },
         {},
         true},
        {"SocketSetting",
         "@live@\n",
         not_running + std::string(lid_line),
         "",
         9,
         user::root,
         user::root,
         nullptr,
         {{"vantrel_socket", "/var/run/other.sock"}}},
    };
    return rows;
}

void
PrintTo(const pid_case &c, std::ostream *os) {
    *os << c.name;
}

void
replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

class StatusStop : public ::testing::TestWithParam<pid_case> {};

TEST_P(StatusStop, StatusThenStop) {
    REQUIRE_ROOT();
    const pid_case &c = GetParam();
    sim s;
    if (c.setup)
        c.setup(s);
    std::string other = s.dir() + "/run/other.sock";
    harness::make_stale_socket(s.socket());
    harness::make_stale_socket(other);

    run_options opt;
    opt.pidns = true;
    opt.env = c.env;
    auto name = [](user u) { return u == user::nobody ? "nobody" : "root"; };
    result r = s.run({"unshare", "--pid", "--fork", "--mount-proc", "sh", "-c", probe_script,
                      s.binary(), c.content, name(c.target_as), name(c.as)},
                     opt);
    ASSERT_EQ(r.status, 0) << r.err;

    std::size_t first_line = r.out.find('\n');
    ASSERT_NE(first_line, std::string::npos) << r.err;
    std::string live = r.out.substr(0, r.out.find(' '));
    std::string dead = r.out.substr(live.size() + 1, first_line - live.size() - 1);
    std::string want_out = c.status + "status exit 0\nstop exit 0\ntarget ended by signal " +
                           std::to_string(c.target_signal) + "\n";
    std::string want_err = c.err;
    for (std::string *text : {&want_out, &want_err}) {
        replace_all(*text, "@live@", live);
        replace_all(*text, "@dead@", dead);
    }
    EXPECT_EQ(r.out.substr(first_line + 1), want_out);
    EXPECT_EQ(r.err, want_err);

    // An ordinary user may not remove anything from /var/run, and is not
    // told so; root removes the pid file and the socket named by the setting.
    bool removes = c.as == user::root && !c.locked;
    bool custom = c.env.count("vantrel_socket") != 0;
    EXPECT_EQ(harness::file_exists(s.pid_file()), c.as != user::root && c.content != no_file);
    EXPECT_EQ(harness::file_exists(s.socket()), !removes || custom);
    EXPECT_EQ(harness::file_exists(other), !removes || !custom);
}

INSTANTIATE_TEST_SUITE_P(PidFile, StatusStop, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// The launcher's part is played by the script: it starts the service in the
// background, waits until it answers, and writes its pid where stop looks.
TEST(StatusStop, StopEndsRunningService) {
    REQUIRE_ROOT();
    sim s;
    run_options opt;
    opt.pidns = true;
    result r = s.run({"sh", "-c", R"sh(
bin=$0 sock=/var/run/vantrel.sock
"$bin" start & svc=$!
i=0
until [ "$(printf 'status\n' | socat - UNIX-CONNECT:$sock 2>/dev/null)" = NONE ]; do
    i=$((i + 1))
    [ $i -lt 500 ] || { echo "service never answered"; exit 1; }
    sleep 0.01
done
echo $svc >/var/run/vantrel.pid
echo $svc
"$bin" status
"$bin" stop
echo "stop exit $?"
wait $svc
echo "service exit $?"
[ -e $sock ] && echo "socket left"
[ -e /var/run/vantrel.pid ] && echo "pid file left"
"$bin" status
)sh",
                      s.binary()},
                     opt);
    std::string pid = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(r.out, pid + "\n" + running(pid.c_str()) + lid_line +
                         "stop exit 0\nservice exit 0\n" + not_running + lid_line);
    EXPECT_EQ(r.err.find("kill"), std::string::npos) << r.err;
}

} // namespace
