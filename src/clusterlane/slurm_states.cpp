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

// The first blank-separated word of a line, without trailing '+', in upper case.
std::string state_word(std::string_view line) {
    const size_t begin = line.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos) return {};
    line.remove_prefix(begin);
    line = line.substr(0, line.find_first_of(kBlanks));
    while (line.ends_with('+')) line.remove_suffix(1);
    std::string word(line);
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

// Calls fn(line) for each line of the text ('\n'-separated, a trailing '\r' kept).
template <class F>
void for_each_line(std::string_view text, F&& fn) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        fn(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

// RUNNING when any state is RUNNING, else the first state SLURM still holds,
// else the first state; empty for no states.
std::string combined_state(const std::vector<std::string>& states) {
    if (states.empty()) return {};
    if (std::find(states.begin(), states.end(), "RUNNING") != states.end()) return "RUNNING";
    const auto held = std::find_if(states.begin(), states.end(), [](const std::string& s) { return job_is_alive(s); });
    return held != states.end() ? *held : states.front();
}

// Compares two digit strings without leading zeros as numbers.
bool id_less(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
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

std::string state_of_output(std::string_view output) {
    std::vector<std::string> states;
    for_each_line(output, [&](std::string_view line) {
        std::string word = state_word(line);
        if (is_state_name(word)) states.push_back(std::move(word));
    });
    return combined_state(states);
}

JobQueryOutput read_job_query(std::string_view output, std::string_view job_dir) {
    JobQueryOutput result;
    std::string physical_dir;
    std::vector<std::pair<std::string, std::vector<std::string>>> jobs;  // id -> states, in order of appearance
    bool first = true;
    for_each_line(output, [&](std::string_view line) {
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (first) {
            first = false;
            physical_dir = line;
            result.has_first_line = !line.empty();
            return;
        }
        const size_t bar1 = line.find('|');
        const size_t bar2 = bar1 == std::string_view::npos ? bar1 : line.find('|', bar1 + 1);
        if (bar2 == std::string_view::npos) return;
        const std::string_view id_field = line.substr(0, bar1);
        const size_t digits = std::min(id_field.find_first_not_of("0123456789"), id_field.size());
        if (digits == 0) return;
        const std::string_view dir = line.substr(bar2 + 1);
        if (dir != job_dir && dir != physical_dir) return;
        std::string state = state_word(line.substr(bar1 + 1, bar2 - bar1 - 1));
        if (!job_is_alive(state)) return;
        std::string_view id = id_field.substr(0, digits);
        id.remove_prefix(std::min(id.find_first_not_of('0'), id.size() - 1));
        auto known = std::find_if(jobs.begin(), jobs.end(), [&](const auto& job) { return job.first == id; });
        auto& job = known != jobs.end() ? *known : jobs.emplace_back(std::string(id), std::vector<std::string>{});
        job.second.push_back(std::move(state));
    });
    for (auto& [id, states] : jobs) result.held.push_back({id, combined_state(states)});
    std::sort(result.held.begin(), result.held.end(), [](const HeldJob& a, const HeldJob& b) { return id_less(a.id, b.id); });
    return result;
}

}  // namespace clusterlane::slurm_states
