/*
 * run.h - the pieces of one run that main strings together: the command
 * line, the banner and usage, the disclaimer and the summary.
 */
#ifndef VKM_RUN_H
#define VKM_RUN_H

struct run_options {
	int help;
	int cleanup;
	int agree;
};

/* Sets the flags of OPTS from ARGV[1..ARGC-1]; unknown arguments are
 * ignored without a message.  Prints nothing. */
void read_options(int argc, char **argv, struct run_options *opts);

void print_banner(void);
void print_usage(void);

/* Shows the disclaimer and waits for Y or N.
 * 1: the user agreed; 0: declined (N, Escape, Ctrl-C, or no console). */
int ask_agreement(void);

/* Runs the folder building, names the places that cannot be read, and
 * runs the six scans, skipping each scan once the user has cancelled. */
void run_scans(void);

/* Prints the summary row that FOUND, FIXED and the mode call for; with
 * UNREAD places not read, it says the system was not fully checked and
 * never that it is clean. */
void print_summary(int found, int fixed, int cleanup, int unread);

/* The whole run; returns the exit status, always 0. */
int run_main(int argc, char **argv);

#endif
