// The download worker: one whole download from the port check to the
// loader's verdict.
#include "download/download.h"

const char kMsgOpenPort[] = "Open COM Port !!!";
const char kMsgPowerOff[] = "Power off STB !!!";
const char kMsgMallocError[] = "Malloc error !!!";
const char kMsgRestart[] = "First press OK, and restart STB !!!";
const char kMsgError1[] = "Error 1 !!!";
const char kMsgError2[] = "Error 2 !!!";
const char kMsgError31[] = "Error 31 !!!";
const char kMsgError3[] = "Error 3 !!!";
const char kMsgError4[] = "Error 4 !!!";
const char kMsgRefused[] = "Download Failure !!! \n\n SSU file incorrect !!!!";
const char kMsgCompleted[] =
    "Download Complted !!!\n\nPlease wait till STB rebooting automatically and don't power off..";
const char kMsgVerdictUnknown[] =
    "Stopped after the whole image was sent: the box may be writing flash. "
    "Do not switch it off until it has rebooted.";

namespace {

constexpr unsigned kMenuAnswerDelayMs = 100;
constexpr unsigned char kMenuAnswer = 0x31;  // "1": the loader's upgrade entry

// How each end closes a run. The buffer is released before the message on
// time-outs and lost ports, after it on the two verdicts (the operator reads
// the verdict while the image is still held); Download is enabled last, and
// only on ends that come after it was disabled.
struct Closing {
    RunEnd end;
    const char* pMessage;  // nullptr: no message
    bool bReleaseAfterMessage;
    bool bEnableDownload;
};

constexpr Closing kClosings[] = {
    {RunEnd::PortNotOpen, kMsgOpenPort, false, false},
    {RunEnd::ChooserCancelled, nullptr, false, false},
    {RunEnd::NotOpened, nullptr, false, false},
    {RunEnd::NoBuffer, kMsgMallocError, false, false},
    {RunEnd::SyncTimeOut, kMsgError1, false, true},
    {RunEnd::StartTimeOut, kMsgError2, false, true},
    {RunEnd::BlockRefused, kMsgError31, false, true},
    {RunEnd::BlockNoAnswer, kMsgError3, false, true},
    {RunEnd::VerdictTimeOut, kMsgError4, false, true},
    {RunEnd::ImageRefused, kMsgRefused, true, true},
    {RunEnd::Completed, kMsgCompleted, true, true},
    {RunEnd::PortGone, kMsgOpenPort, false, true},
    {RunEnd::Cancelled, nullptr, false, true},
    {RunEnd::VerdictUnknown, kMsgVerdictUnknown, false, true},
    {RunEnd::AlreadyFlashed, nullptr, false, true},
    {RunEnd::PowerFailed, nullptr, false, true},
};

const Closing& ClosingFor(RunEnd end) {
    for (const Closing& closing : kClosings) {
        if (closing.end == end) {
            return closing;
        }
    }
    return kClosings[0];
}

void ShowBurning(FrontEnd& front) {
    front.Burning();
    front.SetStatus("Please wait ! Burning image");
}

RunEnd EndOfWatch(WatchResult result, RunEnd onTimeOut) {
    switch (result) {
    case WatchResult::TimeOut:
        return onTimeOut;
    case WatchResult::PortGone:
        return RunEnd::PortGone;
    case WatchResult::Cancelled:
        return RunEnd::Cancelled;
    default:
        return onTimeOut;
    }
}

// The run's stages in order; each either moves on or gives the end.
RunEnd RunStages(FrontEnd& front, ImageBuffer& buffer) {
    // Port check.
    if (!front.PortOpen()) {
        return RunEnd::PortNotOpen;
    }
    SerialLink& serial = front.Link();
    const LinkContext link{front, serial, front.PortHandleNow(), serial.Generation()};

    // Choose image.
    front.SetProgressRange(0, 10);
    front.SetProgressPos(0);
    front.ShowMessage(kMsgPowerOff);
    link.Ring().Reset();
    std::string path;
    if (!front.ChooseImage(path)) {
        return RunEnd::ChooserCancelled;
    }

    // Load image, or take a share of the one read for the whole batch.
    std::uint32_t length = 0;
    if (std::shared_ptr<const LoadedImage> pShared = front.SharedImage()) {
        length = static_cast<std::uint32_t>(pShared->bytes.size());
        buffer.Share(std::move(pShared));
        front.SetStatus("start");
    } else {
        switch (ImageLoad(path.c_str(), buffer, &length, front)) {
        case LoadResult::NotOpened:
            return RunEnd::NotOpened;
        case LoadResult::NoBuffer:
            return RunEnd::NoBuffer;
        case LoadResult::Loaded:
            break;
        }
    }

    // Restart prompt.
    front.ShowMessage(kMsgRestart);
    front.EnableDownload(false);

    // Sync: a space at every poll until the loader's menu shows.
    ConsoleWindow window;
    front.StageBegins(RunStage::Sync);
    front.SetStatus("Check Sync bytes");
    WatchResult watched = WatchConsole(WatchUse::Sync, window, link, ShowBurning);
    if (watched != WatchResult::Menu) {
        return EndOfWatch(watched, RunEnd::SyncTimeOut);
    }

    // Waiting start: answer the menu, wait for the receiver's "C"s.
    front.StageBegins(RunStage::Start);
    // A front end that has learned from the console that this box must not
    // be flashed cancels here, before the menu is answered.
    if (front.CancelRequested()) {
        return RunEnd::Cancelled;
    }
    front.SetStatus("Waiting start");
    SerialSleep(kMenuAnswerDelayMs);
    link.Ring().Reset();
    if (!link.Write(&kMenuAnswer, 1)) {
        return RunEnd::PortGone;
    }
    watched = WatchConsole(WatchUse::Start, window, link, ShowBurning);
    if (watched != WatchResult::Start) {
        return EndOfWatch(watched, RunEnd::StartTimeOut);
    }

    // Transfer.
    front.StageBegins(RunStage::Transfer);
    switch (ImageSend(buffer, length, link)) {
    case SendResult::Refused:
        return RunEnd::BlockRefused;
    case SendResult::NoAnswer:
        return RunEnd::BlockNoAnswer;
    case SendResult::PortGone:
        return RunEnd::PortGone;
    case SendResult::Cancelled:
        return RunEnd::Cancelled;
    case SendResult::Completed:
        break;
    }

    // Checking, and Burning each time the loader says it burns.
    front.StageBegins(RunStage::Verdict);
    front.SetStatus("Please wait ! Checking image.");
    watched = WatchConsole(WatchUse::Verdict, window, link, ShowBurning);
    switch (watched) {
    case WatchResult::Refusal:
        front.SetStatus("Update Failure !!!");
        return RunEnd::ImageRefused;
    case WatchResult::Completion:
        return RunEnd::Completed;
    case WatchResult::Cancelled:
        // The box has the whole image and may be writing it into flash.
        return RunEnd::VerdictUnknown;
    default:
        return EndOfWatch(watched, RunEnd::VerdictTimeOut);
    }
}

}  // namespace

RunEnd DownloadRun(FrontEnd& front) {
    ImageBuffer buffer;
    const RunEnd end = RunStages(front, buffer);
    const Closing& closing = ClosingFor(end);
    if (!closing.bReleaseAfterMessage) {
        buffer.Release();
    }
    if (closing.pMessage != nullptr) {
        front.ShowMessage(closing.pMessage);
    }
    buffer.Release();
    if (closing.bEnableDownload) {
        front.EnableDownload(true);
    }
    front.EndRun();
    return end;
}

unsigned DownloadExitCode(RunEnd end) {
    switch (end) {
    case RunEnd::ChooserCancelled:
    case RunEnd::ImageRefused:
    case RunEnd::Completed:
        return 0;
    default:
        return 1;
    }
}

unsigned DownloadThread(FrontEnd& front) {
    return DownloadExitCode(DownloadRun(front));
}
