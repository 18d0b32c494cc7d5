#include <iostream>
#include <memory>
#include <string>

#include "install/package_description.h"
#include "protocol/wire_limits.h"
#include "tools/vornpkg/commands.h"
#include "tools/vornpkg/package_files.h"

namespace {

struct CreateOptions {
  std::string out;
  std::string name;
  std::string file;
  std::string commandLine;
  std::string type = "msi";
  std::string execType = "0";
  std::string flags = "0";
  bool deleteAfter = false;
  std::string chunkSize = "65536";
  std::string waitSeconds = "10";
};

// Numbers are read by one rule for all options: decimal or 0x hexadecimal
// (a leading zero does not make a number octal).
bool ReadNumber(const char* option, const std::string& text, std::uint32_t low, std::uint32_t high,
                std::uint32_t& value) {
  if (ParseU32(text, value) && value >= low && value <= high) return true;
  PrintError(std::string(option) + " must be a number from " + std::to_string(low) + " to " +
             std::to_string(high) + " (decimal or 0x hexadecimal): " + text);
  return false;
}

int RunCreate(const CreateOptions& o) {
  CPackageDescription d;
  d.Name = o.name;
  d.FileName = o.file;
  d.CommandLine = o.commandLine;
  if (!ParsePackageType(o.type, d.PackageType)) {
    PrintError("--type must be exe, msi, data, post, none or a number: " + o.type);
    return 2;
  }
  constexpr std::uint32_t kAny = 0xFFFFFFFF;
  if (!ReadNumber("--exec-type", o.execType, 0, 2, d.ExecType) ||
      !ReadNumber("--flags", o.flags, 0, kAny, d.Flags) ||
      !ReadNumber("--chunk-size", o.chunkSize, 1, kLargestBlock, d.ChunkSize) ||
      !ReadNumber("--wait", o.waitSeconds, 0, kAny, d.InstallWaitSeconds)) {
    return 2;
  }
  if (o.deleteAfter) d.Flags |= CPackageDescription::kFlagDeleteDataFile;
  if (!d.WriteFile(o.out)) {
    PrintError("cannot write " + o.out);
    return 1;
  }
  std::cout << "wrote " << o.out << " (" << d.SerializedSize() << " bytes): " << d.Name << ", "
            << PackageTypeName(d.PackageType) << " package, data file " << d.FileName << '\n';
  return 0;
}

}  // namespace

void AddCreateCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<CreateOptions>();
  CLI::App* sub = app.add_subcommand(
      "create",
      "Write a package description (.mki) for a data file. The description travels with the "
      "data file to the service and says how to install it.");
  sub->add_option("OUT", options->out, "Description file to write (usually DATAFILE.mki)")
      ->required();
  sub->add_option("--name", options->name,
                  "Name: the package (product) name; a container entry is selected by it")
      ->required();
  sub->add_option("--file", options->file,
                  "FileName: the data file's name on the server, relative to its transfer "
                  "directory (or a full path there)")
      ->required();
  sub->add_option("--command-line", options->commandLine,
                  "CommandLine: program arguments (exe), or extra installer properties (msi)");
  sub->add_option("--type", options->type,
                  "PackageType: exe = 0 (run a program), msi = 1 (Windows Installer product or "
                  "patch), data = 2 (delivered with its description, not installed), post = 4 "
                  "(file for post-processing), none = 5 (nothing to install), or a number")
      ->capture_default_str();
  sub->add_option("--exec-type", options->execType,
                  "ExecType for exe packages: 0 run and wait, 1 or 2 run without waiting")
      ->capture_default_str();
  sub->add_option("--flags", options->flags,
                  "Flags, decimal or 0x hexadecimal; 0x100 deletes the data file after the "
                  "installation")
      ->capture_default_str();
  sub->add_flag("--delete-after", options->deleteAfter, "Set the flag 0x100 in Flags");
  sub->add_option("--chunk-size", options->chunkSize,
                  "ChunkSize: bytes per transfer block that a client sends, 1 to 102400")
      ->capture_default_str();
  sub->add_option("--wait", options->waitSeconds,
                  "InstallWaitSeconds: how long a client waits for a server that cannot "
                  "report progress")
      ->capture_default_str();
  sub->footer(
      "Numbers are decimal or 0x hexadecimal. Other fields: FormatVersion 1, WriterRevision 35, "
      "one new identifier (GUID); "
      "the unnamed texts empty.");
  sub->callback([options, &exitCode] { exitCode = RunCreate(*options); });
}
