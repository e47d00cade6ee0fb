/*
 * test_hive.cpp - the offline registry (registry/unix/hive.cpp) on hives
 * (tools/mkhive's empty hive, filled through libhivex from rows) in a
 * scratch installation, seen through the
 * key-path layer and through the six functions themselves.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <iconv.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <errno.h>
#include <hivex.h>

#include <regex>
#include <set>

#include "../common/reg_cases.h"
#include "backup/backup.h"
#include "fake_console.h"
#include "hive.h"
#include "hive_log.h"
#include "hivex_calls.h"
#include "platform/platform.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"
#include "registry/reg_internal.h"
#include "ask/ask.h"
#include "run/run.h"
#include "scans/places.h"

namespace {

const char *const kUninstall =
    "Microsoft\\Windows\\CurrentVersion\\Uninstall";

std::string
repeat(char c, size_t n)
{
	return std::string(n, c);
}

/* One key or value of a test hive: TYPE KEY_ALONE is a key and nothing
 * else; DATA holds the value's bytes as the hive stores them.  Keys on
 * the way are made; an empty NAME is the key's default value. */
const int KEY_ALONE = -1;
/* The key cell's flag of a registry link, and the type of the value that
 * names its target. */
const int KEY_SYM_LINK = 0x0010;
const int REG_LINK = 6;

struct hive_row {
	int type;
	std::string path, name, data;
};
typedef std::vector<hive_row> hive_rows;

/* UTF-8 TEXT as UTF-16LE, with the NUL a string is stored with unless
 * NUL is false. */
std::string
utf16(const std::string &text, bool nul = true)
{
	std::string out(text.size() * 4 + 2, '\0');
	iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
	char *in = const_cast<char *>(text.data()), *o = &out[0];
	size_t left = text.size(), room = out.size();

	iconv(cd, &in, &left, &o, &room);
	iconv_close(cd);
	out.resize(out.size() - room + (nul ? 2 : 0));
	return out;
}

hive_row
key(const std::string &path)
{
	return { KEY_ALONE, path, "", "" };
}

hive_row
sz(const std::string &path, const std::string &name, const std::string &text,
    int type = REG_SZ)
{
	return { type, path, name, utf16(text) };
}

hive_row
dword(const std::string &path, const std::string &name, uint32_t n)
{
	return { REG_DWORD, path, name, std::string((const char *)&n, 4) };
}

hive_row
raw(const std::string &path, const std::string &name, int type,
    const std::string &bytes)
{
	return { type, path, name, bytes };
}

/* The SOFTWARE hive most tests start from. */
hive_rows
software_rows()
{
	std::string u = kUninstall;

	return {
	    /* keys in an order other than the stored one */
	    key("Vendor\\Gamma"), key("Vendor\\Alpha"), key("Vendor\\Beta"),
	    sz("Vendor\\Alpha", "DisplayName", "Alpha package"),
	    key("Long\\" + repeat('L', 300)),
	    sz(u + "\\VKM310", "DisplayName", "Tarnwick VKM310 driver package"),
	    sz(u + "\\VKM310\\Sub1\\Leaf", "X", "y"),
	    key(u + "\\VKM310\\Sub2"),
	    sz(u + "\\Other", "DisplayName", "Other product"),
	    sz("Data", "Text", "Alpha"),
	    sz("Data", "", "Default text"),
	    dword("Data", "Dword", 0x12345678),
	    raw("Data", "Multi", REG_MULTI_SZ, utf16(std::string("a\0b\0", 4))),
	    sz("Data", "Expand", "%SystemRoot%\\inf", REG_EXPAND_SZ),
	    raw("Data", "Binary", REG_BINARY, "\xde\xad"),
	    raw("Data", "Empty", REG_BINARY, ""),
	    sz("Data", "Len259", repeat('x', 259)),
	    sz("Data", "Len260", repeat('x', 260)),
	    raw("Data", "NoNul", REG_SZ, utf16("abc", false)),
	    raw("Data", "NoNul259", REG_SZ, utf16(repeat('n', 259), false)),
	    raw("Data", "NoNul260", REG_SZ, utf16(repeat('n', 260), false)),
	    sz("Data", "Unicode", "Gr\xc3\xbc\xc3\x9f" "e"),
	    sz("Data", "Emoji", "\xf0\x9f\x98\x80"),
	    raw("Data", "Lone", REG_SZ, std::string("\x3d\xd8\x41\0\0\0", 6)),
	    raw("Data", "Odd", REG_SZ, std::string("\x41\0\0\0\x42", 5)),
	    sz("Intl\\\xc3\x9cn\xc3\xaf" "code", "Name", "latin"),
	    sz("Intl\\\xce\xa9mega", "Name", "greek"),
	    sz("Intl\\Plain", "Name", "ascii"),
	};
}

/* The SYSTEM hive: two control sets, the second one current (SELECT
 * holds the rows of the Select key). */
hive_rows
system_rows(const hive_rows &select = { dword("Select", "Current", 2) })
{
	hive_rows rows = select;

	rows.push_back(sz("ControlSet001\\Services\\Svc1", "ImagePath", "one"));
	rows.push_back(sz("ControlSet002\\Services\\Svc2", "ImagePath", "two"));
	return rows;
}

hive_rows
operator+(hive_rows a, const hive_rows &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

std::string
read_bytes(const std::string &path)
{
	std::string s;
	char buf[4096];
	size_t n;
	FILE *f = fopen(path.c_str(), "rb");

	if (f == NULL)
		return "<missing>";
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		s.append(buf, n);
	fclose(f);
	return s;
}

void
write_bytes(const std::string &path, const std::string &bytes)
{
	FILE *f = fopen(path.c_str(), "wb");

	ASSERT_NE(f, nullptr) << path;
	ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
	ASSERT_EQ(fclose(f), 0);
}

bool
exists(const std::string &path)
{
	struct stat st;

	return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string>
list_folder(const std::string &dir)
{
	std::vector<std::string> names;
	DIR *d = opendir(dir.c_str());
	struct dirent *e;

	while (d != NULL && (e = readdir(d)) != NULL) {
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			names.push_back(e->d_name);
	}
	if (d != NULL)
		closedir(d);
	std::sort(names.begin(), names.end());
	return names;
}

int
remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
	return remove(path);
}

unsigned long
le32(const std::string &s, size_t off)
{
	const unsigned char *p = (const unsigned char *)s.data() + off;

	return p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
	    (unsigned long)p[3] << 24;
}

void
put_le32(std::string &s, size_t off, unsigned long v)
{
	for (int k = 0; k < 4; k++)
		s[off + k] = (char)(v >> (8 * k) & 0xff);
}

/* 1: the regf header checksum over the first 508 bytes is right. */
bool
checksum_ok(const std::string &hive)
{
	unsigned long sum = 0;

	for (size_t k = 0; k < 508; k += 4)
		sum ^= le32(hive, k);
	return hive.size() >= 512 && sum == le32(hive, 508);
}

/* Puts the right regf header checksum in place. */
void
set_checksum(std::string &hive)
{
	unsigned long sum = 0;

	for (size_t k = 0; k < 508; k += 4)
		sum ^= le32(hive, k);
	for (int k = 0; k < 4; k++)
		hive[508 + k] = (char)(sum >> (8 * k) & 0xff);
}

/* Runs mkhive with ARGS; returns its exit status (-1: did not run). */
int
mkhive(const std::string &args)
{
	std::string cmd = "'" TEST_TOOLS_DIR "/mkhive' " + args +
	    " 2>/dev/null";
	int status = system(cmd.c_str());

	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string
shell_arg(const std::string &s)
{
	return "'" + s + "'";
}

/* Name of subkey INDEX of PATH as the scans walk it, or "<rc>" when
 * walk_subkey gave no 1, or "<open rc>" when the key did not open. */
std::string
subkey(const std::string &path, int index)
{
	struct key_walk walk;
	char name[260];
	int rc = open_key_walk(path.c_str(), &walk);

	if (rc != 1)
		return "<open " + std::to_string(rc) + ">";
	rc = walk_subkey(&walk, index, name, sizeof(name));
	close_key_walk(&walk);
	return rc == 1 ? std::string(name) : "<" + std::to_string(rc) + ">";
}

std::vector<std::string>
subkeys(const std::string &path)
{
	std::vector<std::string> names;
	struct key_walk walk;
	char name[260];

	if (open_key_walk(path.c_str(), &walk) != 1)
		return names;
	for (int i = 0; walk_subkey(&walk, i, name, sizeof(name)) == 1; i++)
		names.push_back(name);
	close_key_walk(&walk);
	return names;
}

std::string
string_value(const std::string &path, const char *name)
{
	char buf[260];

	read_string_value(path.c_str(), name, buf, "<default>", sizeof(buf));
	return buf;
}

struct hive_stats
stats(int hive)
{
	struct hive_stats s;

	hive_get_stats(hive, &s);
	return s;
}

/* Keeps every file this process writes below LIMIT bytes while alive:
 * a disk that fills up, as far as the process can tell. */
struct FileSizeLimit {
	struct rlimit old;
	void (*old_handler)(int);

	explicit FileSizeLimit(rlim_t limit)
	{
		struct rlimit now;

		getrlimit(RLIMIT_FSIZE, &old);
		old_handler = signal(SIGXFSZ, SIG_IGN);
		now = old;
		now.rlim_cur = limit;
		setrlimit(RLIMIT_FSIZE, &now);
	}
	~FileSizeLimit()
	{
		setrlimit(RLIMIT_FSIZE, &old);
		signal(SIGXFSZ, old_handler);
	}
};

class HiveTest : public ::testing::Test {
protected:
	std::string top, config, backup;
	int runs = 0;

	void
	SetUp() override
	{
		char tmpl[] = "/tmp/vkm_hive.XXXXXX";

		ASSERT_NE(mkdtemp(tmpl), nullptr);
		top = tmpl;
		/* The folders are spelled unlike SystemRoot: Windows' names
		 * ignore case and so must the lookup. */
		ASSERT_EQ(mkdir((top + "/WINDOWS").c_str(), 0755), 0);
		ASSERT_EQ(mkdir((top + "/WINDOWS/system32").c_str(), 0755), 0);
		config = top + "/WINDOWS/system32/Config";
		ASSERT_EQ(mkdir(config.c_str(), 0755), 0);
		ASSERT_EQ(setenv("SystemRoot", (top + "/Windows").c_str(), 1),
		    0);
		plat_read_system_root();
		hive_reset();
		new_backup();
		make("SOFTWARE", software_rows());
		make("SYSTEM", system_rows());
	}

	void
	TearDown() override
	{
		EXPECT_EQ(hive_open_handles(), 0) << "a handle was leaked";
		hive_reset();
		hive_set_backup_dir(NULL);
		nftw(top.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
	}

	std::string
	hive_path(const char *name)
	{
		return config + "/" + name;
	}

	/* Hive NAME: an empty one from mkhive, filled with ROWS through
	 * libhivex. */
	void
	make(const char *name, const hive_rows &rows)
	{
		ASSERT_EQ(mkhive(shell_arg(hive_path(name))), 0) << name;
		fill(hive_path(name), rows);
	}

	/* Hive NAME as Windows leaves it when its newest changes, ROWS,
	 * are only in its logs LOGS (log names in the config folder, the
	 * second one holding the earlier entries), in FORMAT ("new",
	 * "old"): the changes grow the hive. */
	void
	make_logged(const char *name, const hive_rows &rows,
	    const char *format, const std::vector<std::string> &logs)
	{
		std::string after = top + "/after", args = std::string(
		    "--log ") + format + " " + shell_arg(hive_path(name)) +
		    " " + shell_arg(after);

		write_bytes(after, read_bytes(hive_path(name)));
		fill(after, rows);
		ASSERT_GT(read_bytes(after).size(),
		    read_bytes(hive_path(name)).size());
		for (const std::string &l : logs)
			args += " " + shell_arg(config + "/" + l);
		ASSERT_EQ(mkhive(args), 0) << args;
		unlink(after.c_str());
	}

	/* Adds ROWS to the hive file at PATH through libhivex. */
	void
	fill(const std::string &path, const hive_rows &rows)
	{
		hive_h *h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
		ASSERT_NE(h, nullptr) << path;
		for (const hive_row &r : rows) {
			hive_node_h node = hivex_root(h);
			std::string rest = r.path;

			while (!rest.empty()) {
				size_t cut = rest.find('\\');
				std::string part = rest.substr(0, cut);
				hive_node_h child =
				    hivex_node_get_child(h, node, part.c_str());

				node = child ? child : hivex_node_add_child(h,
				    node, part.c_str());
				ASSERT_NE(node, 0u) << r.path;
				rest = cut == std::string::npos ? "" :
				    rest.substr(cut + 1);
			}
			if (r.type == KEY_ALONE)
				continue;
			std::string data = r.data;
			hive_set_value v = { const_cast<char *>(r.name.c_str()),
			    (hive_type)r.type, data.size(), &data[0] };
			ASSERT_EQ(hivex_node_set_value(h, node, &v, 0), 0)
			    << r.path << " " << r.name;
		}
		ASSERT_EQ(hivex_commit(h, NULL, 0), 0) << path;
		hivex_close(h);
	}

	/* A backup folder of its own for the next run, as the program's
	 * runs have. */
	void
	new_backup()
	{
		backup = top + "/backup" + std::to_string(++runs);
		ASSERT_EQ(mkdir(backup.c_str(), 0755), 0);
		hive_set_backup_dir(backup.c_str());
	}

	/* The copy of hive NAME in the current run's backup folder. */
	std::string
	backup_copy(const char *name)
	{
		return backup + "/SystemRoot/system32/Config/" + name;
	}

	/* What the key-path layer's last refusal says beyond errno: "" or
	 * its code and what it names. */
	static std::string
	refusal()
	{
		const char *name;
		int why = registry_refusal(&name);

		return why == REG_REFUSED_NOTHING ? "" : std::to_string(why) +
		    " " + name;
	}

	/* Proves and makes ready the tree at PATH below HKLM, as the
	 * key-path layer does before it deletes: then RegDeleteKeyA may
	 * take its keys. */
	static void
	ready(const std::string &path)
	{
		ASSERT_EQ(tree_deletable(HKEY_LOCAL_MACHINE, path.c_str(), 1), 1)
		    << path;
	}

	/* Forgets what memory holds: the next call reads the disk. */
	void
	new_run()
	{
		ASSERT_EQ(hive_open_handles(), 0);
		hive_reset();
		new_backup();
	}
};

/* ---- key paths ---- */

TEST_F(HiveTest, HiveRootNames)
{
	static const struct {
		const char *path;
		const char *first;	/* subkey 0, "<rc>" or "<open rc>" */
	} cases[] = {
		{ "HKLM\\SOFTWARE\\Vendor", "Alpha" },
		{ "hklm\\software\\vendor", "Alpha" },
		{ "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor", "Alpha" },
		{ "HKEY_LOCAL_MACHINE\\Software\\VENDOR\\", "Alpha" },
		{ "HKLM", "SOFTWARE" },
		{ "HKLM\\", "SOFTWARE" },
		{ "HKLM\\SOFTWARE\\Vendor\\Alpha", "<0>" },
		/* No hive holds the user's keys offline: absent. */
		{ "HKCU\\SOFTWARE\\Vendor", "<open 0>" },
		{ "HKEY_CURRENT_USER\\SOFTWARE\\Vendor", "<open 0>" },
		{ "HKCR\\SOFTWARE\\Vendor", "<open -1>" },
		{ "HKLM\\SAM\\Vendor", "<open 0>" },
		{ "HKLM\\SOFTWARE\\\\Vendor", "<open 0>" },
		{ "HKLM\\SOFTWARE\\Nowhere", "<open 0>" },
		{ "HKLM\\SOFTWARE\\Vendor\\Alpha\\Deeper", "<open 0>" },
	};

	for (const auto &c : cases)
		EXPECT_EQ(subkey(c.path, 0), c.first) << c.path;
}

TEST_F(HiveTest, HiveDeleteMissingOrForeign)
{
	static const struct {
		const char *path;
		int result;
	} cases[] = {
		{ "HKCU\\Vendor\\Alpha", 0 },
		{ "HKCR\\Vendor\\Alpha", -1 },
		{ "HKLM\\SAM\\Vendor", 0 },
		{ "HKLM\\SOFTWARE\\Vendor\\Nope", 0 },
		{ "HKLM\\SOFTWARE\\Nope\\Alpha", 0 },
		{ "HKLM\\", 0 },
		{ "HKLM", 0 },
	};
	std::string before = read_bytes(hive_path("SOFTWARE"));

	for (const auto &c : cases)
		EXPECT_EQ(delete_key_path(c.path), c.result) << c.path;
	EXPECT_EQ(subkeys("HKLM\\SOFTWARE\\Vendor"),
	    (std::vector<std::string>{ "Alpha", "Beta", "Gamma" }));
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
	EXPECT_FALSE(exists(backup_copy("SOFTWARE")));
	EXPECT_EQ(read_bytes(hive_path("SOFTWARE")), before);
}

TEST_F(HiveTest, HiveDeleteHiveRootRefused)
{
	HKEY key;

	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0,
	    KEY_READ, &key), ERROR_SUCCESS);
	RegCloseKey(key);
	static const char *const roots[] = { "", "SOFTWARE", "software\\",
	    "SYSTEM" };
	for (const char *r : roots)
		EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, r),
		    ERROR_ACCESS_DENIED) << r;
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
	EXPECT_EQ(stats(HIVE_SOFTWARE).backups, 0u);

	/* Not even a root without subkeys. */
	new_run();
	make("SYSTEM", {});
	EXPECT_EQ(subkey("HKLM\\SYSTEM", 0), "<0>");
	EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM"),
	    ERROR_ACCESS_DENIED);
	EXPECT_EQ(stats(HIVE_SYSTEM).loads, 1u);
	EXPECT_EQ(stats(HIVE_SYSTEM).backups, 0u);
	EXPECT_EQ(subkey("HKLM", 1), "SYSTEM");
}

