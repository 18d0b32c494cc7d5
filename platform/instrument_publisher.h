#pragma once
// The instrument software's side of the instrument link, for the simulator
// that stands in for it: publish an object in the named shared memory block
// in the form that InstrumentLinker() reads.

#include <functional>
#include <memory>
#include <string>

#include "platform/instrument_link.h"

namespace platform {

// Withdraws the block and the object when destroyed.
class IInstrumentPublication {
 public:
  virtual ~IInstrumentPublication() = default;
};

// Told how many connections (references held by other processes) the
// published object has whenever that changes. Windows counts strong
// external connections as COM reports them: 1 while any process holds a
// reference, 0 when none does.
using ConnectionObserver = std::function<void(unsigned connections)>;

// Publishes instrument under blockName. Its methods are then called from
// other threads, possibly at the same time. nullptr with a message in error
// when the block cannot be created (for instance because it exists). With an
// observer, the object is published so that the references of others can be
// seen: on Windows it is then marshalled table-weak and stays alive through
// the publication alone, which is what instrument software does that wants
// to know whether anyone is connected.
std::unique_ptr<IInstrumentPublication> PublishInstrument(const std::string& blockName,
                                                          std::shared_ptr<IInstrument> instrument,
                                                          std::string& error,
                                                          ConnectionObserver observer = {});

// Blocks until the process is asked to stop: SIGTERM or SIGINT (posix), or
// the end of standard input when that is a pipe (both backends; without a
// pipe on Windows only ending the process stops it).
void WaitForStopRequest();

}  // namespace platform
