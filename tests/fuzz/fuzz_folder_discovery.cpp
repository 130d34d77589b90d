// libFuzzer target: FindFolder answers read for paging and into the folder
// table, with paths from the parent links and the lines given to the host.
// Input: a flags byte (bit 0: stored unformatted, bit 1: a source
// session), a split byte, the root folder id up to the first line end, then
// the answer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ews/folder_discovery.hpp"
#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    qvfuzz::Input input(data, size);
    const uint8_t flags = input.byte();
    const uint8_t split = input.byte();
    const std::string root_folder_id(input.line());
    const bool is_source = (flags >> 1) & 1;
    const std::string path = qvfuzz::scratch_dir("folder_discovery") + "folders.xml";
    if (!qvfuzz::write_answer(path, input.rest(), flags & 1, split))
        return 0;
    qvamz::FindFolderPage page;
    qvamz::ScanFindFolderPage(path, page);
    if (page.folder_count < 0)
        std::abort();
    qvamz::Session session;
    qvamz::FolderTable &folders = session.state.folders;
    qvamz::ParseFolders(path, is_source, root_folder_id, folders);
    if (folders.size() > qvamz::kMaxFolders)
        std::abort();
    for (const qvamz::FolderEntry &entry : folders) {
        if (entry.internal_path.size() > qvamz::kFolderPathMax ||
            entry.display_path.size() > qvamz::kFolderPathMax ||
            qvamz::FolderLine(entry).size() > qvamz::kFolderLineMax)
            std::abort();
    }
    qvamz::GetFolderNamesImpl(session,
                              [](char *line) QV_STDCALL { return line == nullptr ? 1 : 0; });
    char internal_path[1024];
    qvamz::GetTrueFolderImpl(folders, 0, internal_path);
    return 0;
}
