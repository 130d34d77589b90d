// Differences between a source message and its copy (see compare.hpp).
#include "compare.hpp"

#include <algorithm>
#include <cctype>

namespace difftest {
namespace {

bool is_report_type(const std::string &type) {
    return type == "message/delivery-status" || type == "text/rfc822-headers" ||
           type == "message/disposition-notification" || type == "message/feedback-report";
}

std::string excerpt(const std::string &text) {
    std::string out = text.substr(0, 60);
    for (char &c : out)
        if (c == '\n' || c == '\r')
            c = '|';
    return "\"" + out + (text.size() > 60 ? "...\"" : "\"") + " (" + std::to_string(text.size()) + " bytes)";
}

std::string collapse_blanks(const std::string &text) {
    std::string out;
    for (char c : text) {
        const bool blank = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (blank && (out.empty() || out.back() == ' '))
            continue;
        out += blank ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

bool has_non_ascii(const std::string &text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 127; });
}

std::string lf_line_ends(const std::string &bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            out += '\n';
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            out += bytes[i];
        }
    }
    return out;
}

// ---- header blocks of the source ------------------------------------------

bool is_header_line(const std::string &line) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    return std::all_of(line.begin(), line.begin() + static_cast<long>(colon), [](char c) {
        return c > ' ' && c < 127;
    });
}

// Only exact delimiter lines count: text that quotes a boundary with
// something after it on the line must not open a part header here.
bool is_boundary_line(const std::string &line, const std::vector<std::string> &boundaries, bool *closing) {
    for (const std::string &boundary : boundaries) {
        if (boundary.empty())
            continue;
        if (line == "--" + boundary || line == "--" + boundary + "--") {
            *closing = line.size() == boundary.size() + 4;
            return true;
        }
    }
    return false;
}

// ---- one message pair ------------------------------------------------------

class Comparer {
  public:
    Comparer(const MessageView &source, const MessageView &target, std::string where)
        : source_(source), target_(target), where_(std::move(where)) {}

    std::vector<Difference> run() {
        compare_subject();
        compare_addresses("From", source_.from, target_.from);
        compare_addresses("To", source_.to, target_.to);
        compare_addresses("Cc", source_.cc, target_.cc);
        compare_bodies();
        compare_attachments();
        check_shape();
        return std::move(found_);
    }

  private:
    void add(std::string kind, const std::string &detail) {
        found_.push_back({std::move(kind), where_ + detail});
    }

    void compare_subject() {
        if (collapse_blanks(source_.subject) != collapse_blanks(target_.subject))
            add("subject", "subject " + excerpt(source_.subject) + " became " + excerpt(target_.subject));
    }

    static std::string describe(const std::vector<Address> &list) {
        std::string out;
        for (const Address &a : list)
            out += (out.empty() ? "" : ", ") + (a.is_group ? "[group " + a.name + "]"
                                                           : a.name + " <" + a.address + ">" +
                                                                 (a.group.empty() ? "" : " in " + a.group));
        return "{" + out + "}";
    }

    static bool same_address(const Address &a, const Address &b) {
        return a.is_group == b.is_group && collapse_blanks(a.name) == collapse_blanks(b.name) &&
               a.address == b.address && collapse_blanks(a.group) == collapse_blanks(b.group);
    }

    void compare_addresses(const std::string &field, const std::vector<Address> &source,
                           const std::vector<Address> &target) {
        if (!std::equal(source.begin(), source.end(), target.begin(), target.end(), same_address))
            add("addresses", field + " " + describe(source) + " became " + describe(target));
    }

    // ---- text bodies ----

