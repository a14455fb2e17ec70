/* Lists the running processes, one "<id>\t<executable name>\t<created ms>" line each, so a
 * scenario can tell what was still running at its end and match each process to the stand-ins'
 * records (proc_table.c).
 *
 * ProcList --serve lists the table once for every line read from stdin, each list followed by
 * a line holding only "." ("!" when the table could not be read), until stdin ends: one
 * process answers a scenario's every question, where a new one would take up to a second to
 * start when 32-bit code is emulated. */
#include "proc_table.h"

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc < 2 || strcmp(argv[1], "--serve") != 0)
        return print_process_table("");
    char request[64];
    while (fgets(request, sizeof request, stdin)) {
        fputs(print_process_table("") == 0 ? ".\n" : "!\n", stdout);
        fflush(stdout);
    }
    return 0;
}
