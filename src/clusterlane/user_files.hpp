// The user's own ssh files (known_hosts, ssh config), read the way ssh
// tolerates them: at most a bounded prefix of a regular file, line by line,
// and a line that cannot be read is skipped and counted, never fatal.
#pragma once

#include "runtime.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace clusterlane::user_files {

// The text of the file at `path` (a str), at most `limit` bytes of it
// (the rest is ignored: the last line read may then be cut); nullopt when the
// file is missing, unreadable or no regular file.
std::optional<std::string> read(Borrowed path, size_t limit);

// fn(line, number) for each line of `text` (numbers from 1), without its
// line break and surrounding blanks, blank lines and '#' comments left out.
template <class Fn>
void for_each_line(std::string_view text, Fn&& fn) {
    size_t number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        const size_t first = line.find_first_not_of(" \t\r\f\v");
        if (first == std::string_view::npos) continue;
        line = line.substr(first, line.find_last_not_of(" \t\r\f\v") + 1 - first);
        if (line.front() == '#') continue;
        fn(line, number);
    }
}

// The lines of one file that could not be read: how many, and the first.
struct Skipped {
    size_t count = 0;
    size_t first = 0;
    void add(size_t number) {
        if (count++ == 0) first = number;
    }
};

// One "debug" line naming the file, the count and the first skipped line;
// nothing when none was skipped.
void log_skipped(Borrowed self, Borrowed path, const Skipped& skipped);

// The line as a str; null when it is not UTF-8.
Owned decoded(std::string_view line);

// os.path.expanduser(text) of a literal path such as "~/.ssh/config".
Owned home_path(const char* text);

}  // namespace clusterlane::user_files