/* The rest are rows of reg_cases.h (HiveSharedRegistryCases). */
TEST_F(HiveTest, HiveNameCapacity)
{
	static const struct {
		const char *path;
		size_t capacity;
		std::string want;	/* as reg_case_run spells it */
	} cases[] = {
		{ "HKLM\\SOFTWARE\\Vendor", 1, "-1:34" },
		/* 300 characters: more than Windows allows, not than a hive
		 * can hold. */
		{ "HKLM\\SOFTWARE\\Long", 260, "-1:34" },
		{ "HKLM\\SOFTWARE\\Long", 301, "1:" + repeat('L', 300) },
	};

	for (const auto &c : cases) {
		char buf[512], got[512];

		memset(buf, '#', sizeof(buf));
		reg_case_run(OP_WALK, c.path, NULL, 0, c.capacity, NULL, buf,
		    got, sizeof(got));
		EXPECT_EQ(std::string(got), c.want) << c.path << " " <<
		    c.capacity;
	}
}

TEST_F(HiveTest, HiveStringValues)
{
	static const struct {
		const char *name;
		std::string expect;
	} cases[] = {
		/* The rest are rows of reg_cases.h (HiveSharedRegistryCases). */
		{ "", "Default text" },
		{ "Binary", "<default>" },
		{ "Unicode", "Gr\xc3\xbc\xc3\x9f" "e" },
	};

	for (const auto &c : cases)
		EXPECT_EQ(string_value("HKLM\\SOFTWARE\\Data", c.name),
		    c.expect) << c.name;
	EXPECT_EQ(string_value("HKCU\\SOFTWARE\\Data", "Text"), "<default>");
}

/* File offset of the cell named NAME (stored as ASCII), whose name
 * starts NAME_AT bytes into it, after the signature SIG at byte 4. */
size_t
named_cell(const std::string &hive, const std::string &name, const char *sig,
    size_t name_at)
{
	for (size_t at = hive.find(name); at != std::string::npos;
	    at = hive.find(name, at + 1)) {
		if (at >= name_at && hive.compare(at - name_at + 4, 2, sig) == 0)
			return at - name_at;
	}
	return 0;
}

size_t
key_cell(const std::string &hive, const std::string &name)
{
	return named_cell(hive, name, "nk", 80);
}

size_t
value_cell(const std::string &hive, const std::string &name)
{
	return named_cell(hive, name, "vk", 24);
}

/* The keys and values of REG_CASE_SEEDS, strings as UTF-16 the way
 * Windows stores them; the last names of its link keys into LINKS. */
hive_rows
case_seed_rows(std::vector<std::string> *links = NULL)
{
	static const struct {
		const char *key, *name;
		int type;
		const char *data;
		char fill;
		unsigned count, size;
	} seeds[] = {
#define SEED(k, n, t, d, f, c, s) { k, n, t, d, f, c, s },
		REG_CASE_SEEDS(SEED)
#undef SEED
	};
	hive_rows rows;

	for (const auto &s : seeds) {
		char path[1024];

		/* Below the hive's root: REG_CASE_KEY less "SOFTWARE\\". */
		reg_expand((std::string(REG_CASE_KEY) + s.key).c_str() + 9,
		    path, sizeof(path));
		if (s.name == NULL) {
			rows.push_back(key(path));
			continue;
		}
		if (s.type == REG_LINK) {
			/* A link names its target without a NUL. */
			rows.push_back(raw(path, s.name, s.type, utf16(
			    std::string("\\Registry\\Machine\\") + s.data,
			    false)));
			if (links != NULL)
				links->push_back(strrchr(path, '\\') + 1);
			continue;
		}
		std::string ansi = s.data ? std::string(s.data, s.size) :
		    (std::string(s.count, s.fill) + '\0').substr(0, s.size);
		rows.push_back(raw(path, s.name, s.type, s.type == REG_DWORD ?
		    ansi : utf16(ansi, false)));
	}
	return rows;
}

/* The rows Wine's registry answers in the probe (tests/wine), here
 * against the offline hive. */
TEST_F(HiveTest, HiveSharedRegistryCases)
{
	static const struct {
		const char *name;
		reg_case_op op;
		const char *path, *value;
		int index, capacity;
		const char *want;
	} cases[] = {
#define CASE(n, o, p, v, i, c, w) { n, o, p, v, i, c, w },
		REG_CASE_ROWS(CASE)
#undef CASE
	};

	std::vector<std::string> links;

	new_run();
	make("SOFTWARE", software_rows() + case_seed_rows(&links));
	/* libhivex writes plain keys: the links get the flag Windows marks
	 * them with. */
	std::string h = read_bytes(hive_path("SOFTWARE"));
	for (const std::string &name : links) {
		size_t nk = key_cell(h, name);
		ASSERT_NE(nk, 0u) << name;
		h[nk + 6] = (char)(h[nk + 6] | KEY_SYM_LINK);
	}
	write_bytes(hive_path("SOFTWARE"), h);
	/* Offline a link is a key like any other, never resolved: nothing
	 * of its target shows through it. */
	EXPECT_EQ(subkeys(REG_CASE_LM "\\TopLink"), std::vector<std::string>());
	EXPECT_EQ(string_value(REG_CASE_LM "\\TopLink", "V"), "<default>");
	for (const auto &c : cases) {
		char path[1024], want[1024], buf[512], got[1024];

		reg_expand(c.path, path, sizeof(path));
		reg_expand(c.want, want, sizeof(want));
		memset(buf, '#', sizeof(buf));
		reg_case_run(c.op, path, c.value, c.index, c.capacity > 0 ?
		    (size_t)c.capacity : 260, backup.c_str(), buf, got,
		    sizeof(got));
		EXPECT_STREQ(got, want) << c.name;
	}
}

