// The download record through the XML family: load, find one Package, change its
// DownloadStatus, save, and the whole update, for a record of 1,000 and 10,000 packages.
// Time is reported per operation.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/xml_document.h"
#include "platform/xml_handle.h"
#include "port/text.h"

namespace {

using orchel::XmlDocument;
using orchel::XmlElement;

class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orchel-bench-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::wstring Wide(const std::filesystem::path& path) {
    std::wstring wide;
    if (!port::Utf8ToWide(path.string(), wide)) {
        throw std::runtime_error("path is not UTF-8");
    }
    return wide;
}

struct ReleaseKey {
    const char* major;
    const char* minor;
    const char* servicePack;
};
constexpr ReleaseKey kReleases[] = {
    {"1", "0", ""}, {"1", "0", "SP1"}, {"2", "0", ""}, {"3", "0", "SP2"}};
constexpr int kReleaseCount = sizeof(kReleases) / sizeof(kReleases[0]);

// Package KB<i> goes to release i % 4, so KB<count/2> lies in release 1.0 with no service pack.
std::string RecordText(int packages) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Product Name=\"Kelm Veltrane Backup\">\n";
    for (int release = 0; release < kReleaseCount; ++release) {
        const ReleaseKey& key = kReleases[release];
        text += std::string("  <Release MajorVersion=\"") + key.major + "\" MinorVersion=\"" +
                key.minor + "\" ServicePack=\"" + key.servicePack + "\">\n";
        for (int id = release; id < packages; id += kReleaseCount) {
            const std::string kb = "KB" + std::to_string(id);
            text += "    <Package Id=\"" + kb +
                    "\" PublishedDate=\"2024-03-12\" LocalFormatPublishedDate=\"12 March 2024\">\n"
                    "      <Desc>Cumulative update " +
                    kb +
                    " for the backup agent</Desc>\n"
                    "      <Downloadedlocation>/var/lib/orchel/patches/Backup/" +
                    kb + "/" + kb +
                    ".exe</Downloadedlocation>\n"
                    "      <Path>Backup/" +
                    kb +
                    "/</Path>\n"
                    "      <Patch>" +
                    kb +
                    ".exe</Patch>\n"
                    "      <PatchType>Security</PatchType>\n"
                    "      <PatchURL>https://support.example.com/" +
                    kb +
                    "</PatchURL>\n"
                    "      <AutoDownloadable>1</AutoDownloadable>\n"
                    "      <Prerequisite>KB1,KB2</Prerequisite>\n"
                    "      <Supersede>KB0</Supersede>\n"
                    "      <Size>20480</Size>\n"
                    "      <Checksum>9e107d9d372bb6826bd81d3542a419d6</Checksum>\n"
                    "      <DownloadStatus>1</DownloadStatus>\n"
                    "      <PatchDownloadedDateTime>2024-03-13 10:15:00</PatchDownloadedDateTime>\n"
                    "      <ErrorMessage></ErrorMessage>\n"
                    "      <InstallStatus>-1</InstallStatus>\n"
                    "      <UninstallStatus>-1</UninstallStatus>\n"
                    "    </Package>\n";
        }
        text += "  </Release>\n";
    }
    return text + "</Product>\n";
}

std::wstring PackageQuery(int packages) {
    return L"/Product/Release[@MajorVersion='1' and @MinorVersion='0' and @ServicePack='']"
           L"/Package[@Id='KB" +
           std::to_wstring(packages / 2) + L"']";
}

struct Record {
    std::wstring path;
    std::wstring query;
};

Record WriteRecord(const ScratchFolder& folder, int packages) {
    const std::filesystem::path path =
        folder.Path() / ("AlreadyDownloadedPatchInfo-" + std::to_string(packages) + ".xml");
    std::ofstream(path, std::ios::binary) << RecordText(packages);
    return {Wide(path), PackageQuery(packages)};
}

