// The temporary folder of model 2 with auto-temp: made under the system's folder for temporary
// files, and removed on every way out once it exists, from any thread.
#pragma once

#include <string>

namespace oz::receiver {

// Makes the folder and returns its path (UTF-8). Throws core::Error when it cannot.
std::string makeTemporaryFolder();

// Whether this run extracts into a temporary folder.
bool haveTemporaryFolder();

// Removes it, when there is one; "" when it went, else what became of it, to tell the receiver.
std::string removeTemporaryFolder();

} // namespace oz::receiver
