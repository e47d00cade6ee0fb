// The Linux platform layer against a real file system: path resolution,
// text-mode reading, deleting files and folder trees with Windows' errno
// numbers, and environment look-up.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

extern char **environ;

namespace {

int
remove_one(const char *path, const struct stat *, int, struct FTW *)
{
	return remove(path) == 0 ? 0 : -1;
}

// A fresh folder under /tmp for each test, removed afterwards.
class TempTree : public ::testing::Test {
public:
	std::string root;

	void SetUp() override
	{
		char tmpl[] = "/tmp/vkm_unit_XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		root = tmpl;
	}

	void TearDown() override
	{
		if (!root.empty())
			nftw(root.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
	}

	std::string at(const std::string &rel) const
	{
		return rel.empty() ? root : root + "/" + rel;
	}

	void mkdirs(const std::string &rel) const
	{
		std::string p = root;
		size_t i = 0;
		while (i < rel.size()) {
			size_t j = rel.find('/', i);
			if (j == std::string::npos)
				j = rel.size();
			p += "/" + rel.substr(i, j - i);
			ASSERT_TRUE(mkdir(p.c_str(), 0755) == 0 || errno == EEXIST)
			    << p;
			i = j + 1;
		}
	}

	void put(const std::string &rel, const std::string &data,
	    mode_t mode = 0644) const
	{
		size_t slash = rel.rfind('/');
		if (slash != std::string::npos)
			mkdirs(rel.substr(0, slash));
		FILE *f = fopen(at(rel).c_str(), "wb");
		ASSERT_NE(f, nullptr) << rel;
		ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
		ASSERT_EQ(fclose(f), 0);
		ASSERT_EQ(chmod(at(rel).c_str(), mode), 0);
	}

	void link(const std::string &target, const std::string &rel) const
	{
		ASSERT_EQ(symlink(target.c_str(), at(rel).c_str()), 0) << rel;
	}

	bool exists(const std::string &rel) const
	{
		struct stat st;
		return lstat(at(rel).c_str(), &st) == 0;
	}
};

std::string
backslashed(std::string s)
{
	for (char &c : s)
		if (c == '/')
			c = '\\';
	return s;
}

// Replaces every "%T" in S with ROOT.
std::string
with_root(std::string s, const std::string &root)
{
	for (size_t i; (i = s.find("%T")) != std::string::npos;)
		s.replace(i, 2, root);
	return s;
}

int
open_fd_count(void)
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	if (d == NULL)
		return -1;
	while (readdir(d) != NULL)
		n++;
	closedir(d);
	return n;
}

/* winpath_resolve */

/* The folder that the next look at it swaps for a link to itself, moved
 * aside: what an attacker can do between the resolver's look at a name
 * and its open of it. */
const char *g_swap_name;

int
swap_after_look(int dirfd, const char *name, struct stat *st, int flags)
{
	int r = fstatat(dirfd, name, st, flags);
	std::string moved;

	if (r == 0 && g_swap_name != NULL && strcmp(name, g_swap_name) == 0) {
		moved = std::string(name) + ".moved";
		g_swap_name = NULL;
		if (renameat(dirfd, name, dirfd, moved.c_str()) != 0 ||
		    symlinkat(moved.c_str(), dirfd, name) != 0)
			ADD_FAILURE() << "cannot swap " << name;
	}
	return r;
}

class WinPath : public TempTree {
protected:
	void SetUp() override
	{
		TempTree::SetUp();
		put("Windows/System32/drivers/TARNWICKREADER.SYS", "x");
		put("Windows/INF/oem12.inf", "x");
		put("Pair/Name.txt", "x");
		put("Pair/NAME.TXT", "x");
		put("\xc3\x84" "b", "x");	// "Äb"
		link("System32", "Windows/Sys64");
		link("nowhere", "Windows/Dangling");
		// Links leading off the disk, at every level below the
		// Windows folder, and one that is the Windows folder.
		put("Outside/vkm310.sys", "x");
		put("Outside/config/SYSTEM", "x");
		mkdirs("Windows/LastGood/System32");
		link(root + "/Outside", "Windows/System32/DRVSTORE");
		link(root + "/Outside", "Windows/LastGood/System32/drivers");
		link(root + "/Outside", "Windows/System32/Config");
		link(root + "/Outside", "Windows/Inf2");
		link("Windows", "WinLink");
		link(root + "/Outside", "WinOut");
		link(root + "/Windows/System32", "WinOut/System32");
	}

