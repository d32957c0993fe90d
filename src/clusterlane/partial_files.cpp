// Partial files of downloads: short fixed names, resumed or created anew,
// never through a link.
#include "partial_files.hpp"

#include "bridge/statements.hpp"
#include "new_file.hpp"
#include "support.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace clusterlane {

namespace {

constexpr std::string_view kPrefix = ".zentrel-";
constexpr std::string_view kSuffix = ".part";
constexpr size_t kHexDigits = 16;

// (is a regular file, size) of what lstat/fstat returned.
struct Kind {
    bool regular = false;
    long long size = 0;
};

Kind kind_of(Borrowed attributes) {
    const long mode = bridge::to_long(bridge::getattr(attributes, name(N::st_mode)));
    return {S_ISREG(mode), bridge::to_long_long(bridge::getattr(attributes, name(N::st_size)))};
}

// What stands at `path` now (not following a link); nullopt when nothing does.
std::optional<Kind> existing(Borrowed path) {
    return bridge::try_except(
        [&] { return std::optional<Kind>(kind_of(bridge::call_method(global(N::os), name(N::lstat), path))); },
        PyExc_FileNotFoundError, [](Borrowed) { return std::optional<Kind>(); });
}

// The descriptor as a file object (io.open closes it itself once it has
// taken it over, also when that fails).
Owned file_of(int fd, const char* mode) {
    return bridge::call_method(global(N::os), name(N::fdopen), bridge::integer(fd), bridge::str_from(mode));
}

// The partial file opened for appending, or nothing when what is there now
// is not a regular file (a link put there meanwhile, say).  O_NONBLOCK: a
// FIFO put there is refused (ENXIO) instead of waited on.
std::optional<Partial> open_for_append(Borrowed path) {
    const int fd = ::open(bridge::FsPath(path).c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Owned file = file_of(fd, "ab");
    const Kind kind = kind_of(bridge::call_method(global(N::os), name(N::fstat), bridge::integer(fd)));
    if (!kind.regular) {
        bridge::call_method(file, name(N::close));
        return std::nullopt;
    }
    return Partial{Owned::ref(path.get()), std::move(file), kind.size};
}

}  // namespace

Owned partial_name(Borrowed node_id, Borrowed entry, Borrowed remote_stamp) {
    Owned key = json_dumps(bridge::tuple_of(bridge::str(node_id), bridge::str(entry), bridge::tuple_item(remote_stamp, 0),
                                            bridge::tuple_item(remote_stamp, 1)));
    Owned digest = bridge::call_method(
        bridge::call(bound().sha256, bridge::call_method(key, name(N::encode))), name(N::hexdigest));
    return bridge::concat({kPrefix, std::string_view(bridge::utf8(digest)).substr(0, kHexDigits), kSuffix});
}

bool is_partial_name(std::string_view name) {
    if (name.size() != kPrefix.size() + kHexDigits + kSuffix.size()) return false;
    if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return false;
    return name.substr(kPrefix.size(), kHexDigits).find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

Partial open_partial(Borrowed path, long long size, bool resume) {
    if (std::optional<Kind> there = existing(path)) {
        if (resume && there->regular && there->size > 0 && there->size <= size)
            if (std::optional<Partial> partial = open_for_append(path)) return std::move(*partial);
        remove_quietly(path);
    }
    const int fd = ::open(bridge::FsPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) bridge::raise_os_error(path);
    Owned file = bridge::on_error([&] { return file_of(fd, "wb"); }, [&] { remove_quietly(path); });
    return Partial{Owned::ref(path.get()), std::move(file), 0};
}

Owned file_sha256(Borrowed path) {
    const int fd = ::open(bridge::FsPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) bridge::raise_os_error(path);
    Owned file = file_of(fd, "rb");
    return bridge::with_block(file, name(N::__enter__), name(N::__exit__), [&](Borrowed reader) {
        return bridge::call_method(bridge::call(bound().file_digest, reader, bridge::str_from("sha256")),
                                   name(N::hexdigest));
    });
}

}  // namespace clusterlane
