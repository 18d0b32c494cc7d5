#pragma once

#include <cstdint>
#include <string>

#include "install/package_description.h"

// What the subcommands share: reading descriptions, the words of the
// package types, number and identifier texts.

// Reads the description at the start of the file. On failure `error` holds
// the reader's text (or that the file cannot be opened).
bool ReadDescriptionFile(const std::string& path, CPackageDescription& description,
                         std::string& error);

// "exe", "msi", "data", "post", "none" or a number; false for anything else.
bool ParsePackageType(const std::string& text, std::uint32_t& type);
// The word for a type, or "type N" for the values without one.
std::string PackageTypeName(std::uint32_t type);

// Decimal, or hexadecimal with 0x; at most 32 bits.
bool ParseU32(const std::string& text, std::uint32_t& value);

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} from the GUID binary layout.
std::string IdentifierText(const CPackageDescription::Identifier& id);

// Messages of the tool on standard error, prefixed with its name.
void PrintError(const std::string& message);
