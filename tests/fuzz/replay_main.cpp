// Runs a fuzz target over the files of its corpus directories (the seeds and the crashers kept
// as regression inputs), so that ctest replays them on every build without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzTarget.h"

namespace {
void collect(const std::string& path, std::vector<std::string>* files) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return;
    }
    if (!S_ISDIR(info.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            collect(path + "/" + name, files);
        }
    }
    ::closedir(directory);
}
}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        collect(argv[i], &files);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu passed, 0 failed\n", files.size());
    return files.empty() ? 1 : 0;
}
