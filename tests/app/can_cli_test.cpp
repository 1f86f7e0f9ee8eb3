// End to end through the bootloader executable on its built-in simulated bus (real
// time): what the devices programmed equals the file (srec_cmp), the memo lines, the
// report, and the exit statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/exit_codes.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace romtide {
namespace {

using Outcome = test::ProgramRun;

Outcome run(const std::string& args) {
    return test::runProgram(std::string(ROMTIDE_BIN_DIR) + "/bootloader " + args);
}

int sh(const std::string& command) {
    return std::system(command.c_str());
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CanCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "cancliXXXXXX";
        dir = ::mkdtemp(tmpl.data());
    }
    // One device at 1000 kbit/s, searched from there.
    std::string fastDevice(int node, const std::string& extra = "") const {
        return "--simulate --bitrate 1000 --sim-device node=" + std::to_string(node) +
               ",kbit=1000,boot=3,product=D" + extra;
    }
    // 256 bytes of application at H'010000.
    std::string smallImage() const {
        std::string image = dir + "/img.mhx";
        std::string cmd = std::string(ROMTIDE_SREC_CAT) +
                          " -generate 0x010000 0x010100 -repeat-string x -o " + image +
                          " -address-length=3";
        return std::system(cmd.c_str()) == 0 ? image : std::string();
    }
    // The small image with an S0 header of `header` instead of srec_cat's.
    std::string imageWithHeader(const std::string& header) const {
        std::string body;
        std::istringstream in(readAll(smallImage()));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("S0", 0) != 0) {
                body += line + "\n";
            }
        }
        std::string record = "0000" + hex(header);
        unsigned sum = static_cast<unsigned>(header.size() + 3);
        for (unsigned char c : header) {
            sum += c;
        }
        char tail[8];
        std::snprintf(tail, sizeof tail, "%02X", ~sum & 0xFF);
        std::string path = dir + "/versioned.mhx";
        std::ofstream(path, std::ios::binary)
            << "S0" << hex(std::string(1, static_cast<char>(header.size() + 3))) << record << tail
            << "\n"
            << body;
        return path;
    }
    static std::string hex(const std::string& bytes) {
        std::string out;
        char two[3];
        for (unsigned char c : bytes) {
            std::snprintf(two, sizeof two, "%02X", c);
            out += two;
        }
        return out;
    }
    void expectProgrammed(const std::string& image, const std::string& dump) {
        std::string cmd = std::string(ROMTIDE_SREC_CMP) + " " + image + " " + dump + " 2>/dev/null";
        EXPECT_EQ(sh(cmd), 0) << image;
    }
    std::string dir;
};

TEST_F(CanCliTest, CrlfFilesLongLinesAndEraseOnlyFilesAreProgrammedAsTheyAre) {
    std::string lf = dir + "/lf.mhx";
    ASSERT_EQ(sh(std::string(ROMTIDE_SREC_CAT) +
                 " -generate 0x010000 0x010300 -repeat-string "
                 "Romtide -o " +
                 lf + " -address-length=3 -line-length=46"),
              0);
    std::string text = readAll(lf);
    std::string crlfText;
    for (char c : text) {
        if (c == '\n') {
            crlfText += '\r';
        }
        crlfText += c;
    }
    std::string crlf = dir + "/crlf.mhx";
    std::ofstream(crlf, std::ios::binary) << crlfText;
    std::string longLines = dir + "/long.mhx";  // pieces of 98 characters split the lines
    ASSERT_EQ(sh(std::string(ROMTIDE_SREC_CAT) +
                 " -generate 0x020000 0x020200 -repeat-string "
                 "Romtide -o " +
                 longLines + " -address-length=3 -line-length=200"),
              0);
    // Records that only erase: the device is erased and programmed with nothing.
    std::string eraseOnly = dir + "/erase.mhx";
    std::ofstream(eraseOnly, std::ios::binary) << "S00600004844521B\nS9030000FC\n";

    for (const auto& image : {crlf, longLines, eraseOnly}) {
        std::string dump = dir + "/dump";
        Outcome r = run("can update " + fastDevice(5) + " --all --allow-empty --sim-dump " + dump +
                        " " + image);
        EXPECT_EQ(r.status, exitcode::kOk) << r.out;
        EXPECT_NE(r.out.find("Slave 5 - bootloader connect ok\nSlave 5 - okay\n"),
                  std::string::npos)
            << r.out;
        expectProgrammed(image, dump + "/node-5.srec");
    }
}

