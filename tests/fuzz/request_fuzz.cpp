// The request line as a connection collects it: the input decides how the
// bytes arrive (chunk sizes, interrupted reads, an early end, a failure or
// the deadline), the reads go through line_room and line_took as the
// server's do, and the outcome is checked against the rules in request.hpp.
//
// Input: one byte K, then K control bytes, then the bytes the client sends.
// Each read takes the next control byte: 0 is an interrupted read, 0xfd the
// deadline, 0xfe an early end, 0xff a failure, anything else a chunk of at
// most that many bytes. Without control bytes left a read gets all it may.
#include "fuzz_support.hpp"

#include "server/request.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace {

constexpr unsigned char canary_byte = 0xa5;
constexpr unsigned char untouched_byte = 0x5a;
constexpr std::size_t canary_size = 32;

struct guarded_line {
    request_line line;
    unsigned char canary[canary_size];
};

struct stream {
    std::string_view control;
    std::size_t next_control = 0;
    std::string_view data;
    std::size_t given = 0;
    std::size_t calls = 0;
    bool ended = false; // by the stream's end, a failure or the deadline
};

// One read as the connection makes it: returns the bytes put into room.
std::size_t
scripted_read(stream &s, std::span<char> room) {
    fuzz::require(++s.calls < 100000, "the reading never stops");
    std::size_t want = room.size();
    if (s.next_control < s.control.size()) {
        auto c = static_cast<unsigned char>(s.control[s.next_control++]);
        if (c == 0x00)
            return 0; // interrupted: asked again, nothing changes
        if (c >= 0xfd) {
            s.ended = true;
            return 0;
        }
        want = c < want ? c : want;
    }
    std::size_t left = s.data.size() - s.given;
    std::size_t n = want < left ? want : left;
    if (n == 0) {
        s.ended = true;
        return 0;
    }
    std::memcpy(room.data(), s.data.data() + s.given, n);
    s.given += n;
    return n;
}

bool
is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::input in(data, size);
    stream s;
    s.control = in.bytes(in.u8());
    s.data = in.rest();

    auto *buffer = new guarded_line;
    request_line &line = buffer->line;
    std::memset(line.text, untouched_byte, sizeof line.text);
    std::memset(buffer->canary, canary_byte, sizeof buffer->canary);
    line.held = 0;

    line_state state = line_state::partial;
    while (state == line_state::partial && !s.ended) {
        std::span<char> room = line_room(line);
        fuzz::require(room.data() == line.text + s.given && room.size() > 0 &&
                          room.size() == request_capacity - s.given,
                      "the room is not what follows the bytes held");
        std::size_t got = scripted_read(s, room);
        if (got > 0)
            state = line_took(line, got);
        fuzz::require(line.held == s.given, "the count held differs from the bytes read");
    }

    std::size_t held = s.given;
    std::string_view got(s.data.data(), held);
    std::size_t feed = got.find('\n');
    fuzz::require(held <= request_capacity, "more than the capacity held");
    fuzz::require((state == line_state::complete) == (feed != std::string_view::npos),
                  "complete without a line feed, or a line feed not seen");
    fuzz::require((state == line_state::too_long) ==
                      (feed == std::string_view::npos && held == request_capacity),
                  "too long with room left or a line feed held, or not said");
    fuzz::require(state != line_state::partial || s.ended, "stopped reading a partial line");

    std::string_view command = line_request(line);
    for (unsigned char c : buffer->canary)
        fuzz::require(c == canary_byte, "written past the request line");
    if (state == line_state::too_long) {
        fuzz::require(command.empty(), "a line too long gave a request");
        delete buffer;
        return 0;
    }

    // The first line only, trailing blanks dropped; a zero byte stays.
    std::string expected(got.substr(0, feed));
    while (!expected.empty() && is_blank(expected.back()))
        expected.pop_back();
    fuzz::require(command.data() == line.text, "the command does not point at the text");
    fuzz::require(command == expected, "the command is not the trimmed first line");
    fuzz::require(line.text[command.size()] == '\0', "the command is not zero-terminated");
    for (std::size_t i = 0; i < held; i++)
        fuzz::require(i == command.size() || line.text[i] == got[i],
                      "a byte read was changed other than by the terminating zero");
    for (std::size_t i = held; i < request_capacity; i++)
        fuzz::require(i == command.size() ||
                          static_cast<unsigned char>(line.text[i]) == untouched_byte,
                      "written past what was read");

    delete buffer;
    return 0;
}
