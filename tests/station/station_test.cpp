// The station's own rules, in-process: real slots on real stb-emulator boxes,
// each run about a second. What the command line and the web server make of
// them is for their end-to-end suites.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "station/station.h"
#include "tests/emulator/emulator_process.h"
#include "web/web_api.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kImageBytes = 5000;  // five blocks
constexpr unsigned short kWebPort = 8080;
constexpr char kToken[] = "tok-1";
const std::vector<std::string> kBox = {"--sessions", "0"};
// A box that stays silent after power-on: its run stays catching.
const std::vector<std::string> kSilentBox = {"--sessions", "0", "--boot-delay", "60000"};

class StationRules : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = fs::temp_directory_path() /
                   ("kelvora-station-" + std::to_string(getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_folder);
        std::string bytes(kImageBytes, '\0');
        std::mt19937 random(7);
        for (char& byte : bytes) {
            byte = static_cast<char>(random());
        }
        const std::string image = (m_folder / "image.ssu").string();
        std::ofstream(image, std::ios::binary) << bytes;
        std::string reason;
        ASSERT_TRUE(ImageRead(image, m_settings.pImage, reason)) << reason;
        ASSERT_TRUE(ImageFactsOf(image, *m_settings.pImage, m_settings.image, reason)) << reason;
    }
    void TearDown() override {
        if (m_pStation) {
            m_pStation->StopAll();
            m_pStation.reset();  // waits for the runs, then closes the ports
        }
        m_boxes.clear();
        fs::remove_all(m_folder);
    }

    // The one place a station is made: with m_settings as the test set them.
    void MakeStation() { m_pStation = std::make_unique<Station>(m_settings); }
    // The one place the web API is made, on this test's station.
    WebApi MakeApi(WebSettings settings) { return WebApi(*m_pStation, std::move(settings)); }

    // A box on an emulator of its own, added as the next slot.
    void AddBox(const std::vector<std::string>& options) {
        m_boxes.push_back(std::make_unique<Emulator>(options));
        ASSERT_FALSE(m_boxes.back()->PtyPath().empty());
        std::string reason;
        ASSERT_TRUE(m_pStation->AddSlot(m_boxes.back()->PtyPath(), reason)) << reason;
    }
    std::string RecordPath() const { return (m_folder / "records.jsonl").string(); }

    // Until every run has ended and its record is written (a hang guard only).
    void WaitIdle() {
        const auto limit = std::chrono::steady_clock::now() + 60s;
        while (m_pStation->Busy() && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_FALSE(m_pStation->Busy()) << "the station is still busy after 60 s";
    }
    // Runs the slot once to its end.
    void RunOnce(unsigned slot) {
        std::string reason;
        ASSERT_EQ(m_pStation->Start(slot, &reason), Station::StartResult::Started) << reason;
        WaitIdle();
    }
    // The texts of the refusals logged after id (a running slot logs too).
    std::vector<std::string> RefusalsSince(std::uint64_t id) const {
        bool bMissed = false;
        std::vector<std::string> texts;
        for (const LoggedEvent& event : m_pStation->Since(id, bMissed)) {
            if (event.kind == EventKind::Refused) {
                texts.push_back(event.text);
            }
        }
        return texts;
    }

    StationSettings m_settings;
    fs::path m_folder;
    std::vector<std::unique_ptr<Emulator>> m_boxes;
    std::unique_ptr<Station> m_pStation;  // goes before the boxes whose ports it holds
};

struct StartCase {
    const char* name;
    unsigned slot;
    Station::StartResult result;
    const char* text;  // with OpenFailed: how the text begins
};

struct StopCase {
    const char* name;
    unsigned slot;
    Station::StopResult result;
    const char* text;
};

