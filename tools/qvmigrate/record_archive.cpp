// record_archive.cpp - writing and reading the record archive.
#include "record_archive.hpp"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "archive_files.hpp"
#include "json_util.hpp"
#include "private_files.hpp"
#include "qv/qvcom.h"
#include "record_json.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr const char *kManifestName = "manifest.json";
constexpr const char *kKindNames[] = {"mail", "contacts", "calendar", "tasks"};

std::string folder_dir_name(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "%04d", number);
    return name;
}

std::string item_base_name(int sequence) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d", sequence);
    return name;
}

std::string now_utc() {
    const auto now = std::chrono::system_clock::now();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    const qv_filetime ticks = com_UnixToFileTime(seconds);
    return filetime_to_iso(ticks).substr(0, 19) + "Z";
}

// Copies part files in while an item is written.
class CopyingStore : public FileStore {
  public:
    explicit CopyingStore(const fs::path &folder_dir)
        : folder_dir_(folder_dir.string() + "/"), folder_name_(folder_dir.filename().string()) {}

    std::optional<StoredFile> put(const std::string &source, const std::string &name) override {
        const std::string target = folder_dir_ + name;
        std::optional<ArchivedFile> archived;
        try {
            archived = archive_file(source, target);
        } catch (const std::runtime_error &e) {
            throw ArchiveError(folder_name_ + "/" + name + ": " + e.what());
        }
        if (!archived)
            return std::nullopt;
        return StoredFile{name, archived->bytes, std::move(archived->sha256)};
    }

  private:
    std::string folder_dir_;  // with a trailing "/"
    std::string folder_name_; // "0001", for messages
};

// Hands part files back (or only checks them) while an item is read.
class CheckingSource : public FileSource {
  public:
    CheckingSource(fs::path folder_dir, ArchiveReader::FileUse use)
        : folder_dir_(std::move(folder_dir)), use_(use) {}

    std::string fetch(const StoredFile &file, const fs::path &destination) override {
        const fs::path source = folder_dir_ / file.name;
        const ExpectedFile expected{folder_dir_.filename().string() + "/" + file.name, file.bytes,
                                    file.sha256};
        switch (use_) {
        case ArchiveReader::FileUse::CheckOnly:
            return check_archived_file(source, expected);
        case ArchiveReader::FileUse::Taken:
            return place_checked_move(source, expected, destination);
        case ArchiveReader::FileUse::Writable:
            break;
        }
        return place_checked_copy(source, expected, destination);
    }

  private:
    fs::path folder_dir_;
    ArchiveReader::FileUse use_;
};

void remove_item_files(const fs::path &folder_dir, const std::string &base) {
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder_dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(base + "."))
            fs::remove(entry.path(), error);
    }
}

JsonPtr manifest_to_json(const ArchiveManifest &manifest) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "format", kArchiveFormatName);
    cJSON_AddNumberToObject(root.get(), "format_version", manifest.format_version);
    cJSON_AddStringToObject(root.get(), "created_utc", manifest.created_utc.c_str());
    cJSON_AddStringToObject(root.get(), "mailbox", manifest.mailbox.c_str());
    cJSON *folders = cJSON_AddArrayToObject(root.get(), "folders");
    for (const ArchiveFolder &folder : manifest.folders) {
        cJSON *item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "number", folder.number);
        cJSON_AddStringToObject(item, "path", folder.path.c_str());
        cJSON_AddStringToObject(item, "internal_path", folder.internal_path.c_str());
        cJSON_AddStringToObject(item, "kind", folder_kind_name(folder.folder_type).c_str());
        cJSON_AddNumberToObject(item, "source_total", folder.source_total);
        cJSON_AddNumberToObject(item, "items", folder.items);
        cJSON_AddItemToArray(folders, item);
    }
    return root;
}

