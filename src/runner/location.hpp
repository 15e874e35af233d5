// Where the service is found: the socket path, its group and the pid file,
// taken from the environment once, at start. The service, the direct
// commands and the client all read them; they need nothing else, so the
// client links this file alone.
#pragma once

// Used in place: these point at the defaults or into the environment.
extern const char *socket_path;
extern const char *group_name;
inline constexpr char pid_file_path[] = "/var/run/vantrel.pid";
// Locked by the one running service for its whole life.
inline constexpr char lock_file_path[] = "/var/run/vantrel.lock";

// Applies vantrel_socket and vantrel_group when they are set and not empty.
void load_location_settings();
