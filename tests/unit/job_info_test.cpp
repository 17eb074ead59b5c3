#include "framework/job_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "orchel/globals.h"

namespace {

std::vector<JobInfo> deliveredRecords;

extern "C" int RecordingCallback(JobInfo* record) {
    deliveredRecords.push_back(*record);
    return 0;
}

class CallbackScope {
public:
    explicit CallbackScope(PFNREMEDORSERVICECALLBACK callback) {
        deliveredRecords.clear();
        SetRemedorServiceCallBack(callback);
    }
    ~CallbackScope() { SetRemedorServiceCallBack(nullptr); }
};

TEST(JobInfoRecord, InitializeEmptiesTextsAndSetsReservedWords) {
    JobInfo record;
    std::memset(&record, 0x55, sizeof record);  // every field dirty
    record.iCommandId = 7;
    EXPECT_EQ(1, InitializeJobInfo(&record));
    EXPECT_EQ(7, record.iCommandId);
    EXPECT_EQ(0, record.iReserved1);
    EXPECT_EQ(0, record.iReserved2);
    EXPECT_EQ(-1, record.iReserved3);
    for (const wchar_t* text :
         {record.szJobType, record.szStatus, record.szReserved1, record.szMessage, record.szProduct,
          record.szMajorVersion, record.szMinorVersion, record.szServicePack, record.szPatchId}) {
        EXPECT_EQ(L'\0', text[0]);
    }
    EXPECT_EQ(1, InitializeJobInfo(nullptr));
}

TEST(JobInfoRecord, TextsAreCutToTheirCapacity) {
    JobInfo record;
    InitializeJobInfo(&record);
    const std::wstring product(60, L'p');
    const std::wstring message(400, L'm');
    orchel::SetJobText(record.szProduct, product);
    orchel::SetJobText(record.szMessage, message.c_str());
    EXPECT_EQ(product.substr(0, 49), record.szProduct);
    EXPECT_EQ(message.substr(0, 255), record.szMessage);
    // The neighbouring fields are untouched by the cut.
    EXPECT_EQ(L'\0', record.szMajorVersion[0]);
    EXPECT_EQ(0, record.iReserved2);
}

TEST(JobInfoRecord, LayoutKeepsTheThirteenFieldsInOrder) {
    EXPECT_LT(offsetof(JobInfo, szJobType), offsetof(JobInfo, iCommandId));
    EXPECT_LT(offsetof(JobInfo, iCommandId), offsetof(JobInfo, szStatus));
    EXPECT_LT(offsetof(JobInfo, szStatus), offsetof(JobInfo, iReserved1));
    EXPECT_LT(offsetof(JobInfo, iReserved1), offsetof(JobInfo, szReserved1));
    EXPECT_LT(offsetof(JobInfo, szReserved1), offsetof(JobInfo, szMessage));
    EXPECT_LT(offsetof(JobInfo, szMessage), offsetof(JobInfo, iReserved2));
    EXPECT_LT(offsetof(JobInfo, iReserved2), offsetof(JobInfo, szProduct));
    EXPECT_LT(offsetof(JobInfo, szProduct), offsetof(JobInfo, szMajorVersion));
    EXPECT_LT(offsetof(JobInfo, szMajorVersion), offsetof(JobInfo, szMinorVersion));
    EXPECT_LT(offsetof(JobInfo, szMinorVersion), offsetof(JobInfo, szServicePack));
    EXPECT_LT(offsetof(JobInfo, szServicePack), offsetof(JobInfo, szPatchId));
    EXPECT_LT(offsetof(JobInfo, szPatchId), offsetof(JobInfo, iReserved3));
    EXPECT_EQ(256u, sizeof(JobInfo::szMessage) / sizeof(wchar_t));
}

TEST(JobReporting, RecordsReachTheServiceInOrder) {
    CallbackScope scope(RecordingCallback);
    EXPECT_EQ(&RecordingCallback, g_pfnRemedorServiceCallBack);

    JobInfo record;
    record.iCommandId = 101;
    InitializeJobInfo(&record);
    orchel::SetJobText(record.szJobType, L"Check Update");
    orchel::SetJobText(record.szStatus, L"Active");
    orchel::NotifyService(record);
    orchel::SetJobText(record.szStatus, L"Failed");
    orchel::SetJobText(record.szMessage, L"why");
    orchel::NotifyService(record);

    ASSERT_EQ(2u, deliveredRecords.size());
    EXPECT_EQ(std::wstring(L"Active"), deliveredRecords[0].szStatus);
    EXPECT_EQ(std::wstring(L"Failed"), deliveredRecords[1].szStatus);
    EXPECT_EQ(std::wstring(L"why"), deliveredRecords[1].szMessage);
    EXPECT_EQ(101, deliveredRecords[1].iCommandId);
}

TEST(JobReporting, NoCallbackMeansNoCrash) {
    CallbackScope scope(nullptr);
    JobInfo record;
    InitializeJobInfo(&record);
    orchel::NotifyService(record);
    EXPECT_TRUE(deliveredRecords.empty());
}

TEST(Globals, StartWithTheirDocumentedValues) {
    EXPECT_EQ(std::wstring(), gszCurrentProduct);
    EXPECT_EQ(std::wstring(), gszProductRelease);
    EXPECT_EQ(std::wstring(), gszDownloadServerName);
    EXPECT_EQ(0u, g_DownloadBufSize);
    EXPECT_EQ(nullptr, g_hDownloadEvent[0]);
    EXPECT_EQ(nullptr, g_hDownloadEvent[1]);
    EXPECT_EQ(nullptr, g_hWriteFileCompletedEvent);
    EXPECT_EQ(-1, giContext);
    EXPECT_EQ(std::wstring(), gszLastUpdatedDate);
    EXPECT_EQ(14u, sizeof(gszLastUpdatedTime) / sizeof(wchar_t) - 1);
    EXPECT_EQ(nullptr, g_hUIResponseReceivedEvent);
    EXPECT_EQ(0, giRebootRequired);
    EXPECT_EQ(1, giUIResponseForScheduleJob);
}

}  // namespace
