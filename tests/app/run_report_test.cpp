// The report of an update run: the text lines scripts already read, and the JSON
// document that is whole at every moment, so a killed run leaves one that parses.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/headless.h"
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
    report.device({5, "okay", 0, 0, 6.7984, 30, "S1", "a \"b\"\x01", true});
    EXPECT_EQ(readAll(path),
              "node=5 outcome=okay result=0 connect=0 seconds=6.798 version_before=\"S1\" "
              "version_after=\"a \\\"b\\\"\\x01\" verified=true\n");
    report.device({6, "not-run", 0, std::nullopt, 0, 0, std::nullopt, std::nullopt, std::nullopt});
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

    report.device({5, "okay", 0, 0, 6.79849, 30, "S1", std::string("\"\xff\\", 3), false});
    // As a run killed now would leave it.
    doc = nlohmann::json::parse(readAll(path));
    ASSERT_EQ(doc["devices"].size(), 1u);
    EXPECT_EQ(doc["devices"][0]["seconds"], 6.798);
    EXPECT_EQ(doc["report_version"], 2);
    EXPECT_EQ(doc["devices"][0]["version_before"], "S1");
    EXPECT_EQ(doc["devices"][0]["version_after"], "\"\\xFF\\\\");
    EXPECT_EQ(doc["devices"][0]["verified"], false);
    EXPECT_EQ(doc["end"], "running");

    report.device(
        {6, "bus-error", -5, -4, 0.5, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    EXPECT_TRUE(report.finish({{"devices", 2}, {"okay", 1}, {"failed", 1}, {"not-run", 0}}, false));
    doc = nlohmann::json::parse(readAll(path));
    EXPECT_EQ(doc["devices"][1]["connect"], -4);
    EXPECT_TRUE(doc["devices"][1]["text_units_sent"].is_null());
    EXPECT_TRUE(doc["devices"][1]["version_after"].is_null());
    EXPECT_TRUE(doc["devices"][1]["verified"].is_null());
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

}  // namespace
}  // namespace romtide::headless
