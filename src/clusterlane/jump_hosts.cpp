#include "jump_hosts.hpp"

#include "bridge/statements.hpp"
#include "options.hpp"
#include "pass_worker.hpp"
#include "support.hpp"

#include <cctype>
#include <string>
#include <utility>

namespace clusterlane::jump_hosts {

namespace {

using bridge::concat;

constexpr long long kSshPort = 22;

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

bool is_none_word(std::string_view text) {
    if (text.size() != 4) return false;
    for (size_t i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != "none"[i]) return false;
    return true;
}

// A host or user name: no blanks, control characters, '@', '/' or ','.
bool plain_name(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f || c == '@' || c == '/' || c == ',') return false;
    return true;
}

// A port of 1 to 65535 in ASCII digits.
std::optional<long long> port_number(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return std::nullopt;
    return value;
}

std::optional<Jump> parse_one(std::string_view text) {
    text = trimmed(text);
    if (text.substr(0, 6) == "ssh://") text.remove_prefix(6);
    Jump jump;
    if (const size_t at = text.rfind('@'); at != std::string_view::npos) {
        if (!plain_name(text.substr(0, at))) return std::nullopt;
        jump.user = bridge::str_from(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
    std::string_view host = text;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {  // [address]:port
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || rest.size() == 1)) return std::nullopt;
        if (!rest.empty()) port = rest.substr(1);
    } else if (text.find(':') == text.rfind(':') && text.find(':') != std::string_view::npos) {
        host = text.substr(0, text.find(':'));
        port = text.substr(text.find(':') + 1);
        if (port.empty()) return std::nullopt;
    }
    if (!plain_name(host)) return std::nullopt;
    jump.host = bridge::str_from(host);
    if (!port.empty()) {
        std::optional<long long> number = port_number(port);
        if (!number) return std::nullopt;
        jump.port = bridge::integer(*number);
    }
    return jump;
}

// The value of an ssh config option, null when unset (or None).
Owned setting(Borrowed options, N key) {
    if (!options) return {};
    Owned value = bridge::mapping_get(options, name(key), bridge::none_object(), name(N::get));
    return value.is_none() ? Owned{} : value;
}

// The first IdentityFile that exists, null when none does.
Owned first_identity_file(Borrowed options) {
    Owned files = setting(options, N::identityfile);
    if (!files || !PyList_Check(files.get())) return {};
    Owned found;
    bridge::for_each_element(files, [&](Borrowed file) {
        if (found || !PyUnicode_Check(file.get())) return;
        Owned path = os_path(N::expanduser, file);
        if (bridge::truthy(os_path(N::exists, path))) found = path;
    });
    return found;
}

// A port of the ssh config as an int; a configuration error when it is none.
Owned config_port(Borrowed text, Borrowed file, Borrowed host) {
    std::optional<long long> number;
    bridge::attempt([&] { number = port_number(bridge::utf8(text)); });
    if (!number)
        raise_node_exception("configuration", concat({"Port ", bridge::str(text), " for ", host, " in ", file,
                                                      " is not a port number from 1 to 65535"}));
    return bridge::integer(*number);
}

// ServerAliveInterval as a positive int, null when unset or not a number.
Owned keepalive_of(Borrowed options) {
    Owned text = setting(options, N::serveraliveinterval);
    std::optional<long long> seconds;
    if (text && PyUnicode_Check(text.get()))
        bridge::attempt([&] {
            std::string_view digits = bridge::utf8(text);
            if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
                return;
            seconds = std::stoll(std::string(digits));
        });
    return seconds && *seconds > 0 ? bridge::integer(*seconds) : Owned{};
}

Owned as_int(Borrowed port) { return bridge::int_of(port); }

Owned copy_of(Borrowed kwargs) { return bridge::dict_copy(kwargs); }

}  // namespace

std::optional<std::vector<Jump>> parse(Borrowed text) {
    std::string_view all;
    if (!PyUnicode_Check(text.get()) || !bridge::attempt([&] { all = bridge::utf8(text); })) return std::nullopt;
    all = trimmed(all);
    if (is_none_word(all)) return std::vector<Jump>{};
    std::vector<Jump> jumps;
    for (;;) {
        const size_t comma = all.find(',');
        std::optional<Jump> jump = parse_one(all.substr(0, comma));
        if (!jump) return std::nullopt;
        jumps.push_back(std::move(*jump));
        if (comma == std::string_view::npos) return jumps;
        all.remove_prefix(comma + 1);
    }
}

// None, False and a blank text (a form's empty field) leave the jump hosts
// to the ssh config.
static bool unset(Borrowed value) {
    if (value.is_none() || value.is_false()) return true;
    return PyUnicode_Check(value.get()) && !bridge::truthy(bridge::call_method(value, name(N::strip)));
}

