#include "install/package_description.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>

#include "platform/system_info.h"

namespace {

constexpr char kMagic[4] = {'M', 'K', 'P', 'D'};

// Texts 1 to 8, the identifier list and texts 9 to 11.
constexpr int kLengthPrefixedItems = 12;
// Header words, text lengths, identifier count, fields 16-24, trailer words.
constexpr std::uint64_t kFixedBytes = 12 + 44 + 4 + 36 + 8;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// The platform hands out GUIDs as registry text; the record keeps them in
// the binary layout: Data1, Data2 and Data3 little-endian, Data4 as written.
CPackageDescription::Identifier NewIdentifier() {
  const std::string text = platform::CreateGuidText();
  std::uint8_t bytes[16] = {};
  int count = 0;
  for (std::size_t i = 0; i + 1 < text.size() && count < 16;) {
    if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0) {
      ++i;
      continue;
    }
    bytes[count++] = static_cast<std::uint8_t>(HexValue(text[i]) * 16 + HexValue(text[i + 1]));
    i += 2;
  }
  constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  CPackageDescription::Identifier id{};
  for (int i = 0; i < 16; ++i) id[i] = bytes[kOrder[i]];
  return id;
}

std::streamoff Tell(std::streambuf* buf) { return buf->pubseekoff(0, std::ios::cur, std::ios::in); }

bool ReadU32(std::istream& in, std::uint32_t& value) {
  unsigned char b[4];
  if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
  value = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
          std::uint32_t{b[3]} << 24;
  return true;
}

bool ReadMagic(std::istream& in) {
  char b[4];
  return in.read(b, 4) && std::memcmp(b, kMagic, 4) == 0;
}

void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void PutText(std::string& out, const std::string& text) {
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  out += text;
}

// The checks of Validate on a stream of our own over the caller's buffer;
// also reports the record size that the walk proved.
const char* CheckRecord(std::streambuf* buf, std::uint32_t* recordSize) {
  if (buf == nullptr) return kInvalidStream;
  std::istream in(buf);
  const std::streamoff start = Tell(buf);
  if (start < 0) return kInvalidStream;

  std::uint32_t version = 0;
  std::uint32_t revision = 0;
  if (!ReadU32(in, version) || !ReadU32(in, revision) || !ReadMagic(in)) {
    return kNotAPackageDescription;
  }
  if (version > 1) return kWrongVersion;

  for (int i = 0; i < kLengthPrefixedItems; ++i) {
    std::uint32_t count = 0;
    if (!ReadU32(in, count) || !in.seekg(count, std::ios::cur)) {
      return kNotAPackageDescriptionOrCorrupted;
    }
  }
  std::uint32_t word = 0;
  for (int i = 16; i <= 23; ++i) {
    if (!ReadU32(in, word)) return kNotAPackageDescriptionOrCorrupted;
  }
  if (!ReadMagic(in)) return kNotAPackageDescriptionOrCorrupted;

  std::uint32_t entrySize = 0;
  std::uint32_t size = 0;
  if (!ReadU32(in, entrySize) || !ReadU32(in, size)) return kInvalidPackageDescription;
  if (Tell(buf) != start + static_cast<std::streamoff>(size)) return kInvalidPackageDescription;
  if (recordSize != nullptr) *recordSize = size;
  return nullptr;
}

// Reads the fields of a record that CheckRecord accepted. No count is
// trusted beyond the record's proven size: the file may have changed since
// the check, and an allocation must never follow a count further than that.
class CRecordReader {
 public:
  CRecordReader(std::istream& in, std::uint32_t recordSize) : in_(in), left_(recordSize) {}

  bool U32(std::uint32_t& value) { return Take(4) && ReadU32(in_, value); }

  bool Magic() { return Take(4) && in_.seekg(4, std::ios::cur); }

  bool Text(std::string& text) {
    text.clear();
    std::uint32_t count = 0;
    if (!U32(count) || !Take(count)) return false;
    if (count == 0) return true;
    text.resize(count);
    return static_cast<bool>(in_.read(text.data(), count));
  }

  // A count that is not a multiple of 16 (never written by us) keeps the
  // whole identifiers and moves over the odd bytes, so that the fields
  // behind the list are read from where the check found them.
  bool Identifiers(std::vector<CPackageDescription::Identifier>& list) {
    list.clear();
    std::uint32_t count = 0;
    if (!U32(count) || !Take(count)) return false;
    list.resize(count / 16);
    for (auto& id : list) {
      if (!in_.read(reinterpret_cast<char*>(id.data()), 16)) return false;
    }
    return static_cast<bool>(in_.seekg(count % 16, std::ios::cur));
  }

 private:
  bool Take(std::uint32_t bytes) {
    if (bytes > left_) return false;
    left_ -= bytes;
    return true;
  }

  std::istream& in_;
  std::uint32_t left_;
};

std::uint64_t RecordBytes(const CPackageDescription& d) {
  std::uint64_t size = kFixedBytes + 16 * static_cast<std::uint64_t>(d.Identifiers.size());
  for (const std::string* text : {&d.Name, &d.Text2, &d.Text3, &d.Text4, &d.Text5, &d.FileName,
                                  &d.CommandLine, &d.Text8, &d.Text9, &d.Text10, &d.Text11}) {
    size += text->size();
  }
  return size;
}

}  // namespace

