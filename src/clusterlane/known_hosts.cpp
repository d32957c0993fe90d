#include "known_hosts.hpp"

#include "bridge/files.hpp"
#include "bridge/statements.hpp"
#include "support.hpp"
#include "user_files.hpp"

#include <cstring>
#include <string_view>

namespace clusterlane::known_hosts {

namespace {

using bridge::concat;

// More than any real known_hosts file; the rest of a larger one is not read.
constexpr size_t kLongestFile = 32 * 1024 * 1024;
constexpr const char* kUserFile = "~/.ssh/known_hosts";
constexpr const char* kSystemFile = "/etc/ssh/ssh_known_hosts";

// The whitespace-separated fields of a line.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) return fields;
        line.remove_prefix(start);
        const size_t end = line.find_first_of(" \t");
        fields.push_back(line.substr(0, end));
        if (end == std::string_view::npos) return fields;
        line.remove_prefix(end);
    }
}

// What one line of a known_hosts file holds.
struct Reader {
    Borrowed entry_class;  // paramiko.hostkeys.HostKeyEntry
    Borrowed host_keys_class;  // paramiko.HostKeys
    std::function<void(std::string_view)> revoked;
    std::function<void(Owned)> entry;  // null: the plain entries are not wanted

    // A hashed name whose salt paramiko cannot use would make every later
    // lookup raise (AssertionError), so its line is skipped.
    bool hashes_sound(Borrowed parsed) const {
        Owned hash_host = bridge::getattr(host_keys_class, name(N::hash_host));
        Owned probe = bridge::str_from("probe");
        return bridge::attempt([&] {
            bridge::for_each(bridge::getattr(parsed, name(N::hostnames)), [&](Borrowed host) {
                if (bridge::truthy(bridge::call_method(host, name(N::startswith), bridge::str_from("|1|"))))
                    bridge::call(hash_host, probe, host);
            });
        });
    }

    void read(std::string_view text, user_files::Skipped& skipped) const {
        user_files::for_each_line(text, [&](std::string_view line, size_t number) {
            if (line.front() == '@') {
                std::vector<std::string_view> fields = fields_of(line);
                // "@revoked <hosts> <key type> <base64 key>"; @cert-authority
                // and unknown markers are skipped
                if (fields[0] == "@revoked" && fields.size() >= 4) revoked(fields[3]);
                else skipped.add(number);
                return;
            }
            if (!entry) return;
            Owned parsed;
            if (Owned decoded = user_files::decoded(line))
                parsed = bridge::try_except([&] { return bridge::call_method(entry_class, name(N::from_line), decoded); },
                                            PyExc_Exception, [](Borrowed) { return Owned{}; });
            if (!parsed || parsed.is_none() || !hashes_sound(parsed)) skipped.add(number);
            else entry(std::move(parsed));
        });
    }
};

Owned entry_class() { return bridge::getattr(bridge::import("paramiko.hostkeys"), name(N::HostKeyEntry)); }

// "strict", "accept-new" or "accept", as the profile writes the policy.
const char* policy_text(Policy policy) {
    switch (policy) {
        case Policy::strict: return "strict";
        case Policy::accept: return "accept";
        case Policy::accept_new: break;
    }
    return "accept-new";
}

// ---- the policy for an unknown host -------------------------------------------

constexpr bridge::Param kPolicyParams[] = {bridge::any_param("client"), bridge::any_param("hostname"),
                                           bridge::any_param("key")};

// client.connect() calls it, before authentication, for a host neither file
// knows.  Records the host pattern and key for connected(); under "strict"
// raises the refusal instead.
Owned missing_host_key_body(const bridge::Args<kPolicyParams>& args) {
    Borrowed watch = args.closure();
    bridge::dict_set(watch, name(N::pattern), args.get<"hostname">());
    bridge::dict_set(watch, name(N::key), args.get<"key">());
    if (!bridge::equal(bridge::dict_get(watch, name(N::policy)), bridge::str_from("strict"))) return bridge::none();
    Owned refusal = bridge::call(bridge::dict_get(watch, name(N::error)),
                                 concat({"Host key of ", bridge::str(bridge::dict_get(watch, name(N::hostname))),
                                         " is not known; add it to ~/.ssh/known_hosts (for example with ssh-keyscan) "
                                         "or set hostKeyPolicy to accept-new"}));
    bridge::list_append(bridge::dict_get(watch, name(N::refusals)), refusal);
    bridge::restore_error(std::move(refusal));
}

