/*
 * system_root.cpp - the Windows folder of the system a run checks, as
 * SystemRoot names it: read once, when the run starts, and kept, so that
 * every layer works below the same folder however the environment
 * changes afterwards.  Shared by both systems.
 */
#include "platform/platform.h"

/* Room for any path a Linux system takes (PATH_MAX). */
#define ROOT_BUF 4096

static char g_root[ROOT_BUF];
static int g_read;

int
plat_read_system_root(void)
{
	g_read = plat_getenv("SystemRoot", g_root, sizeof(g_root));
	if (g_read == 1 && g_root[0] == '\0')
		g_read = 0;
	if (g_read != 1)
		g_root[0] = '\0';
	return g_read;
}

const char *
plat_system_root(int *read)
{
	if (read != NULL)
		*read = g_read;
	return g_root;
}
