// The node ID names the job directory ("job_" + ID) and the local state and
// lock files (".zentrel_hpc_" + ID + ".json.lock" the longest of them): an
// ID with a '/' would point elsewhere, a line break would make the job
// directory's `pwd -P` line match another node's directory, a NUL cannot be
// in a file name, and a name must fit in 255 bytes.  Checked before anything
// is created, locally or on the cluster.
#include "node_id.hpp"

#include "bridge/statements.hpp"
#include "support.hpp"

#include <string_view>

namespace clusterlane {

namespace {

constexpr size_t kLongestFileName = 255;
constexpr size_t kLongestNodeId =
    kLongestFileName - kStateFilePrefix.size() - kStateFileSuffix.size() - kLockFileSuffix.size();

}  // namespace

void check_node_id(Borrowed self) {
    Owned id = bridge::str(bridge::getattr(self, name(N::node_id)));
    std::string_view text;
    const bool encodable = bridge::attempt([&] { text = bridge::utf8(id); });
    constexpr std::string_view kRefused("/\n\r\0", 4);
    if (encodable && text.size() <= kLongestNodeId && text.find_first_of(kRefused) == std::string_view::npos) return;
    raise_node_exception("configuration",
                         bridge::concat({"Node ID ", bridge::repr(id),
                                         " cannot name a job directory and state file: it must not contain '/', "
                                         "line breaks or NUL characters and must be at most ",
                                         bridge::str(bridge::integer(static_cast<long long>(kLongestNodeId))),
                                         " bytes long"}));
}

}  // namespace clusterlane
