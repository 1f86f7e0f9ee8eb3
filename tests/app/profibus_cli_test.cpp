// End to end through the bootloader executable on its built-in simulated Profibus board
// (real time, through libnuboxlink.so and a driver endpoint): what the stations
// programmed equals the file (srec_cmp), the station lines, the report, the trace, and
// the exit statuses. Behaviour in detail is tested in-process on the virtual clock.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "app/exit_codes.h"
#include "support/child_process.h"
#include "support/stalling_board_server.h"
#include "support/temp_dir.h"

namespace romtide {
namespace {

const std::string kBootloader = std::string(ROMTIDE_BIN_DIR) + "/bootloader";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ProfibusCliTest : public ::testing::Test {
  public:
    void SetUp() override {
        // 512 bytes of application at H'010000, with a start address.
        image = dir.file("app.mhx");
        test::srecCat(
            "-generate 0x010000 0x010200 -repeat-string Profibus -execution-start-address 0x010000",
            image);
    }
    test::ProgramRun run(const std::string& args) {
        return test::runProgram(kBootloader + " profibus " + args);
    }
    bool programmed(const std::string& dump) {
        return test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + image + " " + dump).status ==
               0;
    }

    test::TempDir dir;
    std::string image;
};

TEST_F(ProfibusCliTest, TheDefaultSegmentIsUpdatedWithReportTraceAndDump) {
    const std::string report = dir.file("report.txt");
    const std::string trace = dir.file("trace.txt");
    const std::string dump = dir.file("dump");
    auto r = run("update --simulate --all --baud 12M --report " + report + " --trace " + trace +
                 " --sim-dump " + dump + " " + image);
    EXPECT_EQ(r.status, exitcode::kOk) << r.out;
    EXPECT_NE(r.out.find("Slave   3        0x0793  3.1.4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Slave   4        0x0793  2.7.1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Bootloader 1.2.0"), std::string::npos) << r.out;
    for (int station : {3, 4, 5}) {
        const std::string s = std::to_string(station);
        EXPECT_NE(r.out.find("Station " + s + ": File is downloaded into Flash."),
                  std::string::npos)
            << r.out;
        EXPECT_TRUE(programmed(dump + "/station-" + s + ".srec")) << station;
        // The finish telegram reached every station: its flash has the start address.
        EXPECT_NE(readAll(dump + "/station-" + s + ".srec").find("\nS8"), std::string::npos);
    }
    const std::string lines = readAll(report);
    EXPECT_TRUE(std::regex_search(lines, std::regex("station=3 outcome=okay result=0 seconds=")))
        << lines;
    EXPECT_NE(
        lines.find(
            "summary stations=3 okay=3 current=0 failed=0 not-found=0 not-run=0 end=complete"),
        std::string::npos)
        << lines;
    // The trace: PPO1 words of station 3 and PPO2 words of station 4, every word four
    // upper-case hex digits, and the erase telegram and its acknowledge.
    const std::string t = readAll(trace);
    EXPECT_TRUE(std::regex_search(t, std::regex(R"(\(\d+\.\d{6}\) 3 out 139A( [0-9A-F]{4}){5}\n)")))
        << t.substr(0, 2000);
    EXPECT_TRUE(std::regex_search(
        t, std::regex(R"(\(\d+\.\d{6}\) 4 in 139A 0000 0000 0002( [0-9A-F]{4}){6}\n)")));
    EXPECT_TRUE(std::regex_search(t, std::regex(R"(\) 5 out 87D0 0003 AA55 0000 0000 0000\n)")));
    EXPECT_TRUE(std::regex_search(t, std::regex(R"(\) 5 in 67D0 0003)")));
    EXPECT_TRUE(std::regex_search(t, std::regex(R"(\(\d+\.\d{6}\) cmd result=0 24)")));
}

// Each fault of a station ends in the window's message for it and in exit status 1; the
// run stops there, and the station after it is reported as not tried.
void expectFault(ProfibusCliTest& t, const std::string& fault, const std::string& line,
                 const std::string& outcome) {
    const std::string report = t.dir.file("report.txt");
    auto r = t.run("update --simulate --baud 12M --sim-station addr=3," + fault +
                   " --sim-station addr=4,ppo=2 --station 3,4 --report " + report + " " + t.image);
    EXPECT_EQ(r.status, exitcode::kDeviceFailed) << r.out;
    EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Station 4: not tried"), std::string::npos) << r.out;
    const std::string lines = readAll(report);
    EXPECT_NE(lines.find("station=3 outcome=" + outcome), std::string::npos) << lines;
    EXPECT_NE(lines.find("station=4 outcome=not-run"), std::string::npos) << lines;
    EXPECT_NE(lines.find("end=complete"), std::string::npos) << lines;
}

TEST_F(ProfibusCliTest, AnErrorAnswerShowsItsCode) {
    expectFault(*this, "fail=error@5:7", "Station 3: Error during programing! Errorcode: 7",
                "device-error");
}

TEST_F(ProfibusCliTest, ATelegramWithoutAnswer) {
    expectFault(*this, "fail=noack@5", "Station 3: Error during programing!", "not-acknowledged");
}

TEST_F(ProfibusCliTest, AStationThatLeavesTheBus) {
    expectFault(*this, "fail=gone@5", "Station 3: Error during programing!", "not-acknowledged");
}

// The station refuses the finish: its flash does not hold a whole image, it stays in
// its bootloader, and the download failed with the code of the refusal.
TEST_F(ProfibusCliTest, AFinishTheStationRefusesIsAFailedDownload) {
    expectFault(*this, "fail=finish:6", "Station 3: Error during programing! Errorcode: 6",
                "device-error");
}

TEST_F(ProfibusCliTest, AnEraseNeverAcknowledged) {
    expectFault(*this, "fail=erase", "Station 3: Error during erasing Flash! Please try again.",
                "erase-failed");
}

TEST_F(ProfibusCliTest, TheJsonReportCountsTheTextUnitsEachStationWasSent) {
    const std::string report = dir.file("report.json");
    // A path as the file system may hold it, not UTF-8.
    const std::string path = dir.file("app\xff.mhx");
    std::ofstream(path, std::ios::binary) << readAll(image);
    auto r =
        run("update --simulate --baud 12M --sim-station addr=3,fail=error@5:7 "
            "--sim-station addr=4,ppo=2 --station 3,4,9 --report-format json --report " +
            report + " '" + path + "'");
    EXPECT_EQ(r.status, exitcode::kDeviceFailed) << r.out;
    EXPECT_FALSE(std::ifstream(report + ".part").good());
    const auto doc = nlohmann::json::parse(readAll(report));
    EXPECT_EQ(doc["image"]["path"], dir.file("app\xEF\xBF\xBD.mhx"));
    EXPECT_EQ(doc["command"], "profibus update");
    EXPECT_EQ(doc["bus"], "profibus");
    EXPECT_EQ(doc["board"], "simulated board, device 0");
    EXPECT_GT(doc["image"]["text_units"].get<int>(), 5);
    ASSERT_EQ(doc["devices"].size(), 3u) << doc.dump(2);
    // Named but not on the bus: reported first, as the marking finds it.
    EXPECT_EQ(doc["devices"][0]["address"], 9);
    EXPECT_EQ(doc["devices"][0]["outcome"], "not-found");
    const auto& failed = doc["devices"][1];
    EXPECT_EQ(failed["address"], 3);
    EXPECT_EQ(failed["outcome"], "device-error");
    EXPECT_EQ(failed["result"], -7);
    EXPECT_TRUE(failed["connect"].is_null());
    // The device refused the fifth unit.
    EXPECT_EQ(failed["text_units_sent"], 5);
    EXPECT_EQ(doc["devices"][2]["address"], 4);
    EXPECT_EQ(doc["devices"][2]["outcome"], "not-run");
    EXPECT_EQ(doc["devices"][2]["text_units_sent"], 0);
    EXPECT_EQ(doc["summary"]["stations"], 3);
    EXPECT_EQ(doc["summary"]["not_found"], 1);
    EXPECT_EQ(doc["end"], "complete");
}

TEST_F(ProfibusCliTest, ScanListsTheSegmentAndNamedStationsMustBeOnIt) {
    auto r = run("scan --simulate --baud 1.5M --sim-station addr=7,ppo=2,version=2.3.4");
    EXPECT_EQ(r.status, exitcode::kOk) << r.out;
    EXPECT_NE(r.out.find("Master  1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Slave   7        0x0793  2.3.4"), std::string::npos) << r.out;

    // Named three times, it is one station.
    r = run("update --simulate --baud 12M --sim-station addr=7 --station 9,9 --station 9 " + image);
    EXPECT_EQ(r.status, exitcode::kDeviceFailed) << r.out;
    EXPECT_NE(r.out.find("Station 9: not found on the bus\n0 of 1 station(s) updated"),
              std::string::npos)
        << r.out;
}

// A slave at address 0 is listed, and --all says that it cannot be updated there: the
// run did not update every slave.
TEST_F(ProfibusCliTest, ASlaveAtAddressZeroIsListedAndSkippedWithAWord) {
    const std::string report = dir.file("report.txt");
    auto r =
        run("update --simulate --baud 12M --sim-station addr=0 --sim-station addr=3 --all "
            "--report " +
            report + " " + image);
    EXPECT_EQ(r.status, exitcode::kDeviceFailed) << r.out;
    EXPECT_NE(r.out.find("Slave   0        0x0793"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Station 0: skipped, a slave at address 0 cannot be updated"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Station 3: File is downloaded into Flash."), std::string::npos) << r.out;
    const std::string lines = readAll(report);
    EXPECT_NE(lines.find("station=0 outcome=skipped"), std::string::npos) << lines;
    EXPECT_NE(lines.find("summary stations=2 okay=1 current=0 failed=1"), std::string::npos)
        << lines;
}

// The board's driver ends while the search runs: that is a board error, not an empty
// segment, and no report claims a complete run.
TEST_F(ProfibusCliTest, ABoardLostDuringTheSearchIsABoardError) {
    const std::string registry = dir.write(
        "one.reg",
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices]"
        "\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\0]"
        "\n\"PCI-Board\"=dword:00000042\n");
    // A slow station keeps the search going for seconds.
    test::ChildProcess simd({ROMTIDE_BIN_DIR "/nubox-simd", "--driver-dir", dir.file("drivers"),
                             "--board", "pci:0:0x42", "--station", "addr=3,delay=300000"});
    ASSERT_TRUE(simd.waitForLine("ready")) << simd.output;
    const std::string report = dir.file("report.json");
    test::ChildProcess p(
        {kBootloader, "profibus", "update", "--all", "--report-format", "json", "--report", report,
         image},
        test::ChildProcess::Output::Joined,
        {"NUBOXLINK_DRIVER_DIR=" + dir.file("drivers"), "NUBOXLINK_REGISTRY=" + registry});
    ASSERT_TRUE(p.waitForText("Searching"));
    simd.stop(SIGKILL);
    EXPECT_EQ(p.wait(), exitcode::kNoBoard) << p.output;
    EXPECT_NE(p.output.find("the board was lost during the search"), std::string::npos) << p.output;
    EXPECT_FALSE(std::ifstream(report).good());
}

