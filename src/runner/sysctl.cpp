#include "runner/sysctl.hpp"

#include "runner/exec.hpp"
#include "runner/retry.hpp"
#include "runner/text.hpp"

#include <cerrno>
#include <unistd.h>

// One line at a time through line; over_long marks a line whose start did
// not fit, or that held a zero byte no name has, so that none of it is
// taken.
struct line_stream {
    char line[sysctl_name_capacity];
    std::size_t held;
    bool over_long;
};

static std::size_t read_all(int fd, char *buffer, std::size_t capacity);
static int read_setting(const char *flags, const char *name, char *buffer, std::size_t capacity);
static pid_t start_reader(const char *flags, const char *name, int *out);
static int end_reader(pid_t pid, int fd);
static void stream_bytes(line_stream &stream, const char *bytes, std::size_t length,
                         sysctl_line_taker take, void *context);

static constexpr char sysctl_path[] = "/sbin/sysctl";

// Reads until end of stream, a failure, or capacity - 1 bytes; the rest of
// a longer output is never read. Returns the bytes held, zero-terminated.
static std::size_t
read_all(int fd, char *buffer, std::size_t capacity) {
    std::size_t held = 0;
    while (held < capacity - 1) {
        ssize_t n = retry_interrupted([&] { return read(fd, buffer + held, capacity - 1 - held); });
        if (n <= 0)
            break;
        held += static_cast<std::size_t>(n);
    }
    buffer[held] = '\0';
    return held;
}

std::size_t
trim_line_ends(char *text, std::size_t length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    return length;
}

// flags is "-n", "-qn" or "-qN": FreeBSD's sysctl -q keeps "unknown oid" to
// itself and still exits 1 (sbin/sysctl/sysctl.c). Returns the child with
// the read end of its standard output in out, or -1 with nothing left open.
static pid_t
start_reader(const char *flags, const char *name, int *out) {
    char local_name[sysctl_name_capacity];
    if (copy_text(local_name, sizeof local_name, name) == -1)
        return -1;
    // exec never writes through its argument vector.
    char *argv[] = {const_cast<char *>(sysctl_path), const_cast<char *>(flags), local_name,
                    nullptr};

    int fds[2];
    if (pipe(fds) == -1)
        return -1;
    pid_t pid = run_tool_piped(sysctl_path, argv, fds);
    close(fds[1]);
    if (pid == -1) {
        close(fds[0]);
        return -1;
    }
    *out = fds[0];
    return pid;
}

static int
end_reader(pid_t pid, int fd) {
    close(fd);
    int status = wait_child(pid);
    return status != -1 && child_succeeded(status) ? 0 : -1;
}

static int
read_setting(const char *flags, const char *name, char *buffer, std::size_t capacity) {
    int fd = -1;
    pid_t pid = start_reader(flags, name, &fd);
    if (pid == -1)
        return -1;
    std::size_t held = read_all(fd, buffer, capacity);
    if (end_reader(pid, fd) == -1)
        return -1;
    trim_line_ends(buffer, held);
    return 0;
}

static void
stream_bytes(line_stream &stream, const char *bytes, std::size_t length, sysctl_line_taker take,
             void *context) {
    for (std::size_t i = 0; i < length; i++) {
        if (bytes[i] == '\n') {
            stream.line[stream.held] = '\0';
            if (!stream.over_long && stream.held > 0)
                take(stream.line, context);
            stream.held = 0;
            stream.over_long = false;
        } else if (bytes[i] != '\0' && stream.held + 1 < sizeof stream.line) {
            stream.line[stream.held++] = bytes[i];
        } else {
            stream.over_long = true;
        }
    }
}

// The whole list is read, whatever the caller keeps of it, so that the tool
// ends as it would at a terminal and its status means what it says.
int
sysctl_list(const char *prefix, sysctl_line_taker take, void *context) {
    int fd = -1;
    pid_t pid = start_reader("-qN", prefix, &fd);
    if (pid == -1)
        return -1;
    line_stream stream = {};
    char chunk[sysctl_name_capacity];
    for (;;) {
        ssize_t n = retry_interrupted([&] { return read(fd, chunk, sizeof chunk); });
        if (n <= 0)
            break;
        stream_bytes(stream, chunk, static_cast<std::size_t>(n), take, context);
    }
    // A last line without its end.
    stream_bytes(stream, "\n", 1, take, context);
    return end_reader(pid, fd);
}

int
sysctl_read(const char *name, char *buffer, std::size_t capacity) {
    return read_setting("-n", name, buffer, capacity);
}

int
sysctl_probe(const char *name, char *buffer, std::size_t capacity) {
    return read_setting("-qn", name, buffer, capacity);
}

// -N prints the name alone; the kernel's handler is never called.
bool
sysctl_exists(const char *name) {
    char printed[sysctl_name_capacity];
    return read_setting("-qN", name, printed, sizeof printed) == 0 && printed[0] != '\0';
}

int
sysctl_write(const char *name, const char *value) {
    char pair[sysctl_name_capacity];
    if (format_pair(pair, sizeof pair, name, value) == -1)
        return -1;
    char tool[] = "sysctl";
    char *argv[] = {tool, pair, nullptr};

    pid_t pid = run_tool(sysctl_path, argv);
    if (pid == -1)
        return -1;
    int status = wait_child(pid);
    return status != -1 && child_succeeded(status) ? 0 : -1;
}