// Slot 1 runs (its box is silent), slot 2 is idle, slot 3's port is missing.
TEST_F(StationRules, StartsAndStopsAreRefusedWithTheirReasons) {
    MakeStation();
    AddBox(kSilentBox);
    AddBox(kBox);
    std::string missing;
    EXPECT_FALSE(m_pStation->AddSlot("/dev/kelvora-no-such-port", missing));
    ASSERT_EQ(m_pStation->Start(1), Station::StartResult::Started);

    const StartCase kStarts[] = {
        {"AgainOnARunningSlot", 1, Station::StartResult::Running, "slot 1 is running; not started again"},
        {"SlotZero", 0, Station::StartResult::NoSuchSlot, "no slot 0"},
        {"PastTheLastSlot", 4, Station::StartResult::NoSuchSlot, "no slot 4"},
        {"PortMissing", 3, Station::StartResult::OpenFailed, "slot 3 /dev/kelvora-no-such-port: cannot open port: "},
    };
    for (const StartCase& c : kStarts) {
        SCOPED_TRACE(c.name);
        const std::uint64_t before = m_pStation->LastEventId();
        std::string reason;
        const Station::StartResult result = m_pStation->Start(c.slot, &reason);
        EXPECT_EQ(result, c.result);
        const std::string text = StartRefusalText(*m_pStation, c.slot, result, reason);
        EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
        // Each refusal is in the log too, once, with the same words.
        EXPECT_EQ(RefusalsSince(before), std::vector<std::string>{text});
    }
    const StopCase kStops[] = {
        {"IdleSlot", 2, Station::StopResult::NotRunning, "slot 2 is not running"},
        {"PastTheLastSlot", 4, Station::StopResult::NoSuchSlot, "no slot 4"},
    };
    for (const StopCase& c : kStops) {
        SCOPED_TRACE(c.name);
        const Station::StopResult result = m_pStation->Stop(c.slot);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(StopRefusalText(c.slot, result), c.text);
    }

    // A stop ends the running slot's run, cancelled (at the power-off prompt
    // or after it, as the run's thread has got on); the others never ran.
    EXPECT_EQ(m_pStation->Stop(1), Station::StopResult::Stopping);
    WaitIdle();
    EXPECT_EQ(m_pStation->Snapshot(1).phase, SlotPhase::Cancelled);
    EXPECT_EQ(m_pStation->Snapshot(1).state, SlotState::Ended);
    EXPECT_EQ(m_pStation->Snapshot(2).run, 0u);

    // Once closed, no slot starts, however it stands.
    m_pStation->Close();
    EXPECT_TRUE(m_pStation->Closed());
    for (unsigned slot = 1; slot <= 3; ++slot) {
        SCOPED_TRACE(slot);
        const Station::StartResult result = m_pStation->Start(slot);
        EXPECT_EQ(result, Station::StartResult::Closed);
        EXPECT_EQ(StartRefusalText(*m_pStation, slot, result, ""), "the station is quitting: no new starts");
    }
    EXPECT_TRUE(m_pStation->StartAllReady().empty());
    EXPECT_EQ(m_pStation->RunningCount(), 0u);
}

struct CountStep {
    unsigned slot;
    RunEnd end;
    unsigned completed, failed;
    double yield;
    unsigned targetLeft;
    bool bTargetReached;
    const char* unit;
    unsigned repeatOf;  // in the record; 0: no key
};

