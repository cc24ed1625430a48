#include "emulator/loader.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include <poll.h>

namespace {

using std::chrono::milliseconds;

// A transfer that has begun is given up after this much time without a frame:
// longer than the 10 s a plain XMODEM sender waits before it sends again.
constexpr auto kTransferSilence = milliseconds(15000);
// After the last session the verdict is given this long to be read...
constexpr auto kExitGrace = milliseconds(200);
// ...and at most this much more while the client is still reading.
constexpr auto kExitDrainLimit = milliseconds(1000);
// How long a hang-up waits for the client to read the last answer.
constexpr auto kHangupDrainLimit = milliseconds(1000);
// While waiting for the client to drain, look again this often.
constexpr auto kDrainPoll = milliseconds(10);
// The kernel moves written bytes to the client's side a little later, so a
// count of unread bytes taken at once can still read zero.
constexpr auto kDrainSettle = milliseconds(50);

// A busy box prints while it makes the host wait: one line this often.
constexpr auto kChatterInterval = milliseconds(100);
// The power input is looked at this often.
constexpr auto kPowerPoll = milliseconds(5);

constexpr std::string_view kMenuLine = "1.  Upgrade Application with SSU";
constexpr std::string_view kBurnCallLine = "_burn_SSU_image: call this function!\r\n";
constexpr std::string_view kBurnStartLine = "_burn_SSU_image:Start to write flash...\r\n";
constexpr std::string_view kRefusalLine = "Image_parseSSU: software isn't match!\r\n";
constexpr std::string_view kBootLines = "\r\nBooting application...\r\nJumping to 0x80008000\r\n";
constexpr std::string_view kPanicLine = "Kernel panic - not syncing: VFS: Unable to mount root fs";

// The banner and menu avoid a capital C: a plain XMODEM sender takes any C
// as the receiver's request to start.
constexpr std::string_view kBanner =
    "\r\n"
    "Kelvora HD boot loader 2.07 (build 2019-03-12 10:22)\r\n"
    "Board: KV-3100 rev B, 256 MiB DRAM, 16 MiB serial flash\r\n"
    "Loader checksum ok, application image at 0x00040000\r\n";

// The menu, headed by the board's serial number when it has one.
std::string MenuText(const std::string& serial)
{
    std::string text = "\r\n*** Kelvora HD boot loader menu ***\r\n";
    if (!serial.empty()) {
        text += "Board serial: " + serial + "\r\n";
    }
    text += "0.  Boot Application\r\n";
    text += kMenuLine;
    text += "\r\n";
    text += "2.  Show Board Information\r\n";
    text += "3.  Erase User Settings\r\n";
    text += "Select: ";
    return text;
}

// Start-up chatter of a busy box: printable lines, exactly `count` bytes.
std::string SpamText(std::uint64_t count)
{
    std::string text;
    text.reserve(count);
    unsigned index = 0;
    char line[96];
    while (text.size() < count) {
        const int length = std::snprintf(line, sizeof line, "[%5u.%06u] drv: probe unit %u at 0x%08x ok\r\n",
                                         index / 1000, (index * 7919u) % 1000000u, index, 0x10000000u + index * 0x100u);
        text.append(line, static_cast<std::size_t>(length));
        ++index;
    }
    text.resize(count);
    if (count >= 2) {
        text[count - 2] = '\r';
        text[count - 1] = '\n';
    }
    return text;
}

// One line of that chatter, 50 bytes with its line end; numbered so that a
// reader can count them. No capital C and no marker: a host must skip it.
std::string ChatterLine(unsigned number)
{
    char line[64];
    std::snprintf(line, sizeof line, "frontend: tuner 0 scan %06u, no lock, retrying\r\n", number % 1000000u);
    return line;
}

}  // namespace

const char* VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::NoTransfer: return "no-transfer";
    case Verdict::Completed: return "completed";
    case Verdict::Refused: return "refused";
    case Verdict::Cancelled: return "cancelled";
    case Verdict::NoVerdict: return "no-verdict";
    case Verdict::Hangup: return "hangup";
    }
    return "?";
}

