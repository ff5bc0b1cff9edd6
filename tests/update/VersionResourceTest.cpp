#include "update/VersionResource.h"

#include "app/ProgramVersion.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <ostream>
#include <string>
#include <sys/stat.h>

namespace {

/// What the package database itself says about a package, asked through
/// the shell the way a person would.
std::string PackageField(const std::string& package, const std::string& field) {
    std::string command = "dpkg-query -W -f='${" + field + "}' " + package + " 2>/dev/null";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
            out.append(buf, n);
        ::pclose(pipe);
    }
    return out;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

void ExpectEmpty(const CVersionResource& res) {
    for (std::size_t i = 0; i < CVersionResource::kStringCount; ++i)
        EXPECT_EQ(res.GetString(static_cast<CVersionResource::EString>(i)), "")
            << CVersionResource::kStringNames[i];
    const auto& fixed = res.GetFixedInfo();
    const auto* bytes = reinterpret_cast<const unsigned char*>(&fixed);
    for (std::size_t i = 0; i < sizeof fixed; ++i)
        EXPECT_EQ(bytes[i], 0u) << "byte " << i;
    for (int part = 0; part < 4; ++part)
        EXPECT_EQ(res.GetVersionPart(part), 0) << part;
}

void ExpectOwnVersion(const CVersionResource& res) {
    EXPECT_EQ(res.GetFileVersion(), kProgramFileVersion);
    EXPECT_EQ(res.GetString("ProductVersion"), kProgramFileVersion);
    EXPECT_EQ(res.GetString("ProductName"), "Vortlebox");
    EXPECT_EQ(res.GetString("InternalName"), "Vortlebox");
    EXPECT_FALSE(res.GetString("CompanyName").empty());
    EXPECT_FALSE(res.GetString("FileDescription").empty());
    EXPECT_EQ(res.GetVersionPart(3), kProgramVersionFields[0]);
    EXPECT_EQ(res.GetVersionPart(2), kProgramVersionFields[1]);
    EXPECT_EQ(res.GetVersionPart(1), kProgramVersionFields[2]);
    EXPECT_EQ(res.GetVersionPart(0), kProgramVersionFields[3]);
    EXPECT_EQ(res.GetVersionPart(4), 0);
    EXPECT_EQ(res.GetVersionPart(-1), 0);
    EXPECT_EQ(res.GetFixedInfo().signature, CVersionResource::kFixedSignature);
}

class VersionResourceTest : public ::testing::Test {
protected:
    CTestEnvironment mEnv;
    CLogCapture mLog;
};

TEST_F(VersionResourceTest, OwnExecutableHasTheCompiledInVersion) {
    CVersionResource byModule;
    ASSERT_TRUE(byModule.OpenModule(nullptr));
    ExpectOwnVersion(byModule);

    CVersionResource byPath;
    ASSERT_TRUE(byPath.Open("/proc/self/exe"));
    ExpectOwnVersion(byPath);

    CVersionResource byRealPath;
    ASSERT_TRUE(byRealPath.Open(std::filesystem::read_symlink("/proc/self/exe").string()));
    ExpectOwnVersion(byRealPath);
}

struct OwnedFile {
    const char* path;
    const char* package;
};

void PrintTo(const OwnedFile& f, std::ostream* os) {
    *os << f.path;
}

class VersionResourcePackageTest : public ::testing::TestWithParam<OwnedFile> {
protected:
    CTestEnvironment mEnv;
};

TEST_P(VersionResourcePackageTest, FilledFromTheOwningPackage) {
    const OwnedFile& file = GetParam();
    const std::string version = PackageField(file.package, "Version");
    ASSERT_FALSE(version.empty()) << "package " << file.package << " should be installed";

    CVersionResource res;
    ASSERT_TRUE(res.Open(file.path)) << file.path;
    EXPECT_EQ(res.GetFileVersion(), version);
    EXPECT_EQ(res.GetString("ProductVersion"), version);
    EXPECT_EQ(res.GetString("ProductName"), file.package);
    EXPECT_EQ(res.GetString("InternalName"), file.package);
    EXPECT_EQ(res.GetString("CompanyName"), PackageField(file.package, "Maintainer"));
    EXPECT_EQ(res.GetString("FileDescription"), FirstLine(PackageField(file.package, "Description")));
    EXPECT_EQ(res.GetString("LegalCopyright"), "");

    // The numeric words carry the version's leading numbers.
    int numbers[4] = {0, 0, 0, 0};
    std::sscanf(version.c_str(), "%d.%d.%d.%d", &numbers[0], &numbers[1], &numbers[2], &numbers[3]);
    EXPECT_EQ(res.GetVersionPart(3), numbers[0]) << version;
    EXPECT_EQ(res.GetVersionPart(2), numbers[1]) << version;
    EXPECT_EQ(res.GetVersionPart(1), numbers[2]) << version;
    EXPECT_EQ(res.GetFixedInfo().signature, CVersionResource::kFixedSignature);
}

INSTANTIATE_TEST_SUITE_P(Debian, VersionResourcePackageTest,
                         ::testing::Values(OwnedFile{"/usr/bin/dpkg", "dpkg"},
                                           // Registered as /bin/ls, reached through the /bin link.
                                           OwnedFile{"/bin/ls", "coreutils"},
                                           // The same file under its merged-/usr name.
                                           OwnedFile{"/usr/bin/ls", "coreutils"},
                                           // A diverted link to a file registered without /usr.
                                           OwnedFile{"/bin/sh", "dash"}));

TEST_F(VersionResourceTest, LoadedLibraryIsFilledFromItsPackage) {
    void* module = ::dlopen("libsqlite3.so.0", RTLD_LAZY);
    ASSERT_NE(module, nullptr) << ::dlerror();
    CVersionResource res;
    const bool opened = res.OpenModule(module);
    ::dlclose(module);
    ASSERT_TRUE(opened);
    EXPECT_EQ(res.GetString("ProductName"), "libsqlite3-0");
    EXPECT_EQ(res.GetFileVersion(), PackageField("libsqlite3-0", "Version"));
}

TEST_F(VersionResourceTest, FilesWithoutVersionInformation) {
    CTempDir dir;
    const std::string unowned = dir.File("unowned-program");
    WriteFile(unowned, "#!/bin/sh\n");
    ::chmod(unowned.c_str(), 0755);
    const std::array<std::string, 5> paths = {unowned, dir.File("missing"), dir.Path(),
                                              "/usr/bin" /* a folder packages own */, ""};
    for (const std::string& path : paths) {
        CVersionResource res;
        // A previous answer must not survive a failed read.
        ASSERT_TRUE(res.Open("/usr/bin/dpkg"));
        EXPECT_FALSE(res.Open(path)) << path;
        ExpectEmpty(res);
        EXPECT_EQ(res.GetFileVersion(), "");
    }
}

TEST_F(VersionResourceTest, NoPackageDatabaseMeansNoInformation) {
    CTempDir emptyBin;
    mEnv.Env().Set("PATH", emptyBin.Path());
    CVersionResource res;
    EXPECT_FALSE(res.Open("/usr/bin/dpkg"));
    ExpectEmpty(res);
    EXPECT_TRUE(mLog.Contains("Couldn't run dpkg-query")) << mLog.Text();
}

/// A stand-in for dpkg-query that answers with the awkward shapes the real
/// one can give, and records the pattern it was asked about.
constexpr const char* kFakeQuery = R"(#!/bin/sh
case "$1" in
--search)
    printf '%s' "$3" > "$FAKE_QUERY_LOG"
    printf 'diversion by other from: %s\n' "$FAKE_QUERY_PATH"
    printf 'other: %s.bak\n' "$FAKE_QUERY_PATH"
    printf 'libfoo:amd64, libbar: %s\n' "$FAKE_QUERY_PATH"
    ;;