// Slot 1's box completes (the same unit each time), slot 2's refuses every
// image, slot 3's completes as another unit; two boxes are wanted.
TEST_F(StationRules, RunsAreCountedAndRecordedOneLineEach) {
    m_settings.record = RecordPath();
    m_settings.stationName = "line-1";
    m_settings.target = 2;
    std::string refusal;
    m_settings.unitPattern = UnitPattern::Compile(R"(Board serial: (\S+))", refusal);
    ASSERT_TRUE(m_settings.unitPattern) << refusal;
    m_settings.pStore = UnitStoreOpen((m_folder / "units.db").string(), refusal);
    ASSERT_TRUE(m_settings.pStore) << refusal;
    MakeStation();
    AddBox({"--sessions", "0", "--serial", "SN-1"});
    AddBox({"--sessions", "0", "--refuse", "--serial", "SN-2"});
    AddBox({"--sessions", "0", "--serial", "SN-3"});

    const CountStep kSteps[] = {
        {1, RunEnd::Completed, 1, 0, 100.0, 1, false, "SN-1", 0},
        {2, RunEnd::ImageRefused, 1, 1, 50.0, 1, false, "SN-2", 0},
        // The same unit again: not flashed, and counted neither way.
        {1, RunEnd::AlreadyFlashed, 1, 1, 50.0, 1, false, "SN-1", 1},
        {3, RunEnd::Completed, 2, 1, 66.7, 0, true, "SN-3", 0},
    };
    for (const CountStep& step : kSteps) {
        SCOPED_TRACE(testing::Message() << "slot " << step.slot << " " << RunEndName(step.end));
        RunOnce(step.slot);
        EXPECT_EQ(m_pStation->Snapshot(step.slot).end, step.end);
        EXPECT_EQ(m_pStation->Snapshot(step.slot).unit, step.unit);
        const Station::Totals totals = m_pStation->TotalsNow();
        EXPECT_EQ(totals.completed, step.completed);
        EXPECT_EQ(totals.failed, step.failed);
        EXPECT_EQ(totals.yield, step.yield);
        EXPECT_EQ(totals.target, 2u);
        EXPECT_EQ(totals.targetLeft, step.targetLeft);
        EXPECT_EQ(totals.targetReached, step.bTargetReached);
    }
    EXPECT_EQ(m_pStation->Snapshot(1).completed, 1u);
    EXPECT_EQ(m_pStation->Snapshot(1).failed, 0u);
    EXPECT_EQ(m_pStation->Snapshot(2).failed, 1u);

    std::ifstream file(RecordPath());
    std::vector<nlohmann::json> records;
    for (std::string line; std::getline(file, line);) {
        records.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(records.size(), std::size(kSteps));
    for (std::size_t i = 0; i < records.size(); ++i) {
        const CountStep& step = kSteps[i];
        const nlohmann::json& record = records[i];
        SCOPED_TRACE(record.dump());
        EXPECT_EQ(record["port"], m_boxes[step.slot - 1]->PtyPath());
        EXPECT_EQ(record["slot"], step.slot);
        EXPECT_EQ(record["run"], i + 1);
        EXPECT_EQ(record["station"], "line-1");
        EXPECT_EQ(record["unit"], step.unit);
        EXPECT_EQ(record.value("repeat_of", 0u), step.repeatOf);
        EXPECT_EQ(record["end"], RunEndName(step.end));
        EXPECT_EQ(record["ok"], step.end == RunEnd::Completed);
        EXPECT_EQ(record["blocks"], step.end == RunEnd::AlreadyFlashed ? 0u : kImageBytes / 1024 + 1);
        EXPECT_EQ(record["image"], m_settings.image.path);
        EXPECT_EQ(record["image_bytes"], kImageBytes);
        EXPECT_EQ(record["image_sha256"], m_settings.image.sha256);
        for (const char* key : {"started", "ended", "seconds", "message"}) {
            EXPECT_TRUE(record.contains(key)) << key;
        }
        EXPECT_NE(record["console"].get<std::string>().find(std::string("Board serial: ") + step.unit),
                  std::string::npos);
    }

    // The store holds the same attempts; the web API asks it by unit, and
    // gives records by unit, as JSON and as CSV with the same attempt ids.
    WebSettings web;
    web.record = RecordPath();
    web.stationName = "line-1";
    WebApi api = MakeApi(web);
    api.OwnPlaceSet(kWebPort, "stationhost");
    const auto get = [&api](const std::string& target) {
        WebRequest request;
        request.method = "GET";
        request.target = target;
        request.host = "127.0.0.1:" + std::to_string(kWebPort);
        return api.Answer(request);
    };
    const nlohmann::json unit = nlohmann::json::parse(get("/api/units/SN-1").body);
    ASSERT_EQ(unit["attempts"].size(), 2u) << unit.dump();
    EXPECT_EQ(unit["attempts"][0]["end"], "already-flashed");
    EXPECT_EQ(unit["attempts"][1]["end"], "completed");
    EXPECT_EQ(nlohmann::json::parse(get("/api/records?unit=SN-1").body)["records"].size(), 2u);
    const WebAnswer csv = get("/api/records.csv?unit=SN-3");
    EXPECT_EQ(csv.contentType, "text/csv; charset=utf-8");
    const std::string attempt = nlohmann::json::parse(get("/api/units/SN-3").body)["attempts"][0]["attempt"];
    EXPECT_EQ(csv.body.substr(csv.body.find("\r\n") + 2, attempt.size() + 1), attempt + ",") << csv.body;
    // A header and one record (its message's line ends are inside quotes).
    EXPECT_EQ(csv.body.find("\r\n", csv.body.find("\r\n") + 2), csv.body.size() - 2) << csv.body;
    EXPECT_EQ(get("/api/units/SN-9").status, 404);
}

// The position of the first event of that kind (and phase) after `from`.
std::size_t FindEvent(const std::vector<LoggedEvent>& events, EventKind kind, std::size_t from = 0,
                      std::optional<SlotPhase> phase = std::nullopt) {
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == kind && (!phase || events[i].phase == *phase)) {
            return i;
        }
    }
    return events.size();
}