TEST_F(HiveTest, HiveCurrentControlSet)
{
	static const struct {
		const char *what;
		hive_rows select;	/* the rows of Select */
		const char *first;	/* subkey 0 of ...\Services */
		const char *image;
	} cases[] = {
		{ "2", { dword("Select", "Current", 2) }, "Svc2", "two" },
		{ "1", { dword("Select", "Current", 1) }, "Svc1", "<default>" },
		{ "3", { dword("Select", "Current", 3) }, "<open 0>",
		    "<default>" },
		{ "sz 1", { sz("Select", "Current", "1") }, "<open 0>",
		    "<default>" },
		{ "no value", { key("Select") }, "<open 0>", "<default>" },
		{ "no Select", {}, "<open 0>", "<default>" },
	};

	for (const auto &c : cases) {
		new_run();
		make("SYSTEM", system_rows(c.select));
		EXPECT_EQ(subkey(
		    "HKLM\\SYSTEM\\CurrentControlSet\\Services", 0),
		    c.first) << c.what;
		EXPECT_EQ(subkey(
		    "hklm\\system\\currentcontrolset\\services", 0),
		    c.first) << c.what;
		EXPECT_EQ(string_value(
		    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Svc2",
		    "ImagePath"), c.image) << c.what;
		/* The real keys stay where they are. */
		EXPECT_EQ(subkey("HKLM\\SYSTEM\\ControlSet001\\Services", 0),
		    "Svc1");
	}
}

TEST_F(HiveTest, HiveDeleteThroughCurrentControlSet)
{
	EXPECT_EQ(delete_key_path(
	    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Svc2"), 1);
	new_run();
	EXPECT_EQ(subkey("HKLM\\SYSTEM\\ControlSet002\\Services", 0), "<0>");
	EXPECT_EQ(subkey("HKLM\\SYSTEM\\ControlSet001\\Services", 0), "Svc1");
}

TEST_F(HiveTest, HiveUtf8NamesEnumerateAndReopen)
{
	static const struct {
		const char *name;
		const char *value;
	} cases[] = {
		{ "Plain", "ascii" },
		{ "\xc3\x9cn\xc3\xaf" "code", "latin" },	/* Ünïcode */
		{ "\xce\xa9mega", "greek" },			/* Ωmega */
	};
	std::vector<std::string> names = subkeys("HKLM\\SOFTWARE\\Intl");

	ASSERT_EQ(names.size(), 3u);
	for (const auto &c : cases) {
		EXPECT_NE(std::find(names.begin(), names.end(), c.name),
		    names.end()) << c.name;
	}
	/* Every enumerated name opens again. */
	for (const std::string &n : names) {
		std::string path = "HKLM\\SOFTWARE\\Intl\\" + n;
		auto c = std::find_if(std::begin(cases), std::end(cases),
		    [&](const auto &x) { return n == x.name; });
		ASSERT_NE(c, std::end(cases)) << n;
		EXPECT_EQ(string_value(path, "Name"), c->value) << n;
	}
	/* Latin-1 letters fold like ASCII ones. */
	EXPECT_EQ(string_value("HKLM\\SOFTWARE\\INTL\\\xc3\xbcn\xc3\x8f" "CODE",
	    "name"), "latin");
}

TEST_F(HiveTest, HiveEveryEnumeratedNameOpens)
{
	std::vector<std::string> todo = { "HKLM" };
	size_t seen = 0;

	while (!todo.empty()) {
		std::string path = todo.back();
		todo.pop_back();
		struct key_walk walk;
		char name[512];
		int rc, i;

		/* Every name the walk gave opens again as a key path. */
		ASSERT_EQ(open_key_walk(path.c_str(), &walk), 1) << path;
		for (i = 0; (rc = walk_subkey(&walk, i, name,
		    sizeof(name))) == 1; i++) {
			todo.push_back(path + "\\" + name);
			seen++;
		}
		EXPECT_EQ(rc, 0) << path;
		EXPECT_EQ(walk_subkey_count(&walk), i) << path;
		close_key_walk(&walk);
	}
	EXPECT_EQ(seen, 29u);	/* 21 in SOFTWARE, 8 in SYSTEM */
}

TEST_F(HiveTest, HiveOneLoadPerHive)
{
	for (int i = 0; i < 1000; i++) {
		subkey("HKLM\\SOFTWARE\\Vendor", i);
		subkey("HKLM\\SYSTEM\\CurrentControlSet\\Services", i);
		string_value("HKLM\\SOFTWARE\\Vendor\\Alpha", "DisplayName");
	}
	EXPECT_EQ(stats(HIVE_SOFTWARE).loads, 1u);
	EXPECT_EQ(stats(HIVE_SYSTEM).loads, 1u);
	/* Looking reads no hive whole. */
	EXPECT_EQ(stats(HIVE_SOFTWARE).writable_loads, 0u);
	EXPECT_EQ(stats(HIVE_SYSTEM).writable_loads, 0u);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
	EXPECT_EQ(hive_open_handles(), 0);
}

/* ---- deleting and writing ---- */

TEST_F(HiveTest, HiveTreeDeleteReachesDisk)
{
	std::string u = std::string("HKLM\\SOFTWARE\\") + kUninstall;
	std::string original = read_bytes(hive_path("SOFTWARE"));
	struct stat before, after;

	ASSERT_EQ(chmod(hive_path("SOFTWARE").c_str(), 0640), 0);
	if (geteuid() == 0) {
		ASSERT_EQ(chown(hive_path("SOFTWARE").c_str(), 1234, 5678), 0);
	}
	bool xattrs = setxattr(hive_path("SOFTWARE").c_str(), "user.vkm",
	    "kept", 4, 0) == 0;
	if (!xattrs)
		printf("no user.* attributes on %s: not checked\n",
		    config.c_str());
	ASSERT_EQ(stat(hive_path("SOFTWARE").c_str(), &before), 0);
	ASSERT_EQ(subkeys(u), (std::vector<std::string>{ "Other", "VKM310" }));
	EXPECT_EQ(delete_key_path((u + "\\VKM310").c_str()), 1);
	EXPECT_EQ(subkeys(u), std::vector<std::string>{ "Other" });
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 1u);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writable_loads, 1u);
	EXPECT_EQ(stats(HIVE_SOFTWARE).loads, 1u);

	/* Replaced by rename, not rewritten in place; owner, mode and
	 * extended attributes kept. */
	ASSERT_EQ(stat(hive_path("SOFTWARE").c_str(), &after), 0);
	EXPECT_NE(before.st_ino, after.st_ino);
	EXPECT_EQ(after.st_mode & 07777, 0640u);
	EXPECT_EQ(after.st_uid, before.st_uid);
	EXPECT_EQ(after.st_gid, before.st_gid);
	if (xattrs) {
		char got[16] = "";
		EXPECT_EQ(getxattr(hive_path("SOFTWARE").c_str(), "user.vkm",
		    got, sizeof(got)), 4);
		EXPECT_STREQ(got, "kept");
	}
	EXPECT_EQ(list_folder(config), (std::vector<std::string>{
	    "SOFTWARE", "SYSTEM" }));
	EXPECT_EQ(read_bytes(backup_copy("SOFTWARE")), original);
	EXPECT_FALSE(exists(backup_copy("SYSTEM")));
	std::string now = read_bytes(hive_path("SOFTWARE"));
	EXPECT_TRUE(checksum_ok(now));
	EXPECT_EQ(le32(now, 4), le32(now, 8)) << "written hive marked dirty";

	new_run();
	EXPECT_EQ(subkeys(u), std::vector<std::string>{ "Other" });
	EXPECT_EQ(subkey(u + "\\VKM310\\Sub1", 0), "<open 0>");
	EXPECT_EQ(string_value(u + "\\Other", "DisplayName"), "Other product");
	EXPECT_EQ(string_value("HKLM\\SOFTWARE\\Data", "Len259"),
	    repeat('x', 259));
	EXPECT_EQ(stats(HIVE_SYSTEM).loads, 0u) << "SYSTEM read for nothing";

	/* A key whose subkey went earlier in the run goes whole too. */
	EXPECT_EQ(delete_key_path((u + "\\Other").c_str()), 1);
	EXPECT_EQ(delete_key_path(u.c_str()), 1);
	new_run();
	EXPECT_EQ(subkey(u, 0), "<open 0>");
}

TEST_F(HiveTest, HiveDeleteIgnoresCase)
{
	EXPECT_EQ(delete_key_path("hklm\\software\\VENDOR\\alpha"), 1);
	new_run();
	EXPECT_EQ(subkeys("HKLM\\SOFTWARE\\Vendor"),
	    (std::vector<std::string>{ "Beta", "Gamma" }));
}

TEST_F(HiveTest, HiveBackupMadeOncePerRun)
{
	std::string original = read_bytes(hive_path("SOFTWARE"));
	const char *const victims[] = { "Alpha", "Beta", "Gamma" };
	static const unsigned backups[] = { 1, 1, 1 };
	std::string first, after_first_run;

	for (int k = 0; k < 3; k++) {
		if (k == 2) {
			first = backup_copy("SOFTWARE");
			after_first_run = read_bytes(hive_path("SOFTWARE"));
			new_run();	/* a folder of its own */
		}
		std::string path = std::string("HKLM\\SOFTWARE\\Vendor\\") +
		    victims[k];
		EXPECT_EQ(delete_key_path(path.c_str()), 1) << path;
		EXPECT_EQ(read_bytes(backup_copy("SOFTWARE")),
		    k < 2 ? original : after_first_run) << k;
		EXPECT_EQ(stats(HIVE_SOFTWARE).backups, backups[k]) << k;
	}
	/* The first run's copy is left as it was. */
	EXPECT_EQ(read_bytes(first), original);
	EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "<0>");
}

TEST_F(HiveTest, HiveWithoutBackupIsNotChanged)
{
	std::string original = read_bytes(hive_path("SOFTWARE"));
	std::string sys = read_bytes(hive_path("SYSTEM"));
	HKEY key;

	/* No folder named, or a copy already in its place: the copy is
	 * never replaced, and no change goes without one. */
	hive_set_backup_dir(NULL);
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 0);
	new_run();
	ASSERT_EQ(mkdir((backup + "/SystemRoot").c_str(), 0755), 0);
	ASSERT_EQ(mkdir((backup + "/SystemRoot/system32").c_str(), 0755), 0);
	ASSERT_EQ(mkdir((backup + "/SystemRoot/system32/Config").c_str(),
	    0755), 0);
	write_bytes(backup_copy("SOFTWARE"), "older");
	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0,
	    KEY_READ, &key), ERROR_SUCCESS);
	errno = 0;
	EXPECT_EQ(hive_backup_of_key(key, backup.c_str()), -1);
	EXPECT_EQ(errno, EEXIST);
	RegCloseKey(key);
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 0);
	EXPECT_EQ(read_bytes(backup_copy("SOFTWARE")), "older");
	EXPECT_EQ(read_bytes(hive_path("SOFTWARE")), original);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);

	/* Through the key-path layer: the hive of the key is copied, once. */
	new_run();
	EXPECT_EQ(backup_key_path("HKLM\\SYSTEM\\Select", backup.c_str()), 1);
	EXPECT_EQ(backup_key_path("hklm\\system\\CurrentControlSet",
	    backup.c_str()), 1);
	EXPECT_EQ(stats(HIVE_SYSTEM).backups, 1u);
	EXPECT_EQ(read_bytes(backup_copy("SYSTEM")), sys);
	EXPECT_FALSE(exists(backup_copy("SOFTWARE")));
	EXPECT_EQ(backup_key_path("HKLM\\SOFTWARE\\Nope", backup.c_str()), -1);
	EXPECT_EQ(backup_key_path("HKLM\\", backup.c_str()), -1);
	EXPECT_EQ(backup_key_path("HKCR\\x", backup.c_str()), -1);
	EXPECT_FALSE(exists(backup_copy("SOFTWARE")));
}