void check_setting(Borrowed value) {
    if (unset(value) || parse(value)) return;
    raise_node_exception("configuration",
                         bridge::str_from("HPC profile field 'proxyJump' must be [user@]host[:port], several "
                                          "separated by commas, or none"));
}

Route::Route(Borrowed paramiko, Borrowed self, const Target& target, Borrowed connect_kwargs)
    : paramiko_(paramiko),
      self_(self),
      target_(target),
      config_(paramiko, self, target.ssh_config ? target.ssh_config : bridge::none_object()),
      host_keys_(paramiko, self, known_hosts::policy_of(target.host_key_policy ? target.host_key_policy
                                                                                : bridge::none_object())),
      address_(Owned::ref(target.host.get())),
      port_(target.port ? as_int(target.port) : bridge::integer(kSshPort)),
      channel_timeout_(io::seconds_of(target.io_timeout)) {
    Owned options = config_.lookup(target.host, target.username, target.port ? port_.borrow() : Borrowed{});
    if (Owned hostname = setting(options, N::hostname); hostname && !bridge::equal(hostname, target.host)) {
        address_ = hostname;
        hpc_log(self, "debug", concat({"Connecting to ", bridge::str(target.host), " at ", bridge::str(hostname),
                                       " (HostName in ", config_.path(), ")"}),
                {{name(N::hostname), target.host}, {name(N::address), hostname}});
    }
    if (Owned port = setting(options, N::port); port && !target.port)
        port_ = config_port(port, config_.path(), target.host);
    profile_key_ = static_cast<bool>(bridge::dict_get(connect_kwargs, name(N::key_filename)));
    if (target.key_auth && !profile_key_) {
        if (Owned key_file = first_identity_file(options)) {
            bridge::dict_set(connect_kwargs, name(N::key_filename), key_file);
            if (target.passphrase && bridge::truthy(target.passphrase))
                bridge::dict_set(connect_kwargs, name(N::passphrase), target.passphrase);
        }
    }
    bridge::dict_set(connect_kwargs, name(N::hostname), address_);
    bridge::dict_set(connect_kwargs, name(N::port), port_);
    keepalive_ = keepalive_of(options);

    Borrowed jump_text = target.proxy_jump && !unset(target.proxy_jump) ? target.proxy_jump : Borrowed{};
    Owned from_config = jump_text ? Owned{} : setting(options, N::proxyjump);
    if (from_config) jump_text = from_config;
    std::optional<std::vector<Jump>> jumps = jump_text ? parse(jump_text) : std::vector<Jump>{};
    if (!jumps)  // the profile's own value was checked before
        raise_node_exception("configuration", concat({"ProxyJump ", bridge::str(jump_text), " for ",
                                                      bridge::str(target.host), " in ", config_.path(),
                                                      " is not [user@]host[:port], several separated by commas"}));
    if (jumps->empty()) {
        Owned command = setting(options, N::proxycommand);
        if (command && PyUnicode_Check(command.get()) && bridge::truthy(command)) proxy_command_ = command;
    }
    for (Jump& jump : *jumps) {
        Owned hop_options = config_.lookup(jump.host, jump.user, jump.port);
        Owned user = jump.user ? jump.user : setting(hop_options, N::user);
        if (!user) {  // %r of the hop's IdentityFile is the profile's user then
            user = Owned::ref(target.username.get());
            hop_options = config_.lookup(jump.host, user, jump.port);
        }
        Owned address = setting(hop_options, N::hostname);
        Owned port = jump.port;
        if (!port) {
            Owned configured = setting(hop_options, N::port);
            port = configured ? config_port(configured, config_.path(), jump.host) : bridge::integer(kSshPort);
        }
        Owned key_file = target.key_auth ? first_identity_file(hop_options) : Owned{};
        if (!address) address = jump.host;
        hops_.push_back(Hop{std::move(jump), user, address, port, key_file, keepalive_of(hop_options)});
    }
    at_ = 0;
}

Owned Route::open_channel(Borrowed through, Borrowed address, Borrowed port) {
    Owned transport = bridge::call_method(through, name(N::get_transport));
    return bridge::call(bridge::getattr(transport, name(N::open_channel)),
                        {bridge::str_from("direct-tcpip"), bridge::tuple_of(address, port),
                         bridge::tuple_of(bridge::str_from("127.0.0.1"), bridge::integer(0))},
                        {{name(N::timeout), channel_timeout_}});
}

