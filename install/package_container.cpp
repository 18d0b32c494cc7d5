#include "install/package_container.h"

#include <fstream>

namespace {

constexpr std::uint32_t kCopyPiece = 16384;

}  // namespace

std::optional<CPackageEntry> SelectContainerEntry(std::istream& container, const std::string& name,
                                                  CPackageDescription& description) {
  std::streambuf* buf = container.rdbuf();
  if (buf == nullptr) return std::nullopt;
  std::istream walk(buf);
  if (!walk.seekg(0, std::ios::end)) return std::nullopt;
  while (std::optional<CPackageEntry> entry = CPackageDescription::FindEntry(walk)) {
    if (!walk.seekg(entry->RecordStart) || description.ReadFrom(walk) != nullptr) break;
    if (!walk.seekg(entry->PayloadStart)) break;
    if (description.Name == name) return entry;
  }
  return std::nullopt;
}

std::vector<CContainerItem> ListContainerEntries(std::istream& container) {
  std::vector<CContainerItem> items;
  std::streambuf* buf = container.rdbuf();
  if (buf == nullptr) return items;
  std::istream walk(buf);
  if (!walk.seekg(0, std::ios::end)) return items;
  while (std::optional<CPackageEntry> entry = CPackageDescription::FindEntry(walk)) {
    CContainerItem item{*entry, CPackageDescription()};
    if (!walk.seekg(entry->RecordStart) || item.Description.ReadFrom(walk) != nullptr) break;
    if (!walk.seekg(entry->PayloadStart)) break;
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<std::size_t> SelectedEntries(const std::vector<CContainerItem>& itemsInFileOrder) {
  return SelectedEntries(itemsInFileOrder.size(), [&](std::size_t i) -> const std::string& {
    return itemsInFileOrder[i].Description.Name;
  });
}

const char* CopyEntryPayload(std::istream& container, const CPackageEntry& entry,
                             std::ostream& out) {
  const char* error = CopyEntryPayload(container, entry, [&out](const char* piece, std::size_t n) {
    return static_cast<bool>(out.write(piece, static_cast<std::streamsize>(n)));
  });
  if (error != nullptr) return error;
  return out.flush() ? nullptr : kCannotWritePayload;
}

const char* CopyEntryPayload(std::istream& container, const CPackageEntry& entry,
                             const std::function<bool(const char*, std::size_t)>& write) {
  std::streambuf* buf = container.rdbuf();
  if (buf == nullptr) return kCannotReadPayload;
  std::istream source(buf);
  if (!source.seekg(entry.PayloadStart)) return kCannotReadPayload;
  char piece[kCopyPiece];
  for (std::uint32_t left = entry.PayloadLength; left > 0;) {
    const std::uint32_t n = left < kCopyPiece ? left : kCopyPiece;
    source.read(piece, n);
    if (source.gcount() != static_cast<std::streamsize>(n)) return kCannotReadPayload;
    if (!write(piece, n)) return kCannotWritePayload;
    left -= n;
  }
  return nullptr;
}

const char* ExtractEntryPayload(std::istream& container, const CPackageEntry& entry,
                                const std::string& path) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return kCannotWritePayload;
  if (const char* error = CopyEntryPayload(container, entry, file)) return error;
  file.close();
  return file.fail() ? kCannotWritePayload : nullptr;
}

std::string SidecarFileName(const std::string& fileName) {
  const std::size_t slash = fileName.find_last_of("\\/");
  const std::string base = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
  return base + ".mki";
}

bool HasSidecarFile(const CPackageDescription& description) { return description.PackageType < 3; }
