#include "platform/win32/Win32Platform.h"
#include "platform/win32/GrowingRead.h"
#include "platform/win32/TestHooks.h"

// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on
#include <mbctype.h>
#include <mbstring.h>

#include <algorithm>
#include <utility>

// The interface's names are the launcher's own, not the system's character-set macros.
#undef CopyFile
#undef DeleteFile
#undef SetCurrentDirectory

// The single-instance counter: one copy for every process of this executable file, -1 until the
// first of them increments it. The system drops the section with the last such process.
__attribute__((section("Shared"), shared)) volatile LONG g_instanceCounter = -1;

namespace {

#ifndef LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#ifndef LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000
#endif

// Whether SetDefaultDllDirectories took effect; the LOAD_LIBRARY_SEARCH_* flags need it (or the
// update that brings it to older systems).
bool g_searchFlagsWork = false;

// Casts a looked-up entry point to its type. Going through void (*)() keeps the compiler from
// warning about the cast between unrelated function types.
template <typename Function>
Function EntryPoint(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// UTF-16 text, without a terminating zero. Not std::wstring: its instantiations would add some
// 35 KiB to the image for the two calls that use it.
using WideText = std::vector<wchar_t>;

// The ANSI code page's form of a UTF-16 text, only when the code page holds every character of it
// exactly. The system's default conversion (and every ...A call that reports a name) maps a
// character the code page lacks to a look-alike, "best fit": a fullwidth quote becomes '"', a
// fullwidth backslash '\\', an omega 'O'. In a path that changes which folder it names, and inside
// the quotes of a command line it adds arguments chosen by whoever named the folder.
bool ToAnsiExactly(const WideText& wide, std::string& ansi) {
    ansi.clear();
    if (wide.empty()) return true;
    const int wideLength = static_cast<int>(wide.size());
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultAnswer = &usedDefault;
    int size = WideCharToMultiByte(CP_ACP, flags, wide.data(), wideLength, nullptr, 0, nullptr,
                                   usedDefaultAnswer);
    if (size == 0) {
        // Some ANSI code pages (UTF-8, and every one on systems older than 2000) take neither the
        // flag nor the question; the round trip below still finds any character that changed.
        flags = 0;
        usedDefaultAnswer = nullptr;
        size = WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, nullptr, 0, nullptr,
                                   nullptr);
        if (size == 0) return false;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, wide.data(), wideLength, &bytes[0], size, nullptr,
                            usedDefaultAnswer) != size ||
        usedDefault) {
        return false;
    }
    WideText back(wide.size(), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, &back[0], wideLength) != wideLength ||
        back != wide) {
        return false;
    }
    ansi = std::move(bytes);
    return true;
}

std::string SystemFolder() {
    std::string folder;
    ReadGrowing(folder, [](char* b, DWORD n) { return GetSystemDirectoryA(b, n); });
    return folder;
}

