#include "runner/socket_file.hpp"

#include "runner/text.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static struct flock whole_file(short type);
static short ask_holder(int fd, pid_t *holder);
static bool fit_for_lock(int fd);
static int replace_lock_file(const char *path, int fd);

static_assert(sizeof(sockaddr_un::sun_path) >= socket_path_capacity);

// What bind made; a zero inode means nothing is recorded.
static dev_t own_device;
static ino_t own_inode;

// Root's alone. Anyone who can open the file can wait on it for a read
// lock with F_SETLKW; the kernel grants it the moment the service ends, and
// every later start then finds the file locked and refuses to run.
static constexpr mode_t lock_file_mode = 0600;
// A holder that lets go between a refused F_SETLK and the F_GETLK that
// would name it earns another try, this many times in all.
static constexpr int lock_attempts = 3;

socklen_t
make_socket_address(const char *path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (copy_text(addr.sun_path, socket_path_capacity, path) == -1)
        return 0;
    // The length byte stays zero: the kernel takes the length from the
    // argument, which covers the path without its terminating zero.
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(addr.sun_path));
}

path_state
probe_socket_path(const char *path) {
    struct stat st;
    if (lstat(path, &st) == -1 || !(S_ISSOCK(st.st_mode) || S_ISLNK(st.st_mode)))
        return path_state::vacant;
    sockaddr_un addr;
    socklen_t length = make_socket_address(path, addr);
    if (length == 0)
        return path_state::answering;
    int error = try_connect(addr, length);
    if (error == ECONNREFUSED || error == ENOENT || error == ENOTSOCK)
        return path_state::stale;
    return path_state::answering;
}

int
try_connect(const sockaddr_un &addr, socklen_t length) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1)
        return errno;
    int rc = connect(fd, reinterpret_cast<const sockaddr *>(&addr), length);
    int error = rc == -1 ? errno : 0;
    close(fd);
    return error;
}

int
socket_directory(const char *path, char *dir, std::size_t capacity) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return copy_text(dir, capacity, ".");
    if (slash == path)
        return copy_text(dir, capacity, "/");
    return copy_text(dir, capacity, {path, static_cast<std::size_t>(slash - path)});
}

int
record_own_socket(const char *path) {
    struct stat st;
    if (lstat(path, &st) == -1)
        return -1;
    own_device = st.st_dev;
    own_inode = st.st_ino;
    return 0;
}

void
remove_own_socket(const char *path) {
    struct stat st;
    if (own_inode == 0 || lstat(path, &st) == -1)
        return;
    if (st.st_dev == own_device && st.st_ino == own_inode)
        unlink(path);
}

static struct flock
whole_file(short type) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// A write lock is asked about, so that a lock of either kind is found.
// Returns the kind found, F_UNLCK for none, with *holder set for a lock.
static short
ask_holder(int fd, pid_t *holder) {
    struct flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_GETLK, &lock) == -1)
        return F_UNLCK;
    if (lock.l_type != F_UNLCK)
        *holder = lock.l_pid;
    return lock.l_type;
}

static bool
fit_for_lock(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) == lock_file_mode;
}

// A file with other rights or another owner, or one that another process
// keeps from being locked without holding a write lock, is removed, so a
// descriptor opened on it while it was readable holds nothing of the new
// one. It is removed only while it is still the file at path.
static int
replace_lock_file(const char *path, int fd) {
    struct stat opened, named;
    bool same = fstat(fd, &opened) == 0 && lstat(path, &named) == 0 &&
                opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
    close(fd);
    if (same && unlink(path) == -1)
        return -1;
    return 0;
}

// Each attempt opens the file anew: a holder may let go between a refused
// F_SETLK and the F_GETLK that would name it, and a file that had to be
// replaced is created again. Only a write lock is a service's: a read lock
// is someone waiting on a file that was once readable, and such a file is
// replaced like one with the wrong owner or rights.
int
take_service_lock(const char *path, pid_t *holder) {
    for (int attempt = 0; attempt < lock_attempts; attempt++) {
        int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, lock_file_mode);
        if (fd == -1)
            return -1;
        struct flock lock = whole_file(F_WRLCK);
        bool fit = fit_for_lock(fd);
        if (fit && fcntl(fd, F_SETLK, &lock) == 0)
            return 0;
        if (fit && errno != EAGAIN && errno != EACCES) {
            int saved_errno = errno;
            close(fd);
            errno = saved_errno;
            return -1;
        }
        short found = ask_holder(fd, holder);
        if (found == F_WRLCK) {
            close(fd);
            return 1;
        }
        if (!fit || found == F_RDLCK) {
            if (replace_lock_file(path, fd) == -1)
                return -1;
            continue;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

bool
find_service_lock(const char *path, pid_t *holder) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool held = ask_holder(fd, holder) == F_WRLCK;
    close(fd);
    return held;
}
