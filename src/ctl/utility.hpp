// Running a utility while a hold lasts, as env(1) runs one: found through
// PATH, with the client's environment and standard streams.
#pragma once

#include <csignal>
#include <span>

// Blocks the signals, leaving the mask from before in *previous, and sets
// handler for each one unless the client was started with it ignored, so
// that whatever ignored it (nohup, a background job) keeps its effect.
void block_and_catch(std::span<const int> signals, void (*handler)(int), sigset_t *previous);

// Runs utility[0] with the arguments utility[] and waits for it, passing
// SIGTERM and SIGHUP on to it, never once it is reaped, and ignoring SIGINT
// and SIGQUIT meanwhile. SIGCHLD is at its default from then on.
// Returns the status for the client to exit with: the utility's own,
// 128 + N after signal N, 126 when it was found but could not be run and
// 127 when it was not found (both reported), or 125 when it could not be
// started or waited for (reported).
int run_utility(char *const utility[]);

// True when utility names an executable regular file, itself when it holds
// a slash, else in a folder of PATH (/usr/bin:/bin when PATH is
// unset), as execvp(3) searches it.
bool utility_found(const char *utility);
