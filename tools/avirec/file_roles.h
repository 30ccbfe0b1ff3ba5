// The files avirec is given: the standard descriptors held, so that no file
// it opens takes their numbers, and every file it writes told apart from
// every file it reads and from each other, before anything is opened.
#ifndef AVIREC_FILE_ROLES_H
#define AVIREC_FILE_ROLES_H

#include <string>
#include <vector>

// Which of descriptors 0, 1 and 2 the program was started without. Each of
// them is then opened on /dev/null, so that a file or pipe opened later
// cannot take its number (a movie opened as descriptor 2 would receive the
// error messages). Call first thing in main.
struct StandardDescriptors {
    bool inputClosed = false;
    bool outputClosed = false;
    bool errorClosed = false;
    bool inputWriteOnly = false;  // open, but not for reading
};
StandardDescriptors holdStandardDescriptors();

// One file that avirec will write or read, as the user named it.
struct NamedFile {
    std::string role;     // for messages: "the movie", "the --progress file", ...
    std::string path;     // the name given; shown in messages
    int descriptor = -1;  // an open descriptor instead of a name (standard input, fd:N)
    bool written = false;
};

// False, with a message naming both roles in `error`, when a file that is
// written is also read or written in another role: the same name, a
// symbolic link to it or a hard link of it, or a name that does not exist
// yet but would be made in the same folder under the same name. Files that
// are not regular files (devices, FIFOs) do not clash.
bool refuseClashingFiles(const std::vector<NamedFile>& files, std::string& error);

#endif  // AVIREC_FILE_ROLES_H
