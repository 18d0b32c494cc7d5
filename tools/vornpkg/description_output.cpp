#include "tools/vornpkg/description_output.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "protocol/text_format.h"
#include "tools/vornpkg/package_files.h"

namespace {

using Member = std::string CPackageDescription::*;

const std::vector<std::pair<const char*, Member>>& Texts() {
  static const std::vector<std::pair<const char*, Member>> texts = {
      {"Name", &CPackageDescription::Name},
      {"Text2", &CPackageDescription::Text2},
      {"Text3", &CPackageDescription::Text3},
      {"Text4", &CPackageDescription::Text4},
      {"Text5", &CPackageDescription::Text5},
      {"FileName", &CPackageDescription::FileName},
      {"CommandLine", &CPackageDescription::CommandLine},
      {"Text8", &CPackageDescription::Text8},
      {"Text9", &CPackageDescription::Text9},
      {"Text10", &CPackageDescription::Text10},
      {"Text11", &CPackageDescription::Text11},
  };
  return texts;
}

std::string Hex(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

nlohmann::ordered_json DescriptionJson(const CPackageDescription& d) {
  nlohmann::ordered_json j;
  j["FormatVersion"] = d.FormatVersion;
  j["WriterRevision"] = d.WriterRevision;
  for (const auto& [key, member] : Texts()) {
    // The identifier list sits between text 8 and text 9 in the record.
    if (member == &CPackageDescription::Text9) {
      nlohmann::ordered_json ids = nlohmann::ordered_json::array();
      for (const auto& id : d.Identifiers) ids.push_back(IdentifierText(id));
      j["Identifiers"] = ids;
    }
    j[key] = d.*member;
  }
  j["InstallWaitSeconds"] = d.InstallWaitSeconds;
  j["PackageType"] = d.PackageType;
  j["PackageTypeName"] = PackageTypeName(d.PackageType);
  j["ChunkSize"] = d.ChunkSize;
  j["ExecType"] = d.ExecType;
  j["Flags"] = d.Flags;
  j["Reserved1"] = d.Reserved1;
  j["Reserved2"] = d.Reserved2;
  j["Reserved3"] = d.Reserved3;
  j["EntrySize"] = d.EntrySize;
  j["RecordSize"] = d.RecordSize;
  return j;
}

void PrintDescription(std::ostream& out, const CPackageDescription& d) {
  auto line = [&out](const char* key, const std::string& value) {
    std::string padded = std::string(key) + ":";
    padded.resize(20, ' ');
    out << padded << value << '\n';
  };
  // Texts as they are, unless a control byte would break the line.
  auto text = [](const std::string& t) {
    for (unsigned char c : t) {
      if (c < 0x20 || c == 0x7F) return EscapeForLog(t.data(), t.size());
    }
    return t;
  };
  line("FormatVersion", std::to_string(d.FormatVersion));
  line("WriterRevision", std::to_string(d.WriterRevision));
  for (const auto& [key, member] : Texts()) {
    // The unnamed texts are shown only when a tool filled them.
    if (std::string(key).rfind("Text", 0) == 0 && (d.*member).empty()) continue;
    line(key, text(d.*member));
  }
  for (const auto& id : d.Identifiers) line("Identifier", IdentifierText(id));
  line("InstallWaitSeconds", std::to_string(d.InstallWaitSeconds));
  line("PackageType", std::to_string(d.PackageType) + " (" + PackageTypeName(d.PackageType) + ")");
  line("ChunkSize", std::to_string(d.ChunkSize));
  line("ExecType", std::to_string(d.ExecType));
  line("Flags", Hex(d.Flags) + ((d.Flags & CPackageDescription::kFlagDeleteDataFile) != 0
                                    ? " (delete the data file after the installation)"
                                    : ""));
  line("Reserved", Hex(d.Reserved1) + " " + Hex(d.Reserved2) + " " + Hex(d.Reserved3));
  line("EntrySize", std::to_string(d.EntrySize));
  line("RecordSize", std::to_string(d.RecordSize));
}

std::string JsonText(const nlohmann::ordered_json& value) {
  return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
