#include "path.h"

#include "alloc_sweep.h"
#include "child_process.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Discovery runs once per process, so every case that calls path_init runs
// in a child of its own (run_in_child).

std::string str(const char *s) {
    return s == nullptr ? "(null)" : s;
}

std::string take(char *s) {
    std::string copy = str(s);
    pool_free(pool_default(), s);
    return copy;
}

struct TempTree {
    fs::path root;
    TempTree() {
        char pattern[] = "/tmp/kovrel-path-XXXXXX";
        root = mkdtemp(pattern);
    }
    ~TempTree() { fs::remove_all(root); }
    void make_file(const fs::path &relative, fs::perms perms) const {
        fs::create_directories((root / relative).parent_path());
        std::ofstream(root / relative) << "#!/bin/sh\n";
        fs::permissions(root / relative, perms);
    }
};

struct DiscoveryCase {
    const char *name;
    const char *kovrel_dir;      // null: unset
    const char *script_filename; // null: unset
    // In the next four, "@" stands for the temporary tree.
    const char *argv0;
    const char *path; // PATH; null: unset
    const char *cwd;  // null: stay
    const char *top;
};

std::string expand(const char *value, const TempTree &tree) {
    std::string s;
    for (const char *p = value; *p != '\0'; ++p)
        s += *p == '@' ? tree.root.string() : std::string(1, *p);
    return s;
}

void PrintTo(const DiscoveryCase &c, std::ostream *os) {
    *os << c.name;
}

class PathDiscoveryTest : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(PathDiscoveryTest, TopAndTableFollowTheEnvironmentAndProgramPath) {
    const DiscoveryCase &c = GetParam();
    TempTree tree;
    tree.make_file("prod/bin/kvtool", fs::perms::owner_all);
    tree.make_file("other/kvtool", fs::perms::owner_read); // not executable: skipped
    tree.make_file("local/sbin/kvd", fs::perms::owner_all);

    const std::vector<std::string> got = run_in_child([&] {
        unsetenv("KOVREL_DIR");
        unsetenv("SCRIPT_FILENAME");
        if (c.kovrel_dir != nullptr)
            setenv("KOVREL_DIR", c.kovrel_dir, 1);
        if (c.script_filename != nullptr)
            setenv("SCRIPT_FILENAME", c.script_filename, 1);
        if (c.path != nullptr)
            setenv("PATH", expand(c.path, tree).c_str(), 1);
        else
            unsetenv("PATH");
        if (c.cwd != nullptr && chdir(expand(c.cwd, tree).c_str()) != 0)
            return std::vector<std::string>{"chdir failed"};
        const std::string argv0 = c.argv0 == nullptr ? "" : expand(c.argv0, tree);
        path_init(c.argv0 == nullptr ? nullptr : argv0.c_str());
        return std::vector<std::string>{str(path_get_top_dir()), str(path_to(Path_Top)),
                                        str(path_to(Path_Log)), str(path_to(Path_Files)),
                                        str(path_to(Path_Bin))};
    });
    const std::string top = expand(c.top, tree);
    EXPECT_EQ(got, (std::vector<std::string>{top, top + "/", top + "/log/", top + "/misc/",
                                             top + "/bin/"}));
}

const DiscoveryCase discovery_cases[] = {
    {"KovrelDir", "/opt/prod", nullptr, nullptr, "/usr/bin", nullptr, "/opt/prod"},
    {"NothingSetGivesRoot", nullptr, nullptr, nullptr, "/usr/bin", nullptr, "/"},
    {"KovrelDirBeatsScript", "/opt/prod", "/srv/app/web/cgi-bin/run.cgi", nullptr, nullptr, nullptr,
     "/opt/prod"},
    {"ScriptUnderCgiBin", nullptr, "/srv/app/web/cgi-bin/run.cgi", nullptr, nullptr, nullptr,
     "/srv/app"},
    {"ScriptDirectlyInBin", nullptr, "/bin/tool", nullptr, nullptr, nullptr, "/"},
    {"ScriptBeatsProgram", nullptr, "/srv/app/bin/x", "/opt/other/bin/y", nullptr, nullptr,
     "/srv/app"},
    // An empty setting counts as no setting.
    {"EmptyKovrelDirIgnored", "", "/srv/app/sbin/x", nullptr, nullptr, nullptr, "/srv/app"},
    {"AbsoluteProgram", nullptr, nullptr, "/usr/local/kovrel/sbin/kvd", nullptr, nullptr,
     "/usr/local/kovrel"},
    {"DotSlashProgramJoinsCwd", nullptr, nullptr, "./sbin/kvd", nullptr, "@/local", "@/local"},
    {"BareProgramFoundOnPath", nullptr, nullptr, "kvtool", "@/other:@/prod/bin", nullptr, "@/prod"},
    {"BareProgramNotFoundGivesRoot", nullptr, nullptr, "kvtool", "/nonexistent", nullptr, "/"},
};

