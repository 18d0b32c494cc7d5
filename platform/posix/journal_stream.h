#pragma once
// Whether standard error is the journald stream that systemd connected it
// to: systemd sets JOURNAL_STREAM to "<device>:<inode>" of that stream, and
// the variable is passed on to children whose standard error may be
// redirected elsewhere, so both must match.

#include <string>

namespace platform::posix {

bool IsJournalStream(const char* journalStreamVariable, int fd);

}  // namespace platform::posix
