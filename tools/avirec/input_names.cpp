// Natural order and printf-style patterns of input names.
#include "input_names.h"

#include <sys/stat.h>

#include <climits>

#include <algorithm>
#include <optional>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The one "%d" / "%0Nd" conversion of a pattern (with "%%" for a percent
// sign): the text with it replaced by `number`, or nothing when `pattern`
// holds no such conversion, or more than one.
std::optional<std::string> numbered(const std::string& pattern, long number) {
    std::string text;
    bool converted = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            text += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            text += '%';
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < pattern.size() && isDigit(pattern[end]) && end - i <= 3) {
            ++end;
        }
        if (end >= pattern.size() || pattern[end] != 'd' || converted) {
            return std::nullopt;
        }
        const std::string digits = pattern.substr(i + 1, end - i - 1);
        if (!digits.empty() && digits[0] != '0' && digits.size() > 1) {
            return std::nullopt;
        }
        // Zeros in front up to the width, as printf's %0Nd pads.
        const std::string value = std::to_string(number);
        const size_t width = digits.empty() ? 0 : std::stoul(digits);
        text.append(width > value.size() ? width - value.size() : 0, '0');
        text += value;
        converted = true;
        i = end;
    }
    if (!converted) {
        return std::nullopt;
    }
    return text;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Whether the last name in `path` is longer than a folder can hold.
bool nameTooLong(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return path.size() - (slash == std::string::npos ? 0 : slash + 1) > NAME_MAX;
}

}  // namespace

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t endA = i;
            size_t endB = j;
            while (endA < a.size() && isDigit(a[endA])) ++endA;
            while (endB < b.size() && isDigit(b[endB])) ++endB;
            // Compared as numbers: leading zeros skipped, then the longer
            // run of significant digits is the larger number.
            size_t startA = i;
            size_t startB = j;
            while (startA + 1 < endA && a[startA] == '0') ++startA;
            while (startB + 1 < endB && b[startB] == '0') ++startB;
            const size_t lengthA = endA - startA;
            const size_t lengthB = endB - startB;
            if (lengthA != lengthB) {
                return lengthA < lengthB;
            }
            const int order = a.compare(startA, lengthA, b, startB, lengthB);
            if (order != 0) {
                return order < 0;
            }
            if (endA - i != endB - j) {
                return endA - i < endB - j;
            }
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

bool expandInputNames(const std::vector<std::string>& names, bool sort,
                      std::vector<std::string>& files, std::string& error) {
    files.clear();
    for (const std::string& name : names) {
        if (name == "-" || exists(name) || !numbered(name, 0)) {
            files.push_back(name);
            continue;
        }
        if (nameTooLong(*numbered(name, 0))) {
            error = "the pattern " + name + " makes names longer than the " +
                    std::to_string(NAME_MAX) + " characters a file name can have";
            return false;
        }
        long number = 0;
        while (number <= 4 && !exists(*numbered(name, number))) {
            ++number;
        }
        if (number > 4) {
            error = "no file matches the pattern " + name + " (tried " + *numbered(name, 0) +
                    " to " + *numbered(name, 4) + ")";
            return false;
        }
        std::string last;
        for (std::string file; exists(file = *numbered(name, number)); ++number) {
            // Every number must give a name of its own, or the list would
            // never end.
            if (file == last) {
                error = "the pattern " + name + " gives " + file + " for two numbers";
                return false;
            }
            files.push_back(file);
            last = std::move(file);
        }
    }
    if (sort) {
        std::stable_sort(files.begin(), files.end(), naturalLess);
    }
    return true;
}