	void TearDown() override
	{
		unsetenv("SystemRoot");
		plat_read_system_root();
		TempTree::TearDown();
	}
};

TEST_F(WinPath, ResolvesTable)
{
	struct {
		const char *path;	// "%T" is the test folder
		int result;
		const char *out;
		const char *told = "";	// the link this look hands out
		const char *system_root = "%T/Windows";
		// A folder of that name is swapped for a link to itself,
		// moved aside, right after the resolver's look at it.
		const char *swap = NULL;
	} const cases[] = {
		{ "%T/Windows/System32/drivers/TARNWICKREADER.SYS", 1,
		    "%T/Windows/System32/drivers/TARNWICKREADER.SYS" },
		{ "%T/windows/system32/drivers\\tarnwickreader.sys", 1,
		    "%T/Windows/System32/drivers/TARNWICKREADER.SYS" },
		{ "%T\\WINDOWS\\INF\\OEM12.INF", 1, "%T/Windows/INF/oem12.inf" },
		{ "%T/windows/system32/drivers/nothere.sys", 0,
		    "%T/Windows/System32/drivers/nothere.sys" },
		{ "%T/windows/NoDir/Drivers/X.sys", 0,
		    "%T/Windows/NoDir/Drivers/X.sys" },
		{ "%T/windows/inf/oem12.inf/below", 0,
		    "%T/Windows/INF/oem12.inf/below" },
		{ "%T/windows/system32\\", 1, "%T/Windows/System32" },
		{ "%T/windows\\\\system32//drivers", 1,
		    "%T/Windows/System32/drivers" },
		// A link is there as an entry, but no folder is entered
		// through one, whether the path is below SystemRoot or not.
		{ "%T/Windows/SYS64/DRIVERS/tarnwickreader.sys", 0,
		    "%T/Windows/Sys64/DRIVERS/tarnwickreader.sys",
		    "%T/Windows/Sys64" },
		{ "%T/windows/SYS64/DRIVERS/tarnwickreader.sys", 0,
		    "%T/Windows/Sys64/DRIVERS/tarnwickreader.sys" },
		{ "%T/windows/sys64", 1, "%T/Windows/Sys64" },
		{ "%T/windows/DANGLING", 1, "%T/Windows/Dangling" },
		{ "%T/Windows/system32/drvstore\\vkm310", 0,
		    "%T/Windows/System32/DRVSTORE/vkm310",
		    "%T/Windows/System32/DRVSTORE" },
		{ "%T/Windows/system32/drvstore", 1,
		    "%T/Windows/System32/DRVSTORE" },
		{ "%T/Windows\\LastGood\\system32\\drivers\\vkm310.sys", 0,
		    "%T/Windows/LastGood/System32/drivers/vkm310.sys",
		    "%T/Windows/LastGood/System32/drivers" },
		{ "%T/Windows\\System32\\config\\SYSTEM", 0,
		    "%T/Windows/System32/Config/SYSTEM",
		    "%T/Windows/System32/Config" },
		{ "%T/Windows\\inf2\\vkm310.sys", 0, "%T/Windows/Inf2/vkm310.sys",
		    "%T/Windows/Inf2" },
		// Named once a run.
		{ "%T/Windows\\inf2\\oem1.inf", 0, "%T/Windows/Inf2/oem1.inf" },
		// SystemRoot is the user's word, link or not; the folders
		// below it are not.
		{ "%T/WinLink\\system32\\drivers\\tarnwickreader.sys", 1,
		    "%T/WinLink/System32/drivers/TARNWICKREADER.SYS", "",
		    "%T/WinLink" },
		{ "%T/WinOut\\system32\\drivers\\tarnwickreader.sys", 0,
		    "%T/WinOut/System32/drivers/tarnwickreader.sys",
		    "%T/WinOut/System32",
		    "%T/WinOut" },
		{ "%T/WinLink/", 1, "%T/WinLink", "", "%T/WinLink" },
		{ "%T/WinLink/system32", 0, "%T/WinLink/system32",
		    "%T/WinLink" },
		// ".." would climb out of the folder.
		{ "%T/windows/system32/../inf/OEM12.inf", 0,
		    "%T/Windows/System32/../inf/OEM12.inf" },
		{ "%T/Windows/..", 0, "%T/Windows/.." },
		{ "%T/Pair/Name.txt", 1, "%T/Pair/Name.txt" },
		{ "%T/pair/name.txt", 1, "%T/Pair/NAME.TXT" },
		// Only ASCII letters fold.
		{ "%T/\xc3\x84" "B", 1, "%T/\xc3\x84" "b" },
		{ "%T/\xc3\xa4" "b", 0, "%T/\xc3\xa4" "b" },
		{ "\\", 1, "/" },
		// The folder found is opened, not whatever its name leads to
		// by the time of the open.
		{ "%T/Windows/System32/DRIVERS/tarnwickreader.sys", 0,
		    "%T/Windows/System32/drivers/tarnwickreader.sys",
		    "%T/Windows/System32/drivers",
		    "%T/Windows", "drivers" },
	};

	for (const auto &c : cases) {
		std::string path = with_root(c.path, root);
		std::string want = with_root(c.out, root);
		char out[PATH_MAX];

		SCOPED_TRACE(path);
		ASSERT_EQ(setenv("SystemRoot", with_root(c.system_root,
		    root).c_str(), 1), 0);
		plat_read_system_root();
		memset(out, '#', sizeof(out));
		winpath_forget();
		g_swap_name = c.swap;
		ASSERT_EQ(sys_call_set("fstatat", (void (*)(void))
		    swap_after_look), 1);
		EXPECT_EQ(winpath_resolve(path.c_str(), out, sizeof(out)),
		    c.result);
		sys_call_set("fstatat", NULL);
		EXPECT_EQ(g_swap_name, nullptr) << "no look at " << c.swap;
		EXPECT_EQ(std::string(out), want);
		char told[PATH_MAX] = "";
		plat_link_not_followed(told, sizeof(told));
		EXPECT_EQ(std::string(told), with_root(c.told, root));
		EXPECT_EQ(plat_link_not_followed(told, sizeof(told)), 0);
	}
	// The test folder itself written with backslashes only.
	char out[PATH_MAX];
	EXPECT_EQ(winpath_resolve(backslashed(root + "/WINDOWS").c_str(), out,
	    sizeof(out)), 1);
	EXPECT_EQ(std::string(out), root + "/Windows");
}

TEST_F(WinPath, RelativeToCurrentFolder)
{
	char saved[PATH_MAX], out[PATH_MAX];
	struct {
		const char *path;
		int result;
		const char *out;
	} const cases[] = {
		{ "windows\\inf\\OEM12.INF", 1, "Windows/INF/oem12.inf" },
		{ ".\\windows", 1, "./Windows" },
		{ "PAIR", 1, "Pair" },
		{ "nothing\\here", 0, "nothing/here" },
	};

	ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
	ASSERT_EQ(chdir(root.c_str()), 0);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.path);
		EXPECT_EQ(winpath_resolve(c.path, out, sizeof(out)), c.result);
		EXPECT_STREQ(out, c.out);
	}
	ASSERT_EQ(chdir(saved), 0);
}

