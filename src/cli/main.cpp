// vantrel: decides what closing the lid does, and serves that choice to a
// group of users over a local socket.

#include "cli/service.hpp"
#include "cli/settings.hpp"
#include "lid/lid.hpp"
#include "protocol/hold_words.hpp"
#include "runner/location.hpp"
#include "server/server.hpp"
#include "version.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

static void guard_standard_descriptors();
[[noreturn]] static void usage();
[[noreturn]] static void run_direct(const char *command);

static constexpr char usage_text[] =
    "usage: vantrel start|stop|status|serve\n"
    "       vantrel awake|s0ix|s3|toggle|status|suspend-s0ix|suspend-s3\n"
    "       vantrel -h | --help\n"
    "       vantrel -V\n";

// stdio's own buffer would come from the heap on first use.
static char stdout_buffer[BUFSIZ];

// A descriptor 0, 1 or 2 closed at start would be taken by the next pipe or
// socket, which a tool would then inherit as a standard stream.
static void
guard_standard_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // Lower descriptors are already open, so this lands on fd itself.
        if (open("/dev/null", O_RDWR) == -1)
            err(1, "/dev/null");
    }
}

static void
usage() {
    std::fputs(usage_text, stderr);
    std::exit(1);
}

static void
run_direct(const char *command) {
    if (geteuid() != 0)
        errx(1, "must run as root for direct commands");
    // These words act on the service's own state, which this process does
    // not have.
    if (classify_request(command).word != server_word::other) {
        std::printf("error: needs the running service\n");
        std::exit(1);
    }
    reply_text reply{};
    int result = run_command(command, reply);
    // Said as the service says it at start, since nothing else would.
    if (const char *kind = missing_sleep_kind())
        warnx("no %s sleep type in %s", kind, sleep_type_list());
    if (reply[0] != '\0')
        std::printf("%s\n", reply.data());
    std::exit(result < 0 ? 1 : 0);
}

int
main(int argc, char *argv[]) {
    guard_standard_descriptors();
    setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
    load_location_settings();
    if (argc < 2)
        usage();
    // Before the switch state is read, so that no warning comes with them.
    if (argc == 2 && std::strcmp(argv[1], "-V") == 0)
        return std::puts("vantrel " VANTREL_VERSION) == EOF ? 1 : 0;
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)
        return std::fputs(usage_text, stdout) == EOF || std::fflush(stdout) == EOF ? 1 : 0;
    load_switch_state();

    const char *command = argv[1];
    if (std::strcmp(command, "start") == 0 || std::strcmp(command, "serve") == 0)
        return run_server();
    if (std::strcmp(command, "stop") == 0)
        service_stop();
    if (std::strcmp(command, "status") == 0 && argc == 2)
        service_status();
    run_direct(command);
}
