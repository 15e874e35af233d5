// Holds through the service on the simulated machine: who may hold, what
// the lid does while they last and after, and what survives a crash.

#include "harness.hpp"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>

using harness::request;
using harness::sim;
using harness::wait_until;

namespace {

const std::string lid = "hw.acpi.lid_switch_state";
const std::string restore_file = "/run/vantrel.restore";
constexpr uid_t member = 65534, other_member = 65533;

// A client process of the given uid (with the simulated group) that sends
// request and passes on whatever the service sends until the service closes
// the connection or the client is killed.
struct client {
    pid_t pid;
    int out;
};

client
connect_as(sim &s, uid_t uid, const std::string &request) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    gid_t group = s.group_id();
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        if (uid != 0 && (setgroups(1, &group) != 0 || setgid(65534) != 0 || setuid(uid) != 0))
            _exit(99);
        int fd = harness::connect_to(s.socket());
        std::string line = request + "\n";
        send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        char buf[512];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            (void)!write(p[1], buf, static_cast<std::size_t>(n));
        _exit(0);
    }
    close(p[1]);
    return {pid, p[0]};
}

std::string
first_line(const client &c) {
    std::string got;
    char ch;
    pollfd p = {c.out, POLLIN, 0};
    while (poll(&p, 1, 10000) == 1 && read(c.out, &ch, 1) == 1 && (got += ch, ch != '\n')) {
    }
    return got;
}