TEST_F(WinPath, OutputSizeAndBadInput)
{
	std::string want = root + "/Windows/INF/oem12.inf";
	std::string path = root + "/windows/inf/OEM12.INF";
	std::vector<char> out(want.size() + 1);

	EXPECT_EQ(winpath_resolve(path.c_str(), out.data(), out.size()), 1);
	EXPECT_EQ(std::string(out.data()), want);
	EXPECT_EQ(winpath_resolve(path.c_str(), out.data(), out.size() - 1),
	    -1);
	// The missing rest must fit too.
	std::string missing = root + "/windows/" + std::string(40, 'z');
	std::vector<char> small(root.size() + 20);
	EXPECT_EQ(winpath_resolve(missing.c_str(), small.data(), small.size()),
	    -1);

	char buf[8];
	EXPECT_EQ(winpath_resolve("", buf, sizeof(buf)), -1);
	EXPECT_EQ(winpath_resolve(NULL, buf, sizeof(buf)), -1);
	EXPECT_EQ(winpath_resolve("\\", buf, 1), -1);
	EXPECT_EQ(winpath_resolve("ab", buf, 2), -1);
	EXPECT_EQ(winpath_resolve("\\", buf, 2), 1);
	EXPECT_STREQ(buf, "/");
}

/* plat_fopen, plat_fread, plat_fclose */

