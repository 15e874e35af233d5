// Pieces shared by the fuzz targets: failing loudly, reading the fuzz input
// field by field, and turning input bytes into a scripted child.
#pragma once

#include "fake_exec.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace fuzz {

// The pieces of text between each separator, empty ones included.
inline std::vector<std::string>
split(const std::string &text, char separator) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

// Straight to descriptor 2: targets that exercise warnx() point the stdio
// stream elsewhere, and the reason for a trap must still be seen.
[[noreturn]] inline void
fail(const char *what) {
    static const char prefix[] = "fuzz property violated: ";
    (void)!write(2, prefix, sizeof prefix - 1);
    (void)!write(2, what, std::strlen(what));
    (void)!write(2, "\n", 1);
    __builtin_trap();
}

inline void
require(bool holds, const char *what) {
    if (!holds)
        fail(what);
}

// Reads the input front to back; a field past the end reads as zeros or
// as empty, so every input decodes to something.
class input {
  public:
    input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t u8() {
        return at_ < size_ ? data_[at_++] : 0;
    }
    std::uint16_t u16() {
        auto lo = u8();
        auto hi = u8();
        return static_cast<std::uint16_t>(lo | (hi << 8));
    }
    std::uint32_t u32() {
        std::uint32_t lo = u16();
        std::uint32_t hi = u16();
        return lo | (hi << 16);
    }
    std::string_view bytes(std::size_t n) {
        if (n > size_ - at_)
            n = size_ - at_;
        std::string_view out(reinterpret_cast<const char *>(data_ + at_), n);
        at_ += n;
        return out;
    }
    std::string_view rest() {
        return bytes(size_ - at_);
    }
    bool empty() const {
        return at_ >= size_;
    }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The wait status part of a child, from a kind byte (low three bits) and
// the fields that kind needs.
inline void
decode_status(std::uint8_t kind, input &in, fake::child &c) {
    switch (kind & 7) {
    case 1: // exit with a code
        c.status = in.u8() << 8;
        break;
    case 2:
        c.spawn_fails = true;
        break;
    case 3: // the wait itself failed
        c.status = -1;
        break;
    case 4: // any status word at all
        c.status = static_cast<int>(in.u32());
        break;
    case 5: // killed by a signal, maybe with a core dump
        c.status = in.u8() & 0xff;
        break;
    case 6: // exit 0 with the core-dump flag
        c.status = 0200;
        break;
    default: // exit 0
        c.status = 0;
        break;
    }
}

// A whole child: kind byte, status fields, then its output with a one-byte
// length, or a two-byte length when bit 3 of the kind is set.
inline fake::child
decode_child(input &in) {
    fake::child c;
    std::uint8_t kind = in.u8();
    decode_status(kind, in, c);
    std::size_t length = (kind & 8) ? in.u16() : in.u8();
    if (length > fake::output_limit)
        length = fake::output_limit;
    c.output = std::string(in.bytes(length));
    return c;
}

// The documented rule for a child's outcome, written out independently of
// the runner's: exited normally with 0, the core-dump flag alone allowed.
inline bool
reference_succeeded(int status) {
    return status != -1 && (status & ~0200) == 0;
}

// Splits on ' ' alone; a word is present when one piece equals it.
inline bool
reference_has_token(std::string_view list, std::string_view word) {
    if (word.empty())
        return false;
    std::size_t from = 0;
    for (;;) {
        std::size_t space = list.find(' ', from);
        std::string_view piece = list.substr(
            from, space == std::string_view::npos ? std::string_view::npos : space - from);
        if (piece == word)
            return true;
        if (space == std::string_view::npos)
            return false;
        from = space + 1;
    }
}

// Text up to its first zero byte.
inline std::string
c_string(std::string_view text) {
    std::size_t zero = text.find('\0');
    return std::string(text.substr(0, zero));
}

inline void
trim_line_ends_model(std::string &text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
}

} // namespace fuzz
