// orchel-verify FILE...: the Authenticode verdict of each file, then the process's peak
// resident memory. bench/verify_memory.sh runs it on a small and a large signed module to show
// that verification streams (memory independent of the file's size).
#include <cstdio>
#include <fstream>
#include <string>

#include "port/authenticode.h"

namespace {

// VmHWM of /proc/self/status: the peak resident set, in KiB.
std::string PeakResidentMemory() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return line.substr(6);
        }
    }
    return " unknown";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orchel-verify FILE...\n");
        return 2;
    }
    for (int index = 1; index < argc; ++index) {
        const std::string path = argv[index];
        const LONG status = port::WinVerifyTrustFile(std::wstring(path.begin(), path.end()));
        std::printf("%s: 0x%08x\n", path.c_str(), static_cast<unsigned>(status));
    }
    std::printf("peak resident memory:%s\n", PeakResidentMemory().c_str());
    return 0;
}
