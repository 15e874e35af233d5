// The immediate suspends, run as direct commands and through the service,
// with the suspend tools succeeding, failing, dying and missing.

#include "harness.hpp"

#include <algorithm>
#include <functional>
#include <thread>
#include <unistd.h>

using harness::result;
using harness::run_options;
using harness::sim;

namespace {

using lines = std::vector<std::string>;

const char *const s3_warning = "vantrel: requesting S3 (acpiconf -s 3)\n";
const char *const suspend = "kern.power.suspend";
const char *const read_suspend = "/sbin/sysctl -n kern.power.suspend";
const char *const read_stypes = "/sbin/sysctl -qn kern.power.supported_stype";
// What a direct command refused for want of an S0ix type says.
const char *const no_s0ix =
    "vantrel: no suspend-to-idle sleep type in kern.power.supported_stype\n";

std::string
s0ix_warning(const std::string &saved) {
    return "vantrel: requesting S0ix (was kern.power.suspend=" + saved + ")\n";
}

std::string
write_suspend(const std::string &value) {
    return "sysctl kern.power.suspend=" + value;
}

std::string
change(const std::string &from, const std::string &to) {
    return std::string(suspend) + ": " + from + " -> " + to + "\n";
}

std::string
apm_saw(const std::string &stype) {
    return "apm -z\tkern.power.suspend=" + stype;
}

struct suspend_case {
    const char *name;
    const char *command;
    std::function<void(sim &)> setup;
    std::map<std::string, std::string> env;
    int status;        // of the direct command
    std::string out;   // of the direct command
    std::string reply; // over the socket
    std::string err;
    lines sysctl; // calls, in order
    lines acpiconf;
    lines apm;
    std::string suspend_after = "fw_suspend";
    bool old_naming = false;
    const char *kernel = nullptr; // sim/run --kernel profile
    std::string start = "";       // the service's start-up lines, when checked
    std::string why = "";         // what the direct command alone adds to err
};

// A kernel without S0ix: the default mode falls back to S3, said before the notice.
std::string
s3_start(const std::string &before, const std::string &stype) {
    return before + "vantrel: no suspend-to-idle sleep type; toggle writes " + stype +
           "\nvantrel: hw.acpi.lid_switch_state=NONE; toggle writes " + stype +
           "; serving /var/run/vantrel.sock\n";
}

// What a successful S0ix request from a fw_suspend machine looks like.
const lines s0ix_calls = {read_stypes, read_suspend, write_suspend("suspend_to_idle"),
                          write_suspend("fw_suspend")};
const std::string s0ix_out =
    change("fw_suspend", "suspend_to_idle") + change("suspend_to_idle", "fw_suspend");

const std::vector<suspend_case> &
cases() {
    static const std::vector<suspend_case> rows = {
        {"S3", "suspend-s3", nullptr, {}, 0, "ok\n", "ok\n", s3_warning, {}, {"acpiconf -s 3"}, {}},
        {"S3ToolFails",
         "suspend-s3",
         [](sim &s) { s.knob("acpiconf.exit", "1"); },
         {},
         1,
         "error\n",
         "error\n",
         s3_warning,
         {},
         {"acpiconf -s 3"},
         {}},
        {"S3ToolKilled",
         "suspend-s3",
         [](sim &s) { s.knob("acpiconf.signal", "9"); },
         {},
         1,
         "error\n",
         "error\n",
         s3_warning,
         {},
         {"acpiconf -s 3"},
         {}},
        {"S3ToolMissing",
         "suspend-s3",
         [](sim &s) { s.knob("acpiconf.missing"); },
         {},
         1,
         "error\n",
         "error\n",
         s3_warning,
         {},
         {},
         {}},

        {"S0ix",
         "suspend-s0ix",
         nullptr,
         {},
         0,
         s0ix_out + "ok\n",
         "ok\n",
         s0ix_warning("fw_suspend"),
         s0ix_calls,
         {},
         {apm_saw("suspend_to_idle")}},
        {"S0ixInModeS3",
         "suspend-s0ix",
         nullptr,
         {{"vantrel_switch_state", "s3"}},
         0,
         s0ix_out + "ok\n",
         "ok\n",
         s0ix_warning("fw_suspend"),
         s0ix_calls,
         {},
         {apm_saw("suspend_to_idle")}},
        {"S0ixOldNaming",
         "suspend-s0ix",
         nullptr,
         {},
         0,
         change("s2mem", "s2idle") + change("s2idle", "s2mem") + "ok\n",
         "ok\n",
         s0ix_warning("s2mem"),
         {read_stypes, read_suspend, write_suspend("s2idle"), write_suspend("s2mem")},
         {},
         {apm_saw("s2idle")},
         "s2mem",
         true},
        {"S0ixPrefersSuspendToIdle",
         "suspend-s0ix",
         [](sim &s) {
             s.set_setting("kern.power.supported_stype", "s2idle fw_suspend suspend_to_idle");
         },
         {},
         0,
         s0ix_out + "ok\n",
         "ok\n",
         s0ix_warning("fw_suspend"),
         s0ix_calls,
         {},
         {apm_saw("suspend_to_idle")}},
        {"S0ixApmFails",
         "suspend-s0ix",
         [](sim &s) { s.knob("apm.exit", "1"); },
         {},
         1,
         s0ix_out + "error\n",
         "error\n",
         s0ix_warning("fw_suspend"),
         s0ix_calls,
         {},
         {apm_saw("suspend_to_idle")}},
        {"S0ixApmKilled",
         "suspend-s0ix",
         [](sim &s) { s.knob("apm.signal", "15"); },
         {},
         1,
         s0ix_out + "error\n",
         "error\n",
         s0ix_warning("fw_suspend"),
         s0ix_calls,
         {},
         {apm_saw("suspend_to_idle")}},
        {"S0ixApmMissing",
         "suspend-s0ix",
         [](sim &s) { s.knob("apm.missing"); },
         {},
         1,
         s0ix_out + "error\n",
         "error\n",
         s0ix_warning("fw_suspend"),
         s0ix_calls,
         {},
         {}},
        {"S0ixSavedUnreadable",
         "suspend-s0ix",
         [](sim &s) { s.knob("kern.power.suspend.read.exit", "1"); },
         {},
         1,
         "",
         "error\n",
         "",
         {read_stypes, read_suspend},
         {},
         {}},
        // The service needs a sleep type for its mode to start at all. The
        // list is read first: without the type, kern.power.suspend may be
        // missing too.
        {.name = "S0ixNoType",
         .command = "suspend-s0ix",
         .setup =
             [](sim &s) { s.set_setting("kern.power.supported_stype", "awake fw_suspend s2mem"); },
         .env = {{"vantrel_switch_state", "s3"}},
         .status = 1,
         .reply = "error\n",
         .sysctl = {read_stypes},
         .why = no_s0ix},
        {"S0ixRestoreFails",
         "suspend-s0ix",
         [](sim &s) {
             s.knob("kern.power.suspend.write.exit", "1");
             s.knob("kern.power.suspend.write.only", "fw_suspend");
         },
         {},
         0,
         change("fw_suspend", "suspend_to_idle") + "ok\n",
         "ok\n",
         s0ix_warning("fw_suspend") + "sysctl: kern.power.suspend: Operation not permitted\n" +
             "vantrel: could not restore kern.power.suspend=fw_suspend\n",
         s0ix_calls,
         {},
         {apm_saw("suspend_to_idle")},
         "suspend_to_idle"},
        {"S0ixWriteFails",
         "suspend-s0ix",
         [](sim &s) { s.knob("kern.power.suspend.write.exit", "1"); },
         {},
         1,
         "",
         "error\n",
         s0ix_warning("fw_suspend") + "sysctl: kern.power.suspend: Operation not permitted\n",
         {read_stypes, read_suspend, write_suspend("suspend_to_idle")},
         {},
         {}},
        {.name = "S3OnKernel14",
         .command = "suspend-s3",
         .out = "ok\n",
         .reply = "ok\n",
         .err = s3_warning,
         .acpiconf = {"acpiconf -s 3"},
         .suspend_after = "",
         .kernel = "14",
         .start = s3_start("", "S3")},
        {.name = "S0ixOnS3OnlyKernel",
         .command = "suspend-s0ix",
         .status = 1,
         .reply = "error\n",
         .sysctl = {read_stypes},
         .suspend_after = "s2mem",
         .kernel = "s3-only",
         .start = s3_start("", "s2mem"),
         .why = no_s0ix},
        // After 15.0: s2idle on every x86 machine, the kernel's own s2mem.
        {.name = "S0ixOnMainKernel",
         .command = "suspend-s0ix",
         .out = change("s2mem", "s2idle") + change("s2idle", "s2mem") + "ok\n",
         .reply = "ok\n",
         .err = s0ix_warning("s2mem"),
         .sysctl = {read_stypes, read_suspend, write_suspend("s2idle"), write_suspend("s2mem")},
         .apm = {apm_saw("s2idle")},
         .suspend_after = "s2mem",
         .kernel = "main",
         .start = "vantrel: hw.acpi.lid_switch_state=NONE; toggle writes s2idle; serving "
                  "/var/run/vantrel.sock\n"},
    };
    return rows;
}

void
PrintTo(const suspend_case &c, std::ostream *os) {
    *os << c.name;
}

class Suspend : public ::testing::TestWithParam<std::tuple<suspend_case, bool>> {};

TEST_P(Suspend, Outcome) {
    REQUIRE_ROOT();
    const auto &[c, over_socket] = GetParam();
    sim s(c.old_naming, c.kernel);
    if (c.setup)
        c.setup(s);
    lines want_sysctl = c.sysctl;
    if (over_socket) {
        // A suspend tool copies the service's standard error as it runs.
        for (const char *tool : {"acpiconf", "apm"})
            s.knob(std::string(tool) + ".watch", s.dir() + "/server.err");
        s.start_server(c.env);
        // The service probed the sleep types once at start; only what the
        // request itself calls is of interest.
        harness::write_file(s.dir() + "/log/sysctl", "", 0666);
        std::erase(want_sysctl, read_stypes);
        std::string start_line = s.server_err();
        if (!c.start.empty())
            EXPECT_EQ(start_line, c.start);
        EXPECT_EQ(harness::request(s.socket(), std::string(c.command) + "\n"), c.reply);
        std::string err = s.server_err();
        err = err.substr(std::min(start_line.size(), err.size()));
        // The request's audit line comes first, then what the command says.
        std::string audit = err.substr(0, err.find('\n') + 1);
        EXPECT_EQ(audit.rfind("vantrel: uid 0 pid ", 0), 0u) << audit;
        EXPECT_EQ(err.substr(audit.size()), c.err);
        // The request's warning was out before the suspend it announces.
        for (const char *tool : {"acpiconf", "apm"})
            if (!s.log(tool).empty())
                EXPECT_EQ(harness::read_file(s.dir() + "/log/" + tool + ".watch"),
                          start_line + audit + c.err.substr(0, c.err.find('\n') + 1));
    } else {
        run_options opt;
        opt.env = c.env;
        result r = s.vantrel({c.command}, opt);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err + c.why);
    }
    EXPECT_EQ(s.log("sysctl"), want_sysctl);
    EXPECT_EQ(s.log("acpiconf"), c.acpiconf);
    EXPECT_EQ(s.log("apm"), c.apm);
    EXPECT_TRUE(s.log("zzz").empty());
    EXPECT_EQ(s.setting(suspend), c.suspend_after);
    EXPECT_EQ(s.setting("hw.acpi.lid_switch_state"), "NONE");
}

