#pragma once

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "install/package_description.h"

// An installer container holds entries back to back, each a payload followed
// by its description record; the records are found walking backwards from
// the end of the file (CPackageDescription::FindEntry).

inline constexpr const char* kContainerNotFound = "Specified M&K Installer file not found";
inline constexpr const char* kContainerPackageNotFound = "Specified MKI package not found";
inline constexpr const char* kCannotWritePayload = "Can not write binary stream of MKI package";
inline constexpr const char* kCannotReadPayload = "Can not read binary stream of MKI package";
inline constexpr const char* kCannotWriteSidecar = "error in writing description file (*.mki)";

// Walks `container` from its end and stops at the entry whose Name equals
// `name` exactly; so of two entries with the same name the later one in the
// file wins. Every record visited is read into `description`, so on success
// it holds the selected entry's record. Nothing found: nullopt (the caller
// reports kContainerPackageNotFound).
std::optional<CPackageEntry> SelectContainerEntry(std::istream& container, const std::string& name,
                                                  CPackageDescription& description);

// Every entry with its record, from the last one in the file to the first.
struct CContainerItem {
  CPackageEntry Entry;
  CPackageDescription Description;
};
std::vector<CContainerItem> ListContainerEntries(std::istream& container);

// For `count` entries in file order, the index of the entry that each one's
// name selects: the last one with that name. nameOf(i) gives the name of
// entry i (a reference that stays valid meanwhile) and is asked once per
// entry, so a container of many entries costs one pass, not one per entry.
template <typename NameOf>
std::vector<std::size_t> SelectedEntries(std::size_t count, NameOf&& nameOf) {
  std::vector<std::string_view> names;
  names.reserve(count);
  std::unordered_map<std::string_view, std::size_t> last;
  last.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    names.emplace_back(nameOf(i));
    last[names.back()] = i;
  }
  std::vector<std::size_t> selected(count);
  for (std::size_t i = 0; i < count; ++i) selected[i] = last[names[i]];
  return selected;
}

// The same for entries as ListContainerEntries gives them, put in file order.
std::vector<std::size_t> SelectedEntries(const std::vector<CContainerItem>& itemsInFileOrder);

// Copies the payload of `entry` into `out` in pieces of at most 16384 bytes.
// Returns kCannotReadPayload or kCannotWritePayload, or nullptr.
const char* CopyEntryPayload(std::istream& container, const CPackageEntry& entry,
                             std::ostream& out);
// The same into whatever `write` puts the pieces (false: it could not).
const char* CopyEntryPayload(std::istream& container, const CPackageEntry& entry,
                             const std::function<bool(const char*, std::size_t)>& write);

// The same into a file created or truncated at `path` (its directories must
// exist).
const char* ExtractEntryPayload(std::istream& container, const CPackageEntry& entry,
                                const std::string& path);

// The standalone description that belongs to a data file: the part of
// `fileName` after its last backslash or slash, with ".mki" appended
// ("sub\\setup.msi" gives "setup.msi.mki"). Resolving it is the caller's.
std::string SidecarFileName(const std::string& fileName);

// Only packages of type executable, installer and not installable get one.
bool HasSidecarFile(const CPackageDescription& description);
