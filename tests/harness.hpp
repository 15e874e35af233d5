// Test harness: runs the built program on the simulated machine, each test
// with a fresh state directory of its own, and reads back what the
// stand-in tools stored and recorded.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// Skips the test when it cannot run here (not root), or fails it under CI,
// where a skipped test would hide a gap.
#define REQUIRE_ROOT()                                                                             \
    do {                                                                                           \
        if (std::string why = harness::root_missing(); !why.empty()) {                             \
            if (harness::under_ci())                                                               \
                FAIL() << why;                                                                     \
            GTEST_SKIP() << why;                                                                   \
        }                                                                                          \
    } while (0)

namespace harness {

std::string root_missing();
bool under_ci();

struct result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// nobody belongs to no group; member is uid 65534 in the vantrel group alone.
enum class user { root, nobody, member };

struct run_options {
    std::map<std::string, std::string> env; // vantrel_* and others to set
    user as = user::root;
    std::string input;     // written to standard input, then closed
    bool pidns = false;    // private pid namespace, command in a session of its own
    double timeout = 20.0; // seconds before the whole run is killed
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
bool file_exists(const std::string &path);

// Runs argv as a child in a process group of its own, feeding input and
// collecting both outputs; kills it when timeout runs out.
result run_process(const std::vector<std::string> &argv, const std::string &input = "",
                   double timeout = 20.0);

class sim {
  public:
    // kernel: a profile for sim/run --kernel ("14", "s3-only"), or none.
    explicit sim(bool old_naming = false, const char *kernel = nullptr);
    ~sim();
    sim(const sim &) = delete;
    sim &operator=(const sim &) = delete;

    const std::string &dir() const {
        return dir_;
    }
    // The copy of the program that every user inside can reach.
    std::string binary() const {
        return dir_ + "/vantrel";
    }
    // The control socket and pid file as seen from this (the real) machine.
    std::string socket() const {
        return dir_ + "/run/vantrel.sock";
    }
    std::string pid_file() const {
        return dir_ + "/run/vantrel.pid";
    }

    // Runs the program, or the client, with args inside the simulated machine.
    result vantrel(const std::vector<std::string> &args, const run_options &opt = {});
    result ctl(const std::vector<std::string> &args, const run_options &opt = {});
    // Runs any command line inside the simulated machine.
    result run(const std::vector<std::string> &argv, const run_options &opt = {});

    std::string setting(const std::string &name) const;
    void set_setting(const std::string &name, const std::string &value);
    void remove_setting(const std::string &name);
    void knob(const std::string &name, const std::string &content = "");
    void clear_knob(const std::string &name);
    // Lines a stand-in recorded: "sysctl", "acpiconf", "zzz" or "fds".
    std::vector<std::string> log(const std::string &tool) const;
    gid_t group_id() const;

    // Starts "vantrel start" in the background; returns once the socket
    // answers connections or the service has ended.
    pid_t start_server(const std::map<std::string, std::string> &env = {},
                       const std::string &command = "start");
    // Waits for the background service; returns its exit status, or -1
    // after timeout (it is then killed).
    int wait_server(double timeout = 10.0);
    // What the background service wrote to standard error so far.
    std::string server_err() const;
    // The service's own pid (not the launcher's), or -1.
    pid_t server_pid() const;
    void signal_server(int sig);

    // The devd stand-in on this machine's devd socket: start_devd returns
    // once it listens; stop_devd ends it with SIGTERM (it removes its
    // socket). It also ends with this object or the test process.
    void start_devd();
    void stop_devd();
    // sim/devd-event with these messages; it returns once they are relayed.
    result devd_event(const std::vector<std::string> &messages);

  private:
    std::string dir_;
    pid_t server_ = -1;
    pid_t devd_ = -1;
    int ended_status_ = -1; // of a service that ended while starting
};

// Connects to path, writes data, half-closes when asked, and reads the
// reply until the server closes. Returns the reply, or "<connect: ...>".
std::string request(const std::string &path, const std::string &data, bool half_close = true,
                    double timeout = 10.0);
// The same on a connection made already.
std::string request_on(int fd, const std::string &data, bool half_close = true,
                       double timeout = 10.0);

// Leaves a socket file at path that nobody listens on, as a service that
// was killed leaves it.
void make_stale_socket(const std::string &path);

// Connects to path and returns the descriptor, or -1.
int connect_to(const std::string &path);
// The same as uid with the group alone, as the service sees it: the kernel
// takes a client's credentials at connect, so only the connect wears them.
int connect_as(const std::string &path, uid_t uid, gid_t group);
// Reads from fd until end of stream or timeout.
std::string read_until_close(int fd, double timeout = 10.0);

double now_seconds();
// Polls cond every 2 ms until it holds or the seconds have passed.
bool wait_until(const std::function<bool()> &cond, double seconds = 10);

} // namespace harness