// Every byte plat_fread hands out, CHUNK at a time, until it answers 0,
// and whether it keeps answering 0 afterwards.
std::string
read_all(plat_file *f, int chunk, bool *stays_at_end)
{
	std::string bytes;
	std::vector<char> buf((size_t)chunk + 1, '#');

	for (int guard = 0; guard < 100000; guard++) {
		int r = plat_fread(buf.data(), chunk, f);
		if (r <= 0) {
			EXPECT_EQ(r, 0);
			break;
		}
		EXPECT_LE(r, chunk);
		bytes.append(buf.data(), (size_t)r);
	}
	EXPECT_EQ(buf[(size_t)chunk], '#') << "read past the chunk";
	*stays_at_end = plat_fread(buf.data(), chunk, f) == 0 &&
	    plat_fread(buf.data(), chunk, f) == 0;
	return bytes;
}

using Files = TempTree;

TEST_F(Files, ReadsTable)
{
	const std::string x4095(4095, 'x');
	struct {
		const char *name;
		std::string data;
		int chunk;
		std::string want;
		const char *opened = "f.txt";
	} const cases[] = {
		// Is there, but what it names is not read.
		{ "a link to a file reads as empty", "a\nb\n", 64, "",
		    "link.txt" },
		{ "a link in any case", "a\nb\n", 64, "", "LINK.TXT" },
		{ "bytes as stored", std::string("a\r\nb\x1a" "c\r\n\0d", 10),
		    64, std::string("a\r\nb\x1a" "c\r\n\0d", 10) },
		{ "empty file", "", 64, "" },
		{ "in small pieces across the read buffer", x4095 + "\r\ny", 7,
		    x4095 + "\r\ny" },
		{ "in one piece larger than the read buffer", x4095 + "\r\ny",
		    8192, x4095 + "\r\ny" },
	};

	link(root + "/f.txt", "link.txt");
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		put("f.txt", c.data);
		plat_file *f = plat_fopen(at(c.opened).c_str());
		ASSERT_NE(f, nullptr);
		bool stays = false;
		EXPECT_EQ(read_all(f, c.chunk, &stays), c.want);
		EXPECT_TRUE(stays);
		plat_fclose(f);
	}
}

TEST_F(Files, OpenRefusesTable)
{
	put("Dir/file.txt", "keep\n");
	link(root + "/Dir", "Via");
	mkdirs("Folder");
	ASSERT_EQ(mkfifo(at("pipe").c_str(), 0644), 0);
	struct {
		const char *name;
		std::string path;
		int err;
	} const cases[] = {
		{ "folder", at("Folder"), 13 },
		{ "folder other case", at("FOLDER"), 13 },
		{ "missing file", at("Dir/none.txt"), 2 },
		{ "missing folder", at("None/file.txt"), 2 },
		{ "through a linked folder", at("Via/file.txt"), 2 },
		{ "FIFO", at("pipe"), 13 },
		{ "empty path", "", 2 },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		errno = 0;
		plat_file *f = plat_fopen(c.path.c_str());
		EXPECT_EQ(f, nullptr);
		EXPECT_EQ(errno, c.err);
		if (f != nullptr)
			plat_fclose(f);
	}
}

TEST_F(Files, WindowsPathAnyCase)
{
	put("Windows/INF/OEM7.INF", "[Version]\r\n");
	std::string path = backslashed(root) + "\\windows\\inf\\oem7.inf";
	plat_file *f = plat_fopen(path.c_str());
	ASSERT_NE(f, nullptr);
	char buf[64];
	EXPECT_EQ(plat_fread(buf, sizeof(buf), f), 11);
	EXPECT_EQ(std::string(buf, 11), "[Version]\r\n");
	plat_fclose(f);
}

