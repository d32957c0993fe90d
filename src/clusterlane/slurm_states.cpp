// SLURM's job state names and what each means for a node's recorded job.
#include "slurm_states.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <initializer_list>
#include <vector>

namespace clusterlane::slurm_states {

namespace {

bool one_of(std::string_view state, std::initializer_list<std::string_view> states) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

constexpr std::string_view kBlanks = " \t\r\v\f";

// The first blank-separated word of a line, without one trailing '+' (sacct
// marks a state cut off by its column that way), in upper case.
std::string state_word(std::string_view line) {
    const size_t begin = line.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos) return {};
    line.remove_prefix(begin);
    line = line.substr(0, line.find_first_of(kBlanks));
    if (line.ends_with('+')) line.remove_suffix(1);
    std::string word(line);
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

}  // namespace

bool is_state_name(std::string_view state) {
    return one_of(state, {"BOOT_FAIL",   "CANCELLED",     "COMPLETED",  "COMPLETING",   "CONFIGURING",
                          "DEADLINE",    "FAILED",        "NODE_FAIL",  "OUT_OF_MEMORY", "PENDING",
                          "PREEMPTED",   "REQUEUE_FED",   "REQUEUE_HOLD", "REQUEUED",   "RESIZING",
                          "RESV_DEL_HOLD", "REVOKED",     "RUNNING",    "SIGNALING",    "SPECIAL_EXIT",
                          "STAGE_OUT",   "STOPPED",       "SUSPENDED",  "TIMEOUT"});
}

bool job_is_alive(std::string_view state) {
    return one_of(state, {"RUNNING", "PENDING", "CONFIGURING", "COMPLETING", "SUSPENDED", "STOPPED", "SIGNALING",
                          "STAGE_OUT", "REQUEUED", "REQUEUE_HOLD", "REQUEUE_FED", "RESIZING", "RESV_DEL_HOLD"});
}

bool job_ended_without_success(std::string_view state) {
    return one_of(state, {"FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL"});
}

std::string state_of_lines(std::string_view output) {
    std::vector<std::string> states;
    int non_blank = 0;
    while (!output.empty()) {
        const size_t end = output.find('\n');
        const std::string_view line = output.substr(0, end);
        if (line.find_first_not_of(kBlanks) != std::string_view::npos) ++non_blank;
        std::string word = state_word(line);
        if (is_state_name(word)) states.push_back(std::move(word));
        output = end == std::string_view::npos ? std::string_view{} : output.substr(end + 1);
    }
    if (non_blank < 2 || states.empty()) return {};
    if (std::find(states.begin(), states.end(), "RUNNING") != states.end()) return "RUNNING";
    const auto held = std::find_if(states.begin(), states.end(), [](const std::string& s) { return job_is_alive(s); });
    return held != states.end() ? *held : states.front();
}

}  // namespace clusterlane::slurm_states
