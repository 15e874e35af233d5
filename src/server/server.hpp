// The control service: one loop that waits on everything at once (new
// connections, the connections being served, the holders, devd and the
// nearest deadline) and hands each ready thing to its owner. Each
// connection carries one request line in and one reply out; no client
// waits on another, only on the tools that requests run.
//
// It stands on the floors below it: runner/ (tools, sysctl, text, clock),
// lid/ (the lid commands, the kernel's readings, the suspends), protocol/
// (the request words) and policy/ (the decisions, which never touch a
// socket). A request is read here (connection.cpp, request.cpp), its words
// are classified by protocol/, and it goes to lid/'s commands or to
// policy/'s holds; a bound hold keeps its connection only as a handle, and
// the holds it ends come back here to be closed. A devd event is read by
// the link here (devd_link.cpp), named by policy/'s parser and handed to
// the follower, whose settings run through lid/; the suspend it or the
// battery floor owes is made at the pass's next settling point.
#pragma once

// Checks the machine, opens the group-owned socket and serves until a
// termination signal or "quit", then finishes the connections already
// accepted. Returns 0 after an orderly end, with the socket file removed; a
// start-up failure ends the process with status 1.
int run_server();

// Only ends the loop; a pending wait then ends at once.
void on_terminate_signal(int signal);