std::string SummaryLine(const LoaderSummary& s)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "stb-emulator: sessions=%u blocks=%llu bytes=%llu crc_errors=%llu sync_bytes=%llu verdict=%s",
                  s.sessions, static_cast<unsigned long long>(s.blocks), static_cast<unsigned long long>(s.bytes),
                  static_cast<unsigned long long>(s.crcErrors), static_cast<unsigned long long>(s.syncBytes),
                  VerdictName(s.verdict));
    return text;
}

Loader::Loader(Line& line, const LoaderOptions& options, const PowerInput* pPower)
    : m_line(line), m_options(options), m_pPower(pPower)
{
}

void Loader::Log(const char* format, ...) const
{
    if (!m_options.verbose) {
        return;
    }
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - m_start).count();
    std::fprintf(stderr, "stb-emulator: %6lld ms: ", static_cast<long long>(elapsed));
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void Loader::Say(std::string_view text, Clock::time_point at)
{
    m_line.Send(text, at);
}

void Loader::Answer(std::uint8_t byte, Clock::time_point at)
{
    const std::uint8_t bytes[1] = {byte};
    m_line.Send(bytes, at);
}

void Loader::SayLate(std::string_view text, Clock::time_point at, milliseconds delay)
{
    if (m_options.chatter) {
        for (milliseconds after = kChatterInterval; after < delay; after += kChatterInterval) {
            Say(ChatterLine(++m_chatterLines), at + after);
        }
    }
    Say(text, at + delay);
}

bool Loader::SendingC() const
{
    if (m_frameBegun || m_options.noC) {
        return false;
    }
    if (m_phase == Phase::AwaitingFrame) {
        return true;
    }
    return m_options.plain && (m_phase == Phase::Autoboot || m_phase == Phase::Menu);
}

bool Loader::AcceptsFrames() const
{
    return m_phase == Phase::Autoboot || m_phase == Phase::Menu || m_phase == Phase::AwaitingFrame ||
           m_phase == Phase::Receiving;
}

void Loader::BeginSession()
{
    ++m_summary.sessions;
    if (!m_bSameUnit) {
        ++m_unitCount;
        m_bNewFirmware = false;
    }
    m_bSameUnit = false;
    m_receiver.Reset();
    m_image.clear();
    m_frameBegun = false;
}

std::string Loader::MenuOrPrompt() const
{
    if (m_options.noMenu) {
        return "\r\nAutoboot stopped.\r\nloader> ";
    }
    const std::vector<std::string>& units = m_options.units;
    return MenuText(units.empty() ? m_options.serial : units[std::min<std::size_t>(m_unitCount, units.size()) - 1]);
}

bool Loader::LastSession() const
{
    return m_options.sessions != 0 && m_summary.sessions >= m_options.sessions;
}

void Loader::PowerOn(Clock::time_point now)
{
    BeginSession();
    m_phase = Phase::Autoboot;
    Log("session %u: power on", m_summary.sessions);

    m_nextC = now;
    if (m_options.plain) {
        // A plain XMODEM receiver: no console text for the sender to mistake
        // for answers, and no autoboot while it waits for the sender.
        m_phaseDeadline = Clock::time_point::max();
        return;
    }
    std::string text(kBanner);
    text += SpamText(m_options.spamBytes);
    text += "Hit SPACE within " + std::to_string(m_options.autobootMs) + " ms to stop autoboot\r\n";
    Say(text, now);
    m_phaseDeadline = m_line.TransmitDoneAt(now) + milliseconds(m_options.autobootMs);
}