// Loads a library of the system by its bare name, from the system directory only.
HMODULE LoadSystemLibrary(const char* name) {
    if (g_searchFlagsWork) return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const std::string folder = SystemFolder();
    if (folder.empty()) return nullptr;
    // By its full path, and the libraries it imports are looked for beside it first, not in the
    // launcher's folder.
    return LoadLibraryExA((folder + '\\' + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Libraries that system code loads by their bare names inside the launcher's process: the theme
// library when the common controls initialise, OLE when a message box is shown (as a listing of
// what the process loads shows). Where the search cannot be restricted to the system directory,
// it starts in the launcher's own folder for such a name.
constexpr const char* kLibrariesLoadedByName[] = {"uxtheme.dll", "ole32.dll"};

ProcessHandle ToHandle(HANDLE h) { return reinterpret_cast<ProcessHandle>(h); }
HANDLE FromHandle(ProcessHandle h) { return reinterpret_cast<HANDLE>(h); }

class PsapiModuleSource : public ModuleSource {
public:
    using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
    using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
    using GetModuleBaseNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

    PsapiModuleSource(HMODULE library, EnumProcessesFn enumProcesses,
                      EnumProcessModulesFn enumModules, GetModuleBaseNameFn baseName)
        : library_(library), enumProcesses_(enumProcesses), enumModules_(enumModules),
          baseName_(baseName) {}
    ~PsapiModuleSource() override { FreeLibrary(library_); }
    PsapiModuleSource(const PsapiModuleSource&) = delete;
    PsapiModuleSource& operator=(const PsapiModuleSource&) = delete;

    bool EnumProcessIds(std::vector<std::uint32_t>& ids) override {
        // The call cannot say how many ids did not fit: a full buffer may have cut the list
        // short, so grow it until some room is left. On a busy system a fixed buffer would never
        // show the processes at its end.
        std::vector<DWORD> buffer(1024);
        for (;;) {
            DWORD bytes = 0;
            const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
            if (!enumProcesses_(buffer.data(), size, &bytes)) return false;
            if (bytes < size || buffer.size() >= (1u << 22)) {
                ids.assign(buffer.data(), buffer.data() + bytes / sizeof(DWORD));
                return true;
            }
            buffer.resize(buffer.size() * 2);
        }
    }

    ModuleNameStatus FirstModuleBaseName(ProcessHandle process, std::string& name) override {
        HMODULE module = nullptr;
        DWORD needed = 0;
        // Room for one module: the first one is the executable.
        if (!enumModules_(FromHandle(process), &module, sizeof module, &needed)) {
            return ModuleNameStatus::NoModule;
        }
        char buffer[MAX_PATH];
        // Taken by the length the call reports: a name cut short to the buffer need not end with
        // a zero byte.
        const DWORD length = baseName_(FromHandle(process), module, buffer, sizeof buffer);
        if (length == 0) return ModuleNameStatus::NameUnread;
        name.assign(buffer, std::min<std::size_t>(length, sizeof buffer));
        return ModuleNameStatus::Named;
    }

private:
    HMODULE library_;
    EnumProcessesFn enumProcesses_;
    EnumProcessModulesFn enumModules_;
    GetModuleBaseNameFn baseName_;
};

}  // namespace

void PrepareProcess() {
    // Adds to the inherited mode: the system is not to show boxes of its own when the launcher
    // looks at a drive without a disc or a file that is missing.
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    _setmbcp(_MB_CP_ANSI);

    // The launcher runs elevated, often from a folder anybody can write to: a library planted
    // there must never be loaded in its place of a system one.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefault = EntryPoint<SetDefaultDllDirectoriesFn>(kernel, "SetDefaultDllDirectories");
    // A test build can be made to take the path of systems that lack the call.
    if (TestHookSet("fallback-search")) setDefault = nullptr;
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        g_searchFlagsWork = true;
    } else {
        // Older systems: at least take the current directory out of the search. Looked up by
        // name too: Windows 2000 and XP before SP1 lack it, and an import would keep the launcher
        // from loading there at all, instead of refusing those systems as it should.
        using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
        if (auto setDirectory = EntryPoint<SetDllDirectoryFn>(kernel, "SetDllDirectoryA")) {
            setDirectory("");
        }
        // The launcher's folder still comes first for every bare name. Loaded from the system
        // directory now, before anything could ask for them, these libraries are found already
        // loaded whenever system code asks for them by name later; they stay loaded for good.
        for (const char* name : kLibrariesLoadedByName) LoadSystemLibrary(name);
    }
}

std::int32_t Win32Platform::IncrementInstanceCounter() {
    return InterlockedIncrement(&g_instanceCounter);
}

void Win32Platform::ShowMessage(const std::string& text, const std::string& caption) {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

void Win32Platform::InitializeControls() {
    // The first step after the guard: where a test build brings about the faults it is asked for.
    RunTestFaultHook();
    // Reached at run time so that the import table names no library that the system might look
    // for in the launcher's folder first.
    HMODULE comctl = LoadSystemLibrary("comctl32.dll");
    if (!comctl) return;
    using InitCommonControlsFn = void(WINAPI*)();
    if (auto init = EntryPoint<InitCommonControlsFn>(comctl, "InitCommonControls")) init();
    FreeLibrary(comctl);
}

bool Win32Platform::IsLeadByte(unsigned char value) { return IsDBCSLeadByte(value) != FALSE; }

void Win32Platform::UpperCase(std::string& text) {
    if (text.empty()) return;
    _mbsupr(reinterpret_cast<unsigned char*>(&text[0]));
}

namespace {

bool ReadModuleFileName(WideText& wide, DWORD& error) {
    return ReadGrowing(wide, [&error](wchar_t* b, DWORD n) {
        const DWORD length = GetModuleFileNameW(nullptr, b, n);
        if (length == 0) error = GetLastError();
        return length;
    });
}

// The file name of a UTF-16 path: what follows its last backslash.
WideText FileNameOf(const WideText& path) {
    return WideText(std::find(path.rbegin(), path.rend(), L'\\').base(), path.end());
}

}  // namespace

ModulePathStatus Win32Platform::ModuleFileName(std::string& path) {
    // Read in UTF-16 and converted without best fit: the ANSI call would hand back a look-alike
    // for every character the code page lacks (see ToAnsiExactly), and the launcher would build
    // its elevated command lines from a path that is not its own.
    DWORD error = ERROR_SUCCESS;
    WideText wide;
    if (ReadModuleFileName(wide, error)) {
        std::string ansi;
        if (!ToAnsiExactly(wide, ansi)) return ModulePathStatus::NotInCodePage;
        path = std::move(ansi);
        return ModulePathStatus::Ok;
    }
    // The 95/98/Me family has the UTF-16 call only as a stub that fails. Its file names are held
    // in the ANSI code page itself, so there the ANSI call gives them as they are, and the
    // launcher still reaches the refusal it owes those systems.
    if (error != ERROR_CALL_NOT_IMPLEMENTED) return ModulePathStatus::Unreadable;
    std::string ansi;
    if (!ReadGrowing(ansi, [](char* b, DWORD n) { return GetModuleFileNameA(nullptr, b, n); })) {
        return ModulePathStatus::Unreadable;
    }
    path = std::move(ansi);
    return ModulePathStatus::Ok;
}

ModulePathStatus Win32Platform::ModuleShortFileName(std::string& path) {
    DWORD error = ERROR_SUCCESS;
    WideText wide;
    if (!ReadModuleFileName(wide, error)) return ModulePathStatus::Unreadable;
    wide.push_back(L'\0');
    // Where the volume keeps no short names the call hands back the long ones, and the check
    // below finds the same characters the code page lacks: no name at all rather than best fit.
    WideText shortPath;
    if (!ReadGrowing(shortPath, [&wide](wchar_t* b, DWORD n) {
            return GetShortPathNameW(wide.data(), b, n);
        })) {
        return ModulePathStatus::Unreadable;
    }
    std::string ansi;
    if (!ToAnsiExactly(shortPath, ansi)) return ModulePathStatus::NotInCodePage;
    path = std::move(ansi);
    return ModulePathStatus::Ok;
}

bool Win32Platform::SetCurrentDirectory(const std::string& path) {
    return SetCurrentDirectoryA(path.c_str()) != FALSE;
}

bool Win32Platform::WindowsDirectory(std::string& path) {
    return ReadGrowing(path, [](char* b, DWORD n) { return GetWindowsDirectoryA(b, n); });
}

bool Win32Platform::SystemDirectory(std::string& path) {
    path = SystemFolder();
    return !path.empty();
}

bool Win32Platform::AnyFileMatches(const std::string& pattern) {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

bool Win32Platform::CanOpenForReading(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(file);
    return true;
}

bool Win32Platform::CanOpenExclusiveForWriting(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(file);
    return true;
}

bool Win32Platform::CopyFile(const std::string& from, const std::string& to) {
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool Win32Platform::DeleteFile(const std::string& path) {
    return DeleteFileA(path.c_str()) != FALSE;
}

bool Win32Platform::MakeWritable(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
    return SetFileAttributesA(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) != FALSE;
}

bool Win32Platform::WriteFile(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                nullptr) &&
                    written == bytes.size();
    const bool closed = ::CloseHandle(file) != FALSE;
    // A reader must never find half a path: rather no file than a wrong one.
    if (!ok || !closed) DeleteFileA(path.c_str());
    return ok && closed;
}

bool Win32Platform::ProbeLibrary(const std::string& path) {
    // Loaded from exactly this path; its own dependencies may come from beside it.
    HMODULE library = g_searchFlagsWork
        ? LoadLibraryExA(path.c_str(), nullptr,
                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
        : LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) return false;
    FreeLibrary(library);
    return true;
}

bool Win32Platform::ClassesRootKeyExists(const std::string& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, subkey.c_str(), &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool Win32Platform::QueryVersion(bool extended, VersionRecord& record) {
    OSVERSIONINFOEXA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = extended ? sizeof(OSVERSIONINFOEXA) : sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
    record.majorVersion = info.dwMajorVersion;
    record.minorVersion = info.dwMinorVersion;
    record.buildNumber = info.dwBuildNumber;
    record.platformId = info.dwPlatformId;
    if (extended) record.productType = info.wProductType;
    return true;
}

bool Win32Platform::IsWow64Process() {
    // Looked up at run time: systems without WOW64 may lack the entry point.
    HMODULE kernel = LoadLibraryA("Kernel32");
    if (!kernel) return false;
    BOOL answer = FALSE;
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    if (auto query = EntryPoint<IsWow64ProcessFn>(kernel, "IsWow64Process")) {
        query(GetCurrentProcess(), &answer);
    }
    FreeLibrary(kernel);
    return answer != FALSE;
}

std::uint16_t Win32Platform::SystemDefaultLangId() { return GetSystemDefaultLangID(); }

bool Win32Platform::StartProgram(const std::string& program, const std::string& commandLine,
                                 int showCommand) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showCommand);
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    std::string mutableLine = commandLine;  // the call may write into it
    // Not waiting until the program is ready for input: nothing the launcher does next depends
    // on it, and a program without a message loop would hold the launcher up for seconds.
    if (!CreateProcessA(program.c_str(), &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return false;
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return true;
}

void Win32Platform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

bool Win32Platform::HasSnapshotSource() {
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    if (!kernel) return false;
    const bool present = GetProcAddress(kernel, "CreateToolhelp32Snapshot") != nullptr;
    FreeLibrary(kernel);
    return present;
}

SnapshotStatus Win32Platform::SnapshotProcesses(std::vector<ProcessRecord>& records,
                                                ProcessHandle& snapshotHandle) {
    records.clear();
    snapshotHandle = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return SnapshotStatus::SnapshotFailed;
    PROCESSENTRY32 entry;
    ZeroMemory(&entry, sizeof entry);
    entry.dwSize = sizeof entry;
    if (!Process32First(snapshot, &entry)) {
        ::CloseHandle(snapshot);
        return SnapshotStatus::FirstRecordFailed;
    }
    do {
        entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
        records.push_back({static_cast<std::uint32_t>(entry.th32ProcessID), entry.szExeFile});
    } while (Process32Next(snapshot, &entry));
    snapshotHandle = ToHandle(snapshot);
    ::CloseHandle(snapshot);
    return SnapshotStatus::Ok;
}

std::unique_ptr<ModuleSource> Win32Platform::OpenModuleSource() {
    HMODULE psapi = LoadSystemLibrary("PSAPI.DLL");
    if (!psapi) return nullptr;
    auto enumModules =
        EntryPoint<PsapiModuleSource::EnumProcessModulesFn>(psapi, "EnumProcessModules");
    auto baseName = EntryPoint<PsapiModuleSource::GetModuleBaseNameFn>(psapi, "GetModuleBaseNameA");
    auto enumProcesses = EntryPoint<PsapiModuleSource::EnumProcessesFn>(psapi, "EnumProcesses");
    if (!enumModules || !baseName || !enumProcesses) {
        FreeLibrary(psapi);
        return nullptr;
    }
    return std::make_unique<PsapiModuleSource>(psapi, enumProcesses, enumModules, baseName);
}

ProcessHandle Win32Platform::OpenProcess(std::uint32_t id, std::uint32_t access) {
    return ToHandle(::OpenProcess(access, FALSE, id));
}

bool Win32Platform::ProcessImageName(ProcessHandle process, std::string& name) {
    // A test build can be made to fail here, as for an image on a volume without a drive letter.
    if (TestHookSet("image-name-other-way")) return false;
    // Looked up by name: the call exists from Vista on, and the launcher must still load on the
    // older systems it refuses.
    using QueryImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    auto query = EntryPoint<QueryImageNameFn>(GetModuleHandleA("kernel32.dll"),
                                              "QueryFullProcessImageNameW");
    if (!query) return false;
    // The image may lie deeper than MAX_PATH: grow the buffer rather than leave it unnamed.
    WideText path;
    if (!ReadGrowing(path, [&](wchar_t* b, DWORD n) -> DWORD {
            DWORD size = n;
            if (query(FromHandle(process), 0, b, &size)) return size;
            return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? n : 0;
        })) {
        return false;
    }
    // Exactly, or not at all: through the ANSI call a name with, say, a fullwidth letter comes back
    // as its plain look-alike, which must not pass for the name that is to be ended.
    std::string ansi;
    if (!ToAnsiExactly(FileNameOf(path), ansi)) return false;
    name = std::move(ansi);
    return true;
}

bool Win32Platform::ProcessImageNameOtherWay(ProcessHandle process, std::string& name) {
    // The process-status library, looked up by name like all of it. Its image file name is the
    // path in the system's device form (\Device\HarddiskVolume5\...\Q7.exe), which exists whether
    // or not the volume has a drive letter, and whatever the bitness of the process; the first
    // module's base name stands in on systems whose library lacks that call.
    HMODULE psapi = LoadSystemLibrary("PSAPI.DLL");
    if (!psapi) return false;
    using ImageFileNameFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD);
    using BaseNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
    auto imageFileName = EntryPoint<ImageFileNameFn>(psapi, "GetProcessImageFileNameW");
    auto baseName = EntryPoint<BaseNameFn>(psapi, "GetModuleBaseNameW");
    WideText path;
    // Too small a buffer is an error of the first call and a name cut short by the second; either
    // way ReadGrowing tries a larger one.
    const bool read =
        imageFileName
            ? ReadGrowing(path, [&](wchar_t* b, DWORD n) -> DWORD {
                  if (const DWORD length = imageFileName(FromHandle(process), b, n)) return length;
                  return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? n : 0;
              })
            : baseName && ReadGrowing(path, [&](wchar_t* b, DWORD n) {
                  return baseName(FromHandle(process), nullptr, b, n);
              });
    FreeLibrary(psapi);
    std::string ansi;
    if (!read || !ToAnsiExactly(FileNameOf(path), ansi) || ansi.empty()) return false;
    name = std::move(ansi);
    return true;
}

bool Win32Platform::TerminateProcess(ProcessHandle process, std::uint32_t exitCode) {
    return ::TerminateProcess(FromHandle(process), exitCode) != FALSE;
}

void Win32Platform::CloseHandle(ProcessHandle handle) { ::CloseHandle(FromHandle(handle)); }
