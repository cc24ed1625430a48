// The --record module: its JSON line read back with a JSON parser, its time
// stamps, the image hash, the record file's checks and lock, and appends
// from many threads to one file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/download_record.h"

namespace {

using namespace std::chrono;
using Json = nlohmann::ordered_json;

system_clock::time_point At(long long unixMs) {
    return system_clock::time_point{milliseconds{unixMs}};
}

// The console text read back: every character must be a code point up to
// U+00FF, and gives the byte of that value.
bool CodePointsAsBytes(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
        } else if ((lead == 0xC2 || lead == 0xC3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            bytes += static_cast<char>(((lead & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
        } else {
            return false;
        }
    }
    return true;
}

std::string Pattern(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    }
    return bytes;
}

std::string AllBytes() {
    std::string bytes;
    for (int pass = 0; pass < 2; ++pass) {
        for (int b = 0; b < 256; ++b) {
            bytes += static_cast<char>(b);
        }
    }
    return bytes;
}

// A folder of its own under the test temp folder, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        std::string tmpl = ::testing::TempDir() + "download_record_XXXXXX";
        if (char* made = mkdtemp(tmpl.data())) {
            m_path = made;
        }
    }
    ~TempFolder() {
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    bool Ok() const { return !m_path.empty(); }

private:
    std::filesystem::path m_path;
};

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct LineCase {
    const char* name;
    DownloadRecord record;
    Json expected;            // every key but console, in order
    std::string consoleKept;  // the bytes the console text must give back
};

std::vector<LineCase> LineCases() {
    std::vector<LineCase> cases;
    {
        DownloadRecord r;
        r.port = "box-a";
        r.device = "/dev/pts/7";
        r.kind = "usb";
        r.vid = 0x0403;
        r.pid = 0x6001;
        r.serial = "A50285BI";
        r.end = "completed";
        r.ok = true;
        r.message = "done \"quoted\"\r\nsecond\tline";
        r.blocks = 16387;
        r.image = "images/fw v2.bin";
        r.imageBytes = 5'000'000'123ull;  // beyond 32 bits
        r.imageSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
        r.started = At(1796635800123);
        r.ended = At(1796635861007);
        r.seconds = {1.23456, 0.0004, 59.9996, 2.0};
        r.console = AllBytes();
        cases.push_back({"EveryFieldAndAllBytes", r,
                         Json{{"port", "box-a"},
                              {"device", "/dev/pts/7"},
                              {"kind", "usb"},
                              {"vid", 0x0403},
                              {"pid", 0x6001},
                              {"serial", "A50285BI"},
                              {"end", "completed"},
                              {"ok", true},
                              {"message", r.message},
                              {"blocks", 16387},
                              {"image", "images/fw v2.bin"},
                              {"image_bytes", 5'000'000'123ull},
                              {"image_sha256", r.imageSha256},
                              {"started", "2026-12-07T09:30:00.123Z"},
                              {"ended", "2026-12-07T09:31:01.007Z"},
                              {"seconds", Json{{"sync", 1.235}, {"start", 0.0}, {"transfer", 60.0}, {"verdict", 2.0}}}},
                         r.console});
    }
    {
        DownloadRecord r;
        r.port = "/dev/ttyUSB0";
        r.end = "port-lost";
        r.image = "fw.bin";
        cases.push_back({"NoDeviceNoStagesNoConsole", r,
                         Json{{"port", "/dev/ttyUSB0"},
                              {"end", "port-lost"},
                              {"ok", false},
                              {"message", ""},
                              {"blocks", 0},
                              {"image", "fw.bin"},
                              {"image_bytes", 0},
                              {"image_sha256", ""},
                              {"started", "1970-01-01T00:00:00.000Z"},
                              {"ended", "1970-01-01T00:00:00.000Z"},
                              {"seconds", Json::object()}},
                         ""});
    }
    {
        // Stages reached up to start; more console than is kept; a path that
        // is not UTF-8 still gives a record.
        DownloadRecord r;
        r.port = "COM5";
        r.kind = "native";
        r.end = "error-31";
        r.message = "refused";
        r.blocks = 3;
        r.image = "fw\xff.bin";
        r.imageBytes = 3072;
        r.started = At(1709251199999);
        r.ended = At(1709251200000);
        r.seconds.sync = 4.5;
        r.seconds.start = 0.25;
        r.console = Pattern(70000, 11);
        cases.push_back({"ConsoleCappedToItsLast64KiB", r,
                         Json{{"port", "COM5"},
                              {"kind", "native"},
                              {"end", "error-31"},
                              {"ok", false},
                              {"message", "refused"},
                              {"blocks", 3},
                              {"image", "fw\xef\xbf\xbd.bin"},
                              {"image_bytes", 3072},
                              {"image_sha256", ""},
                              {"started", "2024-02-29T23:59:59.999Z"},
                              {"ended", "2024-03-01T00:00:00.000Z"},
                              {"seconds", Json{{"sync", 4.5}, {"start", 0.25}}}},
                         r.console.substr(70000 - 65536)});
    }
    return cases;
}

TEST(DownloadRecord, JsonLineParsesBackWithEveryKeyAndValue) {
    for (const LineCase& c : LineCases()) {
        SCOPED_TRACE(c.name);
        std::string line = RecordJsonLine(c.record);
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);

        // Compared in order below: console comes last.
        Json parsed = Json::parse(line);
        ASSERT_TRUE(parsed.contains("console"));
        EXPECT_EQ((--parsed.end()).key(), "console");
        std::string console;
        EXPECT_TRUE(CodePointsAsBytes(parsed["console"].get<std::string>(), console));
        EXPECT_EQ(console.size(), c.consoleKept.size());
        EXPECT_TRUE(console == c.consoleKept);
        parsed.erase("console");
        EXPECT_EQ(parsed, c.expected) << parsed.dump();
    }
}

TEST(DownloadRecord, IsoUtcGivesMillisecondsInUtc) {
    const struct {
        system_clock::time_point t;
        const char* text;
    } cases[] = {
        {At(0), "1970-01-01T00:00:00.000Z"},
        {At(1796635800123), "2026-12-07T09:30:00.123Z"},
        {At(1709251199999), "2024-02-29T23:59:59.999Z"},
        // Below a millisecond is cut, not rounded up into the next second.
        {At(1796635799999) + microseconds{999}, "2026-12-07T09:29:59.999Z"},
        {At(-500), "1969-12-31T23:59:59.500Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsoUtc(c.t), c.text);
    }
}

TEST(DownloadRecord, FileSha256OfKnownContents) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    const struct {
        const char* name;
        std::string contents;
        const char* hex;
    } cases[] = {
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        // Many read chunks, the last one partial.
        {"million", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = folder.File(c.name);
        WriteFile(path, c.contents);
        std::string hex, reason;
        EXPECT_TRUE(FileSha256(path, hex, reason)) << reason;
        EXPECT_EQ(hex, c.hex);
    }
}

TEST(DownloadRecord, FailuresGiveTheSystemsReason) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    std::string missing = folder.File("missing");
    std::string inMissing = folder.File("missing/record.jsonl");
    std::string folderItself = folder.File("");
    // A FIFO nobody reads: opening it for writing the usual way would wait.
    std::string fifo = folder.File("records.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    using Call = bool (*)(const std::string&, std::string&);
    Call hash = [](const std::string& p, std::string& r) { std::string h; return FileSha256(p, h, r); };
    Call append = [](const std::string& p, std::string& r) { return RecordAppend(p, "{}\n", r); };
    Call prepare = RecordFilePrepare;
    const std::string notRegular = kRecordNotRegular;
    const struct {
        const char* name;
        Call call;
        std::string path;
        std::string reason;
    } cases[] = {
        {"HashMissingFile", hash, missing, std::strerror(ENOENT)},
        {"HashFolder", hash, folderItself, std::strerror(EISDIR)},
        {"AppendInMissingFolder", append, inMissing, std::strerror(ENOENT)},
        {"PrepareInMissingFolder", prepare, inMissing, std::strerror(ENOENT)},
        {"AppendToFolder", append, folderItself, notRegular},
        {"PrepareFolder", prepare, folderItself, notRegular},
        {"AppendToFifo", append, fifo, notRegular},
        {"PrepareFifo", prepare, fifo, notRegular},
        {"PrepareDevNull", prepare, "/dev/null", notRegular},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reason;
        EXPECT_FALSE(c.call(c.path, reason));
        EXPECT_EQ(reason, c.reason);
    }
}

// Holds the write lock on the whole record file through a descriptor of its
// own: an open-file-description lock conflicts with this process's own
// record locks, so it stands for another station holding the file.
class OtherWriter {
public:
    explicit OtherWriter(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~OtherWriter() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    OtherWriter(const OtherWriter&) = delete;
    OtherWriter& operator=(const OtherWriter&) = delete;

    bool Lock(short type) {
        struct flock whole {};
        whole.l_type = type;
        whole.l_whence = SEEK_SET;
        return m_fd >= 0 && ::fcntl(m_fd, F_OFD_SETLK, &whole) == 0;
    }

private:
    int m_fd;
};

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(DownloadRecord, PrepareCreatesTheFileAndAppendWaitsForAnotherWritersLock) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    std::string path = folder.File("records.jsonl");
    std::string reason;
    ASSERT_TRUE(RecordFilePrepare(path, reason)) << reason;
    ASSERT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);

    auto pHolder = std::make_unique<OtherWriter>(path);
    ASSERT_TRUE(pHolder->Lock(F_WRLCK));

    std::atomic<bool> bDone{false};
    bool bAppended = false;
    std::thread writer([&] {
        bAppended = RecordAppend(path, "{}\n", reason);
        bDone.store(true);
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(bDone.load());
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    pHolder.reset();
    writer.join();
    EXPECT_TRUE(bAppended) << reason;
    EXPECT_EQ(FileText(path), "{}\n");
}

// Three records asked for at once while another writer holds the file:
// each gives up on its own deadline, not one after the other.
TEST(DownloadRecord, RecordsWaitingTogetherGiveUpTogether) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    std::string path = folder.File("records.jsonl");
    WriteFile(path, "");
    OtherWriter holder(path);
    ASSERT_TRUE(holder.Lock(F_WRLCK));

    constexpr unsigned kWriters = 3;
    std::vector<std::string> reasons(kWriters);
    std::vector<int> appended(kWriters, 1);  // not vector<bool>: its elements share words across threads
    std::vector<steady_clock::duration> waited(kWriters);
    std::vector<std::thread> writers;
    for (unsigned i = 0; i < kWriters; ++i) {
        writers.emplace_back([&, i] {
            const auto asked = steady_clock::now();
            appended[i] = RecordAppend(path, "{}\n", reasons[i]);
            waited[i] = steady_clock::now() - asked;
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    for (unsigned i = 0; i < kWriters; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(appended[i]);
        EXPECT_EQ(reasons[i], "the file stayed locked by another writer");
        // A hang guard: one after the other, the last would wait three limits.
        EXPECT_LT(waited[i], kRecordLockWaitLimit + seconds(10));
    }
    EXPECT_EQ(FileText(path), "");
}

// A writer killed in the middle of its line: the next record starts on a
// line of its own. Each case: what the file holds before, what after.
TEST(DownloadRecord, RecordAfterAFragmentStartsOnANewLine) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    const struct {
        const char* name;
        std::string before;
        std::string after;
    } cases[] = {
        {"Empty", "", "{}\n"},
        {"WholeLine", "{\"port\":\"a\"}\n", "{\"port\":\"a\"}\n{}\n"},
        {"Fragment", "{\"port\":\"a\"}\n{\"port\":\"b\",\"con", "{\"port\":\"a\"}\n{\"port\":\"b\",\"con\n{}\n"},
        {"FragmentAlone", "{", "{\n{}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = folder.File(std::string(c.name) + ".jsonl");
        WriteFile(path, c.before);
        std::string reason;
        EXPECT_TRUE(RecordAppend(path, "{}\n", reason)) << reason;
        EXPECT_EQ(FileText(path), c.after);
    }
}

// Abandoning the waits (the tool told to stop) ends every wait under way at
// once; a later record whose file is free is still written. In a child
// process, since the abandon holds for the rest of the process.
TEST(DownloadRecord, AbandonCutsEveryWaitShortAndAFreeFileIsStillWritten) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    std::string path = folder.File("records.jsonl");
    WriteFile(path, "");
    EXPECT_EXIT(
        {
            OtherWriter holder(path);
            if (!holder.Lock(F_WRLCK)) {
                std::_Exit(2);
            }
            std::atomic<unsigned> cutShort{0};
            std::vector<std::thread> writers;
            for (unsigned i = 0; i < 3; ++i) {
                writers.emplace_back([&] {
                    std::string reason;
                    if (!RecordAppend(path, "{}\n", reason) && reason == kRecordWaitCutShort) {
                        cutShort.fetch_add(1);
                    }
                });
            }
            std::this_thread::sleep_for(milliseconds(300));
            const unsigned early = cutShort.load();
            RecordWaitsAbandon();
            const auto abandoned = steady_clock::now();
            for (std::thread& writer : writers) {
                writer.join();
            }
            // A hang guard: without the abandon they would wait the limit.
            const bool bSoon = steady_clock::now() - abandoned < kRecordLockWaitLimit / 2;
            holder.Lock(F_UNLCK);
            std::string reason;
            const bool bWritten = RecordAppend(path, "{\"after\":1}\n", reason);
            std::fprintf(stderr, "%u early, %u cut short, soon %d, then written %d, file '%s'\n", early,
                         cutShort.load(), bSoon ? 1 : 0, bWritten ? 1 : 0, FileText(path).c_str());
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "0 early, 3 cut short, soon 1, then written 1, file '\\{\"after\":1\\}\n'");
}

TEST(DownloadRecord, AppendsFromManyThreadsGiveOnlyWholeLines) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    std::string path = folder.File("records.jsonl");
    // A line already there stays first.
    WriteFile(path, "{\"port\":\"before\"}\n");

    constexpr unsigned kThreads = 8;
    constexpr unsigned kLines = 200;
    // Lines of many lengths, one in eight of 64 to 70 KiB of JSON (control
    // bytes take six characters, high bytes two); few long ones keep the
    // sanitizer build quick.
    auto consoleOf = [](unsigned thread, unsigned index) {
        unsigned spread = index * 2654435761u + thread * 977u;
        std::size_t length = index % 8 == 0 ? 30500 + spread % 2500 : spread % 2000;
        return Pattern(length, thread * 31 + index);
    };
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned i = 0; i < kLines; ++i) {
                DownloadRecord r;
                r.port = "port-" + std::to_string(t);
                r.blocks = i;
                r.console = consoleOf(t, i);
                std::string reason;
                if (!RecordAppend(path, RecordJsonLine(r), reason)) {
                    failures[t] = reason;
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::string& failure : failures) {
        EXPECT_EQ(failure, "");
    }

    std::ifstream in(path, std::ios::binary);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "{\"port\":\"before\"}");
    std::set<std::pair<std::string, unsigned>> seen;
    std::size_t longest = 0;
    while (std::getline(in, line)) {
        longest = std::max(longest, line.size());
        Json parsed = Json::parse(line, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << "line " << seen.size() + 2 << " is not whole";
        std::string port = parsed["port"].get<std::string>();
        unsigned index = parsed["blocks"].get<unsigned>();
        unsigned thread = static_cast<unsigned>(std::stoul(port.substr(5)));
        std::string console;
        ASSERT_TRUE(CodePointsAsBytes(parsed["console"].get<std::string>(), console));
        ASSERT_TRUE(console == consoleOf(thread, index)) << port << " line " << index;
        EXPECT_TRUE(seen.emplace(port, index).second) << port << " line " << index << " twice";
    }
    EXPECT_EQ(seen.size(), kThreads * kLines);
    EXPECT_GT(longest, 64u * 1024u);
}

}  // namespace
