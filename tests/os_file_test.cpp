// Standard-I/O files: the result codes of open, read and seek on a 10-byte
// file made by the test, the size out-parameter, and the refusal of null
// pointers. A handle is the stream itself (FILE*), which lets a test set a
// stream's indicators the way a caller's own standard-I/O calls would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "klor/klor_os.h"

namespace {

constexpr unsigned int kUntouched = 0xa5a5a5a5u;
void* const kUntouchedHandle = reinterpret_cast<void*>(0x5a5a);

// A private file holding "0123456789", removed afterwards.
class File : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "klor_os_file_" + std::to_string(getpid()) + "_" + info->name();
        FILE* out = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(out, nullptr) << path_;
        std::fputs("0123456789", out);
        std::fclose(out);
    }
    void TearDown() override {
        if (handle_ != nullptr) KLOR_OS_File_Close(handle_);
        std::remove(path_.c_str());
        std::remove((path_ + ".new").c_str());
    }

    // Opens the file for reading; size receives the length unless null.
    void open(unsigned int* size = nullptr) {
        char mode[] = "rb";
        ASSERT_EQ(KLOR_OS_File_Open(path_.c_str(), mode, 0, size, &handle_), KLOR_OK);
        ASSERT_NE(handle_, nullptr);
    }

    struct Outcome {
        KLOR_RESULT result;
        unsigned int delivered;
        std::string bytes;
    };

    Outcome read(unsigned int wanted) {
        char buffer[64] = {};
        unsigned int delivered = kUntouched;
        const KLOR_RESULT result = KLOR_OS_File_Read(handle_, buffer, wanted, &delivered);
        const size_t shown = delivered <= sizeof(buffer) ? delivered : 0;
        return {result, delivered, std::string(buffer, shown)};
    }

    std::string path_;
    void* handle_ = nullptr;
};

TEST_F(File, OpenStoresTheStreamAndTheLengthFromTheStart) {
    unsigned int size = kUntouched;
    open(&size);
    EXPECT_EQ(size, 10u);
    // Measuring left the position at the start.
    const Outcome all = read(10);
    EXPECT_EQ(all.bytes, "0123456789");
}

TEST_F(File, OpenWithoutSizeReadsFromTheStart) {
    open(nullptr);
    const Outcome first = read(4);
    EXPECT_EQ(first.result, KLOR_OK);
    EXPECT_EQ(first.bytes, "0123");
}

// One session on one stream, step by step: each read's count and code.
TEST_F(File, ReadsReportEndOfFileWithTheBytesDelivered) {
    open();
    struct Step {
        const char* what;
        long seekTo;  // -1: no seek before the read
        unsigned int wanted;
        KLOR_RESULT result;
        std::string bytes;
    } steps[] = {
        {"16 of 10: what was there, then end of file", -1, 16, KLOR_ERR_END_OF_FILE, "0123456789"},
        {"after a seek to 0, exactly 10", 0, 10, KLOR_OK, "0123456789"},
        {"the next read meets the end", -1, 4, KLOR_ERR_END_OF_FILE, ""},
        {"a seek to 0 clears end of file", 0, 3, KLOR_OK, "012"},
        {"zero bytes wanted", -1, 0, KLOR_OK, ""},
        {"crossing the end from the middle", 7, 16, KLOR_ERR_END_OF_FILE, "789"},
        {"seek past the end, then nothing", 100, 4, KLOR_ERR_END_OF_FILE, ""},
        {"back inside", 9, 1, KLOR_OK, "9"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.seekTo >= 0) {
            ASSERT_EQ(KLOR_OS_File_Seek(handle_, static_cast<unsigned int>(step.seekTo)), KLOR_OK);
        }
        const Outcome outcome = read(step.wanted);
        EXPECT_EQ(outcome.result, step.result);
        EXPECT_EQ(outcome.delivered, step.bytes.size());
        EXPECT_EQ(outcome.bytes, step.bytes);
    }
}

// The position is widened without sign: 0xFFFFFFF0 is almost 4 GiB, a
// legal place past the end, not a negative offset that fseek refuses.
TEST_F(File, SeekReachesPositionsUpToFourGigabytes) {
    open();
    EXPECT_EQ(KLOR_OS_File_Seek(handle_, 0xfffffff0u), KLOR_OK);
    EXPECT_EQ(std::ftell(static_cast<FILE*>(handle_)), 0xfffffff0L);
    const Outcome outcome = read(4);
    EXPECT_EQ(outcome.result, KLOR_ERR_END_OF_FILE);
    EXPECT_EQ(outcome.delivered, 0u);
}

// A stream that cannot read (opened for appending) sets its error indicator
// without end of file: KLOR_ERR_READ_FAILED.
TEST_F(File, AReadErrorWithoutEndOfFileIsReadFailed) {
    char mode[] = "ab";
    ASSERT_EQ(KLOR_OS_File_Open(path_.c_str(), mode, 0, nullptr, &handle_), KLOR_OK);
    const Outcome outcome = read(4);
    EXPECT_EQ(outcome.result, KLOR_ERR_READ_FAILED);
    EXPECT_EQ(outcome.delivered, 0u);
}