ArchiveFolder folder_from_json(const cJSON *item, int position) {
    const std::string where =
        std::string(kManifestName) + ": folders[" + std::to_string(position) + "]";
    ArchiveFolder folder;
    const auto number = json_integer(item, "number", 1, 9999);
    const auto path = json_string(item, "path");
    const auto internal_path = json_string(item, "internal_path");
    const auto kind = json_string(item, "kind");
    const auto total = json_integer(item, "source_total", 0, kMaxArchiveItemsPerFolder);
    const auto items = json_integer(item, "items", 0, kMaxArchiveItemsPerFolder);
    if (!number || !path || !internal_path || !kind || !total || !items)
        throw ArchiveError(where + ": needs number, path, internal_path, kind, source_total "
                                  "and items");
    if (*number != position + 1)
        throw ArchiveError(where + ": number " + std::to_string(*number) + " out of order");
    folder.folder_type = folder_type_from_name(*kind);
    if (folder.folder_type < 0)
        throw ArchiveError(where + ": unknown kind \"" + *kind + "\"");
    folder.number = static_cast<int>(*number);
    folder.path = *path;
    folder.internal_path = *internal_path;
    folder.source_total = static_cast<int>(*total);
    folder.items = static_cast<int>(*items);
    return folder;
}

ArchiveManifest read_manifest(const fs::path &dir) {
    std::error_code error;
    if (!fs::is_directory(dir, error))
        throw ArchiveError(dir.string() + ": not a directory");
    const auto text = read_text_file(dir / kManifestName);
    if (!text)
        throw ArchiveError(std::string(kManifestName) + ": missing in " + dir.string() +
                           " (not a record archive, or its export did not finish)");
    const JsonParse parsed = parse_json(*text);
    if (!parsed.root)
        throw ArchiveError(std::string(kManifestName) + ": " + parsed.error);
    const cJSON *root = parsed.root.get();
    if (json_string(root, "format") != std::string(kArchiveFormatName))
        throw ArchiveError(std::string(kManifestName) + ": not a qvmigrate record archive");
    const auto version = json_integer(root, "format_version", 1, 1'000'000);
    if (!version)
        throw ArchiveError(std::string(kManifestName) + ": format_version missing or invalid");
    if (*version > kArchiveFormatVersion)
        throw ArchiveError(std::string(kManifestName) + ": format version " +
                           std::to_string(*version) + " is newer than this qvmigrate reads (" +
                           std::to_string(kArchiveFormatVersion) + "); use a newer qvmigrate");
    ArchiveManifest manifest;
    manifest.format_version = static_cast<int>(*version);
    manifest.mailbox = json_string(root, "mailbox").value_or("");
    manifest.created_utc = json_string(root, "created_utc").value_or("");
    const cJSON *folders = json_member(root, "folders");
    if (!cJSON_IsArray(folders))
        throw ArchiveError(std::string(kManifestName) + ": folders missing");
    int position = 0;
    for (const cJSON *item = folders->child; item != nullptr; item = item->next)
        manifest.folders.push_back(folder_from_json(item, position++));
    return manifest;
}

} // namespace

std::string folder_kind_name(int folder_type) {
    return folder_type >= 0 && folder_type < 4 ? kKindNames[folder_type] : "";
}

int folder_type_from_name(const std::string &name) {
    for (int type = 0; type < 4; ++type) {
        if (name == kKindNames[type])
            return type;
    }
    return -1;
}

std::string archive_item_name(int folder_number, int sequence) {
    return folder_dir_name(folder_number) + "/" + item_base_name(sequence) + ".json";
}

// ------------------------------------------------------------------ writer

ArchiveWriter::ArchiveWriter(fs::path dir, std::string mailbox) : dir_(std::move(dir)) {
    std::error_code error;
    if (fs::exists(dir_, error) && !fs::is_empty(dir_, error))
        throw ArchiveError(dir_.string() + ": exists and is not empty; give a new folder");
    std::string note;
    try {
        note = make_private_dir(dir_, "archive folder");
    } catch (const std::runtime_error &e) {
        throw ArchiveError(dir_.string() + ": " + e.what());
    }
    if (!note.empty())
        com_Log("QV Warning: %s", note.c_str());
    manifest_.mailbox = std::move(mailbox);
    manifest_.created_utc = now_utc();
}