INSTANTIATE_TEST_SUITE_P(Cases, PathDiscoveryTest, ::testing::ValuesIn(discovery_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(PathTest, OutOfRangeDirectoriesGiveTheTop) {
    const std::vector<std::string> got = run_in_child([] {
        setenv("KOVREL_DIR", "/opt/prod", 1);
        path_init(nullptr);
        return std::vector<std::string>{
            str(path_to(Path_Last_Dir)), str(path_to(static_cast<path_dir_t>(100))),
            str(path_to(static_cast<path_dir_t>(-1))), str(path_to(Path_Jetty))};
    });
    EXPECT_EQ(
        got, (std::vector<std::string>{"/opt/prod", "/opt/prod", "/opt/prod", "/opt/prod/jetty/"}));
}

TEST(PathTest, EveryEntryIsTheTopFollowedByItsSuffix) {
    const std::vector<std::string> got = run_in_child([] {
        setenv("KOVREL_DIR", "/x", 1);
        path_init(nullptr);
        std::vector<std::string> all;
        for (int d = Path_Top; d < Path_Last_Dir; ++d)
            all.push_back(str(path_to(static_cast<path_dir_t>(d))));
        return all;
    });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "/x/", "/x/bin/", "/x/web/cgi-bin/", "/x/conf/", "/x/data/", "/x/misc/",
                       "/x/lib/", "/x/libexec/", "/x/log/", "/x/misc/", "/x/plugins/quarra/",
                       "/x/sbin/", "/x/web/", "/x/plugins/filer/", "/x/reports/", "/x/dataExport/",
                       "/x/java/bin/", "/x/jetty/"}));
}

TEST(PathTest, SecondInitChangesNothing) {
    const std::vector<std::string> got = run_in_child([] {
        setenv("KOVREL_DIR", "/opt/first", 1);
        path_init(nullptr);
        setenv("KOVREL_DIR", "/opt/second", 1);
        path_init("/srv/third/bin/prog");
        return std::vector<std::string>{str(path_get_top_dir()), str(path_to(Path_Log))};
    });
    EXPECT_EQ(got, (std::vector<std::string>{"/opt/first", "/opt/first/log/"}));
}

TEST(PathTest, TableIsBuiltFromRootBeforeInitAndReplacedByInit) {
    const std::vector<std::string> got = run_in_child([] {
        setenv("KOVREL_DIR", "/opt/prod", 1);
        std::vector<std::string> v{str(path_get_top_dir()), str(path_to(Path_Log))};
        path_init(nullptr);
        v.push_back(str(path_to(Path_Log)));
        return v;
    });
    EXPECT_EQ(got, (std::vector<std::string>{"/", "//log/", "/opt/prod/log/"}));
}

TEST(PathTest, PoolShutdownReleasesTheTopAndTableWhichIsThenRebuiltFromRoot) {
    const std::vector<std::string> got = run_in_child([] {
        setenv("KOVREL_DIR", "/opt/prod", 1);
        path_init(nullptr);
        pool_shutdown();
        std::vector<std::string> v{str(path_get_top_dir()), str(path_to(Path_Log))};
        setenv("KOVREL_DIR", "/opt/again", 1);
        path_init(nullptr); // discovery stays done
        v.push_back(str(path_get_top_dir()));
        return v;
    });
    EXPECT_EQ(got, (std::vector<std::string>{"/", "//log/", "/"}));
}

struct DeduceCase {
    const char *path;
    const char *top; // "@" stands for the temporary tree
};

TEST(PathDeduceTopTest, MarkersDevelopmentTreeAndFallback) {
    TempTree tree;
    fs::create_directories(tree.root / "dev/release/solaris");
    fs::create_directories(tree.root / "plain");
    const DeduceCase cases[] = {
        {"/srv/app/web/cgi-bin/run.cgi", "/srv/app"},
        {"/bin/tool", "/"},
        {"/opt/x/bin/prog", "/opt/x"},
        {"/opt/x/sbin/daemon", "/opt/x"},
        {"/opt/x/script-plugins/p.sh", "/opt/x"},
        {"/sbin/init", "/"},
        {"/web/cgi-bin/a.cgi", "/"},
        // "/bin/" is looked for before "/sbin/", wherever each occurs.
        {"/a/sbin/b/bin/c", "/a/sbin/b"},
        {"/opt/x/cgi-bin/prog", "/"},
        // Three directory levels up, a release image makes the top.
        {"@/dev/src/module/prog", "@/dev/release/solaris"},
        {"@/plain/src/module/prog", "/"},
        {"/prog", "/"},
        {"/a/prog", "/"},
        {"prog", "/"},
    };
    for (const DeduceCase &c : cases) {
        const std::string path = expand(c.path, tree);
        EXPECT_EQ(take(path_deduce_top(path.c_str())), expand(c.top, tree)) << path;
    }
}