TEST_F(Files, TwoFilesAtOnceKeepTheirOwnPlace)
{
	put("a.txt", "a1a2");
	put("b.txt", "b1b2");
	plat_file *a = plat_fopen(at("a.txt").c_str());
	plat_file *b = plat_fopen(at("b.txt").c_str());
	ASSERT_NE(a, nullptr);
	ASSERT_NE(b, nullptr);
	ASSERT_NE(a, b);
	char buf[16];
	struct {
		plat_file *f;
		const char *bytes;
	} const steps[] = {
		{ a, "a1" }, { b, "b1" }, { b, "b2" }, { a, "a2" },
	};
	for (const auto &s : steps) {
		EXPECT_EQ(plat_fread(buf, 2, s.f), 2);
		EXPECT_EQ(std::string(buf, 2), s.bytes);
	}
	EXPECT_EQ(plat_fread(buf, sizeof(buf), a), 0);
	plat_fclose(a);
	EXPECT_EQ(plat_fread(buf, sizeof(buf), b), 0);
	plat_fclose(b);
}

TEST_F(Files, NoLeakOnAnyPath)
{
	put("f.txt", "line\n");
	mkdirs("Folder");
	// The resolver holds the folder of the last path open, on purpose:
	// count without it.
	winpath_forget();
	int before = open_fd_count();
	ASSERT_GT(before, 0);

	for (int i = 0; i < 500; i++) {
		plat_file *f = plat_fopen(at("f.txt").c_str());
		ASSERT_NE(f, nullptr) << "open " << i;
		plat_fclose(f);
		ASSERT_EQ(plat_fopen(at("Folder").c_str()), nullptr);
		ASSERT_EQ(plat_fopen(at("none").c_str()), nullptr);
	}
	winpath_forget();
	EXPECT_EQ(open_fd_count(), before);

	// Holding files until none more opens fails cleanly, and closing
	// them gives every slot back.
	std::vector<plat_file *> held;
	plat_file *f;
	while (held.size() < 64 &&
	    (f = plat_fopen(at("f.txt").c_str())) != nullptr)
		held.push_back(f);
	EXPECT_GE(held.size(), 2u);
	EXPECT_LT(held.size(), 64u);
	for (plat_file *h : held)
		plat_fclose(h);
	winpath_forget();
	EXPECT_EQ(open_fd_count(), before);
	f = plat_fopen(at("f.txt").c_str());
	ASSERT_NE(f, nullptr);
	plat_fclose(f);
}

TEST_F(Files, BadArguments)
{
	put("f.txt", "abc\n");
	char buf[8] = "zzz";

	EXPECT_EQ(plat_fread(buf, sizeof(buf), NULL), -1);
	plat_fclose(NULL);

	plat_file *f = plat_fopen(at("f.txt").c_str());
	ASSERT_NE(f, nullptr);
	EXPECT_EQ(plat_fread(buf, 0, f), -1);
	EXPECT_EQ(plat_fread(NULL, 8, f), -1);
	EXPECT_STREQ(buf, "zzz");
	// Nothing was taken from the file by those calls.
	EXPECT_EQ(plat_fread(buf, sizeof(buf), f), 4);
	EXPECT_EQ(std::string(buf, 4), "abc\n");
	plat_fclose(f);
	EXPECT_EQ(plat_fopen(NULL), nullptr);
}

/* plat_file_present and plat_remove_file */

