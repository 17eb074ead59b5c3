#include "orchel/corvlog.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch.h"

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The part of a file line after "yyyy-mm-dd hh:mm:ss.mmm [thread] ", when the line has that form.
std::optional<std::string> LineBody(const std::string& line) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd [";
    if (line.size() <= shape.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) {
            return std::nullopt;
        }
    }
    std::size_t position = shape.size();
    while (position < line.size() && std::isdigit(static_cast<unsigned char>(line[position]))) {
        ++position;
    }
    if (position == shape.size() || line.compare(position, 2, "] ") != 0) {
        return std::nullopt;
    }
    return line.substr(position + 2);
}

// Restores the file destination the test binary runs with (no file).
class LogFileScope {
public:
    explicit LogFileScope(const std::string& path) { ok = gCORVLog->SetLogFile(path.c_str()); }
    ~LogFileScope() {
        gCORVLog->SetLogFile(nullptr);
        gCORVLog->SetFileLevel(ORV_LOG_LEVEL_DETAIL);
    }
    bool ok = false;
};

TEST(Logger, SinksReceiveFormattedRecordsWithComponentAndLevel) {
    CapturingLogSink sink;
    gCORVLog->WriteDebugMessages(ORV_LOG_CHECKUPDATE, 3, L"");
    gCORVLog->WriteDebugMessages(ORV_LOG_CHECKUPDATE, 3, L"Checking updates for product: %s",
                                 L"Remedor");
    gCORVLog->WriteDebugMessages(7128, 5, L"As of now total Bytes downloaded %d", 65536);
    gCORVLog->WriteDebugMessages(7044, 1, L"Error code 0x%x", 0x800B0100u);

    EXPECT_TRUE(sink.Contains(ORV_LOG_CHECKUPDATE, 3, L""));
    EXPECT_TRUE(sink.Contains(ORV_LOG_CHECKUPDATE, 3, L"Checking updates for product: Remedor"));
    EXPECT_TRUE(sink.Contains(7128, 5, L"As of now total Bytes downloaded 65536"));
    EXPECT_TRUE(sink.Contains(7044, 1, L"Error code 0x800b0100"));
    EXPECT_FALSE(sink.Contains(7044, 4, L"Error code 0x800b0100"));  // the level counts
    EXPECT_EQ(4u, sink.Records().size());
}

TEST(Logger, DetachedSinkReceivesNothingMore) {
    std::vector<LogRecord> kept;
    {
        CapturingLogSink sink;
        gCORVLog->WriteDebugMessages(7001, 4, L"inside");
        kept = sink.Records();
    }
    CapturingLogSink later;
    gCORVLog->WriteDebugMessages(7001, 4, L"outside");
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(L"inside", kept[0].message);
    EXPECT_EQ((std::vector<std::wstring>{L"outside"}), later.Messages());
}

TEST(Logger, FileLinesCarryTimeThreadComponentAndLevel) {
    testsupport::TempFolder folder;
    const std::string path = (folder.Path() / "orchel.log").string();
    {
        LogFileScope scope(path);
        ASSERT_TRUE(scope.ok);
        gCORVLog->WriteDebugMessages(ORV_LOG_DOWNLOADER, 0, L"FAILED: Download failed for: %s",
                                     L"kb1.exe");
        gCORVLog->WriteDebugMessages(7001, 4, L"Zürich €");
        gCORVLog->WriteDebugMessages(7128, 5, L"progress is not written at the default level");
        gCORVLog->SetFileLevel(ORV_LOG_LEVEL_PROGRESS);
        gCORVLog->WriteDebugMessages(7128, 5, L"progress after raising the level");
    }
    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(3u, lines.size());
    std::vector<std::string> bodies;
    for (const std::string& line : lines) {
        const std::optional<std::string> body = LineBody(line);
        ASSERT_TRUE(body.has_value()) << line;
        bodies.push_back(*body);
    }
    EXPECT_EQ("Downloader 0 FAILED: Download failed for: kb1.exe", bodies[0]);
    EXPECT_EQ("7001 4 Z\xC3\xBCrich \xE2\x82\xAC", bodies[1]);
    EXPECT_EQ("7128 5 progress after raising the level", bodies[2]);
}

TEST(Logger, UnwritableFileIsReportedAndLoggingGoesOn) {
    LogFileScope scope("/nonexistent-folder/orchel.log");
    EXPECT_FALSE(scope.ok);
    CapturingLogSink sink;
    gCORVLog->WriteDebugMessages(7001, 4, L"still delivered");
    EXPECT_EQ((std::vector<std::wstring>{L"still delivered"}), sink.Messages());
}

TEST(Logger, ConcurrentWritersProduceWholeLines) {
    testsupport::TempFolder folder;
    const std::string path = (folder.Path() / "orchel.log").string();
    constexpr int kThreads = 6;
    constexpr int kLinesPerThread = 500;
    CapturingLogSink sink;
    {
        LogFileScope scope(path);
        ASSERT_TRUE(scope.ok);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLinesPerThread; ++i) {
                    gCORVLog->WriteDebugMessages(7128, 4, L"writer %d line %d %s", t, i,
                                                 L"payload-payload-payload-payload");
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kLinesPerThread), sink.Records().size());
    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kLinesPerThread), lines.size());
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : lines) {
        const std::optional<std::string> body = LineBody(line);
        ASSERT_TRUE(body.has_value()) << line;
        int writer = -1;
        int number = -1;
        char payload[64] = {};
        ASSERT_EQ(3, std::sscanf(body->c_str(), "7128 4 writer %d line %d %63s", &writer, &number,
                                 payload))
            << line;
        EXPECT_STREQ("payload-payload-payload-payload", payload);
        seen.emplace(writer, number);
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kLinesPerThread), seen.size());
}

TEST(Logger, ComponentNames) {
    EXPECT_EQ(L"CHECKUPDATE", CORVLog::ComponentName(6002));
    EXPECT_EQ(L"PRODUCT_MANAGER", CORVLog::ComponentName(6004));
    EXPECT_EQ(L"Downloader", CORVLog::ComponentName(6040));
    EXPECT_EQ(L"EMAIL", CORVLog::ComponentName(6050));
    EXPECT_EQ(L"INSTALL", CORVLog::ComponentName(6058));
    EXPECT_EQ(L"7045", CORVLog::ComponentName(7045));
}

}  // namespace