TEST_F(ProfibusCliTest, BadArgumentsAndFilesEndWithTheirStatus) {
    struct Case {
        std::string args;
        int status;
        const char* says;
    };
    const std::string empty = dir.write("empty.mhx", "\n\n");
    const std::string eraseOnly = dir.write("erase.mhx", "S00600004844521B\nS9030000FC\n");
    for (const Case& c : {
             Case{"update --all --baud 2M " + image, exitcode::kUsage, "--baud"},
             Case{"update --all --simulate --sim-station addr=3,ppo=3 " + image, exitcode::kUsage,
                  "ppo"},
             Case{"update --all --simulate --sim-station addr=1 " + image, exitcode::kUsage,
                  "--sim-station"},
             Case{"update --station 0 " + image, exitcode::kUsage, "1..126"},
             Case{"update --all --progress 1 " + image, exitcode::kUsage,
                  "--progress: one of bar, plain, none: 1"},
             Case{"update --all --report-format 1 " + image, exitcode::kUsage,
                  "--report-format: one of text, json: 1"},
             Case{"scan --simulate --sim-station addr=3,version=1.2.3.", exitcode::kUsage,
                  "version=1.2.3."},
             Case{"scan --simulate --sim-station addr=3,boot=+1.+2.+3", exitcode::kUsage,
                  "boot=+1.+2.+3"},
             // A trace lost as a full disk loses it.
             Case{"scan --simulate --baud 12M --sim-station addr=3 --trace /dev/full",
                  exitcode::kOutputFailed, "the trace /dev/full could not be written"},
             Case{"update --simulate --baud 12M --sim-station addr=3 --all --trace /dev/full " +
                      image,
                  exitcode::kOutputFailed, "the trace /dev/full could not be written"},
             Case{"scan --device 16", exitcode::kUsage, "--device: board numbers are 0..15: 16"},
             Case{"update --all --device one " + image, exitcode::kUsage, "--device"},
             Case{"update --all --expect-version '' " + image, exitcode::kUsage,
                  "--expect-version: a station reports A.B.C"},
             Case{"update --all --expect-version 1.2 " + image, exitcode::kUsage,
                  "--expect-version"},
             Case{"update --all --expect-version 16.0.0 " + image, exitcode::kUsage,
                  "--expect-version"},
             Case{"update --all --expect-version 1.2.3. " + image, exitcode::kUsage,
                  "--expect-version"},
             Case{"update --all --force " + image, exitcode::kUsage, "--force needs"},
             Case{"update --all", exitcode::kUsage, "no image"},
             Case{"update --all --sim-dump /tmp " + image, exitcode::kUsage, "--simulate"},
             Case{"update --all --simulate " + dir.file("missing.mhx"), exitcode::kFileUnreadable,
                  ""},
             Case{"update --all --simulate " + eraseOnly, exitcode::kFileRejected, "--allow-empty"},
             Case{"update --all --simulate --allow-empty " + empty, exitcode::kFileRejected,
                  "the file is empty"},
             Case{"frobnicate", exitcode::kUsage, "scan"},
         }) {
        auto r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
    }
}

