// The host's preference store: categories of keys with text values, filled
// from an INI-style file and by the host program itself. Numbers are kept as
// their text; a number lookup yields the caller's default unless the whole
// text reads as one decimal number ("inf" and "nan" included, so that a host
// can hand a plug-in any double it stored).
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "host/toolkit.h"

namespace {

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

bool parseFile(const char* path, std::map<std::string, Category, std::less<>>& out) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string line;
    std::string current;
    bool firstLine = true;
    while (std::getline(in, line)) {
        std::string_view text = line;
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
    return true;
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
// store locked. Returns false when a file named by the environment is unreadable.
bool loadDefaultLocked(Store& s) {
    s.categories.clear();
    s.loaded = true;
    if (const char* named = std::getenv(JPMG_PREFERENCES_ENV); named != nullptr && *named != '\0') {
        return parseFile(named, s.categories);
    }
    const std::string path = defaultPath();
    if (!path.empty()) {
        parseFile(path.c_str(), s.categories);
    }
    return true;
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
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
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
    return path != nullptr && parseFile(path, s.categories) ? 1 : 0;
}

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
