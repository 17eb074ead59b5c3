// orchel-pack-catalogue INPUT.xml OUTPUT.dll
// Packs a catalogue XML into the resource-only module "AvailablePatchInfoDll.dll" that the
// check-updates command downloads; the publisher signs the result with osslsigncode.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "catalogue_module.h"

namespace {

namespace fs = std::filesystem;

int Fail(const std::string& message) {
    std::cerr << "orchel-pack-catalogue: " << message << '\n';
    return 1;
}

bool ReadInput(const fs::path& path, std::vector<BYTE>& bytes, std::string& error) {
    std::error_code code;
    if (!fs::is_regular_file(path, code)) {
        error = "input file not found: " + path.string();
        return false;
    }
    const auto size = fs::file_size(path, code);
    if (code || size > orchel_tools::kMaxCatalogueSize) {
        error = "input file too large or unreadable: " + path.string();
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read input file: " + path.string();
        return false;
    }
    if (bytes.empty()) {
        error = "input file is empty: " + path.string();
        return false;
    }
    return true;
}

// Written beside the target and renamed over it, so a failed run never leaves half a module.
bool WriteOutput(const fs::path& path, const std::vector<BYTE>& bytes, std::string& error) {
    const fs::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            error = "cannot write output file: " + path.string();
            return false;
        }
    }
    std::error_code code;
    fs::rename(temporary, path, code);
    if (code) {
        fs::remove(temporary, code);
        error = "cannot write output file: " + path.string();
        return false;
    }
    return true;
}

int Run(int argc, char** argv) {
    if (argc != 3) {
        return Fail("usage: orchel-pack-catalogue INPUT.xml OUTPUT.dll");
    }
    const fs::path input = argv[1];
    const fs::path output = argv[2];
    std::string error;
    std::vector<BYTE> xml;
    if (!ReadInput(input, xml, error)) {
        return Fail(error);
    }
    std::error_code code;
    const fs::path folder = output.parent_path().empty() ? fs::path(".") : output.parent_path();
    if (!fs::is_directory(folder, code)) {
        return Fail("output folder not found: " + folder.string());
    }
    const auto module = orchel_tools::BuildCatalogueModule(xml);
    if (!module) {
        return Fail("cannot build the module");
    }
    if (!WriteOutput(output, *module, error)) {
        return Fail(error);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
