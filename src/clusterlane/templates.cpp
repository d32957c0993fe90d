// Template variables for the SLURM script and the filling of {{NAME}} placeholders.
#include "methods.hpp"

#include "bridge/statements.hpp"

#include <string>

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

// ---- the variable set ---------------------------------------------------------

// JOB_NAME, REMOTE_WORK_DIR, NODE_ID, OUTPUT_DIR, WORKING_DIR, in that order.
// The three directory names all stand for the job directory.
Owned standard_variables(Borrowed self, Borrowed remote_job_dir) {
    Owned node_id = bridge::getattr(self, name(N::node_id));
    Owned job_name = concat({"zentrel_", bridge::str(node_id)});
    return bridge::dict_of({{"JOB_NAME", job_name},
                            {"REMOTE_WORK_DIR", remote_job_dir},
                            {"NODE_ID", node_id},
                            {"OUTPUT_DIR", remote_job_dir},
                            {"WORKING_DIR", remote_job_dir}});
}

// INPUT_FILE_<position> = base name of each non-empty input file.  The
// position counts every entry, so skipped entries leave gaps in the numbering.
void add_input_file_variables(Borrowed vars, Borrowed input_files) {
    size_t position = 0;
    bridge::for_each(input_files, [&](Borrowed entry) {
        if (bridge::truthy(entry)) {
            Owned key = bridge::str_from("INPUT_FILE_" + std::to_string(position));
            bridge::dict_set(vars, key, os_path(N::basename, entry));
        }
        ++position;
    });
}

// The node's entries replace standard ones in place and follow them otherwise,
// as {**standard, **node_vars} would; anything but a mapping is refused.
void merge_node_variables(Borrowed vars, Borrowed node_vars) {
    if (!PyDict_Check(node_vars.get()) && !bridge::hasattr(node_vars, name(N::keys)))
        bridge::raise_format(PyExc_TypeError, "'%.200U' object is not a mapping", bridge::type_name(node_vars).get());
    bridge::dict_update(vars, node_vars);
}

Owned all_template_variables(Borrowed self, Borrowed flow_vars, Borrowed remote_job_dir) {
    Owned vars = standard_variables(self, remote_job_dir);
    Owned node_vars = call_self(self, N::get_template_variables, flow_vars);
    Owned input_files = call_self(self, N::get_input_files, flow_vars);
    add_input_file_variables(vars, input_files);
    merge_node_variables(vars, node_vars);
    return vars;
}

constexpr Param kSshParams[] = {bridge::self_param(), bridge::dict_param("flow_vars"), bridge::str_param("remote_job_dir")};
constexpr Param kConfigParams[] = {bridge::self_param(), bridge::dict_param("flow_vars"), bridge::any_param("config", "Any")};
constexpr Param kProcessParams[] = {bridge::self_param(), bridge::str_param("template"), bridge::dict_param("variables", "Dict[str, str]")};

Owned get_all_template_variables_ssh_body(const bridge::Args<kSshParams>& args) {
    return all_template_variables(args.self(), args.get<"flow_vars">(), args.get<"remote_job_dir">());
}

// A job configuration object names the profile's work directory.
Owned get_all_template_variables_body(const bridge::Args<kConfigParams>& args) {
    Owned work_dir = bridge::getattr(args.get<"config">(), name(N::remote_work_dir));
    return all_template_variables(args.self(), args.get<"flow_vars">(), remote_job_dir(work_dir, args.self()));
}

// ---- filling a template -------------------------------------------------------

// Names and values must be text (a None value stands for the text "None").
// Each entry is checked in its turn, so an earlier entry's bad escape is
// reported before a later entry's wrong type.
void check_variable_types(Borrowed var_name, Borrowed value) {
    const Borrowed wrong = !bridge::is_exact_str(var_name)                       ? var_name
                           : !(bridge::is_exact_str(value) || value.is_none()) ? value
                                                                               : Borrowed();
    if (wrong) bridge::raise_format(PyExc_TypeError, "Expected str, got %.200U", bridge::type_name(wrong).get());
}

// The value goes through re.sub as a replacement template, so its backslash
// escapes mean (and fail) exactly what they do there.
Owned substitute(Borrowed re, Borrowed text, Borrowed var_name, Borrowed value) {
    Owned escaped = bridge::call_method(re, name(N::escape), var_name);
    Owned pattern = concat({"\\{\\{", escaped, "\\}\\}"});
    Owned replacement = value.is_none() ? bridge::str_from("None") : Owned::ref(value.get());
    return bridge::call_method(re, name(N::sub), pattern, replacement, text);
}

void warn_unreplaced(Borrowed re, Borrowed text) {
    Owned remaining = bridge::call_method(re, name(N::findall), bridge::str_from("\\{\\{(\\w+)\\}\\}"), text);
    if (bridge::length(remaining) == 0) return;
    log(concat({"Warning: Unreplaced template variables: ", bridge::str(remaining)}), "warning");
}

// Each variable works on the text the previous ones left, in the dict's order.
Owned process_template_body(const bridge::Args<kProcessParams>& args) {
    Owned re = bridge::import("re");
    Owned items = bridge::dict_items(args.get<"variables">());
    Owned result = Owned::ref(args.get<"template">().get());
    for (Borrowed item : bridge::list_items(items)) {
        auto [var_name, value] = bridge::pair_of(item);
        check_variable_types(var_name, value);
        result = substitute(re, result, var_name, value);
    }
    warn_unreplaced(re, result);
    return result;
}

}  // namespace

namespace methods {

const bridge::FunctionSpec get_all_template_variables_ssh = bridge::function<kSshParams, get_all_template_variables_ssh_body>({
    .name = "_get_all_template_variables_ssh",
    .doc = "Return the standard template variables for remote_job_dir merged with the node's own.",
    .return_annotation = "Dict[str, str]",
});

const bridge::FunctionSpec get_all_template_variables = bridge::function<kConfigParams, get_all_template_variables_body>({
    .name = "_get_all_template_variables",
    .doc = "Return the template variables for a job configuration object (its remote_work_dir).",
    .return_annotation = "Dict[str, str]",
});

const bridge::FunctionSpec process_template = bridge::function<kProcessParams, process_template_body>({
    .name = "_process_template",
    .doc = "Replace the {{NAME}} placeholders of template by the variables' values.",
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
});

}  // namespace methods

}  // namespace clusterlane
