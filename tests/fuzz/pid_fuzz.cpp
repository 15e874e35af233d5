// The pid file parser, against strtoll with a range check. The whole input
// is the file's content, handed over without a terminating zero in a buffer
// of exactly its size.
#include "fuzz_support.hpp"

#include "cli/service.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int
reference_parse(const std::string &text) {
    const char *start = text.c_str();
    // strtoll skips the same six white-space characters in the C locale,
    // then takes an optional sign and decimal digits.
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(start, &end, 10);
    if (end == start) // no digits after the white space and sign
        return -1;
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return -1;
    return static_cast<int>(value);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Exactly size bytes (none for an empty file), so the address sanitizer
    // sees any look past the end.
    auto *text = new char[size];
    if (size > 0)
        std::memcpy(text, data, size);
    int got = parse_pid(text, size);
    delete[] text;

    // The reference reads a C string, which ends at the first zero byte.
    std::string copy(reinterpret_cast<const char *>(data), size);
    int expected = reference_parse(copy);
    fuzz::require(got == expected, "parse_pid disagrees with strtoll");
    return 0;
}
