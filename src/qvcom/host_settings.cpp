// host_settings.cpp - host set-up (switches, directories, loss reports) and
// the plug-in side queries of it.
#include <string>
#include <vector>

#include "c_buffer.hpp"
#include "host_settings.hpp"
#include "qv/qvcom.h"
#include "switch_tokens.hpp"

namespace qvcom::detail {

namespace {

struct HostSettings {
    std::vector<std::string> switch_tokens;
    std::optional<std::string> base_dir; // QVCOM_DIR_BASE
    std::optional<std::string> work_dir; // QVCOM_DIR_WORK
    qvcom_loss_handler loss_handler = nullptr;
    void *loss_context = nullptr;
};

HostSettings &settings() {
    static HostSettings instance;
    return instance;
}

std::optional<std::string> *directory_slot(int which) {
    switch (which) {
    case QVCOM_DIR_BASE:
        return &settings().base_dir;
    case QVCOM_DIR_WORK:
        return &settings().work_dir;
    default:
        return nullptr;
    }
}

bool ends_with_separator(const std::string &path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

} // namespace

std::optional<std::string> host_directory(int which) {
    const auto *slot = directory_slot(which);
    return slot != nullptr ? *slot : std::nullopt;
}

} // namespace qvcom::detail

using namespace qvcom::detail;

extern "C" {

QVCOM_API void qvcom_set_switches(const char *switches) {
    try {
        settings().switch_tokens = split_switch_tokens(view_of(switches));
    } catch (...) {
        settings().switch_tokens.clear();
    }
}

QVCOM_API int qvcom_set_directory(int which, const char *path) {
    auto *slot = directory_slot(which);
    if (slot == nullptr) {
        return 0;
    }
    try {
        if (path == nullptr || *path == '\0') {
            slot->reset();
            return 1;
        }
        std::string dir(path);
        if (!ends_with_separator(dir)) {
            dir.push_back('/');
        }
        *slot = std::move(dir);
        return 1;
    } catch (...) {
        slot->reset();
        return 0;
    }
}

QVCOM_API void qvcom_set_loss_handler(qvcom_loss_handler handler, void *context) {
    settings().loss_handler = handler;
    settings().loss_context = context;
}

QVCOM_API int com_GetParm(int index, char *out, size_t out_size) {
    copy_to_buffer({}, out, out_size);
    const auto &tokens = settings().switch_tokens;
    if (index < 0 || static_cast<size_t>(index) >= tokens.size()) {
        return 0;
    }
    copy_to_buffer(tokens[static_cast<size_t>(index)], out, out_size);
    return 1;
}

QVCOM_API int com_GetDirectory(int which, char *out, size_t out_size) {
    copy_to_buffer({}, out, out_size);
    const auto *slot = directory_slot(which);
    if (slot == nullptr || !slot->has_value()) {
        return 0;
    }
    // A cut directory would name some other folder: refuse it whole.
    if (!copy_to_buffer(**slot, out, out_size)) {
        copy_to_buffer({}, out, out_size);
        return 0;
    }
    return 1;
}

QVCOM_API int com_GetRegDword(int /*root*/, const char * /*key_path*/,
                              const char * /*value_name*/, uint32_t * /*out*/) {
    return 0;
}

QVCOM_API int com_GetRegString(int /*root*/, const char * /*key_path*/,
                               const char * /*value_name*/, char *out, size_t out_size) {
    copy_to_buffer({}, out, out_size);
    return 0;
}

QVCOM_API void com_ReportLoss(int kind, int count, int /*reserved*/) {
    const auto &s = settings();
    if (s.loss_handler != nullptr) {
        s.loss_handler(kind, count, s.loss_context);
    } else {
        com_Log("QV Warning: %d item(s) lost (loss kind %d)", count, kind);
    }
}

} // extern "C"
