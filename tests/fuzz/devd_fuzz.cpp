// devd's messages: the parser against a model written with strings and a
// map, the parser's own properties, and the same bytes received from a
// SOCK_SEQPACKET socket. The whole input is one message.
#include "fuzz_support.hpp"

#include "server/devd.hpp"

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Pieces between single spaces, empty ones included.
std::vector<std::string>
split_words(const std::string &text) {
    std::vector<std::string> words(1);
    for (char c : text) {
        if (c == ' ')
            words.emplace_back();
        else
            words.back() += c;
    }
    return words;
}

devd_event
model(std::string message) {
    using enum devd_event;
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    if (message.empty() || message[0] != '!')
        return none;
    std::map<std::string, std::vector<std::string>> fields;
    for (const std::string &word : split_words(message.substr(1))) {
        std::size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0)
            return none;
        fields[word.substr(0, equals)].push_back(word.substr(equals + 1));
    }
    std::optional<std::string> value[4];
    const char *keys[4] = {"system", "subsystem", "type", "notify"};
    for (int k = 0; k < 4; k++) {
        const std::vector<std::string> &given = fields[keys[k]];
        if (given.size() > 1)
            return none;
        if (given.size() == 1)
            value[k] = given[0];
    }
    const auto &[system, subsystem, type, notify] = value;
    bool acpi = system == "ACPI";
    if (acpi && (subsystem == "Lid" || subsystem == "ACAD") &&
        (notify == "0x00" || notify == "0x01")) {
        if (subsystem == "Lid")
            return notify == "0x00" ? lid_closed : lid_opened;
        return notify == "0x00" ? on_battery : on_ac;
    }
    if ((acpi && subsystem == "Resume") ||
        (system == "kern" && subsystem == "power" && type == "resume"))
        return resumed;
    return none;
}

// In a buffer of exactly its size, so the address sanitizer sees any look
// past the view.
devd_event
parse_exact(const std::string &message) {
    auto *copy = new char[message.size()];
    std::memcpy(copy, message.data(), message.size());
    devd_event event = parse_devd_event({copy, message.size()});
    delete[] copy;
    return event;
}

void
check_received(const std::string &message, devd_event parsed) {
    int pair[2];
    fuzz::require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    bool sent =
        send(pair[1], message.data(), message.size(), 0) == static_cast<ssize_t>(message.size());
    fuzz::require(sent, "the message could not be sent");
    devd_received got = devd_receive(pair[0]);
    if (message.empty()) {
        fuzz::require(got.status == devd_status::closed, "an empty message did not end it");
    } else {
        devd_event want = message.size() > devd_message_capacity ? devd_event::none : parsed;
        fuzz::require(got.status == devd_status::message && got.event == want,
                      "a received message differs from the parsed one");
        got = devd_receive(pair[0]);
        fuzz::require(got.status == devd_status::nothing, "a read without a message waited");
    }
    close(pair[1]);
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
    if (got != devd_event::none) {
        // The order of the words never matters.
        std::string body = message.substr(1);
        if (body.back() == '\n')
            body.pop_back();
        std::vector<std::string> words = split_words(body);
        std::string reversed = "!";
        for (auto word = words.rbegin(); word != words.rend(); ++word)
            reversed += *word + (word + 1 == words.rend() ? "" : " ");
        fuzz::require(parse_exact(reversed) == got, "the order of the words mattered");
    }
    check_received(message, got);
    return 0;
}