--show)
    [ "$4" = "libfoo:amd64" ] || exit 1
    printf '3:2.5.7-3+deb12u1\nlibfoo\nA Maintainer <a@example.org>\nshort text\n longer text\n .\n more\n'
    ;;
esac
)";

TEST_F(VersionResourceTest, ParsesTheOwnerAndDetailsOfAPackage) {
    CTempDir bin;
    WriteFile(bin.File("dpkg-query"), kFakeQuery);
    ::chmod(bin.File("dpkg-query").c_str(), 0755);
    CTempDir files;
    // Pattern characters in a file name must reach the query escaped.
    const std::string path = files.File("a*b?[c]");
    WriteFile(path, "x");
    mEnv.Env().Set("PATH", bin.Path());
    mEnv.Env().Set("FAKE_QUERY_PATH", path);
    mEnv.Env().Set("FAKE_QUERY_LOG", files.File("pattern"));

    CVersionResource res;
    ASSERT_TRUE(res.Open(path)) << mLog.Text();
    EXPECT_EQ(ReadFile(files.File("pattern")), files.Path() + "/a\\*b\\?\\[c]");
    EXPECT_EQ(res.GetFileVersion(), "3:2.5.7-3+deb12u1");
    EXPECT_EQ(res.GetString("ProductName"), "libfoo");
    EXPECT_EQ(res.GetString("CompanyName"), "A Maintainer <a@example.org>");
    EXPECT_EQ(res.GetString("FileDescription"), "short text");
    // The epoch is left out of the numbers.
    EXPECT_EQ(res.GetVersionPart(3), 2);
    EXPECT_EQ(res.GetVersionPart(2), 5);
    EXPECT_EQ(res.GetVersionPart(1), 7);
    EXPECT_EQ(res.GetVersionPart(0), 0);
}

TEST_F(VersionResourceTest, RunawayQueryIsStopped) {
    CTempDir bin;
    // Answers without end: the reader must give up instead of waiting or
    // filling memory.
    WriteFile(bin.File("dpkg-query"), "#!/bin/sh\nexec /usr/bin/yes \"pkg: $3\"\n");
    ::chmod(bin.File("dpkg-query").c_str(), 0755);
    CTempDir files;
    WriteFile(files.File("program"), "x");
    mEnv.Env().Set("PATH", bin.Path());
    CVersionResource res;
    EXPECT_FALSE(res.Open(files.File("program")));
    ExpectEmpty(res);
    EXPECT_TRUE(mLog.Contains("dpkg-query didn't answer properly")) << mLog.Text();
}

TEST_F(VersionResourceTest, LinkIsReadAsTheFileItLeadsTo) {
    CTempDir dir;
    std::filesystem::create_symlink("/usr/bin/dpkg", dir.File("my-link"));
    CVersionResource res;
    ASSERT_TRUE(res.Open(dir.File("my-link")));
    EXPECT_EQ(res.GetString("ProductName"), "dpkg");
    EXPECT_EQ(res.GetFileVersion(), PackageField("dpkg", "Version"));
}

TEST_F(VersionResourceTest, StringsByName) {
    CVersionResource res;
    ASSERT_TRUE(res.OpenModule(nullptr));
    for (std::size_t i = 0; i < CVersionResource::kStringCount; ++i)
        EXPECT_EQ(res.GetString(CVersionResource::kStringNames[i]),
                  res.GetString(static_cast<CVersionResource::EString>(i)));
    EXPECT_EQ(res.GetString("NoSuchName"), "");
    res.Reset();
    ExpectEmpty(res);
}

} // namespace