TEST_F(CanCliTest, AFailingDeviceDoesNotStopTheRunAndTheReportSaysWhichFailed) {
    std::string image = dir + "/img.mhx";
    ASSERT_EQ(sh(std::string(ROMTIDE_SREC_CAT) +
                 " -generate 0x010000 0x010200 -repeat-string "
                 "abc -o " +
                 image + " -address-length=3"),
              0);
    std::string report = dir + "/report.txt";
    Outcome r =
        run("can update --simulate --bitrate 1000 --sim-device "
            "node=3,kbit=1000,boot=3,product=D,fail=noack@40 --sim-device "
            "node=4,kbit=1000,boot=3,product=E --all --report " +
            report + " " + image);
    EXPECT_EQ(r.status, exitcode::kDeviceFailed) << r.out;
    EXPECT_NE(r.out.find("Slave 3 - error\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Slave 4 - okay\n"), std::string::npos) << r.out;
    std::string lines = readAll(report);
    EXPECT_NE(lines.find("node=3 outcome=not-acknowledged result=-7 connect=0 seconds="),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("node=4 outcome=okay result=0 connect=0 seconds="), std::string::npos)
        << lines;
    // The summary closes the report: a report without it is of a run that did not end.
    EXPECT_NE(lines.find("\nsummary devices=2 okay=1 current=0 failed=1 not-run=0 end=complete\n"),
              std::string::npos)
        << lines;
    EXPECT_EQ(lines.rfind("summary "), lines.rfind('\n', lines.size() - 2) + 1) << lines;
}

