#include "ctl/connection.hpp"

#include "runner/location.hpp"
#include "runner/retry.hpp"
#include "runner/text.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <err.h>
#include <grp.h>
#include <poll.h>
#include <unistd.h>

static void report_unreachable();
static int try_connect(const sockaddr_un &addr);
static void name_socket_group();
static int pass_lines(char *held, std::size_t *length, bool *any, line_writer writer);
static int pass_line(const char *start, std::size_t length, line_writer writer);

static constexpr std::size_t reply_chunk = 4096;
// A refused connect is tried again this often, for about a second.
static constexpr int refused_tries = 100;
static constexpr timespec refused_pause = {0, 10000000};
// Room for a group entry and its member list; a larger one is named by its
// number instead.
static constexpr std::size_t group_entry_capacity = 8192;
static constexpr char error_word[] = "error";
static constexpr std::size_t error_length = sizeof error_word - 1;

bool
begins_with_error(const char *text) {
    return std::strncmp(text, error_word, error_length) == 0;
}

int
write_all(int fd, const char *data, std::size_t length) {
    while (length > 0) {
        ssize_t n = retry_interrupted([&] { return write(fd, data, length); });
        if (n <= 0)
            return -1;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

int
write_line(int fd, const char *text) {
    char line[line_capacity + 1];
    std::size_t length = bounded_length(text, line_capacity);
    std::memcpy(line, text, length);
    line[length++] = '\n';
    return write_all(fd, line, length);
}

// Only the socket's own group can let this user in, so the hint names it.
static void
name_socket_group() {
    struct stat st;
    if (stat(socket_path, &st) == -1)
        return;
    static char entry[group_entry_capacity];
    group gr;
    group *found = nullptr;
    if (getgrgid_r(st.st_gid, &gr, entry, sizeof entry, &found) == 0 && found != nullptr)
        warnx("not a member of group %s?", gr.gr_name);
    else
        warnx("not a member of group %u?", static_cast<unsigned>(st.st_gid));
}

static void
report_unreachable() {
    int saved = errno;
    warn("%s", socket_path);
    if (saved == ENOENT || saved == ECONNREFUSED)
        warnx("the service does not seem to be running");
    else if (saved == EACCES)
        name_socket_group();
}

int
connect_service() {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (copy_text(addr.sun_path, sizeof addr.sun_path, socket_path) == -1) {
        errno = ENAMETOOLONG;
        warn("%s", socket_path);
        return -1;
    }
    // FreeBSD refuses a connect at once while the service's listen queue
    // is full: unp_connect (sys/kern/uipc_usrreq.c) fails with
    // ECONNREFUSED when sonewconn finds no room, just as when nobody
    // listens. The service empties its queue at every wake, so a refusal
    // that passes within a second was a storm of connects, not a service
    // that is gone.
    for (int tries = 1;; tries++) {
        int fd = try_connect(addr);
        if (fd != -1 || errno != ECONNREFUSED || tries == refused_tries) {
            if (fd == -1)
                report_unreachable();
            return fd;
        }
        nanosleep(&refused_pause, nullptr);
    }
}

// A fresh socket each time: one whose connect failed is not used again.
static int
try_connect(const sockaddr_un &addr) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == -1) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// MSG_NOSIGNAL: a service that is gone makes this fail, not kill the client.
int
send_request(int fd, const char *text, std::size_t length) {
    while (length > 0) {
        ssize_t n = retry_interrupted([&] { return send(fd, text, length, MSG_NOSIGNAL); });
        if (n == -1) {
            warn("%s", socket_path);
            return -1;
        }
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

int
relay_reply(int fd) {
    char chunk[reply_chunk];
    char head[error_length + 1] = {};
    std::size_t total = 0;
    for (;;) {
        ssize_t n = retry_interrupted([&] { return read(fd, chunk, sizeof chunk); });
        if (n <= 0)
            break;
        auto got = static_cast<std::size_t>(n);
        if (total < error_length)
            std::memcpy(head + total, chunk, std::min(got, error_length - total));
        total += got;
        if (write_all(STDOUT_FILENO, chunk, got) == -1) {
            warn("stdout");
            return 2;
        }
    }
    if (total == 0 || head[0] == '\n') {
        warnx("%s: no reply", socket_path);
        return 2;
    }
    return begins_with_error(head) ? 1 : 0;
}

// One line of length bytes, with its line feed, as it is or through writer.
// A writer is given only whole lines.
static int
pass_line(const char *start, std::size_t length, line_writer writer) {
    if (writer == nullptr) {
        if (write_all(STDOUT_FILENO, start, length) == -1) {
            warn("stdout");
            return -1;
        }
        return 0;
    }
    if (start[length - 1] != '\n') {
        warnx("%s: line too long", socket_path);
        return 1;
    }
    char line[line_capacity];
    std::memcpy(line, start, length - 1);
    line[length - 1] = '\0';
    return writer(line);
}

// Writes each whole line of held to standard output, one write a line,
// and keeps the rest at its start; a line longer than any the service
// sends goes out as it is. Returns 0, 1 when the first line of all is an
// error (written) or writer refused a line, or -1 when the output failed
// (reported).
static int
pass_lines(char *held, std::size_t *length, bool *any, line_writer writer) {
    std::size_t start = 0;
    while (const void *end = std::memchr(held + start, '\n', *length - start)) {
        std::size_t line = static_cast<std::size_t>(static_cast<const char *>(end) - held) + 1;
        bool refused = !*any && begins_with_error(held + start);
        if (int rc = pass_line(held + start, line - start, writer); rc != 0)
            return rc;
        if (refused)
            return 1;
        *any = true;
        start = line;
    }
    if (start == 0 && *length == line_capacity) {
        start = *length;
        if (int rc = pass_line(held, start, writer); rc != 0)
            return rc;
    }
    std::memmove(held, held + start, *length - start);
    *length -= start;
    return 0;
}

int
relay_lines(int fd, line_writer writer) {
    char held[line_capacity];
    std::size_t length = 0;
    bool any = false;
    for (;;) {
        ssize_t n =
            retry_interrupted([&] { return read(fd, held + length, sizeof held - length); });
        if (n <= 0)
            break;
        length += static_cast<std::size_t>(n);
        if (int rc = pass_lines(held, &length, &any, writer); rc != 0)
            return rc == 1 ? 1 : 2;
    }
    if (!any) {
        warnx("%s: no reply", socket_path);
        return 2;
    }
    warnx("the service ended the watch");
    return 1;
}

int
read_first_line(int fd, char *line) {
    std::size_t held = 0;
    while (held < line_capacity - 1 && std::memchr(line, '\n', held) == nullptr) {
        ssize_t n =
            retry_interrupted([&] { return read(fd, line + held, line_capacity - 1 - held); });
        if (n <= 0)
            break;
        held += static_cast<std::size_t>(n);
    }
    line[held] = '\0';
    line[std::strcspn(line, "\n")] = '\0';
    if (line[0] == '\0') {
        warnx("%s: no reply", socket_path);
        return -1;
    }
    return 0;
}

bool
has_input(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

bool
service_closed(int fd) {
    char scratch[64];
    while (has_input(fd)) {
        if (retry_interrupted([&] { return read(fd, scratch, sizeof scratch); }) <= 0)
            return true;
    }
    return false;
}
