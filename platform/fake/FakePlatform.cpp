#include "platform/fake/FakePlatform.h"

#include <algorithm>

std::string FakeKey(const std::string& path) {
    std::string key = path;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return key;
}

class FakeModuleSource : public ModuleSource {
public:
    explicit FakeModuleSource(FakePlatform& fake) : fake_(fake) { ++fake_.loadedModuleSources; }
    ~FakeModuleSource() override {
        --fake_.loadedModuleSources;
        fake_.log.push_back("release-module-source");
    }

    bool EnumProcessIds(std::vector<std::uint32_t>& ids) override {
        fake_.log.push_back("enum-ids");
        if (fake_.enumIdsFails) return false;
        ids.clear();
        for (const FakeProcess& p : fake_.processes) ids.push_back(p.id);
        return true;
    }

    ModuleNameStatus FirstModuleBaseName(ProcessHandle process, std::string& name) override {
        auto it = fake_.openProcesses_.find(process);
        if (it == fake_.openProcesses_.end()) return ModuleNameStatus::NoModule;
        const FakeProcess* p = fake_.FindProcess(it->second);
        if (!p || !p->hasModule) return ModuleNameStatus::NoModule;
        if (!p->nameReadable) return ModuleNameStatus::NameUnread;
        name = p->moduleName.empty() ? p->exeName : p->moduleName;
        return ModuleNameStatus::Named;
    }

private:
    FakePlatform& fake_;
};

FakePlatform::FakePlatform() {
    VersionRecord win7x64;
    win7x64.platformId = 2;
    win7x64.majorVersion = 6;
    win7x64.minorVersion = 1;
    win7x64.buildNumber = 7601;
    win7x64.productType = 1;
    extendedVersion = win7x64;
    basicVersion = win7x64;
    directories.insert(FakeKey("C:\\Windows\\SysWow64"));
}

void FakePlatform::AddFile(const std::string& path, const std::string& content) {
    files[FakeKey(path)] = content;
}

bool FakePlatform::HasFile(const std::string& path) const {
    return files.count(FakeKey(path)) != 0;
}

bool FakePlatform::IsReadOnly(const std::string& path) const {
    return readOnlyFiles.count(FakeKey(path)) != 0;
}

std::string FakePlatform::FileContent(const std::string& path) const {
    auto it = files.find(FakeKey(path));
    return it == files.end() ? std::string() : it->second;
}

std::uint32_t FakePlatform::AddProcess(const std::string& exeName) {
    FakeProcess p;
    p.id = nextProcessId++;
    p.exeName = exeName;
    processes.push_back(p);
    return p.id;
}

void FakePlatform::ReuseProcessId(std::uint32_t id, const std::string& exeName) {
    for (FakeProcess& p : processes) {
        if (p.id != id) continue;
        FakeProcess replacement;
        replacement.id = id;
        replacement.exeName = exeName;
        p = replacement;
    }
}

bool FakePlatform::IsAlive(std::uint32_t id) const { return FindProcess(id) != nullptr; }

std::vector<std::string> FakePlatform::Events(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& e : log) {
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    }
    return out;
}

std::size_t FakePlatform::IndexOf(const std::string& entry) const {
    auto it = std::find(log.begin(), log.end(), entry);
    return it == log.end() ? std::string::npos : static_cast<std::size_t>(it - log.begin());
}

void FakePlatform::SetVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor,
                              std::uint32_t build, std::uint8_t productType) {
    VersionRecord r;
    r.platformId = platformId;
    r.majorVersion = major;
    r.minorVersion = minor;
    r.buildNumber = build;
    r.productType = productType;
    extendedVersion = r;
    basicVersion = r;
}

const FakeProcess* FakePlatform::FindProcess(std::uint32_t id) const {
    // A walk asks in table order, each process about twice: look at the last answer and the one
    // after it first, so that a walk over a large table does not cost its square.
    for (std::size_t i : {lastFound_, lastFound_ + 1}) {
        if (i < processes.size() && processes[i].id == id) {
            lastFound_ = i;
            return &processes[i];
        }
    }
    for (std::size_t i = 0; i < processes.size(); ++i) {
        if (processes[i].id == id) {
            lastFound_ = i;
            return &processes[i];
        }
    }
    return nullptr;
}

