// `bootloader machine` end to end, in real time: the program, a worker per bus, and the
// simulated buses and boards (built in with --simulate, or the simulator programs in
// front of which the machine's real interfaces sit). What each device holds afterwards
// is compared with its image (srec_cmp); the reports must parse however the run ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "app/exit_codes.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace romtide {
namespace {

using Json = nlohmann::json;

std::string bin(const std::string& name) {
    return std::string(ROMTIDE_BIN_DIR) + "/" + name;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class MachineCliTest : public ::testing::Test {
  public:
    void SetUp() override {
        // Small images whose header gives the version a simulated device reports after.
        makeImage("enc.mhx", "0x010000 0x010100", "ENC VERSION=S2");
        makeImage("big.mhx", "0x010000 0x012000", "BIG VERSION=S2");
        makeImage("dp.mhx", "0x010000 0x010100", "DP VERSION=2.0.0");
    }
    void makeImage(const std::string& name, const std::string& range, const std::string& header) {
        test::srecCat("-generate " + range + " -repeat-string " + name +
                          " -execution-start-address 0x010000 -header '" + header + "'",
                      dir.file(name));
    }
    std::string machine(const std::string& text) { return dir.write("machine.toml", text); }
    test::ProgramRun run(const std::string& args) {
        return test::runProgram(bin("bootloader") + " machine " + args);
    }
    bool programmed(const std::string& image, const std::string& dump) {
        return test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + dir.file(image) + " " + dump)
                   .status == 0;
    }
    static std::map<std::string, std::string> outcomes(const Json& report) {
        std::map<std::string, std::string> out;
        for (const auto& d : report["devices"]) {
            out[d["bus"].get<std::string>() + "/" + std::to_string(d["address"].get<int>())] =
                d["outcome"];
        }
        return out;
    }
    static std::map<std::string, std::string> busOutcomes(const Json& report) {
        std::map<std::string, std::string> out;
        for (const auto& b : report["buses"]) {
            out[b["name"]] = b["outcome"];
        }
        return out;
    }

    test::TempDir dir;
};

std::string canBus(const std::string& name, int kbit, const std::string& extra = "") {
    return "[[bus]]\nname = \"" + name + "\"\ntype = \"can\"\ninterface = \"virtual:" + name +
           "\"\nkbit = " + std::to_string(kbit) + "\n" + extra;
}

std::string rule(const std::string& bus, const std::string& addresses, const std::string& image,
                 const std::string& version) {
    return "[[rule]]\nbus = \"" + bus + "\"\naddress = " + addresses + "\nimage = \"" + image +
           "\"\nversion = \"" + version + "\"\n";
}

const char* const kDpBus =
    "[[bus]]\nname = \"dp-1\"\ntype = \"profibus\"\nboard = 1\nbaud = \"12M\"\n";

TEST_F(MachineCliTest, ThePlanSaysWhatApplyWouldDoToEachDevice) {
    const std::string file = machine(
        "name = \"press\"\n" + canBus("can-a", 1000) + kDpBus +
        rule("can-a", "[5, 6, 7, 9]", "enc.mhx", "S2") + rule("dp-1", "[3]", "dp.mhx", "2.0.0") +
        "[simulate]\ncan-a = [\"node=5,version=S1\", \"node=6,version=S2\", "
        "\"node=7,mode=boot\", \"node=12,version=X7\"]\n"
        "dp-1 = [\"addr=3,version=2.0.0\", \"addr=4,version=1.0.0\"]\n");
    // Scripts look for the machine commands with --help.
    EXPECT_EQ(run("--help").status, exitcode::kOk);
    auto json = run("plan --simulate --json " + file);
    ASSERT_EQ(json.status, exitcode::kOk) << json.out;
    // stdout and stderr are joined here: the document is the whole of stdout.
    const Json plan = Json::parse(json.out.substr(json.out.find("{\n")));
    EXPECT_EQ(plan["plan"], "romtide-machine-plan");
    EXPECT_EQ(plan["machine"], "press");
    std::map<std::string, std::string> actions;
    for (const auto& d : plan["devices"]) {
        actions[d["bus"].get<std::string>() + "/" + std::to_string(d["address"].get<int>())] =
            d["action"].get<std::string>() + " " +
            (d["version_now"].is_null() ? "null" : d["version_now"].get<std::string>());
    }
    EXPECT_EQ(actions, (std::map<std::string, std::string>{{"can-a/5", "update S1"},
                                                           {"can-a/6", "current S2"},
                                                           {"can-a/7", "update null"},
                                                           {"can-a/9", "missing null"},
                                                           {"can-a/12", "unmatched X7"},
                                                           {"dp-1/3", "current 2.0.0"},
                                                           {"dp-1/4", "unmatched 1.0.0"}}));
    EXPECT_EQ(plan["summary"],
              Json::parse(R"({"update":2,"current":2,"missing":1,"unmatched":2})"));
    for (const auto& b : plan["buses"]) {
        EXPECT_TRUE(b["searched"]) << b;
        EXPECT_GT(b["estimate_seconds"].get<double>(), 0) << b;
    }

    auto text = run("plan --simulate " + file);
    EXPECT_EQ(text.status, exitcode::kOk) << text.out;
    EXPECT_TRUE(std::regex_search(text.out, std::regex(R"(can-a +5 +update +S1 +S2 +enc\.mhx)")))
        << text.out;
    EXPECT_TRUE(std::regex_search(text.out, std::regex(R"(can-a +9 +missing +- +S2)"))) << text.out;

    // The file's faults end the command before any bus is touched.
    struct Case {
        std::string text;
        int status;
        std::string says;
    };
    for (const Case& c :
         std::vector<Case>{{"name = \"x\"\n" + canBus("a", 500) + rule("a", "5", "gone.mhx", "S2"),
                            3, "machine.toml:10: key rule.image: gone.mhx"},
                           {"name = \"x\"\n" + canBus("a", 500, "colour = 2\n"), 2,
                            "machine.toml:7: key bus.colour: unknown key"},
                           {"name = \"x\"\n" + canBus("a", 500) + rule("a", "5", "enc.mhx", "S2") +
                                "[simulate]\na = [\"node=5,fail=often\"]\n",
                            2, "machine.toml:13: key simulate.a: "}}) {
        auto r = run("plan --simulate " + machine(c.text));
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    }
}

TEST_F(MachineCliTest, ApplyUpdatesEveryBusAndEachDeviceHoldsItsImage) {
    const std::string file =
        machine("name = \"press\"\n" + canBus("can-a", 1000) + canBus("can-b", 500) + kDpBus +
                rule("can-a", "[5, 6]", "enc.mhx", "S2") + rule("can-b", "[7]", "enc.mhx", "S2") +
                rule("dp-1", "[3, 4]", "dp.mhx", "2.0.0") +
                "[simulate]\ndp-1 = [\"addr=3,version=1.0.0\", \"addr=4,ppo=2,version=2.0.0\"]\n");
    const std::string report = dir.file("report.json");
    const std::string dump = dir.file("dump");
    auto r = run("apply --simulate --progress plain --report-format json --report " + report +
                 " --sim-dump " + dump + " " + file);
    ASSERT_EQ(r.status, exitcode::kOk) << r.out;
    const Json doc = Json::parse(readAll(report));
    EXPECT_EQ(doc["end"], "complete");
    EXPECT_EQ(outcomes(doc), (std::map<std::string, std::string>{{"can-a/5", "okay"},
                                                                 {"can-a/6", "okay"},
                                                                 {"can-b/7", "okay"},
                                                                 {"dp-1/3", "okay"},
                                                                 {"dp-1/4", "current"}}));
    EXPECT_EQ(busOutcomes(doc), (std::map<std::string, std::string>{
                                    {"can-a", "okay"}, {"can-b", "okay"}, {"dp-1", "okay"}}));
    for (const auto& d : doc["devices"]) {
        if (d["outcome"] == "okay") {
            EXPECT_EQ(d["version_after"], d["bus"] == "dp-1" ? "2.0.0" : "S2") << d;
            EXPECT_TRUE(d["verified"]) << d;
        }
    }
    EXPECT_TRUE(programmed("enc.mhx", dump + "/can-a/node-5.srec"));
    EXPECT_TRUE(programmed("enc.mhx", dump + "/can-a/node-6.srec"));
    EXPECT_TRUE(programmed("enc.mhx", dump + "/can-b/node-7.srec"));
    EXPECT_TRUE(programmed("dp.mhx", dump + "/dp-1/station-3.srec"));
    EXPECT_FALSE(programmed("dp.mhx", dump + "/dp-1/station-4.srec")) << "current: left alone";
    // Plain progress names the bus on every line.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\ncan-b: device 7: [1-9]0 %\n"))) << r.out;
}

// Three devices of one bus at once: the bus is searched before, and no search frame (a
// request to a node that is not being updated) is on the wire while the transfers run.
TEST_F(MachineCliTest, ParallelDevicesOfOneBusAreUpdatedAtOnceWithoutASearchBetween) {
    const std::string file = machine("name = \"p\"\n" + canBus("can-a", 1000, "parallel = 3\n") +
                                     rule("can-a", "[5, 6, 7]", "big.mhx", "S2"));
    const std::string dump = dir.file("dump");
    const std::string trace = dir.file("trace");
    const std::string report = dir.file("report.txt");
    auto r = run("apply --simulate --progress none --report " + report + " --sim-dump " + dump +
                 " --sim-trace " + trace + " " + file);
    ASSERT_EQ(r.status, exitcode::kOk) << r.out;
    for (int node : {5, 6, 7}) {
        EXPECT_TRUE(programmed("big.mhx", dump + "/can-a/node-" + std::to_string(node) + ".srec"))
            << node;
    }
    EXPECT_NE(readAll(report).find("summary devices=3 okay=3 current=0 failed=0 not_run=0 "
                                   "end=complete"),
              std::string::npos)
        << readAll(report);
    // The transfers: from the first request to a device being updated after the search,
    // to the last. The search sweeps every node; while they run only 5, 6, 7 are asked.
    std::istringstream lines(readAll(trace + "/can-a.log"));
    std::vector<std::pair<int, bool>> requests;  // node, to an updated device
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, std::regex(R"( can-a 6([0-9A-F]{2})#)"))) {
            const int node = std::stoi(m[1].str(), nullptr, 16);
            requests.emplace_back(node, node >= 5 && node <= 7);
        }
    }
    size_t firstSweepEnd = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!requests[i].second) {
            firstSweepEnd = i;
        }
    }
    size_t transfers = 0;
    for (size_t i = firstSweepEnd + 1; i < requests.size(); ++i) {
        transfers += requests[i].second;
    }
    size_t duringSearch = 0;  // the search's own questions to the three
    for (size_t i = 0; i < firstSweepEnd; ++i) {
        duringSearch += requests[i].second;
    }
    EXPECT_LT(duringSearch, 200u) << "no transfer before the search ended";
    // After the last sweep frame, the transfers: thousands of units, all of them.
    EXPECT_GT(transfers, 3u * 1000) << "the transfers came after the search";
    // Interleaved: each device's requests begin before another's end.
    std::set<int> seenBeforeLast;
    for (size_t i = firstSweepEnd + 1; i < firstSweepEnd + 1 + transfers / 3; ++i) {
        seenBeforeLast.insert(requests[i].first);
    }
    EXPECT_EQ(seenBeforeLast.size(), 3u) << "the three transfers overlap";
}