// Waits for the client's end: true when the service closed its connection.
bool
closed_by_service(client &c) {
    int status = 0;
    bool ended = wait_until([&] { return waitpid(c.pid, &status, WNOHANG) == c.pid; }, 5);
    close(c.out);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void
kill_client(client &c) {
    kill(c.pid, SIGKILL);
    waitpid(c.pid, nullptr, 0);
    close(c.out);
}

std::string
ask(sim &s, uid_t uid, const std::string &text) {
    client c = connect_as(s, uid, text);
    std::string all = harness::read_until_close(c.out);
    closed_by_service(c);
    return all;
}

std::string
holder_line(const client &c, uid_t uid) {
    return "uid=" + std::to_string(uid) + " pid=" + std::to_string(c.pid) + " until=disconnect\n";
}

// SIGKILL, then a start during which the lid's writes fail when asked.
void
kill_and_start(sim &s, bool writes_fail = false) {
    s.signal_server(SIGKILL);
    s.wait_server(5);
    if (writes_fail)
        s.knob(lid + ".write.exit", "1");
    s.start_server();
    s.clear_knob(lid + ".write.exit");
}

bool
lid_becomes(sim &s, const std::string &value) {
    return wait_until([&] { return s.setting(lid) == value; }, 5);
}

struct hold_case {
    const char *name;
    std::string lid_before;
    std::function<void(sim &)> run;
    bool preload = false; // the test preload moves the service's wall clock
    bool devd = false;    // the devd stand-in runs
};

bool
devd_connected(sim &s) {
    return request(s.socket(), "power\n").find("devd=connected") != std::string::npos;
}

// The seconds left of the index-th hold that "holds" lists.
int
left(sim &s, int index) {
    std::string h = request(s.socket(), "holds\n");
    std::size_t at = 0;
    for (int i = 0; i <= index && at != std::string::npos; i++)
        at = h.find("left=", at + 1);
    return at == std::string::npos ? -1 : std::atoi(h.c_str() + at + 5);
}

void
PrintTo(const hold_case &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<hold_case> &
cases() {
    static const std::vector<hold_case> rows = {
        {"LastBoundHoldRestores", "suspend_to_idle",
         [](sim &s) {
             client first = connect_as(s, 0, "hold");
             EXPECT_EQ(first_line(first), "NONE\n");
             EXPECT_NE(s.server_err().find("vantrel: uid 0 pid " + std::to_string(first.pid) +
                                           ": hold\n"),
                       std::string::npos);
             EXPECT_EQ(harness::read_file(s.dir() + restore_file), "suspend_to_idle\n");
             client second = connect_as(s, member, "hold");
             EXPECT_EQ(first_line(second), "NONE\n");
             EXPECT_EQ(ask(s, member, "holds"),
                       holder_line(first, 0) + holder_line(second, member));
             kill_client(first);
             EXPECT_TRUE(
                 wait_until([&] { return ask(s, 0, "holds") == holder_line(second, member); }));
             EXPECT_EQ(s.setting(lid), "NONE");
             kill_client(second);
             EXPECT_TRUE(lid_becomes(s, "suspend_to_idle"));
             // A request served after the end means the end is complete.
             EXPECT_EQ(ask(s, member, "holds"), "no holds\n");
             EXPECT_NE(s.server_err().find("holds ended: restored " + lid + "=suspend_to_idle"),
                       std::string::npos);
             EXPECT_FALSE(harness::file_exists(s.dir() + restore_file));
         }},
        {"TimedHoldEndsByItself", "fw_suspend",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1s\n"), "NONE\n");
             EXPECT_NE(request(s.socket(), "holds\n").find(" left=1s\n"), std::string::npos);
             EXPECT_EQ(s.setting(lid), "NONE");
             EXPECT_TRUE(lid_becomes(s, "fw_suspend"));
         }},
        {"TimeAsleepCounts", "fw_suspend",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             // 50 minutes asleep, then the wall clock set back, then 1000 s asleep.
             for (const char *offset : {"3000", "2000"}) {
                 harness::write_file(s.dir() + "/realtime-offset", offset);
                 std::string h = request(s.socket(), "holds\n");
                 EXPECT_NEAR(std::atoi(h.c_str() + h.find("left=") + 5), 600, 5) << h;
             }
             harness::write_file(s.dir() + "/realtime-offset", "4000");
             EXPECT_EQ(request(s.socket(), "holds\n"), "no holds\n");
             EXPECT_EQ(s.setting(lid), "fw_suspend");
         },
         true},
        // With devd there, a jump of the wall clock is sleep only once a resume
        // event confirms it, and only for the holds granted before it.
        {"ClockStepMovesNoHold", "NONE",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             EXPECT_TRUE(wait_until([&] { return devd_connected(s); }));
             harness::write_file(s.dir() + "/realtime-offset", "1800");
             EXPECT_NEAR(left(s, 0), 3600, 5);
             EXPECT_EQ(request(s.socket(), "hold 1h why later\n"), "NONE\n");
             EXPECT_EQ(s.devd_event({"!system=kernel subsystem=power type=resume"}).status, 0);
             EXPECT_NEAR(left(s, 0), 1800, 5);
             EXPECT_NEAR(left(s, 1), 3600, 5);
         },
         true, true},
        {"ReleaseByOwnerOnly", "suspend_to_idle",
         [](sim &s) {
             client held = connect_as(s, member, "hold");
             EXPECT_EQ(first_line(held), "NONE\n");
             EXPECT_EQ(ask(s, other_member, "release"), "NONE\n");
             EXPECT_EQ(ask(s, 0, "holds"), holder_line(held, member));
             EXPECT_EQ(ask(s, member, "release"), "suspend_to_idle\n");
             EXPECT_TRUE(closed_by_service(held));
         }},
        {"PersonsToggleWins", "fw_suspend",
         [](sim &s) {
             client held = connect_as(s, member, "hold");
             EXPECT_EQ(first_line(held), "NONE\n");
             EXPECT_EQ(request(s.socket(), "toggle\n"), "suspend_to_idle\n");
             EXPECT_FALSE(harness::file_exists(s.dir() + restore_file));
             EXPECT_NE(s.server_err().find("vantrel: holds: " + lid +
                                           "=fw_suspend will not be restored (uid 0 changed it)\n"),
                       std::string::npos);
             EXPECT_EQ(request(s.socket(), "release\n"), "suspend_to_idle\n");
             EXPECT_TRUE(closed_by_service(held));
             EXPECT_EQ(s.server_err().find("holds ended"), std::string::npos);
         }},
        {"ServiceTerminatedDuringHold", "fw_suspend",
         [](sim &s) {
             client held = connect_as(s, member, "hold");
             EXPECT_EQ(first_line(held), "NONE\n");
             s.signal_server(SIGTERM);
             EXPECT_EQ(s.wait_server(5), 0);
             EXPECT_TRUE(closed_by_service(held));
             EXPECT_EQ(s.setting(lid), "fw_suspend");
         }},
        {"ServiceKilledDuringHoldRestoresAtStart", "fw_suspend",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             s.signal_server(SIGKILL);
             s.wait_server(5);
             EXPECT_EQ(s.setting(lid), "NONE");
             // As a crash between writing a new file and its rename leaves it.
             harness::write_file(s.dir() + restore_file + ".new", "NONE\n");
             s.start_server();
             EXPECT_EQ(s.setting(lid), "fw_suspend");
             // The notice names the lid action as start-up left it.
             EXPECT_NE(s.server_err().find(lid + "=fw_suspend; toggle"), std::string::npos);
             EXPECT_FALSE(harness::file_exists(s.dir() + restore_file));
             EXPECT_FALSE(harness::file_exists(s.dir() + restore_file + ".new"));
             EXPECT_EQ(request(s.socket(), "holds\n"), "no holds\n");
         }},
        {"SixteenHoldsAtMost", "NONE",
         [](sim &s) {
             for (int i = 0; i < 16; i++)
                 EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             EXPECT_EQ(request(s.socket(), "hold\n"), "error: too many holds\n");
             EXPECT_EQ(request(s.socket(), "release\n"), "NONE\n");
             for (const char *bad : {"hold 8d", "hold 0", "hold 1H", "hold  1", "hold 12345678"})
                 EXPECT_EQ(request(s.socket(), std::string(bad) + "\n"),
                           "error: bad duration (1s to 7d)\n");
             EXPECT_EQ(request(s.socket(), "hold 1h now\n"), "error: bad reason\n");
             EXPECT_EQ(s.server_err().find("bad"), std::string::npos);
         }},
        // Root's SixteenHoldsAtMost aside, a member has 4 of either.
        {"FifthHoldAndWatcherOfUidRefused", "NONE",
         [](sim &s) {
             std::vector<client> watchers;
             for (int i = 0; i < 4; i++) {
                 EXPECT_EQ(ask(s, member, "hold 1h"), "NONE\n");
                 watchers.push_back(connect_as(s, member, "watch"));
                 EXPECT_EQ(first_line(watchers.back()).substr(0, 7), "action=");
             }
             EXPECT_EQ(ask(s, member, "hold 1h"), "error: too many holds\n");
             EXPECT_EQ(ask(s, member, "watch"), "error: too many watchers\n");
             EXPECT_EQ(ask(s, other_member, "hold 1h"), "NONE\n");
             client other = connect_as(s, other_member, "watch");
             EXPECT_EQ(first_line(other).substr(0, 7), "action=");
             for (client &c : watchers)
                 kill_client(c);
             kill_client(other);
         }},
        // Bytes in the read of the line count toward the limit.
        {"StreamingHolderAndWatcherCut", "fw_suspend",
         [](sim &s) {
             int holder = harness::connect_to(s.socket());
             std::string first = "hold\n" + std::string(200, 'x');
             send(holder, first.data(), first.size(), MSG_NOSIGNAL);
             EXPECT_EQ(harness::read_until_close(holder, 0.5), "NONE\n<timeout>");
             int watcher = harness::connect_to(s.socket());
             std::string junk = "watch\n" + std::string(300, 'x');
             send(watcher, junk.data(), junk.size(), MSG_NOSIGNAL);
             send(holder, junk.data(), 100, MSG_NOSIGNAL);
             EXPECT_TRUE(lid_becomes(s, "fw_suspend"));
             EXPECT_NE(s.server_err().find("vantrel: uid 0 pid " + std::to_string(getpid()) +
                                           ": hold ended: the holder kept sending\n"),
                       std::string::npos);
             EXPECT_EQ(harness::read_until_close(watcher, 5).find("<timeout>"), std::string::npos);
             close(holder);
             close(watcher);
         }},
        {"SecondHoldAfterPersonsS3", "suspend_to_idle",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             EXPECT_EQ(request(s.socket(), "s3\n"), "fw_suspend\n");
             EXPECT_EQ(request(s.socket(), "hold 1h why second\n"), "NONE\n");
             EXPECT_EQ(harness::read_file(s.dir() + restore_file), "fw_suspend\n");
             std::string holds = request(s.socket(), "holds\n");
             EXPECT_TRUE(holds.ends_with("s why=second\n") &&
                         holds.find("why") == holds.rfind("why"))
                 << holds;
             EXPECT_EQ(request(s.socket(), "release\n"), "fw_suspend\n");
         }},
        // A crash after a person's awake wrote the lid, before its read-back.
        {"KilledDuringPersonsAwakeKeepsIt", "fw_suspend",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             s.knob(lid + ".read.delay", "3000");
             client c = connect_as(s, 0, "awake");
             EXPECT_TRUE(wait_until([&] {
                 std::vector<std::string> calls = s.log("sysctl");
                 return std::count(calls.begin(), calls.end(), "sysctl " + lid + "=NONE") == 2 &&
                        calls.back().ends_with("-n " + lid);
             }));
             s.clear_knob(lid + ".read.delay");
             kill_and_start(s);
             kill_client(c);
             EXPECT_EQ(s.setting(lid), "NONE");
         }},
        {"FailedWriteBackKeptForNextHoldEnd", "fw_suspend",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             kill_and_start(s, true);
             EXPECT_NE(s.server_err().find("vantrel: could not restore " + lid +
                                           "=fw_suspend; kept for the next try\n"),
                       std::string::npos);
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             EXPECT_EQ(request(s.socket(), "release\n"), "fw_suspend\n");
             EXPECT_FALSE(harness::file_exists(s.dir() + restore_file));
         }},
        {"KeptStateForgottenByPersonsAwake", "fw_suspend",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             kill_and_start(s, true);
             EXPECT_NE(request(s.socket(), "state\n").find(" saved=fw_suspend "),
                       std::string::npos);
             EXPECT_EQ(request(s.socket(), "awake\n"), "NONE\n");
             EXPECT_FALSE(harness::file_exists(s.dir() + restore_file));
         }},
        // Stored, then the report cannot be delivered.
        {"WriteStoredButUnreportedCounts", "fw_suspend",
         [](sim &s) {
             s.knob(lid + ".write.only", "NONE");
             s.knob(lid + ".write.signal_after", "13");
             EXPECT_EQ(request(s.socket(), "hold\n"), "NONE\n");
             EXPECT_EQ(request(s.socket(), "release\n"), "fw_suspend\n");
         }},
        {"FolderSyncFailureWarnedOnly", "fw_suspend",
         [](sim &s) {
             harness::write_file(s.dir() + "/dir-fsync-fails", "");
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             EXPECT_NE(s.server_err().find("vantrel: /var/run: Input/output error\n"),
                       std::string::npos);
             EXPECT_EQ(harness::read_file(s.dir() + restore_file), "fw_suspend\n");
         },
         true},
        {"FailedWriteRefusesHold", "fw_suspend",
         [](sim &s) {
             s.knob(lid + ".write.exit", "1");
             EXPECT_EQ(request(s.socket(), "hold\n"), "error\n");
             EXPECT_EQ(request(s.socket(), "holds\n"), "no holds\n");
             EXPECT_FALSE(harness::file_exists(s.dir() + restore_file));
             EXPECT_EQ(s.setting(lid), "fw_suspend");
         }},
    };
    return rows;
}

class Hold : public ::testing::TestWithParam<hold_case> {};

TEST_P(Hold, Service) {
    REQUIRE_ROOT();
    const hold_case &c = GetParam();
    sim s;
    s.set_setting(lid, c.lid_before);
    if (c.devd)
        s.start_devd();
    std::map<std::string, std::string> env;
    if (c.preload)
        env = {{"LD_PRELOAD", PRELOAD},
               {"ASAN_OPTIONS", "verify_asan_link_order=0"},
               {"REALTIME_OFFSET", s.dir() + "/realtime-offset"},
               {"DIR_FSYNC_FAILS", s.dir() + "/dir-fsync-fails"}};
    s.start_server(env);
    c.run(s);
}

INSTANTIATE_TEST_SUITE_P(Holds, Hold, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
