#include "kit/CheckSystemDlls.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// In the system directory of every Windows 7 and later, 32-bit and 64-bit client editions alike
// (for a 32-bit program on 64-bit Windows: in SysWOW64). Lower case, sorted.
constexpr const char* kSystemLibraries[] = {
    "activeds.dll",   "advapi32.dll", "advpack.dll",  "authz.dll",         "avifil32.dll",
    "bcrypt.dll",     "cabinet.dll",  "cfgmgr32.dll", "comctl32.dll",      "comdlg32.dll",
    "credui.dll",     "crypt32.dll",  "cryptnet.dll", "cryptsp.dll",       "cryptui.dll",
    "d2d1.dll",       "d3d10.dll",    "d3d10_1.dll",  "d3d11.dll",         "d3d9.dll",
    "ddraw.dll",      "dhcpcsvc.dll", "dinput.dll",   "dinput8.dll",       "dnsapi.dll",
    "dsound.dll",     "dwmapi.dll",   "dwrite.dll",   "dxgi.dll",          "gdi32.dll",
    "gdiplus.dll",    "glu32.dll",    "hid.dll",      "httpapi.dll",       "ieframe.dll",
    "iertutil.dll",   "imagehlp.dll", "imm32.dll",    "iphlpapi.dll",      "kernel32.dll",
    "kernelbase.dll", "ktmw32.dll",   "lz32.dll",     "mapi32.dll",        "mfc42.dll",
    "mfc42u.dll",     "mlang.dll",    "mpr.dll",      "msacm32.dll",       "mscoree.dll",
    "msctf.dll",      "msftedit.dll", "mshtml.dll",   "msi.dll",           "msimg32.dll",
    "msvcp60.dll",    "msvcrt.dll",   "msvfw32.dll",  "mswsock.dll",       "ncrypt.dll",
    "netapi32.dll",   "newdev.dll",   "normaliz.dll", "ntdll.dll",         "ntdsapi.dll",
    "odbc32.dll",     "ole32.dll",    "oleacc.dll",   "oleaut32.dll",      "oledlg.dll",
    "olepro32.dll",   "opengl32.dll", "pdh.dll",      "powrprof.dll",      "propsys.dll",
    "psapi.dll",      "rasapi32.dll", "riched20.dll", "riched32.dll",      "rpcrt4.dll",
    "secur32.dll",    "sensapi.dll",  "setupapi.dll", "sfc.dll",           "shdocvw.dll",
    "shell32.dll",    "shfolder.dll", "shlwapi.dll",  "sspicli.dll",       "tapi32.dll",
    "urlmon.dll",     "user32.dll",   "userenv.dll",  "usp10.dll",         "uxtheme.dll",
    "version.dll",    "wer.dll",      "wevtapi.dll",  "windowscodecs.dll", "winhttp.dll",
    "wininet.dll",    "winmm.dll",    "winscard.dll", "winspool.drv",      "wintrust.dll",
    "wldap32.dll",    "ws2_32.dll",   "wsock32.dll",  "wtsapi32.dll",      "xmllite.dll"};

// The API sets Windows 7 already resolves (later systems resolve these and more).
constexpr const char* kApiSets[] = {"api-ms-win-core-console-l1-1-0.dll",
                                    "api-ms-win-core-datetime-l1-1-0.dll",
                                    "api-ms-win-core-debug-l1-1-0.dll",
                                    "api-ms-win-core-delayload-l1-1-0.dll",
                                    "api-ms-win-core-errorhandling-l1-1-0.dll",
                                    "api-ms-win-core-fibers-l1-1-0.dll",
                                    "api-ms-win-core-file-l1-1-0.dll",
                                    "api-ms-win-core-handle-l1-1-0.dll",
                                    "api-ms-win-core-heap-l1-1-0.dll",
                                    "api-ms-win-core-interlocked-l1-1-0.dll",
                                    "api-ms-win-core-io-l1-1-0.dll",
                                    "api-ms-win-core-libraryloader-l1-1-0.dll",
                                    "api-ms-win-core-localization-l1-1-0.dll",
                                    "api-ms-win-core-localregistry-l1-1-0.dll",
                                    "api-ms-win-core-memory-l1-1-0.dll",
                                    "api-ms-win-core-misc-l1-1-0.dll",
                                    "api-ms-win-core-namedpipe-l1-1-0.dll",
                                    "api-ms-win-core-processenvironment-l1-1-0.dll",
                                    "api-ms-win-core-processthreads-l1-1-0.dll",
                                    "api-ms-win-core-profile-l1-1-0.dll",
                                    "api-ms-win-core-rtlsupport-l1-1-0.dll",
                                    "api-ms-win-core-string-l1-1-0.dll",
                                    "api-ms-win-core-synch-l1-1-0.dll",
                                    "api-ms-win-core-sysinfo-l1-1-0.dll",
                                    "api-ms-win-core-threadpool-l1-1-0.dll",
                                    "api-ms-win-core-util-l1-1-0.dll",
                                    "api-ms-win-core-xstate-l1-1-0.dll",
                                    "api-ms-win-security-base-l1-1-0.dll",
                                    "api-ms-win-security-lsalookup-l1-1-0.dll",
                                    "api-ms-win-security-sddl-l1-1-0.dll",
                                    "api-ms-win-service-core-l1-1-0.dll",
                                    "api-ms-win-service-management-l1-1-0.dll",
                                    "api-ms-win-service-management-l2-1-0.dll",
                                    "api-ms-win-service-winsvc-l1-1-0.dll"};

std::string Lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

template <std::size_t N>
bool Listed(const char* const (&table)[N], const std::string& name) {
    return std::find_if(std::begin(table), std::end(table),
                        [&](const char* entry) { return name == entry; }) != std::end(table);
}

}  // namespace

bool IsSystemLibrary(const std::string& dllName) {
    const std::string name = Lower(dllName);
    return Listed(kSystemLibraries, name) || Listed(kApiSets, name);
}

std::string MissingLibraryHint(const std::string& dllName) {
    const std::string name = Lower(dllName);
    if (StartsWith(name, "api-ms-win-crt-") || name == "ucrtbase.dll") {
        return "part of the Universal C Runtime, which Windows 7 and 8 have only after an update";
    }
    if (StartsWith(name, "api-ms-win-") || StartsWith(name, "ext-ms-win-")) {
        return "an API set that Windows 7 does not resolve";
    }
    if (StartsWith(name, "msvcr") || StartsWith(name, "msvcp") || StartsWith(name, "vcruntime") ||
        StartsWith(name, "mfc") || StartsWith(name, "libgcc_s") || StartsWith(name, "libstdc++") ||
        StartsWith(name, "libwinpthread")) {
        return "a compiler's run-time library, which Windows does not ship: put it beside the "
               "program or link the runtime statically";
    }
    return std::string();
}
