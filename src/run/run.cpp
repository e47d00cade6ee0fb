/*
 * run.cpp - one run of the program: command line, banner, usage,
 * disclaimer, the six scans and the summary.
 */
#include "run/run.h"

#include "backup/backup.h"
#include "build_info.h"
#include "common/ascii.h"
#include "platform/platform.h"
#include "ask/ask.h"
#include "scans/places.h"
#include "scans/scans.h"
#include "scans/targets.h"

struct option_row {
	const char *text;
	int run_options::*flag;
};

static const struct option_row option_rows[] = {
	{ "-f", &run_options::cleanup },
	{ "/f", &run_options::cleanup },
	{ "-y", &run_options::cleanup },
	{ "/y", &run_options::cleanup },
	{ "-agree", &run_options::agree },
	{ "/agree", &run_options::agree },
	{ "-h", &run_options::help },
	{ "/h", &run_options::help },
	{ "/?", &run_options::help },
};

void
read_options(int argc, char **argv, struct run_options *opts)
{
	opts->help = opts->cleanup = opts->agree = 0;
	for (int i = 1; i < argc; i++) {
		for (const struct option_row &row : option_rows) {
			if (ascii_equal(argv[i], row.text))
				opts->*row.flag = 1;
		}
	}
}

void
print_banner(void)
{
	plat_printf("Tarnwick -- VKM310_cleanup\n");
	plat_printf("----------------------------\n");
	plat_printf("Utility to remove any previous or damaged installation of RDX7 PC/SC\n");
	plat_printf("driver (VKM310 packages)\n");
	plat_printf("Build : %s\n", BUILD_DATE);
	plat_printf("(c) Tarnwick 2011\n");
	plat_printf("See www.tarnwick.example for information and updates\n");
	plat_printf("\n");
	plat_printf("\n");
}

void
print_usage(void)
{
	plat_printf("vkm310_cleanup [-f]\n");
	plat_printf("\n");
	plat_printf("  -f : Actually do the cleanup\n");
	plat_printf("       if this flag is not set, the software will show\n");
	plat_printf("       what should be done, without doing anything.\n");
	plat_printf("  -y : Answer yes to all questions\n");
	plat_printf("       (use it with care !)\n");
	plat_printf("\n");
}

static void
print_disclaimer(void)
{
	plat_printf("DISCLAIMER :\n");
	plat_printf("  This software performs automated actions in the Windows\n");
	plat_printf("  including removing keys in system's hive.\n");
	plat_printf("  This software also removes files from the Windows\n");
	plat_printf("  system directories.\n");
	plat_printf("  This may have unpredictable consequence, including fatal\n");
	plat_printf("  damages, onto your operating system\n");
	plat_printf("\n");
	plat_printf("  YOU ARE USING THIS SOFTWARE AT YOUR OWN RISK.\n");
	plat_printf("\n");
	plat_printf("  Tarnwick should not be held responsible nor would be\n");
	plat_printf("  liable for any sort of indirect, accidental, incidental\n");
	plat_printf("  or special damage including lost profits, resources or\n");
	plat_printf("  any material or intellectual asset following the use\n");
	plat_printf("  of this software.\n");
	plat_printf("\n");
	plat_printf("Do you agree with the above statement [Y/N] ? ");
}

int
ask_agreement(void)
{
	print_disclaimer();
	for (;;) {
		int key = read_answer_key();

		if (key == 'Y' || key == 'y') {
			plat_printf("Yes !\n");
			return 1;
		}
		/* No console means nobody agreed: decline rather than wait. */
		if (key == 'N' || key == 'n' || key == 27 || key == 3 || key < 0) {
			plat_printf("No !\n");
			return 0;
		}
	}
}

void
run_scans(void)
{
	static void (*const scans[])(void) = {
		scan_oem_inf_files,
		scan_driver_store,
		scan_uninstall_entries,
		scan_smartcard_class,
		scan_services,
		scan_driver_files,
	};

	build_system_paths();
	check_places();
	for (void (*scan)(void) : scans) {
		if (!is_cancelled())
			scan();
		/* What a scan met and nothing named yet, before what follows. */
		name_links_not_followed();
	}
}

void
print_summary(int found, int fixed, int cleanup, int unread)
{
	if (found == 0 && unread > 0) {
		plat_printf("Nothing found, but %d place(s) could not be read: this system is not known to be clean\n",
		    unread);
		return;
	}
	if (found == 0) {
		plat_printf("Nothing to do, this system is clean !\n");
	} else if (!cleanup) {
		plat_printf("%d item(s) found\n", found);
		plat_printf("You may run \"vkm310_cleanup -f\" for cleanup\n");
	} else if (fixed == found) {
		plat_printf("%d item(s) fixed\n", fixed);
		plat_printf("You must now reboot your system\n");
	} else {
		plat_printf("%d item(s) found, %d fixed\n", found, fixed);
	}
	/* What was found may be fixed, but what was not read may still
	 * hold leftovers. */
	if (found > 0 && unread > 0)
		plat_printf("%d place(s) could not be read: the system was not fully checked\n",
		    unread);
}

int
run_main(int argc, char **argv)
{
	struct run_options opts;
	const char *backup;

	read_options(argc, argv, &opts);
	print_banner();
	if (opts.help) {
		print_usage();
		return 0;
	}
	/* A 32-bit program on 64-bit Windows that cannot turn its file-system
	 * redirection off would see the 32-bit system32 only: it could call a
	 * system clean that is not. */
	if (plat_redirected() > 0) {
		plat_printf("This 32-bit program cannot check 64-bit Windows: run win64\\vkm310_cleanup.exe instead\n");
		return 0;
	}
	/* Read once: every layer works below the folder it names. */
	plat_read_system_root();
	if (check_system_root() <= 0)
		return 0;
	/* Without elevation every removal would be refused, one question
	 * after another: a cleanup stops before asking anything. */
	if (!plat_elevated()) {
		plat_printf("Not elevated: items can be found, but not removed without Run as administrator\n");
		if (opts.cleanup)
			return 0;
	}
	if (opts.cleanup) {
		if (!opts.agree && !ask_agreement())
			return 0;
		g_answer_mode = AskNo;
	}
	run_scans();
	plat_printf("\n");
	print_summary(g_found_count, g_fixed_count, opts.cleanup,
	    g_unread_count);
	if ((backup = backup_of_removals()) != NULL)
		plat_printf("Backup of the removed items: %s\n", backup);
	return 0;
}