TEST_F(HiveTest, HiveFailedBackupRefusesChange)
{
	std::string original = read_bytes(hive_path("SOFTWARE"));

	ASSERT_GT(original.size(), 8192u);
	ASSERT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "Alpha");
	{
		FileSizeLimit full(4096);
		EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 0);
	}
	EXPECT_EQ(read_bytes(hive_path("SOFTWARE")), original);
	EXPECT_EQ(list_folder(config),
	    (std::vector<std::string>{ "SOFTWARE", "SYSTEM" }));
	EXPECT_EQ(list_folder(backup + "/SystemRoot/system32/Config"),
	    std::vector<std::string>{}) << "a temporary copy was left";
	EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "Alpha");
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
}

TEST_F(HiveTest, HiveFailedWriteRollsBack)
{
	std::string original = read_bytes(hive_path("SOFTWARE"));
	std::string u = std::string("HKLM\\SOFTWARE\\") + kUninstall;

	/* The copy is made before the limit: only the new hive fails. */
	ASSERT_EQ(backup_key_path("HKLM\\SOFTWARE\\Data", backup.c_str()), 1);
	ASSERT_EQ(subkeys(u), (std::vector<std::string>{ "Other", "VKM310" }));
	{
		FileSizeLimit full(4096);
		EXPECT_EQ(delete_key_path((u + "\\VKM310").c_str()), 0);
	}
	EXPECT_EQ(read_bytes(hive_path("SOFTWARE")), original);
	EXPECT_EQ(list_folder(config), (std::vector<std::string>{
	    "SOFTWARE", "SYSTEM" }));
	/* Memory agrees with the disk: the whole tree is back. */
	EXPECT_EQ(subkeys(u), (std::vector<std::string>{ "Other", "VKM310" }));
	EXPECT_EQ(subkey(u + "\\VKM310\\Sub1", 0), "Leaf");
	EXPECT_EQ(stats(HIVE_SOFTWARE).write_failures, 1u);
	EXPECT_EQ(stats(HIVE_SOFTWARE).loads, 2u);

	/* With room again the same delete goes through. */
	EXPECT_EQ(delete_key_path((u + "\\VKM310").c_str()), 1);
	new_run();
	EXPECT_EQ(subkeys(u), std::vector<std::string>{ "Other" });
}

/* Keys just looked up, their subkeys listed, see a delete at once, and
 * the rollback of a write that failed. */
TEST_F(HiveTest, HiveLookupsFollowChanges)
{
	std::string sub1 = std::string("SOFTWARE\\") + kUninstall +
	    "\\VKM310\\Sub1", path = "HKLM\\" + sub1;
	HKEY key;

	/* A path walked before stands for no longer name, nor for itself
	 * before an empty name. */
	ASSERT_EQ(subkey(path + "\\", 0), "Leaf");
	EXPECT_EQ(string_value(path + "Leaf", "X"), "<default>");
	EXPECT_EQ(string_value(path + "\\\\Leaf", "X"), "<default>");
	ASSERT_EQ(string_value(path + "\\Leaf", "X"), "y");
	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub1.c_str(), 0, KEY_READ,
	    &key), ERROR_SUCCESS);
	ready(sub1 + "\\Leaf");
	EXPECT_EQ(RegDeleteKeyA(key, "LEAF"), ERROR_SUCCESS);
	EXPECT_EQ(subkey(path, 0), "<0>");
	EXPECT_EQ(string_value(path + "\\Leaf", "X"), "<default>");
	EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
	{
		FileSizeLimit full(4096);
		EXPECT_EQ(reg_commit(), -1);
	}
	EXPECT_EQ(subkey(path, 0), "Leaf");
	EXPECT_EQ(string_value(path + "\\Leaf", "X"), "y");
}

/* Another writer between the run's first look at a hive and its first
 * change: the change is refused, nothing is written, and the hive takes
 * no change after that either. */
TEST_F(HiveTest, HiveChangedFileRefusesChange)
{
	static const struct {
		const char *what;
		void (*change)(const std::string &path);
	} cases[] = {
		{ "untouched", nullptr },
		{ "replaced by a copy", [](const std::string &path) {
			std::string tmp = path + ".other";
			write_bytes(tmp, read_bytes(path));
			ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0); } },
		{ "grown", [](const std::string &path) {
			write_bytes(path, read_bytes(path) +
			    std::string(4096, '\0')); } },
		{ "modification time", [](const std::string &path) {
			struct timespec t[2] = { { 0, UTIME_OMIT },
			    { 1000000000, 0 } };
			ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0); } },
		/* Same size and times, as a writer that puts them back leaves
		 * it: the header's sequence numbers (or the ctime) tell. */
		{ "sequence numbers", [](const std::string &path) {
			struct stat st;
			ASSERT_EQ(stat(path.c_str(), &st), 0);
			std::string h = read_bytes(path);
			put_le32(h, 4, le32(h, 4) + 1);
			put_le32(h, 8, le32(h, 8) + 1);
			set_checksum(h);
			write_bytes(path, h);
			struct timespec t[2] = { st.st_atim, st.st_mtim };
			ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0); } },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		new_run();
		unlink(hive_path("SOFTWARE.bak").c_str());
		unlink(hive_path("SYSTEM.bak").c_str());
		make("SOFTWARE", software_rows());
		make("SYSTEM", system_rows());
		std::string path = hive_path("SOFTWARE");
		ASSERT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "Alpha");
		if (c.change != nullptr)
			c.change(path);
		std::string theirs = read_bytes(path);
		bool refused = c.change != nullptr;
		fake_console_reset({});

		EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"),
		    refused ? 0 : 1);
		EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Beta"),
		    refused ? 0 : 1);
		EXPECT_EQ(stats(HIVE_SOFTWARE).read_only, refused ? 1 : 0);
		EXPECT_EQ(stats(HIVE_SOFTWARE).writes, refused ? 0u : 2u);
		if (!refused)
			continue;
		EXPECT_EQ(read_bytes(path), theirs);
		EXPECT_EQ(stats(HIVE_SOFTWARE).why, WHY_CHANGED);
		EXPECT_EQ(refusal(), std::to_string(REG_HIVE_CHANGED) + " " +
		    path);
		EXPECT_EQ(list_folder(config),
		    (std::vector<std::string>{ "SOFTWARE", "SYSTEM" }));
		EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "Alpha");
		EXPECT_EQ(stats(HIVE_SOFTWARE).writable_loads, 0u);
		/* The other hive is untouched and still takes changes. */
		EXPECT_EQ(delete_key_path(
		    "HKLM\\SYSTEM\\ControlSet001\\Services\\Svc1"), 1);
	}
}

TEST_F(HiveTest, HiveReadOnlyHives)
{
	static const struct {
		const char *what;
		int why;
		int told;	/* what the user is told, of the hive's path */
	} cases[] = {
		{ "dirty", WHY_DIRTY, REG_REFUSED_NOTHING },
		{ "hard link", WHY_LINKS, REG_HIVE_LINKED },
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		new_run();
		unlink((top + "/link").c_str());
		unlink(hive_path("SYSTEM.bak").c_str());
		make("SOFTWARE", software_rows());
		make("SYSTEM", system_rows());
		if (c.why == WHY_DIRTY) {
			ASSERT_EQ(mkhive("--dirty " +
			    shell_arg(hive_path("SOFTWARE"))), 0);
		} else {
			ASSERT_EQ(link(hive_path("SOFTWARE").c_str(),
			    (top + "/link").c_str()), 0);
		}
		std::string bytes = read_bytes(hive_path("SOFTWARE"));
		fake_console_reset({});

		EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 1), "Beta");
		EXPECT_EQ(string_value("HKLM\\SOFTWARE\\Data", "Text"), "Alpha");
		EXPECT_EQ(stats(HIVE_SOFTWARE).read_only, 1);
		EXPECT_EQ(stats(HIVE_SOFTWARE).why, c.why);
		EXPECT_EQ(stats(HIVE_SYSTEM).read_only, 0);
		EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 0);
		EXPECT_EQ(refusal(), c.told == REG_REFUSED_NOTHING ? "" :
		    std::to_string(c.told) + " " + hive_path("SOFTWARE"));
		report_refusal();
		EXPECT_EQ(key_path_deletable("HKLM\\SOFTWARE\\Vendor\\Beta"), 0);
		report_refusal();
		/* The scans name the hive once a run. */
		EXPECT_EQ(fake_console_output(), c.told == REG_HIVE_LINKED ?
		    "Registry hive '" + hive_path("SOFTWARE") + "' has other "
		    "hard links: not changed\n" : "");
		EXPECT_EQ(tree_deletable(HKEY_LOCAL_MACHINE,
		    "SOFTWARE\\Vendor\\Beta", 1), 0);
		EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE,
		    "SOFTWARE\\Vendor\\Beta"), ERROR_ACCESS_DENIED);
		EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "Alpha");
		EXPECT_EQ(read_bytes(hive_path("SOFTWARE")), bytes);
		EXPECT_EQ(list_folder(config),
		    (std::vector<std::string>{ "SOFTWARE", "SYSTEM" }));
		/* The other hive is clean and still takes changes. */
		EXPECT_EQ(delete_key_path(
		    "HKLM\\SYSTEM\\ControlSet001\\Services\\Svc1"), 1);
	}
}

/* Temporary files of a run killed while writing go at the next run's
 * first change to their hive: only names of our own pattern, and only
 * regular files. */
TEST_F(HiveTest, HiveStaleTempsRemoved)
{
	static const struct {
		const char *name;
		char kind;	/* f: file, l: link to the hive, d: folder */
		bool removed;
	} cases[] = {
		{ "SOFTWARE.tmpAb12Cd", 'f', true },
		{ "SOFTWARE.tmpzzzzzz", 'f', true },
		{ "SOFTWARE.tmpAb12C", 'f', false },
		{ "SOFTWARE.tmpAb12Cde", 'f', false },
		{ "SOFTWARE.tmpAb-2Cd", 'f', false },
		{ "SOFTWARE.tmp\xc3\xa9" "12Cd", 'f', false },
		{ "software.tmpAb12Cd", 'f', false },
		{ "SOFTWARE.TMPAb12Cd", 'f', false },
		{ "SOFTWARE.bakAb12Cd", 'f', false },
		{ "SYSTEM.tmpAb12Cd", 'f', false },	/* SYSTEM not changed */
		{ "SOFTWARE.tmpLink01", 'l', false },
		{ "SOFTWARE.tmpDir001", 'd', false },
	};
	std::vector<std::string> kept = { "SOFTWARE", "SYSTEM" },
	    all = { "SOFTWARE", "SYSTEM" };

	for (const auto &c : cases) {
		std::string path = config + "/" + c.name;
		if (c.kind == 'f')
			write_bytes(path, "half a hive");
		else if (c.kind == 'l')
			ASSERT_EQ(symlink("SOFTWARE", path.c_str()), 0);
		else
			ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
		all.push_back(c.name);
		if (!c.removed)
			kept.push_back(c.name);
	}
	std::sort(all.begin(), all.end());
	std::sort(kept.begin(), kept.end());
	/* Looking changes nothing. */
	EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "Alpha");
	EXPECT_EQ(subkey("HKLM\\SYSTEM\\ControlSet001\\Services", 0),
	    "Svc1");
	EXPECT_EQ(list_folder(config), all);
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 1);
	EXPECT_EQ(list_folder(config), kept);
	EXPECT_EQ(stats(HIVE_SOFTWARE).temps_removed, 2u);
	EXPECT_EQ(read_bytes(config + "/SOFTWARE.tmpLink01"),
	    read_bytes(hive_path("SOFTWARE")));
	rmdir((config + "/SOFTWARE.tmpDir001").c_str());
}