// The JSON document of the same kind of run: what an integrator's script reads.
TEST_F(CanCliTest, TheJsonReportDescribesTheRunDeviceByDevice) {
    std::string image = smallImage();
    ASSERT_FALSE(image.empty());
    std::string report = dir + "/report.json";
    Outcome r =
        run("can update --simulate --bitrate 1000 --sim-device "
            "node=3,kbit=1000,boot=3,product=D,fail=noack@40 --sim-device "
            "node=4,kbit=1000,boot=3,product=E --all --progress plain --report-format json "
            "--report " +
            report + " " + image);
    EXPECT_EQ(r.status, exitcode::kDeviceFailed) << r.out;
    // Progress for logs: a line per device and per tenth (the transfer steps at most
    // once per piece read, so a file this small shows its first tenth only).
    for (const char* line : {"Slave 3: 0 %\n", "Slave 4: 0 %\n", "Slave 4: 10 %\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }

    const auto doc = nlohmann::json::parse(readAll(report));
    EXPECT_EQ(doc["report"], "romtide-update");
    EXPECT_EQ(doc["tool"]["name"], "bootloader");
    EXPECT_TRUE(std::regex_match(doc["tool"]["version"].get<std::string>(),
                                 std::regex(R"(\d+\.\d+\.\d+)")));
    EXPECT_EQ(doc["command"], "can update");
    EXPECT_EQ(doc["bus"], "can");
    EXPECT_EQ(doc["interface"], "virtual:sim");
    EXPECT_EQ(doc["image"]["path"], image);
    EXPECT_EQ(doc["image"]["bytes"], readAll(image).size());
    const int64_t units = doc["image"]["text_units"];
    EXPECT_GT(units, 40);
    EXPECT_TRUE(std::regex_match(doc["started"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    ASSERT_EQ(doc["devices"].size(), 2u) << doc.dump(2);
    const auto& failed = doc["devices"][0];
    EXPECT_EQ(failed["address"], 3);
    EXPECT_EQ(failed["outcome"], "not-acknowledged");
    EXPECT_EQ(failed["result"], -7);
    EXPECT_EQ(failed["connect"], 0);
    EXPECT_GT(failed["seconds"].get<double>(), 0);
    // 40 units were acknowledged; the 41st went out and never was.
    EXPECT_EQ(failed["text_units_sent"], 41);
    const auto& okay = doc["devices"][1];
    EXPECT_EQ(okay["address"], 4);
    EXPECT_EQ(okay["outcome"], "okay");
    EXPECT_EQ(okay["result"], 0);
    EXPECT_EQ(okay["text_units_sent"], units);
    EXPECT_EQ(doc["summary"],
              nlohmann::json::parse(
                  R"({"devices": 2, "okay": 1, "current": 0, "failed": 1, "not_run": 0})"));
    EXPECT_EQ(doc["end"], "complete");
}

TEST_F(CanCliTest, ADeclinedRenewalStillDownloads) {
    std::string image = dir + "/img.mhx";
    ASSERT_EQ(sh(std::string(ROMTIDE_SREC_CAT) +
                 " -generate 0x010000 0x010100 -repeat-string "
                 "x -o " +
                 image + " -address-length=3"),
              0);
    Outcome r =
        run("can update --simulate --bitrate 1000 --sim-device "
            "node=8,kbit=1000,boot=2,product=F --node 8 --no " +
            image);
    EXPECT_EQ(r.status, exitcode::kOk) << r.out;
    EXPECT_NE(r.out.find("Slave 8 - bootloader not updatet\nSlave 8 - okay\n"), std::string::npos)
        << r.out;
}

TEST_F(CanCliTest, SearchPrintsTheDeviceTable) {
    Outcome r = run("can search " + fastDevice(12, ",name=ABCD"));
    EXPECT_EQ(r.status, exitcode::kOk) << r.out;
    EXPECT_NE(r.out.find("Devices at 1000 kBit/s:"), std::string::npos) << r.out;
    EXPECT_NE(
        r.out.find("12             Encoder [406]  MultiTurn absolute rotary encoder [2]  ABCD"),
        std::string::npos)
        << r.out;
}

// Every update run is recorded in the run history unless --no-history, and `bootloader
// history` lists the runs newest first; a history that cannot be written costs one
// warning line and nothing else.
TEST_F(CanCliTest, UpdateRunsAreRecordedInTheHistoryAndListed) {
    const std::string image = smallImage();
    const std::string saved = std::getenv("XDG_DATA_HOME");
    ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    const std::string runs = dir + "/data/romtide/runs";
    Outcome first = run("can update " + fastDevice(5) + " --all " + image);
    ASSERT_EQ(first.status, exitcode::kOk) << first.out;
    Outcome unrecorded = run("can update --no-history " + fastDevice(5) + " --all " + image);
    ASSERT_EQ(unrecorded.status, exitcode::kOk) << unrecorded.out;
    Outcome second = run("can update " + fastDevice(6) + " --all " + image);
    ASSERT_EQ(second.status, exitcode::kOk) << second.out;

    Outcome listed = run("history");
    EXPECT_EQ(listed.status, exitcode::kOk);
    std::vector<std::string> rows;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 4u) << listed.out;
    EXPECT_EQ(rows[0], "Runs recorded in " + runs + ":");
    EXPECT_EQ(rows[1].rfind("STARTED ", 0), 0u) << rows[1];
    EXPECT_TRUE(std::regex_search(
        rows[2], std::regex("^20..-..-..T..:..:..Z  can  can update  " + image +
                            "  1 +1 +complete  20......T......Z-can(-2)?\\.json$")))
        << rows[2];

    Outcome json = run("history --json --last 1");
    const auto doc = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << json.out;
    ASSERT_EQ(doc["runs"].size(), 1u);
    EXPECT_EQ(doc["runs"][0]["run"]["devices"][0]["address"], 6) << "the newest first";
    EXPECT_EQ(doc["runs"][0]["run"]["end"], "complete");
    EXPECT_EQ(doc["runs"][0]["record"].get<std::string>().rfind(runs + "/", 0), 0u);

    std::ofstream(dir + "/blocked") << "x";
    ::setenv("XDG_DATA_HOME", (dir + "/blocked").c_str(), 1);
    Outcome blocked = run("can update " + fastDevice(5) + " --all " + image);
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    EXPECT_EQ(blocked.status, exitcode::kOk) << blocked.out;
    EXPECT_NE(blocked.out.find("bootloader: warning: the run is not recorded in the history: " +
                               dir + "/blocked"),
              std::string::npos)
        << blocked.out;
    EXPECT_NE(blocked.out.find("Slave 5 - okay"), std::string::npos);
}

// `bootloader ARGS...` with its output joined, for tests that act while it runs.
std::unique_ptr<test::ChildProcess> start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(ROMTIDE_BIN_DIR) + "/bootloader"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<test::ChildProcess>(argv, test::ChildProcess::Output::Joined);
}

TEST_F(CanCliTest, AnImageWithoutRecordsIsRefusedUnlessAllowed) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string(), "holds no data records"},
        {std::string(64, '\0'), "a NUL byte"},
        {std::string("\n\n\r\n"), "holds no data records"},
        {std::string("S00600004844521B\nS9030000FC\n"), "holds no data records"}};
    for (const auto& [text, why] : cases) {
        std::string image = dir + "/nothing.mhx";
        std::ofstream(image, std::ios::binary) << text;
        Outcome r = run("can update " + fastDevice(5) + " --all " + image);
        EXPECT_EQ(r.status, exitcode::kFileRejected) << r.out;
        EXPECT_NE(r.out.find(why), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Slave 5"), std::string::npos) << "no device is erased\n" << r.out;
        Outcome checked = run("check " + image);
        EXPECT_EQ(checked.status, exitcode::kFileRejected) << checked.out;
    }
    // Only records that erase pass when asked for; a file without any record never does.
    std::string eraseOnly = dir + "/erase.mhx";
    std::ofstream(eraseOnly) << "S00600004844521B\nS9030000FC\n";
    EXPECT_EQ(run("check --allow-empty " + eraseOnly).status, exitcode::kOk);
    std::string empty = dir + "/empty.mhx";
    std::ofstream(empty).flush();
    EXPECT_EQ(run("check --allow-empty " + empty).status, exitcode::kFileRejected);
}

TEST_F(CanCliTest, AFifoAsTheImageEndsTheCommandInsteadOfWaitingForAWriter) {
    std::string fifo = dir + "/fifo.mhx";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"check", fifo},
          std::vector<std::string>{"can", "update", "--simulate", "--all", fifo}}) {
        auto child = start(args);
        int status = child->wait(std::chrono::seconds(20));
        EXPECT_EQ(status, exitcode::kFileUnreadable) << child->output;
        EXPECT_NE(child->output.find("The file couldn't open!"), std::string::npos)
            << child->output;
    }
}