const bridge::FunctionSpec kMissingHostKey = bridge::function<kPolicyParams, missing_host_key_body>({
    .name = "missing_host_key",
    .doc = "Records (or, under the strict policy, refuses) the key of a host known_hosts does not list.",
});

}  // namespace

Policy policy_of(Borrowed value) {
    if (value.is_none()) return Policy::accept_new;
    if (PyUnicode_Check(value.get())) {
        for (Policy policy : {Policy::accept_new, Policy::strict, Policy::accept})
            if (bridge::equal(value, bridge::str_from(policy_text(policy)))) return policy;
    }
    raise_node_exception("configuration",
                         bridge::str_from("HPC profile field 'hostKeyPolicy' must be one of accept-new, strict, accept"));
}

HostKeys::HostKeys(Borrowed paramiko, Borrowed self, Policy policy)
    : paramiko_(paramiko), self_(self), policy_(policy), refusals_(bridge::new_list()) {}

void HostKeys::scan(File& file, bool entries_wanted) {
    std::optional<std::string> text = user_files::read(file.path, kLongestFile);
    if (!text) return;
    Owned entries_of = entries_wanted ? entry_class() : Owned{};
    user_files::Skipped skipped;
    Owned host_keys_class = bridge::getattr(paramiko_, name(N::HostKeys));
    Reader reader{entries_of, host_keys_class,
                  [&](std::string_view blob) { revoked_.emplace(std::string(blob), file.path); }, {}};
    if (entries_wanted) reader.entry = [&](Owned entry) { file.entries.push_back(std::move(entry)); };
    reader.read(*text, skipped);
    file.parsed = file.parsed || entries_wanted;
    user_files::log_skipped(self_, file.path, skipped);
}

void HostKeys::load_entries(Borrowed client, const File& file) {
    if (file.entries.empty()) return;
    Owned keys = bridge::call_method(client, name(N::get_host_keys));
    for (const Owned& entry : file.entries) {
        Owned key = bridge::getattr(entry, name(N::key));
        Owned key_type = bridge::call_method(key, name(N::get_name));
        bridge::for_each(bridge::getattr(entry, name(N::hostnames)),
                         [&](Borrowed host) { bridge::call_method(keys, name(N::add), host, key_type, key); });
    }
}

void HostKeys::prepare(Borrowed client, Borrowed host) {
    Owned watch = bridge::dict_of({{"policy", bridge::str_from(policy_text(policy_))},
                                   {"hostname", host},
                                   {"error", bridge::getattr(paramiko_, name(N::SSHException))},
                                   {"refusals", refusals_}});
    Owned policy = bridge::call(bound().simple_namespace, {},
                                {{name(N::missing_host_key),
                                  bridge::make_function(runtime().function_type, kMissingHostKey, runtime().module,
                                                        watch)}});
    bridge::call_method(client, name(N::set_missing_host_key_policy), policy);
    watches_.emplace_back(Owned::ref(client.get()), watch);

    const bool loaded = bridge::attempt([&] { bridge::call_method(client, name(N::load_system_host_keys)); });
    if (!user_.path) {
        user_.path = user_files::home_path(kUserFile);
        system_.path = bridge::str_from(kSystemFile);
        scan(user_, !loaded);
        scan(system_, true);
    } else if (!loaded && !user_.parsed) {
        scan(user_, true);
    }
    if (!loaded) load_entries(client, user_);
    load_entries(client, system_);
}

void HostKeys::refuse(Owned message) {
    Owned refusal = bridge::call(bridge::getattr(paramiko_, name(N::SSHException)), message);
    bridge::list_append(refusals_, refusal);
    bridge::restore_error(std::move(refusal));
}

