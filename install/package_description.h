#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// Where FindEntry found an entry of an installer container: the payload bytes
// and, right behind them, the entry's description record. Positions are
// offsets in the container stream.
struct CPackageEntry {
  std::int64_t PayloadStart = 0;
  std::uint32_t PayloadLength = 0;
  std::int64_t RecordStart = 0;
  std::uint32_t RecordSize = 0;
};

// The package description record (".mki"): what the data file of a package
// is and how to install it. All integers are u32 little-endian, a text is a
// u32 byte count and that many bytes; the texts are byte strings passed on
// unchanged to the platform's ANSI functions.
//
// Readers return an error text (a constant string) or nullptr on success;
// nothing throws.
class CPackageDescription {
 public:
  using Identifier = std::array<std::uint8_t, 16>;  // GUID binary layout

  // PackageType values.
  static constexpr std::uint32_t kTypeExecutable = 0;
  static constexpr std::uint32_t kTypeInstaller = 1;
  static constexpr std::uint32_t kTypeNotInstallable = 2;
  static constexpr std::uint32_t kTypePostProcess = 4;
  static constexpr std::uint32_t kTypeNothing = 5;

  // Flags bit: delete the data file after the installation.
  static constexpr std::uint32_t kFlagDeleteDataFile = 0x100;

  // Texts, all empty; integers at their defaults; one new GUID.
  CPackageDescription();

  // Fields in record order.
  std::uint32_t FormatVersion = 1;
  std::uint32_t WriterRevision = 35;
  std::string Name;  // selects a container entry (exact comparison)
  std::string Text2;
  std::string Text3;
  std::string Text4;
  std::string Text5;
  std::string FileName;     // the data file; relative to the transfer directory, or a path
  std::string CommandLine;  // program arguments, or installer properties
  std::string Text8;
  std::vector<Identifier> Identifiers;
  std::string Text9;
  std::string Text10;
  std::string Text11;
  std::uint32_t InstallWaitSeconds = 10;
  std::uint32_t PackageType = kTypeInstaller;
  std::uint32_t ChunkSize = 65536;
  std::uint32_t ExecType = 0;  // executables: 0 run and wait, 1 or 2 run without waiting
  std::uint32_t Flags = 0;
  std::uint32_t Reserved1 = 0xFFFFFFFF;
  std::uint32_t Reserved2 = 0;
  std::uint32_t Reserved3 = 0;
  std::uint32_t EntrySize = 0xFFFFFFFF;  // payload length + RecordSize in a container
  std::uint32_t RecordSize = 0xFFFFFFFF;

  // 104 fixed bytes + the eleven texts + 16 per identifier.
  std::uint32_t SerializedSize() const;

  // Checks the record at the stream's position without keeping anything. The
  // caller's stream state is left alone; the position (its buffer's) moves.
  static const char* Validate(std::istream& in);

  // Validates, then reads the record; on a validation error the object is
  // unchanged. The stream is left at the end of the record.
  const char* ReadFrom(std::istream& in);

  // Writes every field, EntrySize as held and RecordSize as SerializedSize().
  // True when the stream is still good.
  bool WriteTo(std::ostream& out) const;

  // A standalone description file: EntrySize = RecordSize = SerializedSize().
  bool WriteFile(const std::string& path) const;
  bool WriteStandaloneTo(std::ostream& out) const;

  // One step backwards through a container, from the end of an entry (the
  // end of the file first, then the previous entry's payload start). Leaves
  // the stream at the payload start of the entry found.
  static std::optional<CPackageEntry> FindEntry(std::istream& in);
};

// The reader's texts.
inline constexpr const char* kInvalidStream = "Invalid stream";
inline constexpr const char* kNotAPackageDescription = "Not a M&K Package Description";
inline constexpr const char* kWrongVersion = "Wrong Version of M&K Package Description";
inline constexpr const char* kNotAPackageDescriptionOrCorrupted =
    "Not a M&K Package Description or corrupted file";
inline constexpr const char* kInvalidPackageDescription =
    "Invalid M&K Package Description or corrupted file";
