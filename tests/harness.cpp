#include "harness.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace harness {

static const std::string sim_run = std::string(VANTREL_SOURCE_DIR) + "/sim/run";

double
now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool
wait_until(const std::function<bool()> &cond, double seconds) {
    double deadline = now_seconds() + seconds;
    while (!cond()) {
        if (now_seconds() > deadline)
            return false;
        usleep(2000);
    }
    return true;
}

bool
under_ci() {
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

std::string
root_missing() {
    if (geteuid() != 0)
        return "skipped: the simulated machine needs root (mount namespaces)";
    return "";
}

std::string
read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void
write_file(const std::string &path, const std::string &content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd == -1) {
        ADD_FAILURE() << "cannot write " << path << ": " << std::strerror(errno);
        return;
    }
    std::size_t off = 0;
    while (off < content.size()) {
        ssize_t n = write(fd, content.data() + off, content.size() - off);
        if (n <= 0)
            break;
        off += static_cast<std::size_t>(n);
    }
    fchmod(fd, mode);
    close(fd);
}

bool
file_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

static void
append_from(int fd, std::string &to, bool &open_flag) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        to.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR) {
        close(fd);
        open_flag = false;
    }
}

result
run_process(const std::vector<std::string> &argv, const std::string &input, double timeout) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        return {};
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (input.empty()) {
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
        } else {
            dup2(in[0], 0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    setpgid(pid, pid);
    signal(SIGPIPE, SIG_IGN);

    result r;
    std::size_t written = 0;
    bool in_open = true, out_open = true, err_open = true;
    if (input.empty()) {
        close(in[1]);
        in_open = false;
    }
    double deadline = now_seconds() + timeout;
    bool timed_out = false;
    while (out_open || err_open) {
        pollfd p[3];
        int n = 0;
        int idx_out = -1, idx_err = -1, idx_in = -1;
        if (out_open)
            p[idx_out = n++] = {out[0], POLLIN, 0};
        if (err_open)
            p[idx_err = n++] = {err[0], POLLIN, 0};
        if (in_open)
            p[idx_in = n++] = {in[1], POLLOUT, 0};
        int left = static_cast<int>((deadline - now_seconds()) * 1000);
        if (left <= 0) {
            timed_out = true;
            break;
        }
        if (poll(p, static_cast<nfds_t>(n), left) <= 0)
            continue;
        if (idx_out >= 0 && p[idx_out].revents)
            append_from(out[0], r.out, out_open);
        if (idx_err >= 0 && p[idx_err].revents)
            append_from(err[0], r.err, err_open);
        if (idx_in >= 0 && p[idx_in].revents) {
            ssize_t w = write(in[1], input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<std::size_t>(w);
            if (w <= 0 || written == input.size()) {
                close(in[1]);
                in_open = false;
            }
        }
    }
    if (in_open)
        close(in[1]);
    if (timed_out) {
        kill(-pid, SIGKILL);
        if (out_open)
            close(out[0]);
        if (err_open)
            close(err[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    if (timed_out) {
        ADD_FAILURE() << "timed out after " << timeout << "s: " << argv.back();
        r.status = -1;
    } else {
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return r;
}

static void
remove_tree(const std::string &path) {
    run_process({"rm", "-rf", "--one-file-system", path});
}

sim::sim(bool old_naming, const char *kernel) {
    char templ[] = "/tmp/vantrel-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    dir_ = templ;
    chmod(dir_.c_str(), 0755);
    std::vector<std::string> argv = {sim_run, "--state", dir_, "--fresh"};
    if (old_naming)
        argv.push_back("--old-naming");
    if (kernel != nullptr)
        argv.insert(argv.end(), {"--kernel", kernel});
    argv.insert(argv.end(), {"--", "true"});
    setenv("VANTREL_SIM_BIN", VANTREL_SIM_BIN, 1);
    result r = run_process(argv);
    EXPECT_EQ(r.status, 0) << "sim/run failed: " << r.err;
    run_process({"cp", VANTREL_BINARY, binary()});
    run_process({"cp", VANTREL_CTL, dir_ + "/vantrelctl"});
    chmod(binary().c_str(), 0755);
    chmod((dir_ + "/vantrelctl").c_str(), 0755);
}

sim::~sim() {
    stop_devd();
    if (server_ != -1) {
        pid_t pid = server_pid();
        if (pid > 0)
            kill(pid, SIGKILL);
        kill(-server_, SIGKILL);
        waitpid(server_, nullptr, 0);
    }
    if (!dir_.empty())
        remove_tree(dir_);
}

static std::vector<std::string>
wrap(const std::string &dir, const std::vector<std::string> &argv, const run_options &opt) {
    std::vector<std::string> full = {sim_run, "--state", dir};
    if (opt.pidns)
        full.push_back("--pidns");
    full.push_back("--");
    if (opt.pidns)
        full.push_back("setsid");
    if (opt.as != user::root) {
        std::string groups =
            opt.as == user::member ? "--groups=" + read_file(dir + "/gid") : "--clear-groups";
        groups.erase(groups.find_last_not_of('\n') + 1);
        full.insert(full.end(), {"setpriv", "--reuid=65534", "--regid=65534", groups, "--"});
    }
    // The tests' own environment must not leak settings into the program.
    full.insert(full.end(), {"env", "-u", "vantrel_socket", "-u", "vantrel_group", "-u",
                             "vantrel_switch_state"});
    for (const auto &[k, v] : opt.env)
        full.push_back(k + "=" + v);
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

result
sim::run(const std::vector<std::string> &argv, const run_options &opt) {
    return run_process(wrap(dir_, argv, opt), opt.input, opt.timeout);
}

static std::vector<std::string>
command_line(const std::string &program, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

result
sim::vantrel(const std::vector<std::string> &args, const run_options &opt) {
    return run(command_line(binary(), args), opt);
}

result
sim::ctl(const std::vector<std::string> &args, const run_options &opt) {
    return run(command_line(dir_ + "/vantrelctl", args), opt);
}

std::string
sim::setting(const std::string &name) const {
    return read_file(dir_ + "/sysctl/" + name);
}

void
sim::set_setting(const std::string &name, const std::string &value) {
    write_file(dir_ + "/sysctl/" + name, value);
}

void
sim::remove_setting(const std::string &name) {
    unlink((dir_ + "/sysctl/" + name).c_str());
}

void
sim::knob(const std::string &name, const std::string &content) {
    write_file(dir_ + "/knob/" + name, content);
}

void
sim::clear_knob(const std::string &name) {
    unlink((dir_ + "/knob/" + name).c_str());
}

std::vector<std::string>
sim::log(const std::string &tool) const {
    std::vector<std::string> lines;
    std::istringstream in(read_file(dir_ + "/log/" + tool));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

gid_t
sim::group_id() const {
    return static_cast<gid_t>(std::stoul(read_file(dir_ + "/gid")));
}

static bool
socket_answers(const std::string &path) {
    int fd = connect_to(path);
    if (fd == -1)
        return false;
    close(fd); // a blank connection is closed by the server without a reply
    return true;
}

pid_t
sim::start_server(const std::map<std::string, std::string> &env, const std::string &command) {
    run_options opt;
    opt.env = env;
    std::vector<std::string> argv = wrap(dir_, {binary(), command}, opt);
    std::string err_path = dir_ + "/server.err";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int null_fd = open("/dev/null", O_RDWR);
        int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd, 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    server_ = pid;
    std::string path = env.count("vantrel_socket") ? "" : socket();
    double deadline = now_seconds() + 10;
    while (now_seconds() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            server_ = -1;
            ended_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return pid;
        }
        // The notice comes last, once the service listens: waiting for it
        // too keeps it out of what a test reads as the request's output.
        bool noticed = server_err().find("serving") != std::string::npos;
        if (noticed && (path.empty() || socket_answers(path))) {
            if (path.empty())
                usleep(100000);
            return pid;
        }
        usleep(10000);
    }
    ADD_FAILURE() << "service did not come up: " << server_err();
    return pid;
}

int
sim::wait_server(double timeout) {
    if (server_ == -1)
        return ended_status_;
    double deadline = now_seconds() + timeout;
    int status = 0;
    while (now_seconds() < deadline) {
        pid_t r = waitpid(server_, &status, WNOHANG);
        if (r == server_) {
            server_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(10000);
    }
    return -1;
}

std::string
sim::server_err() const {
    return read_file(dir_ + "/server.err");
}

pid_t
sim::server_pid() const {
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return -1;
    pid_t found = -1;
    std::string want = binary();
    while (dirent *e = readdir(d)) {
        char *end;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        char exe[4096];
        std::string link = std::string("/proc/") + e->d_name + "/exe";
        ssize_t n = readlink(link.c_str(), exe, sizeof exe - 1);
        if (n <= 0)
            continue;
        exe[n] = '\0';
        if (want == exe) {
            found = static_cast<pid_t>(pid);
            break;
        }
    }
    closedir(d);
    return found;
}

void
sim::signal_server(int sig) {
    pid_t pid = server_pid();
    ASSERT_GT(pid, 0) << "no service process";
    kill(pid, sig);
}

void
sim::start_devd() {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    std::string bin = std::string(VANTREL_SIM_BIN) + "/devd";
    std::string state = "VANTREL_SIM_STATE=" + dir_;
    char *envp[] = {state.data(), nullptr};
    int err_fd =
        open((dir_ + "/devd.err").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    devd_ = fork();
    if (devd_ == 0) {
        dup2(out[1], 1);
        dup2(err_fd, 2);
        execle(bin.c_str(), bin.c_str(), nullptr, envp);
        _exit(127);
    }
    close(err_fd);
    close(out[1]);
    // Its only output is the line it prints once it listens.
    std::string line = read_until_close(out[0]);
    close(out[0]);
    EXPECT_NE(line.find("relaying"), std::string::npos) << read_file(dir_ + "/devd.err");
}

void
sim::stop_devd() {
    if (devd_ == -1)
        return;
    kill(devd_, SIGTERM);
    waitpid(devd_, nullptr, 0);
    devd_ = -1;
}

result
sim::devd_event(const std::vector<std::string> &messages) {
    std::vector<std::string> argv = {std::string(VANTREL_SOURCE_DIR) + "/sim/devd-event", "--state",
                                     dir_, "--"};
    argv.insert(argv.end(), messages.begin(), messages.end());
    return run_process(argv);
}

static sockaddr_un
address_of(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

void
make_stale_socket(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = address_of(path);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == -1)
        ADD_FAILURE() << "bind " << path << ": " << std::strerror(errno);
    close(fd);
}

int
connect_to(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = address_of(path);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == -1) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int
connect_as(const std::string &path, uid_t uid, gid_t group) {
    if (setgroups(1, &group) != 0 || setegid(65534) != 0 || seteuid(uid) != 0)
        ADD_FAILURE() << "cannot become uid " << uid << ": " << std::strerror(errno);
    int fd = connect_to(path);
    int saved = errno;
    if (seteuid(0) != 0 || setegid(0) != 0 || setgroups(0, nullptr) != 0)
        ADD_FAILURE() << "cannot become root again: " << std::strerror(errno);
    errno = saved;
    return fd;
}

std::string
read_until_close(int fd, double timeout) {
    std::string got;
    double deadline = now_seconds() + timeout;
    for (;;) {
        int left = static_cast<int>((deadline - now_seconds()) * 1000);
        if (left <= 0)
            return got + "<timeout>";
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return got;
        got.append(buf, static_cast<std::size_t>(n));
    }
}

std::string
request(const std::string &path, const std::string &data, bool half_close, double timeout) {
    int fd = connect_to(path);
    if (fd == -1)
        return std::string("<connect: ") + std::strerror(errno) + ">";
    return request_on(fd, data, half_close, timeout);
}

std::string
request_on(int fd, const std::string &data, bool half_close, double timeout) {
    if (!data.empty() && send(fd, data.data(), data.size(), MSG_NOSIGNAL) < 0) {
        close(fd);
        return "<send failed>";
    }
    if (half_close)
        shutdown(fd, SHUT_WR);
    std::string reply = read_until_close(fd, timeout);
    close(fd);
    return reply;
}

} // namespace harness
