// The operating-system basics as a host reaches them: the built module
// loaded at run time by the reference host, an effect instance created (which
// points the module's KLOR::gGlobal at the host's record), and the exported
// functions called through the addresses the loader gives.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "klor/klor_os.h"
#include "klor_host.h"

namespace {

class OsModule : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        plugin_ = klor::host::Plugin::load(KLOR_PLUGIN_PATH, &error);
        ASSERT_NE(plugin_, nullptr) << error;
        KLOR_RESULT created = -1;
        instance_ = klor::host::Instance::create(*plugin_, &created);
        ASSERT_NE(instance_, nullptr);
        ASSERT_EQ(created, KLOR_OK);
    }
    void TearDown() override {
        instance_.reset();
        plugin_.reset();
    }

    template <typename Function>
    Function* find(const char* name) {
        auto address = reinterpret_cast<Function*>(plugin_->symbol(name));
        EXPECT_NE(address, nullptr) << name << " is not exported";
        return address;
    }

    std::unique_ptr<klor::host::Plugin> plugin_;
    std::unique_ptr<klor::host::Instance> instance_;
};

// The clocks keep their origin in the record of the host that created the
// instance, and GetNs counts microseconds from it.
TEST_F(OsModule, ClocksUseTheHostsTimeOrigin) {
    auto getMs = find<KLOR_RESULT(unsigned int*)>("KLOR_OS_Time_GetMs");
    auto getNs = find<KLOR_RESULT(unsigned int*)>("KLOR_OS_Time_GetNs");
    ASSERT_TRUE(getMs && getNs);
    KLOR::Global& global = plugin_->global();
    ASSERT_EQ(global.timeBaseSeconds, 0u);

    timeval before;
    gettimeofday(&before, nullptr);
    unsigned int ms = 0;
    ASSERT_EQ(getMs(&ms), KLOR_OK);
    EXPECT_LT(ms, 1000u);
    EXPECT_GE(global.timeBaseSeconds, static_cast<uint32_t>(before.tv_sec));

    // Two seconds back: GetNs gives 2 s plus the sub-second part, in µs.
    global.timeBaseSeconds -= 2;
    unsigned int us = 0;
    ASSERT_EQ(getNs(&us), KLOR_OK);
    EXPECT_GE(us, 2000000u);
    EXPECT_LT(us, 60000000u);
}

TEST_F(OsModule, ThreadIdIsTheLowHalfOfPthreadSelf) {
    auto getId = find<KLOR_RESULT(unsigned int*)>("KLOR_OS_Thread_GetCurrentID");
    ASSERT_NE(getId, nullptr);
    unsigned int id = 0;
    ASSERT_EQ(getId(&id), KLOR_OK);
    EXPECT_EQ(id, static_cast<unsigned int>(static_cast<uint64_t>(pthread_self()) & 0xffffffffu));
}

TEST_F(OsModule, FilesReadWithTheirResultCodes) {
    auto open = find<KLOR_RESULT(const char*, char*, int, unsigned int*, void**)>("KLOR_OS_File_Open");
    auto read = find<KLOR_RESULT(void*, void*, unsigned int, unsigned int*)>("KLOR_OS_File_Read");
    auto seek = find<KLOR_RESULT(void*, unsigned int)>("KLOR_OS_File_Seek");
    auto close = find<KLOR_RESULT(void*)>("KLOR_OS_File_Close");
    ASSERT_TRUE(open && read && seek && close);

    const std::string path = ::testing::TempDir() + "klor_os_module_" + std::to_string(getpid());
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fputs("0123456789", out);
    std::fclose(out);

    char mode[] = "rb";
    unsigned int size = 0;
    void* handle = nullptr;
    ASSERT_EQ(open(path.c_str(), mode, 0, &size, &handle), KLOR_OK);
    EXPECT_EQ(size, 10u);
    char buffer[16] = {};
    unsigned int delivered = 0;
    EXPECT_EQ(read(handle, buffer, 16, &delivered), KLOR_ERR_END_OF_FILE);
    EXPECT_EQ(delivered, 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(seek(handle, 0), KLOR_OK);
    EXPECT_EQ(read(handle, buffer, 10, &delivered), KLOR_OK);
    EXPECT_EQ(delivered, 10u);
    EXPECT_EQ(close(handle), KLOR_OK);
    std::remove(path.c_str());

    handle = reinterpret_cast<void*>(1);
    EXPECT_EQ(open((path + ".missing").c_str(), mode, 0, nullptr, &handle), KLOR_ERR_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(OsModule, LoadsALibraryAndLooksUpItsNames) {
    auto load = find<KLOR_RESULT(const char*, KLOR_OS_LIBRARY**)>("KLOR_OS_Library_Load");
    auto lookup = find<KLOR_RESULT(KLOR_OS_LIBRARY*, const char*, void**)>("KLOR_OS_Library_GetProcAddress");
    auto release = find<KLOR_RESULT(KLOR_OS_LIBRARY*)>("KLOR_OS_Library_Free");
    ASSERT_TRUE(load && lookup && release);

    KLOR_OS_LIBRARY* library = nullptr;
    ASSERT_EQ(load(KLOR_OS_FIXTURE_PATH, &library), KLOR_OK);
    void* address = nullptr;
    ASSERT_EQ(lookup(library, "klor_fixture_answer", &address), KLOR_OK);
    EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 42);
    EXPECT_EQ(lookup(library, "missing", &address), KLOR_ERR_READ_FAILED);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(release(library), KLOR_OK);
    EXPECT_EQ(load("/nonexistent/libnothing.so", &library), KLOR_ERR_NOT_FOUND);
    EXPECT_EQ(library, nullptr);
}

TEST_F(OsModule, HeapAndTheFunctionsThatOnlyReturn) {
    auto alloc = find<void*(int, unsigned int)>("KLOR_OS_Memory_Alloc");
    auto release = find<void(void*, unsigned int)>("KLOR_OS_Memory_Free");
    auto used = find<unsigned int()>("KLOR_OS_GetMemoryUsed");
    auto driverList = find<KLOR_RESULT(bool*)>("KLOR_OS_CheckDriverList");
    auto driveStatus = find<KLOR_RESULT()>("KLOR_OS_File_DriveStatus");
    auto cancel = find<KLOR_RESULT(void*)>("KLOR_OS_File_Cancel");
    ASSERT_TRUE(alloc && release && used && driverList && driveStatus && cancel);

    void* block = alloc(4096, 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(used(), 0u);
    release(block, 0);
    bool flag = true;
    EXPECT_EQ(driverList(&flag), KLOR_OK);
    EXPECT_TRUE(flag);
    EXPECT_EQ(driveStatus(), KLOR_OK);
    EXPECT_EQ(cancel(nullptr), KLOR_OK);
}

}  // namespace
