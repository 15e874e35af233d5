// The runner's fork/exec functions, replaced for the fuzz targets. The real
// src/runner/exec.cpp is compiled next to this with its runners and
// wait_child renamed, so child_succeeded stays the program's own rule.
#include "fake_exec.hpp"

#include "fuzz_support.hpp"
#include "runner/exec.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace fake {

namespace {

std::vector<child> script_;
std::size_t next_ = 0;
std::vector<call> calls_;
std::vector<int> pipe_ends_;
// The child started and not yet waited for, or 0.
pid_t outstanding_ = 0;
int outstanding_status_ = 0;
pid_t last_pid_ = 1000;

bool
is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

void
write_all(int fd, const std::string &text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = write(fd, text.data() + sent, text.size() - sent);
        if (n == -1 && errno == EINTR)
            continue;
        fuzz::require(n > 0, "fake child could not write its output into the pipe");
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace

void
start(std::vector<child> script) {
    script_ = std::move(script);
    next_ = 0;
    calls_.clear();
    pipe_ends_.clear();
    outstanding_ = 0;
}

const std::vector<call> &
calls() {
    return calls_;
}

void
require_settled() {
    fuzz::require(outstanding_ == 0, "a child was started and never waited for");
    for (int fd : pipe_ends_)
        fuzz::require(!is_open(fd), "a pipe end handed to a child is still open");
}

} // namespace fake

// One scripted child for either runner; pipe_fds is null for run_tool.
static pid_t
fake_run(const char *path, char *const argv[], const int *pipe_fds) {
    using namespace fake;
    fuzz::require(outstanding_ == 0, "a child was started before the last one was waited for");
    fuzz::require(path != nullptr && path[0] == '/', "a tool was run without an absolute path");
    fuzz::require(argv != nullptr && argv[0] != nullptr, "a tool was run without argv[0]");

    call c;
    c.path = path;
    for (std::size_t i = 0; argv[i] != nullptr; i++) {
        fuzz::require(i < 16, "argument list without an end");
        c.argv.emplace_back(argv[i]);
    }
    c.piped = pipe_fds != nullptr;
    calls_.push_back(c);

    child scripted = next_ < script_.size() ? script_[next_++] : child{};
    if (pipe_fds != nullptr) {
        fuzz::require(is_open(pipe_fds[0]) && is_open(pipe_fds[1]),
                      "a child was handed a closed pipe");
        fuzz::require((fcntl(pipe_fds[1], F_GETFL) & O_ACCMODE) == O_WRONLY,
                      "the child's end of the pipe is not the write end");
        pipe_ends_.push_back(pipe_fds[0]);
        pipe_ends_.push_back(pipe_fds[1]);
    }
    if (scripted.spawn_fails)
        return -1;
    // The bytes wait in the pipe exactly as a child that has already run
    // and exited would have left them.
    if (pipe_fds != nullptr)
        write_all(pipe_fds[1], scripted.output.substr(0, output_limit));
    // Any positive number will do; it only has to come back to wait_child.
    last_pid_ = last_pid_ < 1000000 ? last_pid_ + 1 : 1001;
    outstanding_ = last_pid_;
    outstanding_status_ = scripted.status;
    return outstanding_;
}

pid_t
run_tool(const char *path, char *const argv[]) {
    return fake_run(path, argv, nullptr);
}

pid_t
run_tool_piped(const char *path, char *const argv[], const int pipe_fds[2]) {
    fuzz::require(pipe_fds != nullptr, "a piped run without a pipe");
    return fake_run(path, argv, pipe_fds);
}

int
wait_child(pid_t pid) {
    using namespace fake;
    fuzz::require(pid > 0 && pid == outstanding_, "waited for a child that is not running");
    outstanding_ = 0;
    return outstanding_status_;
}
