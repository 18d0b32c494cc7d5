#pragma once

// The release of every program of the project, from the one version in the
// build: log lines, identities and --version all show it.
inline constexpr const char* kVersion = VORN_VERSION;