// End of file wins over an error; the error indicator outlives a seek, which
// clears only end of file, so the bytes of the next read come with 19.
TEST_F(File, EndOfFileWinsOverAnErrorAndTheErrorStaysSet) {
    open();
    FILE* stream = static_cast<FILE*>(handle_);
    ASSERT_EQ(read(16).result, KLOR_ERR_END_OF_FILE);
    ASSERT_EQ(std::fputc('x', stream), EOF);  // read-only: sets the error indicator
    ASSERT_TRUE(std::ferror(stream));
    ASSERT_TRUE(std::feof(stream));

    const Outcome both = read(4);
    EXPECT_EQ(both.result, KLOR_ERR_END_OF_FILE);
    EXPECT_EQ(both.delivered, 0u);

    ASSERT_EQ(KLOR_OS_File_Seek(handle_, 0), KLOR_OK);
    const Outcome errorOnly = read(4);
    EXPECT_EQ(errorOnly.result, KLOR_ERR_READ_FAILED);
    EXPECT_EQ(errorOnly.bytes, "0123");
}

TEST_F(File, AMissingFileStoresNullAndLeavesTheSizeAlone) {
    char mode[] = "rb";
    void* handle = kUntouchedHandle;
    unsigned int size = kUntouched;
    const std::string missing = path_ + ".missing";
    EXPECT_EQ(KLOR_OS_File_Open(missing.c_str(), mode, 0, &size, &handle), KLOR_ERR_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(size, kUntouched);
}

// The mode reaches fopen unchanged: "wb" creates a file, glibc's exclusive
// "x" refuses an existing one, and "ab" measures the appended length.
TEST_F(File, TheModeIsPassedOnUnchanged) {
    const std::string created = path_ + ".new";
    char writeMode[] = "wb";
    void* handle = nullptr;
    unsigned int size = kUntouched;
    ASSERT_EQ(KLOR_OS_File_Open(created.c_str(), writeMode, 12345, &size, &handle), KLOR_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_GE(std::fputs("abc", static_cast<FILE*>(handle)), 0);
    ASSERT_EQ(KLOR_OS_File_Close(handle), KLOR_OK);

    char exclusiveMode[] = "wbx";
    handle = kUntouchedHandle;
    EXPECT_EQ(KLOR_OS_File_Open(created.c_str(), exclusiveMode, 0, nullptr, &handle), KLOR_ERR_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);

    char appendMode[] = "ab";
    ASSERT_EQ(KLOR_OS_File_Open(created.c_str(), appendMode, 0, &size, &handle), KLOR_OK);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(KLOR_OS_File_Close(handle), KLOR_OK);
}

// A pipe cannot seek: measuring its size fails quietly (ftell's -1 cut to 32
// bits) and the open still succeeds; an explicit seek reports 19.
TEST_F(File, AStreamThatCannotSeek) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], "abc", 3), 3);
    ::close(ends[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
    char mode[] = "rb";
    unsigned int size = kUntouched;
    ASSERT_EQ(KLOR_OS_File_Open(path.c_str(), mode, 0, &size, &handle_), KLOR_OK);
    ::close(ends[0]);
    EXPECT_EQ(size, 0xffffffffu);
    EXPECT_EQ(KLOR_OS_File_Seek(handle_, 0), KLOR_ERR_READ_FAILED);
    const Outcome outcome = read(16);
    EXPECT_EQ(outcome.bytes, "abc");
    EXPECT_EQ(outcome.result, KLOR_ERR_END_OF_FILE);
}

// Null where a pointer is needed: 37, nothing stored, nothing opened.
TEST_F(File, NullPointersAreRefused) {
    char mode[] = "rb";
    void* handle = kUntouchedHandle;
    EXPECT_EQ(KLOR_OS_File_Open(nullptr, mode, 0, nullptr, &handle), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(handle, kUntouchedHandle);
    EXPECT_EQ(KLOR_OS_File_Open(path_.c_str(), nullptr, 0, nullptr, &handle), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(handle, kUntouchedHandle);
    unsigned int size = kUntouched;
    EXPECT_EQ(KLOR_OS_File_Open(path_.c_str(), mode, 0, &size, nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(size, kUntouched);

    open();
    char buffer[16];
    unsigned int delivered = kUntouched;
    EXPECT_EQ(KLOR_OS_File_Read(nullptr, buffer, 4, &delivered), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_File_Read(handle_, nullptr, 4, &delivered), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(delivered, kUntouched);
    EXPECT_EQ(KLOR_OS_File_Read(handle_, buffer, 4, nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_File_Seek(nullptr, 0), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_File_Close(nullptr), KLOR_ERR_BAD_ARGUMENT);

    // The refused calls consumed nothing.
    const Outcome outcome = read(4);
    EXPECT_EQ(outcome.result, KLOR_OK);
    EXPECT_EQ(outcome.bytes, "0123");
}

TEST_F(File, CloseReturnsOk) {
    open();
    EXPECT_EQ(KLOR_OS_File_Close(handle_), KLOR_OK);
    handle_ = nullptr;
}

}  // namespace
