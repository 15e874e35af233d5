// The few functions with logic of their own, tested directly.

#include "cli/service.hpp"
#include "cli/settings.hpp"
#include "lid/display.hpp"
#include "lid/heat.hpp"
#include "lid/lid.hpp"
#include "lid/power.hpp"
#include "protocol/hold_words.hpp"
#include "runner/exec.hpp"
#include "runner/socket_file.hpp"
#include "runner/sysctl.hpp"
#include "runner/text.hpp"
#include "server/devd_link.hpp"
#include "server/request.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
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

// Feeds a byte stream to a request line in reads of chosen sizes, as a
// connection does, until the line ends or the stream does.
TEST(Request, LineAsTheServerReadsIt) {
    using enum line_state;
    struct row {
        std::string data;
        std::vector<std::size_t> chunks; // sizes of successive reads; last repeats
        line_state state;
        std::string command; // of a line not too long
        std::size_t consumed;
    } rows[] = {
        {"toggle", {}, partial, "toggle", 6},
        {"status\r\n", {}, complete, "status", 8},
        {"status \t\n", {}, complete, "status", 9},
        // The first line is the request, however the bytes came.
        {"status\nawake\n", {}, complete, "status", 13},
        {"status\nawake\n", {3, 4}, complete, "status", 7},
        {"\n", {}, complete, "", 1},
        {"     ", {}, partial, "", 5},
        {std::string(255, 'x') + "\n", {}, complete, std::string(255, 'x'), 256},
        {std::string(255, 'x') + "\n", {255, 1}, complete, std::string(255, 'x'), 256},
        {std::string(256, 'x') + "\n", {}, too_long, "", 256},
        {std::string(300, 'x'), {100, 100, 100}, too_long, "", 256},
        {"a b\t", {1}, partial, "a b", 4},
        {"\vstatus\v\n", {}, complete, "\vstatus\v", 9},
        {std::string("st\0us\n", 6), {}, complete, std::string("st\0us", 5), 6},
    };
    for (const row &r : rows) {
        request_line line;
        std::memset(&line, 'Z', sizeof line);
        line.held = 0;
        line_state state = partial;
        std::size_t pos = 0;
        for (std::size_t next = 0; state == partial && pos < r.data.size(); next++) {
            std::span<char> room = line_room(line);
            std::size_t want =
                r.chunks.empty() ? room.size() : r.chunks[std::min(next, r.chunks.size() - 1)];
            std::size_t n = std::min({want, room.size(), r.data.size() - pos});
            std::memcpy(room.data(), r.data.data() + pos, n);
            pos += n;
            state = line_took(line, n);
        }
        EXPECT_EQ(state, r.state) << "'" << r.data << "'";
        EXPECT_EQ(pos, r.consumed) << "'" << r.data << "'";
        if (state != too_long)
            EXPECT_EQ(std::string(line_request(line)), r.command) << "'" << r.data << "'";
    }
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

// A record longer than the buffer is dropped to its end, however it comes.
TEST(Devd, LongRecordsDiscardedWhole) {
    constexpr std::size_t full = devd_message_capacity;
    struct row {
        bool marked; // the platform ends records with MSG_EOR (15)
        bool discarding;
        std::size_t length;
        int flags;
        bool take, discarding_after;
    } rows[] = {
        {false, false, 100, 0, true, false},           // Linux: a whole record
        {false, false, full, MSG_TRUNC, false, false}, // Linux and 14 cut it
        {false, false, full, 0, true, false},          // exactly the buffer
        {true, false, 100, MSG_EOR, true, false},
        {true, false, full, MSG_EOR, true, false},
        {true, false, full, MSG_TRUNC, false, false},
        {true, false, full, 0, false, true},       // 15: the first piece
        {true, true, full, 0, false, true},        // a middle piece
        {true, true, 30, MSG_EOR, false, false},   // the last piece
        {true, true, full, MSG_EOR, false, false}, // a last piece that fills it
        {true, true, 30, 0, true, false},          // unmarked ends: a record
        {true, false, 100, 0, true, false},
    };
    for (const row &r : rows) {
        devd_verdict v = devd_judge_read(r.discarding, r.length, r.flags, r.marked);
        EXPECT_EQ(v.take, r.take) << r.marked << r.discarding << r.length << ' ' << r.flags;
        EXPECT_EQ(v.discarding, r.discarding_after) << r.marked << r.discarding << r.length;
    }
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
        const char *word = load_power_setting("vantrel_on_battery");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(word, r.word) << r.value;
        std::string want = *r.warning ? std::string(": ") + r.warning + "\n" : "";
        EXPECT_TRUE(err.ends_with(want) && err.empty() == want.empty()) << err;
    }
    unsetenv("vantrel_on_battery");
}

