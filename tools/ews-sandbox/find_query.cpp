#include "find_query.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace sandbox {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool is_path(xmlNodePtr n) {
    std::string name = local_name(n);
    return name == "FieldURI" || name == "ExtendedFieldURI" || name == "IndexedFieldURI";
}

std::optional<Scalar> parse_constant(const std::string &value, Scalar::Kind kind, bool is_time) {
    Scalar s;
    s.kind = kind;
    if (kind == Scalar::Kind::Text) {
        s.text = value;
        return s;
    }
    if (kind == Scalar::Kind::Boolean) {
        std::string v = lower(value);
        if (v != "true" && v != "false" && v != "1" && v != "0") return std::nullopt;
        s.number = v == "true" || v == "1";
        return s;
    }
    if (is_time) {
        auto t = parse_ews_time(value);
        if (!t) return std::nullopt;
        s.number = *t;
        return s;
    }
    auto r = std::from_chars(value.data(), value.data() + value.size(), s.number);
    if (r.ec != std::errc() || r.ptr != value.data() + value.size()) return std::nullopt;
    return s;
}

int compare(const Scalar &a, const Scalar &b) {
    if (a.kind == Scalar::Kind::Text) {
        // Exchange compares text without regard to case.
        std::string x = lower(a.text), y = lower(b.text);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
}

template <typename Row> struct Parser {
    const FieldResolver<Row> &resolve;
    EwsError &error;

    bool fail(const std::string &code, std::string text) {
        error = ews_error(code, std::move(text));
        return false;
    }

    std::optional<FieldAccess<Row>> field(xmlNodePtr expr) {
        for (xmlNodePtr c : children(expr)) {
            if (!is_path(c)) continue;
            auto access = resolve(c);
            if (!access) {
                std::string uri = attribute(c, "FieldURI").value_or(local_name(c));
                error = ews_error("ErrorUnsupportedPathForQuery",
                                  "The property " + uri + " cannot be used in a restriction.");
                error.field_uri = attribute(c, "FieldURI").value_or("");
            }
            return access;
        }
        fail("ErrorInvalidRequest", "A restriction names no property.");
        return std::nullopt;
    }

    RowFilter<Row> comparison(xmlNodePtr expr, const std::string &op) {
        auto access = field(expr);
        if (!access) return nullptr;
        xmlNodePtr operand = child(expr, "FieldURIOrConstant");
        xmlNodePtr constant = child(operand, "Constant");
        if (!constant) {
            fail("ErrorUnsupportedPathForQuery", "Only constants can be compared with.");
            return nullptr;
        }
        auto value = parse_constant(attribute(constant, "Value").value_or(""), access->kind,
                                    access->is_time);
        if (!value) {
            fail("ErrorInvalidValueForProperty", "The restriction's constant does not fit the property.");
            return nullptr;
        }
        auto get = access->get;
        Scalar c = *value;
        return [get, c, op](const Row &row) {
            auto v = get(row);
            if (!v) return false; // a missing property never matches
            int r = compare(*v, c);
            if (op == "IsEqualTo") return r == 0;
            if (op == "IsNotEqualTo") return r != 0;
            if (op == "IsGreaterThan") return r > 0;
            if (op == "IsGreaterThanOrEqualTo") return r >= 0;
            if (op == "IsLessThan") return r < 0;
            return r <= 0; // IsLessThanOrEqualTo
        };
    }

    RowFilter<Row> contains(xmlNodePtr expr) {
        auto access = field(expr);
        if (!access) return nullptr;
        if (access->kind != Scalar::Kind::Text) {
            fail("ErrorContainsFilterWrongType", "Contains needs a text property.");
            return nullptr;
        }
        std::string needle = attribute(child(expr, "Constant"), "Value").value_or("");
        std::string mode = attribute(expr, "ContainmentMode").value_or("FullString");
        std::string comparison = attribute(expr, "ContainmentComparison").value_or("Exact");
        bool fold = comparison.find("IgnoreCase") != std::string::npos;
        if (fold) needle = lower(needle);
        auto get = access->get;
        return [get, needle, mode, fold](const Row &row) {
            auto v = get(row);
            if (!v) return false;
            std::string hay = fold ? lower(v->text) : v->text;
            if (mode == "FullString") return hay == needle;
            if (mode == "Prefixed") return hay.rfind(needle, 0) == 0;
            if (mode == "PrefixOnWords") {
                for (std::size_t at = hay.find(needle); at != std::string::npos;
                     at = hay.find(needle, at + 1))
                    if (at == 0 || !std::isalnum(static_cast<unsigned char>(hay[at - 1]))) return true;
                return false;
            }
            return hay.find(needle) != std::string::npos; // Substring, ExactPhrase
        };
    }

    RowFilter<Row> expression(xmlNodePtr expr) {
        std::string name = local_name(expr);
        if (name == "And" || name == "Or") {
            std::vector<RowFilter<Row>> parts;
            for (xmlNodePtr c : children(expr)) {
                auto f = expression(c);
                if (!f) return nullptr;
                parts.push_back(std::move(f));
            }
            bool all = name == "And";
            return [parts, all](const Row &row) {
                for (const auto &p : parts)
                    if (p(row) != all) return !all;
                return all;
            };
        }
        if (name == "Not") {
            auto inner = children(expr);
            if (inner.empty()) return nullptr;
            auto f = expression(inner.front());
            if (!f) return nullptr;
            return [f](const Row &row) { return !f(row); };
        }
        if (name == "Exists") {
            auto access = field(expr);
            if (!access) return nullptr;
            auto get = access->get;
            return [get](const Row &row) { return get(row).has_value(); };
        }
        if (name == "Excludes") {
            auto access = field(expr);
            if (!access) return nullptr;
            std::string text = attribute(child(expr, "Bitmask"), "Value").value_or("");
            bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
            const char *first = text.data() + (hex ? 2 : 0), *last = text.data() + text.size();
            std::int64_t m = 0;
            auto r = std::from_chars(first, last, m, hex ? 16 : 10);
            if (first == last || r.ec != std::errc() || r.ptr != last ||
                access->kind != Scalar::Kind::Integer) {
                fail("ErrorInvalidExcludesRestriction", "The bitmask cannot be read.");
                return nullptr;
            }
            auto get = access->get;
            return [get, m](const Row &row) {
                auto v = get(row);
                return v && (v->number & m) == 0;
            };
        }
        if (name == "Contains") return contains(expr);
        if (name.rfind("Is", 0) == 0) return comparison(expr, name);
        fail("ErrorInvalidRestriction", "The restriction " + name + " is not supported.");
        return nullptr;
    }
};

} // namespace

