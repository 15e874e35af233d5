// The few functions with logic of their own, tested directly.

#include "cli/service.hpp"
#include "cli/settings.hpp"
#include "lid/lid.hpp"
#include "lid/power.hpp"
#include "runner/exec.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"
#include "server/devd.hpp"
#include "server/request.hpp"
#include "runner/socket_file.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

TEST(Token, WholeSpaceSeparatedWordsOnly) {
    struct row {
        const char *list;
        const char *word;
        bool present;
    } rows[] = {
        {"s2idle s2mem", "s2idle", true},
        {"s2idle s2mem", "s2mem", true},
        {"s2idle", "s2idle", true},
        {"awake standby fw_suspend suspend_to_idle", "suspend_to_idle", true},
        {"xs2idle s2mem2", "s2idle", false},
        {"xs2idle s2mem2", "s2mem", false},
        {"fw_suspend2 s2idlex", "fw_suspend", false},
        {"s2idle\ts2mem", "s2idle", false},
        {"s2idle\ts2mem", "s2mem", false},
        {"s2idl", "s2idle", false},
        {"", "s2idle", false},
        // A glued occurrence first must not hide a real one later.
        {"xs2idle s2idle", "s2idle", true},
        {"s2idles2idle s2idle", "s2idle", true},
        {" s2idle ", "s2idle", true},
        {"s2idle\n", "s2idle", false},
    };
    for (const row &r : rows)
        EXPECT_EQ(has_token(r.list, r.word), r.present) << "'" << r.list << "' / " << r.word;
}

TEST(ChildStatus, OnlyNormalExitZeroSucceeds) {
    struct row {
        int status;
        bool ok;
    } rows[] = {
        {0, true},
        {0200, true},             // core flag alone on a zero status
        {1 << 8, false},          // exit 1
        {127 << 8, false},        // exec failed
        {9, false},               // killed by SIGKILL
        {6 | 0200, false},        // SIGABRT with a core dump
        {(1 << 8) | 0x7f, false}, // stopped
    };
    for (const row &r : rows)
        EXPECT_EQ(child_succeeded(r.status), r.ok) << r.status;
}

TEST(LineEnds, OnlyTrailingCarriageReturnsAndLineFeeds) {
    struct row {
        std::string in;
        std::string out;
    } rows[] = {
        {"NONE\n", "NONE"}, {"s2idle\r\n\r\n", "s2idle"}, {"\n\r\n\r", ""},     {"", ""},
        {"a\nb\n", "a\nb"}, {"val \n", "val "},           {"\nNONE", "\nNONE"},
    };
    for (const row &r : rows) {
        std::vector<char> buf(r.in.begin(), r.in.end());
        buf.push_back('\0');
        std::size_t n = trim_line_ends(buf.data(), r.in.size());
        EXPECT_EQ(std::string(buf.data()), r.out);
        EXPECT_EQ(n, r.out.size());
    }
}

TEST(Bounded, CopiesRefuseWhatDoesNotFit) {
    char dst[8] = "keep";
    EXPECT_EQ(copy_text(dst, sizeof dst, "1234567"), 0);
    EXPECT_STREQ(dst, "1234567");
    EXPECT_EQ(copy_text(dst, sizeof dst, "12345678"), -1);
    EXPECT_STREQ(dst, "1234567");
    EXPECT_EQ(format_pair(dst, sizeof dst, "abc", "def"), 0);
    EXPECT_STREQ(dst, "abc=def");
    EXPECT_EQ(format_pair(dst, sizeof dst, "abc", "defg"), -1);
    EXPECT_STREQ(dst, "abc=def");
}

TEST(SwitchState, ExactCaseSensitiveWords) {
    struct row {
        const char *value;
        int mode;
    } rows[] = {
        {nullptr, s0ix}, {"", s0ix},  {"s0ix", s0ix}, {"s3", s3},
        {"S3", -1},      {"s3 ", -1}, {" s3", -1},    {"s0", -1},
    };
    for (const row &r : rows)
        EXPECT_EQ(parse_switch_state(r.value), r.mode) << (r.value ? r.value : "(unset)");
}

TEST(PidFile, FirstDecimalIntegerInRange) {
    struct row {
        std::string text;
        int pid;
    } rows[] = {
        {"1234\n", 1234},
        {"   42\n", 42},
        {"\t\n 77 trailing words", 77},
        {"12abc", 12},
        {"+15", 15},
        {"-1", -1},
        {"-7", -7},
        {"0", 0},
        {"abc", -1},
        {"", -1},
        {"   ", -1},
        {"+", -1},
        {"+-3", -1},
        {"2147483647", 2147483647},
        {"2147483648", -1},
        {"99999999999", -1},
        {"-99999999999", -1},
    };
    for (const row &r : rows)
        EXPECT_EQ(parse_pid(r.text.data(), r.text.size()), r.pid) << "'" << r.text << "'";
}

// Feeds a byte stream to the request reader in chunks of chosen sizes.
struct chunked_stream {
    std::string data;
    std::vector<std::size_t> chunks; // sizes of successive reads; last repeats
    std::size_t pos = 0;
    std::size_t next = 0;
    std::size_t largest_ask = 0;
    std::size_t total_asked_beyond = 0;
    bool interrupt_first = false;
};

