/* The process table as Windows lists it, one "<prefix><id>\t<executable name>\t<created ms>"
 * line per process: ProcList prints it alone, WaitReady after its wait, so that a trial learns
 * what is running without starting one more program. */
#ifndef PROC_TABLE_H
#define PROC_TABLE_H

/* Returns 0, or 1 when the system gives no snapshot of its processes. */
int print_process_table(const char *prefix);

#endif