TEST_F(HiveTest, HiveCorruptFileReadsAsAbsent)
{
	std::string good = read_bytes(hive_path("SOFTWARE"));
	std::string random(8192, '\0'), bad_sum = good, bad_bin = good,
	    garbage = good.substr(0, 4096);

	srand(310);
	for (char &c : random)
		c = (char)(rand() & 0xff);
	bad_sum[0x30] ^= 0x55;
	bad_bin[4096] = 'X';
	garbage += random;
	const struct {
		const char *what;
		std::string bytes;
	} cases[] = {
		{ "random", random },
		{ "empty", "" },
		{ "header only", good.substr(0, 100) },
		{ "truncated bins", good.substr(0, 6000) },
		{ "bad checksum", bad_sum },
		{ "bad bin", bad_bin },
		{ "garbage bins", garbage },
		{ "folder", "" },
	};

	for (const auto &c : cases) {
		new_run();
		std::string path = hive_path("SOFTWARE");
		unlink(path.c_str());
		if (strcmp(c.what, "folder") == 0) {
			ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
		} else {
			write_bytes(path, c.bytes);
		}
		EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "<open 0>")
		    << c.what;
		EXPECT_EQ(string_value("HKLM\\SOFTWARE\\Data", "Text"),
		    "<default>") << c.what;
		EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 0)
		    << c.what;
		EXPECT_EQ(subkey("HKLM", 0), "SYSTEM") << c.what;
		EXPECT_EQ(subkey("HKLM", 1), "<0>") << c.what;
		EXPECT_EQ(subkey(
		    "HKLM\\SYSTEM\\CurrentControlSet\\Services", 0),
		    "Svc2") << c.what;
		if (strcmp(c.what, "folder") == 0) {
			rmdir(path.c_str());
		} else {
			EXPECT_EQ(read_bytes(path), c.bytes) << c.what;
		}
	}
}

TEST_F(HiveTest, HiveDamagedKeyDeleteRefused)
{
	/* Each damage is a few bytes of the key "Damaged" (key cell NK,
	 * its value BrokenValue's cell VK) pointed elsewhere. */
	static const struct {
		const char *name;
		void (*damage)(std::string &h, size_t nk, size_t vk);
		/* Vendor\\Alpha can still go: the damage does not reach it
		 * (a broken ring of security cells, or a list two keys hold,
		 * does). */
		bool others_go = true;
	} damages[] = {
		{ "class name inside a cell", [](std::string &h, size_t nk,
		    size_t) {
			put_le32(h, nk + 52, 0x123);
			h[nk + 78] = 8; } },
		{ "class name at the root key", [](std::string &h, size_t nk,
		    size_t) {
			put_le32(h, nk + 52, le32(h, 0x24));
			h[nk + 78] = 8; } },
		{ "value data outside the hive", [](std::string &h, size_t,
		    size_t vk) { put_le32(h, vk + 12, 0x7ffff000); } },
		{ "value data in another key's value list", [](std::string &h,
		    size_t, size_t vk) {
			put_le32(h, vk + 12, le32(h, key_cell(h, "Data") +
			    44)); } },
		{ "security links", [](std::string &h, size_t nk, size_t) {
			put_le32(h, le32(h, nk + 48) + 0x1000 + 8,
			    0x7ffff000); }, false },
		{ "subkey list of another key", [](std::string &h, size_t nk,
		    size_t) {
			size_t other = key_cell(h, "Vendor");
			put_le32(h, nk + 24, le32(h, other + 24));
			put_le32(h, nk + 32, le32(h, other + 32)); }, false },
		{ "value list of another key", [](std::string &h, size_t nk,
		    size_t) {
			size_t other = key_cell(h, "Data");
			put_le32(h, nk + 40, le32(h, other + 40));
			put_le32(h, nk + 44, le32(h, other + 44)); } },
		{ "subkey list outside the hive", [](std::string &h,
		    size_t nk, size_t) { put_le32(h, nk + 32, 0x7ffff000); } },
		{ "a subkey listed twice", [](std::string &h, size_t nk,
		    size_t) {
			size_t lf = le32(h, nk + 32) + 0x1000;
			put_le32(h, lf + 16, le32(h, lf + 8)); } },
		{ "a subkey naming another parent", [](std::string &h,
		    size_t, size_t) {
			put_le32(h, key_cell(h, "Kid1") + 20,
			    (unsigned long)key_cell(h, "Vendor") - 0x1000); } },
		{ "a subkey listing its parent", [](std::string &h,
		    size_t nk, size_t) {
			size_t kid = key_cell(h, "Kid1");
			put_le32(h, kid + 24, le32(h, nk + 24));
			put_le32(h, kid + 32, le32(h, nk + 32)); } },
		/* Only the count of what points at the list tells: every
		 * key of the tree is as it should be. */
		{ "another key's class name at the subkey list", [](
		    std::string &h, size_t nk, size_t) {
			size_t other = key_cell(h, "Data");
			put_le32(h, other + 52, le32(h, nk + 32));
			h[other + 78] = 8; } },
	};
	const std::vector<std::string> alpha = { "Alpha", "Beta", "Gamma" };
	const std::string damaged = std::to_string(REG_DAMAGED_KEY) +
	    " HKLM\\SOFTWARE\\Damaged";

	for (const auto &d : damages) {
		SCOPED_TRACE(d.name);
		new_run();
		make("SOFTWARE", software_rows() + hive_rows{
		    sz("Damaged", "BrokenValue", "long enough to be a cell"),
		    key("Damaged\\Kid1"), key("Damaged\\Kid2") });
		std::string h = read_bytes(hive_path("SOFTWARE"));
		size_t nk = key_cell(h, "Damaged"), vk = value_cell(h,
		    "BrokenValue");
		ASSERT_NE(nk, 0u);
		ASSERT_NE(vk, 0u);
		d.damage(h, nk, vk);
		write_bytes(hive_path("SOFTWARE"), h);

		fake_console_reset({});
		EXPECT_EQ(subkey("HKLM\\SOFTWARE", 0), "Damaged");
		EXPECT_EQ(key_path_deletable("HKLM\\SOFTWARE\\Damaged"), 0);
		EXPECT_EQ(refusal(), damaged);
		EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Damaged"), 0);
		EXPECT_EQ(errno, 22);
		EXPECT_EQ(refusal(), damaged);
		EXPECT_EQ(fake_console_output(), "");
		EXPECT_EQ(subkey("HKLM\\SOFTWARE", 0), "Damaged");
		EXPECT_EQ(read_bytes(hive_path("SOFTWARE")), h);
		EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
		/* The hive still opens, with every other key. */
		new_run();
		EXPECT_EQ(subkeys("HKLM\\SOFTWARE\\Vendor"), alpha);
		EXPECT_EQ(string_value("HKLM\\SOFTWARE\\Data", "Text"),
		    "Alpha");
		if (!d.others_go)
			continue;
		EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 1);
		EXPECT_EQ(subkeys("HKLM\\SOFTWARE\\Vendor"),
		    std::vector<std::string>({ "Beta", "Gamma" }));
	}
	/* A sound tree goes, and the check keeps to the tree: a damaged
	 * key beside it does not hold it back. */
	new_run();
	make("SOFTWARE", software_rows() + hive_rows{
	    sz("Damaged", "X", "long enough"), key("Sound\\Kid"),
	    sz("Sound\\Kid", "Big", repeat('b', 20000)) });
	std::string h = read_bytes(hive_path("SOFTWARE"));
	put_le32(h, key_cell(h, "Damaged") + 52, 0x123);
	h[key_cell(h, "Damaged") + 78] = 8;
	write_bytes(hive_path("SOFTWARE"), h);
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Sound"), 1);
	EXPECT_EQ(refusal(), "");
	/* A proof is of its own tree: one made just before proves no other. */
	EXPECT_EQ(key_path_deletable("HKLM\\SOFTWARE\\Vendor\\Alpha"), 1);
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Damaged"), 0);
	EXPECT_EQ(refusal(), damaged);
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 1);
}

TEST_F(HiveTest, HiveMissingSystemRoot)
{
	ASSERT_EQ(unsetenv("SystemRoot"), 0);
	plat_read_system_root();
	new_run();
	EXPECT_EQ(subkey("HKLM\\SOFTWARE\\Vendor", 0), "<open 0>");
	EXPECT_EQ(subkey("HKLM", 0), "<0>");
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Vendor\\Alpha"), 0);
}

/* ---- the six functions ---- */

TEST_F(HiveTest, HiveQueryValueSizes)
{
	static const struct {
		const char *name;
		DWORD type;
		std::string data;
	} cases[] = {
		{ "Text", REG_SZ, std::string("Alpha", 6) },
		{ "text", REG_SZ, std::string("Alpha", 6) },
		{ NULL, REG_SZ, std::string("Default text", 13) },
		{ "NoNul", REG_SZ, "abc" },
		{ "Dword", REG_DWORD, "\x78\x56\x34\x12" },
		{ "Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5) },
		{ "Expand", REG_EXPAND_SZ,
		    std::string("%SystemRoot%\\inf", 17) },
		{ "Binary", REG_BINARY, "\xde\xad" },
		{ "Empty", REG_BINARY, "" },
		{ "Unicode", REG_SZ, std::string("Gr\xc3\xbc\xc3\x9f" "e", 8) },
		{ "Emoji", REG_SZ, std::string("\xf0\x9f\x98\x80", 5) },
		{ "Lone", REG_SZ, std::string("\xef\xbf\xbd" "A", 5) },
		{ "Odd", REG_SZ, std::string("A", 2) },
	};
	HKEY key;

	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Data", 0,
	    KEY_READ, &key), ERROR_SUCCESS);
	for (const auto &c : cases) {
		const char *n = c.name != NULL ? c.name : "(default)";
		DWORD type = 99, len, size = (DWORD)c.data.size();
		BYTE buf[64];

		memset(buf, 0xaa, sizeof(buf));
		len = sizeof(buf);
		EXPECT_EQ(RegQueryValueExA(key, c.name, NULL, &type, buf, &len),
		    ERROR_SUCCESS) << n;
		EXPECT_EQ(type, c.type) << n;
		EXPECT_EQ(std::string((char *)buf, len), c.data) << n;
		EXPECT_EQ(buf[len], 0xaa) << n;

		if (size == 0)
			continue;
		memset(buf, 0xaa, sizeof(buf));
		len = size - 1;
		type = 99;
		EXPECT_EQ(RegQueryValueExA(key, c.name, NULL, &type, buf, &len),
		    ERROR_MORE_DATA) << n;
		EXPECT_EQ(len, size) << n;
		EXPECT_EQ(type, c.type) << n;
		for (size_t k = size - 1; k < sizeof(buf); k++)
			ASSERT_EQ(buf[k], 0xaa) << n << " byte " << k;
	}
	DWORD len = 4;
	BYTE b[4];
	EXPECT_EQ(RegQueryValueExA(key, "Missing", NULL, NULL, b, &len),
	    ERROR_FILE_NOT_FOUND);
	EXPECT_EQ(RegQueryValueExA(key, "Text", NULL, NULL, b, NULL),
	    ERROR_INVALID_PARAMETER);
	EXPECT_EQ(RegQueryValueExA(key, "Text", NULL, NULL, NULL, &len),
	    ERROR_INVALID_PARAMETER);
	EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(HiveTest, HiveEnumAndInfoDirect)
{
	HKEY key;
	DWORD count = 0, longest = 0, len;
	char name[16];

	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0,
	    KEY_READ, &key), ERROR_SUCCESS);
	EXPECT_EQ(RegQueryInfoKeyA(key, NULL, NULL, NULL, &count, NULL, NULL,
	    NULL, NULL, NULL, NULL, NULL), ERROR_SUCCESS);
	EXPECT_EQ(count, 3u);
	/* Only the number of subkeys is served. */
	EXPECT_EQ(RegQueryInfoKeyA(key, NULL, NULL, NULL, &count, &longest,
	    NULL, NULL, NULL, NULL, NULL, NULL), ERROR_INVALID_PARAMETER);

	static const struct {
		DWORD index, capacity;
		LONG rc;
		const char *name;
	} cases[] = {
		{ 0, 16, ERROR_SUCCESS, "Alpha" },
		{ 1, 5, ERROR_SUCCESS, "Beta" },
		{ 2, 6, ERROR_SUCCESS, "Gamma" },
		{ 2, 5, ERROR_MORE_DATA, "" },
		{ 0, 0, ERROR_MORE_DATA, "" },
		{ 3, 16, ERROR_NO_MORE_ITEMS, "" },
		{ 1000, 16, ERROR_NO_MORE_ITEMS, "" },
	};
	for (const auto &c : cases) {
		memset(name, '#', sizeof(name));
		len = c.capacity;
		EXPECT_EQ(RegEnumKeyExA(key, c.index, name, &len, NULL, NULL,
		    NULL, NULL), c.rc) << c.index << "/" << c.capacity;
		if (c.rc == ERROR_SUCCESS) {
			EXPECT_STREQ(name, c.name);
			EXPECT_EQ(len, strlen(c.name));
		}
		for (size_t k = c.capacity; k < sizeof(name); k++)
			ASSERT_EQ(name[k], '#') << c.index << " byte " << k;
	}
	EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
	EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(HiveTest, HiveVirtualRootKey)
{
	HKEY key;
	DWORD count = 0, len, type;
	char name[16];

	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key),
	    ERROR_SUCCESS);
	EXPECT_EQ(RegQueryInfoKeyA(key, NULL, NULL, NULL, &count, NULL, NULL,
	    NULL, NULL, NULL, NULL, NULL), ERROR_SUCCESS);
	EXPECT_EQ(count, 2u);
	static const char *const hives[] = { "SOFTWARE", "SYSTEM" };
	for (DWORD i = 0; i < 2; i++) {
		len = sizeof(name);
		EXPECT_EQ(RegEnumKeyExA(key, i, name, &len, NULL, NULL, NULL,
		    NULL), ERROR_SUCCESS);
		EXPECT_STREQ(name, hives[i]);
	}
	len = sizeof(name);
	EXPECT_EQ(RegQueryValueExA(key, "", NULL, &type, (BYTE *)name, &len),
	    ERROR_FILE_NOT_FOUND);
	EXPECT_EQ(RegDeleteKeyA(key, ""), ERROR_ACCESS_DENIED);
	EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

	HKEY sub;
	EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ,
	    &sub), ERROR_FILE_NOT_FOUND);
	EXPECT_EQ(sub, nullptr);
}

