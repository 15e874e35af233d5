// The state line and its watchers, through a sequence of changes: what
// `vantrelctl watch` prints after each, that `state` agrees, and that a
// watcher that never reads is dropped while the others go on.

#include "harness.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

using harness::request;
using harness::sim;

namespace {

constexpr int toggles = 40; // far more lines than a stalled watcher's buffer takes

// Fields by their place in the line; only the changed ones are given.
std::string
line(const std::string &action, const std::string &mode, int holds, const std::string &saved,
     const std::string &lid_position, const std::string &devd) {
    std::string type = mode == "s3" ? "fw_suspend" : "suspend_to_idle";
    return "action=" + action + " mode=" + mode + " toggle=" + type +
           " holds=" + std::to_string(holds) + " saved=" + saved +
           " source=unknown lid=" + lid_position + " devd=" + devd + "\n";
}

std::string read_line(int fd);

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
             std::vector<int> fds; // with the two watchers of the test: 16, all root's
             for (int i = 0; i < 14; i++) {
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

std::string
read_line(int fd) {
    std::string got;
    pollfd p = {fd, POLLIN, 0};
    for (char ch = 0; ch != '\n' && poll(&p, 1, 5000) == 1 && read(fd, &ch, 1) == 1;)
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
    for (const step &st : steps()) {
        SCOPED_TRACE(st.name);
        if (st.act)
            st.act(s);
        for (const std::string &want : st.lines)
            ASSERT_EQ(read_line(fileno(w)), want);
        if (!st.lines.empty())
            EXPECT_EQ(request(s.socket(), "state\n"), st.lines.back());
    }
    EXPECT_EQ(harness::read_until_close(stalled, 5).find("<timeout>"), std::string::npos);
    EXPECT_EQ(request(s.socket(), "quit\n"), "bye\n");
    // Nothing sent twice, then the end of the watch.
    EXPECT_EQ(harness::read_until_close(fileno(w)),
              "vantrelctl: the service ended the watch\nexit 1\n");
    pclose(w);
}

} // namespace
