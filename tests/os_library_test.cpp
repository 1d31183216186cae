// Dynamic libraries against the tests' own fixture libraries
// (tests/fixtures/), whose contents are fixed: load, look up, free, and the
// result codes and stores of every failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "klor/klor_os.h"

namespace {

KLOR_OS_LIBRARY* const kUntouchedLibrary = reinterpret_cast<KLOR_OS_LIBRARY*>(0x5a5a);
void* const kUntouchedAddress = reinterpret_cast<void*>(0xa5a5);

// The fixture library, loaded for the test and freed after it.
class Library : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(KLOR_OS_Library_Load(KLOR_OS_FIXTURE_PATH, &library_), KLOR_OK);
        ASSERT_NE(library_, nullptr);
    }
    void TearDown() override {
        if (library_ != nullptr) {
            EXPECT_EQ(KLOR_OS_Library_Free(library_), KLOR_OK);
        }
    }

    KLOR_OS_LIBRARY* library_ = nullptr;
};

TEST_F(Library, LooksUpFunctionsAndData) {
    void* address = nullptr;
    ASSERT_EQ(KLOR_OS_Library_GetProcAddress(library_, "klor_fixture_answer", &address), KLOR_OK);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 42);

    ASSERT_EQ(KLOR_OS_Library_GetProcAddress(library_, "klor_fixture_marker", &address), KLOR_OK);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(*static_cast<int*>(address), 0x4b4c4f52);
}

TEST_F(Library, AMissingNameStoresNullAndIsReadFailed) {
    void* address = kUntouchedAddress;
    EXPECT_EQ(KLOR_OS_Library_GetProcAddress(library_, "klor_fixture_no_such_name", &address),
              KLOR_ERR_READ_FAILED);
    EXPECT_EQ(address, nullptr);
}

// Loaded without RTLD_GLOBAL, the library's names stay local: the loader's
// default search, which a null library handle asks for, does not see them.
TEST_F(Library, TheLibrarysNamesStayLocal) {
    void* address = kUntouchedAddress;
    EXPECT_EQ(KLOR_OS_Library_GetProcAddress(nullptr, "klor_fixture_answer", &address),
              KLOR_ERR_READ_FAILED);
    EXPECT_EQ(address, nullptr);
}

// A null library handle goes to dlsym unchanged, as the default search over
// the program and its global libraries.
TEST(LibraryLookup, ANullHandleSearchesTheProgramsGlobalNames) {
    void* address = nullptr;
    ASSERT_EQ(KLOR_OS_Library_GetProcAddress(nullptr, "getpid", &address), KLOR_OK);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(reinterpret_cast<pid_t (*)()>(address)(), getpid());
}

TEST(LibraryLoad, FailuresStoreNullOrNothing) {
    KLOR_OS_LIBRARY* library = kUntouchedLibrary;
    EXPECT_EQ(KLOR_OS_Library_Load(nullptr, &library), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(library, kUntouchedLibrary);
    EXPECT_EQ(KLOR_OS_Library_Load(KLOR_OS_FIXTURE_PATH, nullptr), KLOR_ERR_BAD_ARGUMENT);

    EXPECT_EQ(KLOR_OS_Library_Load("/nonexistent/klor/libnothing.so", &library), KLOR_ERR_NOT_FOUND);
    EXPECT_EQ(library, nullptr);

    // A file that exists but is no shared object.
    library = kUntouchedLibrary;
    EXPECT_EQ(KLOR_OS_Library_Load(KLOR_OS_FIXTURE_SOURCE, &library), KLOR_ERR_NOT_FOUND);
    EXPECT_EQ(library, nullptr);
}

TEST(LibraryLookup, NullPointersAreRefused) {
    void* address = kUntouchedAddress;
    EXPECT_EQ(KLOR_OS_Library_GetProcAddress(nullptr, nullptr, &address), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(address, kUntouchedAddress);
    EXPECT_EQ(KLOR_OS_Library_GetProcAddress(nullptr, "getpid", nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(KLOR_OS_Library_Free(nullptr), KLOR_ERR_BAD_ARGUMENT);
}

// The lazy fixture calls a function that nothing defines. Only lazy binding
// loads it; its other functions work as long as that call never happens.
TEST(LibraryLoad, BindsLazily) {
    const char* bindNow = std::getenv("LD_BIND_NOW");
    if (bindNow != nullptr && *bindNow != '\0') GTEST_SKIP() << "LD_BIND_NOW forces early binding";
    KLOR_OS_LIBRARY* library = nullptr;
    ASSERT_EQ(KLOR_OS_Library_Load(KLOR_OS_LAZY_FIXTURE_PATH, &library), KLOR_OK);
    ASSERT_NE(library, nullptr);
    void* address = nullptr;
    ASSERT_EQ(KLOR_OS_Library_GetProcAddress(library, "klor_fixture_lazy_answer", &address), KLOR_OK);
    EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 7);
    EXPECT_EQ(KLOR_OS_Library_Free(library), KLOR_OK);
}

// Loads and frees pair up: the loader counts references, so a second load
// gives the same handle and needs its own free.
TEST(LibraryLoad, LoadsAndFreesPairUp) {
    KLOR_OS_LIBRARY* first = nullptr;
    KLOR_OS_LIBRARY* second = nullptr;
    ASSERT_EQ(KLOR_OS_Library_Load(KLOR_OS_FIXTURE_PATH, &first), KLOR_OK);
    ASSERT_EQ(KLOR_OS_Library_Load(KLOR_OS_FIXTURE_PATH, &second), KLOR_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(KLOR_OS_Library_Free(second), KLOR_OK);
    void* address = nullptr;
    EXPECT_EQ(KLOR_OS_Library_GetProcAddress(first, "klor_fixture_answer", &address), KLOR_OK);
    EXPECT_EQ(KLOR_OS_Library_Free(first), KLOR_OK);
}

}  // namespace