TEST_F(CanCliTest, CtrlCDuringTheSearchEndsBeforeAnyDeviceIsTouched) {
    std::string image = smallImage();
    ASSERT_FALSE(image.empty());
    // Searched from 10 kbit/s, the device at 1000 kbit/s is found in the ninth pass only.
    auto child = start({"can", "update", "--simulate", "--bitrate", "10", "--sim-device",
                        "node=5,kbit=1000,boot=3,product=D", "--all", image});
    ASSERT_TRUE(child->waitForText("Searching from")) << child->output;
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(), exitcode::kInterrupted) << child->output;
    EXPECT_NE(child->output.find("interrupted during the search"), std::string::npos)
        << child->output;
    EXPECT_EQ(child->output.find("Slave 5"), std::string::npos) << child->output;
}

TEST_F(CanCliTest, CtrlCDuringARenewalIsReportedAsCancelledAndEndsTheRun) {
    std::string image = smallImage();
    ASSERT_FALSE(image.empty());
    std::string report = dir + "/report.txt";
    // Slow answers: the updater's transfer takes seconds, and the interrupt falls into it.
    auto child = start({"can", "update", "--simulate", "--bitrate", "1000", "--sim-device",
                        "node=8,kbit=1000,boot=2,product=F,delay=8000", "--sim-device",
                        "node=9,kbit=1000,boot=3,product=D", "--node", "8,9", "--yes", "--report",
                        report, image});
    ASSERT_TRUE(child->waitForText("Romtide, start firmware update")) << child->output;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(), exitcode::kInterrupted) << child->output;
    EXPECT_NE(child->output.find("Slave 8 - User has cancelled\n"), std::string::npos)
        << child->output;
    EXPECT_EQ(child->output.find("Slave 9"), std::string::npos) << child->output;
    std::string lines = readAll(report);
    EXPECT_NE(lines.find("node=8 outcome=cancelled "), std::string::npos) << lines;
    EXPECT_NE(lines.find("node=9 outcome=not-run "), std::string::npos) << lines;
    EXPECT_NE(lines.find("summary devices=2 okay=0 current=0 failed=1 not-run=1 end=interrupted\n"),
              std::string::npos)
        << lines;
}

