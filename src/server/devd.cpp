#include "server/devd.hpp"

#include "runner/text.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

// The keys an event is told by, in the order of devd_fields' slots.
enum : std::uint8_t { key_system, key_subsystem, key_type, key_notify, key_count };

struct devd_fields {
    std::string_view value[key_count];
    bool seen[key_count];
};

struct event_rule {
    std::string_view system;
    std::string_view subsystem;
    std::string_view type;   // empty: any or none
    std::string_view notify; // empty: any or none; any_value: present
    devd_event event;
};

static bool take_word(std::string_view word, devd_fields &fields);
static bool read_fields(std::string_view text, devd_fields &fields);
static bool matches(const event_rule &rule, const devd_fields &fields);

static constexpr std::string_view key_names[key_count] = {"system", "subsystem", "type", "notify"};
// Matches a key that is present, whatever its value.
static constexpr std::string_view any_value = "*";

// Taken in order: the first rule that matches names the event.
static constexpr event_rule event_rules[] = {
    {"ACPI", "Lid", "", "0x00", devd_event::lid_closed},
    {"ACPI", "Lid", "", any_value, devd_event::lid_opened},
    {"ACPI", "ACAD", "", "0x00", devd_event::on_battery},
    {"ACPI", "ACAD", "", "0x01", devd_event::on_ac},
    {"ACPI", "CMBAT", "", "", devd_event::battery_changed},
    {"ACPI", "Resume", "", "", devd_event::resumed},
    {"kernel", "power", "resume", "", devd_event::resumed},
    {"kern", "power", "resume", "", devd_event::resumed},
};

// 15's unix sockets end each record with MSG_EOR and hand a long one over
// in pieces (sys/kern/uipc_usrreq.c); Linux never sets MSG_EOR.
#if defined(__FreeBSD__)
static constexpr bool record_ends_marked = true;
#else
static constexpr bool record_ends_marked = false;
#endif

// Owned by devd_receive: a record too long is being read in pieces.
static bool in_long_record;

// FreeBSD's sun_path size, as for the control socket.
static_assert(sizeof devd_socket_path <= 104);

static bool
take_word(std::string_view word, devd_fields &fields) {
    std::size_t equals = word.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return false;
    std::string_view key = text_head(word, equals);
    for (std::uint8_t k = 0; k < key_count; k++) {
        if (key != key_names[k])
            continue;
        if (fields.seen[k])
            return false;
        fields.seen[k] = true;
        fields.value[k] = text_tail(word, equals + 1);
    }
    return true;
}

// text is what follows the "!".
static bool
read_fields(std::string_view text, devd_fields &fields) {
    for (;;) {
        std::size_t space = text.find(' ');
        if (!take_word(text_head(text, space), fields))
            return false;
        if (space == std::string_view::npos)
            return true;
        text.remove_prefix(space + 1);
    }
}

static bool
matches(const event_rule &rule, const devd_fields &fields) {
    auto is = [&fields](std::uint8_t key, std::string_view want) {
        if (want.empty())
            return true;
        return fields.seen[key] && (want == any_value || fields.value[key] == want);
    };
    return is(key_system, rule.system) && is(key_subsystem, rule.subsystem) &&
           is(key_type, rule.type) && is(key_notify, rule.notify);
}

devd_event
parse_devd_event(std::string_view message) {
    if (!message.empty() && message.back() == '\n')
        message.remove_suffix(1);
    if (message.empty() || message.front() != '!')
        return devd_event::none;
    devd_fields fields{};
    if (!read_fields(text_tail(message, 1), fields))
        return devd_event::none;
    for (const event_rule &rule : event_rules) {
        if (matches(rule, fields))
            return rule.event;
    }
    return devd_event::none;
}

int
devd_connect() {
    in_long_record = false;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1)
        return -1;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, devd_socket_path, sizeof devd_socket_path);
    // The length covers the path without its terminating zero.
    auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof devd_socket_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), length) == -1) {
        int saved_errno = errno;
        close(fd);
        errno = saved_errno;
        return -1;
    }
    return fd;
}

devd_received
devd_receive(int fd) {
    char message[devd_message_capacity];
    iovec part = {message, sizeof message};
    msghdr header;
    std::memset(&header, 0, sizeof header);
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &header, MSG_DONTWAIT);
    if (n == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return {devd_status::nothing, devd_event::none};
    if (n <= 0)
        return {devd_status::closed, devd_event::none};
    auto length = static_cast<std::size_t>(n);
    devd_verdict verdict =
        devd_judge_read(in_long_record, length, header.msg_flags, record_ends_marked);
    in_long_record = verdict.discarding;
    if (!verdict.take)
        return {devd_status::message, devd_event::none};
    return {devd_status::message, parse_devd_event({message, length})};
}

devd_verdict
devd_judge_read(bool discarding, std::size_t length, int flags, bool marked_ends) {
    if ((flags & MSG_TRUNC) != 0)
        return {false, false};
    if (!marked_ends)
        return {true, false};
    bool ends = (flags & MSG_EOR) != 0;
    if (discarding)
        return {!ends && length < devd_message_capacity, !ends && length == devd_message_capacity};
    if (!ends && length == devd_message_capacity)
        return {false, true};
    return {true, false};
}

unsigned
devd_next_delay(unsigned previous) {
    if (previous == 0)
        return 1;
    return previous >= devd_retry_cap_seconds / 2 ? devd_retry_cap_seconds : previous * 2;
}