void Loader::OnTimers(Clock::time_point now)
{
    if (m_receiver.Waiting() != XmodemWait::None &&
        now - m_lastByteAt >= milliseconds(m_receiver.SilenceLimitMs())) {
        std::vector<XmodemEvent> events;
        m_receiver.Expire(events);
        OnEvents(events, now);
    }

    switch (m_phase) {
    case Phase::PowerOff:
        if (now >= m_phaseDeadline) {
            PowerOn(now);
        }
        break;
    case Phase::Flashing:
        if (now >= m_phaseDeadline) {
            OnFlashWritten(now);
        }
        break;
    case Phase::Autoboot:
        if (now >= m_phaseDeadline && m_bNewFirmware) {
            BootFirmware(now);
        } else if (now >= m_phaseDeadline) {
            Log("autoboot window passed without a space");
            Say("\r\nBooting application...\r\nJumping to 0x80008000\r\n", now);
            EndSession(Verdict::NoTransfer, now);
        }
        break;
    case Phase::Receiving:
        if (now >= m_phaseDeadline) {
            Log("no frame for %lld ms: transfer given up",
                static_cast<long long>(kTransferSilence.count()));
            Say("\r\nUpgrade failed: no data from host.\r\n", now);
            EndSession(Verdict::Cancelled, now);
        }
        break;
    case Phase::Ended:
        if (m_exitAfter && now >= *m_exitAfter &&
            ((m_line.QueueEmpty() && m_line.Unread() == 0) || now >= m_exitLimit)) {
            m_finished = true;
        }
        break;
    case Phase::Unpowered:
    case Phase::Firmware:
    case Phase::Menu:
    case Phase::AwaitingFrame:
        break;
    }

    if (SendingC() && m_nextC && now >= *m_nextC) {
        // On a real line a request nobody reads is lost; on a pseudo-terminal
        // it would wait in the queue, and a plain sender that starts late
        // takes each stale one as a NAK of its first block.
        if (m_line.QueueEmpty() && m_line.Unread() == 0) {
            Say("C", now);
        }
        *m_nextC += milliseconds(m_options.cIntervalMs);
        if (*m_nextC < now) {
            *m_nextC = now + milliseconds(m_options.cIntervalMs);
        }
    }
}

std::optional<Clock::time_point> Loader::NextDeadline() const
{
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next) {
            next = t;
        }
    };
    if (m_receiver.Waiting() != XmodemWait::None) {
        consider(m_lastByteAt + milliseconds(m_receiver.SilenceLimitMs()));
    }
    if (m_phase == Phase::PowerOff || m_phase == Phase::Autoboot || m_phase == Phase::Receiving ||
        m_phase == Phase::Flashing) {
        consider(m_phaseDeadline);
    }
    if (m_pPower) {
        consider(m_nextPowerPoll);
    }
    if (m_phase == Phase::Ended && m_exitAfter) {
        consider(std::max(*m_exitAfter, Clock::now() + kDrainPoll));
    }
    if (SendingC() && m_nextC) {
        consider(*m_nextC);
    }
    if (auto send = m_line.NextSendTime(Clock::now())) {
        consider(*send);
    }
    return next;
}

void Loader::OnBytes(const std::vector<std::uint8_t>& bytes, Clock::time_point now)
{
    std::vector<XmodemEvent> events;
    m_lastByteAt = now;
    for (std::uint8_t byte : bytes) {
        const Clock::time_point at = m_line.StampArrival(now);
        ++m_summary.bytes;
        if (!AcceptsFrames()) {
            // Powered off or finished: the byte is lost, as on a real box.
            if (m_phase == Phase::PowerOff && byte == ' ') {
                ++m_summary.syncBytes;
            }
            continue;
        }
        const bool wasIdle = m_receiver.Idle();
        events.clear();
        m_receiver.Feed(byte, events);
        if (!m_frameBegun && m_receiver.Waiting() == XmodemWait::FrameRest) {
            m_frameBegun = true;
            Log("a frame begins");
        }
        if (wasIdle && m_receiver.Idle() && events.empty()) {
            OnConsoleByte(byte, at);
        }
        OnEvents(events, at);
        if (m_finished) {
            return;
        }
    }
}

void Loader::OnConsoleByte(std::uint8_t byte, Clock::time_point at)
{
    if (byte == ' ' && m_phase != Phase::Receiving) {
        ++m_summary.syncBytes;
    }
    if (m_phase == Phase::Autoboot && byte == ' ') {
        Log("space: autoboot stopped");
        if (m_options.hangupAt == HangupPoint::Sync) {
            HangUp();
            return;
        }
        m_phase = Phase::Menu;
        Say(MenuOrPrompt(), at);
    } else if (m_phase == Phase::Menu && byte == ' ' && m_bMenuOnKey) {
        // Nobody may have read the menu it showed on its own: a key shows
        // it again, once.
        m_bMenuOnKey = false;
        Say(MenuOrPrompt(), at);
    } else if (m_phase == Phase::Menu && byte == '1' && !m_options.noMenu) {
        Log("menu answer 1: upgrade");
        m_phase = Phase::AwaitingFrame;
        Say("1\r\nUpgrade over the serial line: waiting for the SSU image...\r\n", at);
        m_nextC = at;
    }
}

