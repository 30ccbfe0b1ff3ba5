// Reads standard input in whole frames of the given size and drops them:
// what carrying the frames through the pipe costs with nothing done to
// them. The pipe is widened as avirec widens it. Exits 1 on a read error or
// a partial last frame.
//   bench_pipe_drain FRAME_BYTES
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    const long long frameBytes = argc == 2 ? std::atoll(argv[1]) : 0;
    if (frameBytes <= 0) {
        std::fprintf(stderr, "usage: bench_pipe_drain FRAME_BYTES\n");
        return 2;
    }
    for (int size = 1 << 20; size >= 1 << 17 && fcntl(STDIN_FILENO, F_SETPIPE_SZ, size) < 0;
         size /= 2) {
    }
    // Three frames in turn, as avirec's reader keeps them.
    std::vector<char> frames(3 * static_cast<size_t>(frameBytes));
    for (size_t frame = 0;; ++frame) {
        char* into = frames.data() + (frame % 3) * static_cast<size_t>(frameBytes);
        long long got = 0;
        while (got < frameBytes) {
            const ssize_t count =
                read(STDIN_FILENO, into + got, static_cast<size_t>(frameBytes - got));
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                std::perror("bench_pipe_drain");
                return 1;
            }
            if (count == 0) {
                return got == 0 ? 0 : 1;
            }
            got += count;
        }
    }
}