// A device that fails, with each policy: the rest of its bus, and the other bus. The
// four machines run at once (each its own simulation).
TEST_F(MachineCliTest, AFailedDeviceStopsWhatItsPolicySays) {
    struct Case {
        std::string policy;
        std::string options;
        std::string rest;  // can-a/7's fate
        std::string otherBus;
    };
    const std::vector<Case> cases = {{"stop-bus", "", "not-run", "okay"},
                                     {"continue", "", "okay", "okay"},
                                     {"stop-machine", "", "not-run", "stopped"},
                                     {"continue", "--max-failures=1", "not-run", "stopped"}};
    std::vector<std::unique_ptr<test::ChildProcess>> runs;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string n = std::to_string(i);
        const std::string file = dir.write(
            "machine" + n + ".toml",
            "name = \"f\"\n" + canBus("can-a", 1000, "on-failure = \"" + c.policy + "\"\n") +
                canBus("can-b", 1000) + rule("can-a", "[5, 6, 7]", "enc.mhx", "S2") +
                rule("can-b", "[5, 6, 7, 8, 9]", "enc.mhx", "S2") +
                "[simulate]\ncan-a = [\"node=5,fail=noack@2\", \"node=6\", \"node=7\"]\n");
        std::vector<std::string> args{bin("bootloader"), "machine",
                                      "apply",           "--simulate",
                                      "--progress",      "none",
                                      "--report-format", "json",
                                      "--report",        dir.file("report" + n + ".json")};
        if (!c.options.empty()) {
            args.push_back(c.options);
        }
        args.push_back(file);
        runs.push_back(
            std::make_unique<test::ChildProcess>(args, test::ChildProcess::Output::Joined));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string what = c.policy + " " + c.options;
        EXPECT_EQ(runs[i]->wait(), exitcode::kDeviceFailed) << what << runs[i]->output;
        const Json doc = Json::parse(readAll(dir.file("report" + std::to_string(i) + ".json")));
        auto o = outcomes(doc);
        EXPECT_EQ(o["can-a/5"], "not-acknowledged") << what;
        EXPECT_EQ(o["can-a/7"], c.rest) << what;
        auto buses = busOutcomes(doc);
        EXPECT_EQ(buses["can-a"], "failed") << what;
        EXPECT_EQ(buses["can-b"], c.otherBus) << what << "\n" << doc;
        if (c.otherBus == "stopped") {
            EXPECT_EQ(o["can-b/9"], "not-run") << what;
        }
    }
}

