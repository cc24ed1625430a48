#include "cli/console_front_end.h"

#include <cstdio>
#include <cstring>

#include "cli/terminal.h"
#include "download/download.h"

namespace {

// The two prompts that ask the operator to act on the box before the run
// goes on; every other message only reports.
bool AsksForAction(const char* pText) {
    return std::strcmp(pText, kMsgPowerOff) == 0 || std::strcmp(pText, kMsgRestart) == 0;
}

}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(ConsoleSettings settings)
    : m_settings(std::move(settings)), m_progress(m_settings.bProgressBar) {}

void ConsoleFrontEnd::PrintLine(const char* pText) {
    std::string text;
    if (m_progress.BarOpen()) {
        text = "\n";
        m_progress.Close();
    }
    text += pText;
    text += "\n";
    m_settings.pOut->Post(std::move(text));
}

void ConsoleFrontEnd::Say(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_outMutex);
    PrintLine(line.c_str());
}

void ConsoleFrontEnd::ShowMessage(const char* pText) {
    if (!AsksForAction(pText)) {
        facts.Message(pText);
    }
    {
        std::lock_guard<std::mutex> lock(m_outMutex);
        PrintLine(pText);
        if (!m_settings.bWaitForEnter || !AsksForAction(pText)) {
            return;
        }
        m_settings.pOut->Post("Press Enter when done (Ctrl-C stops). ");
    }
    if (WaitForEnter([this] { return CancelRequested(); }) == EnterWait::Stopped) {
        // The prompt's line is still open after the "^C" the terminal echoed.
        Say("");
    }
}

void ConsoleFrontEnd::SetStatus(const char* pText) {
    if (m_settings.bQuiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_outMutex);
    PrintLine(pText);
}

void ConsoleFrontEnd::BytesSent(unsigned sent, unsigned total) {
    if (m_settings.bQuiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_outMutex);
    const std::string text = m_progress.Update(sent, total, ProgressReport::Clock::now());
    if (!text.empty()) {
        m_settings.pOut->Post(text);
    }
}

bool ConsoleFrontEnd::ChooseImage(std::string& path) {
    // A Ctrl-C at the power-off prompt ends the run here, before the image
    // is loaded.
    if (CancelRequested()) {
        return false;
    }
    path = m_settings.image;
    return true;
}

bool ConsoleFrontEnd::CancelRequested() {
    return m_settings.pCancel != nullptr && m_settings.pCancel();
}
