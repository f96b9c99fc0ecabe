// Running a command through the shell from a process that ignores SIGPIPE and keeps its
// messages in a buffer: the supervisor's killall and the installer's extraction tool.
#pragma once

namespace watchd {

// Runs command through system() once standard output is flushed, with SIGPIPE (which the
// daemon ignores) at its default for the command. Returns system()'s status.
int run_shell_command(const char* command);

}  // namespace watchd
