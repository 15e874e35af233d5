// The tool runner at its limits, called in-process inside the simulated
// machine through a small probe program.

#include "harness.hpp"

#include <functional>

using harness::result;
using harness::sim;

namespace {

struct probe_case {
    const char *name;
    std::vector<std::string> args; // after the probe's path
    std::function<void(sim &)> setup;
    std::string out;
    int sysctl_calls;
};

std::string
setting_name(std::size_t length) {
    std::string name = "test.";
    return name + std::string(length - name.size(), 'n');
}

const std::vector<probe_case> &
cases() {
    static const std::vector<probe_case> rows = {
        {"Name127IsRun",
         {"read", setting_name(127), "64"},
         [](sim &s) { s.set_setting(setting_name(127), "v"); },
         "rc=0 [v]\n",
         1},
        {"Name128IsRefused", {"read", setting_name(128), "64"}, nullptr, "rc=-1 []\n", 0},
        {"Pair127IsRun",
         {"write", setting_name(120), "abcdef"},
         [](sim &s) { s.set_setting(setting_name(120), "x"); },
         setting_name(120) + ": x -> abcdef\nrc=0\n",
         1},
        {"Pair128IsRefused",
         {"write", setting_name(120), "abcdefg"},
         [](sim &s) { s.set_setting(setting_name(120), "x"); },
         "rc=-1\n",
         0},
        {"OutputCutAtCapacity",
         {"read", "test.long", "64"},
         [](sim &s) {
             s.set_setting("test.long", "x");
             s.knob("test.long.read.raw", std::string(100, 'b'));
         },
         "rc=0 [" + std::string(63, 'b') + "]\n",
         1},
        // Nothing is read; the pipe is closed before the late tool writes, so
        // the tool dies of a broken pipe and is still waited for.
        {"CapacityOneReadsNothing",
         {"read", "test.one", "1"},
         [](sim &s) {
             s.set_setting("test.one", "value");
             s.knob("test.one.read.delay", "200");
         },
         "rc=-1 []\n",
         1},
        {"UnknownNameFails", {"read", "no.such.name", "64"}, nullptr, "rc=-1 []\n", 1},
        {"KilledToolFailsKeepsOutput",
         {"read", "test.k", "64"},
         [](sim &s) {
             s.set_setting("test.k", "partial");
             s.knob("test.k.read.signal", "15");
         },
         "rc=-1 [partial\n]\n",
         1},
        {"WriteExitStatusFails",
         {"write", "test.w", "v"},
         [](sim &s) {
             s.set_setting("test.w", "old");
             s.knob("test.w.write.exit", "2");
         },
         "rc=-1\n",
         1},
    };
    return rows;
}

void
PrintTo(const probe_case &c, std::ostream *os) {
    *os << c.name;
}

class Probe : public ::testing::TestWithParam<probe_case> {};

TEST_P(Probe, Runner) {
    REQUIRE_ROOT();
    const probe_case &c = GetParam();
    sim s;
    std::string probe = s.dir() + "/runner_probe";
    harness::run_process({"cp", RUNNER_PROBE, probe});
    if (c.setup)
        c.setup(s);
    std::vector<std::string> argv = {probe};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    result r = s.run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(s.log("sysctl").size(), static_cast<std::size_t>(c.sysctl_calls));
}

INSTANTIATE_TEST_SUITE_P(Runner, Probe, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
