// Immediate suspend through the base system's tools. Both block until the
// tool has exited and follow run_command's contract: 0 or -1, the reply
// "ok"/"error" once the tool has run, left empty on earlier failures.
//
// With devd running, the kernel only tells devd of a request and the tool
// returns before the machine sleeps (acpi_ReqSleepState in
// sys/dev/acpica/acpi.c): "ok" means that the kernel took the request, not
// that the machine has slept and resumed.
#pragma once

#include "lid/lid.hpp"

int suspend_s3(reply_text &reply);

// Checks that the kernel lists an S0ix type, then points kern.power.suspend
// at it while apm -z requests the suspend, whatever the switch mode is, and
// restores the saved value on every way out once it has been changed; a
// failed restore is warned about and keeps the reply.
int suspend_s0ix(reply_text &reply);

// The command line of the tool that each request runs, for warnings.
inline constexpr char s3_tool[] = "acpiconf -s 3";
inline constexpr char s0ix_tool[] = "apm -z";
