// The files this process holds open, to show that a failed load leaves none
// behind.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <set>
#include <string>

namespace macgate {

// Each open descriptor with what it names, "3 -> /tmp/list.txt", but the
// one that reads the folder.
inline std::set<std::string> OpenDescriptors() {
    std::set<std::string> open;
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return open;
    }
    const std::string own = std::to_string(dirfd(folder));
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == own) {
            continue;
        }
        char target[PATH_MAX] = {};
        const ssize_t length =
            readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
        open.insert(name + " -> " + std::string(target, length > 0 ? size_t(length) : 0));
    }
    closedir(folder);
    return open;
}

}  // namespace macgate
