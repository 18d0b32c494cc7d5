#pragma once
// The instrument software's side of the instrument link, for the simulator
// that stands in for it: publish an object in the named shared memory block
// in the form that InstrumentLinker() reads.

#include <memory>
#include <string>

#include "platform/instrument_link.h"

namespace platform {

// Withdraws the block and the object when destroyed.
class IInstrumentPublication {
 public:
  virtual ~IInstrumentPublication() = default;
};

// Publishes instrument under blockName. Its methods are then called from
// other threads, possibly at the same time. nullptr with a message in error
// when the block cannot be created (for instance because it exists).
std::unique_ptr<IInstrumentPublication> PublishInstrument(const std::string& blockName,
                                                          std::shared_ptr<IInstrument> instrument,
                                                          std::string& error);

// Blocks until the process is asked to stop: SIGTERM or SIGINT (posix), or
// the end of standard input when that is a pipe (both backends; without a
// pipe on Windows only ending the process stops it).
void WaitForStopRequest();

}  // namespace platform
