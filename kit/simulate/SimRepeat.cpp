// The repeat detector: the launcher's browser loop has no end of its own, so the simulation ends
// it once the passes between two sleeps repeat.
#include "kit/simulate/SimPlatform.h"

#include <algorithm>
#include <string>

namespace {

std::string EffectSignature(const SimEffect& e) {
    const char sep = '\x1F';
    std::string s;
    s += EffectKindName(e.kind);
    s += sep;
    s += e.ok ? '1' : '0';
    for (const std::string* field : {&e.error, &e.text, &e.caption, &e.program, &e.commandLine,
                                     &e.path, &e.source, &e.content, &e.processName}) {
        s += sep;
        s += *field;
    }
    s += sep + std::to_string(e.size) + sep + (e.readOnly ? "r" : "w") + sep + std::to_string(e.ms);
    return s;
}

}  // namespace

std::string SimPlatform::StateDigest() const {
    // Everything the launcher could see change, except process ids and handle values, which only
    // ever grow and decide nothing.
    std::string s = std::to_string(instanceCounter_) + '|' + currentDirectory_ + '|';
    for (const SimProcess& p : processes_) {
        s += p.exeName + (p.endsAtNextSleep ? "~" : "") + (p.openable ? "" : "!") + '|';
    }
    for (const auto& item : memory_) {
        const SimFile& f = item.second.file;
        s += item.first + ':' + std::to_string(f.size) + (f.readOnly ? "r" : "w") + f.content + f.source +
             '|';
    }
    for (const std::string& d : deletedFromDisc_) s += "-" + d + '|';
    return s;
}

void SimPlatform::Sleep(std::uint32_t milliseconds) {
    SimEffect& e = Record(EffectKind::Sleep);
    e.ms = milliseconds;

    // One pass: what the launcher did since the last sleep, and the state it left. When the last
    // few passes are the same, the next ones will be the same too, for ever.
    std::string pass = StateDigest();
    for (std::size_t i = passStart_; i < effects_.size(); ++i) pass += '\n' + EffectSignature(effects_[i]);
    passes_.push_back(pass);
    passStarts_.push_back(passStart_);

    clockMs_ += milliseconds;
    processes_.erase(std::remove_if(processes_.begin(), processes_.end(),
                                    [](const SimProcess& p) { return p.endsAtNextSleep; }),
                     processes_.end());
    passStart_ = effects_.size();
    ++sleeps_;

    const std::size_t n = passes_.size();
    if (n >= static_cast<std::size_t>(kRepeatsToStop)) {
        bool same = true;
        for (std::size_t k = n - static_cast<std::size_t>(kRepeatsToStop); k + 1 < n && same; ++k) {
            same = passes_[k] == passes_[n - 1];
        }
        if (same) {
            repeatFrom_ = passStarts_[n - static_cast<std::size_t>(kRepeatsToStop)];
            repeatPeriodMs_ = milliseconds;
            throw SimulationStop();
        }
    }
    if (sleeps_ >= kMaxSleeps) {
        stoppedWithoutRepeat_ = true;
        throw SimulationStop();
    }
}
