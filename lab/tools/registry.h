/* The registry as Wine's server holds it, saved in the format the server writes the prefix's own
 * registry files in when it ends (system.reg, user.reg), so that a trial reads the registry
 * before the launcher runs as it reads it after, without ending Wine in between. */
#ifndef REGISTRY_H
#define REGISTRY_H

/* Writes folder\system.reg and folder\user.reg; nonzero when both were saved. */
int save_registry(const char *folder);

#endif
