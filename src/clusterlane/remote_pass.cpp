// _run_remote: one pass of a node's cluster job (submit, report, or collect).
//
// A pass resolves the profile, connects over SSH, expands the remote work
// directory, and then looks at the job recorded by the previous pass: a job
// SLURM still holds is reported, a completed one is collected, an ended one
// is reported as a failure, and anything else leads to a new submission
// (which first looks for a job still running in the job directory).
// A failure after the connection attempt starts is mapped to a NodeException
// (failure_mapping.cpp); an interrupt or exit request passes unchanged.  The
// SSH client is closed on every way out of that phase.
#include "bridge/statements.hpp"
#include "connect.hpp"
#include "failure_mapping.hpp"
#include "methods.hpp"
#include "options.hpp"
#include "pass_lock.hpp"
#include "results.hpp"
#include "shell_methods.hpp"
#include "slurm_states.hpp"
#include "state.hpp"
#include "submission.hpp"

#include <string_view>

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

// The ImportError stays attached as the context of the NodeException.
Owned import_paramiko() {
    return bridge::try_except([] { return bridge::import("paramiko"); }, PyExc_ImportError, [](Borrowed) -> Owned {
        raise_node_exception("dependency", bridge::str_from("Remote HPC execution requires paramiko. Install with: "
                                                            "pip install paramiko"));
    });
}

// The state as text to compare with SLURM's state names.  A state that is
// not text (an override may return anything) matches none of them.
// Lone surrogates name no SLURM state either.
std::string_view comparable_text(Borrowed state) { return bridge::try_utf8(state).value_or(std::string_view{}); }

Owned length_of(Borrowed summary, const char* key) {
    Owned value = option(summary, key, bridge::new_list());
    return bridge::integer(bridge::length(value));
}

// Downloads the outputs of the completed job and builds the node's result data.
Owned collect_completed_job(PassContext& p, Borrowed job_id) {
    hpc_log(p.self, "info", bridge::str_from("Job completed, downloading output files"), {{name(N::job_id), job_id}});
    p.local_dir = call_self(p.self, N::_get_local_working_dir, p.flow_vars);
    Owned summary =
        call_self(p.self, N::_retrieve_output_files_ssh, p.sftp, p.flow_vars, p.job_dir, p.hpc_options);
    Owned data = call_self(p.self, N::build_hpc_result_data, p.flow_vars, p.local_dir);

    Owned skipped = option(summary, "skipped");
    Owned remote_files = option(summary, "remote_files");
    if (bridge::truthy(remote_files)) {
        bridge::set_item(data, bridge::str_from("remote_files"), remote_files);
        bridge::set_item(data, bridge::str_from("skipped_large_files"), skipped);
    }

    Owned result_keys = bridge::truthy(data)
                            ? bridge::list_of(bridge::call_method(data, name(N::keys)))
                            : bridge::new_list();
    hpc_log(p.self, "info", bridge::str_from("Results retrieved successfully"),
            {{name(N::job_id), job_id},
             {name(N::result_keys), result_keys},
             {name(N::downloaded), length_of(summary, "downloaded")},
             {name(N::skipped), length_of(summary, "skipped")}});
    return results::completed(job_id, data, skipped);
}

// Reports, collects or drops the job recorded by the previous pass.  Returns
// null when a new job is to be submitted.
Owned follow_previous_job(PassContext& p, Borrowed job_id) {
    hpc_log(p.self, "info", concat({"Checking existing job status: ", bridge::str(job_id)}),
            {{name(N::job_id), job_id}});
    Owned state = call_self(p.self, N::_get_slurm_job_status, p.ssh, job_id);
    hpc_log(p.self, "info", concat({"SLURM job status: ", bridge::str(state)}),
            {{name(N::job_id), job_id}, {name(N::status), state}});

    const std::string_view state_text = comparable_text(state);
    if (state_text == "COMPLETED") return collect_completed_job(p, job_id);

    if (slurm_states::job_is_alive(state_text)) return results::held(state, job_id);
    if (slurm_states::job_ended_without_success(state_text)) {
        Owned lower = bridge::call_method(state, name(N::lower));
        hpc_log(p.self, "warning", concat({"Previous job ", lower}),
                {{name(N::job_id), job_id}, {name(N::status), state}});
        return results::ended(lower, job_id);
    }
    // squeue and sacct both print nothing while the controller is down; the
    // job may well still run, so nothing is submitted until SLURM answers.
    if (state_text == "UNKNOWN" && controller_down(p.ssh))
        raise_node_exception("slurm", concat({"SLURM controller unreachable; state of job ", bridge::str(job_id),
                                              " unknown, nothing resubmitted"}));
    return {};  // gone or in a state we cannot follow: submit afresh
}

