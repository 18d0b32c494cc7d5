#pragma once
// The packages staged in the console's directory. Uploads stream into
// incoming/<id>.part and move into packages/<id>/ when complete; every file
// name is one the console makes (the uploaded file's own name is kept only
// as a text: for the page, and as the data file's name on the server).

#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/vornctl/package_input.h"

namespace vornctl::console {

enum class PackageKind { kDescription, kContainer, kProgram };

struct UploadRequest {
  PackageKind kind = PackageKind::kProgram;
  std::string fileName;     // the uploaded file's name (program, container)
  std::string type;         // program: "exe" or "msi" (default: by the name's ending)
  std::string commandLine;  // program
  std::string entry;        // container: the entry to install
};

struct StoredPackage {
  std::string id;
  PackageKind kind = PackageKind::kProgram;
  std::string fileName;
  std::string entry;
  std::int64_t created = 0;
  std::uint64_t dataBytes = 0;
  bool hasData = false;
  // A signature file, sent as "<data file name>.sig" before the package.
  bool hasSignature = false;
  CPackageDescription description;
  bool NeedsData() const;
};

class PackageStore {
 public:
  // Reads what an earlier run staged; removes unfinished uploads.
  explicit PackageStore(std::string directory);

  // Checks the request and reserves a new package id with the file its
  // upload streams into; an error text on a bad request.
  std::string BeginUpload(const UploadRequest& request, std::string& id, std::string& file);
  // Takes the finished upload in; an error text (the upload is dropped).
  std::string FinishUpload(const std::string& id, const UploadRequest& request,
                           StoredPackage& stored);
  // The data file of a description's package: its upload file, or an error.
  std::string BeginData(const std::string& id, std::string& file);
  std::string FinishData(const std::string& id, StoredPackage& stored);
  // The package's signature file, likewise (one uploaded again replaces
  // it); a description's package or a container's only.
  std::string BeginSignature(const std::string& id, std::string& file);
  std::string FinishSignature(const std::string& id, StoredPackage& stored);

  std::vector<StoredPackage> List() const;
  std::optional<StoredPackage> Find(const std::string& id) const;
  bool Remove(const std::string& id);
  // What an installation sends; an error text when the package is incomplete.
  std::string Load(const std::string& id, Package& package) const;

 private:
  std::string PackageDir(const std::string& id) const;
  std::string IncomingPath(const std::string& id, const char* part) const;
  // Moves the finished upload of one of the package's files into its folder
  // under `name`; on any failure the partial file goes. Called with mutex_
  // held; `package` is then the package's entry.
  std::string AdoptPart(const std::string& id, const char* part, const char* name,
                        const char* what, bool mayBeEmpty, StoredPackage*& package);
  void WriteMeta(const StoredPackage& stored) const;

  std::string directory_;
  mutable std::mutex mutex_;
  std::map<std::string, StoredPackage> packages_;
  std::map<std::string, UploadRequest> pending_;
};

const char* KindName(PackageKind kind);
bool ParseKind(const std::string& text, PackageKind& kind);
// The description's fields, named as the package tool shows them.
nlohmann::json DescriptionFields(const CPackageDescription& description);
nlohmann::json PackageJson(const StoredPackage& stored);
// A file name a package may carry to the server: a base name of printable
// characters, none that a Windows file name refuses.
bool IsPlainFileName(const std::string& name);

}  // namespace vornctl::console
