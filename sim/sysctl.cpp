// Stand-in for FreeBSD's sysctl(8) on the simulated machine.
//
//   sysctl [-Nnq] NAME[=VALUE] ...
//
// -q, as FreeBSD's has it (sbin/sysctl/sysctl.c), keeps "unknown oid" off
// standard error, still failing, and drops the report of a change. -N
// prints the names of the settings named, without reading them.
//
// Settings are the files DIR/sysctl/NAME.  Each NAME can be made to
// misbehave with knobs DIR/knob/NAME.{read,write}.{exit,signal,raw,delay},
// NAME.write.signal_after and NAME.write.only, and be narrowed to some values by NAME.write.accept.
#include "tool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const char tool[] = "sysctl";

[[noreturn]] void
usage() {
    static const char msg[] = "usage: sysctl [-Nnq] name[=value] ...\n";
    sim::write_all(2, msg, sizeof msg - 1);
    _exit(1);
}

void
setting_path(sim::Buf &path, const char *state, const char *name) {
    path.add(state);
    path.add("/sysctl/");
    path.add(name);
}

bool qflag = false;
bool name_only = false;

bool
missing(int err) {
    return err == ENOENT || err == ENOTDIR || err == EISDIR || err == ENAMETOOLONG;
}

int
unknown(const char *name) {
    if (!qflag) {
        sim::error(tool, "unknown oid '", name, "'");
    }
    return 1;
}

int
not_permitted(const char *name) {
    sim::error(tool, name, ": Operation not permitted");
    return 1;
}

// As -N does: the name of a setting that exists, its value unread.
int
print_name(const char *state, const char *name) {
    sim::Buf path, value;
    setting_path(path, state, name);
    if (!sim::valid_name(name) || missing(sim::read_file(path.c_str(), value))) {
        return unknown(name);
    }
    sim::Buf line;
    line.add(name);
    line.add('\n');
    sim::write_all(1, line.c_str(), line.size());
    return 0;
}

// The accept knob lists the values a setting takes, separated by blanks,
// as a kernel handler that checks its input would; without it any value
// goes.
bool
accepted(const char *state, const char *base, const char *value) {
    sim::Buf words;
    if (!sim::knob_text(state, base, "accept", words)) {
        return true;
    }
    size_t n = strlen(value);
    for (const char *p = words.c_str(); *p != '\0';) {
        size_t len = strcspn(p, " \t\n");
        if (len == n && n > 0 && strncmp(p, value, n) == 0) {
            return true;
        }
        p += len;
        p += strspn(p, " \t\n");
    }
    return false;
}

// As the real tool meets EINVAL from the kernel: the old value is shown,
// then the argument is named on stderr.
int
invalid(const char *name, const char *value, const sim::Buf &old, bool nflag) {
    sim::Buf line;
    if (!nflag) {
        line.add(name);
        line.add(": ");
    }
    line.add(old.c_str(), old.size());
    line.add('\n');
    sim::write_all(1, line.c_str(), line.size());
    sim::Buf arg;
    arg.add(name);
    arg.add('=');
    arg.add(value);
    sim::error(tool, arg.c_str(), ": Invalid argument");
    return 1;
}

int
read_setting(const char *state, const char *name, bool nflag) {
    bool knobs = sim::valid_name(name);
    sim::Buf base;
    base.add(name);
    base.add(".read");
    if (knobs) {
        sim::apply_delay(tool, state, base.c_str());
    }

    int status = 0;
    if (!knobs || !sim::print_raw_knob(state, base.c_str())) {
        sim::Buf line;
        int err = ENOENT;
        if (knobs) {
            if (!nflag) {
                line.add(name);
                line.add(": ");
            }
            err = sim::setting_value(state, name, line);
        }
        if (err == 0) {
            line.add('\n');
            sim::write_all(1, line.c_str(), line.size());
        } else if (missing(err)) {
            status = unknown(name);
        } else {
            sim::error(tool, name, ": ", strerror(err));
            status = 1;
        }
    }

    if (knobs) {
        sim::apply_signal(tool, state, base.c_str());
        long code = 0;
        if (sim::knob_number(tool, state, base.c_str(), "exit", 0, 255, &code)) {
            status = static_cast<int>(code);
        }
    }
    return status;
}

