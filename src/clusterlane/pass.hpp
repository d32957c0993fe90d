// What one remote pass carries from step to step: the node and its inputs,
// the resolved profile, the clients, the job directory and the local
// directory.  The steps (connect, the job query, the submission, the
// collection) take it and read nothing of the options again.
#pragma once

#include "jump_hosts.hpp"
#include "pass_worker.hpp"
#include "profile.hpp"
#include "redaction.hpp"

namespace clusterlane {

struct PassContext {
    Borrowed self;
    Borrowed flow_vars;
    Borrowed hpc_options;
    const Profile& profile;
    Owned ssh;              // the pass's SSHClient (a kept one, or a new one after a kept one failed)
    io::PassWorker& worker;
    jump_hosts::Route& route;  // ssh config, jump hosts and host keys of the connection
    Secrets& secrets;       // masked in the texts of a failure
    Owned sftp;             // opened once the connection is up
    Owned job_dir;          // "<expanded work dir>/job_<node_id>"
    Owned local_dir;        // where the outputs go, once the collection asks for it
    bool reused = false;    // the connection was kept by an earlier pass and has not answered yet
};

}  // namespace clusterlane
