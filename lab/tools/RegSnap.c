/* Saves the registry as Wine's server holds it, in the server's own file format (the one the
 * prefix's system.reg, user.reg and userdef.reg are written in when the server ends), so that a
 * trial can read the registry before the launcher runs without ending Wine and starting it again.
 * Usage: RegSnap folder   -- writes folder\system.reg and folder\user.reg
 * Exit code 0, or 2 (usage), 4 (a key cannot be saved). */
#include <windows.h>
#include <stdio.h>

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

int main(int argc, char **argv)
{
    if (argc != 2 || strlen(argv[1]) > MAX_PATH - 16) {
        fputs("usage: RegSnap folder\n", stderr);
        return 2;
    }
    static const struct {
        HKEY root;
        const char *file;
    } hives[] = {
        {HKEY_LOCAL_MACHINE, "system.reg"},
        {HKEY_CURRENT_USER, "user.reg"},
    };
    enable_backup_privilege();
    for (size_t i = 0; i < sizeof hives / sizeof hives[0]; ++i) {
        char path[MAX_PATH];
        snprintf(path, sizeof path, "%s\\%s", argv[1], hives[i].file);
        DeleteFileA(path); /* the key is saved only into a new file */
        LONG rc = RegSaveKeyA(hives[i].root, path, NULL);
        if (rc != ERROR_SUCCESS) {
            fprintf(stderr, "RegSnap: cannot save %s (error %ld)\n", hives[i].file, rc);
            return 4;
        }
    }
    return 0;
}
