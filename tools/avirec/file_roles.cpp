#include "file_roles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>

namespace {

// What makes a file the same file: its device and inode, or for a name not
// made yet, the folder's device and inode and the name it would have there.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string entry;

    bool operator==(const Identity&) const = default;
};

std::optional<Identity> ofStat(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return Identity{info.st_dev, info.st_ino, {}};
}

// The folder part of `path` ("." for a bare name) and the last name in it.
void split(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
        return;
    }
    folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    name = path.substr(slash + 1);
}

std::optional<Identity> identify(const std::string& path, int linksFollowed = 0) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        return ofStat(info);
    }
    std::string folder;
    std::string name;
    split(path, folder, name);
    // A symbolic link to a name that does not exist yet: writing through it
    // would make that name.
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && linksFollowed < 40) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        if (length <= 0) {
            return std::nullopt;
        }
        const std::string text(target, static_cast<size_t>(length));
        return identify(text[0] == '/' ? text : folder + "/" + text, linksFollowed + 1);
    }
    if (name.empty() || name == "." || name == ".." ||
        ::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return std::nullopt;
    }
    return Identity{info.st_dev, info.st_ino, name};
}

std::optional<Identity> identify(const NamedFile& file) {
    if (file.descriptor >= 0) {
        struct stat info {};
        if (::fstat(file.descriptor, &info) != 0) {
            return std::nullopt;
        }
        return ofStat(info);
    }
    return identify(file.path);
}

std::string describe(const NamedFile& file) {
    return file.role + (file.path.empty() ? std::string() : " " + file.path);
}

}  // namespace

StandardDescriptors holdStandardDescriptors() {
    bool closed[3] = {};
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        closed[fd] = true;
        // open() takes the lowest free number, which is this one.
        const int held = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (held >= 0 && held != fd) {
            ::close(held);
        }
    }
    StandardDescriptors held;
    held.inputClosed = closed[0];
    held.outputClosed = closed[1];
    held.errorClosed = closed[2];
    const int flags = fcntl(STDIN_FILENO, F_GETFL);
    held.inputWriteOnly = !held.inputClosed && flags >= 0 && (flags & O_ACCMODE) == O_WRONLY;
    return held;
}

bool refuseClashingFiles(const std::vector<NamedFile>& files, std::string& error) {
    std::vector<std::optional<Identity>> identities;
    identities.reserve(files.size());
    for (const NamedFile& file : files) {
        identities.push_back(identify(file));
    }
    for (size_t i = 0; i < files.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (!(files[i].written || files[j].written) || !identities[i] || !identities[j] ||
                !(*identities[i] == *identities[j])) {
                continue;
            }
            // The file named first is the one the user meant for its role.
            const NamedFile& written = files[i].written ? files[i] : files[j];
            const NamedFile& other = &written == &files[i] ? files[j] : files[i];
            error = describe(written) + " is the same file as " + describe(other) +
                    ": avirec would write over it; name another file (nothing was written)";
            return false;
        }
    }
    return true;
}
