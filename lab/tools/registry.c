#include "registry.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

/* Saving a key asks for the backup privilege, which an administrator holds but has not enabled. */
static void enable_backup_privilege(void)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(NULL, "SeBackupPrivilege", &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    CloseHandle(token);
}

int save_registry(const char *folder)
{
    static const struct {
        HKEY root;
        const char *file;
    } hives[] = {
        {HKEY_LOCAL_MACHINE, "system.reg"},
        {HKEY_CURRENT_USER, "user.reg"},
    };
    if (strlen(folder) > MAX_PATH - 16) {
        fputs("OsProbe: the registry's folder is too long\n", stderr);
        return 0;
    }
    enable_backup_privilege();
    for (size_t i = 0; i < sizeof hives / sizeof hives[0]; ++i) {
        char path[MAX_PATH];
        snprintf(path, sizeof path, "%s\\%s", folder, hives[i].file);
        DeleteFileA(path); /* a key is saved only into a new file */
        LONG rc = RegSaveKeyA(hives[i].root, path, NULL);
        if (rc != ERROR_SUCCESS) {
            fprintf(stderr, "OsProbe: cannot save %s (error %ld)\n", hives[i].file, rc);
            return 0;
        }
    }
    return 1;
}