CPackageDescription::CPackageDescription() { Identifiers.push_back(NewIdentifier()); }

std::uint32_t CPackageDescription::SerializedSize() const {
  return static_cast<std::uint32_t>(RecordBytes(*this));
}

const char* CPackageDescription::Validate(std::istream& in) {
  return CheckRecord(in.rdbuf(), nullptr);
}

// The record is read into a copy and taken over only when every field
// arrived, so a stream that breaks halfway leaves this object as it was.
const char* CPackageDescription::ReadFrom(std::istream& in) {
  std::streambuf* buf = in.rdbuf();
  if (buf == nullptr) return kInvalidStream;
  const std::streamoff start = Tell(buf);
  std::uint32_t recordSize = 0;
  if (const char* error = CheckRecord(buf, &recordSize)) return error;

  std::istream source(buf);
  CRecordReader reader(source, recordSize);
  CPackageDescription next = *this;
  bool ok =
      static_cast<bool>(source.seekg(start)) && reader.U32(next.FormatVersion) &&
      reader.U32(next.WriterRevision) && reader.Magic() && reader.Text(next.Name) &&
      reader.Text(next.Text2) && reader.Text(next.Text3) && reader.Text(next.Text4) &&
      reader.Text(next.Text5) && reader.Text(next.FileName) && reader.Text(next.CommandLine) &&
      reader.Text(next.Text8) && reader.Identifiers(next.Identifiers) && reader.Text(next.Text9) &&
      reader.Text(next.Text10) && reader.Text(next.Text11) && reader.U32(next.InstallWaitSeconds) &&
      reader.U32(next.PackageType) && reader.U32(next.ChunkSize) && reader.U32(next.ExecType) &&
      reader.U32(next.Flags) && reader.U32(next.Reserved1) && reader.U32(next.Reserved2) &&
      reader.U32(next.Reserved3) && reader.Magic() && reader.U32(next.EntrySize) &&
      reader.U32(next.RecordSize);
  if (!ok) return kInvalidPackageDescription;
  if (next.Identifiers.empty()) next.Identifiers.push_back(NewIdentifier());
  *this = std::move(next);
  return nullptr;
}

bool CPackageDescription::WriteTo(std::ostream& out) const {
  const std::uint64_t size = RecordBytes(*this);
  // A record whose size does not fit its own size field could not be read back.
  if (size > std::numeric_limits<std::uint32_t>::max()) return false;

  std::string record;
  record.reserve(static_cast<std::size_t>(size));
  PutU32(record, FormatVersion);
  PutU32(record, WriterRevision);
  record.append(kMagic, 4);
  for (const std::string* text :
       {&Name, &Text2, &Text3, &Text4, &Text5, &FileName, &CommandLine, &Text8}) {
    PutText(record, *text);
  }
  PutU32(record, static_cast<std::uint32_t>(16 * Identifiers.size()));
  for (const Identifier& id : Identifiers) {
    record.append(reinterpret_cast<const char*>(id.data()), id.size());
  }
  for (const std::string* text : {&Text9, &Text10, &Text11}) PutText(record, *text);
  for (std::uint32_t value : {InstallWaitSeconds, PackageType, ChunkSize, ExecType, Flags,
                              Reserved1, Reserved2, Reserved3}) {
    PutU32(record, value);
  }
  record.append(kMagic, 4);
  PutU32(record, EntrySize);
  PutU32(record, static_cast<std::uint32_t>(size));
  out.write(record.data(), static_cast<std::streamsize>(record.size()));
  return out.good();
}

bool CPackageDescription::WriteStandaloneTo(std::ostream& out) const {
  CPackageDescription standalone = *this;
  standalone.EntrySize = SerializedSize();
  return standalone.WriteTo(out);
}

bool CPackageDescription::WriteFile(const std::string& path) const {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  if (!WriteStandaloneTo(file)) return false;
  file.close();
  return !file.fail();
}

std::optional<CPackageEntry> CPackageDescription::FindEntry(std::istream& in) {
  std::streambuf* buf = in.rdbuf();
  if (buf == nullptr) return std::nullopt;
  std::istream walk(buf);
  const std::streamoff end = Tell(buf);
  if (end < 8 || !walk.seekg(end - 8)) return std::nullopt;

  std::uint32_t entrySize = 0;
  std::uint32_t recordSize = 0;
  if (!ReadU32(walk, entrySize) || !ReadU32(walk, recordSize)) return std::nullopt;
  if (entrySize == 0) return std::nullopt;
  // An entry smaller than its record, or reaching before the start of the
  // file, would give a negative payload: it is damage, not an entry.
  if (recordSize > entrySize || static_cast<std::streamoff>(entrySize) > end) return std::nullopt;

  CPackageEntry entry;
  entry.PayloadStart = end - entrySize;
  entry.PayloadLength = entrySize - recordSize;
  entry.RecordStart = end - recordSize;
  entry.RecordSize = recordSize;
  if (!walk.seekg(entry.RecordStart) || Validate(walk) != nullptr) return std::nullopt;
  if (!walk.seekg(entry.PayloadStart)) return std::nullopt;
  return entry;
}
