// File: ExitCode.h
//
// The tool's exit codes, one set for every command.
#pragma once

namespace qelcli {

enum class ExitCode : int {
    Ok = 0,      // done; for doctor, nothing to report
    Failed = 1,  // refused or failed; the reason is on stderr (doctor: problems were found)
    Usage = 2,   // the command line itself is wrong
};

}  // namespace qelcli
