// New files beside a path, created exclusively under a random name and never
// through a link: the temporary files of the state file and of the
// download record, and the probe before a submission (a download's
// partial file has a fixed name of its own: partial_files.hpp).
#pragma once

#include "runtime.hpp"

namespace clusterlane {

struct NewFile {
    Owned path;  // str
    Owned file;  // the open file object (owns the descriptor)
};

// Creates "<prefix>.<random>.<suffix>" as create_new_file does and returns
// its descriptor (-1 with errno set on failure); `path` receives the name.
// A name the system cannot take as it is (a NUL in it) raises ValueError.
int open_new_file(Borrowed prefix, const char* suffix, Owned& path);

// Creates "<prefix>.<random>.<suffix>" (prefix: a path text) with
// O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC and mode 0666, so the umask
// applies as for any new file, and opens it in `mode` ("w", "wb").  Raises
// the OSError of open(2) (a new random name is tried when the name exists).
NewFile create_new_file(Borrowed prefix, const char* suffix, const char* mode);

// os.remove(path), an OSError ignored: for a temporary file on the way out
// of a failure, whose own error is the one to report.
void remove_quietly(Borrowed path);

}  // namespace clusterlane
