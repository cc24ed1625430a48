// A front end that records what the worker shows, in order, and answers
// its questions from the test's script. Thread-safe: the worker runs on its
// own thread while the test reads the record.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "download/download.h"

class RecordingFrontEnd : public FrontEnd {
public:
    // The port as the front end holds it.
    bool bPortOpen = true;
    PortHandle hComm = kInvalidPort;
    // The chooser's answer: a path, or cancelled when empty.
    std::string imagePath;
    // Raised by the test to make the run stop.
    std::atomic<bool> cancel{false};

    bool PortOpen() override { return bPortOpen; }
    PortHandle PortHandleNow() override { return hComm; }
    // Each message also notes whether the run's image buffer was held as it
    // showed (one run at a time: the buffer counters tell).
    void ShowMessage(const char* pText) override {
        const bool bHeld = ImageBuffer::ObtainedCount() != ImageBuffer::ReleasedCount();
        Record("msg:" + std::string(pText));
        Record(bHeld ? "held:yes" : "held:no");
    }
    void SetStatus(const char* pText) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back("status:" + std::string(pText));
        m_status = pText;
    }
    void SetProgressRange(int low, int high) override {
        Record("range:" + std::to_string(low) + "-" + std::to_string(high));
    }
    void SetProgressPos(int pos) override { Record("pos:" + std::to_string(pos)); }
    void EnableDownload(bool bEnable) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(bEnable ? "download:on" : "download:off");
        m_bDownloadEnabled = bEnable;
    }
    bool ChooseImage(std::string& path) override {
        Record("choose");
        if (imagePath.empty()) {
            return false;
        }
        path = imagePath;
        return true;
    }
    bool CancelRequested() override { return cancel.load(); }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    // The events that start with a prefix, prefix removed.
    std::vector<std::string> Events(const std::string& prefix) {
        std::vector<std::string> picked;
        for (const std::string& event : Events()) {
            if (event.rfind(prefix, 0) == 0) {
                picked.push_back(event.substr(prefix.size()));
            }
        }
        return picked;
    }
    std::string Status() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_status;
    }
    bool DownloadEnabled() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bDownloadEnabled;
    }

private:
    void Record(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
    }

    std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::string m_status;
    bool m_bDownloadEnabled = true;
};
