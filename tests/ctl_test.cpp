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
                               "       vantrelctl hold [-t duration] [utility [argument ...]]\n";
const std::string not_running = "vantrelctl: /var/run/vantrel.sock: No such file or directory\n"
                                "vantrelctl: the service does not seem to be running\n";

struct ctl_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    std::function<void(sim &)> during; // while the client runs
    user as = user::member;
    bool serve = true;
};

void
PrintTo(const ctl_case &c, std::ostream *os) {
    *os << c.name;
}

// The pid of the one connection-bound holder, once the service lists it.
pid_t
holder(sim &s) {
    std::string line;
    EXPECT_TRUE(wait_until([&] {
        line = harness::request(s.socket(), "holds\n");
        return line.find("until=disconnect") != std::string::npos;
    })) << line;
    std::size_t at = line.find("pid=");
    return at == std::string::npos ? -1 : std::stoi(line.substr(at + 4));
}

const std::vector<ctl_case> &
cases() {
    static const std::vector<ctl_case> rows = {
        {"Status", {"status"}, 0, "suspend_to_idle\n", ""},
        {"ErrorReply", {"status", "now"}, 1, "error: unknown command\n", ""},
        {"NoReply", {""}, 2, "", "vantrelctl: /var/run/vantrel.sock: no reply\n"},
        {"NotRunning", {"status"}, 2, "", not_running, nullptr, user::member, false},
        {"NotMember",
         {"status"},
         2,
         "",
         "vantrelctl: /var/run/vantrel.sock: Permission denied\n"
         "vantrelctl: not a member of group vantrel?\n",
         nullptr,
         user::nobody},
        {"Request254IsSent", {"status", std::string(247, 'x')}, 1, "error: unknown command\n", ""},
        {"Request255IsRefused",
         {"status", std::string(248, 'x')},
         2,
         "",
         "vantrelctl: request too long\n"},
        {"NoWords", {}, 2, "", usage_text},
        {"DurationAsUtility",
         {"hold", "90"},
         125,
         "",
         "vantrelctl: 90 is a duration; use -t\n" + usage_text},
        {"UtilityFormNotRunning",
         {"hold", "true"},
         125,
         "",
         not_running,
         nullptr,
         user::member,
         false},
        {"HoldAroundUtility",
         {"hold", "sh", "-c", "/sbin/sysctl -n " + lid + "; exit 3"},
         3,
         "NONE\n",
         ""},
        {"UtilityNotFound",
         {"hold", "no-such-utility"},
         127,
         "",
         "vantrelctl: no-such-utility: No such file or directory\n"},
        {"UtilityKilled", {"hold", "sh", "-c", "kill -KILL $$"}, 128 + SIGKILL, "", ""},
        {"TimedHoldEndsByItself",
         {"hold", "-t", "1"},
         0,
         "NONE\n",
         "",
         [](sim &s) {
             EXPECT_TRUE(wait_until([&] {
                 return harness::request(s.socket(), "holds\n").find(" left=1s\n") !=
                        std::string::npos;
             }));
         }},
        {"HoldEndedBySigterm",
         {"hold"},
         0,
         "NONE\n",
         "",
         [](sim &s) {
             if (pid_t pid = holder(s); pid > 0)
                 kill(pid, SIGTERM);
         }},
        {"HoldEndedByRelease",
         {"hold"},
         1,
         "NONE\n",
         "vantrelctl: the service ended the hold\n",
         [](sim &s) {
             holder(s);
             harness::run_options member;
             member.as = user::member;
             EXPECT_EQ(s.ctl({"release"}, member).out, "suspend_to_idle\n");
         }},
    };
    return rows;
}

class Ctl : public ::testing::TestWithParam<ctl_case> {};

TEST_P(Ctl, Row) {
    REQUIRE_ROOT();
    const ctl_case &c = GetParam();
    sim s;
    s.set_setting(lid, "suspend_to_idle");
    if (c.serve)
        s.start_server();
    harness::run_options opt;
    opt.as = c.as;
    // The tests' own PATH may hold folders that a member cannot search.
    opt.env = {{"PATH", "/usr/bin:/bin"}};
    result r;
    std::thread client([&] { r = s.ctl(c.args, opt); });
    if (c.during)
        c.during(s);
    client.join();
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(wait_until([&] { return s.setting(lid) == "suspend_to_idle"; }, 5))
        << s.setting(lid);
}

INSTANTIATE_TEST_SUITE_P(Client, Ctl, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
