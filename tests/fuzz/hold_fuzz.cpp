// The hold grammar, its DURATION parser and its reasons, against a model
// written from the grammar's own words with std::string and std::regex.
// The input is the trimmed request, handed over in a buffer of exactly its
// size.
#include "fuzz_support.hpp"

#include "protocol/hold_words.hpp"

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace {

long long
model_duration(const std::string &d) {
    std::string digits = d;
    long long unit = 1;
    if (!d.empty() && std::string("smhd").find(d.back()) != std::string::npos) {
        unit = d.back() == 's' ? 1 : d.back() == 'm' ? 60 : d.back() == 'h' ? 3600 : 86400;
        digits.pop_back();
    }
    if (digits.empty() || digits.size() > 7 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    long long seconds = std::stoll(digits) * unit;
    return seconds >= 1 && seconds <= 7 * 86400 ? seconds : -1;
}

// "hold [DURATION] [why TEXT]": TEXT is 1 to 64 printable ASCII bytes, the
// first not a space. A first word that is neither a DURATION in range nor
// "why" makes a bad duration; any other mismatch, a bad reason.
server_word
model_hold(const std::string &r, long long *seconds, std::string *reason) {
    static const std::regex grammar("hold(?: ([0-9]{1,7}[smhd]?))?(?: why ([!-~][ -~]{0,63}))?");
    std::smatch m;
    std::string rest = r.substr(5);
    std::string first = rest.substr(0, rest.find(' '));
    if (first != "why" && model_duration(first) == -1)
        return server_word::bad_duration;
    if (!std::regex_match(r, m, grammar))
        return server_word::bad_reason;
    *reason = m[2].str();
    *seconds = m[1].matched ? model_duration(m[1].str()) : 0;
    return m[1].matched ? server_word::hold_timed : server_word::hold;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // A copy of exactly its size, so the address sanitizer sees any look
    // past the end.
    std::vector<char> text(data, data + size);
    server_request got = classify_request({text.data(), size});

    std::string r(text.begin(), text.end());
    server_word want = server_word::other;
    long long seconds = 0;
    std::string reason;
    if (r == "hold")
        want = server_word::hold;
    else if (r == "holds")
        want = server_word::holds;
    else if (r == "release")
        want = server_word::release;
    else if (r == "power")
        want = server_word::power;
    else if (r == "state")
        want = server_word::state;
    else if (r == "watch")
        want = server_word::watch;
    else if (r.rfind("hold ", 0) == 0)
        want = model_hold(r, &seconds, &reason);
    fuzz::require(got.word == want, "classify_request disagrees with the grammar");
    if (want == server_word::hold_timed)
        fuzz::require(got.seconds == seconds, "hold seconds differ from the model");
    fuzz::require(std::string(got.reason) == reason, "hold reason differs from the model");
    return 0;
}
