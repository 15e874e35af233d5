// The control service: one loop that waits on everything at once (new
// connections, the connections being served, the holders, devd and the
// nearest deadline) and hands each ready thing to its owner. Each
// connection carries one request line in and one reply out; no client
// waits on another, only on the tools that requests run.
#pragma once

// Checks the machine, opens the group-owned socket and serves until a
// termination signal or "quit", then finishes the connections already
// accepted. Returns 0 after an orderly end, with the socket file removed; a
// start-up failure ends the process with status 1.
int run_server();

// Only ends the loop; a pending wait then ends at once.
void on_terminate_signal(int signal);
