/* The sample disc's programs record what the launcher did to them in one shared log, so a
 * scenario can check it afterwards without watching the programs themselves. */
#ifndef STANDIN_LOG_H
#define STANDIN_LOG_H

/* Appends "<ms since 1970>\t<program>\t<event>\t<detail>\r\n" to %STANDIN_LOG% (default
 * C:\standin.log). CR, LF and TAB inside the fields are written as \r, \n and \t so that
 * one event stays one line. Leaves GetLastError() as it was. */
void standin_log(const char *program, const char *event, const char *detail);

#endif
