// corvane.exe against the simulated stacks beside it: the classic Bluetooth
// world of Bthprops.cpl (an echoing device 00:80:25:00:00:01, one that
// streams lines 00:80:25:00:00:02, one that wants PIN 1234, a phone that is
// late with its name), the Bluetooth Smart device 00:11:22:33:44:55 and the
// USB instrument CV10000001A, whose nodes the suite registers with SetupAPI.
#include "ToolKit.h"

using namespace tooltest;

namespace {

class ToolOnDevices : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterSimulatedDevices(); }
    static void TearDownTestSuite() { UnregisterSimulatedDevices(); }
};

const char kBluetoothBase[] = "-0000-1000-8000-00805F9B34FB}";

// The lines of standard error: first the user's words, then the library's
// "FUNCTION: [CODE] MESSAGE".
void ExpectFailureReport(const CRun& run, const std::string& userWords, const std::string& libraryError) {
    EXPECT_EQ(run.status, 2u) << run.All();
    std::vector<std::string> lines = Lines(run.err);
    size_t first = 0;
    while (first < lines.size() && !Holds(lines[first], "error: ")) ++first;
    ASSERT_LT(first + 1, lines.size()) << "no report of two lines:\n" << run.All();
    EXPECT_TRUE(Holds(lines[first], userWords)) << "the first line should say " << userWords << ":\n" << run.All();
    EXPECT_FALSE(Holds(lines[first], ": [")) << "the first line is the user's, not the library's:\n" << run.All();
    EXPECT_TRUE(Holds(lines[first + 1], libraryError)) << "the second line should hold " << libraryError << ":\n"
                                                        << run.All();
}

}  // namespace

// A Bluetooth Smart device's services and characteristics, by either
// address form; a characteristic with an assigned number is shown in the full
// form of the Bluetooth base UUID, which a user can look up, beside its number.
TEST_F(ToolOnDevices, ServicesAndCharacteristicsOfABluetoothSmartDevice) {
    std::vector<CRun> runs = RunTools({L"list ble", L"services 00:11:22:33:44:55", L"services 001122334455",
                                       L"read 00:11:22:33:44:55 1800",
                                       L"read 001122334455 {00001800-0000-1000-8000-00805F9B34FB}"});
    EXPECT_EQ(runs[0].status, 0u) << runs[0].All();
    EXPECT_TRUE(Holds(runs[0].out, "00:11:22:33:44:55")) << runs[0].All();
    EXPECT_TRUE(Holds(runs[0].out, "Corvane BLE Simulator")) << runs[0].All();

    for (const CRun& services : {runs[1], runs[2]}) {
        EXPECT_EQ(services.status, 0u) << services.All();
        EXPECT_EQ(Lines(services.out), (std::vector<std::string>{"{00001800-0000-1000-8000-00805F9B34FB}",
                                                                 "{F000A050-008B-4000-B000-000000000000}"}))
            << services.All();
    }
    for (const CRun& read : {runs[3], runs[4]}) {
        EXPECT_EQ(read.status, 0u) << read.All();
        std::vector<std::string> lines = Lines(read.out);
        ASSERT_EQ(lines.size(), 3u) << read.All();
        // The device's name, 2A00, in hexadecimal and as text; the appearance, 2A01.
        EXPECT_EQ(lines[1].find(std::string("{00002A00") + kBluetoothBase), 0u) << read.All();
        EXPECT_TRUE(Holds(lines[1], " 2A00 ")) << read.All();
        EXPECT_TRUE(Holds(lines[1], "43 6F 72 76 61 6E 65")) << read.All();
        EXPECT_TRUE(Holds(lines[1], "Corvane BLE Simulator")) << read.All();
        EXPECT_EQ(lines[2].find(std::string("{00002A01") + kBluetoothBase), 0u) << read.All();
        EXPECT_FALSE(Holds(read.out, "-0000-0000-0000-000000000000}")) << "a UUID nobody can look up:\n" << read.All();
    }
}

