// orchel-service: the service host. It performs the start sequence the library expects of its
// host (error-registry lock, job-status callback, current product, log file in the service's
// folder), then runs the requested jobs and prints every job record it receives.
//
//   orchel-service [--orv-dir DIR] [--product NAME] JOB...
//
//   check-setup      verifies the service's own installation: its folder and its string table
//   download URI     fetches one resource of the download server named in the settings file
//                    into the patches tree, as the commands do, and prints the outcome
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "orchel/command.h"
#include "orchel/corvlog.h"
#include "orchel/downloader.h"
#include "orchel/error_registry.h"
#include "orchel/globals.h"

namespace {

struct Options {
    std::string orvFolder;
    std::string product;
    std::vector<std::string> jobs;
};

int PrintUsage() {
    std::cerr << "usage: orchel-service [--orv-dir DIR] [--product NAME] JOB...\n"
                 "jobs: check-setup | download URI\n";
    return 2;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--orv-dir" || argument == "--product") && i + 1 < argc) {
            (argument == "--orv-dir" ? options.orvFolder : options.product) = argv[++i];
        } else if (argument.rfind("--", 0) == 0) {
            return false;
        } else {
            options.jobs.push_back(argument);
        }
    }
    return !options.jobs.empty();
}

std::string ServiceFolder(const Options& options) {
    if (!options.orvFolder.empty()) {
        return options.orvFolder.back() == '/' ? options.orvFolder : options.orvFolder + "/";
    }
    std::string executable(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", executable.data(), executable.size() - 1);
    executable.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return executable.substr(0, executable.find_last_of('/') + 1);
}

extern "C" int PrintJobRecord(JobInfo* record) {
    std::wcout << L"job " << record->iCommandId << L" [" << record->szJobType << L"] "
               << record->szProduct << L" " << record->szPatchId << L": " << record->szStatus
               << L" " << record->szMessage << std::endl;
    return 1;
}

// The string table is the service's own: one "<id>=<text>" entry per line.
int CheckSetup(const std::string& folder) {
    std::cout << "service folder: " << folder << "\n";
    std::ifstream table(folder + "RemedorService.strings");
    if (!table) {
        std::cout << "FAILED: string table RemedorService.strings not found\n";
        return 1;
    }
    int entries = 0;
    for (std::string line; std::getline(table, line);) {
        entries += !line.empty() && line[0] != '#' && line.find('=') != std::string::npos;
    }
    std::cout << "string table: " << entries << " entries\n";
    gCORVLog->WriteDebugMessages(ORV_LOG_SETTINGS, ORV_LOG_LEVEL_MILESTONE,
                                 L"Service setup checked: %d string table entries", entries);
    return entries > 0 ? 0 : 1;
}

// One resource through the library's downloader: Initialise, then DownLoadFile.
int Download(const std::string& uri) {
    std::wstring wideUri(uri.size() + 1, L'\0');
    wideUri.resize(std::mbstowcs(wideUri.data(), uri.c_str(), wideUri.size()));
    CDownloadManager manager;
    const std::unique_ptr<IDownloader> downloader(manager.CreateDownloader(DOWNLOADER_TYPE_HTTP));
    DownloadRequestStatus record;
    if (!downloader || downloader->Initialise(record) != 1) {
        std::cout << "FAILED: the downloader could not be initialised (see RemedorLog.log)\n";
        return 1;
    }
    const int result = downloader->DownLoadFile(wideUri, record);
    std::wcout << L"download " << wideUri << L": result " << result << L", " << record.wsStatus
               << L" (" << record.iStatusCode << L") " << record.wsStatusMessage << std::endl;
    return result == DOWNLOAD_COMPLETED ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return PrintUsage();
    }
    std::setlocale(LC_CTYPE, "C.UTF-8");  // the host's own text I/O; the library needs none
    const std::string folder = ServiceFolder(options);
    setenv("ORCHEL_ORV_DIR", folder.c_str(), 1);
    gCORVLog->SetLogFile((folder + "RemedorLog.log").c_str());

    InitializeCriticalSection(&g_ErrorHandleCrticalSection);
    SetRemedorServiceCallBack(PrintJobRecord);
    std::mbstowcs(gszCurrentProduct, options.product.c_str(), ORCHEL_PRODUCT_NAME_CAPACITY - 1);

    int result = 0;
    for (std::size_t index = 0; index < options.jobs.size(); ++index) {
        const std::string& job = options.jobs[index];
        if (job == "check-setup") {
            result |= CheckSetup(folder);
        } else if (job == "download" && index + 1 < options.jobs.size()) {
            result |= Download(options.jobs[++index]);
        } else {
            std::cerr << "unknown job: " << job << "\n";
            result |= 2;
        }
    }
    DeleteCriticalSection(&g_ErrorHandleCrticalSection);
    return result;
}
