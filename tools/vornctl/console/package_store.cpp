#include "tools/vornctl/console/package_store.h"

#include <filesystem>
#include <fstream>

#include "tools/vornctl/console/fleet.h"
#include "tools/vornctl/console/security.h"

namespace vornctl::console {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDescriptionFile = "description.mki";
constexpr const char* kDataFile = "data";
constexpr const char* kMetaFile = "package.json";
constexpr const char* kSignatureFile = "signature";
// The upload files of the two parts that may follow a description.
constexpr const char* kDataPart = ".data.part";
constexpr const char* kSignaturePart = ".sig.part";

bool IsPackageId(const std::string& id) {
  if (id.size() != 17 || id[0] != 'p') return false;
  return id.find_first_not_of("0123456789abcdef", 1) == std::string::npos;
}

std::string EndingOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  std::string ending = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ending;
}

std::uint64_t SizeOf(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

}  // namespace

const char* KindName(PackageKind kind) {
  switch (kind) {
    case PackageKind::kDescription:
      return "description";
    case PackageKind::kContainer:
      return "container";
    case PackageKind::kProgram:
      break;
  }
  return "program";
}

bool ParseKind(const std::string& text, PackageKind& kind) {
  for (PackageKind k :
       {PackageKind::kDescription, PackageKind::kContainer, PackageKind::kProgram}) {
    if (text == KindName(k)) {
      kind = k;
      return true;
    }
  }
  return false;
}

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (std::string("/\\:*?\"<>|").find(c) != std::string::npos) return false;
  }
  return name.back() != '.' && name.back() != ' ';
}

bool StoredPackage::NeedsData() const {
  return kind == PackageKind::kDescription && !description.FileName.empty() && !hasData;
}

nlohmann::json DescriptionFields(const CPackageDescription& d) {
  static const char* const kTypes[] = {"exe", "msi", "data", "type 3", "post", "none"};
  return {
      {"Name", d.Name},
      {"FileName", d.FileName},
      {"CommandLine", d.CommandLine},
      {"PackageType", d.PackageType},
      {"PackageTypeName",
       d.PackageType <= 5 ? kTypes[d.PackageType] : "type " + std::to_string(d.PackageType)},
      {"ExecType", d.ExecType},
      {"Flags", d.Flags},
      {"ChunkSize", d.ChunkSize},
      {"InstallWaitSeconds", d.InstallWaitSeconds},
      {"FormatVersion", d.FormatVersion},
      {"WriterRevision", d.WriterRevision},
      {"Identifiers", d.Identifiers.size()},
  };
}

nlohmann::json PackageJson(const StoredPackage& stored) {
  nlohmann::json j = {
      {"id", stored.id},
      {"kind", KindName(stored.kind)},
      {"fileName", stored.fileName},
      {"created", stored.created},
      {"dataBytes", stored.dataBytes},
      {"ready", !stored.NeedsData()},
      {"signed", stored.hasSignature},
  };
  if (stored.kind == PackageKind::kContainer) {
    j["entry"] = stored.entry;
  } else {
    j["description"] = DescriptionFields(stored.description);
  }
  return j;
}

PackageStore::PackageStore(std::string directory) : directory_(std::move(directory)) {
  std::error_code ec;
  fs::remove_all(fs::path(directory_) / "incoming", ec);
  fs::create_directories(fs::path(directory_) / "incoming", ec);
  fs::create_directories(fs::path(directory_) / "packages", ec);
  for (const fs::directory_entry& dir :
       fs::directory_iterator(fs::path(directory_) / "packages", ec)) {
    const std::string id = dir.path().filename().string();
    std::ifstream in(dir.path() / kMetaFile);
    nlohmann::json meta = nlohmann::json::parse(in, nullptr, false);
    if (!IsPackageId(id) || !meta.is_object()) {
      fs::remove_all(dir.path(), ec);
      continue;
    }
    StoredPackage stored;
    stored.id = id;
    ParseKind(meta.value("kind", ""), stored.kind);
    stored.fileName = meta.value("fileName", "");
    stored.entry = meta.value("entry", "");
    stored.created = meta.value("created", std::int64_t{0});
    stored.hasData = fs::exists(dir.path() / kDataFile);
    stored.dataBytes = SizeOf((dir.path() / kDataFile).string());
    stored.hasSignature = fs::is_regular_file(dir.path() / kSignatureFile, ec);
    std::ifstream description(dir.path() / kDescriptionFile, std::ios::binary);
    if (stored.kind != PackageKind::kContainer &&
        (!description || stored.description.ReadFrom(description) != nullptr)) {
      fs::remove_all(dir.path(), ec);
      continue;
    }
    packages_[id] = stored;
  }
}