static ssize_t
chunk_reader(void *context, char *dst, std::size_t max) {
    auto *s = static_cast<chunked_stream *>(context);
    if (s->interrupt_first) {
        s->interrupt_first = false;
        errno = EINTR;
        return -1;
    }
    s->largest_ask = std::max(s->largest_ask, max);
    if (s->pos >= s->data.size())
        return 0;
    std::size_t want = s->chunks.empty() ? max : s->chunks[std::min(s->next, s->chunks.size() - 1)];
    s->next++;
    std::size_t n = std::min({want, max, s->data.size() - s->pos});
    std::memcpy(dst, s->data.data() + s->pos, n);
    s->pos += n;
    return static_cast<ssize_t>(n);
}

TEST(Request, ReadAndTrimAsTheServerDoes) {
    struct row {
        std::string data;
        std::vector<std::size_t> chunks;
        std::string command;
        std::size_t consumed; // bytes taken from the stream
    } rows[] = {
        {"toggle", {}, "toggle", 6},
        {"status\r\n", {}, "status", 8},
        {"status \t\n", {}, "status", 9},
        {"status\nawake\n", {}, "status\nawake", 13},
        // Split reads: the line feed ends the reading, later bytes stay unread.
        {"status\nawake\n", {3, 4}, "status", 7},
        {"\n", {}, "", 1},
        {"     ", {}, "", 5},
        {std::string(300, 'x'), {}, std::string(255, 'x'), 255},
        {std::string(300, 'x'), {100, 100, 100}, std::string(255, 'x'), 255},
        {std::string(255, ' '), {}, "", 255},
        {"a b\t", {1}, "a b", 4},
        {"\vstatus\v\n", {}, "\vstatus\v", 9},
        {std::string("st\0us\n", 6), {}, "st", 6},
    };
    for (const row &r : rows) {
        chunked_stream s{r.data, r.chunks};
        char text[request_capacity];
        std::memset(text, 'Z', sizeof text);
        std::string_view got = read_request(text, chunk_reader, &s);
        EXPECT_EQ(std::string(got), r.command) << "'" << r.data << "'";
        EXPECT_EQ(s.pos, r.consumed) << "'" << r.data << "'";
        EXPECT_LE(s.largest_ask, request_capacity - 1);
    }
}

TEST(Request, InterruptedReadIsResumed) {
    chunked_stream s{"toggle\n", {}};
    s.interrupt_first = true;
    char text[request_capacity];
    EXPECT_EQ(read_request(text, chunk_reader, &s), "toggle");
}

// A peer that never reads must not hold the writer past its deadline.
TEST(Reply, WriteGivesUpAtDeadline) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    char block[4096] = {};
    while (send(fds[0], block, sizeof block, MSG_DONTWAIT) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send_before_deadline(fds[0], "NONE\n", 5, 200), -1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_LE(waited, std::chrono::milliseconds(1000));
    close(fds[0]);
    close(fds[1]);
}

TEST(SocketFile, DirectoryOfPath) {
    struct row {
        const char *path;
        const char *dir;
    } rows[] = {{"/var/run/vantrel.sock", "/var/run"},
                {"/v.sock", "/"},
                {"v.sock", "."},
                {"run/v.sock", "run"}};
    for (const row &r : rows) {
        char dir[socket_path_capacity];
        ASSERT_EQ(socket_directory(r.path, dir, sizeof dir), 0) << r.path;
        EXPECT_STREQ(dir, r.dir) << r.path;
    }
}

TEST(Devd, RetryDelayDoublesUpToTheCap) {
    unsigned delay = 0;
    for (unsigned want : {1u, 2u, 4u, 8u, 16u, 32u, 60u, 60u})
        EXPECT_EQ(delay = devd_next_delay(delay), want);
}

TEST(Power, SettingsAndWhatTheyNeed) {
    struct row {
        const char *value; // vantrel_on_battery
        const char *stype; // both kernel names, "" for none
        const char *word;  // what is kept, or null
        const char *warning;
    } rows[] = {
        {"s3", "x", "s3", ""},
        {"awake", "", "awake", ""},
        {"", "x", nullptr, ""},
        {"S3", "x", nullptr, "invalid vantrel_on_battery=S3; ignored"},
        {"s3", "", nullptr, "no S3 sleep type for vantrel_on_battery=s3; ignored"},
        {"s0ix", "", nullptr, "no suspend-to-idle sleep type for vantrel_on_battery=s0ix; ignored"},
    };
    for (const row &r : rows) {
        copy_text(s3_stype, stype_capacity, r.stype);
        copy_text(s0ix_stype, stype_capacity, r.stype);
        setenv("vantrel_on_battery", r.value, 1);
        testing::internal::CaptureStderr();
        load_power_settings();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(power_setting(power_source::battery), r.word) << r.value;
        std::string want = *r.warning ? std::string(": ") + r.warning + "\n" : "";
        EXPECT_TRUE(err.ends_with(want) && err.empty() == want.empty()) << err;
    }
    unsetenv("vantrel_on_battery");
}

TEST(Power, DeferredSettingAndReply) {
    copy_text(s3_stype, stype_capacity, "fw_suspend");
    power.on_ac = "awake";
    power.on_battery = "s3";
    switch_mode = s0ix;
    EXPECT_STREQ(defer_power_setting(power_source::ac), "NONE");
    EXPECT_EQ(switch_mode, s0ix);
    EXPECT_STREQ(defer_power_setting(power_source::battery), "fw_suspend");
    EXPECT_EQ(switch_mode, s3);
    EXPECT_EQ(defer_power_setting(power_source::unknown), nullptr);
    reply_text reply{};
    format_power_reply(reply, power_source::battery, lid_position::closed, true);
    EXPECT_STREQ(reply.data(), "source=battery lid=closed devd=connected");
}