TEST_F(ProfibusCliTest, WithoutABoardTheCommandSaysSo) {
    // A registry that configures nothing: no board can be prepared.
    const std::string registry = dir.write("empty.reg", "REGEDIT4\n");
    auto r = test::runProgram("NUBOXLINK_REGISTRY=" + registry + " NUBOXLINK_DRIVER_DIR=" +
                              dir.file("drivers") + " " + kBootloader + " profibus scan");
    EXPECT_EQ(r.status, exitcode::kNoBoard) << r.out;
    EXPECT_NE(r.out.find("The adapter couldn't inizialized successfully"), std::string::npos)
        << r.out;

    // The simulated board cannot be served: from a folder that is not there, or one so
    // deep that its endpoint's name is too long (and nothing is left in it).
    const std::string deep = dir.file(std::string(90, 'd'));
    ASSERT_EQ(test::runProgram("mkdir " + deep).status, 0);
    for (const std::string& tmp : {dir.file("missing"), deep}) {
        r = test::runProgram("TMPDIR=" + tmp + " " + kBootloader + " profibus scan --simulate");
        EXPECT_EQ(r.status, exitcode::kNoBoard) << tmp << "\n" << r.out;
        EXPECT_NE(r.out.find(tmp), std::string::npos) << r.out;
    }
    EXPECT_EQ(test::runProgram("rmdir " + deep).status, 0) << "the board's folder went";
}

