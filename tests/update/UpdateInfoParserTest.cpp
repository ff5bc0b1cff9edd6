#include "update/UpdateInfoParser.h"

#include "update/AppInfo.h"
#include "update/ConnectionException.h"
#include "update/UpdateInfoGetter.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using ESection = CUpdateInfoParser::ESection;

struct SRecord {
    ESection section;
    std::vector<std::string> fields;
    bool operator==(const SRecord&) const = default;
};

void PrintTo(const SRecord& r, std::ostream* os) {
    *os << static_cast<int>(r.section) << ":";
    for (const std::string& f : r.fields)
        *os << " [" << f << "]";
}

/// The records of a text, and the message of the exception that ended it
/// ("" when it parsed to its end).
struct SOutcome {
    std::vector<SRecord> records;
    std::string error;
};

SOutcome ParseAll(const std::string& text) {
    SOutcome outcome;
    try {
        CUpdateInfoParser::Parse(text, [&](ESection section, std::vector<std::string>& fields) {
            outcome.records.push_back({section, fields});
        });
    } catch (const CConnectionException& e) {
        outcome.error = e.what();
    }
    return outcome;
}

const std::vector<std::string> kApp = {"Vortlebox", "Vortlebox/vortlebox", "http://h/setup.exe", "1.1", "/S"};
const std::vector<std::string> kRadio = {"Fenwave Radio", "Radio/radio", "http://h/radio.exe", "2.0", ""};
const std::vector<std::string> kPlugin = {
    "Demo Player", "Demo/demo", "http://h/demo.exe", "1.0", "Plugins", "/S", "1.0", "2.0"};

struct ParseCase {
    const char* name;
    std::string text;
    std::vector<SRecord> records;
    std::string error;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateInfoParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(UpdateInfoParseTest, RecordsAndFailures) {
    const ParseCase& c = GetParam();
    const SOutcome outcome = ParseAll(c.text);
    EXPECT_EQ(outcome.records, c.records);
    EXPECT_EQ(outcome.error, c.error);
}

const std::string kAppLine = R"("Vortlebox","Vortlebox/vortlebox","http://h/setup.exe","1.1","/S")";
const std::string kRadioLine = R"("Fenwave Radio", "Radio/radio", "http://h/radio.exe", "2.0", "")";
const std::string kPluginLine =
    R"("Demo Player","Demo/demo","http://h/demo.exe","1.0","Plugins","/S","1.0","2.0")";

INSTANTIATE_TEST_SUITE_P(
    Files, UpdateInfoParseTest,
    ::testing::Values(
        ParseCase{"AllSections",
                  "// header comment\n[App]\n" + kAppLine + "\n\n[Radio]\n" + kRadioLine + "\n[Plugins]\n" +
                      kPluginLine + "\n" + kPluginLine,
                  {{ESection::App, kApp},
                   {ESection::Radio, kRadio},
                   {ESection::Plugins, kPlugin},
                   {ESection::Plugins, kPlugin}},
                  ""},
        ParseCase{"OnlyComments", "// one\n\n   \t\n//two\n \t// indented comment\n", {}, ""},
        ParseCase{"Empty", "", {}, ""},
        ParseCase{
            "RecordBeforeHeader", kAppLine + "\n[App]\n" + kAppLine, {}, CUpdateInfoParser::kCorruptText},
        ParseCase{"UnknownHeaderIsNoSection", "[Other]\n" + kAppLine, {}, CUpdateInfoParser::kCorruptText},
        ParseCase{"UnknownHeaderKeepsTheSection", "[App]\n[Other]\n" + kAppLine, {{ESection::App, kApp}}, ""},
        ParseCase{"PluginWithSevenFields",
                  "[App]\n" + kAppLine + "\n[Plugins]\n" + kPluginLine +
                      "\n\"P\",\"p/p\",\"http://h/p.exe\",\"1\",\"x\",\"\",\"1\"\n" + kPluginLine,
                  {{ESection::App, kApp}, {ESection::Plugins, kPlugin}},
                  CUpdateInfoParser::kPluginCountText},
        ParseCase{"AppWithFourFields",
                  "[App]\n\"a\",\"b\",\"c\",\"d\"\n",
                  {},
                  CUpdateInfoParser::kComponentCountText},
        ParseCase{
            "RadioWithEightFields", "[Radio]\n" + kPluginLine, {}, CUpdateInfoParser::kComponentCountText},
        ParseCase{"LineWithoutQuotes", "[Radio]\ngarbage\n", {}, CUpdateInfoParser::kComponentCountText},
        // The unclosed last field is dropped, leaving four.
        ParseCase{"UnclosedQuote",
                  "[App]\n\"a\",\"b\",\"c\",\"d\",\"e\n",
                  {},
                  CUpdateInfoParser::kComponentCountText},
        ParseCase{"DoubledQuotes",
                  "[App]\n\"Say \"\"hi\"\"\",\"p\",\"u\",\"1\",\"/TITLE=\"\"x y\"\"\"\n",
                  {{ESection::App, {"Say \"hi\"", "p", "u", "1", "/TITLE=\"x y\""}}},
                  ""},
        ParseCase{
            "LeadingBlanksAndTabs", "  \t[App]\n\t  " + kAppLine + "  \t\n", {{ESection::App, kApp}}, ""},
        // A CR stays at the end of each line: "[App]\r" is no header.
        ParseCase{"CrLfLines", "[App]\r\n" + kAppLine + "\r\n", {}, CUpdateInfoParser::kCorruptText},
        ParseCase{"CrLfAfterAGoodHeader",
                  "[App]\n" + kAppLine + "\r\n[Radio]\r\n" + kRadioLine + "\r\n",
                  {{ESection::App, kApp}, {ESection::App, kRadio}},
                  ""}));

TEST(UpdateInfoParserTest, SectionHeadersAreLogged) {
    CLogCapture log;
    ParseAll("[App]\n[Plugins]\n[Radio]\n[Other]\n");
    EXPECT_TRUE(log.Contains("\n  Found [App]\n"));
    EXPECT_TRUE(log.Contains("\n  Found [Plugins]\n"));
    EXPECT_TRUE(log.Contains("\n  Found [Radio]\n"));
    EXPECT_FALSE(log.Contains("Found [Other]"));
}

class UpdateInfoGetterParseTest : public ::testing::Test {
protected:
    void SetUp() override { mEnv.Env().Set("VORTLEBOX_PROGRAM_FILES", "/pf"); }

