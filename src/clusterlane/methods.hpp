// The methods of ClusterlaneBase, one FunctionSpec each, defined in the file
// of their concern:
//   cluster_log.cpp    set_log_callback, _hpc_log (and the host log)
//   overridable.cpp    the four abstract methods, get_output_files_by_category,
//                      build_hpc_result_data
//   dispatch.cpp       execute, _get_hpc_profile
//   remote_pass.cpp    _run_remote
//   templates.cpp      _get_all_template_variables(_ssh), _process_template
//   state.cpp          _get_local_working_dir, _get_state_file_path,
//                      _load_previous_result, _save_result
//   shell_methods.cpp  _get_slurm_job_status, _expand_remote_path, _ensure_remote_dir
//   retrieval.cpp      _retrieve_output_files(_ssh)
// and what the pass uses besides (each with a header of its own):
//   profile.cpp        the profile checked and converted once
//   node_id.cpp        the node ID checked as the name of its files
//   pass.hpp           what the steps of a pass share
//   connect.cpp        the SSH connection: host keys, connect, TCP_NODELAY
//   failure_mapping.cpp how a failed pass reaches the caller
//   submission.cpp     the submission steps
//   results.cpp        the run result dicts of every outcome
//   state.cpp          check_record_writable, the probe before a submission
//   job_query.cpp      the jobs already in the job directory before a submission
//   pass_lock.cpp      one pass at a time per node (the lock file)
//   slurm_states.cpp   what each SLURM state means, reading squeue's output
//   remote_command.cpp one command on the cluster, and quoting for its shell
//   pass_worker.cpp    the pass's SSH calls on a worker thread, each wait bounded (ioTimeout)
//   new_file.cpp       new files beside a path: exclusive, never through a link
//   redaction.cpp      key passphrases masked in log and error texts
//   support.cpp        NodeException, os.path, texts of errors, the job directory
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
