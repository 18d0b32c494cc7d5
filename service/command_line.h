#pragma once
// The service's command line. Without arguments the process is the service;
// an administrator may ask for the version or check a configuration.

#include <string>

struct ServiceCommandLine {
  bool version = false;
  bool check = false;
  std::string registryPath;  // where the configuration store is a file
};

// Parses argv into `options`. Returns -1 when the process goes on, else the
// exit status it ends with: 0 after --help, 2 after a usage error (the usage
// is then on standard error).
int ParseServiceCommandLine(int argc, char** argv, ServiceCommandLine& options);
