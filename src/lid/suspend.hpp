// Immediate suspend through the base system's tools. Both block until the
// tool has exited and follow run_command's contract: 0 or -1, the reply
// "ok"/"error" once the tool has run, left empty on earlier failures.
#pragma once

#include "lid/lid.hpp"

int suspend_s3(reply_text &reply);

// Points kern.power.suspend at the S0ix type while zzz runs, whatever the
// switch mode is, and restores the saved value on every way out once it
// has been changed; a failed restore is warned about and keeps the reply.
int suspend_s0ix(reply_text &reply);
