#include "process/Terminate.h"

#include "platform/Platform.h"

namespace {

// Only A to Z: a code-page-dependent fold could make two different names equal on one system
// and not on another.
char LowerAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Ends the process behind id if it still is a process of that name. Ids are reused: the listed
// process may have ended since the snapshot and an unrelated one, of any session, taken over its
// id. So the name is read again through the opened handle, which holds on to one process whatever
// happens to the id; a process whose name cannot be read that way is never ended. When the first
// way reads no name at all, the other way asks through the same handle: left running, the tool
// would go on beside the browser while the step looked done. A name that was read and differs is
// final: that process is a stranger, whatever another way might say.
void TerminateOpened(Platform& platform, std::uint32_t id, const std::string& name) {
    const ProcessHandle process = platform.OpenProcess(id, kProcessAccessAll);
    if (process == 0) return;  // passed over, the walk goes on
    std::string imageName;
    const bool named = platform.ProcessImageName(process, imageName) ||
                       platform.ProcessImageNameOtherWay(process, imageName);
    if (named && NamesEqualNoCase(imageName, name)) platform.TerminateProcess(process, 0);
    platform.CloseHandle(process);
}

int TerminateThroughSnapshot(Platform& platform, const std::string& name) {
    std::vector<ProcessRecord> records;
    ProcessHandle snapshot = 0;
    if (platform.SnapshotProcesses(records, snapshot) != SnapshotStatus::Ok) return 0;
    for (const ProcessRecord& record : records) {
        if (NamesEqualNoCase(record.exeName, name)) TerminateOpened(platform, record.id, name);
    }
    return 1;
}

int TerminateThroughModules(Platform& platform, ModuleSource& source, const std::string& name) {
    std::vector<std::uint32_t> ids;
    if (!source.EnumProcessIds(ids)) return 0;
    for (std::uint32_t id : ids) {
        const ProcessHandle process = platform.OpenProcess(id, kProcessAccessAll);
        if (process == 0) continue;
        std::string moduleName;
        const ModuleNameStatus status = source.FirstModuleBaseName(process, moduleName);
        if (status != ModuleNameStatus::NoModule) {
            // A process whose name cannot be read goes by "unknown", afresh for every process.
            if (status == ModuleNameStatus::NameUnread) moduleName = "unknown";
            if (NamesEqualNoCase(moduleName, name)) platform.TerminateProcess(process, 0);
        }
        platform.CloseHandle(process);
    }
    return 0;
}

}  // namespace

int NamesEqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAsciiLetter(a[i]) != LowerAsciiLetter(b[i])) return 0;
    }
    return 1;
}

int TerminateProcessesByName(Platform& platform, const std::string& name) {
    if (platform.HasSnapshotSource()) return TerminateThroughSnapshot(platform, name);
    if (std::unique_ptr<ModuleSource> source = platform.OpenModuleSource()) {
        return TerminateThroughModules(platform, *source, name);
    }
    return 0;  // no way to list processes: nothing is done
}
