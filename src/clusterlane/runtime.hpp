// What every part of the clusterlane module shares: the interned names it
// calls and looks up, the native function type, and the module object whose
// namespace holds the names bound at import (json, os, log_message, ...).
#pragma once

#include "bridge/runtime.hpp"

namespace clusterlane {

using bridge::Borrowed;
using bridge::Owned;

// Every name the module interns.  Add a name here to use it as N::name.
#define CLUSTERLANE_NAMES(X)                                                                                        \
    X(json) X(os) X(Node) X(NodeException) X(get) X(get_value) X(keys) X(dumps) X(dump)     \
    X(load) X(path) X(join) X(dirname) X(basename) X(exists) X(getcwd) X(expanduser) X(replace) X(remove)           \
    X(node_id) X(node_key) X(working_path) X(resolve_path) X(_log_callback) X(_slurm_script) X(_hpc_log)            \
    X(run_local) X(_run_remote) X(get_input_files) X(get_output_files) X(get_output_files_by_category)              \
    X(get_template_variables) X(build_hpc_result_data) X(_get_all_template_variables_ssh) X(_process_template)      \
    X(_get_local_working_dir) X(_get_state_file_path) X(_load_previous_result) X(_save_result)                      \
    X(_get_slurm_job_status) X(_expand_remote_path) X(_ensure_remote_dir) X(_retrieve_output_files_ssh)             \
    X(exec_command) X(channel) X(recv_exit_status) X(read) X(decode) X(strip) X(lower) X(put) X(file)               \
    X(write) X(close) X(open_sftp) X(connect) X(stat) X(st_size) X(remote_work_dir) X(hostname) X(port)             \
    X(username) X(key_filename) X(passphrase) X(remote_dir) X(job_id) X(status) X(result_keys) X(downloaded)        \
    X(skipped) X(file_name) X(file_size) X(error) X(num_files) X(num_skipped) X(skipped_files) X(indent) X(sub)     \
    X(escape) X(findall) X(SSHClient) X(AutoAddPolicy) X(set_missing_host_key_policy) X(load_system_host_keys)      \
    X(AuthenticationException) X(SSHException) X(makedirs) X(exist_ok) X(getsize) X(download_file) X(open)         \
    X(flush) X(fileno) X(fsync) X(JSONDecodeError) X(split) X(startswith) X(__enter__) X(__exit__)                 \
    X(get_transport) X(callback) X(fdopen) X(acquire) X(release)                                                  \
    X(bytes_done) X(bytes_total) X(timeout) X(banner_timeout) X(auth_timeout) X(recv) X(recv_stderr)               \
    X(recv_ready) X(recv_stderr_ready) X(eof_received) X(closed) X(poll) X(sock) X(is_active)                \
    X(initial_kex_done) X(saved_exception)                                                                         \
    X(HostKeyEntry) X(from_line) X(pattern) X(key) X(policy) X(refusals) X(get_host_keys) X(hostnames) X(add)       \
    X(missing_host_key) X(get_remote_server_key) X(get_base64) X(get_name) X(fingerprint) X(HostKeys) X(lookup)     \
    X(values) X(BadHostKeyException) X(hash_host) X(key_type) X(known_hosts) X(SSHConfig) X(from_text)             \
    X(hashknownhosts) X(identityfile) X(serveraliveinterval) X(proxyjump) X(proxycommand) X(user) X(address)      \
    X(open_channel) X(set_keepalive) X(jump_host) X(hop) X(hops) X(ProxyCommand) X(pop)            \
    X(lstat) X(fstat) X(st_ino) X(st_mode) X(st_mtime_ns) X(seek) X(prefetch) X(hexdigest) X(follow_symlinks)    \
    X(loads) X(encode)                                                                                      \
    X(wait) X(set)

BRIDGE_NAMES(N, CLUSTERLANE_NAMES);

// The standard-library objects the pass worker and the remote commands use,
// bound once at import.
struct Bound {
    Owned thread;          // threading.Thread
    Owned lock;            // threading.Lock
    Owned simple_queue;    // queue.SimpleQueue
    Owned poll;            // select.poll
    Owned sleep;           // time.sleep
    Owned register_name;   // "register", the poll object's method (and atexit's)
    Owned st_mtime_name;   // "st_mtime" (a macro of <sys/stat.h>, so not among the N:: names)
    Owned reader_exit_wait;  // seconds to wait for a closed transport's reader thread
    Owned simple_namespace;  // types.SimpleNamespace (the host key policy object)
    Owned sha256;            // hashlib.sha256
    Owned file_digest;       // hashlib.file_digest
    Owned atexit_register;   // atexit.register
    Owned event;             // threading.Event
    Owned kept_connections;  // the box of the process's kept connections (connection_pool.cpp)
};

using Runtime = bridge::ModuleRuntime<N, Bound>;

inline Runtime& runtime() noexcept { return Runtime::get(); }
inline Borrowed name(N n) noexcept { return runtime().name(n); }
inline Owned global(N n) { return runtime().global(n); }
inline const Bound& bound() noexcept { return runtime().state; }

}  // namespace clusterlane
