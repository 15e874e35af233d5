// vantrelctl: the group members' client of the vantrel service. It sends
// one request and relays the reply, or holds the lid awake, alone or while
// a utility runs.

#include "ctl/connection.hpp"
#include "ctl/utility.hpp"
#include "runner/location.hpp"

#include <sys/select.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

static void guard_standard_descriptors();
[[noreturn]] static void usage_error(int status, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
static bool looks_like_duration(const char *word);
static int parse_hold_options(int argc, char *argv[], const char **duration);
static std::size_t join_words(const char *const words[], int count, char *request);
static int plain_command(const char *const words[], int count);
static int send_hold();
static void on_ending_signal(int sig);
static bool wait_for_input(int fd, const sigset_t *wait_mask);
static int hold_alone();
static int hold_around(char *const utility[]);

static constexpr char usage_text[] =
    "usage: vantrelctl command [word ...]\n"
    "       vantrelctl hold [-t duration] [utility [argument ...]]\n";

// The longest request the service takes is 255 bytes with its line feed.
static constexpr std::size_t request_limit = 254;
static_assert(request_limit + 1 < line_capacity);
static constexpr std::size_t duration_digits_max = 7;

// Exit statuses. In the form with a utility the client's own failures use
// status_utility_form, so that none passes for the utility's 1 or 2.
static constexpr int status_done = 0;
static constexpr int status_error_reply = 1;
static constexpr int status_failed = 2;
static constexpr int status_utility_form = 125;

static constexpr char hold_request[] = "hold\n";
// Each ends a hold without a utility, and the client with it.
static constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Set by an ending signal. Those signals are blocked except while the
// client waits, so none is missed between a test and the wait, and a reply
// that has come is printed even when a signal comes with it.
static volatile std::sig_atomic_t hold_ending = 0;

// A standard descriptor closed at start would be taken by the connection,
// and the reply, or a utility's output, would go to the service.
static void
guard_standard_descriptors() {
    int fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= STDERR_FILENO)
        fd = open("/dev/null", O_RDWR);
    if (fd > STDERR_FILENO)
        close(fd);
}

static void
usage_error(int status, const char *format, ...) {
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        vwarnx(format, args);
        va_end(args);
    }
    std::fputs(usage_text, stderr);
    std::exit(status);
}

// The service's DURATION shape, whatever its range.
static bool
looks_like_duration(const char *word) {
    std::size_t digits = std::strspn(word, "0123456789");
    if (digits == 0 || digits > duration_digits_max)
        return false;
    const char *rest = word + digits;
    return rest[0] == '\0' || (std::strchr("smhd", rest[0]) != nullptr && rest[1] == '\0');
}

// Reads the options after "hold", which end at the first word that does not
// begin with "-", or after "--". Returns the index of the utility, argc
// when there is none; a usage error ends the client.
static int
parse_hold_options(int argc, char *argv[], const char **duration) {
    int i = 2;
    bool after_dashes = false;
    while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0' && !after_dashes) {
        const char *word = argv[i++];
        after_dashes = std::strcmp(word, "--") == 0;
        if (after_dashes)
            continue;
        if (word[1] != 't')
            usage_error(i < argc ? status_utility_form : status_failed, "unknown option %s", word);
        *duration = word[2] != '\0' ? word + 2 : i < argc ? argv[i++] : "";
        if ((*duration)[0] == '\0')
            usage_error(i < argc ? status_utility_form : status_failed, "-t needs a duration");
    }
    if (i < argc && *duration != nullptr)
        usage_error(status_utility_form, "-t is for a hold without a utility");
    if (i < argc && !after_dashes && looks_like_duration(argv[i]))
        usage_error(status_utility_form, "%s is a duration; use -t", argv[i]);
    return i;
}

// Joins the words with single spaces and a line feed into request
// (line_capacity bytes). Returns the length; a word the protocol cannot
// carry or a request too long ends the client.
static std::size_t
join_words(const char *const words[], int count, char *request) {
    for (int i = 0; i < count; i++) {
        if (std::strpbrk(words[i], "\r\n") != nullptr)
            errx(status_failed, "bad word");
    }
    std::size_t length = 0;
    for (int i = 0; i < count; i++) {
        std::size_t word_length = std::strlen(words[i]);
        if (length + (i > 0) + word_length > request_limit)
            errx(status_failed, "request too long");
        if (i > 0)
            request[length++] = ' ';
        std::memcpy(request + length, words[i], word_length);
        length += word_length;
    }
    request[length++] = '\n';
    return length;
}

static int
plain_command(const char *const words[], int count) {
    char request[line_capacity];
    std::size_t length = join_words(words, count, request);
    int fd = connect_service();
    if (fd == -1 || send_request(fd, request, length) == -1)
        return status_failed;
    return relay_reply(fd);
}

// Returns the connection that asked for a hold, or -1 when the service
// could not be reached (reported).
static int
send_hold() {
    int fd = connect_service();
    if (fd != -1 && send_request(fd, hold_request, sizeof hold_request - 1) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

static void
on_ending_signal(int) {
    hold_ending = 1;
}

// Waits until fd has input or an ending signal has come. Returns whether
// there is input.
static bool
wait_for_input(int fd, const sigset_t *wait_mask) {
    fd_set readable;
    while (!hold_ending) {
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        if (pselect(fd + 1, &readable, nullptr, nullptr, nullptr, wait_mask) == 1)
            return true;
    }
    return has_input(fd);
}

// The hold ends with the client: the kernel closes the connection.
static int
hold_alone() {
    sigset_t wait_mask;
    block_and_catch(ending_signals, on_ending_signal, &wait_mask);
    int fd = send_hold();
    if (fd == -1)
        return status_failed;
    char line[line_capacity];
    if (!wait_for_input(fd, &wait_mask))
        return status_done;
    if (read_first_line(fd, line) == -1)
        return status_failed;
    write_line(STDOUT_FILENO, line);
    if (begins_with_error(line))
        return status_error_reply;
    while (wait_for_input(fd, &wait_mask)) {
        if (service_closed(fd)) {
            warnx("the service ended the hold");
            return status_error_reply;
        }
    }
    return status_done;
}

// Nothing goes to standard output here: it belongs to the utility.
static int
hold_around(char *const utility[]) {
    char line[line_capacity];
    int fd = send_hold();
    if (fd == -1 || read_first_line(fd, line) == -1)
        return status_utility_form;
    if (begins_with_error(line)) {
        write_line(STDERR_FILENO, line);
        return status_error_reply;
    }
    int status = run_utility(utility);
    if (service_closed(fd))
        warnx("the service ended the hold");
    return status;
}

int
main(int argc, char *argv[]) {
    guard_standard_descriptors();
    load_location_settings();
    if (argc < 2)
        usage_error(status_failed, nullptr);
    if (std::strcmp(argv[1], "hold") != 0)
        return plain_command(argv + 1, argc - 1);
    const char *duration = nullptr;
    int first = parse_hold_options(argc, argv, &duration);
    if (duration != nullptr) {
        const char *const words[] = {argv[1], duration};
        return plain_command(words, 2);
    }
    if (first < argc)
        return hold_around(argv + first);
    return hold_alone();
}