TEST_F(HiveTest, HiveHandlePool)
{
	std::vector<HKEY> open;
	HKEY key;
	LONG rc;
	int bogus = 0;

	while ((rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0,
	    KEY_READ, &key)) == ERROR_SUCCESS && open.size() < 10000)
		open.push_back(key);
	EXPECT_EQ(rc, ERROR_NOT_ENOUGH_MEMORY);
	EXPECT_GE(open.size(), 16u);
	EXPECT_EQ(hive_open_handles(), (int)open.size());
	for (HKEY k : open)
		EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
	EXPECT_EQ(hive_open_handles(), 0);
	EXPECT_EQ(RegCloseKey((HKEY)&bogus), ERROR_INVALID_HANDLE);
	EXPECT_EQ(RegQueryInfoKeyA((HKEY)&bogus, NULL, NULL, NULL, NULL, NULL,
	    NULL, NULL, NULL, NULL, NULL, NULL), ERROR_INVALID_HANDLE);
	/* The pool holds a deep tree delete. */
	EXPECT_EQ(delete_key_path("HKLM\\SOFTWARE\\Microsoft"), 1);
}

TEST_F(HiveTest, HiveDeleteRules)
{
	HKEY key, gone, again;
	DWORD count;

	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Alpha",
	    0, KEY_READ, &gone), ERROR_SUCCESS);
	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0,
	    DELETE | KEY_ENUMERATE_SUB_KEYS, &key), ERROR_SUCCESS);
	/* Only a key of the tree proved last goes, and only without
	 * subkeys. */
	EXPECT_EQ(RegDeleteKeyA(key, "alpha"), ERROR_ACCESS_DENIED);
	ready("SOFTWARE\\Vendor");
	EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Data"),
	    ERROR_ACCESS_DENIED);
	EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor"),
	    ERROR_ACCESS_DENIED);
	EXPECT_EQ(RegDeleteKeyA(key, "Nope"), ERROR_FILE_NOT_FOUND);
	EXPECT_EQ(RegDeleteKeyA(key, "alpha"), ERROR_SUCCESS);
	EXPECT_EQ(RegQueryInfoKeyA(gone, NULL, NULL, NULL, &count, NULL, NULL,
	    NULL, NULL, NULL, NULL, NULL), ERROR_KEY_DELETED);
	EXPECT_EQ(RegOpenKeyExA(gone, "", 0, KEY_READ, &again),
	    ERROR_KEY_DELETED);
	EXPECT_EQ(RegCloseKey(gone), ERROR_SUCCESS);
	EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
	EXPECT_EQ(reg_commit(), 1);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 1u);
	new_run();
	EXPECT_EQ(subkeys("HKLM\\SOFTWARE\\Vendor"),
	    (std::vector<std::string>{ "Beta", "Gamma" }));
}

TEST_F(HiveTest, HiveCommitPoints)
{
	HKEY reader, top, soft, vendor;
	DWORD len = 16;
	BYTE text[16];

	/* Opened while the hive is only mapped, it reads on after the
	 * first change has read the file whole. */
	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Data", 0,
	    KEY_READ, &reader), ERROR_SUCCESS);
	EXPECT_EQ(reg_commit(), 0);

	/* No delete, close or other handle writes: the commit does, once
	 * for each hive with changes. */
	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0,
	    DELETE | KEY_ENUMERATE_SUB_KEYS, &top), ERROR_SUCCESS);
	ready("SOFTWARE\\Vendor\\Alpha");
	EXPECT_EQ(RegDeleteKeyA(top, "Alpha"), ERROR_SUCCESS);
	EXPECT_EQ(RegCloseKey(top), ERROR_SUCCESS);
	ready("SOFTWARE\\Vendor\\Beta");
	EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Beta"),
	    ERROR_SUCCESS);
	ready("SYSTEM\\ControlSet001\\Services\\Svc1");
	EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE,
	    "SYSTEM\\ControlSet001\\Services\\Svc1"), ERROR_SUCCESS);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writable_loads, 1u);
	EXPECT_EQ(RegQueryValueExA(reader, "Text", NULL, NULL, text, &len),
	    ERROR_SUCCESS);
	EXPECT_STREQ((char *)text, "Alpha");
	EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 0u);
	EXPECT_EQ(reg_commit(), 1);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 1u);
	EXPECT_EQ(stats(HIVE_SYSTEM).writes, 1u);
	EXPECT_EQ(reg_commit(), 0);
	EXPECT_EQ(stats(HIVE_SOFTWARE).writes, 1u);

	/* Another writer between our change and its commit: theirs stays,
	 * ours is undone, and the hive takes no more changes. */
	ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ,
	    &soft), ERROR_SUCCESS);
	ASSERT_EQ(RegOpenKeyExA(soft, "Vendor", 0, DELETE, &vendor),
	    ERROR_SUCCESS);
	ready("SOFTWARE\\Vendor\\Gamma");
	EXPECT_EQ(RegDeleteKeyA(vendor, "Gamma"), ERROR_SUCCESS);
	std::string theirs = read_bytes(hive_path("SOFTWARE")) +
	    std::string(4096, '\0');
	write_bytes(hive_path("SOFTWARE"), theirs);
	EXPECT_EQ(reg_commit(), -1);
	EXPECT_EQ(read_bytes(hive_path("SOFTWARE")), theirs);
	EXPECT_EQ(stats(HIVE_SOFTWARE).read_only, 1);
	EXPECT_EQ(subkeys("HKLM\\SOFTWARE\\Vendor"),
	    std::vector<std::string>{ "Gamma" });
	EXPECT_EQ(RegDeleteKeyA(vendor, "Gamma"), ERROR_ACCESS_DENIED);
	EXPECT_EQ(RegCloseKey(vendor), ERROR_SUCCESS);
	EXPECT_EQ(RegCloseKey(soft), ERROR_SUCCESS);
	EXPECT_EQ(reg_commit(), 0);
}

/* ---- a hive Windows did not close cleanly, and its logs ---- */

TEST(HiveLog, Marvin32KnownAnswers)
{
	static const struct {
		uint64_t seed;
		const char *data;
		uint64_t hash;
	} cases[] = {
		{ 0x004fb61a001bdbccull, "", 0x30ed35c100cd3c7dull },
		{ 0x004fb61a001bdbccull, "\xaf", 0x48e73fc77d75ddc1ull },
	};

	for (const auto &c : cases)
		EXPECT_EQ(marvin32((const unsigned char *)c.data,
		    strlen(c.data), c.seed), c.hash) << c.data;
}

/* What the logs bring: a service key, a value that grows the hive into
 * a new bin, and a key after it. */
hive_rows
logged_rows()
{
	const std::string s = "ControlSet002\\Services\\";

	return { sz(s + "vkm310svc", "ImagePath",
	    "system32\\drivers\\vkm310.sys", REG_EXPAND_SZ),
	    raw(s + "vkm310svc", "Blob", REG_BINARY, repeat('b', 30000)),
	    sz(s + "Tail", "ImagePath", "tail") };
}

/* Overwrites the bytes at OFF of the file at PATH with WITH, the base
 * block's checksum put right after when SUM. */
void
patch(const std::string &path, size_t off, const std::string &with,
    bool sum)
{
	std::string b = read_bytes(path);

	b.replace(off, with.size(), with);
	if (sum)
		set_checksum(b);
	write_bytes(path, b);
}

/* The sequence numbers of the hive file at PATH moved up by N. */
void
hive_seq_up(const std::string &path, unsigned long n)
{
	std::string b = read_bytes(path);

	put_le32(b, 4, le32(b, 4) + n);
	put_le32(b, 8, le32(b, 8) + n);
	set_checksum(b);
	write_bytes(path, b);
}

/* Overwrites bytes of the page that the first entry of the new log
 * SYSTEM.LOG1 in CONFIG brings for the first bin, from OFF on in the
 * page, with WITH, and puts the entry's hashes right. */
void
repage(const std::string &config, size_t off, const std::string &with)
{
	const size_t entry = 512, page = entry + 48;
	std::string path = config + "/SYSTEM.LOG1", b = read_bytes(path);
	const unsigned char *e = (const unsigned char *)b.data() + entry;
	const uint64_t seed = 0xc5554e7a884def82ull;

	ASSERT_EQ(b.compare(entry, 4, "HvLE"), 0);
	ASSERT_EQ(le32(b, entry + 40), 0u) << "not the first bin";
	b.replace(page + off, with.size(), with);
	uint64_t h = marvin32(e + 40, le32(b, entry + 4) - 40, seed);
	put_le32(b, entry + 24, (unsigned long)h);
	put_le32(b, entry + 28, (unsigned long)(h >> 32));
	h = marvin32(e, 32, seed);
	put_le32(b, entry + 32, (unsigned long)h);
	put_le32(b, entry + 36, (unsigned long)(h >> 32));
	write_bytes(path, b);
}

/* A dirty SYSTEM hive and its logs, read: the logs' changes are there
 * when they apply, else the hive counts as not read and names its
 * log; nothing on the disk changes. */
