// The request line as the server collects it from a connection: the input
// decides how the bytes arrive (chunk sizes, interrupted reads, an early end
// or failure), and the result is checked against the rules in request.hpp.
//
// Input: one byte K, then K control bytes, then the bytes the client sends.
// Each read takes the next control byte: 0 is an interrupted read, 0xfd a
// timeout, 0xfe an early end, 0xff a failure, anything else a chunk of at
// most that many bytes. Without control bytes left a read gets all it may.
#include "fuzz_support.hpp"

#include "server/request.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr unsigned char canary_byte = 0xa5;
constexpr unsigned char untouched_byte = 0x5a;
constexpr std::size_t canary_size = 32;

struct request_buffer {
    char text[request_capacity];
    unsigned char canary[canary_size];
};

struct stream {
    std::string_view control;
    std::size_t next_control = 0;
    std::string_view data;
    std::size_t next_data = 0;

    const char *text = nullptr;
    std::size_t given = 0;
    std::size_t calls = 0;
    bool ended = false;
    bool line_fed = false;
};

ssize_t
scripted_read(void *context, char *dst, std::size_t max) {
    auto &s = *static_cast<stream *>(context);
    fuzz::require(!s.ended, "read again after the stream ended or failed");
    fuzz::require(!s.line_fed, "read again after a line feed was held");
    fuzz::require(max > 0, "asked for zero bytes, which reads as an end of stream");
    fuzz::require(s.given + max <= request_capacity - 1, "asked for more than 255 - held");
    fuzz::require(dst == s.text + s.given, "asked to read anywhere but after what is held");
    fuzz::require(++s.calls < 100000, "the reading never stops");

    std::size_t want = max;
    if (s.next_control < s.control.size()) {
        auto c = static_cast<unsigned char>(s.control[s.next_control++]);
        switch (c) {
        case 0x00:
            errno = EINTR;
            return -1;
        case 0xfd:
            s.ended = true;
            errno = ETIMEDOUT;
            return -1;
        case 0xfe:
            s.ended = true;
            return 0;
        case 0xff:
            s.ended = true;
            errno = ECONNRESET;
            return -1;
        default:
            want = c < max ? c : max;
            break;
        }
    }
    std::size_t left = s.data.size() - s.next_data;
    std::size_t n = want < left ? want : left;
    if (n == 0) {
        s.ended = true;
        return 0;
    }
    std::memcpy(dst, s.data.data() + s.next_data, n);
    s.line_fed = std::memchr(s.data.data() + s.next_data, '\n', n) != nullptr;
    s.next_data += n;
    s.given += n;
    return static_cast<ssize_t>(n);
}

bool
is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::input in(data, size);
    stream s;
    s.control = in.bytes(in.u8());
    s.data = in.rest();

    auto *buffer = new request_buffer;
    std::memset(buffer->text, untouched_byte, sizeof buffer->text);
    std::memset(buffer->canary, canary_byte, sizeof buffer->canary);
    s.text = buffer->text;

    std::string_view command = read_request(buffer->text, scripted_read, &s);

    for (unsigned char c : buffer->canary)
        fuzz::require(c == canary_byte, "written past the request buffer");
    std::size_t held = s.given;
    fuzz::require(held <= request_capacity - 1, "more than 255 bytes held");
    fuzz::require(s.line_fed || s.ended || held == request_capacity - 1,
                  "stopped reading before a line feed, an end or a full buffer");

    // What the rules make of the bytes handed over: cut at the first zero
    // byte, then trailing blanks dropped.
    std::string_view got(s.data.data(), held);
    std::string expected = fuzz::c_string(got);
    while (!expected.empty() && is_blank(expected.back()))
        expected.pop_back();

    fuzz::require(command.data() == buffer->text, "the command does not point at the text");
    fuzz::require(command == expected, "the command is not the trimmed request");
    fuzz::require(command.empty() || !is_blank(command.back()), "the command ends in a blank");
    fuzz::require(buffer->text[command.size()] == '\0', "the command is not zero-terminated");
    fuzz::require(buffer->text[held] == '\0', "the text is not terminated after what was read");
    // Behind the command, the trimmed blanks are zeroed and whatever
    // follows an embedded zero byte stays as it was read.
    std::size_t first_zero = std::min(got.find('\0'), held);
    for (std::size_t i = command.size(); i < first_zero; i++)
        fuzz::require(buffer->text[i] == '\0' && is_blank(got[i]),
                      "something other than a trailing blank was removed");
    for (std::size_t i = first_zero; i < held; i++)
        fuzz::require(buffer->text[i] == got[i], "a byte after an embedded zero changed");
    for (std::size_t i = held + 1; i < request_capacity; i++)
        fuzz::require(static_cast<unsigned char>(buffer->text[i]) == untouched_byte,
                      "written past the terminating zero");

    delete buffer;
    return 0;
}