// A worker killed with SIGKILL, and one that outlives its bus's time limit, fail their
// buses with the reason; the other bus goes on and the report parses.
TEST_F(MachineCliTest, AKilledOrHungWorkerFailsItsBusAndTheOthersGoOn) {
    const std::string file =
        machine("name = \"k\"\n" + canBus("can-a", 125) + canBus("can-b", 1000) +
                canBus("can-c", 125, "time-limit = 4\n") + rule("can-a", "[5]", "big.mhx", "S2") +
                rule("can-b", "[5]", "enc.mhx", "S2") + rule("can-c", "[5]", "big.mhx", "S2"));
    const std::string report = dir.file("report.json");
    test::ChildProcess p({bin("bootloader"), "machine", "apply", "--simulate", "--progress",
                          "plain", "--report-format", "json", "--report", report, file},
                         test::ChildProcess::Output::Joined);
    ASSERT_TRUE(p.waitForText("can-a: device 5: 10 %", std::chrono::seconds(60))) << p.output;
    const std::string workers = test::runCommand("pgrep -P " + std::to_string(p.pid()) +
                                                 " -f 'machine-worker .*--bus can-a'");
    ASSERT_FALSE(workers.empty());
    ::kill(std::stoi(workers), SIGKILL);
    EXPECT_EQ(p.wait(), exitcode::kBusFailed) << p.output;
    const Json doc = Json::parse(readAll(report));
    EXPECT_EQ(doc["end"], "complete");
    auto buses = busOutcomes(doc);
    EXPECT_EQ(buses["can-a"], "failed");
    EXPECT_EQ(buses["can-b"], "okay");
    EXPECT_EQ(buses["can-c"], "failed");
    for (const auto& b : doc["buses"]) {
        if (b["name"] == "can-a") {
            EXPECT_EQ(b["message"], "worker ended by signal 9");
        }
        if (b["name"] == "can-c") {
            EXPECT_EQ(b["message"], "worker exceeded the bus's time limit of 4 s");
        }
    }
    EXPECT_EQ(outcomes(doc)["can-a/5"], "failed");
    EXPECT_EQ(outcomes(doc)["can-b/5"], "okay");
}

