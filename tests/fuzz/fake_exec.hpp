// A stand-in for the tool runners (run_tool, run_tool_piped, wait_child)
// that keeps the fuzz targets in-process: no fork, no exec. Each "child" is scripted by the
// fuzz input: whether it can be started, the bytes it prints into the pipe it
// is given and the wait status it ends with. Every call is recorded so that a
// target can compare what the code ran with what it should have run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fake {

struct child {
    bool spawn_fails = false;
    // What wait_child returns; -1 stands for a failed wait.
    int status = 0;
    // Written into the pipe when the code hands one over; a child run
    // without a pipe prints to the service's own output, which is dropped.
    std::string output;
};

struct call {
    std::string path;
    std::vector<std::string> argv;
    bool piped = false;

    bool operator==(const call &) const = default;
};

// Output larger than this could not be written into a pipe in-process
// without a reader on the other end.
inline constexpr std::size_t output_limit = 4096;

// Starts a new script. Past its end every spawn gets a default child: one
// that starts, prints nothing and exits 0.
void start(std::vector<child> script);

const std::vector<call> &calls();

// Traps unless every child that was started has been waited for and every
// pipe end handed to a child has been closed since.
void require_settled();

} // namespace fake