std::int32_t FakePlatform::IncrementInstanceCounter() {
    log.push_back("counter");
    return ++instanceCounter;
}

void FakePlatform::ShowMessage(const std::string& text, const std::string& caption) {
    log.push_back("box " + caption + "|" + text);
}

void FakePlatform::InitializeControls() { log.push_back("init-controls"); }

bool FakePlatform::IsLeadByte(unsigned char value) { return leadBytes.count(value) != 0; }

void FakePlatform::UpperCase(std::string& text) {
    // ASCII letters only; a double-byte character is left as it is.
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (IsLeadByte(b) && i + 1 < text.size()) {
            ++i;
        } else if (b >= 'a' && b <= 'z') {
            text[i] = static_cast<char>(b - ('a' - 'A'));
        }
    }
}

ModulePathStatus FakePlatform::ModuleFileName(std::string& path) {
    if (moduleFileNameStatus != ModulePathStatus::Ok) return moduleFileNameStatus;
    if (!moduleFileName) return ModulePathStatus::Unreadable;
    path = *moduleFileName;
    return ModulePathStatus::Ok;
}

ModulePathStatus FakePlatform::ModuleShortFileName(std::string& path) {
    ++moduleShortFileNameQueries;
    if (!moduleShortFileName) return moduleShortFileNameStatus;
    path = *moduleShortFileName;
    return ModulePathStatus::Ok;
}

bool FakePlatform::SetCurrentDirectory(const std::string& path) {
    log.push_back("cwd " + path);
    currentDirectory = path;
    return true;
}

bool FakePlatform::WindowsDirectory(std::string& path) {
    if (!windowsDir) return false;
    path = *windowsDir;
    return true;
}

bool FakePlatform::SystemDirectory(std::string& path) {
    if (!systemDir) return false;
    path = *systemDir;
    return true;
}

