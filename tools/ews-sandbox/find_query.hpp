// The parts of FindItem and FindFolder that select and cut: Restriction
// trees, SortOrder and IndexedPage views.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ops_common.hpp"

namespace sandbox {

// A property value a restriction or a sort can compare.
struct Scalar {
    enum class Kind { Integer, Text, Boolean } kind = Kind::Integer;
    std::int64_t number = 0; // Integer (times as Unix seconds) and Boolean (0/1)
    std::string text;
};

// How to read one property of a row.  `kind` also says how a Constant in
// the request is to be read (times as xs:dateTime).
template <typename Row> struct FieldAccess {
    Scalar::Kind kind = Scalar::Kind::Integer;
    bool is_time = false;
    std::function<std::optional<Scalar>(const Row &)> get; // nullopt: property not set
};

// Finds the accessor for a FieldURI/ExtendedFieldURI element, or nullopt
// when the property cannot be searched on.
template <typename Row>
using FieldResolver = std::function<std::optional<FieldAccess<Row>>(xmlNodePtr path)>;

template <typename Row> using RowFilter = std::function<bool(const Row &)>;

// Builds the filter of a <Restriction> element (nullptr: everything passes).
template <typename Row>
RowFilter<Row> parse_restriction(xmlNodePtr restriction, const FieldResolver<Row> &resolve,
                                 EwsError &error, bool &ok);

// Builds the "less than" of a <SortOrder> element; nullptr when absent.
template <typename Row>
std::function<bool(const Row &, const Row &)>
parse_sort_order(xmlNodePtr sort_order, const FieldResolver<Row> &resolve, EwsError &error,
                 bool &ok);

// IndexedPageItemView / IndexedPageFolderView.
struct PageRequest {
    bool indexed = false; // a view was given
    bool from_end = false;
    std::int64_t offset = 0;
    std::int64_t max_entries = -1; // -1: not given
};
std::optional<PageRequest> parse_page_view(xmlNodePtr view, EwsError &error);

struct PageWindow {
    std::size_t begin = 0, end = 0; // the rows [begin, end) of the sorted view
    bool includes_last = true;
    std::int64_t next_offset = 0;
};
// `cap`: the server's page limit; asking for more gets at most `cap`
// entries and IncludesLastItemInRange="false", as Exchange's throttling does.
PageWindow page_window(std::size_t total, const PageRequest &req, int cap);

// The attributes of RootFolder: IndexedPagingOffset (indexed views only),
// TotalItemsInView, IncludesLastItemInRange.
void write_paging_attributes(XmlOut &out, const PageRequest &req, const PageWindow &w,
                             std::size_t total);

} // namespace sandbox
