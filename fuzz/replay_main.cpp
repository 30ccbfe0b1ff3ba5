// Runs a fuzz target once over each input file: the files named, and every
// regular file in the folders named (in name order). Used by CTest to replay
// the seed corpora and the saved crash inputs in every build, without
// libFuzzer. A failing input aborts inside the target, so reaching the end
// means every input passed; no input at all is an error too (a lost folder
// must not pass quietly).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool readFile(const std::filesystem::path& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
            if (error) {
                std::fprintf(stderr, "cannot list %s: %s\n", argv[i], error.message().c_str());
                return 1;
            }
        } else if (std::filesystem::is_regular_file(path, error)) {
            inputs.push_back(path);
        } else {
            std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s FILE|FOLDER... (at least one input)\n", argv[0]);
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    std::vector<uint8_t> bytes;
    for (const auto& input : inputs) {
        if (!readFile(input, bytes)) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
        // A copy of exactly the input's size, so that a read past its end
        // shows up under AddressSanitizer as it would under libFuzzer.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