bool FakePlatform::AnyFileMatches(const std::string& pattern) {
    log.push_back("find " + pattern);
    const std::string suffix = "\\*.*";
    if (pattern.size() < suffix.size() ||
        pattern.compare(pattern.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    return directories.count(FakeKey(pattern.substr(0, pattern.size() - suffix.size()))) != 0;
}

bool FakePlatform::CanOpenForReading(const std::string& path) {
    log.push_back("open-read " + path);
    return HasFile(path);
}

bool FakePlatform::CanOpenExclusiveForWriting(const std::string& path) {
    log.push_back("open-write " + path);
    return HasFile(path) && lockedFiles.count(FakeKey(path)) == 0 && !IsReadOnly(path);
}

bool FakePlatform::CopyFile(const std::string& from, const std::string& to) {
    log.push_back("copy " + from + " -> " + to);
    if (failCopy || !HasFile(from) || IsReadOnly(to)) return false;
    files[FakeKey(to)] = FileContent(from);
    // The copy carries the source's attributes, the read-only one included.
    if (IsReadOnly(from)) {
        readOnlyFiles.insert(FakeKey(to));
    } else {
        readOnlyFiles.erase(FakeKey(to));
    }
    return true;
}

bool FakePlatform::DeleteFile(const std::string& path) {
    log.push_back("delete " + path);
    if (failDelete || IsReadOnly(path)) return false;
    return files.erase(FakeKey(path)) != 0;
}

bool FakePlatform::MakeWritable(const std::string& path) {
    log.push_back("make-writable " + path);
    if (!HasFile(path)) return false;
    readOnlyFiles.erase(FakeKey(path));
    return true;
}

bool FakePlatform::WriteFile(const std::string& path, const std::string& bytes) {
    log.push_back("write " + path + "|" + bytes);
    if (failWrite || IsReadOnly(path)) return false;
    files[FakeKey(path)] = bytes;
    return true;
}

bool FakePlatform::ProbeLibrary(const std::string& path) {
    log.push_back("probe-library " + path);
    return loadableLibraries.count(FakeKey(path)) != 0;
}

bool FakePlatform::ClassesRootKeyExists(const std::string& subkey) {
    log.push_back("regkey " + subkey);
    return classesRootKeys.count(subkey) != 0;
}

bool FakePlatform::QueryVersion(bool extended, VersionRecord& record) {
    log.push_back(extended ? "version extended" : "version basic");
    const std::optional<VersionRecord>& source = extended ? extendedVersion : basicVersion;
    if (!source) return false;
    const std::uint8_t keptType = record.productType;
    record = *source;
    if (!extended) record.productType = keptType;  // the basic record has no such field
    return true;
}

bool FakePlatform::IsWow64Process() { return wow64; }

std::uint16_t FakePlatform::SystemDefaultLangId() { return langId; }

bool FakePlatform::StartProgram(const std::string& program, const std::string& commandLine,
                                int showCommand) {
    log.push_back("start " + program + "|" + commandLine + "|" + std::to_string(showCommand));
    if (unstartablePrograms.count(FakeKey(program)) != 0) return false;
    if (onStart) onStart(*this, program, commandLine);
    return true;
}

void FakePlatform::Sleep(std::uint32_t milliseconds) {
    log.push_back("sleep " + std::to_string(milliseconds));
    clockMs += milliseconds;
    if (onSleep) onSleep(*this, milliseconds);
    if (++sleeps_ > maxSleeps) throw FakeRunLimit();
}

bool FakePlatform::HasSnapshotSource() { return snapshotSource; }

SnapshotStatus FakePlatform::SnapshotProcesses(std::vector<ProcessRecord>& records,
                                               ProcessHandle& snapshotHandle) {
    log.push_back("snapshot");
    records.clear();
    snapshotHandle = 0;
    if (snapshotStatus != SnapshotStatus::Ok) return snapshotStatus;
    snapshotHandle = nextHandle_++;  // opened and closed within this call
    for (const FakeProcess& p : processes) records.push_back({p.id, p.exeName});
    return SnapshotStatus::Ok;
}

std::unique_ptr<ModuleSource> FakePlatform::OpenModuleSource() {
    log.push_back("open-module-source");
    if (!moduleSource) return nullptr;
    return std::make_unique<FakeModuleSource>(*this);
}

ProcessHandle FakePlatform::OpenProcess(std::uint32_t id, std::uint32_t access) {
    log.push_back("open-process " + std::to_string(id) + " " + std::to_string(access));
    if (onOpenProcess) onOpenProcess(*this, id);
    const FakeProcess* p = FindProcess(id);
    if (!p || !p->openable) return 0;
    const ProcessHandle h = nextHandle_++;
    openProcesses_[h] = id;
    ++openHandles;
    return h;
}

bool FakePlatform::ProcessImageName(ProcessHandle process, std::string& name) {
    auto it = openProcesses_.find(process);
    if (it == openProcesses_.end()) return false;
    const FakeProcess* p = FindProcess(it->second);
    if (!p || !p->imageNameReadable) return false;
    name = p->exeName;
    return true;
}

bool FakePlatform::ProcessImageNameOtherWay(ProcessHandle process, std::string& name) {
    auto it = openProcesses_.find(process);
    if (it == openProcesses_.end()) return false;
    log.push_back("image-name-other-way " + std::to_string(it->second));
    const FakeProcess* p = FindProcess(it->second);
    if (!p || !p->imageNameReadableOtherWay) return false;
    name = p->exeName;
    return true;
}

bool FakePlatform::TerminateProcess(ProcessHandle process, std::uint32_t exitCode) {
    auto it = openProcesses_.find(process);
    if (it == openProcesses_.end()) return false;
    const std::uint32_t id = it->second;
    log.push_back("terminate " + std::to_string(id) + " " + std::to_string(exitCode));
    const FakeProcess* p = FindProcess(id);
    if (!p || !p->terminable) return false;
    terminated.push_back(id);
    processes.erase(std::remove_if(processes.begin(), processes.end(),
                                   [id](const FakeProcess& q) { return q.id == id; }),
                    processes.end());
    return true;
}

void FakePlatform::CloseHandle(ProcessHandle handle) {
    log.push_back("close-handle");
    if (openProcesses_.erase(handle) != 0) --openHandles;
}
