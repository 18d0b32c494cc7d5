#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "install/package_container.h"
#include "tools/vornpkg/commands.h"
#include "tools/vornpkg/description_output.h"
#include "tools/vornpkg/package_files.h"

namespace {

struct ListOptions {
  std::string container;
  bool json = false;
};

struct ExtractOptions {
  std::string container;
  std::string name;
  std::string dir;
};

// Two more spaces before every line; the text breaks lines only between
// values (JSON escapes a newline inside a string).
std::string IndentLines(const std::string& text) {
  std::string out = "  ";
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    out.push_back(c);
    if (c == '\n') out += "  ";
  }
  return out;
}

// Entries in file order (the walk finds them last to first).
bool ReadEntries(const std::string& path, std::vector<CContainerItem>& items) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    PrintError("cannot open " + path);
    return false;
  }
  items = ListContainerEntries(file);
  std::reverse(items.begin(), items.end());
  if (items.empty()) {
    PrintError(path + ": no package entries (not a container, or its end is damaged)");
    return false;
  }
  return true;
}

int RunList(const ListOptions& o) {
  std::vector<CContainerItem> items;
  if (!ReadEntries(o.container, items)) return 1;
  const std::vector<std::size_t> selected = SelectedEntries(items);
  if (o.json) {
    // Written entry by entry, laid out as JsonText lays out the whole array:
    // a document of every entry at once costs gigabytes for a big container.
    std::cout << "[\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
      nlohmann::ordered_json entry;
      entry["PayloadStart"] = items[i].Entry.PayloadStart;
      entry["PayloadLength"] = items[i].Entry.PayloadLength;
      entry["RecordStart"] = items[i].Entry.RecordStart;
      entry["Selected"] = selected[i] == i;
      entry["Description"] = DescriptionJson(items[i].Description);
      std::cout << (i == 0 ? "" : ",\n") << IndentLines(JsonText(entry));
    }
    std::cout << "\n]\n";
    return 0;
  }
  std::size_t width = 4;
  for (const auto& item : items) width = std::max(width, item.Description.Name.size());
  auto pad = [](std::string text, std::size_t n) {
    if (text.size() < n) text.resize(n, ' ');
    return text;
  };
  std::cout << pad("#", 4) << pad("Name", width + 2) << pad("Payload", 12) << pad("Type", 6)
            << "FileName\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const CPackageDescription& d = items[i].Description;
    std::cout << pad(std::to_string(i + 1), 4) << pad(d.Name, width + 2)
              << pad(std::to_string(items[i].Entry.PayloadLength), 12)
              << pad(PackageTypeName(d.PackageType), 6) << d.FileName;
    if (selected[i] != i) std::cout << "  (replaced by entry " << selected[i] + 1 << ")";
    std::cout << '\n';
  }
  if (items.front().Entry.PayloadStart != 0) {
    std::cout << "note: the first " << items.front().Entry.PayloadStart
              << " bytes belong to no entry that the walk from the end reaches\n";
  }
  return 0;
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

// Written under the last part of FileName only: a container must not place
// files outside the directory it is extracted to.
int RunExtract(const ExtractOptions& o) {
  std::ifstream file(o.container, std::ios::binary);
  if (!file) {
    PrintError(kContainerNotFound + std::string(": ") + o.container);
    return 1;
  }
  CPackageDescription d;
  const std::optional<CPackageEntry> entry = SelectContainerEntry(file, o.name, d);
  if (!entry) {
    PrintError(std::string(kContainerPackageNotFound) + ": " + o.name);
    return 1;
  }
  std::string base = SidecarFileName(d.FileName);
  base.resize(base.size() - 4);
  if (!IsPlainName(base)) base = o.name;
  if (!IsPlainName(base)) {
    PrintError("entry " + o.name + " names no plain file name to extract to (FileName \"" +
               d.FileName + "\")");
    return 1;
  }
  std::error_code ec;
  std::filesystem::create_directories(o.dir, ec);
  if (!std::filesystem::is_directory(o.dir, ec)) {
    PrintError("cannot create directory " + o.dir);
    return 1;
  }
  const std::string target = (std::filesystem::path(o.dir) / base).string();
  if (entry->PayloadLength > 0) {
    if (const char* error = ExtractEntryPayload(file, *entry, target)) {
      PrintError(std::string(error) + ": " + target);
      return 1;
    }
    std::cout << "wrote " << target << " (" << entry->PayloadLength << " bytes)\n";
  }
  if (!d.WriteFile(target + ".mki")) {
    PrintError(std::string(kCannotWriteSidecar) + ": " + target + ".mki");
    return 1;
  }
  std::cout << "wrote " << target << ".mki (" << d.SerializedSize() << " bytes)\n";
  return 0;
}

}  // namespace

void AddListCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ListOptions>();
  CLI::App* sub = app.add_subcommand(
      "list", "List the entries of an installer container in file order; exit 1 when it has none");
  sub->add_option("CONTAINER", options->container, "Container file")->required();
  sub->add_flag("--json", options->json, "An array of entries with positions and descriptions");
  sub->callback([options, &exitCode] { exitCode = RunList(*options); });
}

void AddExtractCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ExtractOptions>();
  CLI::App* sub = app.add_subcommand(
      "extract",
      "Extract the entry that the service would install for NAME (the last one with that "
      "name): its payload as DIR/<last part of FileName> and its description beside it as "
      "that name with .mki");
  sub->add_option("CONTAINER", options->container, "Container file")->required();
  sub->add_option("NAME", options->name, "Entry name (the description's Name, exact)")->required();
  sub->add_option("DIR", options->dir, "Directory to write into (created when missing)")
      ->required();
  sub->callback([options, &exitCode] { exitCode = RunExtract(*options); });
}