TEST_F(HiveTest, HiveLogRecovery)
{
	typedef void (*spoil_fn)(const std::string &config);
	static const struct {
		const char *what;
		const char *format;	/* NULL: no log written */
		std::vector<std::string> logs;
		spoil_fn spoil;
		int state, why;
		const char *named;
	} cases[] = {
		{ "new log", "new", { "SYSTEM.LOG1" }, nullptr, HIVE_RECOVERED,
		    0, "" },
		{ "new logs, the earlier entries in the second", "new",
		    { "SYSTEM.LOG1", "SYSTEM.LOG2" }, nullptr, HIVE_RECOVERED,
		    0, "" },
		{ "old log of Windows XP", "old", { "SYSTEM.LOG" }, nullptr,
		    HIVE_RECOVERED, 0, "" },
		{ "old log, letter case of the disk", "old", { "system.log1" },
		    nullptr, HIVE_RECOVERED, 0, "" },
		{ "a log never written, a leftover .LOG", "new",
		    { "SYSTEM.LOG1" }, [](const std::string &c) {
			write_bytes(c + "/SYSTEM.LOG2", std::string(4096, '\0'));
			write_bytes(c + "/SYSTEM.LOG", "leftover"); },
		    HIVE_RECOVERED, 0, "" },
		{ "clean hive, stale logs", "new", { "SYSTEM.LOG1" },
		    [](const std::string &c) {
			std::string h = read_bytes(c + "/SYSTEM");
			patch(c + "/SYSTEM", 4, h.substr(8, 4), true); },
		    HIVE_READ, 0, "" },
		{ "no log", nullptr, {}, nullptr, HIVE_DIRTY, LOG_NONE_APPLIES,
		    "" },
		{ "log entries older than the hive", "new", { "SYSTEM.LOG1" },
		    [](const std::string &c) { hive_seq_up(c + "/SYSTEM", 9); },
		    HIVE_DIRTY, LOG_NONE_APPLIES, "" },
		{ "old log of another write", "old", { "SYSTEM.LOG" },
		    [](const std::string &c) {
			patch(c + "/SYSTEM.LOG", 12, "\x01", true); },
		    HIVE_DIRTY, LOG_NONE_APPLIES, "" },
		{ "bad hash", "new", { "SYSTEM.LOG1" }, [](const std::string &c) {
			patch(c + "/SYSTEM.LOG1", 600, "\x01", false); },
		    HIVE_DIRTY, LOG_DAMAGED, "SYSTEM.LOG1" },
		{ "entry cut short", "new", { "SYSTEM.LOG1" },
		    [](const std::string &c) {
			ASSERT_EQ(truncate((c + "/SYSTEM.LOG1").c_str(), 1024),
			    0); },
		    HIVE_DIRTY, LOG_DAMAGED, "SYSTEM.LOG1" },
		{ "a page without cells", "new", { "SYSTEM.LOG1" },
		    [](const std::string &c) {
			repage(c, 32, std::string(4096 - 32, '\0')); },
		    HIVE_DIRTY, LOG_DAMAGED, "SYSTEM.LOG1" },
		{ "base block damaged", "new", { "SYSTEM.LOG1" },
		    [](const std::string &c) {
			patch(c + "/SYSTEM.LOG1", 0x30, "X", false); },
		    HIVE_DIRTY, LOG_DAMAGED, "SYSTEM.LOG1" },
		{ "another hive's log", "new", { "SYSTEM.LOG2", "SYSTEM.LOG1" },
		    [](const std::string &c) {
			patch(c + "/SYSTEM.LOG1", 0x30, "X", true); },
		    HIVE_DIRTY, LOG_FOREIGN, "SYSTEM.LOG1" },
		{ "old log without its dirty vector", "old", { "SYSTEM.LOG" },
		    [](const std::string &c) {
			patch(c + "/SYSTEM.LOG", 512, "DIRX", false); },
		    HIVE_DIRTY, LOG_DAMAGED, "SYSTEM.LOG" },
		{ "log is a link", "new", { "SYSTEM.LOG1" },
		    [](const std::string &c) {
			std::string l = c + "/SYSTEM.LOG1";
			ASSERT_EQ(rename(l.c_str(), (l + ".real").c_str()), 0);
			ASSERT_EQ(symlink("SYSTEM.LOG1.real", l.c_str()), 0); },
		    HIVE_DIRTY, LOG_LINK, "SYSTEM.LOG1" },
		{ "log is a folder", nullptr, {}, [](const std::string &c) {
			ASSERT_EQ(mkdir((c + "/SYSTEM.LOG2").c_str(), 0755), 0); },
		    HIVE_DIRTY, LOG_NOT_FILE, "SYSTEM.LOG2" },
	};
	const std::string svc = "HKLM\\SYSTEM\\ControlSet002\\Services";

	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		new_run();
		for (const std::string &n : list_folder(config))
			remove((config + "/" + n).c_str());
		make("SOFTWARE", software_rows());
		make("SYSTEM", system_rows());
		if (c.format != nullptr)
			make_logged("SYSTEM", logged_rows(), c.format, c.logs);
		else
			ASSERT_EQ(mkhive("--dirty " +
			    shell_arg(hive_path("SYSTEM"))), 0);
		if (c.spoil != nullptr)
			c.spoil(config);
		std::vector<std::string> files;
		for (const std::string &n : list_folder(config))
			files.push_back(read_bytes(config + "/" + n));

		struct reg_hive h;
		ASSERT_EQ(registry_hive_state(HIVE_SYSTEM, &h), 1);
		EXPECT_EQ(h.state, c.state);
		EXPECT_EQ(h.log_why, c.why);
		EXPECT_STREQ(h.log, c.named);
		bool applied = c.state == HIVE_RECOVERED;
		std::vector<std::string> keys = { "Svc2" };
		if (applied)
			keys = { "Svc2", "Tail", "vkm310svc" };
		EXPECT_EQ(subkeys(svc), keys);
		EXPECT_EQ(string_value(svc + "\\Tail", "ImagePath"),
		    applied ? "tail" : "<default>");
		EXPECT_EQ(stats(HIVE_SYSTEM).read_only,
		    c.state == HIVE_DIRTY ? 1 : 0);
		for (size_t k = 0; k < files.size(); k++) {
			EXPECT_EQ(read_bytes(config + "/" +
			    list_folder(config)[k]), files[k]);
		}
	}
}

/* A hive brought up to date from its logs is cleaned like any other:
 * the backup keeps the hive and its logs as they were; the new file is
 * clean, its old logs bring it nothing, nor would they were it marked
 * dirty again.  A log that changed after the read refuses the change. */
TEST_F(HiveTest, HiveLogRecoveredCleanup)
{
	static const struct {
		const char *format;
		std::vector<std::string> logs;	/* LOG1, LOG2, LOG in turn */
		bool touched;
	} cases[] = {
		{ "new", { "SYSTEM.LOG1", "SYSTEM.LOG2" }, false },
		{ "new", { "SYSTEM.LOG1", "SYSTEM.LOG2" }, true },
		{ "old", { "SYSTEM.LOG1" }, false },
	};
	const std::string svc = "HKLM\\SYSTEM\\ControlSet002\\Services";

	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.format) + (c.touched ? " touched" :
		    ""));
		new_run();
		for (const std::string &l : list_folder(config))
			unlink((config + "/" + l).c_str());
		make("SYSTEM", system_rows());
		make_logged("SYSTEM", logged_rows(), c.format, c.logs);
		std::string was = read_bytes(hive_path("SYSTEM"));
		std::vector<std::string> logs;
		for (const std::string &l : c.logs)
			logs.push_back(read_bytes(config + "/" + l));
		fake_console_reset({});

		ASSERT_EQ(subkeys(svc), (std::vector<std::string>{ "Svc2",
		    "Tail", "vkm310svc" }));
		if (c.touched)
			write_bytes(config + "/" + c.logs[0], logs[0] + "x");
		int rc = delete_key_path((svc + "\\vkm310svc").c_str());
		if (c.touched) {
			EXPECT_EQ(rc, 0);
			EXPECT_EQ(refusal(), std::to_string(REG_HIVE_CHANGED) +
			    " " + hive_path("SYSTEM"));
			EXPECT_EQ(read_bytes(hive_path("SYSTEM")), was);
			continue;
		}
		ASSERT_EQ(rc, 1);
		EXPECT_EQ(read_bytes(backup_copy("SYSTEM")), was);
		struct hive_log old[HIVE_LOGS] = {};
		for (size_t k = 0; k < logs.size(); k++) {
			EXPECT_EQ(read_bytes(config + "/" + c.logs[k]), logs[k]);
			EXPECT_EQ(read_bytes(backup_copy(c.logs[k].c_str())),
			    logs[k]);
			old[k] = { (const unsigned char *)logs[k].data(),
			    logs[k].size() };
		}
		std::string now = read_bytes(hive_path("SYSTEM"));
		EXPECT_TRUE(checksum_ok(now));
		EXPECT_EQ(le32(now, 4), le32(now, 8));
		for (bool dirty : { false, true }) {
			std::string h = now;
			int why, bad;
			if (dirty) {
				put_le32(h, 4, le32(h, 4) + 1);
				set_checksum(h);
			}
			struct hive_image img = { (unsigned char *)malloc(
			    h.size()), h.size(), h.size() };
			memcpy(img.b, h.data(), h.size());
			EXPECT_EQ(hive_log_recover(&img, old, 0, &why, &bad),
			    dirty ? -1 : 0) << dirty;
			EXPECT_EQ(why, LOG_NONE_APPLIES) << dirty;
			free(img.b);
		}

		new_run();
		struct reg_hive st;
		ASSERT_EQ(registry_hive_state(HIVE_SYSTEM, &st), 1);
		EXPECT_EQ(st.state, HIVE_READ);
		EXPECT_EQ(subkeys(svc), (std::vector<std::string>{ "Svc2",
		    "Tail" }));
		EXPECT_EQ(string_value(svc + "\\Tail", "ImagePath"), "tail");
	}
}

/* ---- failing system calls ---- */

/* Every call of the syscall table counts; the one numbered g_fault_at
 * (from 1), or every one from it on when g_fault_for_good, fails with
 * EIO.  A close fails after closing, as Linux's does.  An fsync that
 * does not fail does nothing: the sweep needs no durability, and it
 * would spend most of its time there. */
unsigned long g_fault_calls, g_fault_at;
bool g_fault_for_good;
const char *g_fault_name;	/* the first call failed */

bool
fault_now(void)
{
	g_fault_calls++;
	return g_fault_at != 0 && (g_fault_calls == g_fault_at ||
	    (g_fault_for_good && g_fault_calls > g_fault_at));
}

/* The wrapper of call NAME of TABLE (g_syscalls, g_hivex_calls), whose
 * function type is TYPE. */
#define FAULT_WRAP(table, type, name, ret, fail, params, args) \
	ret fault_##name params \
	{ \
		type real_fn = (type)table.real; \
		std::string call_ = #name; \
		if (!fault_now()) \
			return call_ == "fsync" ? (ret)0 : real_fn args; \
		if (call_ == "close" || call_ == "closedir") \
			(void)real_fn args; \
		if (g_fault_name == NULL) \
			g_fault_name = #name; \
		errno = EIO; \
		return fail; \
	}
