// Reading and writing kernel settings, always through /sbin/sysctl run as a
// child. The program never calls the kernel's sysctl interface itself.
#pragma once

#include <cstddef>

// Capacity of a setting name and of a name=value argument, zero included.
inline constexpr std::size_t sysctl_name_capacity = 128;
// Capacity of a single setting read outside a reply, zero included.
inline constexpr std::size_t setting_capacity = 64;

// Runs "/sbin/sysctl -n name" and collects at most capacity - 1 bytes of its
// output into buffer, always zero-terminated. Returns 0 when the tool
// succeeded, with trailing line ends removed; -1 otherwise (a name too long
// to pass, a failed pipe, fork or wait, or a tool that failed), in which case
// buffer holds whatever the tool printed, untrimmed. capacity must be >= 1.
int sysctl_read(const char *name, char *buffer, std::size_t capacity);

// As sysctl_read, for a setting that some kernels lack: "sysctl -q -n",
// so that such a kernel's "unknown oid" stays off the standard error that
// daemon(8) sends to syslog. Other failures are still reported by the tool.
int sysctl_probe(const char *name, char *buffer, std::size_t capacity);

// True when the kernel has the setting: "sysctl -q -N name" succeeds and
// names it. Nothing is read from the setting itself.
bool sysctl_exists(const char *name);

// Runs "sysctl -q -N prefix": the name of every setting below the node
// prefix, one a line. Each whole line of at most sysctl_name_capacity - 1
// bytes, line end removed, is handed to take(line, context) in the order
// printed; a longer line, or one with a zero byte, is skipped whole, and a
// last line without its end is a line too. A list of any length is read through one fixed buffer,
// never held whole. Returns 0 when the tool succeeded (a node the kernel
// lacks fails, quietly), -1 otherwise; the lines taken before stand.
using sysctl_line_taker = void (*)(const char *line, void *context);
int sysctl_list(const char *prefix, sysctl_line_taker take, void *context);

// Runs "sysctl name=value" with every descriptor inherited, so the tool's
// own report of the change reaches the caller's standard output. Returns 0
// when the tool succeeded, -1 otherwise; nothing is run when the argument
// would not fit its capacity.
int sysctl_write(const char *name, const char *value);

// Overwrites trailing carriage returns and line feeds of the zero-terminated
// text with zeros. Returns the remaining length.
std::size_t trim_line_ends(char *text, std::size_t length);
