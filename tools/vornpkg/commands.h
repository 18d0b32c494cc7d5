#pragma once

#include <CLI/CLI.hpp>

// Each adds one subcommand to the tool; when it runs, its outcome goes to
// exitCode (0 done, 1 refused or failed).
void AddCreateCommand(CLI::App& app, int& exitCode);
void AddShowCommand(CLI::App& app, int& exitCode);
void AddValidateCommand(CLI::App& app, int& exitCode);
void AddContainerCommand(CLI::App& app, int& exitCode);
void AddListCommand(CLI::App& app, int& exitCode);
void AddExtractCommand(CLI::App& app, int& exitCode);
