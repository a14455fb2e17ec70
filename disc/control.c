/* Stand-in for the disc's controls (built once per CONTROL_NAME): self-registration through
 * regsvr32 writes and removes the class key the way a real control does, so the launcher's
 * "already registered?" check sees the effect of its own earlier runs. */
#include <windows.h>
#include <string.h>

#include "standin_log.h"

#define CLASS_KEY "CLSID\\" CONTROL_CLSID
#define SERVER_KEY CLASS_KEY "\\InprocServer32"

static HINSTANCE self;

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        self = inst;
    return TRUE;
}

static void module_path(char *path, DWORD size)
{
    DWORD n = GetModuleFileNameA(self, path, size);
    path[n < size ? n : size - 1] = '\0';
}

static LONG set_string(HKEY key, const char *name, const char *value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)value, (DWORD)strlen(value) + 1);
}

static HRESULT result_of(LONG err)
{
    return err == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32((DWORD)err);
}

__declspec(dllexport) HRESULT WINAPI DllRegisterServer(void)
{
    char path[MAX_PATH];
    module_path(path, sizeof path);
    standin_log_process(CONTROL_NAME);
    standin_log(CONTROL_NAME, "register", path);

    HKEY cls, server;
    LONG err = RegCreateKeyExA(HKEY_CLASSES_ROOT, CLASS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &cls, NULL);
    if (err != ERROR_SUCCESS)
        return result_of(err);
    err = set_string(cls, NULL, CONTROL_NAME);
    if (err == ERROR_SUCCESS)
        err = RegCreateKeyExA(cls, "InprocServer32", 0, NULL, 0, KEY_WRITE, NULL, &server, NULL);
    if (err == ERROR_SUCCESS) {
        err = set_string(server, NULL, path);
        if (err == ERROR_SUCCESS)
            err = set_string(server, "ThreadingModel", "Apartment");
        RegCloseKey(server);
    }
    RegCloseKey(cls);
    return result_of(err);
}

__declspec(dllexport) HRESULT WINAPI DllUnregisterServer(void)
{
    char path[MAX_PATH];
    module_path(path, sizeof path);
    standin_log_process(CONTROL_NAME);
    standin_log(CONTROL_NAME, "unregister", path);

    /* RegDeleteKey refuses keys with subkeys; a key that is already gone is what we want. */
    LONG err = RegDeleteKeyA(HKEY_CLASSES_ROOT, SERVER_KEY);
    if (err == ERROR_SUCCESS || err == ERROR_FILE_NOT_FOUND)
        err = RegDeleteKeyA(HKEY_CLASSES_ROOT, CLASS_KEY);
    return result_of(err == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : err);
}