// --json: an array of objects, one per row, keyed by the lower-case
// headings, flags as true and false.
TEST_F(ToolOnDevices, JsonOutputParsesAsTheTableItStandsFor) {
    std::vector<CRun> runs = RunTools({L"list ble --json", L"services 00:11:22:33:44:55 --json",
                                       L"read 00:11:22:33:44:55 1800 --json", L"radio --json",
                                       L"list bluetooth --json", L"list usb --json", L"list serial --json",
                                       L"props \"Id=\\\"On\\\",vt=VT_BOOL,Value=True;Id=\\\"Rate\\\",vt=VT_UI4,Value=9600;\" --json"});
    std::vector<std::map<std::string, CJson>> rows;
    for (const CRun& run : runs) EXPECT_EQ(run.status, 0u) << run.All();

    ASSERT_TRUE(IsTable(runs[0].out, {"port", "name"}, rows));
    ASSERT_EQ(rows.size(), 1u) << runs[0].out;
    EXPECT_EQ(rows[0]["port"].text, "00:11:22:33:44:55");
    EXPECT_EQ(rows[0]["name"].text, "Corvane BLE Simulator");

    ASSERT_TRUE(IsTable(runs[1].out, {"service"}, rows));
    ASSERT_EQ(rows.size(), 2u) << runs[1].out;
    EXPECT_EQ(rows[0]["service"].text, "{00001800-0000-1000-8000-00805F9B34FB}");

    ASSERT_TRUE(IsTable(runs[2].out, {"characteristic", "number", "value", "text"}, rows));
    ASSERT_EQ(rows.size(), 2u) << runs[2].out;
    EXPECT_EQ(rows[0]["characteristic"].text, std::string("{00002A00") + kBluetoothBase);
    EXPECT_EQ(rows[0]["number"].text, "2A00");
    EXPECT_EQ(rows[0]["text"].text, "Corvane BLE Simulator") << "the text itself, without the table's quotes: " << runs[2].out;

    // The radio of the simulated world: connectable, not discoverable.
    ASSERT_TRUE(IsTable(runs[3].out, {"setting", "value"}, rows));
    std::map<std::string, CJson> radio;
    for (auto& row : rows) radio[row["setting"].text] = row["value"];
    EXPECT_EQ(radio["LocalName"].text, "CORVANE-PC") << runs[3].out;
    EXPECT_EQ(radio["LocalAddr"].text, "00:15:83:3C:4D:5E") << runs[3].out;
    EXPECT_EQ(radio["Connectable"].kind, CJson::kBool) << runs[3].out;
    EXPECT_TRUE(radio["Connectable"].flag) << runs[3].out;
    EXPECT_EQ(radio["Discoverable"].kind, CJson::kBool) << runs[3].out;
    EXPECT_FALSE(radio["Discoverable"].flag) << runs[3].out;

    ASSERT_TRUE(IsTable(runs[4].out, {"port", "name", "class"}, rows));
    std::map<std::string, std::string> classes;
    for (auto& row : rows) classes[row["port"].text] = row["class"].text;
    EXPECT_EQ(classes["00:80:25:00:00:01"], "0x001F00") << runs[4].out;
    EXPECT_EQ(classes["00:80:25:00:00:04"], "0x5A020C") << runs[4].out;

    ASSERT_TRUE(IsTable(runs[5].out, {"port", "name"}, rows));
    ASSERT_EQ(rows.size(), 1u) << runs[5].out;
    EXPECT_TRUE(Holds(rows[0]["name"].text, "CV10000001A")) << runs[5].out;

    ASSERT_TRUE(IsTable(runs[6].out, {"port", "name"}, rows));

    ASSERT_TRUE(IsTable(runs[7].out, {"name", "type", "access", "value", "constraint"}, rows));
    ASSERT_EQ(rows.size(), 2u) << runs[7].out;
    EXPECT_EQ(rows[0]["value"].kind, CJson::kBool) << runs[7].out;
    EXPECT_TRUE(rows[0]["value"].flag) << runs[7].out;
    EXPECT_EQ(rows[1]["type"].text, "VT_UI4") << runs[7].out;
}

