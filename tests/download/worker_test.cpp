// Whole downloads: the worker through the real serial link against the box
// emulator on a pseudo-terminal, one case per way a run can end.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "download/download.h"
#include "tests/emulator/emulator_process.h"
#include "tests/support/recording_front_end.h"

namespace {

namespace fs = std::filesystem;

struct WorkerCase {
    const char* name;
    std::vector<std::string> emulatorOptions;
    std::size_t imageSize;
    RunEnd end;
    std::vector<const char*> messages;
    const char* finalStatus;  // alternatives separated by '|' where timing decides
    bool bDisablesDownload;   // passed the restart prompt
    const char* verdict;      // the emulator's summary verdict; nullptr: not checked
    const char* cancelAt = nullptr;  // the operator stops the run once this status shows
};

const WorkerCase kCases[] = {
    {"CompletedAfterBurning", {}, 70000, RunEnd::Completed, {kMsgPowerOff, kMsgRestart, kMsgCompleted},
     "Please wait ! Burning image", true, "completed"},
    {"CompletedWithoutBurning", {"--burn-repeats", "0"}, 3000, RunEnd::Completed,
     {kMsgPowerOff, kMsgRestart, kMsgCompleted}, "Please wait ! Checking image.", true, "completed"},
    {"EmptyImageCompletes", {}, 0, RunEnd::Completed, {kMsgPowerOff, kMsgRestart, kMsgCompleted},
     "Please wait ! Burning image", true, "completed"},
    {"Refused", {"--refuse"}, 5000, RunEnd::ImageRefused, {kMsgPowerOff, kMsgRestart, kMsgRefused},
     "Update Failure !!!", true, "refused"},
    {"RefusedAfterBurning", {"--refuse-after-burn", "--burn-repeats", "3"}, 5000, RunEnd::ImageRefused,
     {kMsgPowerOff, kMsgRestart, kMsgRefused}, "Update Failure !!!", true, "refused"},
    {"NoMenuIsError1", {"--no-menu"}, 2048, RunEnd::SyncTimeOut, {kMsgPowerOff, kMsgRestart, kMsgError1},
     "Check Sync bytes", true, nullptr},
    {"NoStartIsError2", {"--no-c"}, 2048, RunEnd::StartTimeOut, {kMsgPowerOff, kMsgRestart, kMsgError2},
     "Waiting start", true, nullptr},
    {"NakIsError31", {"--nak-block", "2"}, 4096, RunEnd::BlockRefused, {kMsgPowerOff, kMsgRestart, kMsgError31},
     "2048 / 4096", true, "cancelled"},
    {"SilenceIsError3", {"--silent-block", "2"}, 4096, RunEnd::BlockNoAnswer,
     {kMsgPowerOff, kMsgRestart, kMsgError3}, "2048 / 4096", true, "cancelled"},
    {"NoVerdictIsError4", {"--no-verdict", "--sessions", "0"}, 1024, RunEnd::VerdictTimeOut, {kMsgPowerOff, kMsgRestart, kMsgError4},
     "Please wait ! Checking image.", true, nullptr},
    {"HangUpMidTransfer", {"--hangup-after-block", "3"}, 10240, RunEnd::PortGone,
     {kMsgPowerOff, kMsgRestart, kMsgOpenPort}, "3072 / 10240|4096 / 10240", true, "hangup"},
    {"StopWhileTheBoxDecidesIsVerdictUnknown", {"--verdict-delay", "10000"}, 3000, RunEnd::VerdictUnknown,
     {kMsgPowerOff, kMsgRestart, kMsgVerdictUnknown}, "Please wait ! Checking image.", true, nullptr,
     "Please wait ! Checking image."},
};

void PrintTo(const WorkerCase& c, std::ostream* pOut) {
    *pOut << c.name;
}

bool StatusMatches(const std::string& status, const std::string& alternatives) {
    std::size_t from = 0;
    for (;;) {
        std::size_t bar = alternatives.find('|', from);
        if (alternatives.substr(from, bar - from) == status) {
            return true;
        }
        if (bar == std::string::npos) {
            return false;
        }
        from = bar + 1;
    }
}

std::vector<unsigned char> RandomImage(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    std::mt19937 random(static_cast<unsigned>(size) + 99);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

fs::path TempPath(const std::string& name) {
    return fs::temp_directory_path() / ("kelvora-worker-" + std::to_string(getpid()) + "-" + name);
}

// The front end's port, opened and closed the way the front ends do.
class FrontPort {
public:
    FrontPort(RecordingFrontEnd& front, const std::string& path) : m_front(front) {
        g_bStopThread = 0;
        m_front.bPortOpen = SerialOpen(&m_front.hComm, path.c_str()) == 0;
    }
    ~FrontPort() { Close(); }
    void Close() {
        if (m_front.bPortOpen) {
            g_bStopThread = 1;
            SerialClose(m_front.hComm);
            m_front.bPortOpen = false;
        }
    }

private:
    RecordingFrontEnd& m_front;
};

class WorkerRun : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(WorkerRun, EndsAsTheBoxDecides) {
    const WorkerCase& c = GetParam();
    auto image = RandomImage(c.imageSize);
    fs::path imagePath = TempPath("image.ssu");
    fs::path savePath = TempPath("saved.bin");
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    std::vector<std::string> options = c.emulatorOptions;
    options.insert(options.end(), {"--save", savePath.string()});
    Emulator emulator(options);
    ASSERT_FALSE(emulator.PtyPath().empty());

    RecordingFrontEnd front;
    front.imagePath = imagePath.string();
    FrontPort port(front, emulator.PtyPath());
    ASSERT_TRUE(front.bPortOpen);
    std::uint64_t obtained = ImageBuffer::ObtainedCount();
    std::uint64_t released = ImageBuffer::ReleasedCount();

    ASSERT_TRUE(front.TryBeginRun());
    std::atomic<bool> bRunEnded{false};
    std::thread operatorStops([&] {
        while (c.cancelAt != nullptr && !bRunEnded && front.Status() != c.cancelAt) {
            std::this_thread::sleep_for(1ms);
        }
        front.cancel = c.cancelAt != nullptr;
    });
    RunEnd end = DownloadRun(front);
    bRunEnded = true;
    operatorStops.join();
    EXPECT_FALSE(front.RunActive());
    EXPECT_EQ(static_cast<int>(end), static_cast<int>(c.end));
    EXPECT_EQ(DownloadExitCode(end), c.end == RunEnd::Completed || c.end == RunEnd::ImageRefused ? 0u : 1u);
    EXPECT_EQ(front.Events("msg:"), std::vector<std::string>(c.messages.begin(), c.messages.end()));
    EXPECT_TRUE(StatusMatches(front.Status(), c.finalStatus)) << front.Status();
    EXPECT_EQ(ImageBuffer::ObtainedCount() - obtained, 1u);
    EXPECT_EQ(ImageBuffer::ReleasedCount() - released, 1u);
    EXPECT_EQ(front.Events("download:"), c.bDisablesDownload ? (std::vector<std::string>{"off", "on"})
                                                              : std::vector<std::string>{});
    // The button is disabled only once the restart prompt has been answered,
    // and enabled again only after the final message.
    auto events = front.Events();
    auto off = std::find(events.begin(), events.end(), "download:off");
    ASSERT_NE(off, events.end());
    EXPECT_EQ(*(off - 2), "msg:" + std::string(kMsgRestart));
    EXPECT_EQ(events.back(), "download:on");
    EXPECT_EQ(*(events.end() - 3), "msg:" + std::string(c.messages.back()));
    // The verdicts show while the image is still held; every other end
    // releases it first. The prompts: none yet, then the loaded image.
    const bool bVerdict = c.end == RunEnd::Completed || c.end == RunEnd::ImageRefused;
    EXPECT_EQ(front.Events("held:"), (std::vector<std::string>{"no", "yes", bVerdict ? "yes" : "no"}));

    port.Close();
    if (c.verdict != nullptr) {
        std::string summary = emulator.Finish();
        EXPECT_NE(summary.find(std::string("verdict=") + c.verdict), std::string::npos) << summary;
    } else {
        emulator.Process().Signal(SIGTERM);
        emulator.Finish();
    }
    if (c.end == RunEnd::Completed || c.end == RunEnd::ImageRefused) {
        // What the box received: the image, then 0xFF up to the block edge.
        std::ifstream saved(savePath, std::ios::binary);
        std::vector<unsigned char> got((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
        std::vector<unsigned char> expected = image;
        expected.resize((image.size() + 1023) / 1024 * 1024, 0xFF);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected) << "the box received other bytes";
    }
    fs::remove(imagePath);
    fs::remove(savePath);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, WorkerRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WorkerCase>& info) { return info.param.name; });

// Ends that come before the box is involved.
TEST(WorkerEarlyEnds, PortNotOpenChooserCancelledAndNoMemory) {
    {
        RecordingFrontEnd front;
        front.bPortOpen = false;
        ASSERT_TRUE(front.TryBeginRun());
        EXPECT_EQ(DownloadRun(front), RunEnd::PortNotOpen);
        EXPECT_EQ(front.Events(), (std::vector<std::string>{"msg:" + std::string(kMsgOpenPort), "held:no"}));
        EXPECT_EQ(DownloadExitCode(RunEnd::PortNotOpen), 1u);
    }
    Emulator emulator({});
    RecordingFrontEnd front;
    FrontPort port(front, emulator.PtyPath());
    ASSERT_TRUE(front.bPortOpen);
    {
        front.SetStatus("earlier text");
        ASSERT_TRUE(front.TryBeginRun());
        EXPECT_EQ(DownloadRun(front), RunEnd::ChooserCancelled);
        EXPECT_EQ(DownloadExitCode(RunEnd::ChooserCancelled), 0u);
        EXPECT_EQ(front.Events(), (std::vector<std::string>{"status:earlier text", "range:0-10", "pos:0",
                                                            "msg:" + std::string(kMsgPowerOff), "held:no", "choose"}));
    }
    {
        RecordingFrontEnd other;
        other.bPortOpen = true;
        other.hComm = front.hComm;
        other.imagePath = "/no/such/image.ssu";
        ASSERT_TRUE(other.TryBeginRun());
        EXPECT_EQ(DownloadRun(other), RunEnd::NotOpened);
        EXPECT_EQ(other.Events("msg:"), std::vector<std::string>{kMsgPowerOff});
        EXPECT_TRUE(other.Events("download:").empty());
    }
    {
        RecordingFrontEnd other;
        other.hComm = front.hComm;
        fs::path imagePath = TempPath("nomem.ssu");
        std::ofstream(imagePath) << "image";
        other.imagePath = imagePath.string();
        ImageBuffer::FailAllocationsForTest(true);
        ASSERT_TRUE(other.TryBeginRun());
        EXPECT_EQ(DownloadRun(other), RunEnd::NoBuffer);
        ImageBuffer::FailAllocationsForTest(false);
        fs::remove(imagePath);
        EXPECT_EQ(other.Events("msg:"), (std::vector<std::string>{kMsgPowerOff, kMsgMallocError}));
        EXPECT_TRUE(other.Events("download:").empty());
    }
}

TEST(WorkerEarlyEnds, OnlyOneRunAtATime) {
    RecordingFrontEnd front;
    ASSERT_TRUE(front.TryBeginRun());
    EXPECT_FALSE(front.TryBeginRun()) << "a second worker would share the ring";
    front.EndRun();
    EXPECT_TRUE(front.TryBeginRun());
}

// The operator closes the port while blocks are on a paced line: the run
// ends at once without writing through the closed port.
TEST(WorkerPortLoss, PortClosedMidTransfer) {
    fs::path imagePath = TempPath("closed.ssu");
    std::ofstream(imagePath, std::ios::binary) << std::string(64 * 1024, 'k');
    Emulator emulator({"--baud", "115200"});
    RecordingFrontEnd front;
    front.imagePath = imagePath.string();
    FrontPort port(front, emulator.PtyPath());
    ASSERT_TRUE(front.bPortOpen);
    std::uint64_t released = ImageBuffer::ReleasedCount();

    ASSERT_TRUE(front.TryBeginRun());
    std::thread worker([&] { EXPECT_EQ(DownloadRun(front), RunEnd::PortGone); });
    auto until = std::chrono::steady_clock::now() + 30s;
    while (front.Status() != "3072 / 65536" && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1ms);
    }
    port.Close();
    worker.join();
    fs::remove(imagePath);
    EXPECT_EQ(front.Events("msg:"), (std::vector<std::string>{kMsgPowerOff, kMsgRestart, kMsgOpenPort}));
    EXPECT_EQ(ImageBuffer::ReleasedCount() - released, 1u);
    EXPECT_TRUE(front.DownloadEnabled());
    std::string summary = emulator.Finish(3s);
    emulator.Process().Signal(SIGTERM);
    std::string rest = summary.empty() ? emulator.Finish() : summary;
    // Three or four blocks reached the box, never the whole image.
    EXPECT_EQ(rest.find("blocks=64"), std::string::npos) << rest;
}

}  // namespace
