/* The lab's log: the sample disc's programs record what the launcher did to them in one shared
 * log, so a scenario can check it afterwards without watching the programs themselves, and the
 * lab's box watcher records each message box it answers in a log of the same form. */
#ifndef STANDIN_LOG_H
#define STANDIN_LOG_H

/* Appends one line to %STANDIN_LOG% (default C:\standin.log; "-" for the standard output):
 *
 *   <ms>\t<program>\t<event>\t<detail>\t<pid>\t<created ms>\t<error mode>\t<current directory>\r\n
 *
 * <ms> is the wall clock when the line is written; <created ms> is the time the system gave
 * this process when it was created (by whoever started it), on the same clock, both in
 * milliseconds since 1970. Comparing creation times measures what the starting program did,
 * free of how long this process then took to get going. <error mode> (hexadecimal) and the
 * current directory are what this process inherited, or was given, as the line is written.
 * CR, LF and TAB inside the text fields are written as \r, \n and \t so that one event stays
 * one line. Leaves GetLastError() and the error mode as they were. */
void standin_log(const char *program, const char *event, const char *detail);

/* Appends the record "process" with the detail <image path>\x1f<command line> of this process:
 * which program file runs and the command line exactly as it was received. A control calls it
 * from inside the regsvr32 that registers it, so the log holds that tool's command line too. */
void standin_log_process(const char *program);

#endif