INSTANTIATE_TEST_SUITE_P(Immediate, Suspend,
                         ::testing::Combine(::testing::ValuesIn(cases()), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "OverSocket" : "Direct");
                         });

// While a suspend tool runs the service serves nobody else; a client that
// connects meanwhile is answered once the suspend is over.
struct blocking_case {
    const char *name;
    const char *command;
    const char *tool;
};

void
PrintTo(const blocking_case &c, std::ostream *os) {
    *os << c.name;
}

class Blocking : public ::testing::TestWithParam<blocking_case> {};

TEST_P(Blocking, SecondClientWaits) {
    REQUIRE_ROOT();
    const blocking_case &c = GetParam();
    constexpr double delay = 0.8;
    sim s;
    s.knob(std::string(c.tool) + ".delay", std::to_string(static_cast<int>(delay * 1000)));
    s.start_server();

    std::string first, second;
    double started = harness::now_seconds(), first_done = 0, second_done = 0;
    std::thread one([&] {
        first = harness::request(s.socket(), std::string(c.command) + "\n");
        first_done = harness::now_seconds();
    });
    // The stand-in records its descriptors before it sleeps: from then on
    // the service is busy with the first request.
    auto tool_started = [&] {
        for (const std::string &line : s.log("fds"))
            if (line.starts_with(std::string(c.tool) + " "))
                return true;
        return false;
    };
    // The S0ix path runs three sysctls before its tool: on a loaded machine
    // that can take longer than the tool's own delay.
    EXPECT_TRUE(harness::wait_until(tool_started, 5));
    std::thread two([&] {
        second = harness::request(s.socket(), "status\n");
        second_done = harness::now_seconds();
    });
    one.join();
    two.join();

    EXPECT_EQ(first, "ok\n");
    EXPECT_EQ(second, "NONE\n");
    EXPECT_GE(second_done - started, delay);
    EXPECT_GE(second_done, first_done);
    EXPECT_EQ(s.setting(suspend), "fw_suspend");
}

INSTANTIATE_TEST_SUITE_P(Immediate, Blocking,
                         ::testing::Values(blocking_case{"S3", "suspend-s3", "acpiconf"},
                                           blocking_case{"S0ix", "suspend-s0ix", "apm"}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