void Loader::OnEvents(std::vector<XmodemEvent>& events, Clock::time_point at)
{
    for (XmodemEvent& event : events) {
        if (!AcceptsFrames()) {
            // Dropped: the session ended with an earlier event.
            m_receiver.Reset();
            return;
        }
        switch (event.kind) {
        case XmodemEventKind::Block:
            OnBlock(event, at);
            break;
        case XmodemEventKind::Repeat: {
            const std::uint64_t index = m_receiver.AcceptedBlocks();
            Log("block %llu repeated (number %u)", static_cast<unsigned long long>(index), event.number);
            m_phaseDeadline = at + kTransferSilence;
            if (m_options.silentBlocks.count(index) == 0) {
                Answer(xmodem::kAck, at);
            }
            break;
        }
        case XmodemEventKind::BadFrame:
            if (event.reason == BadFrameReason::Crc) {
                ++m_summary.crcErrors;
            }
            Log("bad frame (number %u): %s", event.number, BadFrameReasonName(event.reason));
            m_phaseDeadline = at + kTransferSilence;
            Answer(xmodem::kNak, at);
            break;
        case XmodemEventKind::Eot:
        case XmodemEventKind::Cancel:
            OnEnd(event, at);
            break;
        }
        if (m_finished) {
            return;
        }
    }
}

void Loader::OnBlock(XmodemEvent& event, Clock::time_point at)
{
    const std::uint64_t index = m_receiver.AcceptedBlocks();
    if (m_options.nakBlocks.count(index) != 0) {
        m_receiver.Reject();
        Log("block %llu: refused on purpose", static_cast<unsigned long long>(index));
        Answer(xmodem::kNak, at);
        return;
    }
    if (m_options.silentBlocks.count(index) != 0) {
        m_receiver.Reject();
        Log("block %llu: left unanswered on purpose", static_cast<unsigned long long>(index));
        return;
    }
    if (m_phase != Phase::Receiving) {
        Log("transfer begins");
        m_phase = Phase::Receiving;
    }
    m_phaseDeadline = at + kTransferSilence;
    m_image.insert(m_image.end(), event.data.begin(), event.data.end());
    ++m_summary.blocks;
    Log("block %llu (number %u) acknowledged", static_cast<unsigned long long>(index), event.number);

    if (m_options.garbageBeforeAckBlocks.count(index) != 0) {
        Say("xyz\r\nC", at);
    }
    if (m_options.lateAckBlocks.count(index) != 0) {
        const milliseconds delay(m_options.ackDelayMs);
        Log("block %llu: acknowledged %lld ms late", static_cast<unsigned long long>(index),
            static_cast<long long>(delay.count()));
        m_phaseDeadline += delay;
        SayLate(std::string(1, static_cast<char>(xmodem::kAck)), at, delay);
    } else {
        Answer(xmodem::kAck, at);
    }
    if (m_options.doubleAckBlocks.count(index) != 0) {
        Answer(xmodem::kAck, at);
    }
    if (m_options.hangupAfterBlocks.count(index) != 0) {
        HangUp();
    }
}

