#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "tools/vornpkg/commands.h"
#include "tools/vornpkg/description_output.h"
#include "tools/vornpkg/package_files.h"

namespace {

struct ShowOptions {
  std::string file;
  bool json = false;
  std::optional<std::string> keys;
};

int RunShow(const ShowOptions& o) {
  CPackageDescription d;
  std::string error;
  if (!ReadDescriptionFile(o.file, d, error)) {
    PrintError(o.file + ": " + error);
    return 1;
  }
  if (o.json) {
    std::cout << JsonText(DescriptionJson(d)) << '\n';
  } else {
    PrintDescription(std::cout, d);
    PrintSignatureLine(std::cout, o.file, d, o.keys);
  }
  return 0;
}

int RunValidate(const std::string& file) {
  CPackageDescription d;
  std::string error;
  if (!ReadDescriptionFile(file, d, error)) {
    PrintError(file + ": " + error);
    return 1;
  }
  std::cout << file << ": valid package description (" << d.RecordSize << " bytes), \"" << d.Name
            << "\"\n";
  return 0;
}

}  // namespace

void AddShowCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ShowOptions>();
  CLI::App* sub = app.add_subcommand(
      "show", "Print every field of a package description (the record at the file's start)");
  sub->add_option("FILE", options->file, "Description file (.mki)")->required();
  sub->add_flag("--json", options->json,
                "One JSON object with the record's field names as keys, for scripts");
  sub->add_option("--keys", options->keys,
                  "Public keys (PEM): name the one that signed the package next to FILE");
  sub->callback([options, &exitCode] { exitCode = RunShow(*options); });
}

void AddValidateCommand(CLI::App& app, int& exitCode) {
  auto file = std::make_shared<std::string>();
  CLI::App* sub = app.add_subcommand(
      "validate",
      "Check a package description the way the service reads it; exit 1 with the reader's text "
      "when it refuses it");
  sub->add_option("FILE", *file, "Description file (.mki)")->required();
  sub->callback([file, &exitCode] { exitCode = RunValidate(*file); });
}
