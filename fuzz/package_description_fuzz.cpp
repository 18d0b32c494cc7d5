// Arbitrary bytes as a description record and as an installer container:
// the readers must answer with their texts, never crash or allocate by an
// unproven count, and a record they accept must survive a write and a read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "install/package_container.h"
#include "install/package_description.h"

namespace {

// Discards what it is given; payloads are copied only to exercise the reads.
class CNullBuffer : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

void CheckRecord(const std::string& bytes) {
  std::istringstream in(bytes);
  const char* checked = CPackageDescription::Validate(in);
  in.seekg(0);
  CPackageDescription d;
  const char* read = d.ReadFrom(in);
  if ((checked == nullptr) != (read == nullptr)) std::abort();
  if (read != nullptr) return;

  std::ostringstream out;
  if (!d.WriteTo(out)) std::abort();
  std::istringstream again(out.str());
  CPackageDescription copy;
  if (copy.ReadFrom(again) != nullptr || copy.Name != d.Name || copy.FileName != d.FileName ||
      copy.CommandLine != d.CommandLine || copy.Text11 != d.Text11 ||
      copy.Identifiers != d.Identifiers || copy.Flags != d.Flags || copy.Reserved3 != d.Reserved3 ||
      copy.RecordSize != d.SerializedSize()) {
    std::abort();
  }
}

void WalkContainer(const std::string& bytes) {
  std::istringstream container(bytes);
  CNullBuffer null;
  std::ostream sink(&null);
  std::int64_t previousStart = static_cast<std::int64_t>(bytes.size()) + 1;
  const std::vector<CContainerItem> items = ListContainerEntries(container);
  // Of entries with one name the last wins: each selection names an entry of
  // the same name, and the file written beside a payload stays a base name.
  const std::vector<std::size_t> selected = SelectedEntries(items);
  if (selected.size() != items.size()) std::abort();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const CContainerItem& item = items[i];
    if (selected[i] >= items.size() || selected[i] < i ||
        items[selected[i]].Description.Name != item.Description.Name) {
      std::abort();
    }
    if (SidecarFileName(item.Description.FileName).find_first_of("\\/") != std::string::npos) {
      std::abort();
    }
    const CPackageEntry& e = item.Entry;
    // Every entry lies inside the file and the walk only moves backwards.
    if (e.PayloadStart < 0 || e.PayloadStart >= previousStart ||
        e.RecordStart != e.PayloadStart + e.PayloadLength ||
        e.RecordStart + e.RecordSize > static_cast<std::int64_t>(bytes.size())) {
      std::abort();
    }
    previousStart = e.PayloadStart;
    if (CopyEntryPayload(container, e, sink) != nullptr) std::abort();
  }
  CPackageDescription d;
  SelectContainerEntry(container, "A", d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckRecord(bytes);
  WalkContainer(bytes);
  return 0;
}