std::string PackageStore::PackageDir(const std::string& id) const {
  return (fs::path(directory_) / "packages" / id).string();
}

std::string PackageStore::BeginUpload(const UploadRequest& request, std::string& id,
                                      std::string& file) {
  if (request.kind != PackageKind::kDescription && !IsPlainFileName(request.fileName)) {
    return "the file name must be a plain file name";
  }
  if (request.kind == PackageKind::kProgram && !request.type.empty() && request.type != "exe" &&
      request.type != "msi") {
    return "the type of a program is exe or msi";
  }
  if (request.kind == PackageKind::kContainer &&
      (request.entry.empty() || request.entry.size() > 200)) {
    return "a container needs the name of the entry to install";
  }
  if (request.commandLine.size() > 1000) return "the command line is too long";
  id = "p" + NewToken().substr(0, 16);
  file = IncomingPath(id, ".part");
  std::lock_guard<std::mutex> lock(mutex_);
  pending_[id] = request;
  return std::string();
}

std::string PackageStore::FinishUpload(const std::string& id, const UploadRequest& request,
                                       StoredPackage& stored) {
  const fs::path incoming = IncomingPath(id, ".part");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.erase(id);
  }
  std::error_code ec;
  stored = StoredPackage{};
  stored.id = id;
  stored.kind = request.kind;
  stored.created = NowSeconds();
  stored.fileName = request.fileName;
  stored.entry = request.entry;
  if (request.kind == PackageKind::kDescription) {
    std::ifstream in(incoming, std::ios::binary);
    if (const char* error = stored.description.ReadFrom(in)) {
      in.close();
      fs::remove(incoming, ec);
      return error;
    }
    stored.fileName = stored.description.FileName;
  } else if (request.kind == PackageKind::kProgram) {
    // As the package tool's create does for a program or an installer.
    const std::string type =
        request.type.empty() ? (EndingOf(request.fileName) == "msi" ? "msi" : "exe") : request.type;
    stored.description.Name = request.fileName;
    stored.description.FileName = request.fileName;
    stored.description.CommandLine = request.commandLine;
    stored.description.PackageType =
        type == "msi" ? CPackageDescription::kTypeInstaller : CPackageDescription::kTypeExecutable;
  }
  const fs::path dir = PackageDir(id);
  fs::create_directories(dir, ec);
  const fs::path target =
      dir / (request.kind == PackageKind::kDescription ? kDescriptionFile : kDataFile);
  fs::rename(incoming, target, ec);
  if (!ec && request.kind == PackageKind::kProgram) {
    if (!stored.description.WriteFile((dir / kDescriptionFile).string())) {
      ec = std::make_error_code(std::errc::io_error);
    }
  }
  if (ec) {
    fs::remove(incoming, ec);
    fs::remove_all(dir, ec);
    return "the package cannot be stored";
  }
  stored.hasData = request.kind != PackageKind::kDescription;
  stored.dataBytes = stored.hasData ? SizeOf(target.string()) : 0;
  WriteMeta(stored);
  std::lock_guard<std::mutex> lock(mutex_);
  packages_[id] = stored;
  return std::string();
}

std::string PackageStore::IncomingPath(const std::string& id, const char* part) const {
  return (fs::path(directory_) / "incoming" / (id + part)).string();
}

