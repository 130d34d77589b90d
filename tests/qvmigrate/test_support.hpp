// The qvmigrate tests use the shared fixtures under their own namespace,
// so that their files read the same as before the fixtures moved.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

} // namespace qvm_test