XmlDocument Load(const Record& record) {
    XmlDocument document(JobCreateDocumentFromXML(record.path.c_str()));
    if (!document) {
        throw std::runtime_error("the record does not load");
    }
    return document;
}

XmlElement FindStatus(void* document, const Record& record) {
    XmlElement package(JobGetElement(document, record.query.c_str()));
    return XmlElement(JobGetElementChildByName(package.Get(), L"DownloadStatus"));
}

void Fail(benchmark::State& state, const char* what) {
    state.SkipWithError(what);
}

void LoadRecord(benchmark::State& state, const Record& record) {
    for (auto _ : state) {
        XmlDocument document(JobCreateDocumentFromXML(record.path.c_str()));
        if (!document) {
            return Fail(state, "the record does not load");
        }
        benchmark::DoNotOptimize(document.Get());
    }
}

void FindPackage(benchmark::State& state, const Record& record) {
    XmlDocument document = Load(record);
    for (auto _ : state) {
        XmlElement package(JobGetElement(document.Get(), record.query.c_str()));
        if (!package) {
            return Fail(state, "the package is not found");
        }
        benchmark::DoNotOptimize(package.Get());
    }
}

void ChangeDownloadStatus(benchmark::State& state, const Record& record) {
    XmlDocument document = Load(record);
    XmlElement package(JobGetElement(document.Get(), record.query.c_str()));
    const wchar_t* statuses[] = {L"0", L"1"};
    int next = 0;
    for (auto _ : state) {
        XmlElement status(JobGetElementChildByName(package.Get(), L"DownloadStatus"));
        if (JobSetElementValue(status.Get(), statuses[next]) != 1) {
            return Fail(state, "the status is not changed");
        }
        next ^= 1;
    }
}

void SaveRecord(benchmark::State& state, const Record& record, const std::wstring& target) {
    XmlDocument document = Load(record);
    for (auto _ : state) {
        if (JobSaveXMLDocument(document.Get(), target.c_str()) != 1) {
            return Fail(state, "the record is not saved");
        }
    }
}

// What the download command does per patch: load, find, change, save.
void UpdateRecord(benchmark::State& state, const Record& record, const std::wstring& target) {
    const wchar_t* statuses[] = {L"0", L"1"};
    int next = 0;
    for (auto _ : state) {
        XmlDocument document(JobCreateDocumentFromXML(record.path.c_str()));
        XmlElement status = FindStatus(document.Get(), record);
        if (JobSetElementValue(status.Get(), statuses[next]) != 1 ||
            JobSaveXMLDocument(document.Get(), target.c_str()) != 1) {
            return Fail(state, "the record is not updated");
        }
        next ^= 1;
    }
}

void Register(const ScratchFolder& folder, int packages) {
    const Record record = WriteRecord(folder, packages);
    const std::wstring target =
        Wide(folder.Path() / ("saved-" + std::to_string(packages) + ".xml"));
    const std::string suffix = "/packages:" + std::to_string(packages);
    benchmark::RegisterBenchmark(("RecordLoad" + suffix).c_str(), [record](benchmark::State& s) {
        LoadRecord(s, record);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("RecordFindPackage" + suffix).c_str(), [record](
                                                                             benchmark::State& s) {
        FindPackage(s, record);
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("RecordChangeDownloadStatus" + suffix).c_str(),
                                 [record](benchmark::State& s) { ChangeDownloadStatus(s, record); })
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("RecordSave" + suffix).c_str(), [record,
                                                                   target](benchmark::State& s) {
        SaveRecord(s, record, target);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("RecordUpdate" + suffix).c_str(), [record,
                                                                     target](benchmark::State& s) {
        UpdateRecord(s, record, target);
    })->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    try {
        ScratchFolder folder;
        for (const int packages : {1000, 10000}) {
            Register(folder, packages);
        }
        benchmark::RunSpecifiedBenchmarks();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orchel_benchmarks: %s\n", error.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
