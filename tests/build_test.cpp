// Properties of the shipped binary itself: what it needs at run time and
// what it must never call. Not built with the sanitizers, whose runtimes
// are extra libraries and allocators by design.

#include "harness.hpp"

#include <sstream>

namespace {

std::vector<std::string>
lines_matching(const std::string &text, const std::string &needle) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

// The service and its client alike.
class Binary : public ::testing::TestWithParam<const char *> {};

TEST_P(Binary, NeedsLibcAlone) {
    harness::result r = harness::run_process({"readelf", "-d", GetParam()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> needed = lines_matching(r.out, "(NEEDED)");
    ASSERT_EQ(needed.size(), 1u) << r.out;
    EXPECT_NE(needed[0].find("[libc.so"), std::string::npos) << needed[0];
}

// Nothing in the program may take memory from the heap; stdio's buffer is a
// static one. The undefined symbols show every allocator it could reach.
TEST_P(Binary, NeverAllocates) {
    harness::result r = harness::run_process({"nm", "-u", "-C", GetParam()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *allocator :
         {" malloc", " calloc", " realloc", " free", " operator new", " operator delete", " strdup",
          " strndup", " asprintf", " vasprintf", " posix_memalign", " getline", " fopen", " fdopen",
          " popen", " system"}) {
        EXPECT_TRUE(lines_matching(r.out, allocator).empty()) << allocator << " in\n" << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, Binary, ::testing::Values(VANTREL_BINARY, VANTREL_CTL),
                         [](const auto &info) {
                             return std::string(info.index == 0 ? "vantrel" : "vantrelctl");
                         });

} // namespace
