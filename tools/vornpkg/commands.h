#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <ostream>
#include <string>

class CPackageDescription;

// Each adds one subcommand to the tool; when it runs, its outcome goes to
// exitCode (0 done, 1 refused or failed).
void AddCreateCommand(CLI::App& app, int& exitCode);
void AddShowCommand(CLI::App& app, int& exitCode);
void AddValidateCommand(CLI::App& app, int& exitCode);
void AddContainerCommand(CLI::App& app, int& exitCode);
void AddListCommand(CLI::App& app, int& exitCode);
void AddExtractCommand(CLI::App& app, int& exitCode);
void AddSignCommand(CLI::App& app, int& exitCode);
void AddVerifyCommand(CLI::App& app, int& exitCode);

// The "Signature:" line of show: whether DATAFILE.sig lies next to the
// description and, with a key file, which of its keys made it.
void PrintSignatureLine(std::ostream& out, const std::string& descriptionFile,
                        const CPackageDescription& description,
                        const std::optional<std::string>& keysFile);
