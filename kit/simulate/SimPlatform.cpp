#include "kit/simulate/SimPlatform.h"

#include <utility>

#include "app/LauncherApp.h"
#include "kit/windows/CodePage.h"
#include "kit/windows/WindowsText.h"

const char* EffectKindName(EffectKind kind) {
    switch (kind) {
        case EffectKind::Box: return "box";
        case EffectKind::Start: return "start";
        case EffectKind::Sleep: return "sleep";
        case EffectKind::Copy: return "copy";
        case EffectKind::Write: return "write";
        case EffectKind::Delete: return "delete";
        case EffectKind::Attributes: return "attributes";
        case EffectKind::Terminate: return "terminate";
        case EffectKind::Load: return "load";
    }
    return "?";
}

SimPlatform::SimPlatform(const SimConfig& config, const SimDisc& disc,
                         const std::vector<ImageFacts>* images)
    : config_(config), disc_(disc), images_(images) {
    if (config_.instanceRunning) instanceCounter_ = 0;

    SetUpFiles();
    registryKeys_.insert("CLSID");
    if (config_.registered) registryKeys_.insert(UpperUtf8(names::kControlClassKey));
    AddBaseProcesses();
}

std::string SimPlatform::ToUtf8(const std::string& ansi) const {
    return AnsiToUtf8(config_.codePage, ansi);
}

SimEffect& SimPlatform::Record(EffectKind kind) {
    SimEffect e;
    e.kind = kind;
    e.timeMs = clockMs_;
    effects_.push_back(std::move(e));
    return effects_.back();
}

// --- Platform ---------------------------------------------------------------------------------

std::int32_t SimPlatform::IncrementInstanceCounter() { return ++instanceCounter_; }

void SimPlatform::ShowMessage(const std::string& text, const std::string& caption) {
    // The user presses OK at once: a box costs no simulated time.
    SimEffect& e = Record(EffectKind::Box);
    e.text = text;
    e.caption = caption;
}

void SimPlatform::InitializeControls() {}

bool SimPlatform::IsLeadByte(unsigned char value) {
    return ::IsLeadByte(config_.codePage, value);
}

void SimPlatform::UpperCase(std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t n = (IsLeadByte(b) && i + 1 < text.size()) ? 2 : 1;
        if (n == 1 && b < 0x80) {
            if (b >= 'a' && b <= 'z') text[i] = static_cast<char>(b - ('a' - 'A'));
            ++i;
            continue;
        }
        // Through Unicode and back: a character whose upper case the code page cannot hold in
        // as many bytes stays as it is.
        const std::string ch = text.substr(i, n);
        auto cached = upperCache_.find(ch);
        if (cached == upperCache_.end()) {
            std::string upper;
            const std::string utf8 = ToUtf8(ch);
            if (!Utf8ToAnsiExact(config_.codePage, UpperUtf8(utf8), upper) || upper.size() != n) {
                upper = ch;
            }
            cached = upperCache_.emplace(ch, upper).first;
        }
        text.replace(i, n, cached->second);
        i += n;
    }
}

ModulePathStatus SimPlatform::ModuleFileName(std::string& path) {
    std::string dir;
    if (!Utf8ToAnsiExact(config_.codePage, config_.installDir, dir)) {
        modulePathNotInCodePage_ = true;
        return ModulePathStatus::NotInCodePage;
    }
    path = dir + names::kLauncher;
    return ModulePathStatus::Ok;
}

ModulePathStatus SimPlatform::ModuleShortFileName(std::string& path) {
    shortPathAsked_ = true;
    // Without the volume's own short name the simulation takes the volume for one that keeps none.
    if (config_.shortInstallDir.empty()) return ModulePathStatus::Unreadable;
    std::string dir;
    if (!Utf8ToAnsiExact(config_.codePage, config_.shortInstallDir, dir)) {
        return ModulePathStatus::NotInCodePage;
    }
    path = dir + names::kLauncher;
    shortPathUsed_ = true;
    return ModulePathStatus::Ok;
}

void SimPlatform::AddFault(const std::string& utf8) {
    if (std::find(faults_.begin(), faults_.end(), utf8) == faults_.end()) faults_.push_back(utf8);
}

bool SimPlatform::ClassesRootKeyExists(const std::string& subkey) {
    return registryKeys_.count(UpperUtf8(subkey)) != 0;
}

bool SimPlatform::QueryVersion(bool extended, VersionRecord& record) {
    if (extended && !config_.system.extendedQuery) return false;
    const VersionRecord r = ComposeVersionRecord(config_.system);
    record.majorVersion = r.majorVersion;
    record.minorVersion = r.minorVersion;
    record.buildNumber = r.buildNumber;
    record.platformId = r.platformId;
    if (extended) record.productType = r.productType;
    return true;
}

bool SimPlatform::IsWow64Process() { return Is64Bit(); }

std::uint16_t SimPlatform::SystemDefaultLangId() { return config_.langId; }
