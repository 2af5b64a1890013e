// ReplaceFile: writes a whole file so that nobody ever sees half of it. The
// settings rewrite (common/IniFile.cpp) and the process id file
// (app/PidFile.cpp) use it.
//
// The content goes to a file of a fresh name beside the old one (created
// exclusively, so a link planted in the folder is never followed), reaches
// the disk and is renamed over the old name: a reader, a crash or a full
// disk leaves the old file or the new one. The rename replaces a link at the
// file's own name rather than writing through it.
//
// Thread-safety: a free function; callers serialise writes to one file.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// The new file gets `mode` whatever the umask; with `keepExisting`, a
// regular file it replaces lends it its mode and, where the process may set
// it, its owner instead (taken from the file itself, never through a link).
// False with `fault` holding the system's reason; the old file then stands.
bool ReplaceFile(const std::string& fileName, std::string_view content, mode_t mode, bool keepExisting,
                 std::string& fault);
