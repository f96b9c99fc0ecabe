// Running a command through the shell from a process that ignores SIGPIPE and keeps its
// messages in a buffer: the supervisor's killall and the installer's extraction tool. And
// setting a signal's disposition, as the daemon does for itself, its children and the shell.
#pragma once

#include <signal.h>

namespace watchd {

// Sets sig to handler (SIG_DFL or SIG_IGN) with an empty mask and no flags, storing the action
// it replaces in saved when given. A system call only: the launcher's vfork child uses it.
void set_signal_disposition(int sig, void (*handler)(int), struct sigaction* saved = nullptr);

// Runs command through system() once standard output is flushed, with SIGPIPE (which the
// daemon ignores) at its default for the command. Returns system()'s status.
int run_shell_command(const char* command);

}  // namespace watchd