TEST_F(ProfibusCliTest, CtrlCDuringTheSearchTouchesNoStation) {
    test::ChildProcess p({kBootloader, "profibus", "update", "--simulate", "--all", "--baud",
                          "93.75k", "--report", dir.file("report.txt"), image},
                         test::ChildProcess::Output::Joined);
    ASSERT_TRUE(p.waitForText("Searching"));
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(), exitcode::kInterrupted) << p.output;
    EXPECT_NE(p.output.find("no station was touched"), std::string::npos) << p.output;
    EXPECT_EQ(p.output.find("File is downloaded"), std::string::npos) << p.output;
}

std::string bin(const std::string& name) {
    return std::string(ROMTIDE_BIN_DIR) + "/" + name;
}

// An S0 record holding `header`, with its line end.
std::string s0Record(const std::string& header) {
    std::string bytes = std::string(1, static_cast<char>(header.size() + 3)) + '\0' + '\0' + header;
    unsigned sum = 0;
    std::string text = "S0";
    char two[3];
    for (unsigned char c : bytes) {
        sum += c;
        std::snprintf(two, sizeof two, "%02X", c);
        text += two;
    }
    std::snprintf(two, sizeof two, "%02X", ~sum & 0xFF);
    return text + two + "\n";
}

TEST_F(ProfibusCliTest, TheJsonInventoryHoldsEveryStationOfTheScan) {
    // Stdout alone: the document and nothing else. The simulated board as device 3.
    test::ChildProcess p(
        {kBootloader, "profibus", "scan", "--json", "--simulate", "--device", "3", "--baud", "12M",
         "--sim-station", "addr=3", "--sim-station", "addr=4,ppo=2,version=2.3.4", "--sim-station",
         "addr=5,mode=boot", "--sim-station", "addr=6,ident=0x1234"},
        test::ChildProcess::Output::StdoutOnly);
    ASSERT_EQ(p.wait(), exitcode::kOk) << p.output;
    const auto doc = nlohmann::json::parse(p.output);
    EXPECT_EQ(doc["inventory"], "romtide-search");
    EXPECT_EQ(doc["inventory_version"], 1);
    EXPECT_EQ(doc["command"], "profibus scan");
    EXPECT_EQ(doc["bus"], "profibus");
    EXPECT_EQ(doc["board"], "simulated board, device 3");
    EXPECT_EQ(doc["baud"], "12M");
    EXPECT_TRUE(std::regex_match(doc["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_EQ(doc["devices"], nlohmann::json::parse(R"([
        {"address": 1, "kind": "master", "ident": null, "ready": null, "ppo": null,
         "version": null, "bootloader_version": null},
        {"address": 3, "kind": "slave", "ident": 1939, "ready": true, "ppo": 1,
         "version": "3.1.4", "bootloader_version": null},
        {"address": 4, "kind": "slave", "ident": 1939, "ready": true, "ppo": 2,
         "version": "2.3.4", "bootloader_version": null},
        {"address": 5, "kind": "slave", "ident": 1939, "ready": true, "ppo": 1,
         "version": null, "bootloader_version": "1.2.0"},
        {"address": 6, "kind": "slave", "ident": 4660, "ready": false, "ppo": null,
         "version": null, "bootloader_version": null}])"))
        << doc.dump(2);
}

// A station left alone because it is current, one verified, one that keeps its old
// version (which ends the run). The trace shows that the current one is not touched
// after the search.
TEST_F(ProfibusCliTest, AnExpectedVersionSkipsWhatIsCurrentAndJudgesTheRest) {
    const std::string versioned = dir.file("v2.mhx");
    test::srecCat(
        "-generate 0x010000 0x010200 -repeat-string Profibus -execution-start-address "
        "0x010000",
        versioned);
    // srec_cat's header replaced by one that names the version.
    const std::string text = readAll(versioned);
    std::ofstream(versioned, std::ios::binary)
        << s0Record("APP VERSION=2.0.0") << text.substr(text.find('\n') + 1);
    const std::string report = dir.file("report.json");
    const std::string trace = dir.file("trace.txt");
    auto r =
        run("update --simulate --baud 12M --sim-station addr=3,version=2.0.0 --sim-station "
            "addr=4,ppo=2 --sim-station addr=5,fail=stale --sim-station addr=6 "
            "--station 3,4,5,6 --expect-version 2.0.0 --verify-wait 1 --report-format json "
            "--report " +
            report + " --trace " + trace + " " + versioned);
    EXPECT_EQ(r.status, exitcode::kDeviceFailed) << r.out;
    for (const char* line :
         {"Station 3: current, not updated\n",
          "Station 4: File is downloaded into Flash. Version: 3.1.4 before, 2.0.0 now\n",
          "Station 5: File is downloaded, but the station reports another version. Version: "
          "3.1.4 before, 3.1.4 now\n",
          "Station 6: not tried\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
    const auto doc = nlohmann::json::parse(readAll(report));
    EXPECT_EQ(doc["report_version"], 2);
    ASSERT_EQ(doc["devices"].size(), 4u) << doc.dump(2);
    EXPECT_EQ(doc["devices"][0], nlohmann::json::parse(R"(
        {"address": 3, "outcome": "current", "result": 0, "connect": null, "seconds": 0.0,
         "text_units_sent": null, "version_before": "2.0.0", "version_after": null,
         "verified": true, "left_in": null})"));
    struct Row {
        int address;
        const char* outcome;
        int result;
        nlohmann::json after, verified;
    };
    const Row rows[] = {{4, "okay", 0, "2.0.0", true},
                        {5, "unverified", -12, "3.1.4", false},
                        {6, "not-run", 0, nullptr, nullptr}};
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& d = doc["devices"][i + 1];
        SCOPED_TRACE(rows[i].address);
        EXPECT_EQ(d["address"], rows[i].address);
        EXPECT_EQ(d["outcome"], rows[i].outcome);
        EXPECT_EQ(d["result"], rows[i].result);
        EXPECT_EQ(d["version_before"], "3.1.4");
        EXPECT_EQ(d["version_after"], rows[i].after);
        EXPECT_EQ(d["verified"], rows[i].verified);
    }
    EXPECT_EQ(doc["summary"]["current"], 1);
    const std::string t = readAll(trace);
    const size_t download = t.find(") 4 out 3398");
    ASSERT_NE(download, std::string::npos) << "station 4 was told to enter its bootloader";
    EXPECT_NE(t.find(") 3 out "), std::string::npos) << "the search asked station 3";
    EXPECT_EQ(t.find(") 3 out ", download), std::string::npos);
    EXPECT_EQ(t.find(") 3 in ", download), std::string::npos);
}

// Two boards in the registry: --device picks the one a command works with.
TEST_F(ProfibusCliTest, EachBoardOfTheRegistryIsReachedByItsDeviceNumber) {
    const std::string registry = dir.write(
        "two.reg",
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\0]\n"
        "\"PCI-Board\"=dword:00000042\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\1]\n"
        "\"PCI-Board\"=dword:00000043\n");
    const std::string other = dir.file("other.mhx");
    test::srecCat(
        "-generate 0x020000 0x020100 -repeat-string Second -execution-start-address "
        "0x020000",
        other);
    test::ChildProcess simd({bin("nubox-simd"), "--driver-dir", dir.file("drivers"), "--board",
                             "pci:0:0x42", "--station", "addr=3", "--board", "pci:1:0x43",
                             "--station", "addr=3", "--sim-dump", dir.file("flash")});
    ASSERT_TRUE(simd.waitForLine("ready")) << simd.output;
    const std::string env =
        "NUBOXLINK_DRIVER_DIR=" + dir.file("drivers") + " NUBOXLINK_REGISTRY=" + registry + " ";
    for (const auto& [device, file] : {std::pair{"1", image}, std::pair{"0", other}}) {
        auto r = test::runProgram(env + kBootloader + " profibus update --device " + device +
                                  " --all --baud 12M --report-format json --report " +
                                  dir.file("report.json") + " " + file);
        EXPECT_EQ(r.status, exitcode::kOk) << r.out;
        EXPECT_EQ(nlohmann::json::parse(readAll(dir.file("report.json")))["board"],
                  std::string("device ") + device);
    }
    EXPECT_EQ(simd.stop(SIGTERM), 0) << simd.output;
    const std::string flash = dir.file("flash");
    EXPECT_EQ(test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + image + " " + flash +
                               "/_nuBoxPCI_Multiboard1/station-3.srec")
                  .status,
              0);
    EXPECT_EQ(test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + other + " " + flash +
                               "/_nuBoxPCI_Multiboard0/station-3.srec")
                  .status,
              0);
}

TEST_F(ProfibusCliTest, CtrlCWhileARemoteBoardDoesNotAnswerEndsTheRunAtOnce) {
    test::StallingBoardServer server;
    ASSERT_TRUE(server.listening());
    char remoteDevice[16];
    std::snprintf(remoteDevice, sizeof remoteDevice, "%08x", server.remoteDevice());
    const std::string registry = dir.write(
        "remote.reg",
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
        "Zirudevizudorer\\Devices\\0]\n\"RemoteMachine\"=\"127.0.0.1\"\n\"RemoteDevice\"=dword:" +
            std::string(remoteDevice) + "\n");
    test::ChildProcess p(
        {kBootloader, "profibus", "update", "--all", "--report", dir.file("report.txt"), image},
        test::ChildProcess::Output::Joined,
        {"NUBOXLINK_REGISTRY=" + registry, "NUBOXLINK_DRIVER_DIR=" + dir.file("drivers")});
    ASSERT_TRUE(p.waitForText("Searching"));
    // The first command of the search waits for an answer that never comes (10 s).
    for (int i = 0; i < 200 && server.unanswered() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(server.unanswered(), 0) << p.output;
    const auto interruptedAt = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(), exitcode::kInterrupted) << p.output;
    EXPECT_LT(std::chrono::steady_clock::now() - interruptedAt, std::chrono::seconds(3));
    EXPECT_NE(p.output.find("no station was touched"), std::string::npos) << p.output;
}

}  // namespace
}  // namespace romtide
