// vantrelctl against the service on the simulated machine, run as a group
// member wherever the row allows. Every row starts with the lid at
// suspend_to_idle and must leave it there once any hold is over.

#include "harness.hpp"

#include <csignal>
#include <functional>
#include <thread>

using harness::result;
using harness::sim;
using harness::user;
using harness::wait_until;

namespace {

const std::string lid = "hw.acpi.lid_switch_state";
const std::string usage_text = "usage: vantrelctl command [word ...]\n"
                               "       vantrelctl hold [-r reason] [utility [argument ...]]\n"
                               "       vantrelctl hold -t duration [-r reason]\n"
                               "       vantrelctl hold [-t duration] [-r reason] -w pid\n"
                               "       vantrelctl state [-j]\n"
                               "       vantrelctl watch [-j | -f waybar]\n"
                               "       vantrelctl -h | --help\n"
                               "       vantrelctl -V\n";
const std::string not_running = "vantrelctl: /var/run/vantrel.sock: No such file or directory\n"
                                "vantrelctl: the service does not seem to be running\n";
const std::string not_member = "vantrelctl: not a member of group vantrel?\n";

// member: a group member, with the service up; nobody: outside the group;
// down: a member, with no service.
enum class who { member, nobody, down };

struct ctl_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    std::function<void(sim &)> during; // while the client runs
    who as = who::member;
    double timeout = 20.0;
    std::string lid_value = "suspend_to_idle"; // at the start and the end
    bool json = false;                         // each output line is a JSON object
};

// The state line's fields with these values, in its JSON form.
std::string
state_json(const std::string &action) {
    return "{\"action\":\"" + action +
           "\",\"mode\":\"s0ix\",\"toggle\":\"suspend_to_idle\",\"holds\":0,\"saved\":"
           "\"none\",\"source\":\"unknown\",\"lid\":\"unknown\",\"devd\":\"absent\"}\n";
}

// A client run with the tests' preload (copied where a member reaches it),
// whose wall clock reads as many seconds ahead as DIR/realtime-offset says.
std::string
with_moved_clock(const std::string &command) {
    return "exec env LD_PRELOAD=\"$VANTREL_SIM_STATE/preload.so\" "
           "ASAN_OPTIONS=verify_asan_link_order=0 "
           "REALTIME_OFFSET=\"$VANTREL_SIM_STATE/realtime-offset\" " +
           command;
}

void
PrintTo(const ctl_case &c, std::ostream *os) {
    *os << c.name;
}

// The service's list of holds, once it holds text.
std::string
listed(sim &s, const std::string &text) {
    std::string holds;
    EXPECT_TRUE(wait_until([&] {
        holds = harness::request(s.socket(), "holds\n");
        return holds.find(text) != std::string::npos;
    })) << holds;
    return holds;
}

// Sends sig to the one connection-bound holder, once the service lists it.
void
signal_holder(sim &s, int sig) {
    std::string holds = listed(s, "until=disconnect");
    if (std::size_t at = holds.find(" pid="); at != std::string::npos)
        kill(std::stoi(holds.substr(at + 5)), sig);
}