TEST_F(StationRules, TheEventLogTellsARunInOrderAndSinceGivesWhatCameAfter) {
    m_settings.record = RecordPath();
    MakeStation();
    AddBox(kBox);
    std::atomic<std::uint64_t> woken{0};
    const unsigned subscription = m_pStation->Subscribe([&woken] { ++woken; });
    const std::uint64_t before = m_pStation->LastEventId();
    RunOnce(1);

    bool bMissed = true;
    const std::vector<LoggedEvent> events = m_pStation->Since(0, bMissed);
    EXPECT_FALSE(bMissed);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().id, m_pStation->LastEventId());
    EXPECT_EQ(woken.load(), m_pStation->LastEventId() - before);  // once for every event
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].id, i + 1);
    }
    // The run's story: each step after the one before it.
    std::size_t at = FindEvent(events, EventKind::Phase, 0, SlotPhase::Catching);
    for (const auto& [kind, phase] : std::vector<std::pair<EventKind, std::optional<SlotPhase>>>{
             {EventKind::RunStarted, std::nullopt},
             {EventKind::Phase, SlotPhase::Sending},
             {EventKind::Phase, SlotPhase::Checking},
             {EventKind::Phase, SlotPhase::Burning},
             {EventKind::Phase, SlotPhase::Completed},
             {EventKind::RunEnded, std::nullopt},
             {EventKind::RecordWritten, std::nullopt}}) {
        SCOPED_TRACE(testing::Message() << EventKindName(kind) << " " << (phase ? SlotPhaseName(*phase) : ""));
        at = FindEvent(events, kind, at, phase);
        ASSERT_LT(at, events.size());
        EXPECT_EQ(events[at].slot, 1u);
    }
    EXPECT_EQ(events[FindEvent(events, EventKind::RunEnded)].end, RunEnd::Completed);
    EXPECT_EQ(events[FindEvent(events, EventKind::RunEnded)].run, 1u);

    // Since(id): exactly the events after id.
    const std::uint64_t middle = events[events.size() / 2].id;
    const std::vector<LoggedEvent> after = m_pStation->Since(middle, bMissed);
    EXPECT_FALSE(bMissed);
    ASSERT_EQ(after.size(), events.size() - events.size() / 2 - 1);
    EXPECT_EQ(after.front().id, middle + 1);
    // An id this station never gave: the caller needs the whole state.
    EXPECT_TRUE(m_pStation->Since(m_pStation->LastEventId() + 1, bMissed).empty());
    EXPECT_TRUE(bMissed);

    // A subscriber that left is not woken.
    m_pStation->Unsubscribe(subscription);
    const std::uint64_t wokenBefore = woken.load();
    m_pStation->Stop(1);  // refused: an event
    EXPECT_EQ(woken.load(), wokenBefore);

    // Past kEventLogMost the oldest go: an id older than the log holds is missed.
    for (std::size_t i = 0; i < Station::kEventLogMost; ++i) {
        m_pStation->Stop(1);
    }
    const std::vector<LoggedEvent> held = m_pStation->Since(0, bMissed);
    EXPECT_TRUE(bMissed);
    ASSERT_EQ(held.size(), Station::kEventLogMost);
    const std::uint64_t oldest = held.front().id;
    EXPECT_EQ(held.back().id, m_pStation->LastEventId());
    EXPECT_EQ(m_pStation->Since(oldest - 1, bMissed).size(), Station::kEventLogMost);
    EXPECT_FALSE(bMissed);
    m_pStation->Since(oldest - 2, bMissed);
    EXPECT_TRUE(bMissed);
}