    void compare_bodies() {
        std::vector<const Leaf *> targets = target_.bodies();
        std::vector<bool> used(targets.size(), false);
        auto take = [&](auto &&matches) -> const Leaf * {
            for (size_t i = 0; i < targets.size(); ++i)
                if (!used[i] && matches(*targets[i]))
                    return used[i] = true, targets[i];
            return nullptr;
        };
        for (const Leaf *leaf : source_.bodies()) {
            const std::string text = normalise_text(leaf->text);
            auto same_type = [&](const Leaf &t) { return t.type == leaf->type; };
            if (take([&](const Leaf &t) { return same_type(t) && normalise_text(t.text) == text; }))
                continue;
            std::string detabbed = text;
            std::replace(detabbed.begin(), detabbed.end(), '\t', ' ');
            if (text.find('\t') != std::string::npos &&
                take([&](const Leaf &t) { return same_type(t) && normalise_text(t.text) == detabbed; })) {
                add("tabs", leaf->type + " body: tabs became blanks");
                continue;
            }
            const Leaf *changed = take(same_type);
            if (changed)
                add("text", leaf->type + " body " + excerpt(text) + " became " +
                                excerpt(normalise_text(changed->text)));
            else if (!text.empty()) // an empty part holds nothing to lose
                add("text-lost", leaf->type + " body " + excerpt(text) + " is missing");
        }
        for (size_t i = 0; i < targets.size(); ++i)
            if (!used[i])
                extra_body(*targets[i]);
        for (const Leaf *leaf : target_.bodies())
            if (leaf->charset.empty() && has_non_ascii(leaf->bytes))
                add("charset", leaf->type + " body holds 8-bit text but names no charset");
    }

    void extra_body(const Leaf &leaf) {
        const std::string text = normalise_text(leaf.text);
        if (const Leaf *file = source_attachment_holding(text))
            add("attachment-became-body", "attachment " + label(*file) + " arrived as a " + leaf.type + " body");
        else
            add("text-extra", "extra " + leaf.type + " body " + excerpt(text));
    }

    // ---- attachments and attached messages ----

    const Leaf *source_attachment_holding(const std::string &text) const {
        for (const Leaf *leaf : source_.attachments())
            if (!text.empty() && leaf->embedded < 0 && normalise_text(leaf->bytes) == text)
                return leaf;
        return nullptr;
    }

    bool target_body_holds(const Leaf &leaf) const {
        const std::string text = normalise_text(leaf.bytes);
        const auto bodies = target_.bodies();
        return !text.empty() && std::any_of(bodies.begin(), bodies.end(), [&](const Leaf *body) {
            return normalise_text(body->bytes) == text || normalise_text(body->text) == text;
        });
    }

    static std::string label(const Leaf &leaf) {
        return leaf.type + (leaf.filename.empty() ? "" : " \"" + leaf.filename + "\"");
    }

    bool same_embedded(const Leaf &a, const Leaf &b) const {
        return a.embedded >= 0 && b.embedded >= 0 &&
               collapse_blanks(source_.embedded[a.embedded].subject) ==
                   collapse_blanks(target_.embedded[b.embedded].subject);
    }

    void compare_pair(const Leaf &source, const Leaf &target) {
        if (source.embedded >= 0 && target.embedded >= 0) {
            const MessageView &inner = source_.embedded[source.embedded];
            Comparer nested(inner, target_.embedded[target.embedded],
                            where_ + "attached message \"" + inner.subject + "\": ");
            for (Difference &d : nested.run())
                found_.push_back(std::move(d));
        }
        if (source.filename != target.filename)
            add("attachment-name", label(source) + " arrived named \"" + target.filename + "\"");
        // Report parts are text: their line ends may change like a body's.
        const bool line_ends = lf_line_ends(source.bytes) == lf_line_ends(target.bytes);
        if (source.bytes != target.bytes && !(is_report_type(source.type) && line_ends))
            add("attachment-bytes", label(source) + ": " + std::to_string(source.bytes.size()) + " bytes became " +
                                        std::to_string(target.bytes.size()));
        if (source.type != target.type)
            add("attachment-type", label(source) + " arrived as " + target.type);
        if (!source.disposition.empty() && !target.disposition.empty() && source.disposition != target.disposition)
            add("disposition", label(source) + " went from " + source.disposition + " to " + target.disposition);
    }