TEST_F(Files, RemoveTable)
{
	struct {
		const char *name;
		void (*setup)(const TempTree &t);
		const char *path;	// relative to the test folder
		int present;		// plat_file_present before
		int result;
		int err;		// errno when RESULT is -1
		std::vector<const char *> gone;
		std::vector<const char *> kept;
	} const cases[] = {
		{ "file", [](const TempTree &t) { t.put("a.sys", "x"); },
		    "a.sys", 1, 0, 0, { "a.sys" }, {} },
		{ "file in other case, backslashes",
		    [](const TempTree &t) { t.put("Drv/TARNWICK.SYS", "x"); },
		    "drv\\tarnwick.sys", 1, 0, 0, { "Drv/TARNWICK.SYS" },
		    { "Drv" } },
		{ "missing file", [](const TempTree &t) { t.mkdirs("Drv"); },
		    "Drv/none.sys", 0, -1, 2, {}, { "Drv" } },
		{ "missing folder", [](const TempTree &) {},
		    "NoDir/none.sys", 0, -1, 2, {}, {} },
		{ "a file as folder", [](const TempTree &t) {
			t.put("f.txt", "x"); },
		    "f.txt\\x", 0, -1, 2, {}, { "f.txt" } },
		{ "folder", [](const TempTree &t) { t.put("Dir/in.txt", "x"); },
		    "dir", 0, -1, 13, {}, { "Dir", "Dir/in.txt" } },
		{ "empty folder", [](const TempTree &t) { t.mkdirs("Empty"); },
		    "Empty", 0, -1, 13, {}, { "Empty" } },
		{ "read-only file", [](const TempTree &t) {
			t.put("ro.sys", "x", 0444); },
		    "RO.SYS", 1, -1, 13, {}, { "ro.sys" } },
		{ "no permission bits at all", [](const TempTree &t) {
			t.put("none.sys", "x", 0); },
		    "none.sys", 1, -1, 13, {}, { "none.sys" } },
		{ "writable by owner only", [](const TempTree &t) {
			t.put("w.sys", "x", 0200); },
		    "w.sys", 1, 0, 0, { "w.sys" }, {} },
		{ "link to a file", [](const TempTree &t) {
			t.put("target.sys", "x");
			t.link("target.sys", "link.sys"); },
		    "LINK.sys", 1, 0, 0, { "link.sys" }, { "target.sys" } },
		{ "link to a read-only file", [](const TempTree &t) {
			t.put("target.sys", "x", 0444);
			t.link("target.sys", "link.sys"); },
		    "link.sys", 1, 0, 0, { "link.sys" }, { "target.sys" } },
		{ "link to a folder", [](const TempTree &t) {
			t.put("Dir/in.txt", "x");
			t.link("Dir", "dirlink"); },
		    "dirlink", 1, 0, 0, { "dirlink" }, { "Dir", "Dir/in.txt" } },
		{ "dangling link", [](const TempTree &t) {
			t.link("nowhere", "dangling"); },
		    "DANGLING", 1, 0, 0, { "dangling" }, {} },
		{ "no file through a linked folder", [](const TempTree &t) {
			t.put("Real/f.sys", "x");
			t.link("Real", "Via"); },
		    "via/F.SYS", 0, -1, 2, {}, { "Via", "Real/f.sys" } },
		{ "FIFO", [](const TempTree &t) {
			ASSERT_EQ(mkfifo(t.at("fifo.sys").c_str(), 0644), 0); },
		    "FIFO.sys", 1, 0, 0, { "fifo.sys" }, {} },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		TearDown();
		SetUp();
		c.setup(*this);
		/* Whatever is not a folder is there, readable or not. */
		EXPECT_EQ(plat_file_present((root + "/" + c.path).c_str()),
		    c.present);
		errno = 0;
		/* Deleted is 1, nothing there 0 (errno 2), else -1. */
		int r = plat_remove_file((root + "/" + c.path).c_str());
		EXPECT_EQ(r, c.result == 0 ? 1 : c.err == 2 ? 0 : -1);
		if (c.result == -1) {
			EXPECT_EQ(errno, c.err);
		}
		for (const char *g : c.gone)
			EXPECT_FALSE(exists(g)) << g;
		for (const char *k : c.kept)
			EXPECT_TRUE(exists(k)) << k;
	}
}

TEST_F(Files, RemoveBadPaths)
{
	struct {
		const char *name;
		std::string path;
	} const cases[] = {
		{ "empty", "" },
		{ "longer than any path", root + "/" + std::string(5000, 'a') },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		errno = 0;
		EXPECT_EQ(plat_remove_file(c.path.c_str()), 0);
		EXPECT_EQ(errno, 2);
	}
	errno = 0;
	EXPECT_EQ(plat_remove_file(NULL), 0);
	EXPECT_EQ(errno, 2);
}

/* plat_remove_folder */

