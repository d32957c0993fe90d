// The user's ssh config (~/.ssh/config, or the file the profile's
// "sshConfig" names), looked up as ssh does it through paramiko's SSHConfig:
// first match wins, keys in lower case.  A line paramiko cannot parse is
// skipped (a broken Host or Match line with the block it opens), so one bad
// line never keeps a pass from its cluster.  Without such a file nothing is
// looked up and SSHConfig is not used.
#pragma once

#include "runtime.hpp"

#include <optional>
#include <string>

namespace clusterlane::ssh_config {

// The profile's "sshConfig": absent, None, True or blank (~/.ssh/config), a
// file name, or False (no ssh config at all).  Anything else raises the
// "configuration" NodeException.
void check_setting(Borrowed value);

class Config {
public:
    Config(Borrowed paramiko, Borrowed self, Borrowed setting);

    // The options ssh would use for `host` (an SSHConfigDict), with %r and
    // %p in IdentityFile, ProxyCommand and ProxyJump standing for `user` and
    // `port` (null: the User and Port the file gives); null when no config
    // file is read or the lookup failed (a warning says why).
    Owned lookup(Borrowed host, Borrowed user = {}, Borrowed port = {});

    // True when "HashKnownHosts yes" applies to `host`: in the user's config,
    // else (unless the profile chose the config file) in /etc/ssh/ssh_config.
    bool hash_known_hosts(Borrowed host);

    // The user's config file read, null when none.
    Borrowed path() const noexcept { return user_.path; }

private:
    struct File {
        Owned path;
        std::optional<std::string> text;  // the lines paramiko can parse
        bool loaded = false;
    };
    void load(File& file);
    Owned lookup_in(File& file, Borrowed host, Borrowed user, Borrowed port);

    Borrowed paramiko_;
    Borrowed self_;
    File user_;
    File system_;
};

}  // namespace clusterlane::ssh_config
