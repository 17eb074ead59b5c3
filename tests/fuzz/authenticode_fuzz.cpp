// libFuzzer entry: any bytes, as a file, given to the Authenticode verifier and the
// certificate-entry readers must be judged or refused cleanly; any bytes as a PKCS#7 message
// must give a signer name or nothing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>

#include "port/authenticode.h"

namespace {

// One scratch file per fuzzing process, rewritten for every input.
const std::string& ScratchFile() {
    static const std::string path = [] {
        std::string pattern = "/tmp/orchel-authenticode-fuzz-XXXXXX";
        const int descriptor = mkstemp(pattern.data());
        if (descriptor < 0) {
            std::abort();
        }
        close(descriptor);
        return pattern;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const BYTE> bytes(data, size);
    port::MessageSignerSimpleDisplayName(bytes);

    const std::string& path = ScratchFile();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    const std::wstring widePath(path.begin(), path.end());
    // Fuzzed bytes carry no signature of the test root: nothing may ever be accepted.
    if (port::WinVerifyTrustFile(widePath) == port::kTrustSuccess) {
        std::abort();
    }
    port::ImageCertificateCount(widePath);
    port::SignerSimpleDisplayName(widePath);
    return 0;
}
