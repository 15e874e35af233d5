// What comes back from sysctl: trim_line_ends on any text, and sysctl_read
// and sysctl_write with the tool scripted by the input.
//
// Input: byte 0 is the buffer capacity minus one (1 to 256 bytes); byte 1
// the length of the setting name that follows (0: hw.acpi.lid_switch_state);
// then a kind byte and its status fields for each of the two children (read
// and write; fuzz_support.hpp, decode_status); the rest is what the reading
// child prints, and up to its first zero byte the value written.
#include "fuzz_support.hpp"

#include "runner/sysctl.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned char untouched_byte = 0x5a;

void
check_trim(std::string_view output) {
    std::size_t length = output.size();
    auto *text = new char[length + 1];
    std::memcpy(text, output.data(), length);
    text[length] = '\0';

    std::size_t kept = trim_line_ends(text, length);

    fuzz::require(kept <= length, "trimming grew the text");
    fuzz::require(std::memcmp(text, output.data(), kept) == 0, "trimming changed kept bytes");
    fuzz::require(kept == 0 || (text[kept - 1] != '\n' && text[kept - 1] != '\r'),
                  "a line end is left at the end");
    for (std::size_t i = kept; i < length; i++) {
        fuzz::require(output[i] == '\n' || output[i] == '\r',
                      "something other than a line end went");
        fuzz::require(text[i] == '\0', "a removed line end was not zeroed");
    }
    fuzz::require(text[length] == '\0', "the terminating zero was touched");
    delete[] text;
}

void
check_read(const std::string &name, std::size_t capacity, const fake::child &child) {
    // Exactly capacity bytes, so the address sanitizer sees any overrun.
    auto *buffer = new char[capacity];
    std::memset(buffer, untouched_byte, capacity);
    fake::start({child});
    int result = sysctl_read(name.c_str(), buffer, capacity);
    fake::require_settled();

    std::string expected(capacity, static_cast<char>(untouched_byte));
    int expected_result = -1;
    std::vector<fake::call> expected_calls;
    if (name.size() < sysctl_name_capacity) {
        expected_calls.push_back({"/sbin/sysctl", {"/sbin/sysctl", "-n", name}, true});
        if (!child.spawn_fails) {
            std::string out = child.output.substr(0, capacity - 1);
            bool ok = fuzz::reference_succeeded(child.status);
            expected.replace(0, out.size(), out);
            expected[out.size()] = '\0';
            if (ok) {
                std::size_t length = out.size();
                while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == '\r'))
                    expected[--length] = '\0';
                expected_result = 0;
            }
        }
    }
    fuzz::require(fake::calls() == expected_calls, "sysctl_read ran something unexpected");
    fuzz::require(result == expected_result, "sysctl_read result differs from the tool's outcome");
    fuzz::require(std::memcmp(buffer, expected.data(), capacity) == 0,
                  "sysctl_read left the buffer other than expected");
    delete[] buffer;
}

void
check_write(const std::string &name, const std::string &value, const fake::child &child) {
    fake::start({child});
    int result = sysctl_write(name.c_str(), value.c_str());
    fake::require_settled();

    std::vector<fake::call> expected_calls;
    int expected_result = -1;
    if (name.size() + 1 + value.size() < sysctl_name_capacity) {
        expected_calls.push_back({"/sbin/sysctl", {"sysctl", name + "=" + value}, false});
        if (!child.spawn_fails && fuzz::reference_succeeded(child.status))
            expected_result = 0;
    }
    fuzz::require(fake::calls() == expected_calls, "sysctl_write ran something unexpected");
    fuzz::require(result == expected_result, "sysctl_write result differs from the tool's outcome");
}

void
take_line(const char *line, void *context) {
    static_cast<std::vector<std::string> *>(context)->push_back(line);
}

// The names listed: every non-empty line that fits the buffer, whole.
void
check_list(const std::string &name, const fake::child &child) {
    fake::start({child});
    std::vector<std::string> taken;
    int result = sysctl_list(name.c_str(), take_line, &taken);
    fake::require_settled();

    std::vector<std::string> expected;
    int expected_result = -1;
    std::vector<fake::call> expected_calls;
    if (name.size() < sysctl_name_capacity) {
        expected_calls.push_back({"/sbin/sysctl", {"/sbin/sysctl", "-qN", name}, true});
        if (!child.spawn_fails) {
            for (const std::string &line : fuzz::split(child.output, '\n')) {
                if (!line.empty() && line.size() < sysctl_name_capacity &&
                    line.find('\0') == std::string::npos)
                    expected.push_back(line);
            }
            expected_result = fuzz::reference_succeeded(child.status) ? 0 : -1;
        }
    }
    fuzz::require(fake::calls() == expected_calls, "sysctl_list ran something unexpected");
    fuzz::require(result == expected_result, "sysctl_list result differs from the tool's outcome");
    fuzz::require(taken == expected, "sysctl_list took other lines than whole short ones");
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::input in(data, size);
    std::size_t capacity = std::size_t{in.u8()} + 1;
    std::string name = fuzz::c_string(in.bytes(in.u8()));
    if (name.empty())
        name = "hw.acpi.lid_switch_state";
    fake::child reading;
    fuzz::decode_status(in.u8(), in, reading);
    fake::child writing;
    fuzz::decode_status(in.u8(), in, writing);
    std::string_view output = in.rest();
    reading.output = std::string(output.substr(0, fake::output_limit));

    check_trim(output);
    check_read(name, capacity, reading);
    check_write(name, fuzz::c_string(output), writing);
    check_list(name, reading);
    return 0;
}
