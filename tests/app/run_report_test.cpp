// The report of an update run: the text lines scripts already read, and the JSON
// document that is whole at every moment, so a killed run leaves one that parses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/headless.h"
#include "app/run_history.h"
#include "support/temp_dir.h"

namespace romtide::headless {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const ReportHeader kHeader{"can update", "can", "socketcan:can0", "fw.mhx", 120, 30};

TEST(RunReport, TextLinesKeepTheirFormAndTheSummaryClosesTheFile) {
    test::TempDir dir;
    const std::string path = dir.file("report.txt");
    RunReport report("node");
    ASSERT_TRUE(report.open(path, ReportFormat::Text, kHeader));
    // A version is written escaped and in quotes (it may hold blanks and quotes).
    report.device({5, "okay", 0, 0, 6.7984, 30, "S1", "a \"b\"\x01", true, std::nullopt});
    EXPECT_EQ(readAll(path),
              "node=5 outcome=okay result=0 connect=0 seconds=6.798 version_before=\"S1\" "
              "version_after=\"a \\\"b\\\"\\x01\" verified=true\n");
    report.device({6, "not-run", 0, std::nullopt, 0, 0, std::nullopt, std::nullopt, std::nullopt,
                   std::nullopt});
    EXPECT_TRUE(report.finish({{"devices", 2}, {"okay", 1}, {"not-run", 1}}, true));
    EXPECT_EQ(readAll(path),
              "node=5 outcome=okay result=0 connect=0 seconds=6.798 version_before=\"S1\" "
              "version_after=\"a \\\"b\\\"\\x01\" verified=true\n"
              "node=6 outcome=not-run result=0 seconds=0.000 version_before=null "
              "version_after=null verified=null\n"
              "summary devices=2 okay=1 not-run=1 end=interrupted\n");
}

TEST(RunReport, TheJsonDocumentParsesAfterEveryDeviceAndEndsWithItsSummary) {
    test::TempDir dir;
    const std::string path = dir.file("report.json");
    RunReport report("node");
    ASSERT_TRUE(report.open(path, ReportFormat::Json, kHeader));
    auto doc = nlohmann::json::parse(readAll(path));
    EXPECT_EQ(doc["end"], "running");
    EXPECT_TRUE(doc["devices"].empty());
    EXPECT_TRUE(doc["summary"].is_null());
    EXPECT_EQ(doc["image"]["text_units"], 30);

    report.device(
        {5, "okay", 0, 0, 6.79849, 30, "S1", std::string("\"\xff\\", 3), false, std::nullopt});
    // As a run killed now would leave it.
    doc = nlohmann::json::parse(readAll(path));
    ASSERT_EQ(doc["devices"].size(), 1u);
    EXPECT_EQ(doc["devices"][0]["seconds"], 6.798);
    EXPECT_EQ(doc["report_version"], 2);
    EXPECT_EQ(doc["devices"][0]["version_before"], "S1");
    EXPECT_EQ(doc["devices"][0]["version_after"], "\"\\xFF\\\\");
    EXPECT_EQ(doc["devices"][0]["verified"], false);
    EXPECT_EQ(doc["end"], "running");

    report.device({6, "bus-error", -5, -4, 0.5, std::nullopt, std::nullopt, std::nullopt,
                   std::nullopt, "bootloader"});
    EXPECT_TRUE(report.finish({{"devices", 2}, {"okay", 1}, {"failed", 1}, {"not-run", 0}}, false));
    doc = nlohmann::json::parse(readAll(path));
    EXPECT_EQ(doc["devices"][1]["connect"], -4);
    EXPECT_TRUE(doc["devices"][1]["text_units_sent"].is_null());
    EXPECT_TRUE(doc["devices"][1]["version_after"].is_null());
    EXPECT_TRUE(doc["devices"][1]["verified"].is_null());
    EXPECT_TRUE(doc["devices"][0]["left_in"].is_null());
    EXPECT_EQ(doc["devices"][1]["left_in"], "bootloader");
    EXPECT_EQ(doc["summary"]["not_run"], 0);
    EXPECT_EQ(doc["end"], "complete");
    // Nothing is left beside it.
    EXPECT_FALSE(std::ifstream(path + ".part").good());
}

TEST(RunReport, AReportThatCannotBeWrittenIsRefusedAtTheStart) {
    for (ReportFormat format : {ReportFormat::Text, ReportFormat::Json}) {
        RunReport report("station");
        EXPECT_FALSE(report.open("/nonexistent-folder/report", format, kHeader));
    }
}

// The record in the run history is the JSON document, whatever the report asked for,
// and one that cannot be written never fails the report.
TEST(RunReport, TheHistoryRecordIsTheJsonDocumentBesideATextReport) {
    test::TempDir dir;
    RunReport report("node");
    report.alsoRecordTo(dir.file("record.json"));
    ASSERT_TRUE(report.open(dir.file("report.txt"), ReportFormat::Text, kHeader));
    report.device({5, "okay", 0, 0, 1, 30, "S1", "S2", std::nullopt, std::nullopt});
    EXPECT_TRUE(report.finish({{"devices", 1}, {"okay", 1}}, false));
    EXPECT_TRUE(report.recorded());
    auto doc = nlohmann::json::parse(readAll(dir.file("record.json")));
    EXPECT_EQ(doc["command"], "can update");
    EXPECT_EQ(doc["devices"][0]["version_after"], "S2");
    EXPECT_EQ(doc["end"], "complete");
    EXPECT_NE(readAll(dir.file("report.txt")).find("summary devices=1 okay=1"), std::string::npos);

    RunReport unrecorded("node");
    unrecorded.alsoRecordTo("/nonexistent-folder/record.json");
    ASSERT_TRUE(unrecorded.open("", ReportFormat::Text, kHeader));
    unrecorded.device({5, "okay", 0, 0, 1, 30, "S1", "S2", std::nullopt, std::nullopt});
    EXPECT_TRUE(unrecorded.finish({{"devices", 1}}, false));
    EXPECT_FALSE(unrecorded.recorded());
}

// One record per run, never replaced: runs begun in the same second of the same bus get
// names of their own, and are listed in the order they began.
TEST(RunHistory, RecordsAreNeverReplacedAndListedInTheirOrder) {
    test::TempDir dir;
    const std::string saved = std::getenv("XDG_DATA_HOME");
    ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    const std::time_t t = 1796731200;  // 2026-12-08T12:00:00Z
    std::string error;
    std::vector<std::string> made;
    for (int i = 0; i < 11; ++i) {
        made.push_back(history::reserveRecord("can", t, &error).value_or(""));
    }
    made.push_back(history::reserveRecord("profibus", t + 1, &error).value_or(""));
    made.insert(made.begin(), history::reserveRecord("can", t - 1, &error).value_or(""));
    const std::string runs = dir.file("romtide/runs");
    EXPECT_EQ(history::runsFolder(), runs);
    EXPECT_EQ(made[1], runs + "/20261208T120000Z-can.json");
    EXPECT_EQ(made[2], runs + "/20261208T120000Z-can-2.json");
    EXPECT_EQ(made[11], runs + "/20261208T120000Z-can-11.json");
    EXPECT_EQ(history::recordFiles(runs), made);

    // A file where the folder should be: the reason, no record.
    std::ofstream(dir.file("blocked")) << "x";
    ::setenv("XDG_DATA_HOME", dir.file("blocked").c_str(), 1);
    EXPECT_FALSE(history::reserveRecord("can", t, &error));
    EXPECT_NE(error.find(dir.file("blocked")), std::string::npos) << error;
    // A relative XDG_DATA_HOME is not one: the home's folder is used.
    ::setenv("XDG_DATA_HOME", "relative", 1);
    EXPECT_EQ(history::runsFolder(),
              std::string(std::getenv("HOME")) + "/.local/share/romtide/runs");
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace romtide::headless