void Loader::OnEnd(const XmodemEvent& event, Clock::time_point at)
{
    const bool beforeMenuAnswer = m_phase == Phase::Autoboot || m_phase == Phase::Menu;
    if (beforeMenuAnswer && !m_options.plain) {
        Log("%s ignored: no transfer asked for", event.kind == XmodemEventKind::Eot ? "EOT" : "CAN");
        return;
    }
    if (event.kind == XmodemEventKind::Cancel) {
        Log("transfer cancelled by the sender (%s, n=%u)", event.framed ? "frame" : "plain", event.number);
        Say("\r\nUpgrade aborted by host.\r\n", at);
        EndSession(Verdict::Cancelled, at);
        return;
    }

    Log("end of transmission (%s, n=%u, next block number %u), %zu bytes received",
        event.framed ? "frame" : "lone EOT", event.number, m_receiver.Expected(), m_image.size());
    if (m_options.hangupAt == HangupPoint::Verdict) {
        HangUp();
        return;
    }
    Answer(xmodem::kAck, at);
    SaveImage();

    if (m_options.noVerdict) {
        EndSession(Verdict::NoVerdict, at);
        return;
    }
    const auto& prefix = m_options.expectPrefix;
    const bool prefixMismatch =
        !prefix.empty() && (m_image.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), m_image.begin()));
    const bool refuse = m_options.refuse || m_options.refuseAfterBurn || prefixMismatch;

    std::string text = "\r\nSSU image received: " + std::to_string(m_image.size()) + " bytes\r\n";
    if (!refuse || m_options.refuseAfterBurn) {
        for (unsigned i = 0; i < m_options.burnRepeats; ++i) {
            text += kBurnCallLine;
        }
    }
    if (refuse) {
        text += kRefusalLine;
        text += "Upgrade failed.\r\n";
    } else {
        text += kBurnStartLine;
        for (int percent = 25; percent <= 100; percent += 25) {
            text += "flash write " + std::to_string(percent) + "%...\r\n";
        }
        text += "Upgrade complete, rebooting.\r\n";
    }
    SayLate(text, at, milliseconds(m_options.verdictDelayMs));
    EndSession(refuse ? Verdict::Refused : Verdict::Completed, at);
}

void Loader::SaveImage()
{
    if (m_options.savePath.empty()) {
        return;
    }
    std::ofstream file(m_options.savePath, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(m_image.data()), static_cast<std::streamsize>(m_image.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "stb-emulator: cannot write %s: %s\n", m_options.savePath.c_str(), std::strerror(errno));
    }
}

void Loader::EndSession(Verdict verdict, Clock::time_point now)
{
    m_summary.verdict = verdict;
    m_receiver.Reset();
    m_nextC.reset();
    Log("session %u ends: %s", m_summary.sessions, VerdictName(verdict));
    const Clock::time_point quiet = m_line.TransmitDoneAt(std::max(now, Clock::now()));
    if (LastSession()) {
        ExitWhenRead(quiet);
    } else if (verdict == Verdict::Completed) {
        // The image goes to flash while the verdict is read; then the box
        // reboots into it.
        Log("writing flash for %d ms", m_options.flashMs);
        m_phase = Phase::Flashing;
        m_phaseDeadline = quiet + milliseconds(m_options.flashMs);
    } else {
        m_phase = Phase::PowerOff;
        m_phaseDeadline = quiet + milliseconds(m_options.bootDelayMs);
    }
}

void Loader::ExitWhenRead(Clock::time_point quiet)
{
    m_phase = Phase::Ended;
    m_exitAfter = quiet + kExitGrace;
    m_exitLimit = *m_exitAfter + kExitDrainLimit;
}

void Loader::OnFlashWritten(Clock::time_point now)
{
    m_bNewFirmware = true;
    m_bSameUnit = true;
    if (!m_options.rebootIntoLoader) {
        Log("flash written: rebooting");
        m_phase = Phase::PowerOff;
        m_phaseDeadline = now + milliseconds(m_options.bootDelayMs);
        return;
    }
    // A new firmware that jumps back to its loader: the same unit, at the
    // menu, without a banner or an autoboot window.
    BeginSession();
    Log("session %u: flash written, back in the loader", m_summary.sessions);
    m_phase = Phase::Menu;
    m_bMenuOnKey = true;
    Say(MenuOrPrompt(), now);
}

