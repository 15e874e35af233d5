#include "policy/state_file.hpp"

#include "runner/socket_file.hpp"
#include "runner/sysctl.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

static void sync_folder(const char *path);

// Readable by all, as anything else in /var/run that tells what runs;
// only root writes the folder.
static constexpr mode_t state_file_mode = 0644;

// A rename or an unlink is an entry in the folder, which the file's own
// fsync does not write out. A failure is warned about and changes nothing:
// the entry is in place, only its durability is in doubt.
static void
sync_folder(const char *path) {
    char dir[socket_path_capacity];
    if (socket_directory(path, dir, sizeof dir) == -1)
        return;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1 || fsync(fd) == -1)
        warn("%s", dir);
    if (fd != -1)
        close(fd);
}

int
replace_state_file(const char *path, const char *new_path, const char *text, std::size_t length) {
    int fd = open(new_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, state_file_mode);
    if (fd == -1) {
        warn("%s", new_path);
        return -1;
    }
    bool written = fchmod(fd, state_file_mode) == 0 &&
                   write(fd, text, length) == static_cast<ssize_t>(length) && fsync(fd) == 0;
    if (close(fd) == -1)
        written = false;
    if (written && rename(new_path, path) == 0) {
        sync_folder(path);
        return 0;
    }
    warn("%s", written ? path : new_path);
    (void)unlink(new_path);
    return -1;
}

int
replace_state_line(const char *path, const char *new_path, const char *value) {
    char line[setting_capacity + 1];
    std::size_t length = std::strlen(value);
    if (length >= setting_capacity)
        return -1;
    std::memcpy(line, value, length);
    line[length++] = '\n';
    return replace_state_file(path, new_path, line, length);
}

void
remove_state_file(const char *path) {
    if (unlink(path) == 0)
        sync_folder(path);
    else if (errno != ENOENT)
        warn("%s", path);
}

int
read_state_file(const char *path, char *text, std::size_t capacity) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return -1;
    ssize_t n = read(fd, text, capacity - 1);
    close(fd);
    text[n > 0 ? static_cast<std::size_t>(n) : 0] = '\0';
    trim_line_ends(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    return 0;
}
