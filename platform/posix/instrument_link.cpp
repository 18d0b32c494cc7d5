// Placeholder until the instrument link exists on this platform: no instrument
// software is ever found.
#include "platform/instrument_link.h"

namespace platform {
namespace {
class NoInstrumentLinker : public IInstrumentLinker {
 public:
  LinkResult Link(const std::string&, std::shared_ptr<IInstrument>&) override {
    return LinkResult::kNoBlock;
  }
};
}  // namespace

IInstrumentLinker& InstrumentLinker() {
  static NoInstrumentLinker linker;
  return linker;
}
}  // namespace platform