std::string PackageStore::AdoptPart(const std::string& id, const char* part, const char* name,
                                    const char* what, bool mayBeEmpty, StoredPackage*& package) {
  const std::string incoming = IncomingPath(id, part);
  const auto found = packages_.find(id);
  std::error_code ec;
  std::string error;
  if (found == packages_.end()) {
    error = "no package " + id;
  } else if (!mayBeEmpty && SizeOf(incoming) == 0) {
    error = std::string("the ") + what + " is empty";
  } else {
    fs::rename(incoming, fs::path(PackageDir(id)) / name, ec);
    if (ec) error = std::string("the ") + what + " cannot be stored";
  }
  if (!error.empty()) {
    fs::remove(incoming, ec);
    return error;
  }
  package = &found->second;
  return std::string();
}

std::string PackageStore::BeginData(const std::string& id, std::string& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = packages_.find(id);
  if (found == packages_.end()) return "no package " + id;
  if (found->second.kind != PackageKind::kDescription) return "this package has its data";
  file = IncomingPath(id, kDataPart);
  return std::string();
}

std::string PackageStore::FinishData(const std::string& id, StoredPackage& stored) {
  std::lock_guard<std::mutex> lock(mutex_);
  StoredPackage* package = nullptr;
  const std::string error = AdoptPart(id, kDataPart, kDataFile, "data file", true, package);
  if (!error.empty()) return error;
  package->hasData = true;
  package->dataBytes = SizeOf((fs::path(PackageDir(id)) / kDataFile).string());
  stored = *package;
  return std::string();
}

std::string PackageStore::BeginSignature(const std::string& id, std::string& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = packages_.find(id);
  if (found == packages_.end()) return "no package " + id;
  // Its description, with an identifier of its own, is made here: nothing
  // signed beforehand covers it, and every server that checks would refuse it.
  if (found->second.kind == PackageKind::kProgram) {
    return "a program's description is made by the console, so no signature can cover it: "
           "upload the description (.mki) that was signed, with its data file";
  }
  file = IncomingPath(id, kSignaturePart);
  return std::string();
}

std::string PackageStore::FinishSignature(const std::string& id, StoredPackage& stored) {
  std::lock_guard<std::mutex> lock(mutex_);
  StoredPackage* package = nullptr;
  const std::string error =
      AdoptPart(id, kSignaturePart, kSignatureFile, "signature file", false, package);
  if (!error.empty()) return error;
  package->hasSignature = true;
  stored = *package;
  return std::string();
}

void PackageStore::WriteMeta(const StoredPackage& stored) const {
  const nlohmann::json meta = {{"kind", KindName(stored.kind)},
                               {"fileName", stored.fileName},
                               {"entry", stored.entry},
                               {"created", stored.created}};
  std::ofstream out(fs::path(PackageDir(stored.id)) / kMetaFile);
  out << meta.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

std::vector<StoredPackage> PackageStore::List() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<StoredPackage> list;
  for (const auto& [id, stored] : packages_) list.push_back(stored);
  return list;
}

std::optional<StoredPackage> PackageStore::Find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = packages_.find(id);
  if (found == packages_.end()) return std::nullopt;
  return found->second;
}

bool PackageStore::Remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (packages_.erase(id) == 0) return false;
  std::error_code ec;
  fs::remove_all(PackageDir(id), ec);
  return true;
}

std::string PackageStore::Load(const std::string& id, Package& package) const {
  const std::optional<StoredPackage> stored = Find(id);
  if (!stored) return "no package " + id;
  if (stored->NeedsData()) return "the package's data file has not been uploaded";
  const fs::path dir = PackageDir(id);
  package = Package{};
  if (stored->kind == PackageKind::kContainer) {
    package.description.FileName = stored->fileName;
    package.description.PackageType = CPackageDescription::kTypeNothing;
    package.containerRequest = stored->fileName + "::" + stored->entry;
  } else {
    package.description = stored->description;
  }
  if (stored->hasData) package.dataFile = (dir / kDataFile).string();
  if (stored->hasSignature) package.signatureFile = (dir / kSignatureFile).string();
  package.dataBytes = stored->dataBytes;
  if (package.dataBytes > 0xFFFFFFFFull) return "the data file is larger than 4 GiB";
  return std::string();
}

}  // namespace vornctl::console
