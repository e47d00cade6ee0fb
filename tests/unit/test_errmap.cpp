/*
 * test_errmap.cpp - GetLastError codes, and the offline build's Linux
 * errno values, to the errno of the Windows C run-time, its numbers
 * rather than the host's.
 */
#include <gtest/gtest.h>

#include <errno.h>

#include "common/crt_errno.h"
#include "platform/unix/errmap.h"
#include "platform/win/errmap.h"

namespace {

struct err_case {
	unsigned long code;
	int err;
};

const err_case err_cases[] = {
	{ 1, 22 }, { 2, 2 }, { 3, 2 }, { 4, 24 }, { 5, 13 }, { 6, 9 },
	{ 7, 12 }, { 8, 12 }, { 9, 12 }, { 10, 7 }, { 11, 8 }, { 12, 22 },
	{ 13, 22 }, { 15, 2 }, { 16, 13 }, { 17, 18 }, { 18, 2 }, { 33, 13 },
	{ 53, 2 }, { 65, 13 }, { 67, 2 }, { 80, 17 }, { 82, 13 }, { 83, 13 },
	{ 87, 22 }, { 89, 11 }, { 108, 13 }, { 109, 32 }, { 112, 28 },
	{ 114, 9 }, { 128, 10 }, { 129, 10 }, { 130, 9 }, { 132, 13 },
	{ 145, 41 }, { 158, 13 }, { 161, 2 }, { 164, 11 }, { 167, 13 },
	{ 183, 17 }, { 206, 2 }, { 215, 11 }, { 1816, 12 },

	/* Protection and sharing errors, a file in use among them, and a
	 * write fault, whichever layer meets it. */
	{ 19, 13 }, { 20, 13 }, { 29, 13 }, { 32, 13 }, { 36, 13 },
	/* Bad executable formats. */
	{ 188, 8 }, { 193, 8 }, { 202, 8 },

	/* Next to the ranges and the listed codes, and far off: EINVAL. */
	{ 0, 22 }, { 14, 22 }, { 37, 22 }, { 187, 22 }, { 203, 22 },
	{ 110, 22 }, { 1815, 22 }, { 1817, 22 }, { 0xffffffffUL, 22 },
	/* The low 16 bits of an unknown code must not alias a known one. */
	{ 0x10002UL, 22 },
};

void
PrintTo(const err_case &c, std::ostream *os)
{
	*os << "error " << c.code << " -> errno " << c.err;
}

class ErrmapTest : public ::testing::TestWithParam<err_case> {};

TEST_P(ErrmapTest, GivesTheRunTimeErrno)
{
	const err_case &c = GetParam();

	EXPECT_EQ(errno_from_win_error(c.code), c.err) << "code " << c.code;
	/* The registry module's translation, on either system. */
	EXPECT_EQ(crt_errno_of_win_error(c.code), c.err) << "code " << c.code;
}

INSTANTIATE_TEST_SUITE_P(Codes, ErrmapTest, ::testing::ValuesIn(err_cases));

/* Linux errno, then the run-time's: out of memory is 12 as on Windows
 * (one copy of the mapping once said 8, ENOEXEC). */
const int unix_cases[][2] = {
	{ ENOENT, 2 }, { ENOTDIR, 2 }, { ENAMETOOLONG, 2 },
	{ EACCES, 13 }, { EPERM, 13 }, { EROFS, 13 }, { EBUSY, 13 },
	{ ETXTBSY, 13 }, { EISDIR, 13 }, { ENOMEM, 12 }, { EEXIST, 17 },
	{ ENOTEMPTY, 41 }, { EFBIG, 27 }, { ENOSPC, 28 }, { EDQUOT, 28 },
	{ EIO, 22 }, { ELOOP, 22 }, { 0, 22 },
};

TEST(ErrmapTest, LinuxErrnoGivesTheRunTimeErrno)
{
	for (const auto &c : unix_cases)
		EXPECT_EQ(errno_from_unix_error(c[0]), c[1]) << "errno " << c[0];
}

}
