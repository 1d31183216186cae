// klor-validate against modules with one known fault each: the check that
// owns the fault must fail and the validator must exit non-zero; the sound
// module and the real one must pass every check.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct ValidatorRun {
    int status = -1;
    std::string output;
};

ValidatorRun runValidator(const std::string& module) {
    const std::string command =
        std::string("'") + KLOR_VALIDATE_PATH + "' --seed 7 '" + module + "' 2>&1";
    ValidatorRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, got);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return run;
}

std::string fixture(const std::string& fault) {
    return std::string(KLOR_FIXTURE_DIR) + "/libklor_fixture_" + fault + ".so";
}

bool hasLine(const std::string& output, const std::string& verdict, const std::string& check) {
    const std::string head = verdict + "  " + check + " ";
    return output.compare(0, head.size(), head) == 0 || output.find("\n" + head) != std::string::npos;
}

TEST(Validator, PassesTheBuiltModule) {
    const ValidatorRun run = runValidator(KLOR_PLUGIN_PATH);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("\nFAIL"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(", 0 failed"), std::string::npos) << run.output;
}

TEST(Validator, PassesTheSoundFixture) {
    const ValidatorRun run = runValidator(fixture("Sound"));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("\nFAIL"), std::string::npos) << run.output;
}

TEST(Validator, RefusesAModuleItCannotLoad) {
    const ValidatorRun run = runValidator(std::string(KLOR_FIXTURE_DIR) + "/no-such-module.so");
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("0 passed, 1 failed"), std::string::npos) << run.output;
}

struct FaultCase {
    const char* fault;
    const char* failingCheck;
    bool needsProbe;  // found only through the real-time probe or the heap
};

class ValidatorFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ValidatorFault, FailsTheCheckThatOwnsIt) {
    const FaultCase& c = GetParam();
#if defined(KLOR_SANITIZER_BUILD)
    if (c.needsProbe) GTEST_SKIP() << "the probe cannot run beside a sanitizer runtime";
#endif
    const ValidatorRun run = runValidator(fixture(c.fault));
    EXPECT_NE(run.status, 0) << run.output;
    EXPECT_TRUE(hasLine(run.output, "FAIL", c.failingCheck))
        << "expected \"" << c.failingCheck << "\" to fail:\n" << run.output;
}

const FaultCase kFaults[] = {
    {"Tail", "block size 1", false},
    {"NanSticky", "hostile NaN", false},
    {"Mask", "channels 1..64", false},
    {"TornLevel", "parameter race", false},
    {"Allocates", "real-time read", true},
    {"Locks", "real-time read", true},
    {"NoDefault", "create/release x1000", false},
    {"Leaks", "create/release x1000", true},
    {"LongText", "parameters", false},
    {"Fused", "curve", false},
};

INSTANTIATE_TEST_SUITE_P(Fixtures, ValidatorFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.fault);
                         });

}  // namespace