TEST_F(CanCliTest, AKilledRunLeavesTheLinesOfTheDevicesItFinished) {
    std::string image = smallImage();
    ASSERT_FALSE(image.empty());
    std::string report = dir + "/report.txt";
    auto child = start({"can", "update", "--simulate", "--bitrate", "1000", "--sim-device",
                        "node=3,kbit=1000,boot=3,product=D", "--sim-device",
                        "node=4,kbit=1000,boot=3,product=D,delay=20000", "--node", "3,4",
                        "--report", report, image});
    ASSERT_TRUE(child->waitForText("Slave 3 - okay\n")) << child->output;
    ASSERT_TRUE(child->waitForText("Slave 4 - bootloader connect ok\n")) << child->output;
    child->stop(SIGKILL);
    std::string lines = readAll(report);
    EXPECT_NE(lines.find("node=3 outcome=okay "), std::string::npos) << lines;
    EXPECT_EQ(lines.find("summary"), std::string::npos) << lines;
}

TEST_F(CanCliTest, ExitStatusesTellWhatWentWrong) {
    std::string bad = dir + "/bad.mhx";
    std::ofstream(bad) << "S2080100000102030AE6\nS208FFA0000102030AE6\n";
    std::string good = dir + "/good.mhx";
    std::ofstream(good) << "S2080100000102030AE6\n";
    struct Case {
        std::string args;
        int status;
        const char* says;
    };
    for (const Case& c : {
             Case{"can update --all", exitcode::kUsage, "no image file given"},
             Case{"can update --node 0 x.mhx", exitcode::kUsage, "node ids are 1..127"},
             Case{"can update --all --node 3 x.mhx", exitcode::kUsage, "either --node"},
             Case{"can search --bitrate 33", exitcode::kUsage, "--bitrate"},
             Case{"can search --sim-device node=3", exitcode::kUsage, "need --simulate"},
             Case{"can search --simulate --sim-device node=3,fail=sometimes", exitcode::kUsage,
                  "bad simulated device item"},
             Case{"can frobnicate", exitcode::kUsage, "expects 'search' or 'update'"},
             Case{"can update --all " + dir + "/missing.mhx", exitcode::kFileUnreadable,
                  "The file couldn't open!"},
             Case{"can update --all " + bad, exitcode::kFileRejected, "overwrite the Bootloader"},
             Case{"can update --all --expect-version '' x.mhx", exitcode::kUsage,
                  "--expect-version: a device reports 1 to 4 characters"},
             Case{"can update --all --expect-version 1.2.3 x.mhx", exitcode::kUsage,
                  "--expect-version: a device reports 1 to 4 characters: '1.2.3'"},
             Case{"can update --all --force x.mhx", exitcode::kUsage,
                  "--force needs --expect-version"},
             Case{"can update --all --verify-wait 0 x.mhx", exitcode::kUsage,
                  "--verify-wait: seconds are 1..600"},
             Case{"can search --interface virtual:nobody-here", exitcode::kNoBoard,
                  "The Board couldn't initialized successfully!"},
             Case{"can update " + fastDevice(5) + " --all --sim-dump /proc/no-such-dir " + good,
                  exitcode::kOutputFailed, "cannot create /proc/no-such-dir"},
             // The simulated bus's own trace, lost as a full disk loses it.
             Case{"can search " + fastDevice(5) + " --trace /dev/full", exitcode::kOutputFailed,
                  "the trace /dev/full could not be written"},
             Case{"can update --all --progress 1 x.mhx", exitcode::kUsage,
                  "--progress: one of bar, plain, none: 1"},
             Case{"can update --all --report-format 1 x.mhx", exitcode::kUsage,
                  "--report-format: one of text, json: 1"},
         }) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
    }
}

