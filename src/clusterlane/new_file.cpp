// New files beside a path: exclusive, random names, never through a link.
#include "new_file.hpp"

#include "bridge/statements.hpp"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace clusterlane {

namespace {

// Twelve random hex digits: a name nobody can plant a file or link at in advance.
std::string random_hex() {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device device;
    std::string text;
    for (int i = 0; i < 12; ++i) text += kDigits[device() % 16];
    return text;
}

}  // namespace

int open_new_file(Borrowed prefix, const char* suffix, Owned& path) {
    Owned base = bridge::fs_decode(prefix);
    for (int attempt = 0;; ++attempt) {
        const std::string name_part = random_hex();
        path = bridge::concat({base, ".", std::string_view(name_part), ".", suffix});
        const bridge::FsPath fs_path(path);
        const int fd = ::open(fs_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST || attempt == 8) return fd;
    }
}

NewFile create_new_file(Borrowed prefix, const char* suffix, const char* mode) {
    Owned path;
    const int fd = open_new_file(prefix, suffix, path);
    if (fd < 0) bridge::raise_os_error(path);
    Owned file = bridge::on_error(
        [&] { return bridge::call_method(global(N::os), name(N::fdopen), bridge::integer(fd), bridge::str_from(mode)); },
        // io.open closes the descriptor itself once it has taken it over
        [&] { remove_quietly(path); });
    return {std::move(path), std::move(file)};
}

void remove_quietly(Borrowed path) {
    bridge::try_except([&] { bridge::call_method(global(N::os), name(N::remove), path); }, PyExc_OSError,
                       [](Borrowed) {});
}

}  // namespace clusterlane