    CTestEnvironment mEnv;
    CLogCapture mLog;
    CUpdateInfoGetter mGetter;
};

TEST_F(UpdateInfoGetterParseTest, FillsTheRecords) {
    mGetter.ParseUpdateInfo("[App]\n" + kAppLine + "\n[Radio]\n" + kRadioLine + "\n[Plugins]\n" +
                            kPluginLine +
                            "\n\"Other\",\"O/o\",\"http://h/o.dll\",\"3\",\"\",\"\",\"\",\"\"\n");
    CComponentInfo app;
    ASSERT_TRUE(mGetter.GetAppInfo(app, false));
    EXPECT_EQ(app.GetName(), "Vortlebox");
    EXPECT_EQ(app.GetPath(), "/pf/Vortlebox/vortlebox");
    EXPECT_EQ(app.GetDownloadURL(), "http://h/setup.exe");
    EXPECT_EQ(app.GetVersion(), "1.1");
    EXPECT_EQ(app.GetInstallerArgs(), "/S");
    EXPECT_EQ(mGetter.GetProgress(), 100);

    CRadioInfo radio;
    ASSERT_TRUE(mGetter.GetRadioInfo(radio, false));
    EXPECT_EQ(radio.GetName(), "Fenwave Radio");
    EXPECT_EQ(radio.GetPath(), "/pf/Radio/radio");

    std::vector<CPluginInfo> plugins;
    ASSERT_TRUE(mGetter.GetPluginInfo(plugins, false));
    ASSERT_EQ(plugins.size(), 2u);
    const CPluginInfo& demo = plugins[0];
    EXPECT_EQ(demo.GetName(), "Demo Player");
    EXPECT_EQ(demo.GetPlayerName(), "Demo Player");
    EXPECT_EQ(demo.GetPlayerPath(), "/pf/Demo/demo");
    EXPECT_EQ(demo.GetPath(), "");
    EXPECT_EQ(demo.GetDownloadURL(), "http://h/demo.exe");
    EXPECT_EQ(demo.GetVersion(), "1.0");
    EXPECT_EQ(demo.GetPluginFolder(), "Plugins");
    EXPECT_EQ(demo.GetInstallerArgs(), "/S");
    EXPECT_EQ(demo.GetMinVersion(), "1.0");
    EXPECT_EQ(demo.GetMaxVersion(), "2.0");
    EXPECT_EQ(demo.GetInstallDir(), "/pf/Demo/Plugins/");
    EXPECT_EQ(plugins[1].GetName(), "Other");
    EXPECT_TRUE(mLog.Contains("Got info for 2 plugins\n"));
}

TEST_F(UpdateInfoGetterParseTest, LaterTextsKeepWhatTheyDoNotReplace) {
    mGetter.ParseUpdateInfo("[App]\n" + kAppLine + "\n[Radio]\n" + kRadioLine + "\n[Plugins]\n" +
                            kPluginLine);
    // A later program record replaces the first; the radio stays.
    mGetter.ParseUpdateInfo(
        "[App]\n\"Old\",\"a\",\"b\",\"0.1\",\"\"\n\"Vortlebox\",\"v/v\",\"u\",\"9\",\"\"\n");
    CComponentInfo app;
    CComponentInfo radio;
    mGetter.GetAppInfo(app, false);
    mGetter.GetRadioInfo(radio, false);
    EXPECT_EQ(app.GetVersion(), "9");
    EXPECT_EQ(app.GetPath(), "/pf/v/v");
    EXPECT_EQ(radio.GetName(), "Fenwave Radio");

    // Comments only: the program and radio records stay.
    mGetter.ParseUpdateInfo("// nothing new\n");
    EXPECT_TRUE(mLog.Contains("Got info for 0 plugins\n"));
    CComponentInfo app2;
    CComponentInfo radio2;
    mGetter.GetAppInfo(app2, false);
    mGetter.GetRadioInfo(radio2, false);
    EXPECT_EQ(app2.GetVersion(), "9");
    EXPECT_EQ(radio2.GetVersion(), "2.0");
}

TEST_F(UpdateInfoGetterParseTest, BadLineKeepsTheRecordsBeforeIt) {
    try {
        mGetter.ParseUpdateInfo("[App]\n" + kAppLine + "\n[Plugins]\n" + kPluginLine +
                                "\n\"only\",\"three\",\"x\"\n[Radio]\n" + kRadioLine);
        FAIL() << "no exception";
    } catch (const CConnectionException& e) {
        EXPECT_STREQ(e.what(), CUpdateInfoParser::kPluginCountText);
    }
    CComponentInfo app;
    mGetter.GetAppInfo(app, false);
    EXPECT_EQ(app.GetName(), "Vortlebox");
    std::vector<CPluginInfo> plugins;
    mGetter.GetPluginInfo(plugins, false);
    ASSERT_EQ(plugins.size(), 1u);
    EXPECT_EQ(plugins[0].GetName(), "Demo Player");
}

TEST_F(UpdateInfoGetterParseTest, UnusableProgramFolderIsFakedOncePerFile) {
    mEnv.Env().Set("VORTLEBOX_PROGRAM_FILES", "relative/folder");
    mGetter.ParseUpdateInfo("[App]\n" + kAppLine + "\n[Plugins]\n" + kPluginLine + "\n" + kPluginLine +
                            "\n[Radio]\n" + kRadioLine);
    CComponentInfo app;
    mGetter.GetAppInfo(app, false);
    EXPECT_EQ(app.GetPath(), "/Vortlebox/vortlebox");
    const std::string text = mLog.Text();
    const std::string note = "\n  Couldn't get PF path so trying to fake it.\n";
    ASSERT_NE(text.find(note), std::string::npos);
    EXPECT_EQ(text.find(note), text.rfind(note)) << "logged once, not once per record";
}

TEST_F(UpdateInfoGetterParseTest, CopiesKeepTheirClass) {
    mGetter.ParseUpdateInfo("[App]\n\"Vortlebox\",\"v/v\",\"u\",\"0.0.0.1\",\"\"\n");
    // Into a program record the copy answers as the program: installed and
    // running whatever its path says.
    CAppInfo app;
    mGetter.GetAppInfo(app, false);
    EXPECT_TRUE(app.IsInstalled());
    EXPECT_TRUE(app.IsRunning());
    CComponentInfo plain;
    mGetter.GetAppInfo(plain, false);
    EXPECT_FALSE(plain.IsInstalled()); // no file at /pf/v/v
}

} // namespace
