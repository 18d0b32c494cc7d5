#include "federation/scan_request.h"

bool ParseScanMode(const std::string& word, ScanMode& mode) {
  if (word == "ALL") {
    mode = ScanMode::kAll;
  } else if (word == "DALL") {
    mode = ScanMode::kDall;
  } else if (word == "EXTERN") {
    mode = ScanMode::kExtern;
  } else if (word == "DEXTERN") {
    mode = ScanMode::kDextern;
  } else {
    return false;
  }
  return true;
}
