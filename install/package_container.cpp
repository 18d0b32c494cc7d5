#include "install/package_container.h"

#include <fstream>

#include "install/read_window.h"

namespace {

constexpr std::uint32_t kCopyPiece = 16384;

}  // namespace

std::optional<CPackageEntry> SelectContainerEntry(std::istream& container, const std::string& name,
                                                  CPackageDescription& description) {
  std::streambuf* buf = container.rdbuf();
  if (buf == nullptr) return std::nullopt;
  CReadWindow window(*buf);
  std::istream walk(&window);
  std::optional<CPackageEntry> found;
  if (walk.seekg(0, std::ios::end)) {
    while (std::optional<CPackageEntry> entry = CPackageDescription::FindEntry(walk)) {
      if (!walk.seekg(entry->RecordStart) || description.ReadFrom(walk) != nullptr) break;
      if (!walk.seekg(entry->PayloadStart)) break;
      if (description.Name == name) {
        found = entry;
        break;
      }
    }
  }
  window.SyncSource();
  return found;
}

std::vector<CContainerItem> ListContainerEntries(std::istream& container) {
  std::vector<CContainerItem> items;
  std::streambuf* buf = container.rdbuf();
  if (buf == nullptr) return items;
  CReadWindow window(*buf);
  std::istream walk(&window);
  // Copies of one blank description: a new one would draw a fresh GUID for
  // every entry only to have the record overwrite it.
  const CPackageDescription blank;
  if (walk.seekg(0, std::ios::end)) {
    while (std::optional<CPackageEntry> entry = CPackageDescription::FindEntry(walk)) {
      CContainerItem item{*entry, blank};
      if (!walk.seekg(entry->RecordStart) || item.Description.ReadFrom(walk) != nullptr) break;
      if (!walk.seekg(entry->PayloadStart)) break;
      items.push_back(std::move(item));
    }
  }
  window.SyncSource();
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
