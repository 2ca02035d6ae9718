#include "explore/scenario_list.h"

namespace explore {

const std::vector<ScenarioEntry>& Scenarios() {
  static const std::vector<ScenarioEntry> scenarios = {
      {"CloseVsReaderCompletion", MakeCloseVsReaderCompletion},
      {"CloseVsWriteTransfer", MakeCloseVsWriteTransfer},
      {"OpenCloseCyclesWithDataInFlight", MakeOpenCloseCycles},
      {"ReadAdmissionVsSurpriseRemoval", MakeReadAdmissionVsSurpriseRemoval},
      {"WriteAdmissionVsSurpriseRemoval", MakeWriteAdmissionVsSurpriseRemoval},
      {"WaitAdmissionVsSurpriseRemoval", MakeWaitAdmissionVsSurpriseRemoval},
      {"ControlAdmissionVsSurpriseRemoval", MakeControlAdmissionVsSurpriseRemoval},
      {"FlushAdmissionVsSurpriseRemoval", MakeFlushAdmissionVsSurpriseRemoval},
      {"RemovalWithTimeoutsExpiring", MakeRemovalWithTimeoutsExpiring},
      {"UnplugAnyTimeDuringLife", [] { return MakeUnplugDuringLife(0); }},
      {"UnplugAfterOpen", [] { return MakeUnplugDuringLife(1); }},
      {"UnplugAfterWrite", [] { return MakeUnplugDuringLife(2); }},
      {"UnplugAfterRead", [] { return MakeUnplugDuringLife(3); }},
      {"UnplugAfterClose", [] { return MakeUnplugDuringLife(4); }},
      {"ReadCancelVsCompletionVsTimeout", MakeReadCancelVsCompletionVsTimeout},
      {"WriteCancelVsCompletionVsTimeout", MakeWriteCancelVsCompletionVsTimeout},
      {"WaitMaskChangeVsEventVsCancel", MakeWaitMaskChangeVsEventVsCancel},
      {"QueueSizeVsReaderPut", MakeQueueSizeVsReaderPut},
      {"PurgeWithHeldTransferThenWrite", MakePurgeWithHeldTransferThenWrite},
  };
  return scenarios;
}

}  // namespace explore
