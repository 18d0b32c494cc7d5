#pragma once

#include <cstdint>
#include <string>

// Reads the installer's progress text "1: a 2: b 3: c 4: d" into fields; as
// many fields as the message type (field 1) has: 4 for type 0, 3 for type 1,
// 2 for types 2 and 3. False for anything else, and for a value that does
// not fit in 64 bits; such a message is ignored.
bool ParseProgressFields(const std::string& text, std::int64_t fields[4]);
