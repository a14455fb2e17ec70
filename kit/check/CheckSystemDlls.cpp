#include "kit/check/CheckSystemDlls.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

const char* const kReleaseNames[kWindowsReleaseCount] = {"7", "8", "8.1", "10", "11"};

std::string Lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The releases before `first`.
ReleaseSet Before(std::uint8_t first) { return (1u << first) - 1; }

std::string Since(std::uint8_t first, std::uint16_t build) {
    std::string text = std::string("first in Windows ") + kReleaseNames[first];
    if (build != 0) text += " build " + std::to_string(build);
    return text;
}

const SystemLibraryRow* FindLibrary(const std::string& name) {
    const SystemLibraryRow* end = kSystemLibraryRows + kSystemLibraryRowCount;
    const SystemLibraryRow* row = std::lower_bound(
        kSystemLibraryRows, end, name,
        [](const SystemLibraryRow& r, const std::string& n) { return n.compare(r.name) > 0; });
    return row != end && name == row->name ? row : nullptr;
}

const RuntimeFamilyRow* FindFamily(const std::string& name) {
    for (std::size_t i = 0; i < kRuntimeFamilyRowCount; ++i) {
        const RuntimeFamilyRow& row = kRuntimeFamilyRows[i];
        if (name.compare(0, std::strlen(row.prefix), row.prefix) == 0) return &row;
    }
    return nullptr;
}

std::string NotWindows(const std::string& what) {
    return what + ", which Windows does not ship: put it beside the program or link the runtime "
                  "statically";
}

}  // namespace

LibraryPresence SystemLibraryPresence(const std::string& dllName) {
    const std::string name = Lower(dllName);
    LibraryPresence presence;
    const SystemLibraryRow* row = FindLibrary(name);
    const RuntimeFamilyRow* family = FindFamily(name);
    const LibraryOrigin origin =
        row ? row->origin : family ? family->origin : LibraryOrigin::NotWindows;
    switch (origin) {
        case LibraryOrigin::Windows:
            presence.lacking = Before(row->first);
            if (presence.lacking) presence.why = Since(row->first, row->build);
            break;
        case LibraryOrigin::Update:
            presence.lacking = presence.lackingUnlessUpdated = Before(kWindows10);
            presence.why = std::string("they have it only after ") +
                           (family ? family->what : "an update");
            break;
        case LibraryOrigin::ServerOnly:
            presence.why = "a library of server editions only";
            break;
        case LibraryOrigin::WineOnly:
            presence.why = "a library of Wine's own: build the file against Windows' libraries, "
                           "not Wine's";
            break;
        case LibraryOrigin::NotWindows:
            if (family) {
                presence.why = NotWindows(family->what);
            } else if (name.rfind("api-ms-win-", 0) == 0 || name.rfind("ext-ms-win-", 0) == 0) {
                presence.why = "an API set that no Windows is known to have";
            } else if (!row) {
                presence.why = "a library that Windows does not ship: put it on the disc beside "
                               "the program that imports it";
            }
            break;
    }
    return presence;
}

ReleaseSet SystemFunctionLacking(const std::string& dllName, const std::string& function,
                                 std::string& since) {
    const std::string library = Lower(dllName);
    // Wine's bridges to its Unix side: a file importing one was built for Wine alone.
    if (function.rfind("__wine_", 0) == 0) {
        since = "an export of Wine's own: build the file against Windows' libraries, not Wine's";
        return kEveryRelease;
    }
    const SystemFunctionRow* end = kSystemFunctionRows + kSystemFunctionRowCount;
    using Key = std::pair<std::string, std::string>;
    const auto less = [](const SystemFunctionRow& row, const Key& key) {
        const int byLibrary = key.first.compare(row.library);
        return byLibrary > 0 || (byLibrary == 0 && key.second.compare(row.function) > 0);
    };
    const auto key = std::make_pair(library, function);
    const SystemFunctionRow* row = std::lower_bound(kSystemFunctionRows, end, key, less);
    if (row == end || library != row->library || function != row->function) return 0;
    since = Since(row->first, row->build);
    return Before(row->first);
}

std::string ReleaseNames(ReleaseSet releases) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kWindowsReleaseCount; ++i) {
        if (releases & (1u << i)) names.push_back(kReleaseNames[i]);
    }
    std::string text = releases == kEveryRelease ? "none of Windows " : "Windows ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}