TEST_F(MachineCliTest, CtrlCCancelsTheDevicesInHandAndEndsInterrupted) {
    const std::string file =
        machine("name = \"c\"\n" + canBus("can-a", 125) + canBus("can-b", 125) +
                rule("can-a", "[5, 6]", "big.mhx", "S2") + rule("can-b", "[5]", "big.mhx", "S2"));
    const std::string report = dir.file("report.txt");
    test::ChildProcess p({bin("bootloader"), "machine", "apply", "--simulate", "--progress",
                          "plain", "--report", report, file},
                         test::ChildProcess::Output::Joined);
    ASSERT_TRUE(p.waitForText("can-b: device 5: 10 %", std::chrono::seconds(60))) << p.output;
    const auto at = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(), exitcode::kInterrupted) << p.output;
    EXPECT_LT(std::chrono::steady_clock::now() - at, std::chrono::seconds(10));
    const std::string lines = readAll(report);
    EXPECT_NE(lines.find("address=5 image=big.mhx outcome=cancelled"), std::string::npos) << lines;
    EXPECT_NE(lines.find("bus=can-a address=6 image=big.mhx outcome=not-run"), std::string::npos)
        << lines;
    EXPECT_NE(lines.find("bus name=can-b outcome=interrupted"), std::string::npos) << lines;
    EXPECT_NE(lines.find("end=interrupted"), std::string::npos) << lines;
}

