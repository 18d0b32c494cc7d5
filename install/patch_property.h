#pragma once

#include <functional>
#include <string>

// Rewrites the value of the first "PATCH=" of an installer command line: the
// semicolon-separated file names (quoted or not; "" inside quotes is one
// quote) become full paths, resolved with fullPath, joined again and put
// between double quotes. The rest of the command line stays as it was; a
// command line without "PATCH=" is left alone.
void RewritePatchProperty(std::string& commandLine,
                          const std::function<std::string(const std::string&)>& fullPath);
