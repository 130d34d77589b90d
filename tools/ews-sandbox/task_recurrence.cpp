// Task recurrences: the ten task patterns (six recurring, four
// regenerating: the next task is made a number of days, weeks, months or
// years after the previous one is completed) and the three ranges.
#include <charconv>
#include <sstream>

#include "task_item.hpp"

namespace sandbox {

namespace {

std::optional<long> number(const std::string &text) {
    long v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
    return v;
}

const std::string *value_of(const TaskRecurrence::Element &e, const char *name) {
    for (const auto &[n, v] : e.children)
        if (n == name) return &v;
    return nullptr;
}

// The checks Exchange makes before it stores a pattern; "" when it is fine.
std::string pattern_problem(const TaskRecurrence::Element &p) {
    auto in_range = [&](const char *name, long lo, long hi) {
        const std::string *v = value_of(p, name);
        if (!v) return true;
        auto n = number(*v);
        return n && *n >= lo && *n <= hi;
    };
    if (!in_range("Interval", 1, 999)) return "The recurrence interval must be at least 1.";
    if (!in_range("DayOfMonth", 1, 31)) return "The day of the month must be between 1 and 31.";
    return "";
}

std::string range_problem(const TaskRecurrence::Element &r) {
    if (const std::string *n = value_of(r, "NumberOfOccurrences")) {
        auto count = number(*n);
        if (!count || *count < 1) return "The number of occurrences must be at least 1.";
    }
    const std::string *start = value_of(r, "StartDate");
    const std::string *end = value_of(r, "EndDate");
    // xs:date texts of one form compare as dates ("2026-01-05" < "2026-02-01").
    if (start && end && end->substr(0, 10) < start->substr(0, 10))
        return "The recurrence ends before it starts.";
    return "";
}

// Exchange answers the dates of a task recurrence as xs:date with the
// zone offset ("2006-01-09+01:00"); the sandbox's zone is UTC.
std::string range_date(std::string text) {
    if (text.size() == 11 && text.back() == 'Z') text.pop_back();
    if (text.size() == 10) text += "+00:00";
    return text;
}

TaskRecurrence::Element read_element(xmlNodePtr e) {
    TaskRecurrence::Element out;
    out.name = local_name(e);
    for (xmlNodePtr c : children(e)) {
        std::string name = local_name(c);
        std::string text = node_text(c);
        if (name == "StartDate" || name == "EndDate") text = range_date(text);
        out.children.emplace_back(name, text);
    }
    return out;
}

// Stored texts never hold a tab or a line break: those separate the fields.
std::string flat(const std::string &s) {
    std::string out;
    for (char c : s) out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    return out;
}

} // namespace

std::optional<TaskRecurrence> parse_task_recurrence(xmlNodePtr recurrence, EwsError &error) {
    auto parts = children(recurrence);
    if (parts.size() != 2) {
        error = ews_error("ErrorCalendarInvalidRecurrence", "A recurrence needs a pattern and a range.");
        return std::nullopt;
    }
    TaskRecurrence r{read_element(parts[0]), read_element(parts[1])};
    std::string problem = pattern_problem(r.pattern);
    if (problem.empty()) problem = range_problem(r.range);
    if (!problem.empty()) {
        // Exchange answers ErrorCalendarInvalidRecurrence for task patterns too.
        error = ews_error("ErrorCalendarInvalidRecurrence", problem);
        return std::nullopt;
    }
    return r;
}

std::string encode_task_recurrence(const TaskRecurrence &r) {
    std::string out;
    for (const auto *e : {&r.pattern, &r.range}) {
        out += flat(e->name) + "\n";
        for (const auto &[n, v] : e->children) out += "\t" + flat(n) + "\t" + flat(v) + "\n";
    }
    return out;
}

std::optional<TaskRecurrence> decode_task_recurrence(const std::string &text) {
    TaskRecurrence r;
    std::vector<TaskRecurrence::Element *> order{&r.pattern, &r.range};
    std::size_t next = 0;
    TaskRecurrence::Element *current = nullptr;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] != '\t') {
            if (next >= order.size()) return std::nullopt;
            current = order[next++];
            current->name = line;
            continue;
        }
        std::size_t tab = line.find('\t', 1);
        if (!current || tab == std::string::npos) return std::nullopt;
        current->children.emplace_back(line.substr(1, tab - 1), line.substr(tab + 1));
    }
    if (next != order.size()) return std::nullopt;
    return r;
}

void write_task_recurrence(XmlOut &out, const TaskRecurrence &r) {
    out.open("t:Recurrence");
    for (const auto *e : {&r.pattern, &r.range}) {
        out.open("t:" + e->name);
        for (const auto &[n, v] : e->children) out.leaf("t:" + n, v);
        out.close();
    }
    out.close();
}

} // namespace sandbox
