// devd's messages: the parser against a model written with strings and a
// map, with and without a trailing line feed, and the same bytes received
// from a SOCK_SEQPACKET socket. The whole input is one message.
#include "fuzz_support.hpp"

#include "server/devd_link.hpp"

#include <cstdint>
#include <map>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

devd_event
model(std::string message) {
    using enum devd_event;
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    if (message.empty() || message[0] != '!')
        return none;
    std::map<std::string, std::vector<std::string>> fields;
    for (const std::string &word : fuzz::split(message.substr(1), ' ')) {
        std::size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0)
            return none;
        fields[word.substr(0, equals)].push_back(word.substr(equals + 1));
    }
    for (const char *key : {"system", "subsystem", "type", "notify"}) {
        if (fields[key].size() > 1)
            return none;
    }
    auto is = [&fields](const char *key, const char *want) {
        return fields[key] == std::vector<std::string>{want};
    };
    // Any notify but zero is an open lid.
    if (is("system", "ACPI") && is("subsystem", "Lid") && fields["notify"].size() == 1)
        return is("notify", "0x00") ? lid_closed : lid_opened;
    if (is("system", "ACPI") && is("subsystem", "ACAD")) {
        if (is("notify", "0x00"))
            return on_battery;
        return is("notify", "0x01") ? on_ac : none;
    }
    if (is("system", "ACPI") && is("subsystem", "CMBAT"))
        return battery_changed;
    if (is("system", "ACPI") && is("subsystem", "Thermal"))
        return thermal;
    if (is("system", "ACPI") && is("subsystem", "Dock"))
        return dock_changed;
    if (is("system", "DRM") && is("subsystem", "CONNECTOR") && is("type", "HOTPLUG"))
        return display_changed;
    bool acpi_resume = is("system", "ACPI") && is("subsystem", "Resume");
    // The kernel's own event: "kernel" since 14, "kern" before.
    bool kern_resume = (is("system", "kernel") || is("system", "kern")) &&
                       is("subsystem", "power") && is("type", "resume");
    return acpi_resume || kern_resume ? resumed : none;
}

// In a buffer of exactly its size, so the address sanitizer sees any look
// past the view.
devd_event
parse_exact(const std::string &message) {
    std::vector<char> copy(message.begin(), message.end());
    return parse_devd_event({copy.data(), copy.size()});
}

void
check_received(const std::string &message, devd_event parsed) {
    int pair[2];
    fuzz::require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    bool sent =
        send(pair[1], message.data(), message.size(), 0) == static_cast<ssize_t>(message.size());
    fuzz::require(sent, "the message could not be sent");
    // A zero-length message is the end of the connection, checked below.
    if (!message.empty()) {
        devd_event want = message.size() > devd_message_capacity ? devd_event::none : parsed;
        devd_received got = devd_receive(pair[0]);
        fuzz::require(got.status == devd_status::message && got.event == want,
                      "a received message differs from the parsed one");
        fuzz::require(devd_receive(pair[0]).status == devd_status::nothing,
                      "a read without a message waited or failed");
    }
    close(pair[1]);
    // On a loaded machine the end can reach the reader a moment late; the
    // service waits for it the same way, in its one wait.
    pollfd ready = {pair[0], POLLIN, 0};
    (void)poll(&ready, 1, 1000);
    fuzz::require(devd_receive(pair[0]).status == devd_status::closed, "the end went unseen");
    close(pair[0]);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string message(reinterpret_cast<const char *>(data), size);
    devd_event got = parse_exact(message);
    fuzz::require(got == model(message), "the parser disagrees with the model");
    if (message.empty() || message.back() != '\n')
        fuzz::require(parse_exact(message + "\n") == got, "a trailing line feed changed it");
    check_received(message, got);
    return 0;
}
