// Command dispatch: run_command with every tool it runs scripted by the
// input, compared step by step with a model of what lid.hpp, suspend.hpp
// and sysctl.hpp promise: which tools run with which arguments, what the
// reply holds, what the result is and what becomes of the process-wide
// state.
//
// Input:
//   byte 0   bit 0: switch mode s3; bit 1: the word comes through the
//            server's request reading (else it is taken as argv gives it);
//            bits 2-3: S0ix name already known (none, suspend_to_idle,
//            s2idle, none); bits 4-5: S3 name already known (none,
//            fw_suspend, s2mem, none); bit 6: the mode is the default one,
//            which the kernel's sleep types may turn into s3
//   byte 1   length of the command bytes, which follow
//   then     the children, in the order they are started (see
//            fuzz_support.hpp, decode_child)
#include "fuzz_support.hpp"

#include "lid/lid.hpp"
#include "server/request.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned char canary_byte = 0xa5;
constexpr std::size_t canary_size = 32;

struct reply_buffer {
    reply_text reply;
    unsigned char canary[canary_size];
};

constexpr const char *s0ix_names[] = {"", "suspend_to_idle", "s2idle", ""};
constexpr const char *s3_names[] = {"", "fw_suspend", "s2mem", ""};

constexpr char lid_setting[] = "hw.acpi.lid_switch_state";
constexpr char stype_list_setting[] = "kern.power.supported_stype";
constexpr char acpi_list_setting[] = "hw.acpi.supported_sleep_state";
constexpr char suspend_setting[] = "kern.power.suspend";

// A buffer as the code sees it: its whole capacity, zero-filled like the
// reply and like an untouched local that is only read up to its zero.
using bytes = std::vector<char>;

// What the code is expected to do, worked out from the same script.
struct model {
    const std::vector<fake::child> &script;
    std::size_t next = 0;
    std::vector<fake::call> calls;
    std::uint8_t mode;
    std::string s3_name;
    std::string s0ix_name;
    bool by_default;

    fake::child take() {
        return next < script.size() ? script[next++] : fake::child{};
    }

    // sysctl_read into a buffer of buffer.size() bytes; sysctl_probe with
    // flags "-qn".
    int read(const char *name, bytes &buffer, const char *flags = "-n") {
        calls.push_back({"/sbin/sysctl", {"/sbin/sysctl", flags, name}, true});
        fake::child c = take();
        if (c.spawn_fails)
            return -1;
        std::string out = c.output.substr(0, buffer.size() - 1);
        bool ok = fuzz::reference_succeeded(c.status);
        if (ok)
            fuzz::trim_line_ends_model(out);
        // Trimmed bytes are zeroed, and the zero after the held bytes
        // lands where the rest of the buffer already is zero.
        std::fill(buffer.begin(), buffer.end(), '\0');
        std::copy(out.begin(), out.end(), buffer.begin());
        return ok ? 0 : -1;
    }

    int write(const std::string &name, const std::string &value) {
        if (name.size() + 1 + value.size() >= 128)
            return -1;
        calls.push_back({"/sbin/sysctl", {"sysctl", name + "=" + value}, false});
        fake::child c = take();
        return !c.spawn_fails && fuzz::reference_succeeded(c.status) ? 0 : -1;
    }

    static std::string text_of(const bytes &buffer) {
        return fuzz::c_string(std::string_view(buffer.data(), buffer.size()));
    }

    int probe() {
        if (!s3_name.empty() || !s0ix_name.empty())
            return 0;
        bytes list(128);
        if (read(stype_list_setting, list, "-qn") == -1) {
            if (read(acpi_list_setting, list) == -1)
                return -1;
            s3_name = fuzz::reference_has_token(text_of(list), "S3") ? "S3" : "";
            return 0;
        }
        std::string text = text_of(list);
        auto choose = [&](const char *preferred, const char *fallback) -> std::string {
            if (fuzz::reference_has_token(text, preferred))
                return preferred;
            if (fuzz::reference_has_token(text, fallback))
                return fallback;
            return "";
        };
        s0ix_name = choose("suspend_to_idle", "s2idle");
        s3_name = choose("fw_suspend", "s2mem");
        return 0;
    }

    int apply_lid_state(const std::string &value, bytes &reply) {
        if (write(lid_setting, value) == -1)
            return -1;
        return read(lid_setting, reply);
    }

    int apply_mode(bytes &reply) {
        if (probe() == -1)
            return -1;
        if (by_default && s0ix_name.empty() && !s3_name.empty())
            mode = s3;
        by_default = false;
        const std::string &stype = mode == s3 ? s3_name : s0ix_name;
        if (stype.empty())
            return -1;
        return apply_lid_state(stype, reply);
    }

    static void set_reply(bytes &reply, const char *text) {
        std::fill(reply.begin(), reply.end(), '\0');
        std::memcpy(reply.data(), text, std::strlen(text));
    }

    // Runs a suspend tool; -1 when it could not be started or waited for.
    int suspend_tool(const char *path, std::vector<std::string> argv, bool &succeeded) {
        calls.push_back({path, std::move(argv), false});
        fake::child c = take();
        if (c.spawn_fails || c.status == -1)
            return -1;
        succeeded = fuzz::reference_succeeded(c.status);
        return 0;
    }

