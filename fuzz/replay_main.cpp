// Runs a fuzz target over files instead of under libFuzzer: every file named
// on the command line, or every file of every directory named, once. The
// committed corpus replays this way in every build, compilers without
// libFuzzer included, so each input that once broke something stays a test.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>* bytes) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes->clear();
    uint8_t buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes->insert(bytes->end(), buffer, buffer + got);
    std::fclose(file);
    return true;
}

void collect(const std::string& path, std::vector<std::string>* files) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return;
    if (!S_ISDIR(info.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) return;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        collect(path + "/" + name, files);
    }
    closedir(directory);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) collect(argv[i], &files);
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    std::vector<uint8_t> bytes;
    for (const std::string& file : files) {
        if (!readFile(file, &bytes)) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