    // Pairs each source attachment with a part of the copy, surest pairs
    // first, so that a changed file cannot steal the partner of an intact one.
    void compare_attachments() {
        const std::vector<const Leaf *> sources = source_.attachments(), targets = target_.attachments();
        std::vector<const Leaf *> partner(sources.size(), nullptr);
        std::vector<bool> used(targets.size(), false);
        auto pass = [&](auto &&pairs) {
            for (size_t s = 0; s < sources.size(); ++s)
                for (size_t t = 0; t < targets.size() && !partner[s]; ++t)
                    if (!used[t] && pairs(*sources[s], *targets[t]))
                        partner[s] = targets[t], used[t] = true;
        };
        pass([&](const Leaf &s, const Leaf &t) { return s.embedded >= 0 && same_embedded(s, t); });
        pass([](const Leaf &s, const Leaf &t) {
            return s.embedded < 0 && t.filename == s.filename && t.bytes == s.bytes;
        });
        pass([](const Leaf &s, const Leaf &t) {
            return s.embedded < 0 && !s.bytes.empty() && lf_line_ends(t.bytes) == lf_line_ends(s.bytes);
        });
        pass([](const Leaf &s, const Leaf &t) { return !s.filename.empty() && t.filename == s.filename; });
        for (size_t s = 0; s < sources.size(); ++s) {
            if (partner[s])
                compare_pair(*sources[s], *partner[s]);
            else
                add(target_body_holds(*sources[s]) ? "attachment-became-body" : "attachment-lost",
                    label(*sources[s]) + " (" + std::to_string(sources[s]->bytes.size()) + " bytes) is missing");
        }
        for (size_t t = 0; t < targets.size(); ++t)
            if (!used[t])
                extra_attachment(*targets[t]);
    }

    void extra_attachment(const Leaf &leaf) {
        const std::string text = normalise_text(leaf.bytes);
        const auto bodies = source_.bodies();
        if (std::any_of(bodies.begin(), bodies.end(),
                        [&](const Leaf *body) { return !text.empty() && normalise_text(body->text) == text; }))
            add("body-became-attachment", "inline text " + excerpt(text) + " arrived as attachment " + label(leaf));
        else
            add("attachment-extra", "extra attachment " + label(leaf) + " " + excerpt(leaf.bytes));
    }

    // A message with no body and no attachment should stay one plain part.
    void check_shape() {
        const bool empty_source = std::all_of(source_.leaves.begin(), source_.leaves.end(), [](const Leaf &l) {
            return l.is_text_body() && normalise_text(l.text).empty();
        });
        if (empty_source && source_.top_type.rfind("multipart/", 0) != 0 &&
            target_.top_type.rfind("multipart/", 0) == 0)
            add("empty-body", "a message without a body arrived as " + target_.top_type);
    }

    const MessageView &source_;
    const MessageView &target_;
    std::string where_;
    std::vector<Difference> found_;
};

} // namespace

std::string with_header_ends(const std::string &raw, const std::vector<std::string> &boundaries) {
    std::string out;
    bool in_header = true;
    for (size_t start = 0; start < raw.size();) {
        const size_t end = std::min(raw.find('\n', start), raw.size() - 1) + 1;
        std::string line = raw.substr(start, end - start);
        std::string bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r'))
            bare.pop_back();
        bool closing = false;
        const bool boundary = is_boundary_line(bare, boundaries, &closing);
        if (in_header && !bare.empty() && !boundary && bare[0] != ' ' && bare[0] != '\t' && !is_header_line(bare)) {
            out += line.size() >= 2 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
            in_header = false;
        } else if (in_header && (bare.empty() || boundary)) {
            in_header = false;
        }
        if (boundary)
            in_header = !closing;
        out += line;
        start = end;
    }
    return out;
}

std::string normalise_text(const std::string &text) {
    std::string out = lf_line_ends(text);
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back())))
        out.pop_back();
    return out;
}

std::vector<Difference> compare_messages(const MessageView &source, const MessageView &target) {
    if (!source.parsed || !target.parsed)
        return {{"unparsed", source.parsed ? "GMime cannot read the copy" : "GMime cannot read the source"}};
    return Comparer(source, target, "").run();
}

std::set<std::string> kinds_of(const std::vector<Difference> &differences) {
    std::set<std::string> kinds;
    for (const Difference &difference : differences)
        kinds.insert(difference.kind);
    return kinds;
}

} // namespace difftest