#define FAULT_WRAP_SC(name, ret, fail, params, args, fn) \
	FAULT_WRAP(g_syscalls[SC_##name], sc_##name##_fn, name, ret, fail, \
	    params, args)
#define FAULT_WRAP_HC(name, ret, fail, params, args, fn) \
	FAULT_WRAP(g_hivex_calls[HC_##name], hc_##name##_fn, name, ret, \
	    fail, params, args)
SYSCALLS(FAULT_WRAP_SC)
HIVEX_CALLS(FAULT_WRAP_HC)
#undef FAULT_WRAP_SC
#undef FAULT_WRAP_HC
#undef FAULT_WRAP

/* Sends every call of the two tables through its counting wrapper (ON),
 * or back to the real function.  The reads of a hive in memory are left
 * out: one that fails is a key or value not there, which other tests
 * cover, and they are most of the calls. */
void
fault_install(bool on)
{
	static const char *const in_memory[] = { "hivex_node_children",
	    "hivex_node_name", "hivex_node_values", "hivex_value_key",
	    "hivex_value_value" };
#define FAULT_SET(set, name) \
	if (std::find(std::begin(in_memory), std::end(in_memory), \
	    std::string(#name)) == std::end(in_memory)) { \
		ASSERT_EQ(set(#name, on ? \
		    (void (*)(void))fault_##name : NULL), 1); \
	}
#define FAULT_SET_SC(name, ...) FAULT_SET(sys_call_set, name)
#define FAULT_SET_HC(name, ...) FAULT_SET(hivex_call_set, name)
	SYSCALLS(FAULT_SET_SC)
	HIVEX_CALLS(FAULT_SET_HC)
#undef FAULT_SET_SC
#undef FAULT_SET_HC
#undef FAULT_SET
}

/* Every key path of the hive file at PATH; "<unreadable>" alone when
 * libhivex cannot open it. */
std::set<std::string>
hive_keys(const std::string &path)
{
	std::set<std::string> keys;
	hive_h *h = hivex_open(path.c_str(), 0);
	std::vector<std::pair<hive_node_h, std::string>> todo;

	if (h == NULL)
		return { "<unreadable>" };
	todo.push_back({ hivex_root(h), "" });
	while (!todo.empty()) {
		auto [node, name] = todo.back();
		todo.pop_back();
		hive_node_h *kids = hivex_node_children(h, node);
		for (size_t k = 0; kids != NULL && kids[k] != 0; k++) {
			char *n = hivex_node_name(h, kids[k]);
			std::string child = name + "\\" + (n ? n : "?");
			free(n);
			keys.insert(child);
			todo.push_back({ kids[k], child });
		}
		free(kids);
	}
	hivex_close(h);
	return keys;
}

/* A cleanup run of four items in which one system call fails, for each
 * call of the run in turn (once, then for good from it on): the run
 * always ends with its summary, each hive is the old one or one written
 * whole with whole trees gone, and no temporary file is left.  SYSTEM
 * holds its service key only in its logs, which stay as they are and go
 * into the backup with the hive. */
TEST_F(HiveTest, HiveFaultSweep)
{
	const std::string u = std::string("\\") + kUninstall;
	const std::string svc = "\\ControlSet002\\Services\\vkm310svc";
	const std::vector<std::string> trees[2] = {
	    { u + "\\VKM310" }, { svc } };
	std::string windows = top + "/WINDOWS";
	std::string software, system, full = top + "/full";
	const std::vector<std::string> log_names = { "SYSTEM.LOG1",
	    "SYSTEM.LOG2" };
	std::vector<std::string> logs;

	write_bytes(full, read_bytes(hive_path("SYSTEM")));
	fill(full, logged_rows());
	make_logged("SYSTEM", logged_rows(), "new", log_names);
	software = read_bytes(hive_path("SOFTWARE"));
	system = read_bytes(hive_path("SYSTEM"));
	for (const std::string &l : log_names)
		logs.push_back(read_bytes(config + "/" + l));
	const std::set<std::string> keys[2] = {
	    hive_keys(hive_path("SOFTWARE")), hive_keys(full) };
	/* The backup folders of the runs land in a scratch folder of their
	 * own, emptied before each run. */
	std::string cwd = top + "/cwd", was(4096, '\0');
	bool attrs = true;	/* the file system keeps user.* attributes */
	ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
	ASSERT_NE(getcwd(&was[0], was.size()), nullptr);
	ASSERT_EQ(chdir(cwd.c_str()), 0);
	auto plant = [&]() {
		new_run();
		backup_reset();
		hive_set_backup_dir(NULL);
		/* Every run the same: the backup folder new_run made is the
		 * run's own to make (a folder more in TOP each run would make
		 * each look there longer, until the calls counted were all
		 * the listing of TOP), and the resolver starts afresh. */
		rmdir(backup.c_str());
		winpath_forget();
		for (const std::string &n : list_folder(cwd))
			nftw((cwd + "/" + n).c_str(), remove_entry, 16,
			    FTW_DEPTH | FTW_PHYS);
		nftw((windows + "/inf").c_str(), remove_entry, 16,
		    FTW_DEPTH | FTW_PHYS);
		nftw((windows + "/system32/drivers").c_str(), remove_entry, 16,
		    FTW_DEPTH | FTW_PHYS);
		for (const std::string &n : list_folder(config))
			unlink((config + "/" + n).c_str());
		mkdir((windows + "/inf").c_str(), 0755);
		mkdir((windows + "/system32/drivers").c_str(), 0755);
		write_bytes(windows + "/inf/oem3.inf",
		    "[SourceDisksFiles]\r\nvkm310.sys = 1\r\n");
		write_bytes(windows + "/inf/oem3.pnf", "PNF");
		write_bytes(windows + "/system32/drivers/vkm310.sys", "MZ");
		write_bytes(hive_path("SOFTWARE"), software);
		write_bytes(hive_path("SYSTEM"), system);
		for (size_t k = 0; k < logs.size(); k++)
			write_bytes(config + "/" + log_names[k], logs[k]);
		/* What a replaced hive must still carry. */
		for (const char *name : { "SOFTWARE", "SYSTEM" })
			attrs &= setxattr(hive_path(name).c_str(), "user.vkm310",
			    "kept", 4, 0) == 0;
		g_found_count = g_fixed_count = g_unread_count = 0;
		g_answer_mode = ReportOnly;
		fake_console_reset({ 'a' });
	};
	auto run = [&](unsigned long at, bool for_good) {
		char arg0[] = "vkm310_cleanup", f[] = "-f", agree[] = "-agree";
		char *argv[] = { arg0, f, agree, NULL };
		plant();
		g_fault_calls = 0;
		g_fault_at = at;
		g_fault_for_good = for_good;
		g_fault_name = NULL;
		fault_install(true);
		run_main(3, argv);
		fault_install(false);
		return fake_console_output();
	};
	/* A run ends with its summary, or, when SystemRoot could not be
	 * looked at, stops before the disclaimer saying so. */
	const std::regex summary("\n\nSystemRoot \\([^\n]*\\) is no Windows "
	    "installation: [^\n]*\n$|"
	    "\n\nNothing found, but [0-9]+ place\\(s\\) could not be read: "
	    "this system is not known to be clean\n$|"
	    "\n\n(Nothing to do, this system is clean !|"
	    "[0-9]+ item\\(s\\) (fixed\nYou must now reboot your system|"
	    "found, [0-9]+ fixed))\n([0-9]+ place\\(s\\) could not be read: "
	    "the system was not fully checked\n)?(Backup of the removed "
	    "items: [^\n]*\n)?$");
	/* The copy of NAME (below the Windows folder) in the run's backup
	 * folder, "" when there is none. */
	auto kept = [&](const std::string &name) {
		for (const std::string &d : list_folder(cwd)) {
			std::string p = cwd + "/" + d + "/SystemRoot/" + name;
			if (exists(p))
				return read_bytes(p);
		}
		return std::string();
	};

	/* Two runs alike but for their backup folder's time. */
	const std::regex stamp("vkm310_backup-[0-9-]+");
	ASSERT_EQ(std::regex_replace(run(0, false), stamp, "B"),
	    std::regex_replace(run(0, false), stamp, "B"));
	ASSERT_TRUE(std::regex_search(fake_console_output(), summary))
	    << fake_console_output();
	ASSERT_NE(fake_console_output().find("4 item(s) fixed"),
	    std::string::npos) << fake_console_output();
	unsigned long calls = g_fault_calls;
	ASSERT_GT(calls, 50u);
	printf("%lu calls in a run\n", calls);
	for (bool for_good : { false, true }) {
		for (unsigned long n = 1; n <= calls; n++) {
			SCOPED_TRACE((for_good ? "from call " : "call ") +
			    std::to_string(n));
			std::string text = run(n, for_good);
			ASSERT_TRUE(std::regex_search(text, summary)) << text;
			EXPECT_EQ(hive_open_handles(), 0);
			for (int i = 0; i < 2; i++) {
				std::string name = i == 0 ? "SOFTWARE" : "SYSTEM";
				/* Untouched: SYSTEM's file lacks what its logs
				 * bring. */
				if (read_bytes(hive_path(name.c_str())) ==
				    (i == 0 ? software : system))
					continue;
				std::set<std::string> now = hive_keys(
				    hive_path(name.c_str()));
				std::set<std::string> gone;
				std::set_difference(keys[i].begin(),
				    keys[i].end(), now.begin(), now.end(),
				    std::inserter(gone, gone.end()));
				ASSERT_TRUE(std::includes(keys[i].begin(),
				    keys[i].end(), now.begin(), now.end()))
				    << name;
				/* Only whole trees of the items go. */
				for (const std::string &k : gone) {
					bool inside = false;
					for (const std::string &t : trees[i])
						inside |= k.compare(0, t.size(),
						    t) == 0;
					EXPECT_TRUE(inside) << name << k;
				}
				for (const std::string &t : trees[i]) {
					size_t left = 0, all = 0;
					for (const std::string &k : keys[i]) {
						if (k.compare(0, t.size(), t))
							continue;
						all++;
						left += now.count(k);
					}
					EXPECT_TRUE(left == 0 || left == all)
					    << name << t << left;
				}
				/* A replaced hive has the old one's attributes:
				 * one that could not be given them stays. */
				char attr[8] = "";
				ssize_t got = getxattr(hive_path(name.c_str())
				    .c_str(), "user.vkm310", attr, sizeof(attr));
				if (attrs) {
					EXPECT_EQ(std::string(attr, got > 0 ?
					    (size_t)got : 0), "kept") << name;
				}
				/* Nothing goes without its backup. */
				EXPECT_EQ(kept("system32/Config/" + name), i == 0 ?
				    software : system) << name;
			}
			for (size_t k = 0; k < logs.size(); k++) {
				EXPECT_EQ(read_bytes(config + "/" +
				    log_names[k]), logs[k]);
				if (read_bytes(hive_path("SYSTEM")) != system) {
					EXPECT_EQ(kept("system32/Config/" +
					    log_names[k]), logs[k]);
				}
			}
			if (!exists(windows + "/inf/oem3.inf")) {
				EXPECT_EQ(kept("inf/oem3.inf"),
				    "[SourceDisksFiles]\r\nvkm310.sys = 1\r\n");
			}
			if (!exists(windows + "/system32/drivers/vkm310.sys")) {
				EXPECT_EQ(kept("system32/drivers/vkm310.sys"),
				    "MZ");
			}
			/* Failing for good, the removal of a temp file
			 * fails too; the next run removes it. */
			for (const std::string &f : list_folder(config)) {
				EXPECT_TRUE(for_good || f.find(".tmp") ==
				    std::string::npos) << f << " " <<
				    g_fault_name;
			}
		}
	}
	ASSERT_EQ(chdir(was.c_str()), 0);
}

/* ---- mkhive ---- */

TEST_F(HiveTest, HiveMkhiveHeader)
{
	std::string empty = top + "/empty.hiv";

	ASSERT_EQ(mkhive(shell_arg(empty)), 0);
	std::string h = read_bytes(empty);
	static const struct {
		size_t offset;
		unsigned long value;
	} fields[] = {
		{ 0, 0x66676572 },	/* "regf" */
		{ 20, 1 },		/* major version */
		{ 36, 0x20 },		/* root cell */
		{ 48, 0x006d0065 },	/* named "em...", UTF-16 */
		{ 4096, 0x6e696268 },	/* "hbin" */
		{ 4100, 0 },		/* first bin at offset 0 */
	};
	ASSERT_GE(h.size(), 8192u);
	for (const auto &f : fields)
		EXPECT_EQ(le32(h, f.offset), f.value) << f.offset;
	EXPECT_EQ(le32(h, 4), le32(h, 8));
	EXPECT_EQ(le32(h, 40), h.size() - 4096) << "bins size";
	EXPECT_TRUE(checksum_ok(h));

	ASSERT_EQ(mkhive("--dirty " + shell_arg(empty)), 0);
	std::string d = read_bytes(empty);
	EXPECT_NE(le32(d, 4), le32(d, 8));
	EXPECT_TRUE(checksum_ok(d));
	EXPECT_EQ(d.substr(512), h.substr(512));
	EXPECT_EQ(mkhive("--dirty " + shell_arg(top + "/none")), 1);
	EXPECT_EQ(mkhive(""), 2);
}

}  // namespace
