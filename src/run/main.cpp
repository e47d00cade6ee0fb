/*
 * vkm310_cleanup - finds, and on request removes, what a previous or
 * damaged installation of the VKM310 driver package left on a system.
 */
#include "run/run.h"

int
main(int argc, char **argv)
{
	return run_main(argc, argv);
}