void Route::connect_one(Borrowed client, Borrowed host, Borrowed kwargs, Borrowed keepalive) {
    bridge::call_with_dict(bridge::getattr(client, name(N::connect)), {}, kwargs);
    host_keys_.connected(client, host, [&] { return config_.hash_known_hosts(host); });
    if (keepalive)
        bridge::call_method(bridge::call_method(client, name(N::get_transport)), name(N::set_keepalive), keepalive);
}

void Route::connect(Borrowed ssh, Borrowed connect_kwargs, void (*tune)(Borrowed client)) {
    const Owned count = bridge::integer(static_cast<long long>(hops_.size()));
    for (at_ = 0; at_ < hops_.size(); ++at_) {
        const Hop& hop = hops_[at_];
        Owned jump_host = concat({bridge::str(hop.user), "@", bridge::str(hop.jump.host), ":", bridge::str(hop.port)});
        Owned number = bridge::integer(static_cast<long long>(at_ + 1));
        hpc_log(self_, "info", concat({"Connecting through jump host ", jump_host}),
                {{name(N::jump_host), jump_host}, {name(N::hop), number}, {name(N::hops), count}});
        Owned client = bridge::call(bridge::getattr(paramiko_, name(N::SSHClient)));
        clients_.push_back(client);
        host_keys_.prepare(client, hop.jump.host);

        Owned kwargs = copy_of(connect_kwargs);
        bridge::dict_set(kwargs, name(N::hostname), hop.address);
        bridge::dict_set(kwargs, name(N::port), hop.port);
        bridge::dict_set(kwargs, name(N::username), hop.user);
        if (!profile_key_) {  // the hop's own IdentityFile, not the cluster's
            for (N keyword : {N::key_filename, N::passphrase})
                bridge::call_method(kwargs, name(N::pop), name(keyword), bridge::none());
            if (hop.key_file) {
                bridge::dict_set(kwargs, name(N::key_filename), hop.key_file);
                if (target_.passphrase && bridge::truthy(target_.passphrase))
                    bridge::dict_set(kwargs, name(N::passphrase), target_.passphrase);
            }
        }
        if (at_ > 0) bridge::dict_set(kwargs, name(N::sock), open_channel(clients_[at_ - 1], hop.address, hop.port));
        connect_one(client, hop.jump.host, kwargs, hop.keepalive);
        tune(client);
    }

    host_keys_.prepare(ssh, target_.host);
    Owned kwargs = Owned::ref(connect_kwargs.get());
    if (!clients_.empty() || proxy_command_) {
        kwargs = copy_of(connect_kwargs);
        if (!clients_.empty()) {
            bridge::dict_set(kwargs, name(N::sock), open_channel(clients_.back(), address_, port_));
        } else {
            proxy_ = bridge::call(bridge::getattr(paramiko_, name(N::ProxyCommand)), proxy_command_);
            bridge::dict_set(kwargs, name(N::sock), proxy_);
        }
    }
    connect_one(ssh, target_.host, kwargs, keepalive_);
}

Peer Route::failed_at(Borrowed host, Borrowed username, Borrowed ssh) const {
    if (at_ >= hops_.size()) return Peer{Owned::ref(host.get()), Owned::ref(username.get()), Owned::ref(ssh.get()), false};
    const Hop& hop = hops_[at_];
    Owned client = at_ < clients_.size() ? clients_[at_] : bridge::none();
    return Peer{hop.jump.host, hop.user, client, true};
}

void Route::close(Borrowed ssh) {
    Owned first;
    auto closing = [&](auto&& step) {
        bridge::try_except(
            [&] {
                step();
                return true;
            },
            PyExc_BaseException, [&](Borrowed error) {
                if (!first) first = Owned::ref(error.get());
                return false;
            });
    };
    // A ProxyCommand the cluster's transport never took over (its connect
    // failed before) ends here.
    if (proxy_)
        closing([&] {
            if (bridge::call_method(ssh, name(N::get_transport)).is_none()) bridge::call_method(proxy_, name(N::close));
        });
    for (const Owned& client : clients_) closing([&] { bridge::call_method(client, name(N::close)); });
    clients_.clear();
    proxy_ = Owned{};
    at_ = 0;
    if (first) bridge::restore_error(std::move(first));
}

pool::Connection Route::hand_over(Borrowed ssh) {
    return pool::Connection{Owned::ref(ssh.get()), std::exchange(clients_, {}), std::exchange(proxy_, {})};
}

void Route::take_over(pool::Connection& kept) {
    clients_ = std::exchange(kept.hops, {});
    proxy_ = std::exchange(kept.proxy, {});
    at_ = hops_.size();
}

}  // namespace clusterlane::jump_hosts
