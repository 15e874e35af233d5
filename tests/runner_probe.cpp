// Calls the tool runner directly inside the simulated machine, for the cases
// the command line cannot reach: names at their length limit and small
// output capacities.
//   runner_probe read NAME CAPACITY   prints "rc=R [TEXT]"
//   runner_probe write NAME VALUE     prints "rc=R"

#include "runner/sysctl.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int
main(int argc, char *argv[]) {
    if (argc != 4)
        return 2;
    if (std::strcmp(argv[1], "read") == 0) {
        std::size_t capacity = std::strtoul(argv[3], nullptr, 10);
        std::vector<char> buffer(capacity + 8, '#');
        std::fill(buffer.begin(), buffer.begin() + static_cast<long>(capacity), '\0');
        int rc = sysctl_read(argv[2], buffer.data(), capacity);
        // Everything past the capacity must be left as it was.
        for (std::size_t i = capacity; i < buffer.size(); i++) {
            if (buffer[i] != '#')
                return 3;
        }
        std::printf("rc=%d [%s]\n", rc, buffer.data());
        return 0;
    }
    if (std::strcmp(argv[1], "write") == 0) {
        std::fflush(stdout);
        int rc = sysctl_write(argv[2], argv[3]);
        std::printf("rc=%d\n", rc);
        return 0;
    }
    return 2;
}