void ArchiveWriter::begin_folder(const std::string &path, const std::string &internal_path,
                                 int folder_type, int source_total) {
    ArchiveFolder folder;
    folder.number = static_cast<int>(manifest_.folders.size()) + 1;
    folder.path = path;
    folder.internal_path = internal_path;
    folder.folder_type = folder_type;
    folder.source_total = source_total;
    try {
        make_private_dir(dir_ / folder_dir_name(folder.number), "archive folder");
    } catch (const std::runtime_error &e) {
        throw ArchiveError(folder_dir_name(folder.number) + ": " + e.what());
    }
    if (listener_ != nullptr) {
        if (!manifest_.folders.empty())
            listener_->folder_ended(manifest_.folders.back());
        listener_->folder_begun(folder);
    }
    manifest_.folders.push_back(folder);
}

void ArchiveWriter::write_item(const qv_message &msg, const std::string &work_dir) {
    if (manifest_.folders.empty())
        throw ArchiveError("write_item before begin_folder");
    ArchiveFolder &folder = manifest_.folders.back();
    const fs::path folder_dir = dir_ / folder_dir_name(folder.number);
    const int sequence = folder.items + 1;
    const std::string base = item_base_name(sequence);
    try {
        CopyingStore store(folder_dir);
        JsonPtr object(cJSON_CreateObject());
        message_to_json(msg, work_dir, base, store, object.get());
        write_file_atomically(folder_dir / (base + ".json"), print_json(object.get()));
    } catch (...) {
        remove_item_files(folder_dir, base);
        throw;
    }
    folder.items = sequence;
    if (listener_ != nullptr)
        listener_->item_added(folder, sequence);
}

void ArchiveWriter::finish() {
    if (listener_ != nullptr && !manifest_.folders.empty())
        listener_->folder_ended(manifest_.folders.back());
    const JsonPtr root = manifest_to_json(manifest_);
    write_file_atomically(dir_ / kManifestName, print_json(root.get()));
    if (listener_ != nullptr)
        listener_->finished();
}

// ------------------------------------------------------------------ reader

ArchiveReader::ArchiveReader(fs::path dir) : dir_(std::move(dir)), manifest_(read_manifest(dir_)) {}

ArchiveReader::ArchiveReader(fs::path dir, ArchiveManifest manifest)
    : dir_(std::move(dir)), manifest_(std::move(manifest)) {}

void ArchiveReader::verify() const {
    for (const ArchiveFolder &folder : manifest_.folders) {
        for (int sequence = 1; sequence <= folder.items; ++sequence) {
            auto scratch = std::make_unique<qv_message>();
            try {
                read_item(folder, sequence, *scratch, "", FileUse::CheckOnly);
            } catch (...) {
                com_ResetObject(scratch.get());
                throw;
            }
            com_ResetObject(scratch.get());
        }
    }
}

void ArchiveReader::read_item(const ArchiveFolder &folder, int sequence, qv_message &msg,
                              const std::string &work_dir, FileUse use) const {
    const std::string name = archive_item_name(folder.number, sequence);
    const auto text = read_text_file(dir_ / name);
    if (!text)
        throw ArchiveError(name + ": missing (the archive is truncated)");
    const JsonParse parsed = parse_json(*text);
    if (!parsed.root)
        throw ArchiveError(name + ": " + parsed.error);
    CheckingSource source(dir_ / folder_dir_name(folder.number), use);
    const std::string problem =
        message_from_json(parsed.root.get(), msg, work_dir, item_base_name(sequence), source);
    if (!problem.empty())
        throw ArchiveError(name + ": " + problem);
    if (use == FileUse::Taken) {
        std::error_code error; // one left behind goes with the archive
        fs::remove(dir_ / name, error);
    }
}

} // namespace qvmigrate