TEST(Power, DeferredSettingAndReply) {
    copy_text(s3_stype, stype_capacity, "fw_suspend");
    switch_mode = s0ix;
    EXPECT_STREQ(defer_power_setting("on ac", "awake"), "NONE");
    EXPECT_EQ(switch_mode, s0ix);
    EXPECT_STREQ(defer_power_setting("on battery", "s3"), "fw_suspend");
    EXPECT_EQ(switch_mode, s3);
    EXPECT_EQ(defer_power_setting("on ac", nullptr), nullptr);
    reply_text reply{};
    format_power_reply(reply, power_source::battery, lid_position::closed, true);
    EXPECT_STREQ(reply.data(), "source=battery lid=closed devd=connected");
}

// As acpi_thermal(4) and coretemp(4) print them: truncated to whole degrees.
TEST(Heat, SensorValuesWithATrailingC) {
    const std::pair<const char *, int> rows[] = {
        {"45.9C", 45}, {"105C", 105},  {"45.C", -1},    {"45.9", -1},
        {"-5.0C", -1}, {"45.9C ", -1}, {"1001.0C", -1},
    };
    for (const auto &[text, want] : rows)
        EXPECT_EQ(parse_heat(text), want) << text;
}

// Only an external display's status counts towards docking.
TEST(Display, ExternalConnectorsStatusOnly) {
    const std::pair<const char *, const char *> rows[] = {
        {"sys.class.drm.card0-HDMI-A-1.status", "HDMI-A-1"},
        {"sys.device.drmn0.card1.card1-DP-2.status", "DP-2"},
        {"sys.class.drm.card0-HDMI-A-1.dpms", ""},
        {"sys.class.drm.card0-HDMI-A-1.enabled", ""},
        {"sys.device.drmn0.card1.card1-eDP-1.status", ""},
        {"sys.class.drm.card0-LVDS-1.status", ""},
        {"sys.class.drm.card0-DSI-1.status", ""},
        {"sys.class.drm.card0-Writeback-1.status", ""},
        {"sys.class.drm.card0-Virtual-1.status", ""},
        {"sys.device.acpi0.status", ""},
        {"sys.device.pci0.cardx-DP-1.status", ""},
        {"sys.class.drm.card0-.status", ""},
    };
    for (const auto &[name, want] : rows)
        EXPECT_EQ(external_connector(name), want) << name;
}

TEST(HoldWords, DurationAndReason) {
    using w = server_word;
    const std::string longest(64, '~');
    struct row {
        std::string request;
        server_word word;
        std::uint32_t seconds;
        std::string reason;
    } rows[] = {
        {"hold", w::hold, 0, ""},
        {"hold why make world", w::hold, 0, "make world"},
        {"hold 2h why x", w::hold_timed, 7200, "x"},
        {"hold why " + longest, w::hold, 0, longest},
        {"hold why " + longest + "~", w::bad_reason, 0, ""},
        {"hold 2h", w::hold_timed, 7200, ""},
        {"hold why", w::bad_reason, 0, ""},
        {"hold why  x", w::bad_reason, 0, ""},
        {"hold why a\tb", w::bad_reason, 0, ""},
        {"hold why \x7f", w::bad_reason, 0, ""},
        {"hold 2h why", w::bad_reason, 0, ""},
        {"hold 2h  why x", w::bad_reason, 0, ""},
        {"hold 2h because x", w::bad_reason, 0, ""},
        {"hold whyx", w::bad_duration, 0, ""},
        {"hold because why x", w::bad_duration, 0, ""},
        {"hold  why x", w::bad_duration, 0, ""},
    };
    for (const row &r : rows) {
        server_request got = classify_request(r.request);
        EXPECT_EQ(got.word, r.word) << r.request;
        EXPECT_EQ(got.seconds, r.seconds) << r.request;
        EXPECT_EQ(got.reason, r.reason) << r.request;
    }
}
