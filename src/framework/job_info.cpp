#include "framework/job_info.h"

#include "orchel/globals.h"

int InitializeJobInfo(JobInfo* in_stJobInfo) {
    if (in_stJobInfo == nullptr) {
        return 1;
    }
    for (wchar_t* text :
         {in_stJobInfo->szJobType, in_stJobInfo->szStatus, in_stJobInfo->szReserved1,
          in_stJobInfo->szMessage, in_stJobInfo->szProduct, in_stJobInfo->szMajorVersion,
          in_stJobInfo->szMinorVersion, in_stJobInfo->szServicePack, in_stJobInfo->szPatchId}) {
        text[0] = L'\0';
    }
    in_stJobInfo->iReserved1 = 0;
    in_stJobInfo->iReserved2 = 0;
    in_stJobInfo->iReserved3 = -1;
    return 1;
}

void SetRemedorServiceCallBack(PFNREMEDORSERVICECALLBACK in_pfnRemedorServiceCallBack) {
    g_pfnRemedorServiceCallBack = in_pfnRemedorServiceCallBack;
}

namespace orchel {

void NotifyService(JobInfo& record) {
    if (g_pfnRemedorServiceCallBack != nullptr) {
        g_pfnRemedorServiceCallBack(&record);
    }
}

}  // namespace orchel
