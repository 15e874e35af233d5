// The state line and its watchers, through a sequence of changes: what
// `vantrelctl watch` prints after each, that `state` agrees, and that a
// watcher that never reads is dropped while the others go on.

#include "harness.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>

using harness::request;
using harness::sim;

namespace {

constexpr int toggles = 40;      // far more lines than a stalled watcher's buffer takes
constexpr int test_watchers = 6; // the stalled one and the streams below

// The README's recipes for status bars, as written there.
const std::string waybar_recipe = "vantrelctl watch -f waybar";
const std::string i3blocks_recipe =
    "vantrelctl watch | while read -r action mode toggle holds rest; "
    "do echo \"${action#action=} ${holds#holds=}\"; done";
const std::string polybar_recipe =
    "vantrelctl watch -j | jq --unbuffered -r '\"\\(.action) \\(.holds)\"'";
// Filters that parse every object with Python's json module: the JSON
// back into the line, holds as the one number; waybar's as its class, text
// and tooltip.
const std::string json_back = R"( | python3 -u -c 'import json, sys
for line in sys.stdin:
    o = json.loads(line)
    assert all(isinstance(v, int) == (k == "holds") for k, v in o.items()), line
    print(" ".join(f"{k}={v}" for k, v in o.items()), flush=True)')";
const std::string waybar_back = R"( | python3 -u -c 'import json, sys
for line in sys.stdin:
    o = json.loads(line)
    print(o["class"], o["text"], o["tooltip"].replace("\n", " "), flush=True)')";
const std::string waybar_down = "down down the vantrel service is not running\n";

// Fields by their place in the line; only the changed ones are given.
std::string
line(const std::string &action, const std::string &mode, int holds, const std::string &saved,
     const std::string &lid_position, const std::string &devd) {
    std::string type = mode == "s3" ? "fw_suspend" : "suspend_to_idle";
    return "action=" + action + " mode=" + mode + " toggle=" + type +
           " holds=" + std::to_string(holds) + " saved=" + saved +
           " source=unknown lid=" + lid_position + " devd=" + devd + "\n";
}

std::string read_line(int fd, int timeout_ms = 5000);

struct step {
    const char *name;
    std::function<void(sim &)> act;
    std::vector<std::string> lines; // what every reading watcher is sent, in order
};

std::vector<step>
steps() {
    std::vector<std::string> toggled;
    for (int i = 0; i < toggles; i++)
        toggled.push_back(
            line(i % 2 ? "NONE" : "fw_suspend", "s3", 0, "none", "closed", "connected"));
    return {
        {"Connected", nullptr, {line("suspend_to_idle", "s0ix", 0, "none", "unknown", "absent")}},
        {"HoldBegins",
         [](sim &s) { EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n"); },
         {line("NONE", "s0ix", 1, "suspend_to_idle", "open", "connected")}},
        {"PersonsS3",
         [](sim &s) { EXPECT_EQ(request(s.socket(), "s3\n"), "fw_suspend\n"); },
         {line("fw_suspend", "s3", 1, "none", "open", "connected")}},
        {"LidClosedEvent",
         [](sim &s) { s.devd_event({"!system=ACPI subsystem=Lid type=\\_SB_.LID0 notify=0x00"}); },
         {line("fw_suspend", "s3", 1, "none", "closed", "connected")}},
        {"ChangedByHandFoundByStatus",
         [](sim &s) {
             s.set_setting("hw.acpi.lid_switch_state", "NONE");
             EXPECT_EQ(request(s.socket(), "status\n"), "NONE\n");
         },
         {line("NONE", "s3", 1, "none", "closed", "connected")}},
        {"HoldEnds",
         [](sim &s) { EXPECT_EQ(request(s.socket(), "release\n"), "NONE\n"); },
         {line("NONE", "s3", 0, "none", "closed", "connected")}},
        {"SeventeenthRefusedUntilOneLeaves",
         [](sim &s) {
             std::vector<int> fds; // with the test's own watchers: 16, all root's
             for (int i = 0; i < 16 - test_watchers; i++) {
                 fds.push_back(harness::connect_to(s.socket()));
                 send(fds.back(), "watch\n", 6, MSG_NOSIGNAL);
                 EXPECT_EQ(read_line(fds.back()).substr(0, 7), "action=");
             }
             EXPECT_EQ(request(s.socket(), "watch\n"), "error: too many watchers\n");
             for (int fd : fds)
                 close(fd);
             EXPECT_EQ(request(s.socket(), "watch\n"),
                       line("NONE", "s3", 0, "none", "closed", "connected"));
         },
         {}},
        {"SlowWatcherDropped",
         [](sim &s) {
             for (int i = 0; i < toggles; i++)
                 request(s.socket(), "toggle\n");
         },
         toggled},
    };
}

// A field's value in a state line.
std::string
field(const std::string &line, const std::string &key) {
    std::size_t at = (" " + line).find(" " + key + "=") + key.size() + 1;
    return line.substr(at, line.find_first_of(" \n", at) - at);
}

// What each stream shows for a state line.
std::string
waybar_shown(const std::string &line) {
    std::string action = field(line, "action");
    std::string type = field(line, "holds") != "0" ? "held" : action == "NONE" ? "awake" : "sleep";
    return type + " " + action + " " + line;
}

std::string
bar_shown(const std::string &line) {
    return field(line, "action") + " " + field(line, "holds") + "\n";
}

struct stream {
    FILE *out;
    std::function<std::string(const std::string &)> shown;
};

std::string
read_line(int fd, int timeout_ms) {
    std::string got;
    pollfd p = {fd, POLLIN, 0};
    for (char ch = 0; ch != '\n' && poll(&p, 1, timeout_ms) == 1 && read(fd, &ch, 1) == 1;)
        got += ch;
    return got;
}

TEST(Watch, LinesThroughChanges) {
    REQUIRE_ROOT();
    sim s;
    s.set_setting("hw.acpi.lid_switch_state", "suspend_to_idle");
    s.start_devd();
    s.start_server();
    int stalled = harness::connect_to(s.socket()); // asks and never reads
    send(stalled, "watch\n", 6, MSG_NOSIGNAL);
    // vantrelctl as a status bar runs it, its output in a pipe.
    FILE *w = popen(
        ("vantrel_socket=" + s.socket() + " " VANTREL_CTL " watch 2>&1; echo exit $?").c_str(),
        "r");
    std::string path =
        "PATH=" + std::string(VANTREL_CTL).substr(0, std::string(VANTREL_CTL).rfind('/')) +
        ":$PATH vantrel_socket=" + s.socket() + " ";
    std::string pid_file = s.dir() + "/waybar.pid";
    auto as_is = [](const std::string &line) { return line; };
    std::vector<stream> streams = {
        {popen((path + "vantrelctl watch -j 2>/dev/null" + json_back).c_str(), "r"), as_is},
        {popen((path + "timeout 60 sh -c 'echo $$ >" + pid_file + "; exec " + waybar_recipe + "'" +
                waybar_back)
                   .c_str(),
               "r"),
         waybar_shown},
        {popen((path + "sh -c '" + i3blocks_recipe + "'").c_str(), "r"), bar_shown},
        {popen((path + polybar_recipe).c_str(), "r"), bar_shown},
    };
    for (const step &st : steps()) {
        SCOPED_TRACE(st.name);
        if (st.act)
            st.act(s);
        for (const std::string &want : st.lines) {
            ASSERT_EQ(read_line(fileno(w)), want);
            for (const stream &o : streams)
                ASSERT_EQ(read_line(fileno(o.out)), o.shown(want));
        }
        if (!st.lines.empty())
            EXPECT_EQ(request(s.socket(), "state\n"), st.lines.back());
    }
    EXPECT_EQ(harness::read_until_close(stalled, 5).find("<timeout>"), std::string::npos);
    EXPECT_EQ(request(s.socket(), "quit\n"), "bye\n");
    // Nothing sent twice, then the end of the watch.
    EXPECT_EQ(harness::read_until_close(fileno(w)),
              "vantrelctl: the service ended the watch\nexit 1\n");
    pclose(w);
    // The waybar watch alone outlives the service, and finds the next one;
    // it never ends by itself, so a failed test leaves it to timeout(1).
    EXPECT_EQ(read_line(fileno(streams[1].out)), waybar_down);
    s.wait_server();
    s.start_server();
    EXPECT_EQ(read_line(fileno(streams[1].out), 10000)
                  .rfind("awake NONE action=NONE mode=s0ix toggle=suspend_to_idle holds=0 ", 0),
              0u);
    kill(std::stoi(harness::read_file(pid_file)), SIGTERM);
    for (const stream &o : streams) {
        EXPECT_EQ(harness::read_until_close(fileno(o.out)), "");
        pclose(o.out);
    }
    std::string readme = harness::read_file(VANTREL_SOURCE_DIR "/README.md");
    for (const std::string &recipe : {waybar_recipe, i3blocks_recipe, polybar_recipe})
        EXPECT_NE(readme.find(recipe), std::string::npos) << recipe;
}

} // namespace