// Bytes a device may well answer: a quote, a control character, a byte that is no
// UTF-8, a backslash; and a terminal's escape sequence.
const std::string kHostileName("\"\x01\xff\\", 4);
const std::string kHostileVersion("\x1b[2J", 4);

TEST_F(CanCliTest, TheJsonInventoryHoldsEveryValueOfTheSearch) {
    const std::vector<std::string> args{
        "--simulate",
        "--bitrate",
        "1000",
        "--sim-device",
        "node=12,kbit=1000,boot=3,product=D,name=" + kHostileName + ",version=" + kHostileVersion,
        "--sim-device",
        "node=13,kbit=1000,boot=2,product=F,mode=boot"};
    std::vector<std::string> json{"can", "search", "--json"};
    json.insert(json.end(), args.begin(), args.end());
    // Stdout alone: the document and nothing else.
    std::vector<std::string> argv{std::string(ROMTIDE_BIN_DIR) + "/bootloader"};
    argv.insert(argv.end(), json.begin(), json.end());
    test::ChildProcess searching(argv, test::ChildProcess::Output::StdoutOnly);
    ASSERT_EQ(searching.wait(), exitcode::kOk) << searching.output;
    const auto doc = nlohmann::json::parse(searching.output);
    EXPECT_EQ(doc["inventory"], "romtide-search");
    EXPECT_EQ(doc["inventory_version"], 1);
    EXPECT_EQ(doc["tool"]["name"], "bootloader");
    EXPECT_EQ(doc["command"], "can search");
    EXPECT_EQ(doc["bus"], "can");
    EXPECT_EQ(doc["interface"], "virtual:sim");
    EXPECT_TRUE(std::regex_match(doc["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_EQ(doc["kbit"], 1000);
    ASSERT_EQ(doc["devices"].size(), 2u) << doc.dump(2);
    EXPECT_EQ(doc["devices"][0], nlohmann::json::parse(R"({
        "address": 12, "kbit": 1000, "bootloader_mode": false,
        "device_type": {"code": 131478, "text": "Encoder [406]"},
        "product": "MultiTurn absolute rotary encoder [2]",
        "name": "\"\\x01\\xFF\\\\", "revision": "01.02", "hardware_version": "H1",
        "software_version": "\\x1B[2J",
        "bootloader_version": null, "bootloader_product": null, "updater": false})"));
    EXPECT_EQ(doc["devices"][1], nlohmann::json::parse(R"({
        "address": 13, "kbit": 1000, "bootloader_mode": true,
        "device_type": {"code": null, "text": "Bootloader V.2.387 Quadra"},
        "product": "Korvane Electric AG", "name": "", "revision": "",
        "hardware_version": "", "software_version": "",
        "bootloader_version": 2, "bootloader_product": "F", "updater": false})"));

    // The table for people shows the same bytes escaped, never raw.
    std::vector<std::string> table{"can", "search"};
    table.insert(table.end(), args.begin(), args.end());
    auto listing = start(table);
    EXPECT_EQ(listing->wait(), exitcode::kOk) << listing->output;
    EXPECT_NE(listing->output.find("\"\\x01\\xFF\\\\"), std::string::npos) << listing->output;
    EXPECT_NE(listing->output.find("\\x1B[2J"), std::string::npos) << listing->output;
    EXPECT_EQ(listing->output.find('\x1b'), std::string::npos);
}

// One run meets every verdict: a device left alone because it is current, one verified,
// one that keeps its old version, one that never comes back, one that was in its
// bootloader before. The trace shows that the current one is not touched.
TEST_F(CanCliTest, AnExpectedVersionSkipsWhatIsCurrentAndJudgesTheRest) {
    const std::string image = imageWithHeader("APP VERSION=S2");
    const std::string report = dir + "/report.json";
    const std::string trace = dir + "/trace.log";
    const std::string dump = dir + "/dump";
    std::vector<std::string> args{"can", "update", "--simulate", "--bitrate", "1000"};
    for (const std::string& device :
         {std::string("node=3,version=S2"), "node=4,version=" + kHostileVersion,
          std::string("node=5,fail=stale"), std::string("node=6,fail=silent-after"),
          std::string("node=7,mode=boot")}) {
        args.insert(args.end(), {"--sim-device", device + ",kbit=1000,boot=3,product=D"});
    }
    args.insert(args.end(),
                {"--all", "--expect-version", "S2", "--verify-wait", "1", "--report-format", "json",
                 "--report", report, "--trace", trace, "--sim-dump", dump, image});
    auto child = start(args);
    EXPECT_EQ(child->wait(), exitcode::kDeviceFailed) << child->output;
    for (const char* line :
         {"Slave 3 - current, not updated\n", "Slave 4 - okay\n",
          "Slave 4 - software version \\x1B[2J before, S2 now\n",
          "Slave 5 - unverified, software version S1\n", "Slave 6 - no answer after the download\n",
          "Slave 7 - okay\n", "2 of 5 device(s) updated, 1 current\n"}) {
        EXPECT_NE(child->output.find(line), std::string::npos) << line << child->output;
    }
    expectProgrammed(image, dump + "/node-4.srec");

    const auto doc = nlohmann::json::parse(readAll(report));
    EXPECT_EQ(doc["report_version"], 2);
    struct Row {
        int address;
        const char* outcome;
        int result;
        nlohmann::json before, after, verified;
    };
    const Row rows[] = {
        {3, "current", 0, "S2", nullptr, true},    {4, "okay", 0, "\\x1B[2J", "S2", true},
        {5, "unverified", -12, "S1", "S1", false}, {6, "not-back", -11, "S1", nullptr, false},
        {7, "okay", 0, nullptr, "S2", true},
    };
    ASSERT_EQ(doc["devices"].size(), std::size(rows)) << doc.dump(2);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& d = doc["devices"][i];
        const Row& r = rows[i];
        SCOPED_TRACE(r.address);
        EXPECT_EQ(d["address"], r.address);
        EXPECT_EQ(d["outcome"], r.outcome);
        EXPECT_EQ(d["result"], r.result);
        EXPECT_EQ(d["version_before"], r.before);
        EXPECT_EQ(d["version_after"], r.after);
        EXPECT_EQ(d["verified"], r.verified);
    }
    // The current device was neither asked nor sent anything, nor reset, after the search.
    EXPECT_TRUE(doc["devices"][0]["text_units_sent"].is_null());
    EXPECT_TRUE(doc["devices"][0]["connect"].is_null());
    const std::string frames = readAll(trace);
    const size_t run = frames.find(" sim 000#81");
    ASSERT_NE(run, std::string::npos);
    EXPECT_NE(frames.find(" sim 603#"), std::string::npos) << "the search asked it";
    EXPECT_EQ(frames.find(" sim 603#", run), std::string::npos);
    EXPECT_EQ(frames.find(" sim 583#", run), std::string::npos);
    EXPECT_EQ(frames.find(" sim 000#8103", run), std::string::npos);
    EXPECT_EQ(doc["summary"], nlohmann::json::parse(R"({"devices": 5, "okay": 2, "current": 1,
                                                         "failed": 2, "not_run": 0})"));
}

}  // namespace
}  // namespace romtide