int
write_setting(const char *state, const char *name, const char *value, bool nflag) {
    bool knobs = sim::valid_name(name);
    sim::Buf base;
    base.add(name);
    base.add(".write");
    if (!knobs) {
        return unknown(name);
    }
    // The "only" knob narrows the other write knobs to one value, so that
    // of two writes of one setting the second alone can fail.
    sim::Buf only;
    bool apply =
        !sim::knob_text(state, base.c_str(), "only", only) || strcmp(only.c_str(), value) == 0;
    if (apply) {
        sim::apply_delay(tool, state, base.c_str());
        sim::apply_signal(tool, state, base.c_str());
        long code = 0;
        if (sim::knob_number(tool, state, base.c_str(), "exit", 0, 255, &code) && code != 0) {
            not_permitted(name);
            return static_cast<int>(code);
        }
    }

    sim::Buf path;
    setting_path(path, state, name);
    sim::Buf old;
    int err = sim::read_file(path.c_str(), old);
    if (missing(err)) {
        return unknown(name);
    }
    if (err != 0) {
        sim::error(tool, name, ": ", strerror(err));
        return 1;
    }
    if (!accepted(state, base.c_str(), value)) {
        return invalid(name, value, old, nflag);
    }

    // The new value goes to a temporary file that is renamed over the
    // setting, so a reader running at the same time sees the old or the new
    // value, never a half-written one.
    sim::Buf tmp;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0; ++attempt) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        tmp.clear();
        tmp.add(state);
        tmp.add("/sysctl/.tmp.");
        tmp.add_uint(static_cast<unsigned long>(getpid()));
        tmp.add('.');
        tmp.add_uint(static_cast<unsigned long>(now.tv_nsec) + attempt);
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && (errno != EEXIST || attempt > 100)) {
            if (errno == EACCES || errno == EPERM || errno == EROFS) {
                return not_permitted(name);
            }
            sim::error(tool, name, ": ", strerror(errno));
            return 1;
        }
    }
    bool ok = sim::write_all(fd, value, strlen(value));
    int werr = errno;
    fchmod(fd, 0644);
    if (close(fd) != 0 && ok) {
        ok = false;
        werr = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        sim::error(tool, name, ": ", strerror(werr));
        return 1;
    }

    if (!qflag && (!apply || !sim::print_raw_knob(state, base.c_str()))) {
        sim::Buf line;
        if (!nflag) {
            line.add(name);
            line.add(": ");
        }
        line.add(old.c_str(), old.size());
        line.add(" -> ");
        line.add(value);
        line.add('\n');
        sim::write_all(1, line.c_str(), line.size());
    }

    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        sim::error(tool, name, ": ", strerror(e));
        return 1;
    }
    // A report that cannot be delivered once the value is stored: the
    // real tool writes " -> NEW" after the kernel took the value, and dies
    // of SIGPIPE there when the reader of its output has gone.
    if (apply) {
        sim::apply_signal(tool, state, base.c_str(), "signal_after");
    }
    return 0;
}

int
operand(const char *state, const char *arg, bool nflag) {
    const char *eq = strchr(arg, '=');
    if (eq == nullptr) {
        return name_only ? print_name(state, arg) : read_setting(state, arg, nflag);
    }
    sim::Buf name;
    name.add(arg, static_cast<size_t>(eq - arg));
    return write_setting(state, name.c_str(), eq + 1, nflag);
}

} // namespace

int
main(int argc, char **argv) {
    const char *state = sim::state_dir(tool);
    // Recorded before anything can delay or kill us, so a test still sees
    // calls that the service gave up on.
    sim::log_fds(state, tool);
    sim::Buf call;
    sim::join_argv(call, argc, argv);
    sim::log_line(state, tool, call);

    bool nflag = false;
    int i = 1;
    for (; i < argc; ++i) {
        const char *a = argv[i];
        if (a[0] != '-' || a[1] == '\0') {
            break;
        }
        if (strcmp(a, "--") == 0) {
            ++i;
            break;
        }
        for (const char *p = a + 1; *p != '\0'; ++p) {
            if (*p == 'n') {
                nflag = true;
            } else if (*p == 'N') {
                name_only = true;
            } else if (*p == 'q') {
                qflag = true;
            } else {
                usage();
            }
        }
    }
    if (i == argc) {
        usage();
    }

    // Like the real tool, later operands are still handled after one
    // fails; the status is that of the first failure.
    int status = 0;
    for (; i < argc; ++i) {
        int rc = operand(state, argv[i], nflag);
        if (rc != 0 && status == 0) {
            status = rc;
        }
    }
    return status;
}
