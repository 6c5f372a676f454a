#pragma once
// The running program's own file and folder as the kernel names them, kept as bytes: a path
// that is no valid UTF-8 (a portable copy in a folder named in another encoding) stays
// reachable, where Qt's text paths would replace its odd bytes and name another file.
#include <string>

namespace qmx::platform {

// The program's file (/proc/self/exe); empty when it cannot be read.
std::string programFileBytes();
// The folder part of a path: everything before its last '/' ("/" for a file in the root,
// "." for a bare name).
std::string folderOfBytes(const std::string& path);

}  // namespace qmx::platform
