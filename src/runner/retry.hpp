// Asking again after a signal: a call that a handler interrupted has done
// nothing, so it is simply made once more.
#pragma once

#include <cerrno>

// Makes call until it returns anything but -1 with errno EINTR, and returns
// that result, errno as the last attempt left it.
template <typename Call>
auto
retry_interrupted(Call call) {
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR)
            return result;
    }
}