TEST(PathDeduceTopTest, OutOfMemoryGivesNullWithoutLeaking) {
    TempTree tree;
    fs::create_directories(tree.root / "dev/release/solaris");
    for (const std::string &path : {std::string("/opt/x/bin/p"), std::string("/none/a/b/c"),
                                    tree.root.string() + "/dev/a/b/prog"}) {
        SCOPED_TRACE(path);
        sweep_allocation_failures([&] { return path_deduce_top(path.c_str()); },
                                  [](char *top, bool failed) {
                                      EXPECT_EQ(top == nullptr, failed);
                                      pool_free(pool_default(), top);
                                  });
    }
}

struct FindSelfCase {
    const char *name;
    // "@" stands for the temporary tree.
    const char *path; // null: PATH unset
    const char *cwd;
    const char *program;
    const char *found;
};

TEST(PathFindSelfTest, SearchesPathThenTheCurrentDirectory) {
    TempTree tree;
    tree.make_file("a/kvtool", fs::perms::owner_read | fs::perms::owner_write);
    tree.make_file("b/kvtool", fs::perms::owner_all);
    tree.make_file("here/kvlocal", fs::perms::owner_all);
    tree.make_file("up/kvup", fs::perms::owner_all);
    fs::create_directories(tree.root / "up/down");
    fs::create_directories(tree.root / "d/kvdir"); // a directory is not a program
    const FindSelfCase cases[] = {
        {"SkipsNonExecutable", "@/a:@/b", "/", "kvtool", "@/b/kvtool"},
        {"PathUnset", nullptr, "/", "kvtool", "kvtool"},
        {"NotFound", "@/a", "/", "kvmissing", "kvmissing"},
        {"DotAppendedLast", "/nonexistent", "@/here", "kvlocal", "@/here/kvlocal"},
        {"EmptyEntryIsCwd", "/nonexistent::/other", "@/here", "kvlocal", "@/here/kvlocal"},
        {"DotDotIsParentOfCwd", "..", "@/up/down", "kvup", "@/up/kvup"},
        {"DirectorySkipped", "@/d", "/", "kvdir", "kvdir"},
    };
    for (const FindSelfCase &c : cases) {
        const std::vector<std::string> got = run_in_child([&] {
            if (c.path == nullptr)
                unsetenv("PATH");
            else
                setenv("PATH", expand(c.path, tree).c_str(), 1);
            if (chdir(expand(c.cwd, tree).c_str()) != 0)
                return std::vector<std::string>{"chdir failed"};
            return std::vector<std::string>{take(path_find_self(c.program))};
        });
        EXPECT_EQ(got, std::vector<std::string>{expand(c.found, tree)}) << c.name;
    }
}

TEST(PathFindSelfTest, OutOfMemoryGivesNullWithoutLeaking) {
    TempTree tree;
    tree.make_file("b/kvtool", fs::perms::owner_all);
    const std::string search = "/nonexistent:" + (tree.root / "b").string();
    const char *saved = getenv("PATH");
    const std::string saved_path = saved == nullptr ? "" : saved;
    setenv("PATH", search.c_str(), 1);
    for (const char *program : {"kvtool", "kvmissing"}) {
        SCOPED_TRACE(program);
        sweep_allocation_failures([&] { return path_find_self(program); },
                                  [](char *found, bool failed) {
                                      EXPECT_EQ(found == nullptr, failed);
                                      pool_free(pool_default(), found);
                                  });
    }
    setenv("PATH", saved_path.c_str(), 1);
}

TEST(PathTest, MissingEntriesSurviveAnAllocationFailureAndAreBuiltLater) {
    const std::vector<std::string> got = run_in_child([] {
        std::vector<std::string> v;
        for (long n = 1; n <= Path_Last_Dir; ++n) {
            path_shutdown();
            pool_test_fail_nth(n);
            const char *log = path_to(Path_Log);
            pool_test_fail_nth(0);
            // Only the failing entry is missing; the next call builds it.
            v.push_back(str(log) + "|" + str(path_to(Path_Log)));
        }
        return v;
    });
    ASSERT_EQ(got.size(), static_cast<size_t>(Path_Last_Dir));
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], i == Path_Log ? "(null)|//log/" : "//log/|//log/") << "failing " << i + 1;
}

} // namespace
