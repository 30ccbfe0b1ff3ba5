// avirec run from a shell as a user runs it, and the files it leaves.
#ifndef AVIREC_TESTS_AVIREC_SHELL_H
#define AVIREC_TESTS_AVIREC_SHELL_H

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/ffmpeg_tools.h"

struct ShellRun {
    int status;
    std::string output;  // standard output and standard error together
};

// Runs `command` in a shell, with `{avirec}` standing for the program; a
// run that hangs is ended after two minutes (status 124). timeout runs in
// the foreground mode, in which a signal it gets reaches avirec once, not
// also through the process group.
inline ShellRun shell(std::string command) {
    for (size_t at; (at = command.find("{avirec}")) != std::string::npos;) {
        command.replace(at, 8, std::string("timeout --foreground 120 ") + AVIREC_PATH);
    }
    ShellRun run;
    run.status = runCommand("( " + command + " ) 2>&1", &run.output);
    return run;
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

#endif  // AVIREC_TESTS_AVIREC_SHELL_H
