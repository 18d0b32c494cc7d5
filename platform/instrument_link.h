#pragma once
// The link to the instrument software: a counted reference to the interface
// that the instrument software publishes, marshalled, in a named shared
// memory block. The service calls these methods and nothing else of it; each
// is named after its slot in the instrument interface's method table (the
// three IUnknown methods being 0 to 2). Results are HRESULTs (0 is S_OK).

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Positions in the instrument interface's method table of the methods that
// the service calls (IUnknown takes 0 to 2).
enum InstrumentSlot : std::uint32_t {
  kSlotGetChallenge = 5,
  kSlotSetResponse = 6,
  kSlotPreset = 8,
  kSlotGetMaterialNumber = 17,
  kSlotGetSerialNumber = 18,
  kSlotGetOperatingTime = 19,
  kSlotGetMacAddress = 24,
  kSlotBeginInstallation = 34,
  kSlotEndInstallation = 35,
};

inline constexpr std::int32_t kHresultOk = 0;
inline constexpr std::int32_t kHresultFail = static_cast<std::int32_t>(0x80004005);

class IInstrument {
 public:
  virtual ~IInstrument() = default;  // releases the reference

  virtual std::int32_t GetChallenge(std::uint8_t* buffer128) = 0;      // slot 5
  virtual std::int32_t SetResponse(const std::uint8_t* response) = 0;  // slot 6 (>= 128 bytes)
  virtual std::int32_t Preset() = 0;                                   // slot 8
  // Text results arrive as BSTRs and are handed back converted to the ANSI
  // code page; the text is set whatever the method returned (an unset string
  // gives an empty text).
  virtual std::int32_t GetMaterialNumber(std::string& text) = 0;  // slot 17
  virtual std::int32_t GetSerialNumber(std::string& text) = 0;    // slot 18
  virtual std::int32_t GetOperatingTime(std::string& text) = 0;   // slot 19
  virtual std::int32_t GetMacAddress(std::string& text) = 0;      // slot 24
  virtual std::int32_t BeginInstallation() = 0;                   // slot 34
  virtual std::int32_t EndInstallation() = 0;                     // slot 35
};

enum class LinkResult {
  kLinked,
  kNoBlock,  // no shared memory block of that name
  kFailed,   // the block exists but no reference could be obtained from it
};

class IInstrumentLinker {
 public:
  virtual ~IInstrumentLinker() = default;
  // Opens the named block, reads the count and the marshalled reference
  // behind it, and unmarshals it. The calling thread has COM initialised.
  virtual LinkResult Link(const std::string& blockName, std::shared_ptr<IInstrument>& out) = 0;
};

IInstrumentLinker& InstrumentLinker();

}  // namespace platform