const std::vector<ctl_case> &
cases() {
    static const std::string sock = "vantrelctl: /var/run/vantrel.sock: ";
    static const std::string denied = sock + "Permission denied\n" + not_member;
    static const std::string lid_then_3 = "/sbin/sysctl -n " + lid + "; exit 3";
    static const std::vector<ctl_case> rows = {
        {"Status", {"status"}, 0, "suspend_to_idle\n", ""},
        {"ErrorReply", {"status", "now"}, 1, "error: unknown command\n", ""},
        {"NoReply", {""}, 2, "", sock + "no reply\n"},
        {"NotRunning", {"status"}, 2, "", not_running, nullptr, who::down},
        {"NotMember", {"status"}, 2, "", denied, nullptr, who::nobody},
        {"Sent254", {"status", std::string(247, 'x')}, 1, "error: unknown command\n", ""},
        {"TooLong255", {"status", std::string(248, 'x')}, 2, "", "vantrelctl: request too long\n"},
        {"NoWords", {}, 2, "", usage_text},
        {"Version", {"-V"}, 0, "vantrelctl 0.3.0\n", "", nullptr, who::down},
        {"Help", {"-h"}, 0, usage_text, "", nullptr, who::down},
        {"HelpLong", {"--help"}, 0, usage_text, "", nullptr, who::down},
        {"Hold90", {"hold", "90"}, 125, "", "vantrelctl: 90 is a duration; use -t\n" + usage_text},
        {"HoldNotRunning", {"hold", "true"}, 125, "", not_running, nullptr, who::down},
        {"HoldAroundExit3", {"hold", "sh", "-c", lid_then_3}, 3, "NONE\n", ""},
        // Found missing with the service down: so before any hold.
        {"Absent",
         {"hold", "nosuch"},
         127,
         "",
         "vantrelctl: nosuch: not found\n",
         nullptr,
         who::down},
        {"UnknownOption",
         {"-x"},
         2,
         "",
         "vantrelctl: unknown option -x\n" + usage_text,
         nullptr,
         who::down},
        {"VersionLong",
         {"--version"},
         2,
         "",
         "vantrelctl: unknown option --version\n" + usage_text,
         nullptr,
         who::down},
        {"JsonOtherCommand",
         {"status", "-j"},
         2,
         "",
         "vantrelctl: unknown option -j\n" + usage_text},
        {"JsonAndWaybar",
         {"watch", "-j", "-f", "waybar"},
         2,
         "",
         "vantrelctl: -j and -f together\n" + usage_text},
        {.name = "StateJson",
         .args = {"state", "-j"},
         .status = 0,
         .out = state_json("suspend_to_idle"),
         .json = true},
        {.name = "StateJsonEscaped",
         .args = {"state", "-j"},
         .status = 0,
         .out = state_json("q\\\"\\\\\\u0001\\u00e9"),
         .lid_value = "q\"\\\x01\xe9",
         .json = true},
        {.name = "StateNotFields",
         .args = {"state", "-j"},
         .status = 1,
         .err = sock + "not a state line\n",
         .lid_value = "two words"},
        {"Killed", {"hold", "sh", "-c", "kill -KILL $$"}, 128 + SIGKILL, "", ""},
        {"Timed1s",
         {"hold", "-t", "1", "-r", "a test"},
         0,
         "NONE\n",
         "",
         [](sim &s) { listed(s, " left=1s why=a test\n"); }},
        // Run by an outer hold, which lists the utility's name as its reason.
        // No row sends a signal to a reaped pid: the window between reaping
        // and forgetting the pid is too short to hit at will, and the pid
        // is now forgotten before the utility is reaped.
        {"KeepsIgnoredInt",
         {"hold", "env", "--ignore-signal=INT", "vantrelctl", "hold", "sh", "-c",
          "kill -INT $$; echo kept"},
         0,
         "kept\n",
         "",
         [](sim &s) { listed(s, " until=disconnect why=env\n"); }},
        {"IgnoredChld",
         {"hold", "env", "--ignore-signal=CHLD", "vantrelctl", "hold", "sh", "-c", "exit 3"},
         3,
         "",
         ""},
        {"WatchEnds",
         {"hold", "sh", "-c", "sleep 1 & vantrelctl hold -w $!"},
         0,
         "NONE\n",
         "",
         [](sim &s) { listed(s, " until=disconnect why=pid "); }},
        // Without devd a step of the wall clock counts as sleep: a 2-minute
        // hold ends at the next look at the clocks, a minute in.
        {"WatchTimedClockStep",
         {"hold", "sh", "-c",
          "sleep 100 >/dev/null 2>&1 & " + with_moved_clock("vantrelctl hold -t 2m -w $!")},
         0,
         "NONE\n",
         "",
         [](sim &s) {
             listed(s, " until=disconnect why=pid ");
             // The hold is listed once granted, a moment before the client
             // reads the reply and first looks at the clocks: step after that.
             std::this_thread::sleep_for(std::chrono::seconds(1));
             harness::write_file(s.dir() + "/realtime-offset", "100");
         },
         who::member,
         90},
        {"WatchMissing",
         {"hold", "-w", "2147483647"},
         1,
         "",
         "vantrelctl: no process 2147483647\n"},
        {"WatchUtility",
         {"hold", "-w", "1", "true"},
         2,
         "",
         "vantrelctl: -w is for a hold without a utility\n" + usage_text},
        {"HoldSigterm", {"hold"}, 0, "NONE\n", "", [](sim &s) { signal_holder(s, SIGTERM); }},
        {"HoldReleased",
         {"hold"},
         1,
         "NONE\n",
         "vantrelctl: the service ended the hold\n",
         [](sim &s) {
             listed(s, "uid=65534 pid=");
             EXPECT_EQ(s.ctl({"release"}, {{}, user::member}).out, "suspend_to_idle\n");
         }},
    };
    return rows;
}

class Ctl : public ::testing::TestWithParam<ctl_case> {};

TEST_P(Ctl, Row) {
    REQUIRE_ROOT();
    const ctl_case &c = GetParam();
    sim s;
    s.set_setting(lid, c.lid_value);
    if (c.as != who::down)
        s.start_server();
    // The tests' own PATH may hold folders that a member cannot search; the
    // state folder holds vantrelctl for the utilities that run it.
    harness::run_options opt = {{{"PATH", s.dir() + ":/usr/bin:/bin"}},
                                c.as == who::nobody ? user::nobody : user::member};
    opt.timeout = c.timeout;
    harness::write_file(s.dir() + "/preload.so", harness::read_file(PRELOAD), 0755);
    result r;
    std::thread client([&] { r = s.ctl(c.args, opt); });
    if (c.during)
        c.during(s);
    client.join();
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.json)
        EXPECT_EQ(harness::run_process({"python3", "-c", R"(import json, sys
for line in sys.stdin.buffer:
    assert line.endswith(b"\n") and isinstance(json.loads(line), dict), line)"},
                                       r.out)
                      .status,
                  0);
    EXPECT_TRUE(wait_until([&] { return s.setting(lid) == c.lid_value; }, 5)) << s.setting(lid);
}

INSTANTIATE_TEST_SUITE_P(Client, Ctl, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
