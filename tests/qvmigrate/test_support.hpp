// The qvmigrate tests use the shared fixtures under their own namespace,
// with the records and dump folders several of them build.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace qvm_test {

namespace fs = std::filesystem;
using qvtest::add_part;
using qvtest::add_recipient;
using qvtest::new_record;
using qvtest::read_file;
using qvtest::Record;
using qvtest::set_text;
using qvtest::TempDir;
using qvtest::write_file;

// `text` with each `@KEY@` of `values` replaced.
inline std::string filled(std::string text, const std::vector<std::pair<std::string, std::string>> &values) {
    for (const auto &[key, value] : values)
        for (std::size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value);
    return text;
}

// `text` with the first `from` replaced by `to`; a failure when there is none.
inline std::string replaced(std::string text, const std::string &from, const std::string &to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Whether one of `lines` contains `text`.
inline bool mentions(const std::vector<std::string> &lines, const std::string &text) {
    return std::ranges::any_of(lines, [&](const std::string &line) { return line.find(text) != std::string::npos; });
}

// A record whose embedded messages nest `levels` deep; with `work`, a text
// body before them, whose file an archive takes over first.
inline Record nested_record(int levels, const std::string &work = "") {
    Record record = new_record(1);
    if (!work.empty())
        add_part(*record, work, QV_PART_TEXT_BODY, "", "body");
    qv_message *level = record.get();
    for (int depth = 0; depth < levels; ++depth) {
        com_AllocPart(level)->part_type = QV_PART_EMBEDDED_MSG;
        qv_message *next = com_AllocSubMsg(level, level->part_count);
        ++level->part_count;
        level = next;
    }
    return record;
}

// A dump folder as `ews-sandbox dump` writes it: folders.json, then each
// item's .json and, when not empty, its .eml.
inline void write_dump(const fs::path &dir, const std::string &folders,
                       const std::vector<std::pair<std::string, std::string>> &items) {
    fs::create_directories(dir);
    write_file(dir / "folders.json", folders);
    for (std::size_t i = 0; i < items.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%06zu", i + 1);
        write_file(dir / (std::string(name) + ".json"), items[i].first);
        if (!items[i].second.empty())
            write_file(dir / (std::string(name) + ".eml"), items[i].second);
    }
}

} // namespace qvm_test
