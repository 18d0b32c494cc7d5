#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "install/package_description.h"

// Every field of a description, named as in the record, for scripts.
nlohmann::ordered_json DescriptionJson(const CPackageDescription& description);

// The same as aligned lines for a person; a text with control bytes is
// shown escaped.
void PrintDescription(std::ostream& out, const CPackageDescription& description);

// JSON text on one line per value; bytes that are not UTF-8 become U+FFFD.
std::string JsonText(const nlohmann::ordered_json& value);
