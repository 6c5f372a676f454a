#include "ProgramPath.h"

#include <unistd.h>

#include <vector>

namespace qmx::platform {

std::string programFileBytes()
{
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return std::string();
        if (static_cast<std::size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<std::size_t>(n));
        if (buf.size() >= (1u << 20))
            return std::string();
        buf.resize(buf.size() * 2);
    }
}

std::string folderOfBytes(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace qmx::platform
