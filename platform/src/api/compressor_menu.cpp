// The stand-in's text menu.
#include "api/compressor_menu.h"

#include <charconv>
#include <string>
#include <vector>

namespace avifile::api {
namespace {

// No answer is longer; the rest of a longer line is read and dropped, so
// that endless input without a line end cannot fill the memory.
constexpr size_t kMaxAnswer = 4096;

// One line of input without its line end; false at the end of the input
// when nothing was read. `tooLong` tells that characters were dropped.
bool readLine(std::FILE* in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c = 0;
    while ((c = std::getc(in)) != EOF && c != '\n') {
        if (c == '\r') {
            continue;
        }
        if (line.size() < kMaxAnswer) {
            line += static_cast<char>(c);
        } else {
            tooLong = true;
        }
    }
    return c == '\n' || !line.empty();
}

std::string_view withoutBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::vector<CompressorDescription> menuEntries(std::span<const CompressorDescription> offered) {
    std::vector<CompressorDescription> entries(offered.begin(), offered.end());
    if (entries.empty()) {
        entries.push_back({comptypeDIB, "full", "Full Frames (Uncompressed)", true});
    }
    return entries;
}

}  // namespace

ChoiceOutcome runCompressorMenu(std::FILE* in, std::FILE* out,
                                std::span<const CompressorDescription> offered,
                                const CompressorLookup& lookup, CompressorChoice& choice) {
    const std::vector<CompressorDescription> entries = menuEntries(offered);
    std::fprintf(out, "Video Compression\n");
    for (size_t i = 0; i < entries.size(); ++i) {
        std::fprintf(out, "  %2zu) %-34s '%s'%s\n", i + 1, entries[i].description.c_str(),
                     fourccText(entries[i].fourcc).c_str(), i == 0 ? "  (default)" : "");
    }
    std::string line;
    for (;;) {
        std::fprintf(out, "Compressor [1-%zu, Enter for the default, q to cancel]: ", entries.size());
        std::fflush(out);
        bool tooLong = false;
        if (!readLine(in, line, tooLong)) {
            std::fprintf(out, "\n");
            return ChoiceOutcome::Cancelled;
        }
        if (tooLong) {
            std::fprintf(out, "That answer is longer than %zu characters.\n", kMaxAnswer);
            continue;
        }
        const std::string_view answer = withoutBlanks(line);
        if (answer.empty()) {
            choice = CompressorChoice{entries.front().fourcc, {}, {}, {}};
            return ChoiceOutcome::Chosen;
        }
        if (answer == "q" || answer == "Q") {
            return ChoiceOutcome::Cancelled;
        }
        size_t number = 0;
        const char* end = answer.data() + answer.size();
        const auto [stop, error] = std::from_chars(answer.data(), end, number);
        if (error == std::errc() && stop == end) {
            if (number >= 1 && number <= entries.size()) {
                choice = CompressorChoice{entries[number - 1].fourcc, {}, {}, {}};
                return ChoiceOutcome::Chosen;
            }
            std::fprintf(out, "There is no compressor %zu.\n", number);
            continue;
        }
        std::string message;
        const ChoiceOutcome outcome = parseCompressorChoice(answer, lookup, choice, message);
        if (outcome != ChoiceOutcome::Invalid) {
            return outcome;
        }
        std::fprintf(out, "%s.\n", message.c_str());
    }
}

}  // namespace avifile::api
