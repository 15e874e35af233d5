// The control socket server: one connection at a time, one command line in,
// one reply line out.
#pragma once

// Checks the machine, opens the group-owned socket and serves until a
// termination signal or "quit". Returns 0 after an orderly end, with the
// socket file removed; a start-up failure ends the process with status 1.
int run_server();

// Only ends the loop; a pending wait for a connection then ends at once.
void on_terminate_signal(int signal);
