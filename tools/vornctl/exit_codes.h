#pragma once
// One exit code per outcome, so that scripts can tell them apart.

namespace vornctl {

enum ExitCode : int {
  kExitOk = 0,              // done; for install: installed
  kExitNothingFound = 1,    // discover: no server answered
  kExitUsage = 2,           // wrong arguments
  kExitUnreachable = 3,     // connection failed or broke (socket error)
  kExitNotAServer = 4,      // the peer did not identify itself in time
  kExitServerError = 5,     // the server's error queue reported a failure
  kExitInstallFailed = 6,   // the installation ended in ERR
  kExitRebootRequired = 7,  // installed, a reboot is required (and not done)
  kExitTimedOut = 8,        // the server did not answer within --timeout, or closed the connection
  kExitFileError = 9,       // a local file cannot be read or is no package description
  kExitInternal = 10,       // an unexpected failure (out of memory, a fault of vornctl's)
  kExitAborted = 130,       // Ctrl-C
};

}  // namespace vornctl
