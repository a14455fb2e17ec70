#include "process/ProcessList.h"

#include "app/LauncherApp.h"

bool LauncherApp::IsProcessRunning(const std::string& name) {
    // First, while nothing is open: the browser loop has no end of its own, and the sleep is
    // where it is ended from outside, by a throw (see Platform::Sleep). The lists below open
    // and close their handles and sources within their own calls.
    platform_.Sleep(kRunningCheckDelayMs);
    // A 32-bit process under WOW64 sees only 32-bit modules through the module source, so the
    // 64-bit processes would be missing from its list; the snapshot source lists them all.
    if (RunsUnderWow64()) {
        FillProcessListToolhelp();
    } else {
        FillProcessListPsapi();
    }
    // Names are upper-cased in place up to the first match; name is compared as given, so a
    // caller passes it in upper case.
    for (const auto& entry : processList_) {
        platform_.UpperCase(entry->name);
        if (entry->name == name) return true;
    }
    return false;
}

int LauncherApp::FillProcessListToolhelp() {
    std::vector<ProcessRecord> records;
    ProcessHandle snapshot = 0;
    switch (platform_.SnapshotProcesses(records, snapshot)) {
        case SnapshotStatus::SnapshotFailed:
            platform_.ShowMessage(texts::kSnapshotFail, texts::kProcessBoxCaption);
            return 0;  // the previous list stays
        case SnapshotStatus::FirstRecordFailed:
            platform_.ShowMessage(texts::kFirstRecordFail, texts::kProcessBoxCaption);
            return 0;
        case SnapshotStatus::Ok:
            break;
    }
    ClearProcessList();
    for (ProcessRecord& record : records) {
        auto entry = std::make_unique<ProcessEntry>();
        entry->name = std::move(record.exeName);
        entry->id = record.id;
        entry->handle = snapshot;
        processList_.push_back(std::move(entry));
    }
    return 1;
}

int LauncherApp::FillProcessListPsapi() {
    constexpr int kResult = -1;  // the same whatever happened; nobody reads it
    std::unique_ptr<ModuleSource> source = platform_.OpenModuleSource();
    if (!source) return kResult;
    std::vector<std::uint32_t> ids;
    if (!source->EnumProcessIds(ids)) return kResult;  // the previous list stays
    ClearProcessList();

    // Not reset between processes: one whose name cannot be read takes the last name read, which
    // an earlier entry of this fill already carries, so no answer changes by it.
    std::string name = "unknown";
    for (std::uint32_t id : ids) {
        const ProcessHandle process = platform_.OpenProcess(id, kProcessAccessQuery);
        if (process == 0) continue;
        std::string read;
        const ModuleNameStatus status = source->FirstModuleBaseName(process, read);
        if (status != ModuleNameStatus::NoModule) {
            if (status == ModuleNameStatus::Named) name = read;
            auto entry = std::make_unique<ProcessEntry>();
            entry->name = name;
            entry->id = id;
            entry->handle = process;
            processList_.push_back(std::move(entry));
        }
        platform_.CloseHandle(process);
    }
    return kResult;
}

void LauncherApp::ClearProcessList() { processList_.clear(); }