void HostKeys::connected(Borrowed client, Borrowed host, const std::function<bool()>& hash_wanted) {
    Borrowed watch;
    for (const auto& [watched, seen] : watches_)
        if (watched.get() == client.get()) watch = seen;
    if (!revoked_.empty()) {
        Owned key = bridge::call_method(bridge::call_method(client, name(N::get_transport)),
                                        name(N::get_remote_server_key));
        auto revoked = revoked_.find(std::string(bridge::utf8(bridge::call_method(key, name(N::get_base64)))));
        if (revoked != revoked_.end())
            refuse(concat({"Host key of ", bridge::str(host), " (", bridge::call_method(key, name(N::get_name)), " ",
                           bridge::getattr(key, name(N::fingerprint)), ") is revoked in ", revoked->second,
                           "; not connecting"}));
    }
    Borrowed pattern = watch ? bridge::dict_get(watch, name(N::pattern)) : Borrowed{};
    if (!pattern || policy_ != Policy::accept_new) return;
    pin(host, pattern, bridge::dict_get(watch, name(N::key)), hash_wanted());
}

void HostKeys::pin(Borrowed host, Borrowed pattern, Borrowed key, bool hash) {
    Owned file = user_.path;
    auto cannot = [&](const char* reason) {
        hpc_log(self_, "warning", concat({"Cannot add the host key of ", bridge::str(host), " to ", file, ": ", reason}));
    };
    if (int error = bridge::make_directory(os_path(N::dirname, file), 0700)) return cannot(std::strerror(error));
    bridge::AppendLock lock(file, 0600);
    if (lock.error()) return cannot(std::strerror(lock.error()));
    std::optional<bridge::FileText> now = lock.read(kLongestFile);
    if (!now) return cannot("it cannot be read");

    // Another pass may have pinned this host since connect() looked.
    Owned known = bridge::call(bridge::getattr(paramiko_, name(N::HostKeys)));
    user_files::Skipped ignored;
    Reader reader{entry_class(), known, [](std::string_view) {}, [&](Owned entry) {
                      Owned entry_key = bridge::getattr(entry, name(N::key));
                      Owned key_type = bridge::call_method(entry_key, name(N::get_name));
                      bridge::for_each(bridge::getattr(entry, name(N::hostnames)), [&](Borrowed h) {
                          bridge::call_method(known, name(N::add), h, key_type, entry_key);
                      });
                  }};
    reader.read(now->data, ignored);
    Owned key_type = bridge::call_method(key, name(N::get_name));
    if (Owned listed = bridge::call_method(known, name(N::lookup), pattern); !listed.is_none()) {
        Owned same = bridge::call_method(listed, name(N::get), key_type);
        if (!same.is_none() && bridge::equal(same, key)) return;
        Owned listed_keys = bridge::list_of(bridge::call_method(listed, name(N::values)));
        Borrowed other = same.is_none() ? bridge::list_item(listed_keys, 0) : same.borrow();
        bridge::restore_error(bridge::call(bridge::getattr(paramiko_, name(N::BadHostKeyException)), pattern, key, other));
    }

    Owned host_field = hash ? bridge::call_method(bridge::getattr(paramiko_, name(N::HostKeys)), name(N::hash_host),
                                                  pattern)
                            : Owned::ref(pattern.get());
    Owned base64 = bridge::call_method(key, name(N::get_base64));
    const bool glued = !now->data.empty() && now->data.back() != '\n';  // a last line without its line break
    Owned line = concat({glued ? "\n" : "", host_field, " ", key_type, " ", base64, "\n"});
    if (int error = lock.append(bridge::utf8(line))) return cannot(std::strerror(error));

    Owned fingerprint = bridge::getattr(key, name(N::fingerprint));
    hpc_log(self_, "warning",
            concat({"Permanently added '", pattern, "' (", key_type, " ", fingerprint,
                    ") to the list of known hosts in ", file}),
            {{name(N::hostname), host}, {name(N::key_type), key_type}, {name(N::fingerprint), fingerprint},
             {name(N::known_hosts), file}});
}

bool HostKeys::refused(Borrowed failure) const {
    for (Py_ssize_t i = 0, count = bridge::list_size(refusals_); i < count; ++i)
        if (bridge::list_item(refusals_, i) == failure) return true;
    return false;
}

}  // namespace clusterlane::known_hosts
