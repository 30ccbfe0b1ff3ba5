// Fuzz target: the host toolkit's preference file reader. The input is the
// file; it is loaded and looked up under the movie writer's keys and under
// names taken from the input itself. Every lookup must give the caller's
// default or text that is in the file, a number only when its text reads as
// that number, and loading the same file again must give the same answers.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "host/toolkit.h"

namespace {

constexpr double kNumberDefault = -7.25;
const char kStringDefault[] = "(default)";

// The input as a file: an anonymous in-memory one, named through /proc.
std::string inputFile(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("preferences", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0, "memfd_create failed");
    putInput(fd, data, size);
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1));
}

// Names to look up: the movie writer's, a few that files rarely hold, and
// the section and key names of the input's first lines, roughly cut out.
void namesToTry(std::string_view file, std::vector<std::string>& categories,
                std::vector<std::string>& keys) {
    categories = {"vantorel_movies", "other_module", "", "a"};
    keys = {"moviespeed", "moviestring", "size", "", "k"};
    size_t at = 0;
    for (int line = 0; line < 12 && at < file.size(); ++line) {
        size_t end = file.find('\n', at);
        if (end == std::string_view::npos) {
            end = file.size();
        }
        const std::string_view text = file.substr(at, end - at);
        const size_t open = text.find('[');
        const size_t close = text.find(']');
        if (open != std::string_view::npos && close != std::string_view::npos && open < close) {
            categories.push_back(trimmed(text.substr(open + 1, close - open - 1)));
        }
        const size_t equals = text.find('=');
        if (equals != std::string_view::npos) {
            keys.push_back(trimmed(text.substr(0, equals)));
        }
        at = end + 1;
    }
}

bool inFile(std::string_view file, const char* value) {
    return file.find(std::string_view(value)) != std::string_view::npos;
}

// A whole number of at most nine digits, blanks and a sign allowed: text
// that any reading of decimal numbers takes as exactly that number.
bool smallInteger(const std::string& text, long& value) {
    const std::string t = trimmed(text);
    size_t digits = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (i == 0 && (t[i] == '+' || t[i] == '-')) {
            continue;
        }
        if (t[i] < '0' || t[i] > '9') {
            return false;
        }
        ++digits;
    }
    if (digits == 0 || digits > 9) {
        return false;
    }
    value = std::strtol(t.c_str(), nullptr, 10);
    return true;
}

struct Answer {
    bool found;
    std::string text;
    double number;
};

Answer lookUp(std::string_view file, const std::string& category, const std::string& key) {
    ErrorReport* error = reinterpret_cast<ErrorReport*>(&error);
    const char* text = jpmg_GetStringPreference(category.c_str(), key.c_str(), kStringDefault, &error);
    FUZZ_CHECK(error == nullptr, "the string lookup left the error report set");
    FUZZ_CHECK(text != nullptr, "null instead of the default");
    error = reinterpret_cast<ErrorReport*>(&error);
    const double number = jpmg_GetNumberPreference(category.c_str(), key.c_str(), kNumberDefault, &error);
    FUZZ_CHECK(error == nullptr, "the number lookup left the error report set");
    // A null default comes back as null when the key is missing.
    const char* orNull = jpmg_GetStringPreference(category.c_str(), key.c_str(), nullptr, nullptr);

    Answer answer{text != kStringDefault, text, number};
    if (!answer.found) {
        FUZZ_CHECK(orNull == nullptr, "[%s] %s: missing for one default, present for another",
                   category.c_str(), key.c_str());
        FUZZ_CHECK(number == kNumberDefault, "[%s] %s: a number without a text", category.c_str(),
                   key.c_str());
        return answer;
    }
    FUZZ_CHECK(orNull == text, "[%s] %s: two lookups, two texts", category.c_str(), key.c_str());
    FUZZ_CHECK(!category.empty() && !key.empty(), "a value under an empty name");
    FUZZ_CHECK(inFile(file, text), "[%s] %s = '%s' is not in the file", category.c_str(),
               key.c_str(), text);
    FUZZ_CHECK(std::strchr(text, '\n') == nullptr, "a value runs over a line end");
    if (number != kNumberDefault) {
        // The number is what its text says.
        const std::string t = trimmed(text);
        const double read = std::strtod(t.c_str(), nullptr);
        FUZZ_CHECK(read == number || (std::isnan(read) && std::isnan(number)),
                   "[%s] %s = '%s' gives %.17g, not %.17g", category.c_str(), key.c_str(), text,
                   number, read);
    }
    // (A value with a zero byte in it reads as a number of all its bytes,
    // while the text ends at the zero.)
    long integer = 0;
    if (file.find('\0') == std::string_view::npos && smallInteger(answer.text, integer)) {
        FUZZ_CHECK(number == static_cast<double>(integer), "[%s] %s = '%s' gives %.17g",
                   category.c_str(), key.c_str(), text, number);
    }
    return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    const std::string path = inputFile(data, size);
    std::vector<std::string> categories;
    std::vector<std::string> keys;
    namesToTry(file, categories, keys);

    FUZZ_CHECK(jpmg_LoadPreferences(path.c_str()) == 1, "a readable file was not loaded");
    std::vector<Answer> first;
    for (const std::string& category : categories) {
        for (const std::string& key : keys) {
            first.push_back(lookUp(file, category, key));
        }
    }
    FUZZ_CHECK(jpmg_GetNumberPreference(nullptr, "moviespeed", 3.5, nullptr) == 3.5 &&
                   jpmg_GetStringPreference("vantorel_movies", nullptr, kStringDefault, nullptr) ==
                       kStringDefault,
               "a null name found a value");

    // The same file again: the same answers.
    FUZZ_CHECK(jpmg_LoadPreferences(path.c_str()) == 1, "the file did not load a second time");
    size_t i = 0;
    for (const std::string& category : categories) {
        for (const std::string& key : keys) {
            const Answer again = lookUp(file, category, key);
            const Answer& before = first[i++];
            FUZZ_CHECK(again.found == before.found && again.text == before.text &&
                           (again.number == before.number ||
                            (std::isnan(again.number) && std::isnan(before.number))),
                       "[%s] %s: another answer after loading the same file again",
                       category.c_str(), key.c_str());
        }
    }

    // A file that cannot be read leaves the store empty.
    FUZZ_CHECK(jpmg_LoadPreferences("/proc/self/fd/-1") == 0, "an unreadable file loaded");
    FUZZ_CHECK(jpmg_GetStringPreference("vantorel_movies", "moviestring", kStringDefault, nullptr) ==
                   kStringDefault,
               "the store kept values after a failed load");
    jpmg_ClearPreferences();
    return 0;
}