Owned expand_work_dir(PassContext& p) {
    return call_self(p.self, N::_expand_remote_path, p.ssh, p.profile.remote_work_dir);
}

Owned guarded_phase(PassContext& p) {
    connect(p);

    const Profile& profile = p.profile;
    // The first command: on a kept connection, the one that tells whether it still answers.
    Owned work_dir = first_command(p, expand_work_dir);
    check_work_dir(work_dir);  // a variable's value may hold the line break; nothing is created yet
    if (!bridge::equal(work_dir, profile.remote_work_dir))
        hpc_log(p.self, "debug",
                concat({"Expanded remote work dir: ", bridge::str(profile.remote_work_dir), " -> ",
                        bridge::str(work_dir)}));

    p.sftp = io::bounded(p.ssh, [&] { return bridge::call_method(p.ssh, name(N::open_sftp)); });
    p.worker.attach_sftp(p.sftp);
    p.job_dir = remote_job_dir(work_dir, p.self);

    // From here to the end of the pass no other pass of this node runs.
    Owned state_path = call_self(p.self, N::_get_state_file_path);
    PassLock lock(p.self, state_path);
    Owned previous = call_self(p.self, N::_load_previous_result);
    if (bridge::truthy(previous)) {
        Owned job_id = option(previous, "remote_job_id");
        if (bridge::truthy(job_id) && !profile.force) {
            if (Owned outcome = follow_previous_job(p, job_id)) return outcome;
        }
    }
    check_record_writable(state_path);
    return submit_job(p);
}

// Runs the guarded phase; whatever happens, the connection is closed
// afterwards (the client, then the jump hosts), or kept for later passes
// when the profile asks and the pass ended without an SSH failure, a
// timeout or an interrupt.
Owned run_guarded(PassContext& p, Borrowed paramiko) {
    bool healthy = true;
    auto phase = [&] {
        Owned outcome = guarded_phase(p);
        // A wait that ran out of time ends the pass even when an override
        // absorbed the error it raised.
        if (p.worker.expired()) bridge::restore_error(bridge::call(PyExc_TimeoutError, p.worker.timeout_text()));
        return outcome;
    };
    auto mapped = [&](Borrowed failure) -> Owned {
        healthy = !ends_connection(paramiko, failure);
        raise_pass_failure(p, paramiko, failure);
    };
    return bridge::try_finally([&] { return bridge::try_except(phase, PyExc_BaseException, mapped); },
                               [&] { end_connection(p, healthy); });
}

constexpr Param kRunRemoteParams[] = {bridge::self_param(), bridge::list_param("predecessor_data"),
                                      bridge::dict_param("flow_vars"), bridge::dict_param("hpc_options")};

Owned run_remote_body(const bridge::Args<kRunRemoteParams>& args) {
    Borrowed self = args.self();
    Borrowed flow_vars = args.get<"flow_vars">();
    Borrowed hpc_options = args.get<"hpc_options">();

    // Within execute(), the options it looked into are not walked again.
    Secrets own_secrets;
    Secrets* outer = SecretsScope::current();
    const bool reuse = outer && outer->scanned(hpc_options);
    Secrets& secrets = reuse ? *outer : own_secrets;
    if (!reuse) secrets.scan(hpc_options);

    Owned paramiko = import_paramiko();
    Profile profile = resolve_profile(self, flow_vars, hpc_options, secrets);
    // The way to the cluster: ssh config, jump hosts, host keys.  The port
    // connected to may come from the ssh config.
    auto given = [](const Owned& value) { return value.borrow().is_none() ? Borrowed{} : value.borrow(); };
    jump_hosts::Route route(paramiko, self,
                            {.host = profile.host,
                             .port = given(profile.port_given),
                             .username = profile.username,
                             .passphrase = given(profile.passphrase),
                             .key_auth = profile.key_auth,
                             .proxy_jump = profile.proxy_jump,
                             .ssh_config = profile.ssh_config,
                             .host_key_policy = profile.host_key_policy,
                             .io_timeout = profile.io_timeout},
                            profile.connect_kwargs);
    profile.port = route.port();
    profile.keep_key = connection_key(profile);
    Owned ssh = new_ssh_client(paramiko);
    io::PassWorker worker(profile.host, profile.io_timeout, profile.io_seconds);
    PassContext pass{self, flow_vars, hpc_options, profile, ssh, worker, route, secrets, {}, {}, {}};
    return run_guarded(pass, paramiko);
}

}  // namespace

namespace methods {

const bridge::FunctionSpec run_remote = bridge::function<kRunRemoteParams, run_remote_body>({
    .name = "_run_remote",
    .doc = "Run one pass of the node's SLURM job over SSH and return the run result dict.",
    .return_annotation = "dict",
    .result = bridge::ResultType::Dict,
});

}  // namespace methods

}  // namespace clusterlane
