// Preloaded into the service (LD_PRELOAD) to count its heap calls. The
// counts live in a small shared file named by VANTREL_ALLOC_COUNT, so the
// benchmark can read them at any moment without disturbing the service.
//
// Only the process the library was loaded into counts: a child forked to
// run a tool shares the mapping but not the pid, and the two variables are
// removed from the environment at load, so the tools it execs run without
// the library, exactly as they would without the benchmark.
//
// The file holds little-endian 64-bit words: magic, pid, malloc, calloc,
// realloc, aligned (memalign family), free.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);
}

namespace {

constexpr std::uint64_t magic = 0x746e756f636c6c61; // "allcount"

struct counts {
    std::uint64_t magic;
    std::uint64_t pid;
    std::atomic<std::uint64_t> malloc_calls;
    std::atomic<std::uint64_t> calloc_calls;
    std::atomic<std::uint64_t> realloc_calls;
    std::atomic<std::uint64_t> aligned_calls;
    std::atomic<std::uint64_t> free_calls;
};

counts *shared = nullptr;
pid_t owner = 0;

bool
counting() {
    return shared != nullptr && getpid() == owner;
}

void
bump(std::atomic<std::uint64_t> counts::*which) {
    if (counting())
        (shared->*which).fetch_add(1, std::memory_order_relaxed);
}

__attribute__((constructor)) void
start_counting() {
    const char *path = std::getenv("VANTREL_ALLOC_COUNT");
    if (path == nullptr || path[0] == '\0')
        return;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1)
        return;
    void *map = MAP_FAILED;
    if (ftruncate(fd, 4096) == 0)
        map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return;
    unsetenv("LD_PRELOAD");
    unsetenv("VANTREL_ALLOC_COUNT");
    auto *c = static_cast<counts *>(map);
    owner = getpid();
    c->pid = static_cast<std::uint64_t>(owner);
    c->magic = magic;
    shared = c;
}

} // namespace

extern "C" {

void *
malloc(std::size_t size) {
    bump(&counts::malloc_calls);
    return __libc_malloc(size);
}

void *
calloc(std::size_t n, std::size_t size) {
    bump(&counts::calloc_calls);
    return __libc_calloc(n, size);
}

void *
realloc(void *p, std::size_t size) {
    bump(&counts::realloc_calls);
    return __libc_realloc(p, size);
}

void *
reallocarray(void *p, std::size_t n, std::size_t size) {
    std::size_t total;
    if (__builtin_mul_overflow(n, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(p, total);
}

void
free(void *p) {
    if (p != nullptr)
        bump(&counts::free_calls);
    __libc_free(p);
}

void *
memalign(std::size_t alignment, std::size_t size) {
    bump(&counts::aligned_calls);
    return __libc_memalign(alignment, size);
}

void *
aligned_alloc(std::size_t alignment, std::size_t size) {
    return memalign(alignment, size);
}

int
posix_memalign(void **out, std::size_t alignment, std::size_t size) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *p = memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

void *
valloc(std::size_t size) {
    return memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

void *
pvalloc(std::size_t size) {
    auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return memalign(page, (size + page - 1) / page * page);
}

} // extern "C"
