#include "ctl/json.hpp"

#include <algorithm>
#include <string_view>

struct json_out {
    char *data;
    std::size_t length;
    bool full;
};

static bool valid_fields(std::string_view line);
static bool next_field(std::string_view *rest, std::string_view *key, std::string_view *value);
static std::string_view field_value(std::string_view line, std::string_view key);
static bool is_number(std::string_view text);
static bool counted(std::string_view key);
static void put(json_out *out, std::string_view text);
static void put_string(json_out *out, std::string_view text, bool spaces_as_lines);
static std::size_t finish(json_out *out);

// The fields that count something become numbers when they are numbers,
// so that a bar can compare them without parsing.
static constexpr std::string_view counted_keys[] = {"holds", "battery", "heat"};
// A JSON number with no leading zero, short enough for any reader's integer.
static constexpr std::size_t number_digits_max = 9;
static constexpr char hex_digits[] = "0123456789abcdef";

// substr() is left alone: its range check would bring in the C++ runtime.
static bool
next_field(std::string_view *rest, std::string_view *key, std::string_view *value) {
    if (rest->empty())
        return false;
    std::size_t end = std::min(rest->find(' '), rest->size());
    std::string_view field(rest->data(), end);
    rest->remove_prefix(end < rest->size() ? end + 1 : end);
    std::size_t equals = std::min(field.find('='), field.size());
    *key = std::string_view(field.data(), equals);
    field.remove_prefix(equals < field.size() ? equals + 1 : equals);
    *value = field;
    return true;
}

// Each field has a key before its "="; a space at either end or two
// together would make an empty field.
static bool
valid_fields(std::string_view line) {
    std::size_t start = 0;
    for (;;) {
        std::size_t end = std::min(line.find(' ', start), line.size());
        std::size_t equals = line.find('=', start);
        if (equals == std::string_view::npos || equals >= end || equals == start)
            return false;
        if (end == line.size())
            return true;
        start = end + 1;
    }
}

static std::string_view
field_value(std::string_view line, std::string_view key) {
    std::string_view name, value;
    while (next_field(&line, &name, &value)) {
        if (name == key)
            return value;
    }
    return {};
}

static bool
is_number(std::string_view text) {
    return !text.empty() && text.size() <= number_digits_max &&
           text.find_first_not_of("0123456789") == std::string_view::npos &&
           (text[0] != '0' || text.size() == 1);
}

static bool
counted(std::string_view key) {
    return std::find(std::begin(counted_keys), std::end(counted_keys), key) !=
           std::end(counted_keys);
}

static void
put(json_out *out, std::string_view text) {
    if (out->full || json_capacity - out->length < text.size()) {
        out->full = true;
        return;
    }
    std::copy(text.begin(), text.end(), out->data + out->length);
    out->length += text.size();
}

static void
put_string(json_out *out, std::string_view text, bool spaces_as_lines) {
    put(out, "\"");
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (spaces_as_lines && ch == ' ') {
            put(out, "\\n");
        } else if (ch == '"' || ch == '\\') {
            const char pair[] = {'\\', ch};
            put(out, {pair, sizeof pair});
        } else if (byte < 0x20 || byte > 0x7e) {
            const char code[] = {
                '\\', 'u', '0', '0', hex_digits[byte >> 4], hex_digits[byte & 0xf]};
            put(out, {code, sizeof code});
        } else {
            put(out, {&ch, 1});
        }
    }
    put(out, "\"");
}

static std::size_t
finish(json_out *out) {
    put(out, "}\n");
    return out->full ? 0 : out->length;
}

std::size_t
state_json(const char *line, char *out) {
    std::string_view rest = line;
    if (!valid_fields(rest))
        return 0;
    json_out json = {out, 0, false};
    std::string_view key, value;
    const char *separator = "{";
    while (next_field(&rest, &key, &value)) {
        put(&json, separator);
        separator = ",";
        put_string(&json, key, false);
        put(&json, ":");
        if (counted(key) && is_number(value))
            put(&json, value);
        else
            put_string(&json, value, false);
    }
    return finish(&json);
}

std::size_t
waybar_json(const char *line, char *out) {
    std::string_view fields = line;
    if (!valid_fields(fields))
        return 0;
    std::string_view action = field_value(fields, "action");
    std::string_view holds = field_value(fields, "holds");
    std::string_view battery = field_value(fields, "battery");
    json_out json = {out, 0, false};
    put(&json, "{\"text\":");
    put_string(&json, action, false);
    put(&json, ",\"tooltip\":");
    put_string(&json, fields, true);
    put(&json, ",\"class\":");
    put(&json, is_number(holds) && holds != "0" ? "\"held\""
               : action == "NONE"               ? "\"awake\""
                                                : "\"sleep\"");
    if (is_number(battery)) {
        put(&json, ",\"percentage\":");
        put(&json, battery);
    }
    return finish(&json);
}

std::size_t
waybar_down(char *out) {
    json_out json = {out, 0, false};
    put(&json, "{\"text\":\"down\",\"tooltip\":\"the vantrel service is not running\","
               "\"class\":\"down\"");
    return finish(&json);
}