    int run(const std::string &word, bytes &reply) {
        if (word == "awake")
            return apply_lid_state("NONE", reply);
        if (word == "s0ix" || word == "s3") {
            // A mode the kernel lists no type for leaves the mode alone.
            if (probe() == -1 || (word == "s3" ? s3_name : s0ix_name).empty())
                return -1;
            mode = word == "s3" ? s3 : s0ix;
            by_default = false;
            return apply_mode(reply);
        }
        if (word == "toggle") {
            bytes current(64);
            if (read(lid_setting, current) == -1)
                return -1;
            if (text_of(current) == "NONE")
                return apply_mode(reply);
            return apply_lid_state("NONE", reply);
        }
        if (word == "status")
            return read(lid_setting, reply);
        if (word == "suspend-s3") {
            bool succeeded = false;
            if (suspend_tool("/usr/sbin/acpiconf", {"acpiconf", "-s", "3"}, succeeded) == -1)
                return -1;
            set_reply(reply, succeeded ? "ok" : "error");
            return succeeded ? 0 : -1;
        }
        if (word == "suspend-s0ix") {
            if (probe() == -1 || s0ix_name.empty())
                return -1;
            bytes saved(64);
            if (read(suspend_setting, saved) == -1)
                return -1;
            if (write(suspend_setting, s0ix_name) == -1)
                return -1;
            bool succeeded = false;
            int ran = suspend_tool("/usr/sbin/apm", {"apm", "-z"}, succeeded);
            (void)write(suspend_setting, text_of(saved));
            if (ran == -1)
                return -1;
            set_reply(reply, succeeded ? "ok" : "error");
            return succeeded ? 0 : -1;
        }
        if (word == "quit") {
            set_reply(reply, "bye");
            return 1;
        }
        set_reply(reply, "error: unknown command");
        return -1;
    }
};

bool
known(const char *name, const char *const (&names)[4]) {
    for (const char *n : names) {
        if (std::strcmp(name, n) == 0)
            return true;
    }
    return false;
}

} // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***) {
    // The suspend commands warn on stderr before each attempt; at fuzzing
    // speed that drowns everything. Sanitizer and fuzzer reports do not go
    // through this stream.
    if (FILE *null = std::fopen("/dev/null", "w"))
        stderr = null;
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::input in(data, size);
    std::uint8_t flags = in.u8();
    std::string_view raw = in.bytes(in.u8());
    std::vector<fake::child> script;
    while (!in.empty())
        script.push_back(fuzz::decode_child(in));

    std::string word;
    if (flags & 2) {
        // The bytes as one read of a connection, then its end.
        request_line line{};
        std::size_t n = raw.size() < request_capacity ? raw.size() : request_capacity;
        std::memcpy(line.text, raw.data(), n);
        // A line too long is refused and a blank one closed, both without
        // running anything.
        if (line_took(line, n) == line_state::too_long)
            return 0;
        std::string_view trimmed = line_request(line);
        if (trimmed.empty())
            return 0;
        word = std::string(trimmed);
    } else {
        word = fuzz::c_string(raw);
    }

    switch_mode = (flags & 1) ? s3 : s0ix;
    switch_mode_by_default = (flags & 64) != 0;
    const char *s0ix_preset = s0ix_names[(flags >> 2) & 3];
    const char *s3_preset = s3_names[(flags >> 4) & 3];
    std::memset(s0ix_stype, 0, sizeof s0ix_stype);
    std::memset(s3_stype, 0, sizeof s3_stype);
    std::strcpy(s0ix_stype, s0ix_preset);
    std::strcpy(s3_stype, s3_preset);

    model m{script, 0, {}, switch_mode, s3_preset, s0ix_preset, switch_mode_by_default};
    bytes expected_reply(reply_capacity);
    int expected = m.run(word, expected_reply);

    fake::start(script);
    auto *buffer = new reply_buffer;
    buffer->reply.fill('\0');
    std::memset(buffer->canary, canary_byte, sizeof buffer->canary);
    int result = run_command(word, buffer->reply);

    for (unsigned char c : buffer->canary)
        fuzz::require(c == canary_byte, "written past the reply");
    fuzz::require(std::memchr(buffer->reply.data(), '\0', reply_capacity) != nullptr,
                  "the reply is not terminated within 255 characters");
    fuzz::require(result == -1 || result == 0 || result == 1, "result out of range");
    fake::require_settled();
    fuzz::require(known(s0ix_stype, s0ix_names), "S0ix name is not one of the known ones");
    fuzz::require(known(s3_stype, s3_names) || std::strcmp(s3_stype, "S3") == 0,
                  "S3 name is not one of the known ones");

    fuzz::require(fake::calls() == m.calls, "the tools run differ from the expected ones");
    fuzz::require(result == expected, "the result differs from the expected one");
    fuzz::require(std::memcmp(buffer->reply.data(), expected_reply.data(), reply_capacity) == 0,
                  "the reply differs from the expected one");
    fuzz::require(switch_mode == m.mode, "the switch mode differs from the expected one");
    fuzz::require(switch_mode_by_default == m.by_default, "the default mode was decided wrongly");
    fuzz::require(m.s0ix_name == s0ix_stype && m.s3_name == s3_stype,
                  "the sleep-type names differ from the expected ones");

    delete buffer;
    return 0;
}
