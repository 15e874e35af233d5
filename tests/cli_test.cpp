// Direct commands and the command line, run as root and as an ordinary
// user on the simulated machine.

#include "harness.hpp"

#include <functional>

using harness::result;
using harness::run_options;
using harness::sim;
using harness::user;

namespace {

const char *const usage_text =
    "usage: vantrel start|stop|status|serve\n"
    "       vantrel awake|s0ix|s3|toggle|status|suspend-s0ix|suspend-s3\n"
    "       vantrel -h | --help\n"
    "       vantrel -V\n";
const char *const lid = "hw.acpi.lid_switch_state";
const char *const stypes = "kern.power.supported_stype";

struct cli_case {
    const char *name;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::function<void(sim &)> setup; // kernel state and knobs before the run
    int status;
    std::string out;
    std::string err;
    std::string lid_after; // empty: not checked
    user as = user::root;
    const char *kernel = nullptr; // sim/run --kernel profile
};

const char *const no_s3 = "vantrel: no S3 sleep type in kern.power.supported_stype\n";
const char *const no_s0ix =
    "vantrel: no suspend-to-idle sleep type in kern.power.supported_stype\n";

void
lid_at(sim &s, const char *value) {
    s.set_setting(lid, value);
}

void
list(sim &s, const char *value) {
    s.set_setting(stypes, value);
}

std::string
change(const std::string &from, const std::string &to) {
    return std::string(lid) + ": " + from + " -> " + to + "\n";
}

const std::vector<cli_case> &
cases() {
    static const std::vector<cli_case> rows = {
        {"NoArguments", {}, {}, nullptr, 1, "", usage_text, "NONE"},
        {"Version", {"-V"}, {{"vantrel_switch_state", "bogus"}}, nullptr, 0, "vantrel 0.3.0\n", ""},
        {"Help", {"-h"}, {{"vantrel_switch_state", "bogus"}}, nullptr, 0, usage_text, ""},
        {"HelpLong", {"--help"}, {}, nullptr, 0, usage_text, "", "", user::nobody},
        {"NoArgumentsHidesModeWarning",
         {},
         {{"vantrel_switch_state", "bogus"}},
         nullptr,
         1,
         "",
         usage_text},
        {"Awake",
         {"awake"},
         {},
         [](sim &s) { lid_at(s, "fw_suspend"); },
         0,
         change("fw_suspend", "NONE") + "NONE\n",
         "",
         "NONE"},
        {"S0ix",
         {"s0ix"},
         {},
         nullptr,
         0,
         change("NONE", "suspend_to_idle") + "suspend_to_idle\n",
         "",
         "suspend_to_idle"},
        {"S3",
         {"s3"},
         {},
         nullptr,
         0,
         change("NONE", "fw_suspend") + "fw_suspend\n",
         "",
         "fw_suspend"},
        {"ToggleToModeType",
         {"toggle"},
         {},
         nullptr,
         0,
         change("NONE", "suspend_to_idle") + "suspend_to_idle\n",
         "",
         "suspend_to_idle"},
        {"ToggleInModeS3",
         {"toggle"},
         {{"vantrel_switch_state", "s3"}},
         nullptr,
         0,
         change("NONE", "fw_suspend") + "fw_suspend\n",
         "",
         "fw_suspend"},
        {"ToggleOtherTypeGoesAwake",
         {"toggle"},
         {},
         [](sim &s) { lid_at(s, "fw_suspend"); },
         0,
         change("fw_suspend", "NONE") + "NONE\n",
         "",
         "NONE"},
        {"ToggleLowerCaseNoneIsNotNone",
         {"toggle"},
         {},
         [](sim &s) { lid_at(s, "none"); },
         0,
         change("none", "NONE") + "NONE\n",
         "",
         "NONE"},
        {"ToggleEmptyGoesAwake",
         {"toggle"},
         {},
         [](sim &s) { lid_at(s, ""); },
         0,
         change("", "NONE") + "NONE\n",
         "",
         "NONE"},
        {"ToggleOldNaming",
         {"toggle"},
         {},
         [](sim &s) { list(s, "awake standby s2mem s2idle hibernate poweroff"); },
         0,
         change("NONE", "s2idle") + "s2idle\n",
         "",
         "s2idle"},
        {"StatusWithArgument",
         {"status", "x"},
         {},
         [](sim &s) { lid_at(s, "s2idle"); },
         0,
         "s2idle\n",
         "",
         "s2idle"},
        {"Quit", {"quit"}, {}, nullptr, 0, "bye\n", "", "NONE"},
        {"HoldNeedsService", {"hold"}, {}, nullptr, 1, "error: needs the running service\n", ""},
        {"PowerNeedsService", {"power"}, {}, nullptr, 1, "error: needs the running service\n", ""},
        {"StateNeedsService", {"state"}, {}, nullptr, 1, "error: needs the running service\n", ""},
        {"TimedHoldNeedsService",
         {"hold 2h"},
         {},
         nullptr,
         1,
         "error: needs the running service\n",
         ""},
        {"ReleaseNeedsService",
         {"release"},
         {},
         nullptr,
         1,
         "error: needs the running service\n",
         ""},
        {"CapitalisedWord", {"Awake"}, {}, nullptr, 1, "error: unknown command\n", "", "NONE"},
        {"ExtraArgumentsIgnored",
         {"awake", "now", "please"},
         {},
         [](sim &s) { lid_at(s, "s2idle"); },
         0,
         change("s2idle", "NONE") + "NONE\n",
         "",
         "NONE"},
        {"InvalidModeWarnsAndUsesS0ix",
         {"toggle"},
         {{"vantrel_switch_state", "S3"}},
         nullptr,
         0,
         change("NONE", "suspend_to_idle") + "suspend_to_idle\n",
         "vantrel: invalid vantrel_switch_state=S3; using s0ix\n",
         "suspend_to_idle"},
        {"EmptyModeIsSilent",
         {"toggle"},
         {{"vantrel_switch_state", ""}},
         nullptr,
         0,
         change("NONE", "suspend_to_idle") + "suspend_to_idle\n",
         "",
         "suspend_to_idle"},
        {"ModeWarningForEveryWord",
         {"quit"},
         {{"vantrel_switch_state", "s0"}},
         nullptr,
         0,
         "bye\n",
         "vantrel: invalid vantrel_switch_state=s0; using s0ix\n"},
        // A refusal for want of a sleep type says why.
        {"S3WithoutS3Type",
         {"s3"},
         {},
         [](sim &s) { list(s, "awake s2idle"); },
         1,
         "",
         no_s3,
         "NONE"},
        {"S0ixWithoutS0ixType",
         {"s0ix"},
         {},
         [](sim &s) { list(s, "awake fw_suspend"); },
         1,
         "",
         no_s0ix,
         "NONE"},
        {"AllFourNamesPreferNewOnes",
         {"s3"},
         {},
         [](sim &s) { list(s, "s2mem s2idle fw_suspend suspend_to_idle"); },
         0,
         change("NONE", "fw_suspend") + "fw_suspend\n",
         "",
         "fw_suspend"},
        {"AllFourNamesPreferNewS0ix",
         {"s0ix"},
         {},
         [](sim &s) { list(s, "suspend_to_idle s2idle s2mem fw_suspend"); },
         0,
         change("NONE", "suspend_to_idle") + "suspend_to_idle\n",
         "",
         "suspend_to_idle"},
        {"GluedNamesDoNotCount",
         {"s0ix"},
         {},
         [](sim &s) { list(s, "xs2idle fw_suspend2 s2mem_ suspend_to_idlex"); },
         1,
         "",
         no_s0ix,
         "NONE"},
        {"TabSeparatedNamesDoNotCount",
         {"s3"},
         {},
         [](sim &s) { list(s, "s2idle\ts2mem"); },
         1,
         "",
         no_s3,
         "NONE"},
        {"GluedThenRealName",
         {"s3"},
         {},
         [](sim &s) { list(s, "s2memx s2mem"); },
         0,
         change("NONE", "s2mem") + "s2mem\n",
         "",
         "s2mem"},
        {"UnreadableTypeList",
         {"s3"},
         {},
         [](sim &s) {
             s.remove_setting(stypes);
             s.remove_setting("hw.acpi.supported_sleep_state");
         },
         1,
         "",
         // The first list is asked for quietly, as 14 lacks it.
         "sysctl: unknown oid 'hw.acpi.supported_sleep_state'\n",
         "NONE"},
        // No kern.power.* at all: the default mode falls back to S3, an
        // asked-for s0ix does not.
        {.name = "ToggleOnKernel14",
         .args = {"toggle"},
         .out = change("NONE", "S3") + "S3\n",
         .err = "vantrel: no suspend-to-idle sleep type; toggle writes S3\n",
         .lid_after = "S3",
         .kernel = "14"},
        {"S0ixOnKernel14",
         {"s0ix"},
         {},
         nullptr,
         1,
         "",
         "vantrel: no suspend-to-idle sleep type in hw.acpi.supported_sleep_state\n",
         "NONE",
         user::root,
         "14"},
        {"ToggleAwakeNeedsNoTypeList",
         {"toggle"},
         {},
         [](sim &s) {
             s.remove_setting(stypes);
             lid_at(s, "s2idle");
         },
         0,
         change("s2idle", "NONE") + "NONE\n",
         "",
         "NONE"},

        // A tool that fails, dies, or prints too much or too little.
        {"WriteFails",
         {"awake"},
         {},
         [](sim &s) {
             lid_at(s, "s2idle");
             s.knob(std::string(lid) + ".write.exit", "1");
         },
         1,
         "",
         "sysctl: hw.acpi.lid_switch_state: Operation not permitted\n",
         "s2idle"},
        {"WriteKilled",
         {"awake"},
         {},
         [](sim &s) {
             lid_at(s, "s2idle");
             s.knob(std::string(lid) + ".write.signal", "9");
         },
         1,
         "",
         "",
         "s2idle"},
        {"ReadBackFailsWithOutput",
         {"awake"},
         {},
         [](sim &s) {
             s.knob(std::string(lid) + ".read.raw", "half\r\n");
             s.knob(std::string(lid) + ".read.exit", "3");
         },
         1,
         change("NONE", "NONE") + "half\r\n\n",
         "",
         "NONE"},
        {"ReadBackFailsSilently",
         {"awake"},
         {},
         [](sim &s) {
             s.knob(std::string(lid) + ".read.exit", "1");
             s.knob(std::string(lid) + ".read.raw", "");
         },
         1,
         change("NONE", "NONE"),
         "",
         "NONE"},
        {"ReadBackKilled",
         {"status", "x"},
         {},
         [](sim &s) { s.knob(std::string(lid) + ".read.signal", "15"); },
         1,
         "NONE\n\n",
         ""},
        {"ReadBackOnlyLineEnds",
         {"awake"},
         {},
         [](sim &s) { s.knob(std::string(lid) + ".read.raw", "\r\n\n\r\n"); },
         0,
         change("NONE", "NONE"),
         "",
         "NONE"},
        {"ReadBackCrLfPairs",
         {"status", "x"},
         {},
         [](sim &s) { s.knob(std::string(lid) + ".read.raw", "s2idle\r\n\r\n"); },
         0,
         "s2idle\n",
         ""},
        {"ReadBackTwoLinesKeepInnerLineFeed",
         {"status", "x"},
         {},
         [](sim &s) { s.knob(std::string(lid) + ".read.raw", "one\ntwo\n"); },
         0,
         "one\ntwo\n",
         ""},
        {"ReadBackTooLongIsCut",
         {"status", "x"},
         {},
         [](sim &s) { s.knob(std::string(lid) + ".read.raw", std::string(300, 'v')); },
         0,
         std::string(255, 'v') + "\n",
         ""},
        {"ToggleReadTooLongIsNotNone",
         {"toggle"},
         {},
         [](sim &s) { s.knob(std::string(lid) + ".read.raw", "NONE" + std::string(96, ' ')); },
         0,
         change("NONE", "NONE") + "NONE" + std::string(96, ' ') + "\n",
         "",
         "NONE"},
        {"ToggleCurrentUnreadable",
         {"toggle"},
         {},
         [](sim &s) { s.knob(std::string(lid) + ".read.exit", "1"); },
         1,
         "",
         "",
         "NONE"},

        // Privilege and dispatch.
        {"OrdinaryUserDirectCommand",
         {"awake"},
         {},
         [](sim &s) { lid_at(s, "s2idle"); },
         1,
         "",
         "vantrel: must run as root for direct commands\n",
         "s2idle",
         user::nobody},
        {"OrdinaryUserStatusWithArgument",
         {"status", "x"},
         {},
         nullptr,
         1,
         "",
         "vantrel: must run as root for direct commands\n",
         "",
         user::nobody},
        {"OrdinaryUserQuit",
         {"quit"},
         {},
         nullptr,
         1,
         "",
         "vantrel: must run as root for direct commands\n",
         "",
         user::nobody},
        {"OrdinaryUserBareStatusIsReport",
         {"status"},
         {},
         nullptr,
         0,
         "vantrel is not running.\nhw.acpi.lid_switch_state=NONE\n",
         "",
         "",
         user::nobody},
    };
    return rows;
}

void
PrintTo(const cli_case &c, std::ostream *os) {
    *os << c.name;
}

class Direct : public ::testing::TestWithParam<cli_case> {};

TEST_P(Direct, Command) {
    REQUIRE_ROOT();
    const cli_case &c = GetParam();
    sim s(false, c.kernel);
    if (c.setup)
        c.setup(s);
    run_options opt;
    opt.env = c.env;
    opt.as = c.as;
    result r = s.vantrel(c.args, opt);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (!c.lid_after.empty())
        EXPECT_EQ(s.setting(lid), c.lid_after);
}

INSTANTIATE_TEST_SUITE_P(Cli, Direct, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// The lid is changed through the tool with exactly the argument vectors the
// program documents, and a read-only command never writes.
TEST(DirectTools, ArgumentVectors) {
    REQUIRE_ROOT();
    sim s;
    EXPECT_EQ(s.vantrel({"toggle"}).status, 0);
    EXPECT_EQ(s.vantrel({"status", "x"}).status, 0);
    std::vector<std::string> want = {
        "/sbin/sysctl -n hw.acpi.lid_switch_state",
        "/sbin/sysctl -qn kern.power.supported_stype",
        "sysctl hw.acpi.lid_switch_state=suspend_to_idle",
        "/sbin/sysctl -n hw.acpi.lid_switch_state",
        "/sbin/sysctl -n hw.acpi.lid_switch_state",
    };
    EXPECT_EQ(s.log("sysctl"), want);
}

TEST(DirectTools, MissingSysctlFails) {
    REQUIRE_ROOT();
    sim s;
    s.knob("sysctl.missing");
    for (const char *word : {"awake", "toggle", "s3"}) {
        result r = s.vantrel({word});
        EXPECT_EQ(r.status, 1) << word;
        EXPECT_EQ(r.out, "") << word;
    }
}

// With standard descriptors closed at start, no pipe may land on one and
// be lost or handed to a tool as its standard stream.
TEST(DirectTools, ClosedStandardDescriptors) {
    REQUIRE_ROOT();
    sim s;
    // The toggle must still read "NONE" through its pipe, so it goes to sleep.
    result r = s.run({"sh", "-c", "\"$0\" toggle <&- >&-; echo $? >&2", s.binary()});
    EXPECT_EQ(r.err, "0\n");
    EXPECT_EQ(s.setting(lid), "suspend_to_idle");

    // Every tool meets open standard streams, none of them a pipe or socket
    // of the program's own, except the read-back's output pipe. Descriptor
    // 5, inheritable on purpose, reaches the write child, which keeps every
    // descriptor, but not the read-back.
    unlink((s.dir() + "/log/fds").c_str());
    r = s.run({"sh", "-c", "\"$0\" awake 5</dev/null <&- >&- 2>&-; echo $?", s.binary()});
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(s.setting(lid), "NONE");
    std::vector<std::string> fds = s.log("fds");
    ASSERT_EQ(fds.size(), 2u);
    EXPECT_EQ(fds[0].substr(0, 24), "sysctl 0:chr 1:chr 2:chr") << fds[0]; // the write child
    EXPECT_NE(fds[0].find(" 5:chr"), std::string::npos) << fds[0];
    EXPECT_EQ(fds[1], "sysctl 0:chr 1:pipe 2:chr") << fds[1]; // the read-back
}

// The socket setting is honoured only when it is set and not empty.
TEST(DirectTools, EmptySocketSettingKeepsDefault) {
    REQUIRE_ROOT();
    sim s;
    harness::make_stale_socket(s.socket());
    harness::make_stale_socket(s.dir() + "/run/other.sock");
    run_options opt;
    opt.env = {{"vantrel_socket", ""}};
    EXPECT_EQ(s.vantrel({"stop"}, opt).status, 0);
    EXPECT_FALSE(harness::file_exists(s.socket()));
    EXPECT_TRUE(harness::file_exists(s.dir() + "/run/other.sock"));
    opt.env = {{"vantrel_socket", "/var/run/other.sock"}};
    EXPECT_EQ(s.vantrel({"stop"}, opt).status, 0);
    EXPECT_FALSE(harness::file_exists(s.dir() + "/run/other.sock"));
}

} // namespace