class RmDir : public TempTree {
protected:
	void SetUp() override
	{
		TempTree::SetUp();
		put("Store/Pkg/a.sys", "x");
		put("Store/Pkg/Sub/b.inf", "x");
		put("Store/Pkg/Sub/Deep/c.txt", "x", 0444);
		put("Outside/keep.txt", "keep");
		link(root + "/Outside", "Store/Pkg/link_out");
		link(root + "/Outside/keep.txt", "Store/Pkg/Sub/link_file");
		link("../../Outside", "Store/Pkg/Sub/rel_link_out");
		put("Store/Other/x.txt", "x");
		put("Store/With Space/y.txt", "x");
		link(root + "/Outside", "Store/LinkTop");
		link(root + "/Store/Pkg/Sub", "Store/LinkIn");
		put("Store/file.txt", "x");
		mkdirs("Store/Empty");
	}
};

TEST_F(RmDir, FolderTable)
{
	const std::vector<const char *> always = {
		"Outside/keep.txt", "Outside", "Store/Other/x.txt",
	};
	struct {
		const char *path;	// "%T" is the test folder
		int result;
		int err;		// errno when RESULT is -1
		std::vector<const char *> gone;
		std::vector<const char *> kept;
	} const cases[] = {
		{ "%T/Store/Pkg", 1, 0, { "Store/Pkg" }, { "Store" } },
		{ "%T\\store\\PKG", 1, 0, { "Store/Pkg" }, {} },
		{ "%T/Store/with space", 1, 0, { "Store/With Space" },
		    { "Store/Pkg" } },
		{ "%T/Store/Empty", 1, 0, { "Store/Empty" }, { "Store/Pkg" } },
		{ "%T/Store/Pkg/Sub", 1, 0, { "Store/Pkg/Sub" },
		    { "Store/Pkg/a.sys", "Store/Pkg/link_out" } },
		// A link goes as a link; what it points at stays.
		{ "%T/Store/LinkTop", 1, 0, { "Store/LinkTop" },
		    { "Store/Pkg/a.sys" } },
		{ "%T/Store/LinkIn", 1, 0, { "Store/LinkIn" },
		    { "Store/Pkg/Sub/b.inf", "Store/Pkg/Sub/Deep/c.txt" } },
		{ "%T/Store/Pkg/link_out", 1, 0, { "Store/Pkg/link_out" },
		    { "Store/Pkg/a.sys" } },
		{ "%T/Store/Nope", 0, 0, {}, { "Store/Pkg" } },
		{ "%T/Nope/Pkg", 0, 0, {}, { "Store/Pkg" } },
		// A file is no folder; "." and ".." name no folder below.
		{ "%T/Store/file.txt", -1, 22, {}, { "Store/file.txt" } },
		{ "%T/Store/Pkg/..", -1, 22, {},
		    { "Store/Pkg/a.sys", "Store/file.txt" } },
		{ "%T/Store/Pkg/.", -1, 22, {}, { "Store/Pkg/a.sys" } },
		{ "", -1, 22, {}, {} },
	};

	for (const auto &c : cases) {
		TearDown();
		SetUp();
		std::string path = with_root(c.path, root);
		SCOPED_TRACE(path);
		errno = 0;
		EXPECT_EQ(plat_remove_folder(path.c_str()), c.result);
		if (c.result < 0) {
			EXPECT_EQ(errno, c.err);
		}
		for (const char *g : c.gone)
			EXPECT_FALSE(exists(g)) << g;
		for (const char *k : c.kept)
			EXPECT_TRUE(exists(k)) << k;
		for (const char *k : always)
			EXPECT_TRUE(exists(k)) << k;
	}
	errno = 0;
	EXPECT_EQ(plat_remove_folder(NULL), -1);
	EXPECT_EQ(errno, 22);
}

TEST_F(RmDir, DeepTrees)
{
	struct {
		int depth;
		int result;
	} const cases[] = {
		{ 100, 1 },
		{ 300, -1 },	// beyond what a Windows path reaches
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.depth);
		std::string rel = "Deep";
		for (int i = 0; i < c.depth; i++)
			rel += "/d";
		put(rel + "/leaf.txt", "x");
		errno = 0;
		EXPECT_EQ(plat_remove_folder(at("deep").c_str()), c.result);
		if (c.result < 0) {
			EXPECT_EQ(errno, 22);
		}
		EXPECT_EQ(exists("Deep"), c.result < 0);
		EXPECT_TRUE(exists("Outside/keep.txt"));
		nftw(at("Deep").c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
	}
}

