// The host's preference store: categories of keys with text values, filled
// from an INI-style file and by the host program itself. Numbers are kept as
// their text; a number lookup yields the caller's default unless the whole
// text reads as one decimal number ("inf" and "nan" included, so that a host
// can hand a plug-in any double it stored).
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <filesystem>
#include <fstream>
#include <system_error>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host/toolkit.h"

namespace {

// A preference file holds a few settings. Anything larger is not one (or is
// a device that never ends), and is refused before it is read.
constexpr size_t kMaxFileBytes = size_t{1} << 20;

// Why the last load of this thread failed; empty after one that succeeded.
thread_local std::string lastLoadError;

using Category = std::map<std::string, std::string, std::less<>>;

struct Store {
    std::mutex mutex;
    std::map<std::string, Category, std::less<>> categories;
    bool loaded = false;
};

Store& store() {
    static Store instance;
    return instance;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A value may be written in double quotes to keep leading or trailing spaces.
std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

enum class FileRead { Read, Missing, Refused };

std::string tooLarge(const char* path) {
    return std::string("the preference file ") + path + " is larger than 1 MiB; it is not read";
}

#ifdef _WIN32

FileRead readFile(const char* path, std::string& contents, std::string& error) {
    std::error_code failure;
    const auto status = std::filesystem::status(path, failure);
    if (status.type() == std::filesystem::file_type::not_found) {
        error = std::string("cannot read the preference file ") + path + ": no such file";
        return FileRead::Missing;
    }
    if (failure || status.type() != std::filesystem::file_type::regular) {
        error = std::string("the preference file ") + path + " is not a regular file";
        return FileRead::Refused;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::string("cannot read the preference file ") + path;
        return FileRead::Refused;
    }
    contents.resize(kMaxFileBytes + 1);
    in.read(contents.data(), static_cast<std::streamsize>(contents.size()));
    contents.resize(static_cast<size_t>(in.gcount()));
    if (contents.size() > kMaxFileBytes) {
        error = tooLarge(path);
        return FileRead::Refused;
    }
    return FileRead::Read;
}

#else

// Reads the whole file. It is opened without waiting, so that a FIFO named
// as the file cannot block the open, and anything but a regular file of at
// most kMaxFileBytes is refused; the read stops there too, in case the file
// grows meanwhile.
FileRead readFile(const char* path, std::string& contents, std::string& error) {
    const std::string where = std::string("the preference file ") + path;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int cause = errno;
        error = "cannot read " + where + ": " + std::strerror(cause);
        return cause == ENOENT || cause == ENOTDIR ? FileRead::Missing : FileRead::Refused;
    }
    struct stat info {};
    FileRead result = FileRead::Refused;
    if (fstat(fd, &info) != 0) {
        error = "cannot read " + where + ": " + std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = where + " is not a regular file";
    } else if (static_cast<uint64_t>(info.st_size) > kMaxFileBytes) {
        error = tooLarge(path);
    } else if (const int flags = fcntl(fd, F_GETFL); flags < 0 ||
               fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = "cannot read " + where + ": " + std::strerror(errno);
    } else {
        // Room for the size found and one byte more; a file that grew since
        // gets room up to one byte past the limit.
        contents.resize(static_cast<size_t>(info.st_size) + 1);
        size_t filled = 0;
        result = FileRead::Read;
        for (;;) {
            if (filled == contents.size()) {
                if (filled > kMaxFileBytes) {
                    break;
                }
                contents.resize(kMaxFileBytes + 1);
            }
            const ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                error = "cannot read " + where + ": " + std::strerror(errno);
                result = FileRead::Refused;
                break;
            }
            if (got == 0) {
                break;
            }
            filled += static_cast<size_t>(got);
        }
        contents.resize(filled);
        if (result == FileRead::Read && filled > kMaxFileBytes) {
            error = tooLarge(path);
            result = FileRead::Refused;
        }
    }
    ::close(fd);
    return result;
}

#endif

// Files the settings of an INI text into `out`.
void parseText(std::string_view contents, std::map<std::string, Category, std::less<>>& out) {
    std::string current;
    bool firstLine = true;
    while (!contents.empty()) {
        const size_t end = contents.find('\n');
        std::string_view text = contents.substr(0, end);
        contents.remove_prefix(end == std::string_view::npos ? contents.size() : end + 1);
        // Editors on some systems start a UTF-8 file with a byte-order mark.
        if (firstLine && text.starts_with("\xEF\xBB\xBF")) {
            text.remove_prefix(3);
        }
        firstLine = false;
        text = trim(text);
        if (text.empty() || text.front() == '#' || text.front() == ';') {
            continue;
        }
        if (text.front() == '[') {
            // A broken section line ("[name" without "]") starts no section:
            // the keys below it are skipped rather than filed under the one before.
            const auto close = text.find(']');
            current = close == std::string_view::npos ? std::string()
                                                      : std::string(trim(text.substr(1, close - 1)));
            continue;
        }
        const auto equals = text.find('=');
        if (equals == std::string_view::npos || current.empty()) {
            continue;
        }
        const std::string_view key = trim(text.substr(0, equals));
        if (key.empty()) {
            continue;
        }
        out[current][std::string(key)] = std::string(unquote(trim(text.substr(equals + 1))));
    }
}

