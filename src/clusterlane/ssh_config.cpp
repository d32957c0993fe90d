#include "ssh_config.hpp"

#include "bridge/statements.hpp"
#include "support.hpp"
#include "user_files.hpp"

#include <cctype>
#include <string_view>

namespace clusterlane::ssh_config {

namespace {

using bridge::concat;

constexpr size_t kLongestFile = 4 * 1024 * 1024;
constexpr const char* kUserFile = "~/.ssh/config";
constexpr const char* kSystemFile = "/etc/ssh/ssh_config";

// The keyword of a config line, in lower case ("host" of "Host=a").
std::string keyword_of(std::string_view line) {
    std::string keyword;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '=') break;
        keyword.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return keyword;
}

// A user name that can stand in a "User" line as one plain word.
bool plain_word(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f || c == '"' || c == '\'' || c == '#' || c == '=' || c == '\\') return false;
    return true;
}

}  // namespace

void check_setting(Borrowed value) {
    if (value.is_none() || PyBool_Check(value.get())) return;
    if (PyUnicode_Check(value.get()) && !bridge::str_has_any_of(value, {U'\0'})) return;
    raise_node_exception("configuration",
                         bridge::str_from("HPC profile field 'sshConfig' must be the name of an ssh config file, "
                                          "or false to read none"));
}

Config::Config(Borrowed paramiko, Borrowed self, Borrowed setting) : paramiko_(paramiko), self_(self) {
    if (setting.is_false()) return;
    // None, True and a blank text (a form's empty field): the default files
    if (setting.is_none() || setting.is_true() ||
        !bridge::truthy(bridge::call_method(setting, name(N::strip)))) {
        user_.path = user_files::home_path(kUserFile);
        system_.path = bridge::str_from(kSystemFile);
    } else {
        user_.path = os_path(N::expanduser, setting);
    }
}

void Config::load(File& file) {
    if (file.loaded || !file.path) return;
    file.loaded = true;
    std::optional<std::string> text = user_files::read(file.path, kLongestFile);
    if (!text) return;
    Owned config_class = bridge::getattr(paramiko_, name(N::SSHConfig));
    auto parses = [&](std::string_view line) {
        Owned decoded = user_files::decoded(line);
        return decoded &&
               bridge::attempt([&] { bridge::call_method(config_class, name(N::from_text), decoded); });
    };
    std::string kept;
    user_files::Skipped skipped;
    bool in_broken_block = false;  // the lines of a Host or Match block whose own line is broken
    user_files::for_each_line(*text, [&](std::string_view line, size_t number) {
        const std::string keyword = keyword_of(line);
        const bool opens_block = keyword == "host" || keyword == "match";
        if (opens_block) in_broken_block = !parses(line);
        if (in_broken_block || (!opens_block && !parses(line))) {
            skipped.add(number);
            return;
        }
        kept.append(line).push_back('\n');
    });
    user_files::log_skipped(self_, file.path, skipped);
    file.text = std::move(kept);
}

Owned Config::lookup_in(File& file, Borrowed host, Borrowed user, Borrowed port) {
    load(file);
    if (!file.text) return {};
    return bridge::try_except(
        [&] {
            // The first value obtained wins: User and Port lines before every
            // block make %r and %p the user and port this connection uses.
            std::string_view user_text = user ? bridge::utf8(user) : std::string_view{};
            Owned port_text = port ? bridge::str(port) : bridge::str_from("");
            Owned text = concat({plain_word(user_text) ? "User " : "", plain_word(user_text) ? user_text : "",
                                 plain_word(user_text) ? "\n" : "", port ? "Port " : "", port_text,
                                 port ? "\n" : "", std::string_view(*file.text)});
            Owned config = bridge::call_method(bridge::getattr(paramiko_, name(N::SSHConfig)), name(N::from_text), text);
            return bridge::call_method(config, name(N::lookup), host);
        },
        PyExc_Exception, [&](Borrowed error) -> Owned {
            hpc_log(self_, "warning",
                    concat({"Cannot use ", file.path, " for ", bridge::str(host), ": ", error_text(error)}));
            return {};
        });
}

Owned Config::lookup(Borrowed host, Borrowed user, Borrowed port) { return lookup_in(user_, host, user, port); }

bool Config::hash_known_hosts(Borrowed host) {
    for (File* file : {&user_, &system_}) {
        Owned options = lookup_in(*file, host, {}, {});
        Owned value = options ? bridge::mapping_get(options, name(N::hashknownhosts), bridge::none_object(), name(N::get)) : Owned{};
        if (value && PyUnicode_Check(value.get()))
            return bridge::equal(bridge::call_method(value, name(N::lower)), bridge::str_from("yes"));
    }
    return false;
}

}  // namespace clusterlane::ssh_config