TEST_F(RmDir, PrintsNothing)
{
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	int missing = plat_remove_folder(at("Nope").c_str());
	int done = plat_remove_folder(at("Store").c_str());
	std::string out = testing::internal::GetCapturedStdout();
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(missing, 0);
	EXPECT_EQ(done, 1);
	EXPECT_EQ(out, "");
	EXPECT_EQ(err, "");
	EXPECT_FALSE(exists("Store"));
	EXPECT_TRUE(exists("Outside/keep.txt"));
}

/* plat_getenv */

TEST(UnixEnv, LookupTable)
{
	struct {
		const char *name;
		std::vector<const char *> env;
		const char *ask;
		size_t size;
		int result;
		const char *value;
	} const cases[] = {
		{ "exact", { "PATH=/bin", "SystemRoot=/mnt/win/Windows" },
		    "SystemRoot", 64, 1, "/mnt/win/Windows" },
		{ "other case", { "SYSTEMROOT=/mnt/win/WINDOWS" },
		    "SystemRoot", 64, 1, "/mnt/win/WINDOWS" },
		{ "exact spelling wins, listed last",
		    { "SYSTEMROOT=upper", "systemroot=lower", "SystemRoot=mixed" },
		    "SystemRoot", 64, 1, "mixed" },
		{ "exact spelling wins, listed first",
		    { "SystemRoot=mixed", "SYSTEMROOT=upper" },
		    "SystemRoot", 64, 1, "mixed" },
		{ "no exact: first in order", { "SYSTEMROOT=upper",
		    "systemroot=lower" }, "SystemRoot", 64, 1, "upper" },
		{ "not set", { "PATH=/bin" }, "SystemRoot", 64, 0, "" },
		{ "longer name only", { "SystemRootX=no" }, "SystemRoot", 64,
		    0, "" },
		{ "shorter name only", { "SystemRoo=no" }, "SystemRoot", 64, 0,
		    "" },
		{ "name without value part", { "SystemRoot" }, "SystemRoot",
		    64, 0, "" },
		{ "value with =", { "X=a=b" }, "x", 64, 1, "a=b" },
		{ "empty value", { "X=" }, "X", 1, 1, "" },
		{ "fits exactly", { "X=12345" }, "X", 6, 1, "12345" },
		{ "one byte short", { "X=12345" }, "X", 5, -1, "" },
		{ "empty name", { "=odd", "X=1" }, "", 64, 0, "" },
		{ "name with =", { "X=1" }, "X=1", 64, 0, "" },
		{ "letters only fold", { "A_B=1" }, "a_b", 64, 1, "1" },
		{ "no folding past ASCII", { "\xc3\x84=1" }, "\xc3\xa4", 64, 0,
		    "" },
		{ "empty environment", {}, "X", 64, 0, "" },
	};
	char **saved = environ;

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<std::string> store(c.env.begin(), c.env.end());
		std::vector<char *> env;
		for (std::string &s : store)
			env.push_back(&s[0]);
		env.push_back(nullptr);
		char buf[64];
		memset(buf, '#', sizeof(buf));

		environ = env.data();
		int r = plat_getenv(c.ask, buf, c.size);
		environ = saved;
		EXPECT_EQ(r, c.result);
		EXPECT_STREQ(buf, c.value);
	}
}

TEST(UnixEnv, TinyBuffers)
{
	ASSERT_EQ(setenv("VKM_UNIT_ENV_TEST", "v", 1), 0);
	char buf[4] = "zzz";
	EXPECT_EQ(plat_getenv("vkm_unit_env_test", buf, 0), -1);
	EXPECT_STREQ(buf, "zzz");	// nothing may be written
	EXPECT_EQ(plat_getenv("vkm_unit_env_test", NULL, 8), -1);
	EXPECT_EQ(plat_getenv("vkm_unit_env_test", buf, 2), 1);
	EXPECT_STREQ(buf, "v");
	EXPECT_EQ(plat_getenv(NULL, buf, sizeof(buf)), 0);
	ASSERT_EQ(unsetenv("VKM_UNIT_ENV_TEST"), 0);
	EXPECT_EQ(plat_getenv("VKM_UNIT_ENV_TEST", buf, sizeof(buf)), 0);
}

}  // namespace
