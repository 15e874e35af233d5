// Preloaded into the service by one test: holds the group lookup, which
// comes between binding the socket and changing its owner and mode, until
// the file named by HOLD_UNTIL exists. The test can then change what lies
// at the socket path in that window without racing.

#include <dlfcn.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

extern "C" group *
getgrnam(const char *name) {
    using lookup = group *(*)(const char *);
    static auto real = reinterpret_cast<lookup>(dlsym(RTLD_NEXT, "getgrnam"));
    if (const char *go = std::getenv("HOLD_UNTIL")) {
        struct stat st;
        for (int waited = 0; waited < 10000 && stat(go, &st) != 0; waited++)
            usleep(1000);
    }
    return real(name);
}
