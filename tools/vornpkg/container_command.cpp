#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "install/package_description.h"
#include "tools/vornpkg/commands.h"
#include "tools/vornpkg/entry_spec.h"
#include "tools/vornpkg/package_files.h"

namespace {

struct ContainerOptions {
  std::string out;
  std::vector<std::string> entries;
};

// Appends the payload file, then the record whose EntrySize covers both.
bool AppendEntry(std::ofstream& out, const EntrySpec& spec, std::string& error) {
  CPackageDescription d;
  if (!ReadDescriptionFile(spec.description, d, error)) {
    error = spec.description + ": " + error;
    return false;
  }
  d.Name = spec.name;

  std::uint64_t payloadSize = 0;
  std::ifstream payload;
  if (!spec.payload.empty()) {
    payload.open(spec.payload, std::ios::binary | std::ios::ate);
    if (!payload) {
      error = "cannot open " + spec.payload;
      return false;
    }
    payloadSize = static_cast<std::uint64_t>(payload.tellg());
    payload.seekg(0);
  }
  // EntrySize is 32 bits wide: payload and record must fit into it.
  if (payloadSize + d.SerializedSize() > std::numeric_limits<std::uint32_t>::max()) {
    error = spec.payload + ": too large for a container entry (4 GiB with its description)";
    return false;
  }
  d.EntrySize = static_cast<std::uint32_t>(payloadSize) + d.SerializedSize();

  char piece[65536];
  for (std::uint64_t left = payloadSize; left > 0;) {
    const std::streamsize n = left < sizeof piece ? static_cast<std::streamsize>(left)
                                                  : static_cast<std::streamsize>(sizeof piece);
    if (!payload.read(piece, n)) {
      error = "cannot read " + spec.payload;
      return false;
    }
    out.write(piece, n);
    left -= static_cast<std::uint64_t>(n);
  }
  if (!d.WriteTo(out)) {
    error = "write failed";
    return false;
  }
  return true;
}

int RunContainer(const ContainerOptions& o) {
  std::vector<EntrySpec> specs;
  for (const std::string& text : o.entries) {
    EntrySpec spec;
    std::string error;
    if (!ParseEntrySpec(text, spec, error)) {
      PrintError(error);
      return 2;
    }
    specs.push_back(spec);
  }
  std::ofstream out(o.out, std::ios::binary | std::ios::trunc);
  if (!out) {
    PrintError("cannot write " + o.out);
    return 1;
  }
  for (const EntrySpec& spec : specs) {
    std::string error;
    if (!AppendEntry(out, spec, error)) {
      out.close();
      std::remove(o.out.c_str());
      PrintError(error);
      return 1;
    }
  }
  const std::streamoff size = out.tellp();
  out.close();
  if (out.fail()) {
    std::remove(o.out.c_str());
    PrintError("cannot write " + o.out);
    return 1;
  }
  std::cout << "wrote " << o.out << ": " << specs.size()
            << (specs.size() == 1 ? " entry, " : " entries, ") << size << " bytes\n";
  return 0;
}

}  // namespace

void AddContainerCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ContainerOptions>();
  CLI::App* sub = app.add_subcommand(
      "container",
      "Write an installer container: the entries back to back in the order given, each its "
      "payload followed by its description");
  sub->add_option("OUT", options->out, "Container file to write")->required();
  sub->add_option("--entry", options->entries,
                  "NAME=DESCRIPTION:PAYLOAD: the description file (.mki) with Name set to NAME "
                  "and the payload file's bytes; NAME=DESCRIPTION for an entry without payload. "
                  "Of two entries with the same NAME the later one is installed")
      ->required();
  sub->callback([options, &exitCode] { exitCode = RunContainer(*options); });
}
