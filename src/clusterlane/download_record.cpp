// The node's download record: what came down completely, and the partial
// files in use.
#include "download_record.hpp"

#include "bridge/files.hpp"
#include "bridge/statements.hpp"
#include "new_file.hpp"
#include "partial_files.hpp"
#include "state.hpp"
#include "support.hpp"

#include <sys/stat.h>

namespace clusterlane {

namespace {

using bridge::concat;

constexpr size_t kRecordLimit = 16 * 1024 * 1024;
constexpr long long kVersion = 1;
constexpr const char* kRecordSuffix = ".downloads.json";

Owned record_path(Borrowed self) {
    Owned state_path = call_self(self, N::_get_state_file_path);
    Owned node_id_text = bridge::str(bridge::getattr(self, name(N::node_id)));
    return os_path(N::join, os_path(N::dirname, state_path), concat({kStateFilePrefix, node_id_text, kRecordSuffix}));
}

Owned key(const char* text) { return bridge::str_from(text); }

// The value of `item` in dict `d` when it is an object of `check`'s kind, else null.
Borrowed member(Borrowed d, const char* item, bool (*check)(Borrowed)) {
    Owned k = key(item);
    Borrowed value = bridge::dict_get(d, k);
    return value && check(value) ? value : Borrowed{};
}

bool is_dict(Borrowed o) { return PyDict_Check(o.get()); }
bool is_str(Borrowed o) { return PyUnicode_Check(o.get()); }
bool is_int(Borrowed o) { return PyLong_Check(o.get()); }

// The record's document as it was written, or null when it cannot be
// trusted as a document of ours.
Owned read_document(Borrowed path) {
    const bool regular = bridge::try_except(
        [&] {
            Owned attributes = bridge::call_method(global(N::os), name(N::lstat), path);
            return S_ISREG(bridge::to_long(bridge::getattr(attributes, name(N::st_mode)))) != 0;
        },
        PyExc_OSError, [](Borrowed) { return false; });
    if (!regular) return {};
    std::optional<bridge::FileText> text = bridge::read_regular_file(path, kRecordLimit);
    if (!text || text->truncated) return {};
    Owned document = bridge::try_except(
        [&] { return bridge::call_method(global(N::json), name(N::loads), bridge::bytes_from(text->data)); },
        PyExc_Exception, [](Borrowed) { return Owned(); });
    if (!document || !PyDict_Check(document.get())) return {};
    Borrowed version = member(document, "version", is_int);
    if (!version || !bridge::equal(version, bridge::integer(kVersion))) return {};
    if (!member(document, "files", is_dict) || !member(document, "partial_files", is_dict)) return {};
    return document;
}

// (size, mtime_ns, inode) of the local file, not following a link; null when
// it is not there.
Owned local_stamp(Borrowed local_path) {
    return bridge::try_except(
        [&] {
            Owned attributes = bridge::call_method(global(N::os), name(N::lstat), local_path);
            return bridge::tuple_of(bridge::getattr(attributes, name(N::st_size)),
                                    bridge::getattr(attributes, name(N::st_mtime_ns)),
                                    bridge::getattr(attributes, name(N::st_ino)));
        },
        PyExc_OSError, [](Borrowed) { return Owned(); });
}

// Removes the partial file at `path` when its name is one of ours (the
// record is not trusted to name anything else).
void remove_partial(Borrowed path) {
    if (!PyUnicode_Check(path.get())) return;
    Owned base_name = os_path(N::basename, path);
    std::optional<std::string_view> base = bridge::try_utf8(base_name);
    if (base && is_partial_name(*base)) remove_quietly(path);
}

}  // namespace

// A node whose state file path cannot be had (an override that raises)
// keeps its record for this pass only.
DownloadRecord::DownloadRecord(Borrowed self, Borrowed remote_job_dir) : self_(Owned::ref(self.get())) {
    path_ = bridge::try_except([&] { return record_path(self); }, PyExc_Exception, [](Borrowed) { return Owned(); });
    Owned previous = path_ ? read_document(path_) : Owned();
    Borrowed job = previous ? member(previous, "remote_job_dir", is_str) : Borrowed{};
    partials_ = previous ? bridge::call_method(Owned::ref(member(previous, "partial_files", is_dict).get()),
                                               bridge::intern("copy"))
                         : bridge::new_dict();
    files_ = job && bridge::equal(job, remote_job_dir)
                 ? bridge::call_method(Owned::ref(member(previous, "files", is_dict).get()), bridge::intern("copy"))
                 : bridge::new_dict();
    document_ = bridge::dict_of({{"version", bridge::integer(kVersion)},
                                 {"remote_job_dir", remote_job_dir},
                                 {"files", files_},
                                 {"partial_files", partials_}});
}

bool DownloadRecord::up_to_date(Borrowed entry, Borrowed stamp, Borrowed local_path) const {
    Borrowed recorded = bridge::dict_get(files_, bridge::str(entry));
    if (!recorded || !PyDict_Check(recorded.get())) return false;
    Owned local = local_stamp(local_path);
    if (!local) return false;
    const std::pair<const char*, Borrowed> expected[] = {
        {"remote_size", bridge::tuple_item(stamp, 0)},  {"remote_mtime", bridge::tuple_item(stamp, 1)},
        {"local_size", bridge::tuple_item(local, 0)},   {"local_mtime_ns", bridge::tuple_item(local, 1)},
        {"local_inode", bridge::tuple_item(local, 2)},
    };
    for (const auto& [item, value] : expected) {
        Borrowed was = member(recorded, item, is_int);
        if (!was || !bridge::equal(was, value)) return false;
    }
    return true;
}

void DownloadRecord::use_partial(Borrowed entry, Borrowed path) {
    Owned k = bridge::str(entry);
    Borrowed listed = bridge::dict_get(partials_, k);
    if (listed && bridge::equal(listed, path)) return;
    if (listed) remove_partial(listed);
    bridge::dict_set(partials_, k, path);
    save();
}

void DownloadRecord::completed(Borrowed entry, Borrowed stamp, Borrowed local_path) {
    Owned k = bridge::str(entry);
    Owned local = local_stamp(local_path);
    if (local)
        bridge::dict_set(files_, k,
                         bridge::dict_of({{"remote_size", bridge::tuple_item(stamp, 0)},
                                          {"remote_mtime", bridge::tuple_item(stamp, 1)},
                                          {"local_size", bridge::tuple_item(local, 0)},
                                          {"local_mtime_ns", bridge::tuple_item(local, 1)},
                                          {"local_inode", bridge::tuple_item(local, 2)}}));
    if (bridge::dict_get(partials_, k)) bridge::call_method(partials_, name(N::pop), k);
    save();
}

void DownloadRecord::partial_removed(Borrowed entry) {
    Owned k = bridge::str(entry);
    if (!bridge::dict_get(partials_, k)) return;
    bridge::call_method(partials_, name(N::pop), k);
    save();
}

// Written as the state file is, without waiting for the disk: a record lost
// to a crash only costs a download.
void DownloadRecord::save() {
    if (!path_) return;
    bridge::try_except([&] { write_json_file(path_, document_, false); }, PyExc_Exception, [&](Borrowed error) {
        if (std::exchange(warned_, true)) return;
        Owned text = error_text(error);
        hpc_log(self_, "warning", concat({"Could not save the download record: ", text}), {{name(N::error), text}});
    });
}

void clear_download_record(Borrowed self) {
    bridge::try_except(
        [&] {
            Owned path = record_path(self);
            if (Owned previous = read_document(path)) {
                Owned partials = bridge::dict_items(member(previous, "partial_files", is_dict));
                bridge::for_each_element(partials, [&](Borrowed pair) { remove_partial(bridge::tuple_item(pair, 1)); });
            }
            remove_quietly(path);
        },
        PyExc_Exception, [&](Borrowed error) {
            Owned text = error_text(error);
            hpc_log(self, "warning", concat({"Could not clear the download record: ", text}), {{name(N::error), text}});
        });
}

}  // namespace clusterlane