// Status 3: the command worked and found nothing.
TEST_F(ToolOnDevices, NothingFoundIsAnEndingOfItsOwn) {
    std::vector<CRun> runs = RunTools({L"services 0A:0B:0C:0D:0E:0F", L"list bluetooth --class computer",
                                       L"services 0A:0B:0C:0D:0E:0F --json"});
    for (const CRun& run : runs) EXPECT_EQ(run.status, 3u) << run.All();
    std::vector<std::map<std::string, CJson>> rows;
    EXPECT_TRUE(IsTable(runs[2].out, {"service"}, rows));
    EXPECT_TRUE(rows.empty()) << runs[2].out;
}

// A search keeps one major device class, by name or number; an unknown
// driver is one error, and the Toshiba driver is refused while the
// Microsoft stack has a radio, saying so.
TEST_F(ToolOnDevices, ClassicSearchByClassAndDriver) {
    std::vector<CRun> runs = RunTools({L"list bluetooth --class phone", L"list bluetooth --class 2",
                                       L"list bluetooth", L"list bluetooth --driver bogus",
                                       L"open bluetooth 00:80:25:00:00:01 --driver bogus",
                                       L"open bluetooth 00:80:25:00:00:01 --driver toshiba"});
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(runs[i].status, 0u) << runs[i].All();
        EXPECT_TRUE(Holds(runs[i].out, "00:80:25:00:00:04")) << runs[i].All();
        EXPECT_TRUE(Holds(runs[i].out, "Simulated Phone")) << "the phone's late name:\n" << runs[i].All();
        EXPECT_FALSE(Holds(runs[i].out, "00:80:25:00:00:01")) << "not a phone:\n" << runs[i].All();
    }
    EXPECT_EQ(runs[2].status, 0u) << runs[2].All();
    for (const char* device : {"00:80:25:00:00:01", "00:80:25:00:00:02", "00:80:25:00:00:03", "00:80:25:00:00:04"})
        EXPECT_TRUE(Holds(runs[2].out, device)) << device << " in:\n" << runs[2].All();
    EXPECT_TRUE(Holds(runs[2].err, "found 00:80:25:00:00:01")) << "each device as it is found:\n" << runs[2].All();
    for (size_t i = 3; i < 5; ++i) {
        EXPECT_EQ(runs[i].status, 1u) << runs[i].All();
        EXPECT_EQ(Lines(runs[i].err).size(), 1u) << "one error:\n" << runs[i].All();
        EXPECT_TRUE(Holds(runs[i].err, "bogus")) << runs[i].All();
    }
    EXPECT_EQ(runs[5].status, 2u) << runs[5].All();
    EXPECT_TRUE(Holds(runs[5].err, "Microsoft stack has a radio")) << runs[5].All();
}

// A failure says first, in the user's words, what failed and what to try,
// then gives the library's error as it is.
TEST_F(ToolOnDevices, FailuresSayWhatFailedThenTheLibrarysError) {
    std::vector<CRun> runs = RunTools({L"read 00:11:22:33:44:55 180F", L"settings COM99", L"pair 00:80:25:00:00:03 9999",
                                       L"read 0A:0B:0C:0D:0E:0F 1800", L"open usb \\\\?\\usb#vid_0c0a&pid_5501#nothing#{0}",
                                       L"open tcp 127.0.0.1:1"});
    ExpectFailureReport(runs[0], "180F",
                        "corvane::CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::Invoke: [632]");
    ExpectFailureReport(runs[1], "COM99", ": [2]");
    ExpectFailureReport(runs[2], "00:80:25:00:00:03", "[1244]");
    // An unknown device: the paired devices are what to look at.
    ExpectFailureReport(runs[3], "corvane list ble",
                        "corvane::CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::Invoke: [1168]");
    ExpectFailureReport(runs[4], "cannot open", ": [");
    ExpectFailureReport(runs[5], "127.0.0.1:1", ": [");
}

