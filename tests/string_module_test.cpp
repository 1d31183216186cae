// The string helpers as a host reaches them: the built module loaded at run
// time by the reference host, each function found under its plain C name.
#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>

#include "klor_host.h"

namespace {

class StringModule : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        plugin_ = klor::host::Plugin::load(KLOR_PLUGIN_PATH, &error);
        ASSERT_NE(plugin_, nullptr) << error;
    }

    // The exported function `name`, with the declared type.
    template <typename Function>
    Function* find(const char* name) {
        auto address = reinterpret_cast<Function*>(plugin_->symbol(name));
        EXPECT_NE(address, nullptr) << name << " is not exported";
        return address;
    }

    std::unique_ptr<klor::host::Plugin> plugin_;
};

TEST_F(StringModule, EveryHelperIsExportedUnderItsPlainName) {
    const char* names[] = {"KLOR_strlen",  "KLOR_strcpy",   "KLOR_strncpy",  "KLOR_strcat",
                           "KLOR_strncat", "KLOR_tolower",  "KLOR_strupr",   "KLOR_strlwr",
                           "KLOR_strcmp",  "KLOR_strncmp",  "KLOR_stricmp",  "KLOR_strnicmp",
                           "KLOR_strchr",  "KLOR_memcmp",   "KLOR_strstr",   "KLOR_memmove",
                           "KLOR_eatwhite", "KLOR_atoi",    "KLOR_atoi_hex", "KLOR_vsnprintf",
                           "KLOR_snprintf"};
    for (const char* name : names) EXPECT_NE(plugin_->symbol(name), nullptr) << name;
}

TEST_F(StringModule, ComparisonsKeepSignedCharactersAndTheLimitRules) {
    auto strcmp_ = find<int(const char*, const char*)>("KLOR_strcmp");
    auto strncmp_ = find<int(const char*, const char*, int)>("KLOR_strncmp");
    auto stricmp_ = find<int(const char*, const char*)>("KLOR_stricmp");
    auto memcmp_ = find<int(const void*, const void*, int)>("KLOR_memcmp");
    ASSERT_TRUE(strcmp_ && strncmp_ && stricmp_ && memcmp_);
    EXPECT_EQ(strcmp_("\xc0", "A"), -129);
    EXPECT_EQ(strncmp_("a", "b", 0), -1);
    EXPECT_EQ(strncmp_("ab", "ax", -5), 0);
    EXPECT_EQ(stricmp_("A", "_"), 2);
    EXPECT_EQ(memcmp_("\x01", "\xff", 1), 2);
}

TEST_F(StringModule, CopiesSearchesAndConvertsAsDefined) {
    auto strncpy_ = find<char*(char*, const char*, int)>("KLOR_strncpy");
    auto strchr_ = find<char*(const char*, int)>("KLOR_strchr");
    auto strstr_ = find<char*(const char*, const char*)>("KLOR_strstr");
    auto atoi_ = find<int(const char*)>("KLOR_atoi");
    auto atoiHex_ = find<int(const char*)>("KLOR_atoi_hex");
    ASSERT_TRUE(strncpy_ && strchr_ && strstr_ && atoi_ && atoiHex_);

    char buffer[] = "XXXXXX";
    strncpy_(buffer, "abc", 2);
    EXPECT_EQ(std::string(buffer), "abXXXX");

    const char* text = "x\xe9y";
    EXPECT_EQ(strchr_(text, -23), text + 1);
    EXPECT_EQ(strchr_(text, 233), nullptr);
    const char* haystack = "aab";
    EXPECT_EQ(strstr_(haystack, "ab"), haystack + 1);
    EXPECT_EQ(atoi_("-5"), -25);
    EXPECT_EQ(atoi_("12a"), 169);
    EXPECT_EQ(atoiHex_("0x1F"), 31);
}

TEST_F(StringModule, FormatterClearsTheLastByte) {
    auto snprintf_ = find<int(char*, int, const char*, ...)>("KLOR_snprintf");
    ASSERT_NE(snprintf_, nullptr);
    char buffer[10];
    std::string(10, 'X').copy(buffer, 10);
    EXPECT_EQ(snprintf_(buffer, 10, "%s", "ab"), 2);
    EXPECT_EQ(std::string(buffer, 10), std::string("ab\0XXXXXX\0", 10));
    EXPECT_EQ(snprintf_(buffer, 10, "%d%d", 123456, 789012), 12);
    EXPECT_EQ(std::string(buffer, 10), std::string("123456789\0", 10));
    EXPECT_EQ(snprintf_(buffer, 0, "%s", "abcdef"), 6);
    EXPECT_EQ(std::string(buffer, 10), std::string("123456789\0", 10));
}

}  // namespace
