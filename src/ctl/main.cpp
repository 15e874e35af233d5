// vantrelctl: the group members' client of the vantrel service. It sends
// one request and relays the reply, or holds the lid awake, alone, while a
// utility runs or until another process ends, or follows the state for a
// status bar, as it comes or as JSON.

#include "ctl/connection.hpp"
#include "ctl/json.hpp"
#include "ctl/process_watch.hpp"
#include "ctl/utility.hpp"
#include "protocol/hold_words.hpp"
#include "runner/clock.hpp"
#include "runner/location.hpp"
#include "version.hpp"

#include <sys/select.h>

#include <charconv>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

// What state and watch print: the service's lines, JSON objects of their
// fields, or waybar's objects.
enum class output_form { plain, json, waybar };

// The options of hold: each null when not given.
struct hold_options {
    const char *duration; // -t
    const char *reason;   // -r
    const char *pid;      // -w
};

// When a hold bounded by -t ends, on CLOCK_MONOTONIC, and the wall clock's
// lead over it (wall_clock_lead) when last looked at.
struct hold_deadline {
    timespec at;
    long long lead;
};

static void guard_standard_descriptors();
[[noreturn]] static void usage_error(int status, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
static bool looks_like_duration(const char *word);
static const char **option_value(hold_options *options, char letter, const char **needs);
static int parse_hold_options(int argc, char *argv[], hold_options *options);
static void check_hold_options(const hold_options &options, const char *utility);
static pid_t parse_pid(const char *text);
static std::size_t join_words(const char *const words[], int count, char *request);
static std::size_t hold_request(const char *duration, const char *reason, char *request);
static int relay_request(const char *request, std::size_t length);
static int plain_command(const char *const words[], int count);
static int send_hold(const char *request, std::size_t length);
static void on_ending_signal(int sig);
static void count_sleep(hold_deadline *deadline);
static const timespec *time_left(hold_deadline *deadline, timespec *left);
static bool wait_for_input(int fd, int watched, hold_deadline *deadline, const sigset_t *wait_mask);
static int hold_until(const char *reason, int watched, std::int64_t seconds);
static int hold_while_running(const hold_options &options);
static const char *utility_reason(const char *utility);
static int hold_around(char *const utility[], const char *reason);

static output_form parse_form(int argc, char *argv[], bool waybar_allowed);
static int write_form(const char *line, std::size_t (*form)(const char *, char *));
static int write_json(const char *line);
static int write_waybar(const char *line);
static int state_as_json();
static int watch_state(line_writer writer);
static int connect_quietly();
static int watch_waybar();
static int form_command(int argc, char *argv[]);

static constexpr char usage_text[] = "usage: vantrelctl command [word ...]\n"
                                     "       vantrelctl hold [-r reason] [utility [argument ...]]\n"
                                     "       vantrelctl hold -t duration [-r reason]\n"
                                     "       vantrelctl hold [-t duration] [-r reason] -w pid\n"
                                     "       vantrelctl state [-j]\n"
                                     "       vantrelctl watch [-j | -f waybar]\n"
                                     "       vantrelctl -h | --help\n"
                                     "       vantrelctl -V\n";

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
static constexpr int status_not_found = 127;

static constexpr char watch_request[] = "watch\n";
static constexpr char state_request[] = "state\n";
// How long a waybar watch waits before it tries the service again.
static constexpr unsigned int reconnect_seconds = 5;
// "pid" and the longest pid, with its zero.
static constexpr std::size_t pid_reason_capacity = 16;
// Each ends a hold without a utility, and the client with it.
static constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Set by an ending signal. Those signals are blocked except while the
// client waits, so none is missed between a test and the wait, and a reply
// that has come is printed even when a signal comes with it.
static volatile std::sig_atomic_t hold_ending = 0;

// Set by a writer that found a line it could not read as fields.
static bool bad_line_seen = false;

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

// The place for the value of option -letter, with what it needs in *needs;
// null for an unknown option.
static const char **
option_value(hold_options *options, char letter, const char **needs) {
    switch (letter) {
    case 't':
        *needs = "a duration";
        return &options->duration;
    case 'r':
        *needs = "a reason";
        return &options->reason;
    case 'w':
        *needs = "a pid";
        return &options->pid;
    default:
        return nullptr;
    }
}

// Reads the options after "hold", which end at the first word that does not
// begin with "-", or after "--". Returns the index of the utility, argc
// when there is none; a usage error ends the client.
static int
parse_hold_options(int argc, char *argv[], hold_options *options) {
    int i = 2;
    bool after_dashes = false;
    while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0' && !after_dashes) {
        const char *word = argv[i++];
        after_dashes = std::strcmp(word, "--") == 0;
        if (after_dashes)
            continue;
        const char *needs = nullptr;
        const char **value = option_value(options, word[1], &needs);
        if (value == nullptr)
            usage_error(i < argc ? status_utility_form : status_failed, "unknown option %s", word);
        *value = word[2] != '\0' ? word + 2 : i < argc ? argv[i++] : "";
        if ((*value)[0] == '\0')
            usage_error(i < argc ? status_utility_form : status_failed, "-%c needs %s", word[1],
                        needs);
    }
    if (i < argc && !after_dashes && looks_like_duration(argv[i]))
        usage_error(status_utility_form, "%s is a duration; use -t", argv[i]);
    check_hold_options(*options, i < argc ? argv[i] : nullptr);
    return i;
}

