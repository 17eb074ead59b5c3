// The command interface, the job-status record and the callback through which the commands
// report a job's progress to the service.
#ifndef ORCHEL_COMMAND_H
#define ORCHEL_COMMAND_H

#include <cstdint>

#include "orchel/product.h"
#include "orchel/wintypes.h"

class IDownloader;

// The service's configuration object: the library passes it along and never looks inside.
class COrvConfig;

// Command identifiers, as GetCommand returns them.
enum : unsigned int {
    ORCHEL_CMD_CHECK_UPDATES = 101,
    ORCHEL_CMD_DOWNLOAD = 102,
    ORCHEL_CMD_INSTALL = 103,
    ORCHEL_CMD_UNINSTALL = 104,
    ORCHEL_CMD_EMAIL = 105,
    ORCHEL_CMD_IMPORT = 115,
};

// Every command implements these three operations, in this slot order. There is no virtual
// destructor: a command is destroyed through its own class.
class ORCHEL_API IOrchel {
public:
    IOrchel() = default;
    IOrchel(const IOrchel&) = default;
    IOrchel& operator=(const IOrchel&) = default;

    // 1 when the command is ready, 0 when it is not. Callers pass a null downloader.
    virtual int Initialise(COrvConfig* in_OrvConfig, IDownloader* in_pDownloader) = 0;
    // Runs the job. out_bRetStatus is 1 when the command ran to its end, 0 when it stopped
    // early. The caller owns the returned list.
    virtual CProductList* Execute(CProductList* in_pProductList, int& out_bRetStatus) = 0;
    virtual unsigned int GetCommand() = 0;

protected:
    ~IOrchel() = default;
};

// Capacities of the JobInfo texts, in characters including the NUL.
enum : std::size_t {
    JOBINFO_TEXT_CAPACITY = 50,
    JOBINFO_MESSAGE_CAPACITY = 256,
};

// The job-status record handed to the service; its layout crosses into the service.
struct JobInfo {
    wchar_t szJobType[JOBINFO_TEXT_CAPACITY];  // "Check Update" or "Download"
    std::int32_t iCommandId;
    wchar_t
        szStatus[JOBINFO_TEXT_CAPACITY];  // "Active", "Completed", "Failed" or a download status
    std::int32_t iReserved1;
    wchar_t szReserved1[JOBINFO_TEXT_CAPACITY];
    wchar_t szMessage[JOBINFO_MESSAGE_CAPACITY];
    std::int32_t iReserved2;
    wchar_t szProduct[JOBINFO_TEXT_CAPACITY];
    wchar_t szMajorVersion[JOBINFO_TEXT_CAPACITY];
    wchar_t szMinorVersion[JOBINFO_TEXT_CAPACITY];
    wchar_t szServicePack[JOBINFO_TEXT_CAPACITY];
    wchar_t szPatchId[JOBINFO_TEXT_CAPACITY];
    std::int32_t iReserved3;
};

// The service's job-status callback. The record it receives lives only during the call.
extern "C" {
typedef int (*PFNREMEDORSERVICECALLBACK)(JobInfo* in_pJobInfo);
}

// Empties every text of the record, sets iReserved1 and iReserved2 to 0 and iReserved3 to -1,
// and leaves iCommandId as it is. Returns 1 (a null record is left alone).
ORCHEL_API int InitializeJobInfo(JobInfo* in_stJobInfo);

// Stores the service's callback in g_pfnRemedorServiceCallBack.
ORCHEL_API void SetRemedorServiceCallBack(PFNREMEDORSERVICECALLBACK in_pfnRemedorServiceCallBack);

#endif  // ORCHEL_COMMAND_H
