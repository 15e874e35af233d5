// The control socket server as its clients, its launcher and its group
// members meet it.

#include "harness.hpp"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <thread>

using harness::request;
using harness::result;
using harness::run_options;
using harness::sim;
using harness::wait_until;

namespace {

const std::string lid = "hw.acpi.lid_switch_state";

std::size_t
open_descriptors(pid_t pid) {
    std::size_t n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr)
        return 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

struct protocol_case {
    const char *name;
    std::string data;
    bool half_close;
    std::string reply;
    std::string lid_after;              // empty: unchanged from NONE not checked
    std::function<void(sim &)> prepare; // after the service is up
    uid_t as = 0;                       // a member's uid asks, with the group
};

// Connections a row keeps open until its end, and the uids the members use.
std::vector<int> kept_open;
constexpr uid_t members[] = {65534, 65533, 65532, 65531};

void
keep_open(sim &s, uid_t uid, int count) {
    for (int i = 0; i < count; i++)
        kept_open.push_back(harness::connect_as(s.socket(), uid, s.group_id()));
}

void
PrintTo(const protocol_case &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<protocol_case> &
protocol_cases() {
    static const std::vector<protocol_case> rows = {
        {"NoLineFeedHalfClosed", "toggle", true, "suspend_to_idle\n", "suspend_to_idle"},
        {"CrLf", "status\r\n", false, "NONE\n"},
        {"TrailingBlanks", "status \t\n", false, "NONE\n"},
        {"TwoLinesInOneWrite", "status\ns3\n", false, "NONE\n", "NONE"},
        {"OnlyLineFeed", "\n", false, ""},
        {"OnlySpacesAndLineFeed", "    \n", false, ""},
        {"OnlySpacesHalfClosed", "    ", true, ""},
        {"TwoFiftyFiveSpaces", std::string(255, ' '), true, ""},
        {"ThreeHundredBytes", std::string(300, 'a'), false, "error: request too long\n"},
        {"Line255", "status" + std::string(249, ' ') + "\n", false, "NONE\n"},
        {"Line256", "status" + std::string(250, ' ') + "\n", false, "error: request too long\n"},
        {"OverLongLine", "toggle" + std::string(249, ' ') + "junk\n", false,
         "error: request too long\n", "NONE"},
        {"ZeroByte", std::string("s3\0status\n", 10), false, "error: unknown command\n", "NONE"},
        {"LeadingSpaceIsKept", " status\n", false, "error: unknown command\n"},
        {"CapitalLetter", "Status\n", false, "error: unknown command\n"},
        {"VerticalTabIsNotTrimmed", "status\v\n", false, "error: unknown command\n"},
        {"WordThenArgument", "status now\n", false, "error: unknown command\n"},
        {"Awake", "awake\n", false, "NONE\n", "NONE"},
        {"S3", "s3\n", false, "fw_suspend\n", "fw_suspend"},
        {"SuspendS3", "suspend-s3\n", false, "ok\n"},
        {"FailureWithoutReplyIsError", "s3\n", false, "error\n", "NONE",
         [](sim &s) { s.knob(lid + ".write.exit", "1"); }},
        {"EmptyReadBackIsOk", "awake\n", false, "ok\n", "NONE",
         [](sim &s) { s.knob(lid + ".read.raw", "\r\n"); }},
        {"FailedReadBackSendsRawOutput", "awake\n", false, "half\r\n\n", "NONE",
         [](sim &s) {
             s.knob(lid + ".read.raw", "half\r\n");
             s.knob(lid + ".read.exit", "1");
         }},
        // A member's silent clients fill its share and no more of the table.
        {"NinthConnectionOfUidRefused", "status\n", false, "NONE\n", "",
         [](sim &s) {
             keep_open(s, members[0], 8);
             int ninth = harness::connect_as(s.socket(), members[0], s.group_id());
             EXPECT_EQ(harness::request_on(ninth, "status\n"), "error: too many connections\n");
             EXPECT_NE(s.server_err().find("vantrel: too many connections from uid 65534\n"),
                       std::string::npos);
         },
         members[1]},
        // Four members at their shares leave root its own places.
        {"RootServedBesideMembersAtTheirShares", "status\n", false, "NONE\n", "",
         [](sim &s) {
             for (uid_t uid : members)
                 keep_open(s, uid, 8);
             EXPECT_TRUE(wait_until([&] {
                 return s.server_err().find("vantrel: too many connections\n") != std::string::npos;
             }));
         }},
    };
    return rows;
}

class Protocol : public ::testing::TestWithParam<protocol_case> {};

TEST_P(Protocol, Request) {
    REQUIRE_ROOT();
    const protocol_case &c = GetParam();
    sim s;
    s.start_server();
    if (c.prepare)
        c.prepare(s);
    int fd = c.as != 0 ? harness::connect_as(s.socket(), c.as, s.group_id())
                       : harness::connect_to(s.socket());
    EXPECT_EQ(harness::request_on(fd, c.data, c.half_close), c.reply);
    for (int kept : kept_open)
        close(kept);
    kept_open.clear();
    if (!c.lid_after.empty())
        EXPECT_EQ(s.setting(lid), c.lid_after);
    // The service is still there for the next client.
    s.clear_knob(lid + ".write.exit");
    s.clear_knob(lid + ".read.raw");
    s.clear_knob(lid + ".read.exit");
    EXPECT_EQ(request(s.socket(), "status\n"), s.setting(lid) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Server, Protocol, ::testing::ValuesIn(protocol_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

struct startup_case {
    const char *name;
    std::map<std::string, std::string> env;
    std::function<void(sim &)> setup;
    std::string err; // expected standard error, or its start when prefix
    bool prefix;
    harness::user as = harness::user::root;
};

void
PrintTo(const startup_case &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<startup_case> &
startup_cases() {
    static const std::vector<startup_case> rows = {
        {"NotRoot", {}, nullptr, "vantrel: must run as root\n", false, harness::user::nobody},
        {"NoS0ixType",
         {{"vantrel_switch_state", "s0ix"}},
         [](sim &s) { s.set_setting("kern.power.supported_stype", "awake fw_suspend"); },
         "vantrel: no suspend-to-idle sleep type in kern.power.supported_stype\n",
         false},
        {"NoS3Type",
         {{"vantrel_switch_state", "s3"}},
         [](sim &s) { s.set_setting("kern.power.supported_stype", "awake s2idle"); },
         "vantrel: no S3 sleep type in kern.power.supported_stype\n",
         false},
        {"TypeListUnreadable",
         {},
         [](sim &s) {
             s.remove_setting("kern.power.supported_stype");
             s.remove_setting("hw.acpi.supported_sleep_state");
         },
         "sysctl: unknown oid 'hw.acpi.supported_sleep_state'\n"
         "vantrel: no suspend-to-idle sleep type in kern.power.supported_stype\n",
         false},
        // An asked-for s0ix does not fall back; the message names the list read.
        {"S0ixOnKernel14",
         {{"vantrel_switch_state", "s0ix"}},
         [](sim &s) {
             s.remove_setting("kern.power.supported_stype");
             s.set_setting("hw.acpi.supported_sleep_state", "S1 S3 S4 S5 ");
         },
         // Asked for quietly: every start on 14 would put it in syslog.
         "vantrel: no suspend-to-idle sleep type in hw.acpi.supported_sleep_state\n",
         false},
        // The tool failed, not a call: no error text, least of all "Success".
        {"LidUnreadable",
         {},
         [](sim &s) { s.knob(lid + ".read.exit", "1"); },
         "vantrel: sysctl hw.acpi.lid_switch_state\n",
         false},
        {"SocketPathTooLong",
         {{"vantrel_socket", "/var/run/" + std::string(95, 'p')}},
         nullptr,
         "vantrel: socket path too long\n",
         false},
        {"DirectoryMissing",
         {{"vantrel_socket", "/var/run/missing/x.sock"}},
         nullptr,
         "vantrel: socket directory /var/run/missing: No such file or directory\n",
         false},
        {"UnknownGroup",
         {{"vantrel_group", "nosuchgroup"}},
         nullptr,
         "vantrel: group nosuchgroup: not found\n",
         false},
    };
    return rows;
}

class Startup : public ::testing::TestWithParam<startup_case> {};

TEST_P(Startup, FailsWithStatusOne) {
    REQUIRE_ROOT();
    const startup_case &c = GetParam();
    sim s;
    if (c.setup)
        c.setup(s);
    run_options opt;
    opt.env = c.env;
    opt.as = c.as;
    result r = s.vantrel({"start"}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    if (c.prefix)
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << r.err;
    else
        EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Server, Startup, ::testing::ValuesIn(startup_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

struct stat
stat_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
    return st;
}

// The socket is born with no more than its final rights, so it never exists
// with wider ones: the service is held right after bind, before it changes
// the owner and mode.
TEST(Socket, BornWithFinalRights) {
    REQUIRE_ROOT();
    sim s;
    std::string go = s.dir() + "/go";
    run_options opt;
    opt.env = {
        {"LD_PRELOAD", PRELOAD}, {"HOLD_UNTIL", go}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    std::thread service([&] { s.vantrel({"start"}, opt); });
    struct stat st {};
    EXPECT_TRUE(wait_until([&] { return lstat(s.socket().c_str(), &st) == 0; }));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    harness::write_file(go, "");
    EXPECT_TRUE(wait_until([&] { return request(s.socket(), "quit\n") == "bye\n"; }));
    service.join();
}

TEST(Socket, OwnedByRootAndGroup) {
    REQUIRE_ROOT();
    sim s;
    harness::make_stale_socket(s.socket());
    s.start_server();
    EXPECT_EQ(s.server_err(), "vantrel: hw.acpi.lid_switch_state=NONE; toggle writes "
                              "suspend_to_idle; serving /var/run/vantrel.sock\n");
    struct stat st = stat_of(s.socket());
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, s.group_id());
    EXPECT_EQ(request(s.socket(), "quit\n"), "bye\n");
    EXPECT_EQ(s.wait_server(), 0);
    EXPECT_FALSE(harness::file_exists(s.socket()));
}

// Neither the owner nor the mode change may follow a link put at the socket
// path after bind. A preloaded stand-in holds the owner change, so the swap
// is not left to chance.
TEST(Socket, LinkAtPathIsNotFollowed) {
    REQUIRE_ROOT();
    sim s;
    std::string victim = s.dir() + "/victim";
    harness::write_file(victim, "secret", 0600);
    std::string go = s.dir() + "/go";
    run_options opt;
    opt.env = {
        {"LD_PRELOAD", PRELOAD}, {"HOLD_UNTIL", go}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    result r;
    std::thread service([&] { r = s.vantrel({"start"}, opt); });
    struct stat st {};
    wait_until([&] { return lstat(s.socket().c_str(), &st) == 0 && S_ISSOCK(st.st_mode); });
    std::string link = s.socket() + ".link";
    EXPECT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_EQ(rename(link.c_str(), s.socket().c_str()), 0);
    harness::write_file(go, "");
    service.join();

    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("vantrel: chmod /var/run/vantrel.sock: "), std::string::npos) << r.err;
    st = stat_of(victim);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
}

// What start and stop do with what lies at the socket path and with its
// folder. A row's command runs while the prepared state holds; a service
// that still answers afterwards must be the one the row expects.
struct path_case {
    const char *name;
    std::function<void(sim &)> setup;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int status; // -1: the command serves until "quit"
    std::string err;
    std::function<void(sim &)> check;
};

void
PrintTo(const path_case &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<path_case> &
path_cases() {
    auto serving = [](sim &s) { s.start_server(); };
    auto still_serves = [](sim &s) { EXPECT_EQ(request(s.socket(), "status\n"), "NONE\n"); };
    auto no_socket = [](sim &s) { EXPECT_FALSE(harness::file_exists(s.socket())); };
    auto data_kept = [](sim &s) { EXPECT_EQ(harness::read_file(s.socket()), "data"); };
    auto data_file = [](sim &s) { harness::write_file(s.socket(), "data"); };
    auto folder = [](mode_t mode) {
        return [mode](sim &s) {
            mkdir((s.dir() + "/run/d").c_str(), 0755);
            chmod((s.dir() + "/run/d").c_str(), mode);
        };
    };
    std::map<std::string, std::string> in_d = {{"vantrel_socket", "/var/run/d/v.sock"}};
    static const std::vector<path_case> rows = {
        {"SecondServiceRefused",
         serving,
         {"start"},
         {},
         1,
         "vantrel: /var/run/vantrel.sock: a service is already running\n",
         still_serves},
        // The lock finds the service on any path, with or without a pid file.
        {"SecondServiceOnOtherPathRefused",
         serving,
         {"start"},
         {{"vantrel_socket", "/var/run/other.sock"}},
         1,
         "vantrel: another service is running (pid @pid@)\n",
         [](sim &s) {
             EXPECT_FALSE(harness::file_exists(s.dir() + "/run/other.sock"));
             EXPECT_EQ(request(s.socket(), "status\n"), "NONE\n");
         }},
        {.name = "StopWithoutPidFileEndsService",
         .setup = serving,
         .args = {"stop"},
         .check = [](sim &s) { EXPECT_EQ(s.wait_server(5), 0); }},
        {"RegularFileKeptByStart",
         data_file,
         {"start"},
         {},
         1,
         "vantrel: bind /var/run/vantrel.sock: Address already in use\n",
         data_kept},
        {"RegularFileKeptByStop", data_file, {"stop"}, {}, 0, "", data_kept},
        {"UnknownGroupLeavesNothing",
         nullptr,
         {"start"},
         {{"vantrel_group", "nosuchgroup"}},
         1,
         "vantrel: group nosuchgroup: not found\n",
         no_socket},
        {"UnsafeDirectory",
         folder(0777),
         {"start"},
         in_d,
         1,
         "vantrel: socket directory /var/run/d: unsafe permissions\n",
         nullptr},
        {"StickyDirectory", folder(01777), {"start"}, in_d, -1, "", nullptr},
        // A user who waits on a once readable lock file keeps no service out.
        {"ReadLockedOldLockFileReplaced",
         [](sim &s) {
             std::string path = s.dir() + "/run/vantrel.lock";
             harness::write_file(path, "");
             // Held until the test process ends, past the service's start.
             int fd = open(path.c_str(), O_RDONLY);
             struct flock lock = {.l_type = F_RDLCK, .l_whence = SEEK_SET};
             EXPECT_EQ(fcntl(fd, F_SETLK, &lock), 0);
         },
         {"start"},
         {},
         -1,
         "",
         [](sim &s) { EXPECT_EQ(stat_of(s.dir() + "/run/vantrel.lock").st_mode & 07777, 0600u); }},
        {"StaleSocketReplaced",
         [](sim &s) { harness::make_stale_socket(s.socket()); },
         {"start"},
         {},
         -1,
         "",
         nullptr},
    };
    return rows;
}

class SocketPath : public ::testing::TestWithParam<path_case> {};

TEST_P(SocketPath, StartAndStop) {
    REQUIRE_ROOT();
    const path_case &c = GetParam();
    sim s;
    if (c.setup)
        c.setup(s);
    if (c.status == -1) {
        s.start_server(c.env);
        std::string path =
            c.env.count("vantrel_socket") ? c.env.at("vantrel_socket") : "/var/run/vantrel.sock";
        EXPECT_EQ(s.run({"sh", "-c", "echo quit | nc -U \"$0\"", path}).out, "bye\n");
        EXPECT_EQ(s.wait_server(5), 0);
    } else {
        std::string err = c.err;
        if (std::size_t at = err.find("@pid@"); at != std::string::npos)
            err.replace(at, 5, std::to_string(s.server_pid()));
        result r = s.vantrel(c.args, {.env = c.env});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, err);
    }
    if (c.check)
        c.check(s);
}

INSTANTIATE_TEST_SUITE_P(Server, SocketPath, ::testing::ValuesIn(path_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// The longest path that fits FreeBSD's 104-byte address is served. The
// host's view of it would be longer, so the client runs inside.
TEST(Socket, LongestPathFits) {
    REQUIRE_ROOT();
    sim s;
    std::string path = "/var/run/" + std::string(103 - 9, 'q');
    s.start_server({{"vantrel_socket", path}});
    result r = s.run({"sh", "-c", "echo status | nc -U \"$0\"", path});
    EXPECT_EQ(r.out, "NONE\n") << r.err;
}

// Runs fn in a child with the given ids and no other group; returns what fn
// returned as exit status.
int
as_user(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const std::function<int()> &fn) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(groups.size(), groups.data()) || setgid(gid) || setuid(uid))
            _exit(99);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(Socket, GroupMembersOnly) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    std::string path = s.socket();
    // The member gets its answer; the reply's content goes back by status.
    int member = as_user(65534, 65534, {s.group_id()},
                         [&] { return request(path, "status\n") == "NONE\n" ? 0 : 1; });
    EXPECT_EQ(member, 0);
    int stranger = as_user(65534, 65534, {}, [&] {
        int fd = harness::connect_to(path);
        return fd == -1 && errno == EACCES ? 0 : 1;
    });
    EXPECT_EQ(stranger, 0);
    // Their own status goes by the socket: the lock file is root's alone.
    EXPECT_EQ(s.vantrel({"status"}, {.as = harness::user::member}).out,
              "vantrel is running.\nhw.acpi.lid_switch_state=NONE\n");
}

// One client's choice of mode holds for every later client, also after a
// command that failed.
TEST(SharedState, ModeAcrossClients) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    struct step {
        const char *request;
        const char *reply;
    } steps[] = {
        {"s3\n", "fw_suspend\n"},          {"awake\n", "NONE\n"},
        {"toggle\n", "fw_suspend\n"},      {"toggle\n", "NONE\n"},
        {"s0ix\n", "suspend_to_idle\n"},   {"toggle\n", "NONE\n"},
        {"toggle\n", "suspend_to_idle\n"},
    };
    for (const step &st : steps)
        EXPECT_EQ(request(s.socket(), st.request), st.reply) << st.request;
}

// A mode the kernel cannot do is refused and leaves the mode alone, so
// "toggle" keeps working.
TEST(SharedState, RefusedS3KeepsMode) {
    REQUIRE_ROOT();
    sim s;
    s.set_setting("kern.power.supported_stype", "awake s2idle");
    s.start_server();
    EXPECT_EQ(request(s.socket(), "s3\n"), "error\n");
    EXPECT_EQ(s.setting(lid), "NONE");
    EXPECT_EQ(request(s.socket(), "toggle\n"), "s2idle\n");
}

TEST(Lifecycle, TerminationSignalsWhileIdle) {
    REQUIRE_ROOT();
    for (int sig : {SIGTERM, SIGINT}) {
        sim s;
        s.start_server();
        s.signal_server(sig);
        EXPECT_EQ(s.wait_server(5), 0) << sig;
        EXPECT_FALSE(harness::file_exists(s.socket())) << sig;
    }
}

TEST(Lifecycle, SignalRightAfterStartIsNotLost) {
    REQUIRE_ROOT();
    sim s;
    // The service is held in the owner change, after the socket file has
    // appeared and before it listens, and is signalled there: the signal
    // must end it in order once it serves, with the file removed.
    std::string go = s.dir() + "/go";
    result r = s.run({"sh", "-c",
                      "LD_PRELOAD=\"$1\" HOLD_UNTIL=\"$2\" \"$0\" start & p=$!; "
                      "while [ ! -S /var/run/vantrel.sock ]; do :; done; kill -TERM $p; "
                      ": > \"$2\"; wait $p; echo $?; [ -e /var/run/vantrel.sock ] && echo left",
                      s.binary(), PRELOAD, go},
                     {.env = {{"ASAN_OPTIONS", "verify_asan_link_order=0"}}, .timeout = 20});
    EXPECT_EQ(r.out, "0\n") << r.err;
}

TEST(Lifecycle, SignalWaitsForConnectedClient) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    pid_t service = s.server_pid();
    // start_server's own probe is closed on the service's next wake.
    usleep(100000);
    std::size_t idle_fds = open_descriptors(service);
    int fd = harness::connect_to(s.socket());
    ASSERT_NE(fd, -1);
    // Signalled only once it holds the connection: before the accept, the
    // signal rightly ends the service instead.
    ASSERT_TRUE(wait_until([&] { return open_descriptors(service) > idle_fds; }));
    s.signal_server(SIGTERM);
    usleep(300000);
    EXPECT_EQ(s.wait_server(0.1), -1) << "ended before answering the client";
    send(fd, "status\n", 7, MSG_NOSIGNAL);
    EXPECT_EQ(harness::read_until_close(fd), "NONE\n");
    close(fd);
    EXPECT_EQ(s.wait_server(5), 0);
    EXPECT_FALSE(harness::file_exists(s.socket()));
}

TEST(Lifecycle, SignalWaitsForRunningTool) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    s.knob(lid + ".write.delay", "700");
    std::string reply;
    std::size_t runs_before = s.log("fds").size();
    std::thread client([&] { reply = request(s.socket(), "awake\n"); });
    // The stand-in records itself before its delay, so the signal comes
    // while the write is running.
    EXPECT_TRUE(wait_until([&] { return s.log("fds").size() > runs_before; }));
    s.signal_server(SIGTERM);
    client.join();
    EXPECT_EQ(reply, "NONE\n");
    EXPECT_EQ(s.wait_server(5), 0);
}

TEST(Lifecycle, QuitEndsService) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    EXPECT_EQ(request(s.socket(), "quit\n"), "bye\n");
    EXPECT_EQ(s.wait_server(5), 0);
    EXPECT_FALSE(harness::file_exists(s.socket()));
    EXPECT_EQ(s.setting(lid), "NONE");
}

// A client that leaves before its reply costs the service nothing.
TEST(Lifecycle, ClientGoneBeforeReply) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    s.knob(lid + ".read.delay", "300");
    for (int i = 0; i < 3; i++) {
        int fd = harness::connect_to(s.socket());
        send(fd, "status\n", 7, MSG_NOSIGNAL);
        close(fd);
    }
    s.clear_knob(lid + ".read.delay");
    EXPECT_EQ(request(s.socket(), "status\n"), "NONE\n");
}

// A termination signal that arrives just before the wait must still end
// the service: outside the wait it is held, not handled and forgotten.
TEST(Lifecycle, SignalJustBeforeWaitIsNotLost) {
    REQUIRE_ROOT();
    sim s;
    // With the socket named, start_server waits for the notice instead of
    // connecting, so no client wakes a wait that the signal was lost to.
    s.start_server({{"LD_PRELOAD", PRELOAD},
                    {"RAISE_IN_PSELECT", "1"},
                    {"vantrel_socket", "/var/run/vantrel.sock"},
                    {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    EXPECT_EQ(s.wait_server(5), 0);
}

TEST(Clients, NetcatAsUsersWillUseIt) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    result r = harness::run_process({"sh", "-c", "echo toggle | nc -U \"$0\"", s.socket()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "suspend_to_idle\n");
    r = harness::run_process({"sh", "-c", "printf 'status\\r\\n' | nc -U \"$0\"", s.socket()});
    EXPECT_EQ(r.out, "suspend_to_idle\n");
    // Bytes the service left unread must not turn its reply into a reset,
    // which nc often reports instead of the reply.
    r = harness::run_process(
        {"sh", "-c", "for i in 1 2 3 4 5; do printf 'x%300s\\n' | nc -U \"$0\"; done", s.socket()});
    std::string five;
    for (int i = 0; i < 5; i++)
        five += "error: request too long\n";
    EXPECT_EQ(r.out, five);
}

// A silent or dribbling client is served with what it sent once its time
// is up, and the next client does not wait for it.
TEST(Clients, SlowClientIsCutOff) {
    REQUIRE_ROOT();
    struct row {
        const char *name;
        std::vector<std::string> dribble; // one piece every 2 s
        std::string reply;
    } rows[] = {
        {"silent", {}, ""},
        {"held toggle", {"toggle"}, "suspend_to_idle\n"},
        {"dribbling", {"t", "o", "g", "g"}, "error: unknown command\n"},
    };
    for (const row &r : rows) {
        sim s;
        s.start_server();
        int slow = harness::connect_to(s.socket());
        ASSERT_NE(slow, -1);
        double start = harness::now_seconds();
        std::thread dribbler([&] {
            for (const std::string &piece : r.dribble) {
                send(slow, piece.data(), piece.size(), MSG_NOSIGNAL);
                usleep(2000000);
            }
        });
        usleep(100000);
        std::string second = request(s.socket(), "status\n", true, 10);
        double waited = harness::now_seconds() - start;
        std::string first = harness::read_until_close(slow, 10);
        double cut_off = harness::now_seconds() - start;
        dribbler.join();
        close(slow);
        EXPECT_EQ(first, r.reply) << r.name;
        EXPECT_GE(cut_off, 4.8) << r.name;
        EXPECT_LE(cut_off, 6.5) << r.name;
        EXPECT_LE(waited, 1.0) << r.name;
        EXPECT_NE(second.find('\n'), std::string::npos) << r.name;
    }
}

// No tool, nor anything it leaves behind, may hold the service's sockets.
TEST(Children, InheritNoSockets) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    for (const char *word : {"awake\n", "toggle\n", "suspend-s3\n", "suspend-s0ix\n"})
        EXPECT_NE(request(s.socket(), word).find('\n'), std::string::npos) << word;
    std::vector<std::string> fds = s.log("fds");
    EXPECT_GE(fds.size(), 8u);
    bool saw_write = false, saw_suspend = false;
    for (const std::string &line : fds) {
        EXPECT_EQ(line.find("socket"), std::string::npos) << line;
        saw_write |= line.rfind("sysctl", 0) == 0 && line.find(" 1:pipe") == std::string::npos;
        saw_suspend |= line.rfind("acpiconf", 0) == 0 || line.rfind("apm", 0) == 0;
    }
    EXPECT_TRUE(saw_write);
    EXPECT_TRUE(saw_suspend);
}

// The service blocks and ignores signals for its own reasons; every tool
// must start as it would from a shell. The test process itself ignores
// SIGPIPE, so the service inherits that too and must not pass it on.
TEST(Children, StartWithDefaultSignals) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    for (const char *word : {"awake\n", "toggle\n", "suspend-s3\n", "suspend-s0ix\n"})
        EXPECT_NE(request(s.socket(), word).find('\n'), std::string::npos) << word;
    std::vector<std::string> lines = s.log("signals");
    EXPECT_GE(lines.size(), 10u);
    for (const std::string &line : lines) {
        std::string masks = line.substr(line.find(' '));
        EXPECT_EQ(masks, " blocked=- ignored=-") << line;
    }
}

// Bounded load: concurrent clients, every request answered correctly, and
// nothing leaks in the service.
TEST(Load, ConcurrentClients) {
    REQUIRE_ROOT();
    sim s;
    s.start_server();
    pid_t service = s.server_pid();
    ASSERT_GT(service, 0);
    std::size_t fds_before = open_descriptors(service);

    constexpr int clients = 8;
    constexpr int per_client = 100;
    std::atomic<int> right{0}, wrong{0};
    double start = harness::now_seconds();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < per_client; i++) {
                bool unknown = (i + c) % 4 == 0;
                std::string reply =
                    request(s.socket(), unknown ? "nonsense\n" : "status\n", true, 30);
                bool ok = reply == (unknown ? "error: unknown command\n" : "NONE\n");
                (ok ? right : wrong)++;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    double seconds = harness::now_seconds() - start;
    std::cout << "load: " << clients * per_client << " requests from " << clients << " clients in "
              << seconds << " s; " << right << " right, " << wrong << " wrong\n";
    EXPECT_EQ(right, clients * per_client);
    EXPECT_EQ(wrong, 0);
    // The last replies' connections close once their clients' ends are read.
    EXPECT_TRUE(wait_until([&] { return open_descriptors(service) == fds_before; }, 2))
        << open_descriptors(service) << " descriptors, " << fds_before << " before";
    EXPECT_EQ(request(s.socket(), "quit\n"), "bye\n");
    EXPECT_EQ(s.wait_server(5), 0);
}

} // namespace
