// The methods of ClusterlaneBase, one FunctionSpec each, defined in the file
// of their concern:
//   hook.cpp         set_log_callback, _hpc_log
//   overridable.cpp  the four abstract methods, get_output_files_by_category,
//                    build_hpc_result_data
//   dispatch.cpp     execute, _get_hpc_profile
//   lifecycle.cpp    _run_remote
//   templates.cpp    _get_all_template_variables(_ssh), _process_template
//   state.cpp        _get_local_working_dir, _get_state_file_path,
//                    _load_previous_result, _save_result
//   shell.cpp        _get_slurm_job_status, _expand_remote_path, _ensure_remote_dir
//   retrieval.cpp    _retrieve_output_files(_ssh)
//   submission.cpp   the submission steps (not a method of their own)
// and what the pass uses besides:
//   state.cpp        check_record_writable, the probe before a submission
//   job_query.cpp    the jobs already in the job directory before a submission
//   pass_lock.cpp    one pass at a time per node (the lock file)
//   slurm_states.cpp what each SLURM state means, reading squeue's output
//   pass_worker.cpp  the pass's SSH calls on a worker thread, each wait bounded (ioTimeout)
//   new_file.cpp     new files beside a path: exclusive, never through a link
//   cluster_log.cpp  the host log and the node's logging hook
//   redaction.cpp    key passphrases masked in log and error texts
//   support.cpp      NodeException, os.path, the job directory and the run
//                    result heads
#pragma once

#include "support.hpp"

namespace clusterlane::methods {

extern const bridge::FunctionSpec set_log_callback;
extern const bridge::FunctionSpec hpc_log;
extern const bridge::FunctionSpec get_input_files;
extern const bridge::FunctionSpec get_output_files;
extern const bridge::FunctionSpec get_output_files_by_category;
extern const bridge::FunctionSpec get_template_variables;
extern const bridge::FunctionSpec run_local;
extern const bridge::FunctionSpec build_hpc_result_data;
extern const bridge::FunctionSpec execute;
extern const bridge::FunctionSpec run_remote;
extern const bridge::FunctionSpec get_hpc_profile;
extern const bridge::FunctionSpec get_all_template_variables;
extern const bridge::FunctionSpec retrieve_output_files;
extern const bridge::FunctionSpec get_local_working_dir;
extern const bridge::FunctionSpec get_state_file_path;
extern const bridge::FunctionSpec load_previous_result;
extern const bridge::FunctionSpec save_result;
extern const bridge::FunctionSpec get_slurm_job_status;
extern const bridge::FunctionSpec expand_remote_path;
extern const bridge::FunctionSpec ensure_remote_dir;
extern const bridge::FunctionSpec get_all_template_variables_ssh;
extern const bridge::FunctionSpec process_template;
extern const bridge::FunctionSpec retrieve_output_files_ssh;

}  // namespace clusterlane::methods

namespace clusterlane {

// Raises NodeException "state" unless a file can be created next to the
// state file, so that a job about to be submitted can be recorded.
void check_record_writable(Borrowed state_path);

// The submission steps of a remote run: creates the job directory, runs the
// job query (a job SLURM still holds there is followed and its outcome
// returned; with force it is cancelled, waiting at most wait_limit seconds
// for SLURM to let go of it), fills the script, uploads inputs and
// submit.sh, runs sbatch, persists and returns the submitted result dict.
Owned submit_job(Borrowed self, Borrowed ssh, Borrowed sftp, Borrowed flow_vars, Borrowed remote_job_dir,
                 Borrowed script_template, bool force, double wait_limit);

}  // namespace clusterlane