template <typename Row>
RowFilter<Row> parse_restriction(xmlNodePtr restriction, const FieldResolver<Row> &resolve,
                                 EwsError &error, bool &ok) {
    ok = true;
    if (!restriction) return nullptr;
    auto top = children(restriction);
    if (top.empty()) return nullptr;
    Parser<Row> p{resolve, error};
    auto f = p.expression(top.front());
    ok = static_cast<bool>(f);
    return f;
}

template <typename Row>
std::function<bool(const Row &, const Row &)>
parse_sort_order(xmlNodePtr sort_order, const FieldResolver<Row> &resolve, EwsError &error,
                 bool &ok) {
    ok = true;
    if (!sort_order) return nullptr;
    struct Key {
        std::function<std::optional<Scalar>(const Row &)> get;
        bool descending;
    };
    std::vector<Key> keys;
    for (xmlNodePtr order : children(sort_order, "FieldOrder")) {
        bool descending = attribute(order, "Order").value_or("Ascending") == "Descending";
        for (xmlNodePtr c : children(order)) {
            if (!is_path(c)) continue;
            auto access = resolve(c);
            if (!access) {
                error = ews_error("ErrorUnsupportedPathForSortGroup",
                                  "The property cannot be used for sorting.");
                error.field_uri = attribute(c, "FieldURI").value_or("");
                ok = false;
                return nullptr;
            }
            keys.push_back({access->get, descending});
        }
    }
    return [keys](const Row &a, const Row &b) {
        for (const auto &k : keys) {
            auto x = k.get(a), y = k.get(b);
            // Rows without the property sort first, as empty values do in Exchange views.
            int r = !x && !y ? 0 : (!x ? -1 : (!y ? 1 : compare(*x, *y)));
            if (r != 0) return k.descending ? r > 0 : r < 0;
        }
        return false;
    };
}

std::optional<PageRequest> parse_page_view(xmlNodePtr view, EwsError &error) {
    PageRequest req;
    if (!view) return req;
    req.indexed = true;
    auto number = [](const std::optional<std::string> &text) -> std::optional<std::int64_t> {
        if (!text) return std::nullopt;
        std::int64_t v = 0;
        auto r = std::from_chars(text->data(), text->data() + text->size(), v);
        if (r.ec != std::errc() || r.ptr != text->data() + text->size()) return std::nullopt;
        return v;
    };
    auto offset = number(attribute(view, "Offset"));
    if (!offset || *offset < 0) {
        error = ews_error("ErrorInvalidIndexedPagingParameters");
        return std::nullopt;
    }
    req.offset = *offset;
    if (auto max = attribute(view, "MaxEntriesReturned")) {
        auto m = number(max);
        if (!m || *m <= 0) {
            error = ews_error("ErrorInvalidPagingMaxRows");
            return std::nullopt;
        }
        req.max_entries = *m;
    }
    req.from_end = attribute(view, "BasePoint").value_or("Beginning") == "End";
    return req;
}

PageWindow page_window(std::size_t total, const PageRequest &req, int cap) {
    PageWindow w;
    std::size_t limit = static_cast<std::size_t>(cap > 0 ? cap : 1);
    if (req.max_entries > 0) limit = std::min(limit, static_cast<std::size_t>(req.max_entries));
    std::size_t offset = static_cast<std::size_t>(std::min<std::int64_t>(
        req.offset, static_cast<std::int64_t>(total)));
    if (!req.from_end) {
        w.begin = offset;
        w.end = std::min(total, w.begin + limit);
        w.includes_last = w.end == total;
    } else {
        // Counting back from the end: the page ends `offset` rows before it.
        w.end = total - offset;
        w.begin = w.end > limit ? w.end - limit : 0;
        w.includes_last = w.begin == 0;
    }
    w.next_offset = req.offset + static_cast<std::int64_t>(w.end - w.begin);
    return w;
}

void write_paging_attributes(XmlOut &out, const PageRequest &req, const PageWindow &w,
                             std::size_t total) {
    if (req.indexed) out.attr("IndexedPagingOffset", w.next_offset);
    out.attr("TotalItemsInView", static_cast<std::int64_t>(total));
    out.attr("IncludesLastItemInRange", w.includes_last ? "true" : "false");
}

template RowFilter<ItemInfo> parse_restriction<ItemInfo>(xmlNodePtr, const FieldResolver<ItemInfo> &,
                                                         EwsError &, bool &);
template RowFilter<FolderInfo> parse_restriction<FolderInfo>(xmlNodePtr,
                                                             const FieldResolver<FolderInfo> &,
                                                             EwsError &, bool &);
template std::function<bool(const ItemInfo &, const ItemInfo &)>
parse_sort_order<ItemInfo>(xmlNodePtr, const FieldResolver<ItemInfo> &, EwsError &, bool &);

} // namespace sandbox
