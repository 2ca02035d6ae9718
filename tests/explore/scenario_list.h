/*
 * Every scenario's factory, for the list in scenario_list.cpp.
 */
#pragma once

#include "explore/scenario.h"

namespace explore {

std::unique_ptr<Scenario> MakeCloseVsReaderCompletion();
std::unique_ptr<Scenario> MakeCloseVsWriteTransfer();
std::unique_ptr<Scenario> MakeOpenCloseCycles();
std::unique_ptr<Scenario> MakeReadAdmissionVsSurpriseRemoval();
std::unique_ptr<Scenario> MakeWriteAdmissionVsSurpriseRemoval();
std::unique_ptr<Scenario> MakeWaitAdmissionVsSurpriseRemoval();
std::unique_ptr<Scenario> MakeControlAdmissionVsSurpriseRemoval();
std::unique_ptr<Scenario> MakeFlushAdmissionVsSurpriseRemoval();
std::unique_ptr<Scenario> MakeRemovalWithTimeoutsExpiring();
std::unique_ptr<Scenario> MakeUnplugDuringLife(int step);
std::unique_ptr<Scenario> MakeReadCancelVsCompletionVsTimeout();
std::unique_ptr<Scenario> MakeWriteCancelVsCompletionVsTimeout();
std::unique_ptr<Scenario> MakeWaitMaskChangeVsEventVsCancel();
std::unique_ptr<Scenario> MakeQueueSizeVsReaderPut();
std::unique_ptr<Scenario> MakePurgeWithHeldTransferThenWrite();

}  // namespace explore