FileRead parseFile(const char* path, std::map<std::string, Category, std::less<>>& out) {
    std::string contents;
    const FileRead result = readFile(path, contents, lastLoadError);
    if (result == FileRead::Read) {
        parseText(contents, out);
    }
    return result;
}

std::string defaultPath() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        return std::string(xdg) + "/jhost/preferences.ini";
    }
#ifdef _WIN32
    if (const char* appData = std::getenv("APPDATA"); appData != nullptr && *appData != '\0') {
        return std::string(appData) + "\\jhost\\preferences.ini";
    }
#endif
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::string(home) + "/.config/jhost/preferences.ini";
    }
    return {};
}

// Loads from the environment's file or the default location; called with the
// store locked. Returns false when the file named by the environment, or a
// file that is at the default location, cannot be read or is refused.
bool loadDefaultLocked(Store& s) {
    s.categories.clear();
    s.loaded = true;
    lastLoadError.clear();
    if (const char* named = std::getenv(JPMG_PREFERENCES_ENV); named != nullptr && *named != '\0') {
        return parseFile(named, s.categories) == FileRead::Read;
    }
    const std::string path = defaultPath();
    if (path.empty()) {
        return true;
    }
    switch (parseFile(path.c_str(), s.categories)) {
        case FileRead::Read:
            return true;
        case FileRead::Missing:
            lastLoadError.clear();
            return true;
        case FileRead::Refused:
            break;
    }
    return false;
}

void ensureLoaded(Store& s) {
    if (!s.loaded) {
        loadDefaultLocked(s);
    }
}

const std::string* findValue(Store& s, const char* category, const char* key) {
    if (category == nullptr || key == nullptr) {
        return nullptr;
    }
    ensureLoaded(s);
    const auto cat = s.categories.find(std::string_view(category));
    if (cat == s.categories.end()) {
        return nullptr;
    }
    const auto entry = cat->second.find(std::string_view(key));
    return entry == cat->second.end() ? nullptr : &entry->second;
}

bool parseNumber(std::string_view text, double& value) {
    text = trim(text);
    // from_chars takes a minus sign but no plus; one sign at most, so "+-25"
    // is no number.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return false;
        }
    }
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

extern "C" {

double jpmg_GetNumberPreference(const char* category, const char* key, double defaultValue,
                                ErrorReport** error) {
    if (error != nullptr) {
        *error = nullptr;
    }
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string* text = findValue(s, category, key);
    double value = 0.0;
    if (text == nullptr || !parseNumber(*text, value)) {
        return defaultValue;
    }
    return value;
}

const char* jpmg_GetStringPreference(const char* category, const char* key,
                                     const char* defaultValue, ErrorReport** error) {
    if (error != nullptr) {
        *error = nullptr;
    }
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string* text = findValue(s, category, key);
    return text == nullptr ? defaultValue : text->c_str();
}

int jpmg_LoadPreferences(const char* path) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.categories.clear();
    s.loaded = true;
    lastLoadError.clear();
    if (path == nullptr) {
        lastLoadError = "no preference file given";
        return 0;
    }
    return parseFile(path, s.categories) == FileRead::Read ? 1 : 0;
}

const char* jpmg_PreferencesLoadError(void) { return lastLoadError.c_str(); }

int jpmg_LoadDefaultPreferences(void) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return loadDefaultLocked(s) ? 1 : 0;
}

void jpmg_SetNumberPreference(const char* category, const char* key, double value) {
    // Shortest text that reads back as the same value, whatever the locale.
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text - 1, value);
    *result.ptr = '\0';
    jpmg_SetStringPreference(category, key, text);
}

void jpmg_SetStringPreference(const char* category, const char* key, const char* value) {
    if (category == nullptr || key == nullptr) {
        return;
    }
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ensureLoaded(s);
    s.categories[category][key] = value != nullptr ? value : "";
}

void jpmg_RemovePreference(const char* category, const char* key) {
    if (category == nullptr || key == nullptr) {
        return;
    }
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ensureLoaded(s);
    const auto cat = s.categories.find(std::string_view(category));
    if (cat != s.categories.end()) {
        cat->second.erase(std::string(key));
    }
}

void jpmg_ClearPreferences(void) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.categories.clear();
    s.loaded = true;
}

}  // extern "C"
