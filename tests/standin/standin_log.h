// The stand-in's log, tessard.log beside its executable: one line per event
// ("key: value"), appended, so that a test can read what the SCM did to it.
#pragma once

#include <string>

namespace standin {

// Sets the directory (with its trailing backslash) the log and script live in.
void SetHomeDirectory(const std::string& directory);
const std::string& HomeDirectory();

// Appends "key: value" and a line end; safe from any thread.
void Log(const std::string& key, const std::string& value);

}  // namespace standin
