// What the download worker needs from whoever drives it: the Windows dialog,
// the command line, a test. The worker includes no window or terminal header;
// each front end implements this interface with its own means.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "serial/serial_port.h"

struct LoadedImage;

// The stages of a run that reach the box, in order.
enum class RunStage { Sync, Start, Transfer, Verdict };

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // Is the port open? Read once, when a run starts.
    virtual bool PortOpen() = 0;
    // The open port's handle, read at every write.
    virtual PortHandle PortHandleNow() = 0;
    // Shows a message with one OK button and returns when it is dismissed.
    virtual void ShowMessage(const char* pText) = 0;
    // Replaces the whole status text.
    virtual void SetStatus(const char* pText) = 0;
    virtual void SetProgressRange(int low, int high) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual void EnableDownload(bool bEnable) = 0;
    // Asks for the image file: true with the path, false when cancelled.
    virtual bool ChooseImage(std::string& path) = 0;
    // Polled by the worker while it waits on the box: true ends the run at
    // once (during a transfer the cancel frame goes out first). Front ends
    // without a way to cancel keep the default.
    virtual bool CancelRequested() { return false; }

    // The link the run talks through, taken once when the run starts: the
    // default link unless the front end drives a port of its own.
    virtual SerialLink& Link() { return SerialDefaultLink(); }
    // An image already read, shared by several runs: the run takes its share
    // instead of reading the chosen file. None by default.
    virtual std::shared_ptr<const LoadedImage> SharedImage() { return nullptr; }
    // Told as the run enters each stage, and each time the box acknowledges
    // a data block (blocks: acknowledged so far), for records and timings.
    virtual void StageBegins(RunStage) {}
    virtual void BlockAcknowledged(unsigned) {}
    // Told of every console byte a watch takes from the box (not the
    // transfer's answers), on the run's thread, as it is taken.
    virtual void ConsoleByte(unsigned char) {}
    // Told after each data block is written: the bytes handed to the port so
    // far and the transfer's length. Shown as the status "sent / total"
    // unless a front end keeps the figures itself.
    virtual void BytesSent(unsigned sent, unsigned total);
    // Told each time the loader says it is writing the image into flash.
    virtual void Burning() {}

    // At most one run per front end. A front end calls TryBeginRun before it
    // starts a worker and starts none when it gives false; the worker calls
    // EndRun as the last thing it does with the front end.
    bool TryBeginRun() {
        bool expected = false;
        return m_bRunActive.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
    }
    void EndRun() { m_bRunActive.store(false, std::memory_order_release); }
    bool RunActive() const { return m_bRunActive.load(std::memory_order_acquire); }

private:
    std::atomic<bool> m_bRunActive{false};
};
