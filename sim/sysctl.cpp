// Stand-in for FreeBSD's sysctl(8) on the simulated machine.
//
//   sysctl [-N | -n] [-q] NAME[=VALUE] ...
//
// -q, as FreeBSD's has it (sbin/sysctl/sysctl.c), keeps "unknown oid" off
// standard error, still failing, and drops the report of a change. -N
// prints the names of the settings named, without reading them; -N and -n
// together are a usage error there too.
//
// Settings are the files DIR/sysctl/NAME.  A NAME that is no setting but
// the start of some, up to a dot, is a node: as the real tool walks a
// node's leaves (sysctl_all), each setting below it is shown, by name with
// -N, in name order where the kernel uses OID order.
//
// Each NAME (a node too) can be made to misbehave with knobs
// DIR/knob/NAME.{read,write}.{exit,signal,raw,delay}, NAME.write.signal_after
// and NAME.write.only, and be narrowed to some values by NAME.write.accept.
// -N of an existing setting obeys no knob: it reads nothing.
#include "tool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const char tool[] = "sysctl";

[[noreturn]] void
usage() {
    static const char msg[] = "usage: sysctl [-N | -n] [-q] name[=value] ...\n";
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

// Whether NAME is a setting of its own (a leaf), with value added to out.
int
leaf_value(const char *state, const char *name, sim::Buf &out) {
    if (!sim::valid_name(name)) {
        return ENOENT;
    }
    return sim::setting_value(state, name, out);
}

// The settings below node NAME, at a dot boundary so that "a.b" covers
// "a.b.c" but not "a.bc", sorted by name.  The list is handed to the
// caller, who frees it with free_list.
const char *node_prefix = nullptr;
size_t node_prefix_len = 0;

int
below_node(const struct dirent *d) {
    return strncmp(d->d_name, node_prefix, node_prefix_len) == 0 &&
           d->d_name[node_prefix_len] == '.' && d->d_name[node_prefix_len + 1] != '\0';
}

int
by_name(const struct dirent **a, const struct dirent **b) {
    return strcmp((*a)->d_name, (*b)->d_name);
}

int
list_node(const char *state, const char *name, struct dirent ***out) {
    sim::Buf dir;
    dir.add(state);
    dir.add("/sysctl");
    node_prefix = name;
    node_prefix_len = strlen(name);
    int n = scandir(dir.c_str(), out, below_node, by_name);
    return n < 0 ? 0 : n;
}

void
free_list(struct dirent **list, int n) {
    for (int i = 0; i < n; ++i) {
        free(list[i]);
    }
    free(list);
}

// One setting as the real tool's show_var prints it: the name with -N, the
// value with -n, else "NAME: VALUE"; then a newline.  Returns 0 or the
// errno of reading the value.
int
show_leaf(const char *state, const char *name, bool nflag) {
    sim::Buf line;
    int err = 0;
    if (name_only) {
        err = leaf_value(state, name, line);
        line.clear();
        line.add(name);
    } else {
        if (!nflag) {
            line.add(name);
            line.add(": ");
        }
        err = leaf_value(state, name, line);
    }
    if (err == 0) {
        line.add('\n');
        sim::write_all(1, line.c_str(), line.size());
    }
    return err;
}

// A node: each setting below it; none at all makes NAME unknown.
int
show_node(const char *state, const char *name, bool nflag) {
    struct dirent **list = nullptr;
    int n = sim::valid_name(name) ? list_node(state, name, &list) : 0;
    if (n == 0) {
        return unknown(name);
    }
    for (int i = 0; i < n; ++i) {
        // A setting removed meanwhile is skipped, as the kernel's walk
        // would no longer find it.
        show_leaf(state, list[i]->d_name, nflag);
    }
    free_list(list, n);
    return 0;
}

// NAME read as the real tool parses it: a leaf, else a node, else unknown.
int
show(const char *state, const char *name, bool nflag) {
    int err = show_leaf(state, name, nflag);
    if (err == 0) {
        return 0;
    }
    if (missing(err)) {
        return show_node(state, name, nflag);
    }
    sim::error(tool, name, ": ", strerror(err));
    return 1;
}

// Whether NAME is a node: some setting lies below it.
bool
is_node(const char *state, const char *name) {
    struct dirent **list = nullptr;
    int n = list_node(state, name, &list);
    if (n > 0) {
        free_list(list, n);
    }
    return n > 0;
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
        status = show(state, name, nflag);
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
    if (missing(err) && is_node(state, name)) {
        sim::error(tool, "oid '", name, "' isn't a leaf node");
        return 1;
    }
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
        // -N of a setting that exists reads nothing, so no read knob acts.
        sim::Buf value;
        if (name_only && leaf_value(state, arg, value) == 0) {
            return show_leaf(state, arg, nflag);
        }
        return read_setting(state, arg, nflag);
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
    if (i == argc || (name_only && nflag)) {
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
