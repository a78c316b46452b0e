// Runs a program of the build host (cmake, bash, dpkg-deb) from a test.
#ifndef DVRCORE_TESTS_EXAMPLES_HOST_COMMAND_H
#define DVRCORE_TESTS_EXAMPLES_HOST_COMMAND_H

#include <string>
#include <vector>

#include "core_process.h"

struct HostCommandResult {
    int status;          // exit status; -1 when killed at the time-out
    std::string output;  // standard output, then standard error
};

// Runs `command` in `workDir` ("" = the test's own) without the target
// launcher; kills it after `timeout`.
inline HostCommandResult RunHostCommand(const std::vector<std::string>& command, dvrtest::milliseconds timeout,
                                        const std::string& workDir = "")
{
    dvrtest::ProcessOptions options;
    options.program = command.front();
    options.args.assign(command.begin() + 1, command.end());
    options.workDir = workDir;
    options.useLauncher = false;
    dvrtest::Process process(options);
    const int status = process.Wait(timeout);
    return {status, process.Output() + process.Errors()};
}

#endif  // DVRCORE_TESTS_EXAMPLES_HOST_COMMAND_H
