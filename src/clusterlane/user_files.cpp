#include "user_files.hpp"

#include "bridge/files.hpp"
#include "bridge/statements.hpp"
#include "support.hpp"

namespace clusterlane::user_files {

std::optional<std::string> read(Borrowed path, size_t limit) {
    std::optional<bridge::FileText> text = bridge::read_regular_file(path, limit);
    if (!text) return std::nullopt;
    return std::move(text->data);
}

void log_skipped(Borrowed self, Borrowed path, const Skipped& skipped) {
    if (skipped.count == 0) return;
    Owned count = bridge::integer(static_cast<long long>(skipped.count));
    Owned first = bridge::integer(static_cast<long long>(skipped.first));
    hpc_log(self, "debug",
            bridge::concat({"Skipped ", bridge::str(count), skipped.count == 1 ? " line" : " lines", " of ", path,
                            " that could not be read (first: line ", bridge::str(first), ")"}));
}

Owned decoded(std::string_view line) {
    return bridge::try_except([&] { return bridge::str_from(line); }, PyExc_UnicodeDecodeError,
                              [](Borrowed) { return Owned{}; });
}

Owned home_path(const char* text) { return os_path(N::expanduser, bridge::str_from(text)); }

}  // namespace clusterlane::user_files
