// The machine file's checker (every fault with its file, line and key, before any bus
// is touched), the rules applied to what a search found, and the worker protocol's
// messages as they travel.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "machine/machine_file.h"
#include "machine/machine_plan.h"
#include "machine/worker_protocol.h"
#include "support/temp_dir.h"

namespace romtide::machine {
namespace {

const char* const kBuses = R"(name = "line"
[[bus]]
name = "can-a"
type = "can"
interface = "virtual:a"
kbit = 500
[[bus]]
name = "dp-1"
type = "profibus"
board = 1
baud = "1.5M"
)";

// Images: "bad.mhx" is refused, "gone.mhx" cannot be read, any other is fine.
ImageCheck fakeCheck(const std::string& path) {
    if (path.find("gone.mhx") != std::string::npos) {
        return {3, "cannot be opened or read", 0, 0};
    }
    if (path.find("bad.mhx") != std::string::npos) {
        return {4, "refused by the image checks", 0, 0};
    }
    return {0, "", 1000, 100};
}

struct Loaded {
    std::optional<Machine> machine;
    Fault fault;
};

Loaded load(test::TempDir& dir, const std::string& text) {
    Loaded l;
    l.machine = loadMachine(dir.write("m.toml", text), fakeCheck, &l.fault);
    return l;
}

TEST(MachineFile, EveryFaultNamesItsLineAndKey) {
    struct Case {
        const char* what;
        std::string text;
        int status;
        std::string where;  // ":LINE: key K: reason" as it must appear
    };
    const std::string rule = "[[rule]]\nbus = \"can-a\"\naddress = 5\nimage = \"a.mhx\"\n";
    const std::vector<Case> cases = {
        {"unknown top key", "colour = 1\n" + std::string(kBuses), 2, ":1: key colour: unknown key"},
        {"unknown bus key", "name = \"x\"\n[[bus]]\nname = \"a\"\ntype = \"can\"\nspeed = 5\n", 2,
         ":5: key bus.speed: unknown key"},
        {"wrong type", "name = \"x\"\n[[bus]]\nname = \"a\"\ntype = \"can\"\ninterface = 5\n", 2,
         ":5: key bus.interface: must be a string, not an integer"},
        {"no such rate",
         "name = \"x\"\n[[bus]]\nname = \"a\"\ntype = \"can\"\ninterface = \"v\"\nkbit = 300\n", 2,
         ":6: key bus.kbit: not one of"},
        {"missing key", "name = \"x\"\n[[bus]]\nname = \"a\"\ntype = \"can\"\nkbit = 500\n", 2,
         ":2: key bus.interface: missing"},
        {"a name that is no folder", "name = \"x\"\n[[bus]]\nname = \"../a\"\ntype = \"can\"\n", 2,
         ":3: key bus.name: 1 to 32 letters"},
        {"parallel on profibus",
         "name = \"x\"\n[[bus]]\nname = \"d\"\ntype = \"profibus\"\nboard = 0\nparallel = 2\n", 2,
         ":6: key bus.parallel: only for a bus of type can"},
        {"same interface twice",
         std::string(kBuses) +
             "[[bus]]\nname = \"can-b\"\ntype = \"can\"\ninterface = \"virtual:a\"\nkbit = 125\n",
         2, ":15: key bus.interface: virtual:a is the bus of line 2 already"},
        {"same board twice",
         std::string(kBuses) + "[[bus]]\nname = \"dp-2\"\ntype = \"profibus\"\nboard = 1\n", 2,
         ":15: key bus.board: board 1 is the bus of line 7 already"},
        {"policy", std::string(kBuses) + "on-failure = \"retry\"\n", 2,
         ":12: key bus.on-failure: one of stop-bus, stop-machine, continue, not 'retry'"},
        {"rule on no bus",
         std::string(kBuses) + "[[rule]]\nbus = \"can-z\"\naddress = 5\nimage = \"a.mhx\"\n"
                               "version = \"S2\"\n",
         2, ":13: key rule.bus: no bus is named 'can-z'"},
        {"two rules claim a device",
         std::string(kBuses) + rule + "version = \"S2\"\n" +
             "[[rule]]\nbus = \"can-a\"\naddress = [4, 5]\nimage = \"b.mhx\"\nversion = \"S3\"\n",
         2, ":17: key rule.address: claims a device that the rule of line 12 claims already"},
        {"two rules claim a type",
         std::string(kBuses) + "[[rule]]\nident = 0x793\nimage = \"a.mhx\"\nversion = \"1.0.0\"\n" +
             "[[rule]]\nbus = \"dp-1\"\nident = 0x793\nimage = \"b.mhx\"\nversion = \"1.0.1\"\n",
         2, ":16: key rule.address: claims a device that the rule of line 12 claims already"},
        {"ident on a CAN bus",
         std::string(kBuses) + "[[rule]]\nbus = \"can-a\"\nident = 5\nimage = \"a.mhx\"\n"
                               "version = \"S2\"\n",
         2, ":14: key rule.ident: a Profibus slave's ident; bus can-a is CAN"},
        {"bad DP version",
         std::string(kBuses) + "[[rule]]\nbus = \"dp-1\"\naddress = 3\nimage = \"a.mhx\"\n"
                               "version = \"S2\"\n",
         2, ":16: key rule.version: a station reports A.B.C"},
        {"CAN version too long", std::string(kBuses) + rule + "version = \"S2345\"\n", 2,
         ":16: key rule.version: a CAN device reports 1 to 4 characters"},
        {"address out of range",
         std::string(kBuses) + "[[rule]]\nbus = \"can-a\"\naddress = 128\nimage = \"a.mhx\"\n"
                               "version = \"S2\"\n",
         2, ":14: key rule.address: must be 1..127, not 128"},
        {"unknown simulated bus", std::string(kBuses) + "[simulate]\ncan-z = [\"node=5\"]\n", 2,
         ":13: key simulate.can-z: no bus is named 'can-z'"},
        {"missing image",
         std::string(kBuses) + "[[rule]]\nbus = \"can-a\"\naddress = 5\nimage = \"gone.mhx\"\n"
                               "version = \"S2\"\n",
         3, ":15: key rule.image: gone.mhx: cannot be opened or read"},
        {"refused image",
         std::string(kBuses) + "[[rule]]\nbus = \"can-a\"\naddress = 5\nimage = \"bad.mhx\"\n"
                               "version = \"S2\"\n",
         4, ":15: key rule.image: bad.mhx: refused by the image checks"},
        {"a syntax error", std::string(kBuses) + "name = = 3\n", 2, ":12:"},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        Loaded l = load(dir, c.text);
        if (c.status == 0) {
            EXPECT_TRUE(l.machine) << c.what << ": " << l.fault.message;
            continue;
        }
        EXPECT_FALSE(l.machine) << c.what;
        EXPECT_EQ(l.fault.status, c.status) << c.what << ": " << l.fault.message;
        EXPECT_EQ(l.fault.message.rfind(dir.file("m.toml") + c.where, 0), 0u)
            << c.what << ": " << l.fault.message;
    }
}

TEST(MachineFile, ImagesAreFoundBesideTheFileAndVersionsKeptInOneForm) {
    test::TempDir dir;
    Loaded l = load(dir, std::string(kBuses) +
                             "[[rule]]\nbus = \"dp-1\"\naddress = [3, 4]\nimage = \"fw/dp.mhx\"\n"
                             "version = \"02.0.00\"\n");
    ASSERT_TRUE(l.machine) << l.fault.message;
    const Rule& r = l.machine->rules.at(0);
    EXPECT_EQ(r.imagePath, dir.file("fw/dp.mhx"));
    EXPECT_EQ(r.version, "2.0.0");
    EXPECT_EQ(r.textUnits, 100);
    EXPECT_EQ(l.machine->buses.at(1).baudCode, 6);
    EXPECT_EQ(l.machine->buses.at(0).onFailure, OnFailure::StopBus);
}

// The four actions, and a rule by address before one by type.
TEST(MachinePlan, EachDeviceGetsItsAction) {
    test::TempDir dir;
    Loaded l = load(dir, std::string(kBuses) +
                             "[[rule]]\nbus = \"can-a\"\naddress = [5, 6, 7, 9]\nimage = "
                             "\"a.mhx\"\nversion = \"S2\"\n"
                             "[[rule]]\ndevice-type = 0x20196\nimage = \"t.mhx\"\nversion = "
                             "\"T1\"\n");
    ASSERT_TRUE(l.machine) << l.fault.message;
    BusSearch search;
    search.searched = true;
    search.devices = {{5, false, "S1", 0x20196, {}},
                      {6, false, "S2", 0x20196, {}},
                      {7, true, {}, {}, {}},
                      {12, false, "X7", 0x10196, {}},
                      {13, false, "T0", 0x20196, {}}};
    BusPlan plan = planBus(*l.machine, l.machine->buses[0], search);
    std::map<int, std::string> actions;
    for (const auto& p : plan.devices) {
        actions[p.address] = actionWord(p.action) + std::string(" ") +
                             (p.rule >= 0 ? l.machine->rules[p.rule].image : "-");
    }
    EXPECT_EQ(actions, (std::map<int, std::string>{{5, "update a.mhx"},
                                                   {6, "current a.mhx"},
                                                   {7, "update a.mhx"},
                                                   {9, "missing a.mhx"},
                                                   {12, "unmatched -"},
                                                   {13, "update t.mhx"}}));
    ASSERT_TRUE(plan.estimateSeconds);
    // Three updates of 100 units at 500 kbit/s: the overheads and the search dominate.
    EXPECT_GT(*plan.estimateSeconds, 3 * deviceSeconds(l.machine->buses[0], 100));
}

TEST(WorkerProtocol, MessagesTravelWholeAndBrokenLinesAreRefused) {
    using namespace protocol;
    DeviceOutcome o;
    o.address = 5;
    o.outcome = "unverified";
    o.result = -12;
    o.seconds = 6.8;
    o.textUnitsSent = 11520;
    o.versionBefore = std::string("a b=%\n\xff", 7);
    o.versionAfter = "";
    o.verified = false;
    o.rule = 2;
    const std::string line = format(outcomeMessage(o));
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find(' ', line.find("before=")), line.find(" after="));
    std::string error;
    auto m = parse(line.substr(0, line.size() - 1), &error);
    ASSERT_TRUE(m) << error;
    auto back = outcomeOf(*m);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->versionBefore, o.versionBefore);
    EXPECT_EQ(back->versionAfter, std::string());
    EXPECT_EQ(back->textUnitsSent, 11520);
    EXPECT_EQ(back->verified, false);
    EXPECT_DOUBLE_EQ(back->seconds, 6.8);

    for (const char* bad : {"", "Outcome address=5", "outcome address", "outcome a=%4",
                            "outcome a=%4g", "outcome a=b c", "outcome  a=b", "outcome a=b "}) {
        EXPECT_FALSE(parse(bad, &error)) << bad;
    }
    LineSplitter splitter;
    std::vector<std::string> lines;
    EXPECT_TRUE(splitter.feed("a b=1\nc", 7, lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"a b=1"}));
    const std::string longLine(kMaxLine, 'x');
    EXPECT_FALSE(splitter.feed(longLine.data(), longLine.size(), lines));
    EXPECT_LE(splitter.pending(), kMaxLine);
}

}  // namespace
}  // namespace romtide::machine