struct RouteCase {
    const char* name;
    const char* method;
    const char* target;
    bool bToken;
    const char* host;
    const char* origin;
    int status;
    const char* allow;  // with 405
    const char* error;  // the JSON error; nullptr: not JSON
};

const std::string kOwnHost = "127.0.0.1:" + std::to_string(kWebPort);

// Slot 1's box is silent, slot 2's is idle; the station has a token.
TEST_F(StationRules, TheWebApiRoutesOnTheStationsRules) {
    MakeStation();
    AddBox(kSilentBox);
    AddBox(kBox);
    WebSettings web;
    web.token = kToken;
    web.stationName = "line-1";
    web.image = m_settings.image;
    WebApi api = MakeApi(web);
    api.OwnPlaceSet(kWebPort, "stationhost");
    const auto ask = [&](const char* method, const std::string& target, bool bToken, const std::string& host = kOwnHost,
                         const std::string& origin = "", const std::string& cookie = "") {
        WebRequest request;
        request.method = method;
        request.target = target;
        request.host = host;
        request.origin = origin;
        request.authorization = bToken ? std::string("Bearer ") + kToken : "";
        request.cookie = cookie;
        return api.Answer(request);
    };
    const auto check = [&](const RouteCase& c) {
        SCOPED_TRACE(c.name);
        const WebAnswer answer = ask(c.method, c.target, c.bToken, *c.host ? c.host : kOwnHost, c.origin);
        EXPECT_EQ(answer.status, c.status) << answer.body;
        EXPECT_EQ(answer.allow, c.allow);
        if (c.error != nullptr) {
            EXPECT_EQ(nlohmann::json::parse(answer.body)["error"], std::string(c.error));
        }
        return answer;
    };

    const RouteCase kRoutes[] = {
        {"UnknownPath", "GET", "/api/nothing", true, "", "", 404, "", "no such path: /api/nothing"},
        {"NoUnitStore", "GET", "/api/units/SN-1", true, "", "", 404, "", "this station keeps no unit store"},
        {"UnitsAreReadOnly", "POST", "/api/units/SN-1", true, "", "", 405, "GET", "method not allowed; use GET"},
        {"UnknownSlotAction", "POST", "/api/slots/1/reboot", true, "", "", 404, "",
         "no such path: /api/slots/1/reboot"},
        {"StationIsReadOnly", "POST", "/api/station", true, "", "", 405, "GET", "method not allowed; use GET"},
        {"StartIsPostOnly", "GET", "/api/slots/1/start", true, "", "", 405, "POST", "method not allowed; use POST"},
        {"NoSuchSlot", "POST", "/api/slots/9/start", true, "", "", 404, "", "no slot 9"},
        {"StopOfAnIdleSlot", "POST", "/api/slots/2/stop", true, "", "", 409, "", "slot 2 is not running"},
        {"ApiWithoutToken", "GET", "/api/station", false, "", "", 401, "", nullptr},
        {"StartWithoutToken", "POST", "/api/slots/2/start", false, "", "", 401, "", nullptr},
        {"PageWithoutToken", "GET", "/", false, "", "", 401, "", nullptr},
        {"WrongTokenLanding", "GET", "/?token=wrong", false, "", "", 401, "", "wrong token"},
        {"ForeignHost", "GET", "/api/station", true, "evil.example:8080", "", 403, "", nullptr},
        {"OtherPort", "GET", "/api/station", true, "127.0.0.1:9090", "", 403, "", nullptr},
        {"LocalhostNamesLoopback", "GET", "/api/station", true, "localhost:8080", "", 200, "", nullptr},
        {"ForeignOrigin", "POST", "/api/slots/2/start", true, "", "http://evil.example:8080", 403, "",
         "requests from another origin are refused"},
        {"OwnOrigin", "POST", "/api/slots/2/stop", true, "", "http://127.0.0.1:8080", 409, "",
         "slot 2 is not running"},
    };
    for (const RouteCase& c : kRoutes) {
        check(c);
    }
    EXPECT_EQ(m_pStation->Snapshot(2).run, 0u) << "a refused request started a slot";

    // The landing trades the token for a cookie that holds none of it.
    const WebAnswer landing = ask("GET", std::string("/?token=") + kToken, false);
    EXPECT_EQ(landing.status, 303);
    EXPECT_EQ(landing.location, "/");
    EXPECT_EQ(landing.setCookie.rfind("kelvora_8080=", 0), 0u) << landing.setCookie;
    EXPECT_EQ(landing.setCookie.find(kToken), std::string::npos);
    const WebAnswer state =
        ask("GET", "/api/station", false, kOwnHost, "", landing.setCookie.substr(0, landing.setCookie.find(';')));
    ASSERT_EQ(state.status, 200);

    const nlohmann::json station = nlohmann::json::parse(state.body);
    EXPECT_EQ(station["name"], "line-1");
    EXPECT_EQ(station["mode"], "station");
    EXPECT_EQ(station["image"]["sha256"], m_settings.image.sha256);
    EXPECT_EQ(station["image"]["bytes"], kImageBytes);
    for (const char* key : {"completed", "failed", "running", "yield", "boxes_per_hour"}) {
        EXPECT_TRUE(station["totals"].contains(key)) << key;
    }
    EXPECT_TRUE(station["target"].is_null());
    ASSERT_EQ(station["slots"].size(), 2u);
    for (const char* key : {"slot", "key", "port", "state", "phase", "status", "sent", "total", "end", "message",
                            "run", "completed", "failed", "rate", "seconds_left", "adapter"}) {
        EXPECT_TRUE(station["slots"][0].contains(key)) << key;
    }
    EXPECT_EQ(station["slots"][1]["port"], m_boxes[1]->PtyPath());
    EXPECT_EQ(station["slots"][1]["state"], "ready");

    // Starts and stops answer as the station's rules say.
    const WebAnswer started = check({"Start", "POST", "/api/slots/1/start", true, "", "", 202, "", nullptr});
    EXPECT_EQ(nlohmann::json::parse(started.body), (nlohmann::json{{"slot", 1}, {"run", 1}}));
    check({"StartAgain", "POST", "/api/slots/1/start", true, "", "", 409, "", "slot 1 is running; not started again"});
    check({"Stop", "POST", "/api/slots/1/stop", true, "", "", 202, "", nullptr});
    WaitIdle();
    EXPECT_EQ(m_pStation->Snapshot(1).phase, SlotPhase::Cancelled);
    m_pStation->Close();
    check({"StartOnceClosed", "POST", "/api/slots/2/start", true, "", "", 409, "",
           "the station is quitting: no new starts"});
}

}  // namespace