// Pairing by PIN, then removing the pairing; a device without a PIN pairs as it is.
TEST_F(ToolOnDevices, PairAndUnpair) {
    CRun pair = RunTool(L"pair 008025000003 1234");
    EXPECT_EQ(pair.status, 0u) << pair.All();
    EXPECT_TRUE(Holds(pair.out, "00:80:25:00:00:03 paired")) << pair.All();
    CRun unpair = RunTool(L"unpair 00:80:25:00:00:01");
    EXPECT_EQ(unpair.status, 0u) << unpair.All();
    EXPECT_TRUE(Holds(unpair.out, "00:80:25:00:00:01 unpaired")) << unpair.All();
}

// A device that asks for a PIN is reached with --pin; without it the
// failure says that a PIN may be needed.
TEST_F(ToolOnDevices, OpenWithAndWithoutThePinADeviceAsksFor) {
    CChild terminal(L"open bluetooth 00:80:25:00:00:03 --pin 1234");
    ASSERT_TRUE(terminal.WaitForError("open;")) << terminal.Out() << terminal.Err();
    ASSERT_TRUE(terminal.Send("sesame\n"));
    EXPECT_TRUE(terminal.WaitForOutput("sesame")) << terminal.Out() << terminal.Err();
    CRun run = terminal.Finish();
    EXPECT_TRUE(run.ended) << run.All();
    EXPECT_EQ(run.status, 0u) << run.All();

    CRun refused = RunTool(L"open bluetooth 00:80:25:00:00:03");
    ExpectFailureReport(refused, "--pin", ": [");
}

// The cache answers with the last search's devices, and keeps a class too;
// the Toshiba stack's search finds its own world (and is the last search then).
TEST_F(ToolOnDevices, CacheOfTheLastSearchAndTheToshibaStacksSearch) {
    CRun search = RunTool(L"list bluetooth");
    EXPECT_EQ(search.status, 0u) << search.All();
    std::vector<CRun> runs = RunTools({L"list bluetooth --cache", L"list bluetooth --cache --class phone"});
    runs.push_back(RunTool(L"list bluetooth --driver toshiba"));
    EXPECT_EQ(runs[0].status, 0u) << runs[0].All();
    for (const char* device : {"00:80:25:00:00:01", "00:80:25:00:00:04", "00:80:25:00:00:05"})
        EXPECT_TRUE(Holds(runs[0].out, device)) << device << " in:\n" << runs[0].All();
    EXPECT_EQ(runs[1].status, 0u) << runs[1].All();
    EXPECT_TRUE(Holds(runs[1].out, "00:80:25:00:00:04")) << runs[1].All();
    EXPECT_FALSE(Holds(runs[1].out, "00:80:25:00:00:01")) << runs[1].All();
    EXPECT_EQ(runs[2].status, 0u) << runs[2].All();
    EXPECT_TRUE(Holds(runs[2].out, "Echo Device")) << runs[2].All();
    EXPECT_TRUE(Holds(runs[2].out, "Line Streamer")) << runs[2].All();
}

// A published service: the simulated caller dials it, and the connection
// and what the caller sends are shown. Its time is a whole number of seconds.
TEST_F(ToolOnDevices, ServeShowsEachConnectionAndWhatItSends) {
    std::vector<CRun> runs = RunTools({L"serve \"Tool Test\" --for 2", L"serve Demo --for soon",
                                       L"serve Demo --for -1", L"serve Demo --until 2"});
    EXPECT_EQ(runs[0].status, 0u) << runs[0].All();
    EXPECT_TRUE(Holds(runs[0].out, "\"Tool Test\"")) << runs[0].All();
    EXPECT_TRUE(Holds(runs[0].out, "connection from 00:80:25:00:00:05")) << runs[0].All();
    EXPECT_TRUE(Holds(runs[0].out, "HELLO FROM THE SIMULATED CALLER")) << runs[0].All();
    for (size_t i = 1; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].status, 1u) << runs[i].All();
        EXPECT_FALSE(Holds(runs[i].out, "serving")) << runs[i].All();
    }
}
