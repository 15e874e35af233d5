// The sleep-type token matcher and the discovery built on it.
//
// Input: byte 0 is the length of the word, which follows; then a kind byte
// and its status fields for the sysctl child (fuzz_support.hpp,
// decode_status); the rest is the list, both as has_token's list and as what
// the child prints for kern.power.supported_stype. A child that fails is
// played again for the fallback list, hw.acpi.supported_sleep_state.
#include "fuzz_support.hpp"

#include "lid/lid.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Some occurrence of word stands between a space or the start and a space
// or the end.
bool
bounded_occurrence(std::string_view list, std::string_view word) {
    for (std::size_t at = list.find(word); at != std::string_view::npos;
         at = list.find(word, at + 1)) {
        std::size_t end = at + word.size();
        if ((at == 0 || list[at - 1] == ' ') && (end == list.size() || list[end] == ' '))
            return true;
    }
    return false;
}

void
check_has_token(std::string_view list, std::string_view word) {
    bool got = has_token(list, word);
    bool reference = fuzz::reference_has_token(list, word);
    if (word.find(' ') == std::string_view::npos) {
        fuzz::require(got == reference, "has_token disagrees with splitting on spaces");
        return;
    }
    // A word that itself holds a space is never one space-separated piece,
    // yet has_token accepts it where it spans several. No caller passes
    // such a word; what still must hold is that nothing is invented.
    fuzz::require(!got || (!word.empty() && bounded_occurrence(list, word)),
                  "has_token found a word that does not stand between spaces");
}

std::string
expected_name(const std::string &list, const char *preferred, const char *fallback) {
    if (fuzz::reference_has_token(list, preferred))
        return preferred;
    if (fuzz::reference_has_token(list, fallback))
        return fallback;
    return "";
}

void
check_probe(const fake::child &child) {
    std::memset(s0ix_stype, 0, sizeof s0ix_stype);
    std::memset(s3_stype, 0, sizeof s3_stype);
    fake::start({child, child});
    int result = probe_sleep_types();
    fake::require_settled();

    bool ok = !child.spawn_fails && fuzz::reference_succeeded(child.status);
    std::vector<fake::call> reads{
        {"/sbin/sysctl", {"/sbin/sysctl", "-qn", "kern.power.supported_stype"}, true}};
    if (!ok)
        reads.push_back(
            {"/sbin/sysctl", {"/sbin/sysctl", "-n", "hw.acpi.supported_sleep_state"}, true});
    fuzz::require(fake::calls() == reads, "discovery did not read the lists it should");

    std::string list = child.output.substr(0, 127);
    fuzz::trim_line_ends_model(list);
    list = fuzz::c_string(list);
    std::string s0ix_want = ok ? expected_name(list, "suspend_to_idle", "s2idle") : "";
    std::string s3_want = ok ? expected_name(list, "fw_suspend", "s2mem") : "";

    fuzz::require(result == (ok ? 0 : -1), "discovery result differs from the tool's outcome");
    fuzz::require(s0ix_want == s0ix_stype, "wrong S0ix name discovered");
    fuzz::require(s3_want == s3_stype, "wrong S3 name discovered");
    fuzz::require(std::strlen(s0ix_stype) == 0 || std::strcmp(s0ix_stype, "suspend_to_idle") == 0 ||
                      std::strcmp(s0ix_stype, "s2idle") == 0,
                  "S0ix name is not one of the known ones");
    fuzz::require(std::strlen(s3_stype) == 0 || std::strcmp(s3_stype, "fw_suspend") == 0 ||
                      std::strcmp(s3_stype, "s2mem") == 0,
                  "S3 name is not one of the known ones");

    // Once a name is known the list is not read again; until then it is.
    bool known = s0ix_stype[0] != '\0' || s3_stype[0] != '\0';
    std::size_t before = fake::calls().size();
    fuzz::require(probe_sleep_types() == 0, "a repeated discovery failed");
    fake::require_settled();
    fuzz::require(fake::calls().size() == before + (known ? 0 : 1),
                  "the list was read again after a name was known, or not read while none was");
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::input in(data, size);
    std::string_view word = in.bytes(in.u8());
    fake::child child;
    fuzz::decode_status(in.u8(), in, child);
    std::string_view list = in.rest();

    check_has_token(list, word);

    child.output = std::string(list.substr(0, fake::output_limit));
    check_probe(child);
    return 0;
}