// What the options allow together, and what the client must read itself.
static void
check_hold_options(const hold_options &options, const char *utility) {
    int status = utility != nullptr ? status_utility_form : status_failed;
    if (utility != nullptr && options.pid != nullptr)
        usage_error(status_failed, "-w is for a hold without a utility");
    if (utility != nullptr && options.duration != nullptr)
        usage_error(status, "-t is for a hold without a utility");
    if (options.reason != nullptr && !valid_reason(options.reason))
        usage_error(status, "bad reason");
    if (options.pid == nullptr)
        return;
    if (parse_pid(options.pid) == -1)
        usage_error(status, "bad pid %s", options.pid);
    // The client ends this hold itself, so it must know the duration.
    if (options.duration != nullptr && parse_duration(options.duration) == -1)
        usage_error(status, "bad duration (1s to 7d)");
}

// A decimal pid, or -1.
static pid_t
parse_pid(const char *text) {
    const char *end = text + std::strlen(text);
    pid_t pid = 0;
    auto [stop, error] = std::from_chars(text, end, pid);
    return error == std::errc() && stop == end && pid > 0 ? pid : -1;
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

// "hold", then the duration and the reason where given.
static std::size_t
hold_request(const char *duration, const char *reason, char *request) {
    const char *words[4] = {"hold"};
    int count = 1;
    if (duration != nullptr)
        words[count++] = duration;
    if (reason != nullptr) {
        words[count++] = "why";
        words[count++] = reason;
    }
    return join_words(words, count, request);
}

static int
relay_request(const char *request, std::size_t length) {
    int fd = connect_service();
    if (fd == -1 || send_request(fd, request, length) == -1)
        return status_failed;
    return relay_reply(fd);
}

static int
plain_command(const char *const words[], int count) {
    char request[line_capacity];
    return relay_request(request, join_words(words, count, request));
}

// Returns the connection that asked for a hold, or -1 when the service
// could not be reached (reported).
static int
send_hold(const char *request, std::size_t length) {
    int fd = connect_service();
    if (fd != -1 && send_request(fd, request, length) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

static void
on_ending_signal(int) {
    hold_ending = 1;
}

// No wait lasts longer, so that a sleep is counted soon after it.
static constexpr time_t longest_wait_seconds = 60;

// Without devd the client cannot tell a sleep from a step of the wall
// clock, so every forward jump of the lead over asleep_threshold_ns counts
// as sleep and ends the hold that much earlier: a clock step shortens it.
static void
count_sleep(hold_deadline *deadline) {
    long long lead = wall_clock_lead();
    long long jump = lead - deadline->lead;
    deadline->lead = lead;
    if (jump <= asleep_threshold_ns)
        return;
    deadline->at.tv_sec -= static_cast<time_t>(jump / 1000000000LL);
    deadline->at.tv_nsec -= static_cast<long>(jump % 1000000000LL);
    if (deadline->at.tv_nsec < 0) {
        deadline->at.tv_nsec += 1000000000L;
        deadline->at.tv_sec--;
    }
}

// The timeout for a wait that must end by the deadline, at most
// longest_wait_seconds, or null for none. CLOCK_MONOTONIC stops while the
// machine sleeps (see wall_clock_lead), hence count_sleep.
static const timespec *
time_left(hold_deadline *deadline, timespec *left) {
    if (deadline == nullptr)
        return nullptr;
    count_sleep(deadline);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (static_cast<long long>(deadline->at.tv_sec) - now.tv_sec) * 1000000000LL +
                   (deadline->at.tv_nsec - now.tv_nsec);
    ns = ns > 0 ? ns : 0;
    *left = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    if (left->tv_sec >= longest_wait_seconds)
        *left = {longest_wait_seconds, 0};
    return left;
}

// Waits until fd has input, or watched (unless -1) is readable, or the
// deadline (unless null) has passed, or an ending signal has come. Returns
// whether fd has input.
static bool
wait_for_input(int fd, int watched, hold_deadline *deadline, const sigset_t *wait_mask) {
    fd_set readable;
    while (!hold_ending) {
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        if (watched != -1)
            FD_SET(watched, &readable);
        timespec left;
        const timespec *timeout = time_left(deadline, &left);
        bool last = timeout == nullptr || left.tv_sec < longest_wait_seconds;
        int ready = pselect((fd > watched ? fd : watched) + 1, &readable, nullptr, nullptr, timeout,
                            wait_mask);
        if (ready > 0 || (ready == 0 && last))
            return ready > 0 && FD_ISSET(fd, &readable);
    }
    return has_input(fd);
}

// Holds until an ending signal comes, the service ends the hold, watched
// (unless -1) becomes readable, or the seconds (unless 0) have passed; the
// kernel closes the connection when the client ends.
static int
hold_until(const char *reason, int watched, std::int64_t seconds) {
    sigset_t wait_mask;
    block_and_catch(ending_signals, on_ending_signal, &wait_mask);
    char request[line_capacity];
    int fd = send_hold(request, hold_request(nullptr, reason, request));
    if (fd == -1)
        return status_failed;
    char line[line_capacity];
    if (!wait_for_input(fd, -1, nullptr, &wait_mask))
        return status_done;
    if (read_first_line(fd, line) == -1)
        return status_failed;
    write_line(STDOUT_FILENO, line);
    if (begins_with_error(line))
        return status_error_reply;
    hold_deadline deadline = {{}, wall_clock_lead()};
    clock_gettime(CLOCK_MONOTONIC, &deadline.at);
    deadline.at.tv_sec += static_cast<time_t>(seconds);
    while (wait_for_input(fd, watched, seconds > 0 ? &deadline : nullptr, &wait_mask)) {
        if (service_closed(fd)) {
            warnx("the service ended the hold");
            return status_error_reply;
        }
    }
    return status_done;
}

// The service's timed hold outlives the client, so a duration here bounds
// a connection-bound hold that the client ends itself.
static int
hold_while_running(const hold_options &options) {
    pid_t pid = parse_pid(options.pid);
    int watched = watch_process(pid);
    if (watched == -1) {
        warnx("no process %d", static_cast<int>(pid));
        return status_error_reply;
    }
    char reason[pid_reason_capacity];
    std::snprintf(reason, sizeof reason, "pid %d", static_cast<int>(pid));
    std::int64_t seconds = options.duration != nullptr ? parse_duration(options.duration) : 0;
    return hold_until(options.reason != nullptr ? options.reason : reason, watched, seconds);
}

// The utility's name as written, when it makes a valid reason.
static const char *
utility_reason(const char *utility) {
    const char *slash = std::strrchr(utility, '/');
    const char *name = slash != nullptr ? slash + 1 : utility;
    return valid_reason(name) ? name : nullptr;
}

// Nothing goes to standard output here: it belongs to the utility. A reply
// other than NONE would leave the utility unprotected, so it runs only
// after NONE.
static int
hold_around(char *const utility[], const char *reason) {
    char request[line_capacity];
    std::size_t length =
        hold_request(nullptr, reason != nullptr ? reason : utility_reason(utility[0]), request);
    char line[line_capacity];
    int fd = send_hold(request, length);
    if (fd == -1 || read_first_line(fd, line) == -1)
        return status_utility_form;
    if (begins_with_error(line)) {
        write_line(STDERR_FILENO, line);
        return status_error_reply;
    }
    if (std::strcmp(line, "NONE") != 0) {
        warnx("the service did not set the lid to NONE (%s)", line);
        return status_utility_form;
    }
    int status = run_utility(utility);
    if (service_closed(fd))
        warnx("the service ended the hold");
    return status;
}

// The form the words after state or watch (from argv[2]) ask for; a
// usage error ends the client.
static output_form
parse_form(int argc, char *argv[], bool waybar_allowed) {
    bool json = false;
    const char *format = nullptr;
    for (int i = 2; i < argc; i++) {
        const char *word = argv[i];
        if (std::strcmp(word, "-j") == 0) {
            json = true;
        } else if (waybar_allowed && std::strncmp(word, "-f", 2) == 0) {
            format = word[2] != '\0' ? word + 2 : i + 1 < argc ? argv[++i] : "";
            if (std::strcmp(format, "waybar") != 0)
                usage_error(status_failed, "-f takes only waybar");
        } else {
            usage_error(status_failed, "unknown option %s", word);
        }
    }
    if (json && format != nullptr)
        usage_error(status_failed, "-j and -f together");
    return json ? output_form::json : format != nullptr ? output_form::waybar : output_form::plain;
}

// An error reply is not a state: it goes to standard error as it came.
static int
write_form(const char *line, std::size_t (*form)(const char *, char *)) {
    if (begins_with_error(line))
        return write_line(STDERR_FILENO, line) == 0 ? 0 : -1;
    char json[json_capacity];
    std::size_t length = form(line, json);
    if (length == 0) {
        warnx("%s: not a state line", socket_path);
        bad_line_seen = true;
        return 1;
    }
    if (write_all(STDOUT_FILENO, json, length) == -1) {
        warn("stdout");
        return -1;
    }
    return 0;
}

static int
write_json(const char *line) {
    return write_form(line, state_json);
}

static int
write_waybar(const char *line) {
    return write_form(line, waybar_json);
}

static int
state_as_json() {
    int fd = connect_service();
    if (fd == -1 || send_request(fd, state_request, sizeof state_request - 1) == -1)
        return status_failed;
    char line[line_capacity];
    if (read_first_line(fd, line) == -1)
        return status_failed;
    int rc = write_json(line);
    if (rc == -1)
        return status_failed;
    return rc == 0 && !begins_with_error(line) ? status_done : status_error_reply;
}

// A status bar reads the lines from a pipe, so each is written as it
// comes. Ctrl-C and SIGTERM end the client by their default action, as
// they end any filter.
static int
watch_state(line_writer writer) {
    int fd = connect_service();
    if (fd == -1 || send_request(fd, watch_request, sizeof watch_request - 1) == -1) {
        if (fd != -1)
            close(fd);
        return status_failed;
    }
    int rc = relay_lines(fd, writer);
    close(fd);
    return rc;
}

// While the service stays down, a bar's log would get the same two lines
// every few seconds.
static int
connect_quietly() {
    int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved == -1 || null == -1 || dup2(null, STDERR_FILENO) == -1) {
        if (saved != -1)
            close(saved);
        if (null != -1)
            close(null);
        return connect_service();
    }
    close(null);
    int fd = connect_service();
    dup2(saved, STDERR_FILENO);
    close(saved);
    return fd;
}

// A bar starts its command once, so this watch outlives the service: after
// every end, or a failed start, it shows the service down once and tries
// again every few seconds. A failed output shows in the down object's
// write, which ends the client.
static int
watch_waybar() {
    char down[json_capacity];
    std::size_t down_length = waybar_down(down);
    bool shown_down = false;
    for (;;) {
        int fd = shown_down ? connect_quietly() : connect_service();
        if (fd != -1) {
            if (send_request(fd, watch_request, sizeof watch_request - 1) == 0)
                relay_lines(fd, write_waybar);
            close(fd);
            shown_down = false;
        }
        if (bad_line_seen)
            return status_error_reply;
        if (!shown_down && write_all(STDOUT_FILENO, down, down_length) == -1) {
            warn("stdout");
            return status_failed;
        }
        shown_down = true;
        sleep(reconnect_seconds);
    }
}

// state and watch, with or without their options.
static int
form_command(int argc, char *argv[]) {
    bool watch = std::strcmp(argv[1], "watch") == 0;
    if (argc > 2 && argv[2][0] != '-')
        return plain_command(argv + 1, argc - 1);
    output_form form = parse_form(argc, argv, watch);
    if (!watch)
        return form == output_form::json ? state_as_json() : plain_command(argv + 1, 1);
    if (form == output_form::waybar)
        return watch_waybar();
    return watch_state(form == output_form::json ? write_json : nullptr);
}

int
main(int argc, char *argv[]) {
    guard_standard_descriptors();
    load_location_settings();
    if (argc < 2)
        usage_error(status_failed, nullptr);
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage_text, stdout);
        return status_done;
    }
    // An option is never sent: the service would take it for a command.
    if (argv[1][0] == '-') {
        if (argc == 2 && std::strcmp(argv[1], "-V") == 0)
            return write_line(STDOUT_FILENO, "vantrelctl " VANTREL_VERSION) == 0 ? status_done
                                                                                 : status_failed;
        usage_error(status_failed, "unknown option %s", argv[1]);
    }
    if (std::strcmp(argv[1], "watch") == 0 || std::strcmp(argv[1], "state") == 0)
        return form_command(argc, argv);
    if (std::strcmp(argv[1], "hold") != 0) {
        if (argc > 2 && argv[2][0] == '-' && argv[2][1] != '\0')
            usage_error(status_failed, "unknown option %s", argv[2]);
        return plain_command(argv + 1, argc - 1);
    }
    hold_options options = {};
    int first = parse_hold_options(argc, argv, &options);
    if (options.pid != nullptr)
        return hold_while_running(options);
    if (options.duration != nullptr) {
        char request[line_capacity];
        return relay_request(request, hold_request(options.duration, options.reason, request));
    }
    if (first == argc)
        return hold_until(options.reason, -1, 0);
    // As a shell would say it, and before any hold.
    if (!utility_found(argv[first])) {
        warnx("%s: not found", argv[first]);
        return status_not_found;
    }
    return hold_around(argv + first, options.reason);
}