void Loader::BootFirmware(Clock::time_point now)
{
    Log("autoboot window passed: the new firmware %s",
        m_options.noBoot ? "stays silent" : m_options.bootPanic ? "panics" : "boots");
    if (!m_options.noBoot) {
        std::string text(kBootLines);
        text += m_options.bootPanic ? std::string(kPanicLine) : m_options.bootText;
        text += "\r\n";
        Say(text, now);
    }
    // The session ends without a transfer, yet the verdict stays that of the
    // image the firmware came from.
    m_receiver.Reset();
    m_nextC.reset();
    if (LastSession()) {
        ExitWhenRead(m_line.TransmitDoneAt(now));
    } else {
        m_phase = Phase::Firmware;
    }
}

void Loader::PollPower(Clock::time_point now)
{
    if (!m_pPower || now < m_nextPowerPoll) {
        return;
    }
    m_nextPowerPoll = now + kPowerPoll;
    const bool on = m_pPower->On();
    if (on == m_bPowered) {
        return;
    }
    m_bPowered = on;
    if (m_phase == Phase::Ended) {
        return;
    }
    if (on) {
        Log("power on");
        m_bSameUnit = false;
        m_phase = Phase::PowerOff;
        m_phaseDeadline = now + milliseconds(m_options.bootDelayMs);
        return;
    }
    Log("power off");
    if (m_phase == Phase::Receiving || (m_frameBegun && AcceptsFrames())) {
        m_summary.verdict = Verdict::Cancelled;
    }
    m_receiver.Reset();
    m_nextC.reset();
    m_line.Discard();
    m_phase = Phase::Unpowered;
}

void Loader::HangUp()
{
    // Let the last answer reach the client, as a cable pulled just after it
    // would, then drop every descriptor of the line.
    const Clock::time_point limit = Clock::now() + kHangupDrainLimit;
    m_line.FlushAll(limit);
    std::this_thread::sleep_for(kDrainSettle);
    while (m_line.Unread() > 0 && Clock::now() < limit) {
        std::this_thread::sleep_for(kDrainPoll);
    }
    m_line.Hangup();
    m_summary.verdict = Verdict::Hangup;
    m_phase = Phase::Ended;
    m_finished = true;
    Log("line hung up");
}

void Loader::Run(const std::atomic<bool>& stop, const sigset_t& waitMask)
{
    m_start = Clock::now();
    m_lastByteAt = m_start;
    m_line.SetBaud(m_options.baud);
    m_phase = m_pPower ? Phase::Unpowered : Phase::PowerOff;
    m_phaseDeadline = m_start + milliseconds(m_options.bootDelayMs);
    m_nextPowerPoll = m_start;

    std::vector<std::uint8_t> bytes;
    while (!m_finished) {
        // Written by the signal handler, read here.
        if (stop.load(std::memory_order_acquire)) {
            Log("stopped by a signal");
            if (m_phase == Phase::Receiving || (m_frameBegun && AcceptsFrames())) {
                m_summary.verdict = Verdict::Cancelled;
            }
            return;
        }
        Clock::time_point now = Clock::now();
        PollPower(now);
        OnTimers(now);
        if (m_finished) {
            return;
        }
        if (!m_line.Flush(now)) {
            Log("the line is gone (write)");
            m_summary.verdict = Verdict::Hangup;
            return;
        }

        pollfd pfd{m_line.Fd(), static_cast<short>(POLLIN | (m_line.WantsWritable() ? POLLOUT : 0)), 0};
        timespec timeout{};
        const std::optional<Clock::time_point> deadline = NextDeadline();
        if (deadline) {
            const auto wait = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        }
        const int ready = ppoll(&pfd, 1, deadline ? &timeout : nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "stb-emulator: poll: %s\n", std::strerror(errno));
            return;
        }
        if (ready == 0) {
            continue;
        }
        if (pfd.revents & POLLIN) {
            bytes.clear();
            LineRead result = LineRead::Data;
            for (int reads = 0; reads < 16 && result == LineRead::Data; ++reads) {
                result = m_line.Read(bytes);
            }
            now = Clock::now();
            OnBytes(bytes, now);
            if (result == LineRead::Gone && !m_finished) {
                Log("the line is gone (read)");
                m_summary.verdict = Verdict::Hangup;
                return;
            }
        } else if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            Log("the line is gone (hang-up)");
            m_summary.verdict = Verdict::Hangup;
            return;
        }
    }
}
