#include "kit/windows/Outcomes.h"

#include <iterator>

#include "inspect/OsClassify.h"

namespace {

struct OutcomeRow {
    Outcome outcome;
    const char* name;
};

constexpr OutcomeRow kOutcomes[] = {
    {Outcome::BrowserRunning, "browser-running"},
    {Outcome::Refused, "refused"},
    {Outcome::TurnedAway, "turned-away"},
    {Outcome::KeepsStartingBrowser, "keeps-starting-browser"},
    {Outcome::BrowserNotRunning, "browser-not-running"},
    {Outcome::Box, "box"},
    {Outcome::DidNotEnd, "did-not-end"},
    {Outcome::ExitCode, "exit-code"},
};

}  // namespace

const char* OutcomeName(Outcome outcome) {
    for (const OutcomeRow& row : kOutcomes) {
        if (row.outcome == outcome) return row.name;
    }
    return "?";
}

bool ParseOutcome(const std::string& name, Outcome& outcome) {
    for (const OutcomeRow& row : kOutcomes) {
        if (name == row.name) {
            outcome = row.outcome;
            return true;
        }
    }
    return false;
}

std::string OutcomeNames() {
    std::string names;
    for (const OutcomeRow& row : kOutcomes) {
        if (!names.empty()) names += ' ';
        names += row.name;
    }
    return names;
}

Outcome GateOutcome(const SystemProfile& profile) {
    // The launcher's own classification of the version record the profile hands out, and its
    // own gate; a profile's bitness is what the launcher learns from the SysWOW64 folder.
    const OsDecision d = ClassifyVersion(ComposeVersionRecord(SystemFromProfile(profile)),
                                         [&profile] { return profile.bits == 64; });
    return d.platformKnown && !IsRefusedClass(d.osCode, d.serverFlag) ? Outcome::BrowserRunning
                                                                       : Outcome::Refused;
}

bool AsExpected(Outcome expected, Outcome seen, bool faults) {
    return expected == seen && !(seen == Outcome::BrowserRunning && faults);
}

Outcome Expectations::For(const SystemProfile& profile) const {
    const auto found = chosen_.find(profile.name);
    return found != chosen_.end() ? found->second : GateOutcome(profile);
}

bool Expectations::Chosen(const SystemProfile& profile) const {
    return chosen_.count(profile.name) != 0;
}

bool Expectations::Set(const std::string& system, const std::string& outcome, std::string& error) {
    if (!FindSystemProfile(system)) {
        error = "no system '" + system + "'; the systems are: " + SystemProfileNames();
        return false;
    }
    Outcome o;
    if (!ParseOutcome(outcome, o)) {
        error = "'" + outcome + "' is not an outcome; the outcomes are: " + OutcomeNames();
        return false;
    }
    chosen_[system] = o;
    return true;
}

bool ExpectationsFromTable(const std::vector<std::pair<std::string, std::string>>& table,
                           Expectations& expectations, std::string& error,
                           std::size_t* badEntry) {
    Expectations result = expectations;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!result.Set(table[i].first, table[i].second, error)) {
            if (badEntry) *badEntry = i;
            return false;
        }
    }
    expectations = std::move(result);
    return true;
}
