// orchel-md5 FILE: the MD5 of a file through the library's hashing calls, streamed in blocks
// of 1 MiB, printed as md5sum prints it. bench/md5_vs_md5sum.sh times it against md5sum.
#include <cstdio>
#include <memory>
#include <vector>

#include "port/crypt_hash.h"

namespace {

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orchel-md5 FILE\n");
        return 2;
    }
    std::unique_ptr<std::FILE, CloseFile> file(std::fopen(argv[1], "rb"));
    port::HCRYPTPROV provider = 0;
    port::HCRYPTHASH hash = 0;
    if (!file ||
        !port::CryptAcquireContextW(&provider, nullptr, nullptr, port::PROV_RSA_FULL,
                                    port::CRYPT_VERIFYCONTEXT) ||
        !port::CryptCreateHash(provider, port::CALG_MD5, 0, 0, &hash)) {
        std::fprintf(stderr, "orchel-md5: cannot hash %s\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> block(1 << 20);
    std::size_t count = 0;
    while ((count = std::fread(block.data(), 1, block.size(), file.get())) > 0) {
        port::CryptHashData(hash, block.data(), static_cast<DWORD>(count), 0);
    }
    BYTE digest[port::kMd5DigestLength];
    DWORD length = sizeof digest;
    const bool done = port::CryptGetHashParam(hash, port::HP_HASHVAL, digest, &length, 0);
    port::CryptDestroyHash(hash);
    port::CryptReleaseContext(provider, 0);
    if (!done) {
        return 1;
    }
    for (DWORD index = 0; index < length; ++index) {
        std::printf("%02x", digest[index]);
    }
    std::printf("  %s\n", argv[1]);
    return 0;
}