// Real interfaces: a CAN bus on the simulated bus server and a board in another computer
// (a board server in front of nubox-simd), the two at once.
TEST_F(MachineCliTest, ABoardBehindABoardServerIsOneBusOfTheMachine) {
    test::ChildProcess canbus({bin("romtide-canbus"), "--port", "0", "--interface", "can0:1000",
                               "--sim-device", "node=5", "--sim-dump", dir.file("can")},
                              test::ChildProcess::Output::Joined);
    ASSERT_TRUE(canbus.waitForLine("ready")) << canbus.output;
    std::smatch port;
    ASSERT_TRUE(std::regex_search(canbus.output, port, std::regex(R"(127\.0\.0\.1:(\d+))")));
    const std::string head =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\"
        "Devices]\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\"
        "Devices\\";
    const std::string serverRegistry =
        dir.write("server.reg", head + "1]\n\"PCI-Board\"=dword:00000042\n");
    test::ChildProcess simd({bin("nubox-simd"), "--driver-dir", dir.file("drivers"), "--board",
                             "pci:0:0x42", "--station", "addr=3", "--sim-dump", dir.file("dp")});
    ASSERT_TRUE(simd.waitForLine("ready")) << simd.output;
    std::unique_ptr<test::ChildProcess> server;
    int remote = -1;
    for (int attempt = 0; attempt < 20 && remote < 0; ++attempt) {
        const int offset = static_cast<int>((::getpid() * 37 + attempt * 17) % 200);
        server = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{bin("nubox-board-server"), "--device", "1", "--port-base",
                                     std::to_string(5000 + offset)},
            std::vector<std::string>{"NUBOXLINK_DRIVER_DIR=" + dir.file("drivers"),
                                     "NUBOXLINK_REGISTRY=" + serverRegistry},
            true);
        if (server->waitForLine("ready")) {
            remote = offset + 1;
        } else {
            server->stop(SIGTERM);
        }
    }
    ASSERT_GE(remote, 0);
    char device[16];
    std::snprintf(device, sizeof device, "%08x", remote);
    const std::string clientRegistry = dir.write(
        "client.reg",
        head + "2]\n\"RemoteMachine\"=\"127.0.0.1\"\n\"RemoteDevice\"=dword:" + device + "\n");
    const std::string file = machine(
        "name = \"remote\"\n[[bus]]\nname = \"can-a\"\ntype = \"can\"\ninterface = "
        "\"socketcand:127.0.0.1:" +
        port[1].str() +
        "/can0\"\nkbit = 1000\n[[bus]]\nname = \"far\"\ntype = \"profibus\"\nboard = 2\nbaud = "
        "\"12M\"\n" +
        rule("can-a", "[5]", "enc.mhx", "S2") + rule("far", "[3]", "dp.mhx", "2.0.0"));
    auto r = test::runProgram("NUBOXLINK_REGISTRY=" + clientRegistry + " " + bin("bootloader") +
                              " machine apply --progress none --report-format json --report " +
                              dir.file("report.json") + " " + file);
    ASSERT_EQ(r.status, exitcode::kOk) << r.out;
    const Json doc = Json::parse(readAll(dir.file("report.json")));
    EXPECT_EQ(outcomes(doc),
              (std::map<std::string, std::string>{{"can-a/5", "okay"}, {"far/3", "okay"}}));
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(simd.stop(SIGTERM), 0);
    EXPECT_EQ(canbus.stop(SIGTERM), 0);
    EXPECT_TRUE(programmed("dp.mhx", dir.file("dp") + "/station-3.srec"));
    EXPECT_TRUE(programmed("enc.mhx", dir.file("can") + "/node-5.srec"));
}

}  // namespace
}  // namespace romtide
